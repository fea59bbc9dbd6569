// A device on the far end of a pty pair, run on a thread of its own: it hears every
// byte the port sends, and `answer` may reply to what it has heard so far.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "tests/support/pty_pair.h"

namespace velmora::testing {

class ScriptedDevice {
  public:
    using Answer = std::function<void(const std::string& heard, PtyPair& pty)>;
    ScriptedDevice(PtyPair& pty, Answer answer)
        : pty_(pty), answer_(std::move(answer)), thread_([this] { Run(); }) {}
    ~ScriptedDevice() {
        stop_ = true;
        thread_.join();
    }
    std::string heard() {
        std::lock_guard<std::mutex> guard(mutex_);
        return heard_;
    }

  private:
    void Run() {
        while (!stop_) {
            const std::string got = pty_.Receive(4096, 5);
            std::lock_guard<std::mutex> guard(mutex_);
            heard_ += got;
            if (answer_) answer_(heard_, pty_);
        }
    }
    PtyPair& pty_;
    Answer answer_;
    std::mutex mutex_;
    std::string heard_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace velmora::testing
