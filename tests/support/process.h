#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace velmora::testing {

struct ProcessResult {
    int exitCode = -1;  // -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Runs a program to its end with `input` on its standard input.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input = {});

}  // namespace velmora::testing

namespace velmora::testing {

// A program the test talks to while it runs: its standard input and output on pipes,
// or on a pseudo-terminal set to raw mode before the program starts (Wine's console
// does not carry a Windows program's console modes to the terminal it runs on).
class RunningProcess {
  public:
    RunningProcess(const std::vector<std::string>& argv, bool terminal);
    ~RunningProcess();  // ends its input and waits for it (killing it after 10 s)
    RunningProcess(const RunningProcess&) = delete;
    RunningProcess& operator=(const RunningProcess&) = delete;

    void Type(const std::string& keys);
    // Reads its output until `text` has appeared; false when `ms` passed first.
    bool AwaitOutput(const std::string& text, int ms = 10000);
    const std::string& output() const { return output_; }
    // Waits for it to end (at most 10 s); its exit status, -1 when it did not exit.
    int Wait();

  private:
    bool ReadSome(int ms);  // false once the output has ended
    pid_t child_ = -1;
    int input_ = -1;
    int outputFd_ = -1;  // the same descriptor as input_ on a terminal
    std::string output_;
    int exitCode_ = -1;
};

}  // namespace velmora::testing
