// Every example of the script authors' guide, run through the console against the
// simulated instrument: an answer shown after "# ->" must be the answer given.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "tests/support/process.h"

namespace velmora::testing {
namespace {

struct Example {
    int line;  // where the block starts in the guide
    std::string script;
};

std::vector<Example> GuideExamples() {
    std::ifstream guide(VELMORA_GUIDE);
    std::vector<Example> examples;
    std::string text;
    bool inside = false;
    for (int number = 1; std::getline(guide, text); ++number) {
        if (!inside && text == "```velmora") {
            inside = true;
            examples.push_back({number, {}});
        } else if (inside && text == "```") {
            inside = false;
        } else if (inside) {
            examples.back().script += text + "\n";
        }
    }
    return examples;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(GuideTest, EveryExampleRunsAndAnswersAsShown) {
    const std::vector<Example> examples = GuideExamples();
    ASSERT_GE(examples.size(), 14u) << "the guide's examples were not found";
    for (const Example& example : examples) {
        SCOPED_TRACE("guide example at line " + std::to_string(example.line));
        const ProcessResult r =
            RunProcess({VELMORA_CONSOLE, "--module", VELMORA_MODULE_FILE, "run", "--instrument"},
                       example.script);
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
        // One line of output for each statement, in order.
        std::vector<std::string> statements;
        for (const std::string& line : Lines(example.script)) {
            const std::size_t first = line.find_first_not_of(' ');
            if (first != std::string::npos && line[first] != '#') statements.push_back(line);
        }
        const std::vector<std::string> output = Lines(r.out);
        ASSERT_EQ(output.size(), statements.size()) << r.out;
        for (std::size_t i = 0; i < statements.size(); ++i) {
            const std::size_t mark = statements[i].find("# -> ");
            if (mark == std::string::npos) continue;
            const std::string expected = " -> " + statements[i].substr(mark + 5);
            EXPECT_TRUE(output[i].size() >= expected.size() &&
                        output[i].compare(output[i].size() - expected.size(), expected.size(),
                                          expected) == 0)
                << statements[i] << "\n  gave: " << output[i];
        }
    }
}

// The record's fields that the Linux layer keeps and reads back but does not act on:
// a script author must find each in the Linux section.
TEST(GuideTest, TheLinuxSectionNamesEverySettingLinuxOnlyKeeps) {
    std::ifstream guide(VELMORA_GUIDE);
    const std::string text((std::istreambuf_iterator<char>(guide)), {});
    const std::size_t start = text.find("## Linux and Wine compared with Windows");
    ASSERT_NE(start, std::string::npos);
    const std::string section = text.substr(start, text.find("Under **Wine**", start) - start);
    for (const char* field : {"DSR output flow", "DSR sensitivity", "TXContinueOnXoff", "XonLim",
                              "XoffLim", "error character", "event character",
                              "end-of-file character", "fNull", "abort-on-error"}) {
        EXPECT_NE(section.find(field), std::string::npos) << field;
    }
}

}  // namespace
}  // namespace velmora::testing
