// Drives a port on a device server's state machine with whatever a server could send,
// in pieces of any size and with or without room in the input, interleaved with what a
// script could ask: changes of settings, controls, purges, reads. After every step the
// machine must be within its bounds; a plain stream must hand over every byte as it came;
// escaped data must decode to itself. Names are parsed too.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "serial/com_port_option.h"
#include "serial/network_name.h"
#include "serial/network_session.h"
#include "serial/telnet.h"

namespace {

using namespace velmora::serial;
using network::Session;

void Require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "device-server state machine broken: %s\n", what);
    std::abort();
}

void CheckBounds(const Session& s) {
    Require(s.waiting() <= Session::kInputCapacity, "input beyond its capacity");
    Require(s.outgoingSize() <= Session::kOutboxCapacity, "outbox beyond its capacity");
    Require(std::memchr(s.signature(), '\0', 64) != nullptr, "signature not terminated");
    const Dcb d = s.State();
    Require(d.DCBlength == sizeof(Dcb), "record length changed");
}

// Bytes from the server, as the socket layer hands them over: in place into the
// input's free end, or from elsewhere when the input may be full.
std::string Feed(Session& s, const std::string& wire, bool beyondRoom) {
    const std::size_t before = s.waiting();
    std::string read;
    if (beyondRoom) {
        std::string copy = wire;
        s.ReceivedBeyondRoom(reinterpret_cast<std::uint8_t*>(copy.data()), copy.size());
    } else {
        std::size_t at = 0;
        while (at < wire.size()) {
            std::size_t room = 0;
            std::uint8_t* space = s.ReceiveSpace(&room);
            if (room == 0) {  // a full input is read, as a script would
                std::string chunk(s.waiting(), '\0');
                s.Read(reinterpret_cast<std::uint8_t*>(chunk.data()), chunk.size());
                read += chunk;
                continue;
            }
            const std::size_t n = room < wire.size() - at ? room : wire.size() - at;
            std::memcpy(space, wire.data() + at, n);
            s.Received(n);
            at += n;
        }
    }
    Require(beyondRoom || s.waiting() + read.size() <= before + wire.size(),
            "more data than bytes received");
    return read;
}

Dcb AnyRecord(FuzzedDataProvider& in, const Dcb& now) {
    Dcb d = now;
    if (in.ConsumeBool()) d.BaudRate = in.ConsumeIntegral<std::uint32_t>();
    if (in.ConsumeBool()) d.ByteSize = in.ConsumeIntegral<std::uint8_t>();
    if (in.ConsumeBool()) d.Parity = in.ConsumeIntegral<std::uint8_t>();
    if (in.ConsumeBool()) d.StopBits = in.ConsumeIntegral<std::uint8_t>();
    if (in.ConsumeBool()) d.flags = in.ConsumeIntegral<std::uint32_t>();
    if (in.ConsumeBool()) d.XonChar = in.ConsumeIntegral<char>();
    return d;
}

// A plain stream: every byte is data, in order, whatever it is.
void PlainStream(FuzzedDataProvider& in) {
    Session s(network::Scheme::kSocket);
    s.Offer();
    s.AskEverything();
    Require(s.outgoingSize() == 0, "a plain stream sent a command");
    const std::string wire = in.ConsumeRandomLengthString(4096);
    std::string got = Feed(s, wire, false);
    std::string rest(s.waiting(), '\0');
    s.Read(reinterpret_cast<std::uint8_t*>(rest.data()), rest.size());
    Require(got + rest == wire, "a plain stream changed its bytes");
}

// Data escaped for the wire decodes to itself, in pieces of any size.
void RoundTrip(FuzzedDataProvider& in) {
    const bool binary = in.ConsumeBool();
    const std::size_t piece = in.ConsumeIntegralInRange<std::size_t>(1, 64);
    const std::string data = in.ConsumeRandomLengthString(2048);
    std::vector<std::uint8_t> wire(2 * data.size() + 1);
    std::size_t wireSize = 0;
    const std::size_t taken =
        telnet::Escape(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), binary,
                       wire.data(), wire.size(), &wireSize);
    Require(taken == data.size(), "escaping stopped with room to spare");
    telnet::Decoder decoder;
    decoder.SetBinary(binary);
    std::string decoded;
    for (std::size_t at = 0; at < wireSize; at += piece) {
        const std::size_t n = piece < wireSize - at ? piece : wireSize - at;
        std::size_t used = 0;
        while (used < n) {
            std::uint8_t out[64];
            std::size_t count = 0;
            telnet::Command command;
            used += decoder.Decode(wire.data() + at + used, n - used, out, &count, &command);
            Require(command.kind == telnet::Command::Kind::kNone, "data decoded as a command");
            decoded.append(reinterpret_cast<char*>(out), count);
        }
    }
    Require(decoded == data, "escaped data did not decode to itself");
}

void Name(FuzzedDataProvider& in) {
    const std::string name = in.ConsumeRandomLengthString(300);
    network::NetworkName parsed;
    if (!network::ParseNetworkName(name.c_str(), &parsed)) return;
    Require(network::IsNetworkName(name.c_str()), "a parsed name without its scheme");
    Require(parsed.port >= 1 && parsed.host[0] != '\0', "a parsed name without host or port");
    Require(std::strlen(parsed.host) < sizeof parsed.host, "host not terminated");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange(0, 9)) {
        case 0:
            PlainStream(in);
            return 0;
        case 1:
            RoundTrip(in);
            return 0;
        case 2:
            Name(in);
            return 0;
        default:
            break;
    }
    Session s(network::Scheme::kRfc2217);
    s.Offer();
    if (in.ConsumeBool()) s.AskEverything();
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange(0, 7)) {
            case 0:
            case 1:
                Feed(s, in.ConsumeRandomLengthString(512), in.ConsumeProbability<float>() < 0.2f);
                break;
            case 2: {
                std::uint8_t out[300];
                s.Read(out, in.ConsumeIntegralInRange<std::size_t>(0, sizeof out));
                break;
            }
            case 3: {
                Session::Plan plan;
                if (s.PlanChange(AnyRecord(in, s.State()), &plan) && s.Ask(plan)) {
                    if (!s.Awaiting(plan) && !s.Confirmed(plan)) s.Ask(s.Undo(plan));
                }
                break;
            }
            case 4:
                s.Sent(in.ConsumeIntegralInRange<std::size_t>(0, Session::kOutboxCapacity + 8));
                break;
            case 5: {
                static constexpr network::Setting kControls[] = {network::kBreak, network::kDtr,
                                                                 network::kRts};
                s.Ask(s.PlanControl(kControls[in.ConsumeIntegralInRange(0, 2)],
                                    in.ConsumeIntegral<std::uint8_t>()));
                if (in.ConsumeBool()) s.AskPurge(in.ConsumeIntegralInRange<std::uint8_t>(1, 3));
                if (in.ConsumeBool()) s.StopPurging();
                break;
            }
            case 6:
                if (in.ConsumeBool()) s.GiveUpWaiting();
                if (in.ConsumeBool()) s.Settle();
                if (in.ConsumeBool()) s.DiscardInput();
                break;
            default:
                s.TakeErrors();
                s.OutputHeld();
                Require(s.NanosPerByte() >= 0, "a negative pace");
                s.SetXoffHold(in.ConsumeBool());
                break;
        }
        CheckBounds(s);
    }
    return 0;
}
