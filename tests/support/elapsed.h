// How long a test's step took: for the generous bounds that tell a hang from an answer.
#pragma once

#include <chrono>

namespace velmora::testing {

inline long long MsSince(std::chrono::steady_clock::time_point start) {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now() - start).count();
}

}  // namespace velmora::testing
