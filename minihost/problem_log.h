// Misuse of the host's services the module committed since the last look: kept apart
// from the statuses, so that a call that goes on working still shows what it did wrong.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace velmora::minihost {

class ProblemLog {
  public:
    // Misuse is rare: kept out of the hot paths.
    __attribute__((noinline, cold)) void Add(const char* what) { problems_.emplace_back(what); }
    __attribute__((noinline, cold)) void Add(std::string what) {
        problems_.push_back(std::move(what));
    }
    std::vector<std::string> Take() {
        std::vector<std::string> problems;
        problems.swap(problems_);
        return problems;
    }

  private:
    std::vector<std::string> problems_;
};

}  // namespace velmora::minihost
