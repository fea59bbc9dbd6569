// Every example of the script authors' guide, run through the console against the
// simulated instrument: an answer shown after "# ->" must be the answer given.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

#include "tests/support/device_server.h"
#include "tests/support/process.h"

namespace velmora::testing {
namespace {

struct Example {
    int line;  // where the block starts in the guide
    std::string script;
    bool deviceServer = false;  // names a device server rather than the instrument
};

// The device servers the guide's examples name, and the stand-ins they run against.
constexpr const char* kRfc2217Server = "192.168.1.50:4001";
constexpr const char* kSocketServer = "192.168.1.50:4002";

void Replace(std::string& text, const std::string& what, const std::string& with) {
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at)) {
        text.replace(at, what.size(), with);
        at += with.size();
    }
}

std::vector<Example> GuideExamples() {
    std::ifstream guide(VELMORA_GUIDE);
    std::vector<Example> examples;
    std::string text;
    bool inside = false;
    for (int number = 1; std::getline(guide, text); ++number) {
        if (!inside && (text == "```velmora" || text == "```velmora device-server")) {
            inside = true;
            examples.push_back({number, {}, text != "```velmora"});
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
    ASSERT_GE(std::count_if(examples.begin(), examples.end(),
                            [](const Example& e) { return e.deviceServer; }),
              2)
        << "the device servers' examples were not found";
    for (const Example& example : examples) {
        SCOPED_TRACE("guide example at line " + std::to_string(example.line));
        DeviceServer::Behaviour echoing;
        echoing.echo = true;
        std::unique_ptr<DeviceServer> rfc2217, socket;
        std::vector<std::string> command{VELMORA_CONSOLE, "--module", VELMORA_MODULE_FILE, "run"};
        std::string script = example.script;
        if (example.deviceServer) {
            rfc2217 = std::make_unique<DeviceServer>(DeviceServer::Kind::kRfc2217, echoing);
            socket = std::make_unique<DeviceServer>(DeviceServer::Kind::kSocket, echoing);
            Replace(script, kRfc2217Server, "127.0.0.1:" + std::to_string(rfc2217->port()));
            Replace(script, kSocketServer, "127.0.0.1:" + std::to_string(socket->port()));
        } else {
            command.push_back("--instrument");
        }
        const ProcessResult r = RunProcess(command, script);
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
