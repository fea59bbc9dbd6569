// Polling ReadComm the way a script does once a frame: again and again, with a pause
// after each call that brought nothing, until what has arrived is enough or the time
// is up. A ReadComm that answers other than text ends it: nothing more will come.
#pragma once

#include <chrono>
#include <string>
#include <thread>

#include "minihost/value.h"

namespace velmora::minihost {

// `read` makes one ReadComm call and gives its result; `done` looks at everything
// received so far, which the texts read are appended to. Returns the number of calls.
template <typename Read, typename Done>
int PollUntil(Read&& read, Done&& done, std::string& received, std::chrono::milliseconds limit,
              std::chrono::milliseconds pause) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int polls = 0;
    while (!done(received) && std::chrono::steady_clock::now() < deadline) {
        const Value got = read();
        ++polls;
        if (!got.IsText()) break;
        received += got.text;
        if (got.text.empty()) std::this_thread::sleep_for(pause);
    }
    return polls;
}

}  // namespace velmora::minihost
