// The line discipline's error marks taken out of the input: the bytes as received, and
// the errors they carried, however the reads cut them; and the received bytes as the
// port keeps them, read ahead through a pipe standing in for the line discipline.
#include "serial/input_marks.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <string>

#include "serial/comm.h"
#include "serial/received_bytes.h"

namespace velmora::testing {
namespace {

using namespace velmora::serial;

class InputMarksTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(pipe2(line, O_CLOEXEC | O_NONBLOCK), 0);
        received.MarkErrors(true);
    }
    void TearDown() override {
        close(line[0]);
        close(line[1]);
    }
    // The bytes as the line discipline hands them over, in the reads given.
    std::string Receive(const std::vector<std::string>& reads) {
        std::string out;
        for (const std::string& bytes : reads) {
            EXPECT_EQ(write(line[1], bytes.data(), bytes.size()),
                      static_cast<ssize_t>(bytes.size()));
            if (!bytes.empty()) {
                EXPECT_EQ(received.ReadAhead(line[0]), ReceivedBytes::Arrival::kSome);
            }
            std::string taken(received.Waiting(), '\0');
            taken.resize(received.Take(reinterpret_cast<unsigned char*>(taken.data()),
                                       static_cast<std::uint32_t>(taken.size())));
            out += taken;
        }
        return out;
    }
    int line[2] = {-1, -1};
    ReceivedBytes received;
};

TEST_F(InputMarksTest, MarkedBytesReadAsReceivedAndTheirErrorsAreKept) {
    const std::string in(
        "ab\xFF\xFF"
        "c\xFF\0P"
        "d\xFF\0\0"
        "e",
        13);
    EXPECT_EQ(Receive({in}), std::string("ab\xFF"
                                         "cPd\0e",
                                         8));
    EXPECT_EQ(received.TakeErrors(false), kCeFrame | kCeBreak);
    EXPECT_EQ(received.TakeErrors(false), 0u) << "reported once";

    EXPECT_EQ(Receive({std::string("\xFF\0Q", 3)}), "Q");
    EXPECT_EQ(received.TakeErrors(true), kCeRxParity) << "a line that checks parity";
    EXPECT_EQ(Receive({"plain"}), "plain");
    EXPECT_EQ(received.TakeErrors(true), 0u);
}

TEST_F(InputMarksTest, AMarkCutByTheEndOfAReadIsFinishedByTheNext) {
    const std::string in(
        "x\xFF\0"
        "F\xFF\xFF"
        "y\xFF\0\0",
        10);
    for (std::size_t cut = 0; cut <= in.size(); ++cut) {
        for (std::size_t second = cut; second <= in.size(); ++second) {
            received.Clear();
            const std::string out =
                Receive({in.substr(0, cut), in.substr(cut, second - cut), in.substr(second)});
            EXPECT_EQ(out, std::string("xF\xFFy\0", 5)) << cut << " " << second;
            EXPECT_EQ(received.TakeErrors(false), kCeFrame | kCeBreak) << cut << " " << second;
        }
    }
}

// A 0xFF that ends one read and a byte the line never puts after it: both pass as they
// came, and the data never outgrows what was read (it once wrote a byte past the buffer
// and over unread input).
TEST_F(InputMarksTest, ASequenceTheLineNeverMakesPassesAsItCameWhereverTheReadEnds) {
    EXPECT_EQ(Receive({"\xFF", "AB"}),
              "\xFF"
              "AB");
    EXPECT_EQ(Receive({"q\xFF"
                       "A"}),
              "q\xFF"
              "A");
    EXPECT_EQ(received.TakeErrors(false), 0u);

    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes(1 + random() % 12, '\0');
        for (char& c : bytes) c = "\xFF\0Aa"[random() % 4];
        // Bytes written past the data by the decoder land in the guard.
        std::string buffer = bytes + std::string(8, '#');
        InputMarks marks;
        std::size_t unfinished = 0;
        const std::size_t data = marks.Unmark(reinterpret_cast<unsigned char*>(buffer.data()),
                                              bytes.size(), &unfinished);
        EXPECT_LE(data + unfinished, bytes.size());
        EXPECT_LE(unfinished, 2u);
        EXPECT_EQ(buffer.substr(bytes.size()), std::string(8, '#'));
    }
}

// PurgeComm's receive clear drops what was read ahead and a mark half read with it: the
// next bytes read as they come, without an error that was never theirs.
TEST_F(InputMarksTest, ClearingDropsWhatWasReadAheadAndAHalfReadMark) {
    EXPECT_EQ(Receive({std::string("old\xFF\0", 5)}), "old");
    ASSERT_EQ(write(line[1], "more", 4), 4);
    ASSERT_EQ(received.ReadAhead(line[0]), ReceivedBytes::Arrival::kSome);
    received.Clear();
    EXPECT_EQ(received.Waiting(), 0u);
    EXPECT_EQ(Receive({"Q"}), "Q");
    EXPECT_EQ(received.TakeErrors(false), 0u);
}

}  // namespace
}  // namespace velmora::testing
