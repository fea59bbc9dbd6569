#pragma once

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
