// The line discipline's error marks taken out of the input: the bytes as received, and
// the errors they carried, however the reads cut them.
#include "serial/input_marks.h"

#include <gtest/gtest.h>

#include <string>

#include "serial/comm.h"

namespace velmora::testing {
namespace {

using namespace velmora::serial;

std::string Unmark(InputMarks& marks, std::string bytes) {
    auto* data = reinterpret_cast<unsigned char*>(bytes.data());
    bytes.resize(marks.Unmark(data, bytes.size()));
    return bytes;
}

TEST(InputMarksTest, MarkedBytesReadAsReceivedAndTheirErrorsAreKept) {
    InputMarks marks;
    const std::string in(
        "ab\xFF\xFF"
        "c\xFF\0P"
        "d\xFF\0\0"
        "e",
        13);
    EXPECT_EQ(Unmark(marks, in), std::string("ab\xFF"
                                             "cPd\0e",
                                             8));
    EXPECT_EQ(marks.TakeErrors(false), kCeFrame | kCeBreak);
    EXPECT_EQ(marks.TakeErrors(false), 0u) << "reported once";

    EXPECT_EQ(Unmark(marks, std::string("\xFF\0Q", 3)), "Q");
    EXPECT_EQ(marks.TakeErrors(true), kCeRxParity) << "a line that checks parity";
    EXPECT_EQ(Unmark(marks, "plain"), "plain");
    EXPECT_EQ(marks.TakeErrors(true), 0u);
}

TEST(InputMarksTest, AMarkCutByTheEndOfAReadIsFinishedByTheNext) {
    const std::string in(
        "x\xFF\0"
        "F\xFF\xFF"
        "y\xFF\0\0",
        10);
    for (std::size_t cut = 0; cut <= in.size(); ++cut) {
        for (std::size_t second = cut; second <= in.size(); ++second) {
            InputMarks marks;
            std::string out = Unmark(marks, in.substr(0, cut));
            out += Unmark(marks, in.substr(cut, second - cut));
            out += Unmark(marks, in.substr(second));
            EXPECT_EQ(out, std::string("xF\xFFy\0", 5)) << cut << " " << second;
            EXPECT_EQ(marks.TakeErrors(false), kCeFrame | kCeBreak) << cut << " " << second;
        }
    }
}

TEST(InputMarksTest, ASequenceTheLineNeverMakesPassesAsItCame) {
    InputMarks marks;
    EXPECT_EQ(Unmark(marks,
                     "\xFF"
                     "A"),
              "\xFF"
              "A");
    EXPECT_EQ(marks.TakeErrors(false), 0u);
}

}  // namespace
}  // namespace velmora::testing
