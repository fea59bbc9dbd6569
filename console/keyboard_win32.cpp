// Raw keys from the Windows console: line input, echo and Ctrl-C processing off while
// `term` runs, so every key (Ctrl-C and Ctrl-] included) arrives as its character.
// Input that is not a console (a pipe, a file) is read on a thread of its own, since
// Windows has no way to wait for a pipe to become readable.
#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "console/keyboard.h"

namespace velmora::console {

namespace {

// Kept outside the object: the console's control handler restores the modes too.
HANDLE consoleInput = INVALID_HANDLE_VALUE;
DWORD savedInputMode = 0;
HANDLE consoleOutput = INVALID_HANDLE_VALUE;
DWORD savedOutputMode = 0;

void RestoreConsole() {
    if (consoleInput != INVALID_HANDLE_VALUE) SetConsoleMode(consoleInput, savedInputMode);
    if (consoleOutput != INVALID_HANDLE_VALUE) SetConsoleMode(consoleOutput, savedOutputMode);
}

// Ctrl-Break and closing the window still end the program; the console is given back.
BOOL WINAPI OnConsoleEvent(DWORD) {
    RestoreConsole();
    return FALSE;
}

#ifndef ENABLE_VIRTUAL_TERMINAL_INPUT
#define ENABLE_VIRTUAL_TERMINAL_INPUT 0x0200
#endif
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

struct PipedKeys {
    std::mutex mutex;
    std::condition_variable arrived;
    std::string keys;
    bool ended = false;
};

}  // namespace

struct Keyboard::State {
    HANDLE input = INVALID_HANDLE_VALUE;
    bool console = false;
    std::shared_ptr<PipedKeys> piped;
};

Keyboard::Keyboard() : state_(new State) {
    state_->input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(state_->input, &mode)) {
        state_->console = true;
        consoleInput = state_->input;
        savedInputMode = mode;
        SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
        const DWORD raw = mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT |
                                                     ENABLE_PROCESSED_INPUT);
        // Arrow and function keys as the escape sequences a Linux terminal sends, where
        // the console can (Windows 10 and later); plain keys everywhere else.
        if (!SetConsoleMode(state_->input, raw | ENABLE_VIRTUAL_TERMINAL_INPUT)) {
            SetConsoleMode(state_->input, raw);
        }
        const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
        if (GetConsoleMode(output, &mode)) {
            consoleOutput = output;
            savedOutputMode = mode;
            SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
        }
        return;
    }
    auto piped = std::make_shared<PipedKeys>();
    state_->piped = piped;
    const HANDLE input = state_->input;
    // Left blocked in ReadFile when `term` ends; the process's exit ends it.
    std::thread([piped, input] {
        for (;;) {
            char buffer[256];
            DWORD n = 0;
            const bool ok = ReadFile(input, buffer, sizeof buffer, &n, nullptr) && n > 0;
            std::lock_guard<std::mutex> guard(piped->mutex);
            if (!ok) {
                piped->ended = true;
                piped->arrived.notify_all();
                return;
            }
            piped->keys.append(buffer, n);
            piped->arrived.notify_all();
        }
    }).detach();
}

Keyboard::~Keyboard() {
    if (!state_->console) return;
    RestoreConsole();
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    consoleInput = consoleOutput = INVALID_HANDLE_VALUE;
}

bool Keyboard::Read(std::string* keys, int ms) {
    if (!state_->console) {
        PipedKeys& piped = *state_->piped;
        std::unique_lock<std::mutex> lock(piped.mutex);
        piped.arrived.wait_for(lock, std::chrono::milliseconds(ms),
                               [&] { return !piped.keys.empty() || piped.ended; });
        if (piped.keys.empty()) return !piped.ended;
        keys->append(piped.keys);
        piped.keys.clear();
        return true;
    }
    if (WaitForSingleObject(state_->input, static_cast<DWORD>(ms)) != WAIT_OBJECT_0) return true;
    INPUT_RECORD records[64];
    DWORD count = 0;
    if (!ReadConsoleInputA(state_->input, records, 64, &count)) return false;
    for (DWORD i = 0; i < count; ++i) {
        const INPUT_RECORD& r = records[i];
        // Key releases, and keys with no character (Shift, Ctrl alone), send nothing.
        if (r.EventType != KEY_EVENT || !r.Event.KeyEvent.bKeyDown) continue;
        const char c = r.Event.KeyEvent.uChar.AsciiChar;
        if (c == 0) continue;
        keys->append(r.Event.KeyEvent.wRepeatCount == 0 ? 1 : r.Event.KeyEvent.wRepeatCount, c);
    }
    return true;
}

void ShowOnScreen(const std::string& bytes) {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD n = 0;
        if (!WriteFile(output, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n,
                       nullptr) ||
            n == 0) {
            return;
        }
        done += n;
    }
}

}  // namespace velmora::console
