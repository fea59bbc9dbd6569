// Ports on device servers: serial/comm.h's operations over a socket, with the rules of
// serial/network_session.h. Every wait is bounded: the connect by kConnectBound, a
// setting's confirmation by kAnswerBound, a write by its time-out, as on a local port.
#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "serial/com_port_option.h"
#include "serial/line_pacer.h"
#include "serial/network_name.h"
#include "serial/network_port.h"
#include "serial/network_probe.h"
#include "serial/network_session.h"
#include "serial/socket.h"

namespace velmora::serial::network {

namespace {

namespace rfc = rfc2217;

// Name lookup, connection, options and the line's state, together.
constexpr Micros kConnectBound = 5'000'000;
// The server's answer to a setting, a control line, a break or a purge.
constexpr Micros kAnswerBound = 1'000'000;
// FlushComm: the bytes the socket had not taken yet.
constexpr Micros kFlushBound = 1'000'000;
// The system's buffer for a paced line holds about this much of it, and never less than
// kSendBufferLeast: a server that stops taking bytes unannounced holds up the writes soon.
constexpr std::int64_t kSendBufferNanos = 100'000'000;
constexpr std::size_t kSendBufferLeast = std::size_t{8} * 1024;
// Reads of the socket in one look at it: enough for what a polled port receives between
// calls, few enough that each wait checks its deadline often.
constexpr int kReadsAPump = 32;

struct NetworkPort {
    explicit NetworkPort(Scheme scheme) : session(scheme) {}
    std::uintptr_t handle = 0;
    Socket socket;
    Session session;
    LinePacer pacer;
    CommTimeouts timeouts{};
    std::int64_t pacedFor = -1;  // the line rate the pacer and the buffer are sized for
};

// Opens and closes take it; a spin will do, as neither waits for anything.
class SpinLock {
  public:
    void lock() {
        while (flag_.test_and_set(std::memory_order_acquire)) {
        }
    }
    void unlock() { flag_.clear(std::memory_order_release); }

  private:
    std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

// Handles as the Linux layer makes them, slot number + 1 shifted left by two below a
// reuse count, with the network tag in the lowest bits (serial/network_port.h).
constexpr std::size_t kSlots = 64;
constexpr std::uintptr_t kSlotBits = 0xFFFF;
constexpr std::uintptr_t kMaxReuse = 0x7FFF;

class PortTable {
  public:
    constexpr PortTable() = default;

    NetworkPort* Find(PortHandle handle) const {
        const auto value = reinterpret_cast<std::uintptr_t>(handle);
        const std::uintptr_t slot = ((value & kSlotBits) >> 2) - 1;
        if (slot >= kSlots) return nullptr;
        NetworkPort* port = slots_[slot].get();
        return (port != nullptr && port->handle == value) ? port : nullptr;
    }

    // Takes `port` when there is a free slot.
    PortHandle Add(std::unique_ptr<NetworkPort>& port) {
        lock_.lock();
        PortHandle handle = InvalidPort();
        for (std::size_t slot = 0; slot < kSlots; ++slot) {
            if (slots_[slot]) continue;
            reuse_[slot] = reuse_[slot] % kMaxReuse + 1;
            port->handle = (reuse_[slot] << 16) | ((slot + 1) << 2) | kHandleTag;
            handle = reinterpret_cast<PortHandle>(port->handle);
            slots_[slot] = std::move(port);
            break;
        }
        lock_.unlock();
        return handle;
    }

    std::unique_ptr<NetworkPort> Remove(PortHandle handle) {
        lock_.lock();
        std::unique_ptr<NetworkPort> port;
        if (NetworkPort* found = Find(handle)) {
            port = std::move(slots_[((found->handle & kSlotBits) >> 2) - 1]);
        }
        lock_.unlock();
        return port;
    }

  private:
    SpinLock lock_;
    std::unique_ptr<NetworkPort> slots_[kSlots] = {};
    std::uintptr_t reuse_[kSlots] = {};
};

PortTable ports;

// Moves what moves without waiting: the outbox to the socket, received bytes into the
// input. With `dropping`, bytes are read even when the input is full, its data lost as
// an input overflow: a wait must see the server's answers behind them. False once the
// connection is over.
bool Pump(NetworkPort& port, bool dropping) {
    Session& s = port.session;
    if (s.ended()) return false;
    const auto flush = [&] {
        while (s.outgoingSize() != 0) {
            std::size_t sent = 0;
            const Socket::Io io = port.socket.Send(s.outgoing(), s.outgoingSize(), &sent);
            if (io == Socket::Io::kEnded) {
                s.Ended();
                return false;
            }
            if (io == Socket::Io::kWouldBlock || sent == 0) return true;
            s.Sent(sent);
        }
        return true;
    };
    if (!flush()) return false;
    // A server that floods cannot keep a call here: a pump reads a bounded amount.
    for (int reads = 0; reads < kReadsAPump; ++reads) {
        std::size_t room = 0;
        std::uint8_t* space = s.ReceiveSpace(&room);
        std::uint8_t scratch[2048];
        const bool beyond = room == 0;
        if (beyond && !dropping) break;
        std::size_t got = 0;
        const Socket::Io io =
            port.socket.Receive(beyond ? scratch : space, beyond ? sizeof scratch : room, &got);
        if (io == Socket::Io::kEnded) {
            s.Ended();
            return false;
        }
        if (io == Socket::Io::kWouldBlock) break;
        if (beyond) {
            s.ReceivedBeyondRoom(scratch, got);
        } else {
            s.Received(got);
        }
        if (!beyond && got < room) break;  // all there was: no call more to learn that
    }
    return flush();  // answers to what the server said go at once
}

// Pumps until `done()`, the deadline, or the end of the connection; true when done.
template <typename Done>
bool WaitUntil(NetworkPort& port, Deadline deadline, Done done) {
    for (;;) {
        const bool open = Pump(port, true);
        if (done()) return true;
        if (!open || deadline.PassedAt(Now())) return false;
        if (!port.socket.Wait(port.session.outgoingSize() != 0, deadline)) {
            port.session.Ended();
            return done();
        }
    }
}

// After a change of the line's rate: the pace, and the system's buffer to match.
void Repace(NetworkPort& port) {
    const std::int64_t nanos = port.session.NanosPerByte();
    if (nanos == port.pacedFor) return;
    port.pacedFor = nanos;
    port.pacer.SetNanosPerByte(nanos);
    if (nanos <= 0) return;
    const auto bytes = static_cast<std::size_t>(kSendBufferNanos / nanos);
    port.socket.SetSendBuffer(bytes > kSendBufferLeast ? bytes : kSendBufferLeast);
}

// Asks the server and waits for its answers; undoes what it confirmed when it did not
// confirm everything. True when every value was confirmed as asked.
bool Settle(NetworkPort& port, const Session::Plan& plan) {
    Session& s = port.session;
    if (plan.size == 0) return true;
    if (!s.Ask(plan)) return false;
    WaitUntil(port, Deadline::After(Now(), kAnswerBound), [&] { return !s.Awaiting(plan); });
    const bool confirmed = s.Confirmed(plan);
    if (!confirmed && !s.ended()) {
        const Session::Plan undo = s.Undo(plan);
        s.GiveUpWaiting();
        if (undo.size != 0 && s.Ask(undo)) {
            WaitUntil(port, Deadline::After(Now(), kAnswerBound),
                      [&] { return !s.Awaiting(undo); });
        }
    }
    s.GiveUpWaiting();
    Repace(port);
    return confirmed && !s.ended();
}

bool Open(NetworkPort& port, const NetworkName& name) {
    const Deadline deadline = Deadline::After(Now(), kConnectBound);
    if (!port.socket.Connect(name.host, name.service, deadline)) return false;
    Session& s = port.session;
    if (s.comPortOption()) {
        s.Offer();
        WaitUntil(port, deadline, [&] { return s.comPort() != Session::Agreement::kPending; });
        if (s.comPort() != Session::Agreement::kAgreed || s.ended()) return false;
        s.AskEverything();
        WaitUntil(port, deadline.Or(Deadline::After(Now(), kAnswerBound)),
                  [&] { return !s.Awaiting(kLineSettings); });
        // A port another client holds is refused by closing the connection.
        if (s.ended()) return false;
        s.GiveUpWaiting();
    }
    s.Settle();
    Repace(port);
    return true;
}

// The length of the run at the start of `data` that goes on the wire as it is.
std::size_t PlainRun(const std::uint8_t* data, std::size_t size, bool binary) {
    const void* iac = std::memchr(data, telnet::kIac, size);
    std::size_t run = iac != nullptr
                          ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(iac) - data)
                          : size;
    if (!binary) {
        const void* cr = std::memchr(data, telnet::kCr, run);
        if (cr != nullptr)
            run = static_cast<std::size_t>(static_cast<const std::uint8_t*>(cr) - data);
    }
    return run;
}

// Hands data to the socket, escaped where the wire needs it, as much as it takes now.
// *sent counts data bytes; a byte whose escape the socket took only half of counts, its
// second half going first from the outbox. False once the connection is over.
bool SendData(NetworkPort& port, const std::uint8_t* data, std::size_t size, std::size_t* sent) {
    Session& s = port.session;
    *sent = 0;
    const bool plain = !s.comPortOption();
    while (*sent < size) {
        const std::uint8_t* from = data + *sent;
        const std::size_t left = size - *sent;
        const std::size_t run = plain ? left : PlainRun(from, left, s.binaryOut());
        std::size_t taken = 0;
        if (run >= 64 || run == left) {  // long runs go from where they are
            if (port.socket.Send(from, run, &taken) == Socket::Io::kEnded) {
                s.Ended();
                return false;
            }
            *sent += taken;
            if (taken < run) return true;  // the socket is full
            continue;
        }
        // Short runs and escapes: a piece encoded here.
        std::uint8_t wire[512];
        std::size_t wireSize = 0;
        const std::size_t encoded = telnet::Escape(from, left < 256 ? left : 256, s.binaryOut(),
                                                   wire, sizeof wire, &wireSize);
        if (port.socket.Send(wire, wireSize, &taken) == Socket::Io::kEnded) {
            s.Ended();
            return false;
        }
        std::size_t at = 0;
        std::size_t bytes = 0;
        while (bytes < encoded && at < taken) {
            const std::uint8_t b = from[bytes++];
            at += (b == telnet::kIac || (!s.binaryOut() && b == telnet::kCr)) ? 2 : 1;
        }
        if (at > taken) s.QueueWire(wire + taken, at - taken);  // the escape's second byte
        *sent += bytes;
        if (taken < wireSize) return true;
    }
    return true;
}

}  // namespace

PortHandle CreateFileA(const char* name) {
    NetworkName parsed;
    if (!ParseNetworkName(name, &parsed) || !StartNetworking()) return InvalidPort();
    std::unique_ptr<NetworkPort> port(new (std::nothrow_t{}) NetworkPort(parsed.scheme));
    PortHandle handle = InvalidPort();
    if (port != nullptr && Open(*port, parsed)) handle = ports.Add(port);
    if (handle == InvalidPort()) {
        port.reset();
        StopNetworking();
    }
    return handle;
}

Bool SetupComm(PortHandle handle, std::uint32_t, std::uint32_t) {
    // The input holds what Session::kInputCapacity says; beyond that the server waits.
    NetworkPort* port = ports.Find(handle);
    return port != nullptr && Pump(*port, false);
}

Bool GetCommState(PortHandle handle, Dcb* dcb) {
    NetworkPort* port = ports.Find(handle);
    if (port == nullptr || dcb == nullptr || !Pump(*port, false)) return 0;
    *dcb = port->session.State();
    return 1;
}

Bool SetCommState(PortHandle handle, Dcb* dcb) {
    NetworkPort* port = ports.Find(handle);
    if (port == nullptr || dcb == nullptr || !Pump(*port, false)) return 0;
    Session::Plan plan;
    if (!port->session.PlanChange(*dcb, &plan) || !Settle(*port, plan)) return 0;
    port->session.Commit(*dcb);
    Repace(*port);
    return 1;
}

Bool PurgeComm(PortHandle handle, std::uint32_t flags) {
    NetworkPort* port = ports.Find(handle);
    if (port == nullptr) return 0;
    if (flags & ~(kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear)) return 0;
    if (!Pump(*port, false)) return 0;
    Session& s = port->session;
    const bool rx = flags & kPurgeRxClear;
    const bool tx = flags & kPurgeTxClear;
    if (rx) s.DiscardInput();
    if (!s.comPortOption()) {
        // What the system has received is as good as in the input: dropped too, as much
        // as is there now.
        for (int i = 0; rx && i < 16 && Pump(*port, true) && s.waiting() != 0; ++i) {
            s.DiscardInput();
        }
        if (rx) s.DiscardInput();
        return !s.ended();
    }
    if (!rx && !tx) return 1;  // transfers are synchronous: nothing is pending to abort
    const std::uint8_t what =
        rx && tx ? rfc::kPurgeBoth : (rx ? rfc::kPurgeReceived : rfc::kPurgeToSend);
    if (!s.AskPurge(what)) return 0;
    const bool answered = WaitUntil(*port, Deadline::After(Now(), kAnswerBound),
                                    [&] { return !s.Awaiting(Bit(kPurge)); });
    s.StopPurging();
    s.GiveUpWaiting();
    return answered && !s.ended();
}

Bool SetCommTimeouts(PortHandle handle, CommTimeouts* timeouts) {
    NetworkPort* port = ports.Find(handle);
    if (port == nullptr || timeouts == nullptr || !Pump(*port, false)) return 0;
    port->timeouts = *timeouts;
    return 1;
}

namespace {

// DTR, RTS or BREAK, as the server confirms it.
Bool Control(NetworkPort& port, Setting setting, std::uint8_t value) {
    return Settle(port, port.session.PlanControl(setting, value));
}

}  // namespace

Bool EscapeCommFunction(PortHandle handle, std::uint32_t function) {
    NetworkPort* port = ports.Find(handle);
    if (port == nullptr || !Pump(*port, false)) return 0;
    Session& s = port->session;
    // A plain stream has no lines: only the hold of output, which is this port's own.
    const bool lines = s.comPortOption();
    const Dcb state = s.State();
    switch (function) {
        case kSetXoff:
            s.SetXoffHold(true);
            return 1;
        case kSetXon:
            s.SetXoffHold(false);
            return 1;
        // A line under a handshake belongs to the handshake, as on Windows; one the
        // server does not report is one this port cannot vouch for.
        case kSetRts:
        case kClrRts:
            if (!lines || !s.Reports(kRts) || dcb::RtsControl(state) == dcb::kControlHandshake) {
                return 0;
            }
            return Control(*port, kRts, function == kSetRts ? rfc::kRtsOn : rfc::kRtsOff);
        case kSetDtr:
        case kClrDtr:
            if (!lines || !s.Reports(kDtr) || dcb::DtrControl(state) == dcb::kControlHandshake) {
                return 0;
            }
            return Control(*port, kDtr, function == kSetDtr ? rfc::kDtrOn : rfc::kDtrOff);
        case kSetBreak:
            // Output stops for the break, as it does on a local port.
            if (!lines || !Control(*port, kBreak, rfc::kBreakOn)) return 0;
            s.SetBreakHold(true);
            return 1;
        case kClrBreak:
            // Output resumes whatever the server says: a break it will not end must not
            // hold this port's output for good.
            if (!lines) return 0;
            s.SetBreakHold(false);
            return Control(*port, kBreak, rfc::kBreakOff);
        default:
            return 0;  // RESETDEV and unknown codes
    }
}

Bool ClearCommError(PortHandle handle, std::uint32_t* errors, ComStat* status) {
    NetworkPort* port = ports.Find(handle);
    if (port == nullptr) return 0;
    Pump(*port, false);
    Session& s = port->session;
    // What arrived before the connection ended is still delivered; then every call fails.
    if (s.ended() && s.waiting() == 0) return 0;
    if (status != nullptr) {
        *status = ComStat{s.HoldFlags(), static_cast<std::uint32_t>(s.waiting()),
                          static_cast<std::uint32_t>(s.outgoingSize())};
    }
    const std::uint32_t found = s.TakeErrors();
    if (errors != nullptr) *errors = found;
    return 1;
}

Bool ReadFile(PortHandle handle, void* buffer, std::uint32_t count, std::uint32_t* countRead) {
    NetworkPort* port = ports.Find(handle);
    if (countRead != nullptr) *countRead = 0;
    if (port == nullptr || (buffer == nullptr && count != 0)) return 0;
    Session& s = port->session;
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    std::size_t done = s.Read(bytes, count);
    // Win32's total read time-out; the interval time-out is not kept (the methods ask
    // only for what is already waiting, and never wait for more).
    const CommTimeouts& t = port->timeouts;
    const bool atOnce = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
                        t.ReadTotalTimeoutConstant == 0;
    if (done < count && !atOnce) {
        const Deadline deadline =
            Deadline::AfterMs(Now(), std::uint64_t{t.ReadTotalTimeoutMultiplier} * count +
                                         t.ReadTotalTimeoutConstant);
        while (done < count) {
            Pump(*port, false);
            done += s.Read(bytes + done, count - done);
            if (done == count || s.ended() || deadline.PassedAt(Now())) break;
            if (s.waiting() == 0 && !port->socket.Wait(s.outgoingSize() != 0, deadline)) s.Ended();
        }
    }
    if (countRead != nullptr) *countRead = static_cast<std::uint32_t>(done);
    return done > 0 || count == 0 || !s.ended();
}

Bool WriteFile(PortHandle handle, const void* buffer, std::uint32_t count,
               std::uint32_t* countWritten) {
    NetworkPort* port = ports.Find(handle);
    if (countWritten != nullptr) *countWritten = 0;
    if (port == nullptr || (buffer == nullptr && count != 0)) return 0;
    Session& s = port->session;
    // What the server said since the last call may hold output: heard first. A plain
    // stream says nothing but data, which can wait for the next read; a connection that
    // ended shows when the bytes are sent.
    if (s.comPortOption() ? !Pump(*port, false) : s.ended()) return 0;
    if (count == 0) return 1;
    const CommTimeouts& t = port->timeouts;
    const Deadline deadline = Deadline::AfterMs(
        Now(), std::uint64_t{t.WriteTotalTimeoutMultiplier} * count + t.WriteTotalTimeoutConstant);
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    std::size_t done = 0;
    bool open = true;
    while (done < count) {
        const Micros now = Now();
        // Nothing goes past the outbox's leftovers, a hold, or the line's pace.
        const bool clear = s.outgoingSize() == 0 && !s.OutputHeld();
        const std::size_t allowed = clear ? port->pacer.Allowed(now, count - done) : 0;
        std::size_t sent = 0;
        if (allowed != 0) {
            open = SendData(*port, bytes + done, allowed, &sent);
            port->pacer.Spent(now, sent);
            done += sent;
            if (!open) break;
            if (sent == allowed) continue;
        }
        if (deadline.PassedAt(Now())) break;
        // Wait for the socket to take more, for the pace, or for a hold to end (the
        // server's notices arrive as input).
        Deadline until = deadline;
        if (clear && allowed == 0)
            until = until.Or(Deadline::At(port->pacer.When(now, count - done)));
        const bool full = allowed != 0 || s.outgoingSize() != 0;
        if (!port->socket.Wait(full, until)) s.Ended();
        if (!(open = Pump(*port, true))) break;
    }
    if (countWritten != nullptr) *countWritten = static_cast<std::uint32_t>(done);
    return open;
}

Bool FlushFileBuffers(PortHandle handle) {
    NetworkPort* port = ports.Find(handle);
    if (port == nullptr || !Pump(*port, false)) return 0;
    Session& s = port->session;
    return WaitUntil(*port, Deadline::After(Now(), kFlushBound),
                     [&] { return s.outgoingSize() == 0; }) &&
           !s.ended();
}

Bool CloseHandle(PortHandle handle) {
    std::unique_ptr<NetworkPort> port = ports.Remove(handle);
    if (port == nullptr) return 0;
    // What the outbox still owes goes if the socket takes it now; a close waits for nothing.
    if (port->session.outgoingSize() != 0) {
        std::size_t sent = 0;
        port->socket.Send(port->session.outgoing(), port->session.outgoingSize(), &sent);
    }
    port.reset();
    StopNetworking();
    return 1;
}

bool ProbeServer(const char* name, ServerReport* report) {
    NetworkName parsed;
    if (report == nullptr || !ParseNetworkName(name, &parsed) || !StartNetworking()) return false;
    std::unique_ptr<NetworkPort> port(new (std::nothrow_t{}) NetworkPort(parsed.scheme));
    // A server may still be letting the previous client go: one more try shortly after.
    bool open = port != nullptr && Open(*port, parsed);
    for (int retry = 0; retry < 3 && port != nullptr && !open; ++retry) {
        Pause(300'000);
        port.reset(new (std::nothrow_t{}) NetworkPort(parsed.scheme));
        open = port != nullptr && Open(*port, parsed);
    }
    if (open) {
        Session& s = port->session;
        *report = ServerReport{};
        report->comPortOption = s.comPortOption();
        if (s.comPortOption()) {
            // The masks, the signature and a first modem-state notice come in their time.
            WaitUntil(*port, Deadline::After(Now(), 2'000'000), [&] {
                return s.Known(kLineMask) && s.Known(kModemMask) && s.Known(kSignature) &&
                       s.modemKnown();
            });
            std::memcpy(report->signature, s.signature(), sizeof report->signature);
            report->signature[sizeof report->signature - 1] = '\0';
            report->reportsBaud = s.Reports(kBaud);
            report->reportsDataSize = s.Reports(kDataSize);
            report->reportsParity = s.Reports(kParity);
            report->reportsStopSize = s.Reports(kStopSize);
            report->reportsFlow = s.Reports(kFlow);
            report->reportsBreak = s.Reports(kBreak);
            report->reportsDtr = s.Reports(kDtr);
            report->reportsRts = s.Reports(kRts);
            report->lineMaskAsked = rfc::kLineStateMask;
            report->modemMaskAsked = rfc::kModemStateMask;
            report->lineMask = s.Known(kLineMask) ? static_cast<int>(s.Value(kLineMask)) : -1;
            report->modemMask = s.Known(kModemMask) ? static_cast<int>(s.Value(kModemMask)) : -1;
            report->modem = s.modemKnown() ? s.modem() : -1;
        }
    }
    port.reset();
    StopNetworking();
    return open;
}

}  // namespace velmora::serial::network
