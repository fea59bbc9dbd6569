// Drives the module through the project's host with whatever a script, a host or a
// device could do: any method number, arguments of any kind and number, any host
// version, and failures injected into the host's services and the serial layer.
// After each input nothing of the host's may be left held.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "host/exports.h"
#include "host/interface_ids.h"
#include "methods/port_instance.h"
#include "minihost/host.h"
#include "tests/support/fake_serial.h"
#include "tests/support/linked_module.h"

namespace {

using velmora::minihost::Value;

void Require(bool ok, const char* what, const std::string& detail = {}) {
    if (ok) return;
    std::fprintf(stderr, "call boundary broken: %s %s\n", what, detail.c_str());
    std::abort();
}

Value AnyValue(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
            return Value::Void();
        case 1:
            return Value::Integer(in.ConsumeIntegral<std::int32_t>());
        case 2:
            return Value::Integer(in.ConsumeIntegralInRange<std::int32_t>(-2, 300));
        default:
            return Value::Text(in.ConsumeRandomLengthString(64));
    }
}

const char* const kOperations[] = {
    "CreateFileA", "SetupComm",       "GetCommState",       "SetCommState",
    "PurgeComm",   "SetCommTimeouts", "EscapeCommFunction", "ClearCommError",
    "ReadFile",    "WriteFile",       "FlushFileBuffers",   "CloseHandle",
};

void InjectFaults(FuzzedDataProvider& in, velmora::minihost::Host& host) {
    velmora::fake::FakeSerial& serial = velmora::fake::FakeSerial::Get();
    serial.failing.clear();
    for (const char* op : kOperations) {
        if (in.ConsumeProbability<float>() < 0.1f) serial.failing.insert(op);
    }
    serial.errors = in.ConsumeIntegral<std::uint32_t>();
    serial.input += in.ConsumeRandomLengthString(32);
    serial.readLimit =
        in.ConsumeBool() ? UINT32_MAX : in.ConsumeIntegralInRange<std::uint32_t>(0, 8);
    serial.writeLimit =
        in.ConsumeBool() ? UINT32_MAX : in.ConsumeIntegralInRange<std::uint32_t>(0, 8);
    serial.reportedWaiting =
        in.ConsumeProbability<float>() < 0.05f ? in.ConsumeIntegral<std::uint32_t>() : UINT32_MAX;
    if (serial.reportedWaiting != UINT32_MAX && serial.reportedWaiting > 1 << 16) {
        serial.reportedWaiting = in.ConsumeBool() ? 0x7FFFFFFF : 0xFFFFFFFF;  // no huge blocks
    }
    velmora::minihost::Faults& f = host.faults();
    f.refusedServices.clear();
    if (in.ConsumeProbability<float>() < 0.05f)
        f.refusedServices.push_back(velmora::kIidAppInfoService);
    f.allocsBeforeFailure = in.ConsumeProbability<float>() < 0.05f ? 0 : -1;
    f.failAllocHandle = in.ConsumeProbability<float>() < 0.05f;
    f.failLockHandle = in.ConsumeProbability<float>() < 0.05f ? (in.ConsumeBool() ? -1 : 1) : 0;
    f.failLockText = in.ConsumeProbability<float>() < 0.05f;
    f.lockTextGivesNull = in.ConsumeProbability<float>() < 0.05f;
    f.failTextLength = in.ConsumeProbability<float>() < 0.05f;
    f.negativeTextLength = in.ConsumeProbability<float>() < 0.1f;
    f.failQueryInfo = in.ConsumeProbability<float>() < 0.05f;
    f.oddHandleSize = in.ConsumeProbability<float>() < 0.05f;
    f.handleSizeAnswer = in.ConsumeBool() ? INT32_MIN : in.ConsumeIntegralInRange(-2, 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    velmora::fake::FakeSerial::Get().Reset();
    velmora::minihost::Host host(velmora::testing::LinkedModule());
    static const char* const kVersions[] = {"8.5", "8.4", "7.0.2", "", "  11", "10.0.1", "abc"};
    host.SetVersion(in.ConsumeBool() ? kVersions[in.ConsumeIntegralInRange<std::size_t>(0, 6)]
                                     : in.ConsumeRandomLengthString(24));
    std::string error;
    Require(host.Register(&error) == velmora::kOk, "registration failed", error);

    bool handleServiceRefused = false;
    {
        if (in.ConsumeProbability<float>() < 0.03f) {
            handleServiceRefused = in.ConsumeBool();
            host.faults().refusedServices = {handleServiceRefused ? velmora::kIidHandleService
                                                                  : velmora::kIidValueService};
        }
        auto object = host.NewObject();
        host.faults().refusedServices.clear();
        if (object) {
            const int calls = in.ConsumeIntegralInRange(1, 24);
            for (int i = 0; i < calls && in.remaining_bytes() > 0; ++i) {
                InjectFaults(in, host);
                std::int32_t number = in.ConsumeIntegralInRange<std::int32_t>(-1, 22);
                if (in.ConsumeProbability<float>() < 0.05f)
                    number = in.ConsumeIntegral<std::int32_t>();
                std::vector<Value> args;
                const int count = in.ConsumeIntegralInRange(0, 5);
                for (int k = 0; k < count; ++k) args.push_back(AnyValue(in));
                // Open a port now and then with a sane call, so the rest reaches the device.
                if (number == 0 && in.ConsumeBool()) {
                    args = {Value::Text("COM1"), Value::Integer(64), Value::Integer(64)};
                }
                if (in.ConsumeProbability<float>() < 0.05f) {
                    // A host may hold extra references and ask for identity in between.
                    velmora::IScripting* scripting = object->scripting();
                    scripting->ops->AddRef(scripting);
                    void* asked = nullptr;
                    scripting->ops->QueryInterface(scripting, &velmora::kIidScripting, &asked);
                    scripting->ops->Release(scripting);
                }
                object->CallNumber(number, args, AnyValue(in));
                // A module that misread the host's version (its QueryInfo failed, or the
                // text is one only the host reads as a number) measures texts by the other
                // rule: on a new host it asks HandleSize about a word that is no handle,
                // and gets 0. That is the contract's risk, not a fault of the module.
                const auto* port = static_cast<velmora::PortInstance*>(object->instance());
                const bool misread = (port->hostVersion < 8.5) != host.TextHandlesInValues();
                for (const std::string& p : host.TakeProblems()) {
                    Require(misread && p == "HandleSize on an unknown handle",
                            "host services misused:", p);
                }
                // Only a block the host would never lock, not even at one byte, stays
                // the host's: it can be neither filled nor handed back as a text.
                const int abandoned = host.ReclaimAbandonedHandles();
                Require(abandoned == 0 || (abandoned == 1 && host.faults().failLockHandle < 0),
                        "handles abandoned:", std::to_string(abandoned));
                const velmora::minihost::Accounting a = host.accounting();
                Require(a.liveHandles == 0 && a.lockedHandles == 0 && a.lockedTexts == 0,
                        "something held after a call:", velmora::minihost::Describe(a));
            }
        }
    }
    const velmora::minihost::Accounting a = host.accounting();
    // A value service obtained before the handle service was refused stays with the
    // instance whose creation failed: that one reference is the host's to account for.
    const int keptByFailedCreate = handleServiceRefused ? 1 : 0;
    Require(a.liveBlocks == 0 && a.liveHandles == 0 && a.lockedHandles == 0 && a.lockedTexts == 0 &&
                a.instanceRefs == 0 && a.serviceRefs == keptByFailedCreate,
            "something held at the end:", velmora::minihost::Describe(a));
    Require(DllCanUnloadNow() == velmora::kOk, "interface objects left alive");
    const std::vector<std::string> problems = host.TakeProblems();
    Require(problems.empty(), "host services misused:", problems.empty() ? "" : problems.front());
    Require(velmora::fake::FakeSerial::Get().open.empty(), "a port left open");
    return 0;
}
