// The choice between the platform's port and a device server's, made by the name at open
// and by the handle's tag afterwards.
#include <gtest/gtest.h>

#include <cstdint>

#include "serial/comm.h"
#include "serial/network_port.h"
#include "tests/support/pty_pair.h"

namespace velmora::testing {
namespace {

using namespace velmora::serial;

PortHandle Open(const char* name) {
    return CreateFileA(name, kGenericReadWrite, 0, nullptr, kOpenExisting, 0, nullptr);
}

TEST(CommDispatchTest, OnlyTheTwoSchemesInAnyCaseAreNetworkNames) {
    for (const char* name : {"rfc2217://host:1", "RFC2217://h:2", "socket://h:3", "Socket://",
                             "rfc2217://", "socket://no port"}) {
        EXPECT_TRUE(network::IsNetworkName(name)) << name;
    }
    for (const char* name : {"COM1", "/dev/ttyUSB0", "rfc2217:/h:1", "rfc2217", "socket:", "",
                             "tcp://h:1", " socket://h:1", "./socket://h:1"}) {
        EXPECT_FALSE(network::IsNetworkName(name)) << name;
    }
    EXPECT_FALSE(network::IsNetworkName(nullptr));
}

// A local port's handle must never look like a network port's: the operations would
// then go to the wrong backend.
TEST(CommDispatchTest, LocalHandlesAreUntaggedAndReachThePlatform) {
    PtyPair first, second;
    const PortHandle a = Open(first.path().c_str());
    const PortHandle b = Open(second.path().c_str());
    ASSERT_TRUE(IsOpen(a));
    ASSERT_TRUE(IsOpen(b));
    for (const PortHandle h : {a, b}) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(h) & 3, 0u);
        EXPECT_FALSE(network::IsNetworkHandle(h));
        Dcb dcb{};
        EXPECT_TRUE(GetCommState(h, &dcb));
    }
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_TRUE(CloseHandle(b));
    EXPECT_TRUE(network::IsNetworkHandle(InvalidPort()));  // and the network backend fails it
    EXPECT_FALSE(network::IsNetworkHandle(nullptr));
}

// A handle with the network tag that no open gave out fails everything, and never
// reaches the platform's table.
TEST(CommDispatchTest, AForgedNetworkHandleFailsEveryOperation) {
    PtyPair pty;
    const PortHandle local = Open(pty.path().c_str());
    ASSERT_TRUE(IsOpen(local));
    const auto forged = reinterpret_cast<PortHandle>(reinterpret_cast<std::uintptr_t>(local) | 1);
    Dcb d{};
    CommTimeouts t{};
    std::uint32_t n = 7;
    char byte = 0;
    EXPECT_FALSE(SetupComm(forged, 1, 1));
    EXPECT_FALSE(GetCommState(forged, &d));
    EXPECT_FALSE(SetCommState(forged, &d));
    EXPECT_FALSE(PurgeComm(forged, 0xF));
    EXPECT_FALSE(SetCommTimeouts(forged, &t));
    EXPECT_FALSE(EscapeCommFunction(forged, kSetXon));
    EXPECT_FALSE(ClearCommError(forged, &n, nullptr));
    EXPECT_FALSE(ReadFile(forged, &byte, 1, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(WriteFile(forged, &byte, 1, &n, nullptr));
    EXPECT_FALSE(FlushFileBuffers(forged));
    EXPECT_FALSE(CloseHandle(forged));
    EXPECT_TRUE(CloseHandle(local));  // the port itself was not touched
}

}  // namespace
}  // namespace velmora::testing
