#include "tests/support/process.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velmora::testing {

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        std::vector<char*> args;
        args.reserve(argv.size() + 1);
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    if (!input.empty() && write(in[1], input.data(), input.size()) < 0) {
        // the program did not read its input; its output tells the rest
    }
    close(in[1]);
    ProcessResult result;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0 && poll(fds, 2, 30000) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace velmora::testing

#include <pty.h>
#include <termios.h>

#include <chrono>
#include <thread>

namespace velmora::testing {

RunningProcess::RunningProcess(const std::vector<std::string>& argv, bool terminal) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    signal(SIGPIPE, SIG_IGN);
    if (terminal) {
        int master = -1;
        child_ = forkpty(&master, nullptr, nullptr, nullptr);
        if (child_ == 0) {
            termios raw{};
            tcgetattr(0, &raw);
            cfmakeraw(&raw);
            tcsetattr(0, TCSANOW, &raw);
            execv(args[0], args.data());
            _exit(127);
        }
        input_ = outputFd_ = master;
        return;
    }
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    child_ = fork();
    if (child_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    outputFd_ = out[0];
}

RunningProcess::~RunningProcess() {
    Wait();
    if (input_ >= 0) close(input_);
    if (outputFd_ >= 0 && outputFd_ != input_) close(outputFd_);
}

void RunningProcess::Type(const std::string& keys) {
    if (write(input_, keys.data(), keys.size()) < 0) {
        // the program has gone; what it showed tells why
    }
}

bool RunningProcess::ReadSome(int ms) {
    pollfd p{outputFd_, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return true;
    char buffer[4096];
    const ssize_t n = read(outputFd_, buffer, sizeof buffer);
    if (n <= 0) return false;
    output_.append(buffer, static_cast<std::size_t>(n));
    return true;
}

bool RunningProcess::AwaitOutput(const std::string& text, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (output_.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline || !ReadSome(10)) {
            return output_.find(text) != std::string::npos;
        }
    }
    return true;
}

int RunningProcess::Wait() {
    if (child_ <= 0) return exitCode_;
    if (outputFd_ != input_ && input_ >= 0) {
        close(input_);
        input_ = -1;
    }
    int status = 0;
    for (int i = 0; i < 1000; ++i) {
        if (!ReadSome(10)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (waitpid(child_, &status, WNOHANG) == child_) {
            child_ = -1;
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return exitCode_;
        }
    }
    kill(child_, SIGKILL);
    waitpid(child_, &status, 0);
    child_ = -1;
    return exitCode_;
}

}  // namespace velmora::testing
