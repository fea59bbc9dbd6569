// Raw keys from a Linux terminal: cfmakeraw on the standard input while `term` runs.
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "console/keyboard.h"

namespace velmora::console {

namespace {

// Kept outside the object: the signal handlers and atexit restore the terminal too.
termios savedTerminal;
volatile sig_atomic_t terminalSaved = 0;

void RestoreTerminal() {
    if (terminalSaved) tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
}

void RestoreAndDie(int number) {
    RestoreTerminal();
    std::signal(number, SIG_DFL);
    raise(number);
}

}  // namespace

struct Keyboard::State {};

Keyboard::Keyboard() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return;
    terminalSaved = 1;
    std::atexit(RestoreTerminal);
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(s, RestoreAndDie);
    termios raw = savedTerminal;
    cfmakeraw(&raw);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw);
}

Keyboard::~Keyboard() {
    RestoreTerminal();
    terminalSaved = 0;
}

bool Keyboard::Read(std::string* keys, int ms) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, ms) <= 0) return true;
    char buffer[256];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) return false;
    keys->append(buffer, static_cast<std::size_t>(n));
    return true;
}

void ShowOnScreen(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace velmora::console
