// The Telnet codec and the names of network ports: pure, byte by byte.
#include "serial/telnet.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "serial/network_name.h"

namespace velmora::testing {
namespace {

using namespace velmora::serial;

struct Decoded {
    std::string data;
    std::vector<telnet::Command> commands;
    std::vector<std::string> payloads;
};

// Decodes `wire` handed over in pieces of `piece` bytes.
Decoded DecodeInPieces(const std::string& wire, std::size_t piece, bool binary = true) {
    telnet::Decoder decoder;
    decoder.SetBinary(binary);
    Decoded out;
    for (std::size_t at = 0; at < wire.size(); at += piece) {
        std::string chunk = wire.substr(at, piece);
        auto* bytes = reinterpret_cast<std::uint8_t*>(chunk.data());
        std::size_t used = 0;
        while (used < chunk.size()) {
            std::vector<std::uint8_t> data(chunk.size());
            std::size_t count = 0;
            telnet::Command command;
            used +=
                decoder.Decode(bytes + used, chunk.size() - used, data.data(), &count, &command);
            out.data.append(reinterpret_cast<char*>(data.data()), count);
            if (command.kind == telnet::Command::Kind::kNone) continue;
            out.commands.push_back(command);
            out.payloads.emplace_back(reinterpret_cast<const char*>(command.payload),
                                      command.payload != nullptr ? command.size : 0);
        }
    }
    return out;
}

std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (const int b : bytes) s += static_cast<char>(b);
    return s;
}

TEST(TelnetTest, DataCommandsAndSubnegotiationsComeApartInPiecesOfAnySize) {
    const std::string wire = "ab" + Bytes({255, 255}) + "c" + Bytes({255, 253, 44}) + "d" +
                             Bytes({255, 250, 44, 101, 0, 255, 255, 0, 1, 255, 240}) + "e" +
                             Bytes({255, 241}) + "f";
    for (std::size_t piece : {1, 2, 3, 7, 100}) {
        SCOPED_TRACE(piece);
        const Decoded d = DecodeInPieces(wire, piece);
        EXPECT_EQ(d.data,
                  "ab\xFF"
                  "cdef");
        ASSERT_EQ(d.commands.size(), 2u);
        EXPECT_EQ(d.commands[0].kind, telnet::Command::Kind::kNegotiation);
        EXPECT_EQ(d.commands[0].verb, telnet::kDo);
        EXPECT_EQ(d.commands[0].option, 44);
        EXPECT_EQ(d.commands[1].kind, telnet::Command::Kind::kSubnegotiation);
        EXPECT_EQ(d.payloads[1], Bytes({44, 101, 0, 255, 0, 1}));  // the doubled 255 once
    }
}

TEST(TelnetTest, WithoutBinaryACrNulIsACrAlone) {
    const std::string wire = Bytes({'a', 13, 0, 'b', 13, 10, 13});
    EXPECT_EQ(DecodeInPieces(wire, 1, false).data, Bytes({'a', 13, 'b', 13, 10, 13}));
    EXPECT_EQ(DecodeInPieces(wire, 100, true).data, wire);
}

// A subnegotiation that never ends, or a long one, is cut without overflowing; an IAC
// other than SE ends it, so a lost SE cannot swallow the stream.
TEST(TelnetTest, OverlongAndUnterminatedSubnegotiationsAreCutAndEnded) {
    const std::string longOne =
        Bytes({255, 250, 44, 100}) + std::string(500, 'x') + Bytes({255, 240}) + "z";
    const Decoded a = DecodeInPieces(longOne, 13);
    ASSERT_EQ(a.commands.size(), 1u);
    EXPECT_TRUE(a.commands[0].cut);
    EXPECT_EQ(a.payloads[0].size(), telnet::kMaxSubnegotiation);
    EXPECT_EQ(a.data, "z");

    const std::string lostSe = Bytes({255, 250, 44, 105, 3, 255, 251, 1}) + "after";
    const Decoded b = DecodeInPieces(lostSe, 1);
    ASSERT_EQ(b.commands.size(), 2u);
    EXPECT_EQ(b.commands[1].verb, telnet::kWill);
    EXPECT_EQ(b.data, "after");
}

TEST(TelnetTest, EscapingDoublesIacAndStopsBeforeASplitEscape) {
    const std::string data = Bytes({1, 255, 13, 2});
    std::uint8_t wire[16];
    std::size_t written = 0;
    const auto* in = reinterpret_cast<const std::uint8_t*>(data.data());
    EXPECT_EQ(telnet::Escape(in, 4, false, wire, sizeof wire, &written), 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(wire), written), Bytes({1, 255, 255, 13, 0, 2}));
    // Room for 2 bytes: the IAC's pair does not fit after the first byte.
    EXPECT_EQ(telnet::Escape(in, 4, true, wire, 2, &written), 1u);
    EXPECT_EQ(written, 1u);
    // Every byte value, escaped and decoded again, is itself.
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    std::vector<std::uint8_t> encoded(2 * all.size());
    telnet::Escape(reinterpret_cast<const std::uint8_t*>(all.data()), all.size(), true,
                   encoded.data(), encoded.size(), &written);
    EXPECT_EQ(DecodeInPieces(std::string(encoded.begin(), encoded.begin() + written), 5).data, all);
}

TEST(TelnetTest, RandomBytesDecodeWithinBounds) {
    std::mt19937 random(29);
    for (int round = 0; round < 200; ++round) {
        std::string wire(random() % 300, '\0');
        for (char& c : wire) c = static_cast<char>(random() % 4 == 0 ? 255 : random());
        const Decoded d = DecodeInPieces(wire, 1 + random() % 40, random() % 2 == 0);
        EXPECT_LE(d.data.size(), wire.size());
        for (const std::string& p : d.payloads) EXPECT_LE(p.size(), telnet::kMaxSubnegotiation);
    }
}

TEST(NetworkNameTest, TheTwoSchemesWithAHostAndAPortParse) {
    network::NetworkName n;
    ASSERT_TRUE(network::ParseNetworkName("RFC2217://device-7.lab:2217", &n));
    EXPECT_EQ(n.scheme, network::Scheme::kRfc2217);
    EXPECT_STREQ(n.host, "device-7.lab");
    EXPECT_STREQ(n.service, "2217");
    EXPECT_EQ(n.port, 2217);
    ASSERT_TRUE(network::ParseNetworkName("socket://[fe80::1%eth0]:4001", &n));
    EXPECT_EQ(n.scheme, network::Scheme::kSocket);
    EXPECT_STREQ(n.host, "fe80::1%eth0");
    ASSERT_TRUE(network::ParseNetworkName("socket://10.0.0.5:65535", &n));
    EXPECT_EQ(n.port, 65535);
}

TEST(NetworkNameTest, NamesThatDoNotParse) {
    network::NetworkName n;
    for (const char* name :
         {"rfc2217://", "rfc2217://host", "rfc2217://host:", "rfc2217://:2217", "rfc2217://host:0",
          "rfc2217://host:65536", "rfc2217://host:123456", "rfc2217://host:22x",
          "rfc2217://host:+22", "rfc2217://bad name:1", "rfc2217://host:1/", "rfc2217://host:1?x",
          "rfc2217://a@b:1", "socket://[::1:2", "socket://[zz::1]:2", "socket://[::1]2",
          "socket://[]:2", "COM1", "tcp://host:1"}) {
        EXPECT_FALSE(network::ParseNetworkName(name, &n)) << name;
    }
    const std::string tooLong = "socket://" + std::string(260, 'a') + ":1";
    EXPECT_FALSE(network::ParseNetworkName(tooLong.c_str(), &n));
    EXPECT_FALSE(network::ParseNetworkName(nullptr, &n));
}

}  // namespace
}  // namespace velmora::testing
