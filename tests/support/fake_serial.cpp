#include "tests/support/fake_serial.h"

#include <algorithm>

namespace velmora::fake {

FakeSerial& FakeSerial::Get() {
    static FakeSerial fake;
    return fake;
}

void FakeSerial::Reset() {
    *this = FakeSerial{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.flags = serial::dcb::kBinary;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
}

std::vector<std::string> FakeSerial::Ops() const {
    std::vector<std::string> ops;
    for (const SerialCall& c : calls) ops.push_back(c.op);
    return ops;
}

int FakeSerial::Count(const std::string& op) const {
    return static_cast<int>(
        std::count_if(calls.begin(), calls.end(), [&](const SerialCall& c) { return c.op == op; }));
}

const SerialCall* FakeSerial::Last(const std::string& op) const {
    for (auto it = calls.rbegin(); it != calls.rend(); ++it) {
        if (it->op == op) return &*it;
    }
    return nullptr;
}

}  // namespace velmora::fake

namespace velmora::serial {

using fake::FakeSerial;

namespace {
// Records the call; true when the operation may go on (a known open port, not failing).
bool Enter(const char* op, PortHandle port, std::vector<std::uint64_t> args = {},
           std::string text = {}) {
    FakeSerial& f = FakeSerial::Get();
    f.calls.push_back({op, std::move(args), std::move(text), port});
    return f.open.count(port) != 0 && f.failing.count(op) == 0;
}
}  // namespace

PortHandle CreateFileA(const char* name, std::uint32_t access, std::uint32_t share, void*,
                       std::uint32_t disposition, std::uint32_t flags, PortHandle) {
    FakeSerial& f = FakeSerial::Get();
    f.calls.push_back({"CreateFileA", {access, share, disposition, flags}, name, nullptr});
    const std::string n = name;
    if (f.failing.count("CreateFileA") || n.rfind(f.missingPrefix, 0) == 0) return InvalidPort();
    const auto port = reinterpret_cast<PortHandle>(f.nextHandle++);
    f.open.insert(port);
    return port;
}

Bool SetupComm(PortHandle port, std::uint32_t in, std::uint32_t out) {
    return Enter("SetupComm", port, {in, out});
}

Bool GetCommState(PortHandle port, Dcb* dcb) {
    if (!Enter("GetCommState", port)) return 0;
    *dcb = FakeSerial::Get().dcb;
    return 1;
}

Bool SetCommState(PortHandle port, Dcb* dcb) {
    FakeSerial& f = FakeSerial::Get();
    if (!Enter("SetCommState", port, {dcb->flags, dcb->BaudRate})) return 0;
    f.dcb = *dcb;
    return 1;
}

Bool PurgeComm(PortHandle port, std::uint32_t flags) {
    if (!Enter("PurgeComm", port, {flags})) return 0;
    if (flags & kPurgeRxClear) FakeSerial::Get().input.clear();
    return 1;
}

Bool SetCommTimeouts(PortHandle port, CommTimeouts* t) {
    if (!Enter("SetCommTimeouts", port,
               {t->ReadIntervalTimeout, t->ReadTotalTimeoutMultiplier, t->ReadTotalTimeoutConstant,
                t->WriteTotalTimeoutMultiplier, t->WriteTotalTimeoutConstant})) {
        return 0;
    }
    FakeSerial::Get().timeouts = *t;
    return 1;
}

Bool EscapeCommFunction(PortHandle port, std::uint32_t function) {
    return Enter("EscapeCommFunction", port, {function});
}

Bool ClearCommError(PortHandle port, std::uint32_t* errors, ComStat* status) {
    FakeSerial& f = FakeSerial::Get();
    if (!Enter("ClearCommError", port, {status != nullptr})) return 0;
    *errors = f.errors;
    f.errors = 0;
    if (status != nullptr) {
        *status = ComStat{};
        status->cbInQue = f.reportedWaiting != UINT32_MAX
                              ? f.reportedWaiting
                              : static_cast<std::uint32_t>(f.input.size());
    }
    return 1;
}

Bool ReadFile(PortHandle port, void* buffer, std::uint32_t count, std::uint32_t* done, void*) {
    FakeSerial& f = FakeSerial::Get();
    *done = 0;
    if (!Enter("ReadFile", port, {count})) return 0;
    const std::size_t n = std::min<std::size_t>({count, f.readLimit, f.input.size()});
    f.input.copy(static_cast<char*>(buffer), n);
    f.input.erase(0, n);
    *done = static_cast<std::uint32_t>(n);
    return 1;
}

Bool WriteFile(PortHandle port, const void* buffer, std::uint32_t count, std::uint32_t* done,
               void*) {
    FakeSerial& f = FakeSerial::Get();
    *done = 0;
    const std::string bytes(static_cast<const char*>(buffer), count);
    if (!Enter("WriteFile", port, {count}, bytes)) return 0;
    const std::uint32_t n = std::min(count, f.writeLimit);
    f.written += bytes.substr(0, n);
    *done = n;
    return 1;
}

Bool FlushFileBuffers(PortHandle port) {
    return Enter("FlushFileBuffers", port);
}

Bool CloseHandle(PortHandle port) {
    const bool ok = Enter("CloseHandle", port);
    FakeSerial::Get().open.erase(port);
    return ok;
}

}  // namespace velmora::serial
