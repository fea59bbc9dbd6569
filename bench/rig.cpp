#include "bench/rig.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace velmora::bench {

RawPort::RawPort() {
    if (!pair_.ok()) throw std::runtime_error("no pseudo-terminal");
    fd_ = open(pair_.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios line{};
    tcgetattr(fd_, &line);
    cfmakeraw(&line);
    tcsetattr(fd_, TCSANOW, &line);
}

RawPort::~RawPort() {
    CloseTerminalEnd();
}

void RawPort::CloseTerminalEnd() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

ModuleRig::ModuleRig(const std::string& modulePath) {
    std::string error;
    file_ = minihost::ModuleFile::Open(modulePath, &error);
    if (!file_) throw std::runtime_error(error);
    host_ = std::make_unique<minihost::Host>(file_->exports());
    if (host_->Register(&error) != kOk) throw std::runtime_error(error);
    object_ = host_->NewObject();
}

bool ModuleRig::Open(minihost::ScriptObject& object, const std::string& path) {
    using minihost::Value;
    const Value opened =
        object.Call("new", {Value::Text(path), Value::Integer(65536), Value::Integer(65536)})
            .result;
    if (opened.IsInteger(0)) return false;
    object.Call("SetCommFlowControl", {Value::Integer(0)});
    return true;
}

FarEnd::FarEnd(int device, Mode mode, std::size_t chunk)
    : device_(device), mode_(mode), chunk_(chunk), thread_([this] { Run(); }) {}

FarEnd::FarEnd(std::vector<int> drained)
    : drained_(std::move(drained)), device_(-1), mode_(Mode::kDrain), chunk_(0), thread_([this] {
          Drain();
      }) {}

namespace {
// The far end on the last core, the measured thread on the first: neither side's work
// migrates between cores in the middle of a run.
void PinTo(int core) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}
}  // namespace

void PinMeasuredThread() {
    PinTo(0);
}

void PinFarEnd() {
    PinTo(std::max(1, static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)) - 1));
}

void FarEnd::Drain() {
    PinTo(std::max(1, static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)) - 1));
    std::vector<pollfd> fds;
    for (const int fd : drained_) fds.push_back({fd, POLLIN, 0});
    std::vector<unsigned char> buffer(65536);
    while (!stop_) {
        if (poll(fds.data(), fds.size(), 50) <= 0) continue;
        for (const pollfd& p : fds) {
            if ((p.revents & POLLIN) && read(p.fd, buffer.data(), buffer.size()) < 0) usleep(1000);
        }
    }
}

FarEnd::~FarEnd() {
    stop_ = true;
    thread_.join();
}

void FarEnd::Run() {
    PinTo(std::max(1, static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)) - 1));
    std::vector<unsigned char> buffer(std::max<std::size_t>(chunk_, 65536));
    std::uint64_t sent = 0;
    std::size_t pending = 0;  // bytes of the current chunk not yet written
    while (!stop_) {
        pollfd p{device_, static_cast<short>(mode_ == Mode::kDrain ? POLLIN : POLLOUT), 0};
        if (poll(&p, 1, 50) <= 0) continue;
        if (mode_ == Mode::kDrain) {
            if (read(device_, buffer.data(), buffer.size()) < 0) usleep(1000);
            continue;
        }
        if (pending == 0) {
            for (std::size_t i = 0; i < chunk_; ++i) buffer[i] = SequenceByte(sent + i);
            pending = chunk_;
        }
        const ssize_t n = write(device_, buffer.data() + (chunk_ - pending), pending);
        if (n > 0) {
            pending -= static_cast<std::size_t>(n);
            sent += static_cast<std::uint64_t>(n);
        } else {
            usleep(1000);
        }
    }
}

bool RawWriteAll(int fd, const char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, 1000) <= 0) return false;
        }
    }
    return true;
}

}  // namespace velmora::bench
