#include <climits>
#include <cstring>

#include "methods/methods.h"
#include "methods/script_values.h"

namespace velmora::methods {

namespace {

// Hosts from 8.5 on measure a text themselves; older ones carry the text's handle in
// the value's second word, sized the text's length plus one. A negative length means
// the text is counted up to its first NUL. A TextLength that fails and delivers
// nothing leaves the length at 0: a text that could not be measured is not sent.
std::int32_t MeasureText(const PortInstance& self, LockedText& data) {
    std::int32_t length = 0;
    if (self.hostVersion >= 8.5) {
        self.values->ops->TextLength(self.values, &data.value(), &length);
    } else {
        const auto handle =
            reinterpret_cast<MemHandle>(static_cast<std::uintptr_t>(data.value().word1));
        const std::int32_t size = self.handles->ops->HandleSize(self.handles, handle);
        length = size < 1 ? -1 : size - 1;  // no room for even the closing byte
    }
    if (length < 0) length = static_cast<std::int32_t>(std::strlen(data.text()));
    return length;
}

// IHandleService has no operation to free a handle; a handle that must not reach the
// script goes to the host as the result and is replaced at once, so the host's value
// drops it. The host may measure it on receipt, so it goes over as an empty text: its
// first byte 0 and its size 1, or, should the block not shrink, its last byte 0.
void DiscardHandle(PortInstance& self, CallInfo& call, MemHandle handle, char* bytes,
                   std::uint32_t size) {
    IHandleService* handles = self.handles;
    bytes[0] = '\0';
    bytes[size - 1] = '\0';
    handles->ops->ResizeHandle(handles, handle, 1);
    handles->ops->UnlockHandle(handles, handle);
    self.values->ops->FromTextHandle(self.values, handle, &call.result);
    AnswerInteger(self, call, 0);
}

// A block the host would not lock is shrunk to one byte and asked for again, so that it
// can go back as an empty text. Only a host that will not lock even that keeps it: a text
// whose closing byte could not be written is never handed over.
void DiscardUnlockedHandle(PortInstance& self, CallInfo& call, MemHandle handle) {
    IHandleService* handles = self.handles;
    handles->ops->ResizeHandle(handles, handle, 1);
    auto* byte = static_cast<char*>(handles->ops->LockHandle(handles, handle));
    if (byte != nullptr) DiscardHandle(self, call, handle, byte, 1);
}

std::int32_t ErrorCode(std::uint32_t errors) {
    // Parity is reported before overrun although its bit is the higher one.
    if (errors & serial::kCeRxOver) return -1;
    if (errors & serial::kCeRxParity) return -2;
    if (errors & serial::kCeOverrun) return -3;
    if (errors & serial::kCeFrame) return -4;
    if (errors & serial::kCeBreak) return -5;
    return 0;
}

}  // namespace

Status WriteComm(PortInstance& self, CallInfo& call) {
    // Without an open port there is nothing to write to, and before any `new` the host
    // version that says how to measure the text is unknown.
    if (!serial::IsOpen(self.port)) return kOk;
    std::uint32_t written = 0;
    {
        LockedText data(self, call, 1);
        if (!data.locked()) return kOk;
        const std::int32_t length = MeasureText(self, data);
        serial::WriteFile(self.port, data.text(), static_cast<std::uint32_t>(length), &written,
                          nullptr);
    }
    AnswerInteger(self, call, static_cast<std::int32_t>(written));
    return kOk;
}

Status ReadComm(PortInstance& self, CallInfo& call) {
    std::uint32_t errors = 0;
    serial::ComStat status{};
    if (!serial::ClearCommError(self.port, &errors, &status)) return kOk;
    // Only what is already waiting is asked for, so the read never waits.
    const std::uint32_t waiting = status.cbInQue;
    if (waiting >= static_cast<std::uint32_t>(INT32_MAX)) return kOk;  // no handle that large

    IHandleService* handles = self.handles;
    const MemHandle text =
        handles->ops->AllocHandle(handles, static_cast<std::int32_t>(waiting) + 1);
    if (text == nullptr) return kOk;
    auto* bytes = static_cast<char*>(handles->ops->LockHandle(handles, text));
    if (bytes == nullptr) {
        DiscardUnlockedHandle(self, call, text);
        return kOk;
    }
    std::uint32_t got = 0;
    if (!serial::ReadFile(self.port, bytes, waiting, &got, nullptr)) {
        DiscardHandle(self, call, text, bytes, waiting + 1);
        return kOk;
    }
    // A text handle holds the text and a closing 0, its size the length plus one;
    // the 0 goes in before a short read shrinks the block.
    bytes[got] = '\0';
    if (got != waiting)
        handles->ops->ResizeHandle(handles, text, static_cast<std::int32_t>(got) + 1);
    handles->ops->UnlockHandle(handles, text);
    self.values->ops->FromTextHandle(self.values, text, &call.result);
    return kOk;
}

Status FlushComm(PortInstance& self, CallInfo& call) {
    if (serial::FlushFileBuffers(self.port)) AnswerInteger(self, call, 1);
    return kOk;
}

Status GetCommError(PortInstance& self, CallInfo& call) {
    std::uint32_t errors = 0;
    if (!serial::ClearCommError(self.port, &errors, nullptr)) return kOk;
    AnswerInteger(self, call, ErrorCode(errors));
    return kOk;
}

}  // namespace velmora::methods
