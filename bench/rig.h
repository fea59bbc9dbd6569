// What the benchmarks measure on: the built module loaded by the project's host, and
// pseudo-terminal pairs for it and for the raw system calls it is compared with.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "console/pseudo_terminal.h"
#include "minihost/host.h"

namespace velmora::bench {

// A pseudo-terminal pair whose terminal end this program opens itself, in raw mode.
class RawPort {
  public:
    RawPort();
    ~RawPort();
    int fd() const { return fd_; }
    int device() const { return pair_.device(); }
    const std::string& path() const { return pair_.path(); }
    void CloseTerminalEnd();  // so that the module can open it instead

  private:
    console::PseudoTerminal pair_;
    int fd_ = -1;
};

// The module, loaded from its file, with one script object.
class ModuleRig {
  public:
    explicit ModuleRig(const std::string& modulePath);
    minihost::Host& host() { return *host_; }
    minihost::ScriptObject& object() { return *object_; }
    std::unique_ptr<minihost::ScriptObject> NewObject() { return host_->NewObject(); }
    // Opens `path` on the rig's object, with no flow control; false when refused.
    bool Open(minihost::ScriptObject& object, const std::string& path);

  private:
    std::unique_ptr<minihost::ModuleFile> file_;
    std::unique_ptr<minihost::Host> host_;
    std::unique_ptr<minihost::ScriptObject> object_;
};

// The far end: reads and drops everything (a device that keeps up), or writes a
// checkable sequence in chunks as fast as the port takes it.
class FarEnd {
  public:
    enum class Mode { kDrain, kFeed };
    FarEnd(int device, Mode mode, std::size_t chunk);
    // One thread draining several devices, so that the far ends of a side-by-side run
    // do not compete with the measured thread for the cores.
    explicit FarEnd(std::vector<int> drained);
    ~FarEnd();

  private:
    void Run();
    void Drain();
    std::vector<int> drained_;
    int device_;
    Mode mode_;
    std::size_t chunk_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The raw figure's write: all of `size` bytes, waiting while the pty is full, as
// WriteFile does; false when the far end takes nothing for a second.
bool RawWriteAll(int fd, const char* data, std::size_t size);

// Keeps the measured thread on the first core (far ends run on the last).
void PinMeasuredThread();
void PinFarEnd();

// The sequence the feeding far end writes: byte i is i mod 251, so any lost, doubled
// or reordered byte breaks it.
inline unsigned char SequenceByte(std::uint64_t i) {
    return static_cast<unsigned char>(i % 251);
}

// Checks that received bytes continue that sequence: from its start, or (`fromAnywhere`)
// from wherever it is first met, for a stream whose beginning was purged.
class SequenceCheck {
  public:
    explicit SequenceCheck(bool fromAnywhere = false) : next_(fromAnywhere ? -1 : 0) {}
    bool Take(const unsigned char* bytes, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            if (next_ >= 0 && bytes[i] != next_) return false;
            next_ = bytes[i] == 250 ? 0 : bytes[i] + 1;  // no division: it runs per byte, timed
        }
        return true;
    }
    // A ReadComm answer: a text that continues the sequence.
    bool TakeText(const minihost::Value& got) {
        return got.IsText() &&
               Take(reinterpret_cast<const unsigned char*>(got.text.data()), got.text.size());
    }

  private:
    int next_;
};

}  // namespace velmora::bench
