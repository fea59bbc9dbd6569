// The Linux backend's port records and the few system-call helpers its files share:
// the handle table, ioctl wrappers and the one wait on a descriptor. Internal to serial/.
#pragma once

#include <asm/termbits.h>
#include <errno.h>
#include <linux/serial.h>
#include <pthread.h>
#include <sys/ioctl.h>

#include <array>
#include <cstdint>
#include <memory>

#include "serial/comm.h"
#include "serial/deadline.h"
#include "serial/poll_until.h"
#include "serial/received_bytes.h"
#include "serial/tty_driver.h"
#include "serial/write_rule.h"

namespace velmora::serial {

struct Port {
    int fd = -1;
    std::uintptr_t handle = 0;
    TtyDriver driver;                   // decided at open
    Dcb dcb{};                          // what termios cannot hold, as SetCommState last stored it
    termios2 line{};                    // the line as last read from or written to the device
    CommTimeouts timeouts{};            // all zero: no time-outs
    serial_icounter_struct counters{};  // as ClearCommError last read them
    // SETXOFF and a break hold output in this layer too, because the kernel's own hold
    // (TCOOFF) is not obeyed by every driver (USB adapters).
    bool heldByXoff = false;
    bool heldByBreak = false;
    LinePace pace;
    ReceivedBytes input;
};

// The lock of opens and closes: a plain pthread mutex, which answers failure with a
// code where std::mutex would throw. Locking a valid default mutex does not fail.
class Guard {
  public:
    explicit Guard(pthread_mutex_t& mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
    ~Guard() { pthread_mutex_unlock(&mutex_); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

  private:
    pthread_mutex_t& mutex_;
};

// Handles are slot number + 1, shifted left by two, in the low 16 bits and a reuse count
// above them, so a closed handle stays invalid after its slot is taken again, 0 and
// all-ones are never issued, and every handle is a multiple of 4 as Windows' are and
// never carries a network port's tag (serial/network_port.h).
constexpr std::size_t kSlots = 1024;
constexpr std::uintptr_t kSlotBits = 0xFFFF;
constexpr std::uintptr_t kMaxReuse = 0x7FFF;
constexpr unsigned kHandleShift = 2;
static_assert(kSlots << kHandleShift <= kSlotBits);

class PortTable {
  public:
    constexpr PortTable() = default;

    Port* Find(PortHandle handle) const {
        const auto value = reinterpret_cast<std::uintptr_t>(handle);
        // The slot's bits, left in place: their shift folds into the table's indexing.
        const std::uintptr_t scaled = value & (kSlotBits & ~std::uintptr_t{3});
        if (scaled - (1u << kHandleShift) >= (kSlots << kHandleShift)) return nullptr;
        Port* port = slots_[(scaled >> kHandleShift) - 1].get();
        return (port != nullptr && port->handle == value) ? port : nullptr;
    }

    PortHandle Add(std::unique_ptr<Port> port) {
        Guard guard(mutex_);
        for (std::size_t slot = 0; slot < kSlots; ++slot) {
            if (slots_[slot]) continue;
            reuse_[slot] = reuse_[slot] % kMaxReuse + 1;
            port->handle = (reuse_[slot] << 16) | ((slot + 1) << kHandleShift);
            const auto handle = reinterpret_cast<PortHandle>(port->handle);
            slots_[slot] = std::move(port);
            return handle;
        }
        return InvalidPort();
    }

    std::unique_ptr<Port> Remove(PortHandle handle) {
        Guard guard(mutex_);
        Port* port = Find(handle);
        if (port == nullptr) return nullptr;
        return std::move(slots_[((port->handle & kSlotBits) >> kHandleShift) - 1]);
    }

  private:
    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;  // opens and closes only; lookups
                                                         // read a slot once
    std::array<std::unique_ptr<Port>, kSlots> slots_{};
    std::array<std::uintptr_t, kSlots> reuse_{};
};

// Constant-initialised, so looking a handle up costs no initialisation check.
extern PortTable portTable;
inline PortTable& Ports() {
    return portTable;
}

// For requests that do not wait: a signal can only have arrived between them.
inline int Ioctl(int fd, unsigned long request, void* arg) {
    int result;
    do {
        result = ioctl(fd, request, arg);
    } while (result < 0 && errno == EINTR);
    return result;
}

inline bool DeviceHasNoSuchControl() {
    return errno == ENOTTY || errno == EINVAL;
}

// Operations that only record something for later still fail on a device that has
// gone away (an unplugged adapter, a hung-up line), as they do on Windows.
inline bool DevicePresent(const Port& port) {
    termios2 line{};
    return Ioctl(port.fd, TCGETS2, &line) == 0;
}

}  // namespace velmora::serial
