// The console with ports on device servers: check reports what the server tells of
// itself, and the demo runs over a server's looped-back line.
#include <gtest/gtest.h>

#include "tests/support/device_server.h"
#include "tests/support/process.h"

namespace velmora::testing {
namespace {

ProcessResult Velmora(std::vector<std::string> args) {
    args.insert(args.begin(), {VELMORA_CONSOLE, "--module", VELMORA_MODULE_FILE});
    return RunProcess(args);
}

bool Has(const ProcessResult& r, const std::string& text) {
    return r.out.find(text) != std::string::npos;
}

TEST(ConsoleNetworkTest, CheckReportsWhatTheServerTellsAndWhetherBytesComeBack) {
    DeviceServer::Behaviour b;
    b.echo = true;
    b.modemAtConnect = 0x20;  // DSR up, CTS down
    DeviceServer server(DeviceServer::Kind::kRfc2217, b);
    const ProcessResult r = Velmora({"check", server.Name(), "--loopback"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r, "device server: RFC 2217, signature \"stand-in\"\n")) << r.out;
    EXPECT_TRUE(Has(r,
                    "  tells: baud rate, data bits, parity, stop bits, flow control, BREAK, "
                    "DTR, RTS\n"))
        << r.out;
    EXPECT_TRUE(Has(r, "line-state notices (GetCommError): asked for 0x1E, answered 0x1E\n"));
    EXPECT_TRUE(Has(r, "modem inputs: CTS 0, DSR 1, RI 0, DCD 0\nwarning: CTS is low")) << r.out;
    EXPECT_TRUE(Has(r, "EscapeComm 2 (DTR high)       1\n")) << r.out;
    EXPECT_TRUE(Has(r, "verdict: " + server.Name() + " works")) << r.out;
}

TEST(ConsoleNetworkTest, CheckSaysAPlainStreamHasNoLineOfItsOwn) {
    DeviceServer server(DeviceServer::Kind::kSocket);
    const ProcessResult r = Velmora({"check", server.Name()});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r, "device server: a plain TCP stream")) << r.out;
    EXPECT_TRUE(Has(r, "baud rate 300                 1       300\n")) << r.out;
}

TEST(ConsoleNetworkTest, DemoRunsOverALoopedBackDeviceServer) {
    DeviceServer::Behaviour b;
    b.echo = true;
    DeviceServer server(DeviceServer::Kind::kRfc2217, b);
    const ProcessResult r = Velmora({"demo", "--port", server.Name()});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r, "all as expected.")) << r.out;
}

TEST(ConsoleNetworkTest, AServerThatIsNotThereDoesNotOpen) {
    const ProcessResult r = Velmora({"check", "rfc2217://127.0.0.1:1"});
    EXPECT_EQ(r.exitCode, 4) << r.out << r.err;
}

}  // namespace
}  // namespace velmora::testing
