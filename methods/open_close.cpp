#include "host/interface_ids.h"
#include "methods/methods.h"
#include "methods/script_values.h"
#include "methods/decimal_number_parser.h"

namespace velmora::methods {

namespace {

namespace dcb = serial::dcb;

// Of the handshake fields: output waits for CTS and DSR, DTR and RTS raised, no
// XON/XOFF. Every other bit stays.
constexpr std::uint32_t kHandshakeOnOpen = dcb::kOutxCtsFlow | dcb::kOutxDsrFlow |
                                           (dcb::kControlEnable << dcb::kDtrControlShift) |
                                           (dcb::kControlEnable << dcb::kRtsControlShift);
constexpr std::uint32_t kPurgeEverything =
    serial::kPurgeTxAbort | serial::kPurgeRxAbort | serial::kPurgeTxClear | serial::kPurgeRxClear;

// The host's version decides how WriteComm measures its texts. A failing QueryInfo
// leaves the zeroed buffer, which reads as 0.0.
bool ReadHostVersion(PortInstance& self) {
    ICallbackService* callback = self.header.callback;
    IAppInfoService* appInfo = nullptr;
    if (callback == nullptr ||
        callback->ops->QueryInterface(callback, &kIidAppInfoService,
                                      reinterpret_cast<void**>(&appInfo)) != kOk) {
        return false;
    }
    char version[20] = {};
    appInfo->ops->QueryInfo(appInfo, kAppInfoVersion, version, sizeof version);
    appInfo->ops->Release(appInfo);
    self.hostVersion = ParseDecimalNumber(version, sizeof version - 1);
    return true;
}

}  // namespace

Status New(PortInstance& self, CallInfo& call) {
    if (!ReadHostVersion(self)) return ErrNoInterface;

    std::int32_t inQueue = 0;
    std::int32_t outQueue = 0;
    {
        LockedText name(self, call, 1);
        inQueue = IntegerArgument(self, call, 2);
        outQueue = IntegerArgument(self, call, 3);
        // A port this object still holds would otherwise be recorded nowhere, and
        // the device stay busy until the host exits.
        if (serial::IsOpen(self.port)) serial::CloseHandle(self.port);
        self.port = name.locked() ? serial::CreateFileA(name.text(), serial::kGenericReadWrite, 0,
                                                        nullptr, serial::kOpenExisting, 0, nullptr)
                                  : serial::InvalidPort();
    }
    if (self.port == serial::InvalidPort()) {
        AnswerInteger(self, call, 0);
        return kOk;
    }

    serial::SetupComm(self.port, static_cast<std::uint32_t>(inQueue),
                      static_cast<std::uint32_t>(outQueue));
    serial::Dcb dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!serial::GetCommState(self.port, &dcb)) return kOk;
    dcb.flags = (dcb.flags & ~dcb::kHandshakeFields) | kHandshakeOnOpen;
    serial::PurgeComm(self.port, kPurgeEverything);
    serial::SetCommState(self.port, &dcb);
    return kOk;
}

Status Forget(PortInstance& self, CallInfo& call) {
    // Nothing to close: on Windows CloseHandle(INVALID_HANDLE_VALUE) would report
    // success for the process pseudo-handle.
    if (!serial::IsOpen(self.port)) {
        self.port = nullptr;
        return kOk;
    }
    AnswerInteger(self, call, serial::CloseHandle(self.port));
    self.port = nullptr;
    return kOk;
}

}  // namespace velmora::methods
