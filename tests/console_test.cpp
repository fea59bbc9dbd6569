// The velmora console, run as a program.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

#include "console/call_syntax.h"
#include "tests/support/process.h"
#include "tests/support/pty_pair.h"
#include "tests/support/scripted_device.h"

namespace velmora::testing {
namespace {

using minihost::Value;

ProcessResult Velmora(std::vector<std::string> args, const std::string& input = {}) {
    args.insert(args.begin(), {VELMORA_CONSOLE, "--module", VELMORA_MODULE_FILE});
    return RunProcess(args, input);
}

std::string WriteScript(const std::string& text) {
    char path[] = "/tmp/velmora-script-XXXXXX";
    const int fd = mkstemp(path);
    close(fd);
    std::ofstream(path) << text;
    return path;
}

TEST(CallSyntaxTest, ParsesCallsWaitsAndExpects) {
    console::Statement s;
    std::string error;
    ASSERT_TRUE(console::ParseStatement("new \"/dev/ttyUSB0\", 4096, -1", &s, &error)) << error;
    EXPECT_EQ(s.method, "new");
    EXPECT_EQ(s.args, (std::vector<Value>{Value::Text("/dev/ttyUSB0"), Value::Integer(4096),
                                          Value::Integer(-1)}));
    ASSERT_TRUE(console::ParseStatement("WriteComm \"A\\r\\n\\t\\\\\\\"\\x00\\xfF\"", &s, &error));
    EXPECT_EQ(s.args[0], Value::Text(std::string("A\r\n\t\\\"\0\xFF", 8)));
    ASSERT_TRUE(console::ParseStatement("SetCommBaudRate 0xFFFFFFFF", &s, &error));
    EXPECT_EQ(s.args[0], Value::Integer(-1));
    ASSERT_TRUE(console::ParseStatement("  expect \"OK\" 250", &s, &error));
    EXPECT_EQ(s.kind, console::Statement::Kind::kExpect);
    EXPECT_EQ(s.milliseconds, 250);
    ASSERT_TRUE(console::ParseStatement("-- a comment", &s, &error));
    EXPECT_EQ(s.kind, console::Statement::Kind::kNothing);
    EXPECT_EQ(console::FormatCall("WriteComm", {Value::Text("a\r\x01")}),
              "WriteComm \"a\\r\\x01\"");
}

TEST(CallSyntaxTest, RefusesMalformedLines) {
    console::Statement s;
    std::string error;
    for (const char* bad : {"WriteComm \"open", "WriteComm \"\\q\"", "WriteComm \"\\x4\"",
                            "SetCommBaudRate 99999999999", "SetCommBaudRate 2147483648",
                            "SetCommBaudRate 9600 9600", "wait -5", "expect OK", "!", "new ,"}) {
        EXPECT_FALSE(console::ParseStatement(bad, &s, &error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST(ConsoleTest, RunsAScriptAgainstADevice) {
    PtyPair pty;
    // A modem on the far end: answers "AT" with "OK".
    ScriptedDevice modem(pty, [answered = false](const std::string& heard, PtyPair& p) mutable {
        if (!answered && heard.find("AT\r") != std::string::npos) {
            answered = true;
            p.Send("\r\nOK\r\n");
        }
    });
    const std::string script = WriteScript(
        "# talk to a modem\n"
        "new \"" +
        pty.path() +
        "\", 4096, 4096\n"
        "SetCommBaudRate 9600\n"
        "SetCommFlowControl 0\n"
        "WriteComm \"AT\\r\"\n"
        "expect \"OK\\r\\n\" 3000\n"
        "wait 10\n"
        "ReadComm\n"
        "forget\n");
    const ProcessResult r = Velmora({"run", script});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("SetCommBaudRate 9600 -> 1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("WriteComm \"AT\\r\" -> 3\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("expect \"OK\\r\\n\" -> ok"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("forget -> 1\n"), std::string::npos) << r.out;
    unlink(script.c_str());
}

TEST(ConsoleTest, FailedExpectExitsWithOne) {
    PtyPair pty;
    const ProcessResult r =
        Velmora({"run"}, "new \"" + pty.path() + "\", 16, 16\nexpect \"never\" 100\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("FAILED after 100 ms"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("<stdin>:2: expect failed"), std::string::npos) << r.err;
}

TEST(ConsoleTest, TimedRunShowsWhatEachStatementTook) {
    PtyPair pty;
    const ProcessResult r = Velmora({"run", "--timed"}, "new \"" + pty.path() +
                                                            "\", 16, 16\nwait 30\n"
                                                            "expect \"never\" 50\nforget\n");
    EXPECT_EQ(r.exitCode, 1);
    const std::regex timed(
        "new \".*\", 16, 16 -> <void> \\[[0-9]+\\.[0-9] ms\\]\n"
        "wait 30 \\[([0-9]+)\\.[0-9] ms\\]\n"
        "expect \"never\" -> FAILED after 50 ms; received \"\" \\[([0-9]+)\\.[0-9] ms\\]\n"
        "forget -> 1 \\[[0-9]+\\.[0-9] ms\\]\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.out, m, timed)) << r.out;
    EXPECT_GE(std::stoi(m[1]), 30);
    EXPECT_GE(std::stoi(m[2]), 50);
}

TEST(ConsoleTest, MalformedScriptsNameTheLineAndCallNothing) {
    PtyPair pty;
    const std::string open = "new \"" + pty.path() + "\", 16, 16\nWriteComm \"x\"\n";
    const std::pair<std::string, std::string> cases[] = {
        {"Launch 1\n", "<stdin>:3: no method \"Launch\""},
        {"SetCommBaudRate \"fast\"\n", "<stdin>:3: SetCommBaudRate's BaudRate must be an integer"},
        {"SetCommBaudRate\n", "<stdin>:3: SetCommBaudRate takes 1 argument, not 0"},
        {"WriteComm \"open\n", "<stdin>:3: unterminated text"},
    };
    for (const auto& [line, message] : cases) {
        const ProcessResult r = Velmora({"run"}, open + line);
        EXPECT_EQ(r.exitCode, 2) << line;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << "nothing ran";
    }
    EXPECT_EQ(pty.ReceiveAvailable(), "");
}

TEST(ConsoleTest, DemoRunsToACleanFinish) {
    const ProcessResult r = Velmora({"demo"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("all as expected."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ReadComm -> \"VELMORA,SIM-1,0001,1.0\\r\\n\""), std::string::npos);
}

TEST(ConsoleTest, HelpVersionAndExitCodes) {
    for (const char* command : {"demo", "run", "term", "check", "ports", "info"}) {
        const ProcessResult r = Velmora({command, "--help"});
        EXPECT_EQ(r.exitCode, 0) << command;
        EXPECT_NE(r.out.find(std::string("usage: velmora ") + command), std::string::npos);
    }
    EXPECT_EQ(RunProcess({VELMORA_CONSOLE, "--help"}).exitCode, 0);
    EXPECT_NE(RunProcess({VELMORA_CONSOLE, "--version"}).out.find("velmora "), std::string::npos);
    EXPECT_EQ(RunProcess({VELMORA_CONSOLE}).exitCode, 2);
    EXPECT_EQ(Velmora({"launch"}).exitCode, 2);
    EXPECT_EQ(Velmora({"run", "/nonexistent/script"}).exitCode, 2);
    EXPECT_EQ(Velmora({"term"}).exitCode, 2);
    EXPECT_EQ(Velmora({"term", "/nonexistent/port"}).exitCode, 4);
    EXPECT_EQ(Velmora({"check"}).exitCode, 2);
    EXPECT_EQ(Velmora({"check", "/nonexistent/port"}).exitCode, 4);
    EXPECT_EQ(Velmora({"demo", "--port"}).exitCode, 2);
    EXPECT_EQ(RunProcess({VELMORA_CONSOLE, "--module", "/nonexistent.so", "info"}).exitCode, 3);
    EXPECT_EQ(Velmora({"ports"}).exitCode, 0);
}

// A device that sends back every byte it hears: a pty pair acting as a loopback plug.
ScriptedDevice::Answer Echo() {
    return [echoed = std::size_t{0}](const std::string& heard, PtyPair& p) mutable {
        if (heard.size() <= echoed) return;
        p.Send(heard.substr(echoed));
        echoed = heard.size();
    };
}

TEST(ConsoleTest, CheckReportsWhatAPortTakesAndWhetherBytesComeBack) {
    PtyPair pty;
    {
        ScriptedDevice device(pty, Echo());
        const ProcessResult r = Velmora({"check", pty.path(), "--loopback"});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("loopback at 9600 8N1: ok\n"), std::string::npos) << r.out;
        // A pty carries 8 data bits without parity and has no modem lines, and says so.
        EXPECT_NE(r.out.find("\ndata bits 7                   0       8\n"), std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("\nparity 2 (even)               0       0 (none)\n"),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("\nbaud rate 115200              1       115200        ok\n"),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("\nEscapeComm 2 (DTR high)       0\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\nmodem inputs: not reported by this port\n"), std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("\nverdict: " + pty.path() +
                             " works: bytes came back intact at every setting it takes\n"),
                  std::string::npos)
            << r.out;
    }
    // The check leaves the line as it found it.
    termios line{};
    tcgetattr(pty.device(), &line);
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B38400));
}

TEST(ConsoleTest, CheckFailsWhenBytesComeBackChangedOrNotAtAll) {
    PtyPair pty;
    {
        // A far end that flips the lowest bit of every fifth byte it sends back.
        ScriptedDevice device(
            pty, [echoed = std::size_t{0}](const std::string& heard, PtyPair& p) mutable {
                std::string back = heard.substr(echoed);
                for (std::size_t i = echoed; i < heard.size(); ++i) {
                    if (i % 5 == 4) back[i - echoed] ^= 1;
                }
                if (!back.empty()) p.Send(back);
                echoed = heard.size();
            });
        const ProcessResult r = Velmora({"check", pty.path(), "--loopback"});
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_NE(r.out.find("verdict: " + pty.path() +
                             " FAILED at 9600 8N1: 48 of 240 bytes changed (0x04 came back as "
                             "0x05)\n"),
                  std::string::npos)
            << r.out;
    }
    const ProcessResult silent = Velmora({"check", pty.path(), "--loopback"});
    EXPECT_EQ(silent.exitCode, 1) << silent.out;
    EXPECT_NE(silent.out.find("FAILED at 9600 8N1: nothing came back: is TX joined to RX"),
              std::string::npos)
        << silent.out;
    const ProcessResult plain = Velmora({"check", pty.path()});
    EXPECT_EQ(plain.exitCode, 0) << plain.out;
    EXPECT_NE(plain.out.find("opens and takes 9600 8N1 with no flow control"), std::string::npos);
}

TEST(ConsoleTest, DemoRunsOverALoopbackPort) {
    PtyPair pty;
    ScriptedDevice device(pty, Echo());
    const ProcessResult r = Velmora({"demo", "--port", pty.path()});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("ReadComm -> \"MEAS:VOLT?\\n\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("all as expected."), std::string::npos) << r.out;
}

TEST(ConsoleTest, InfoShowsTheRegisteredMessageTable) {
    const ProcessResult r = Velmora({"info"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("extension: Velmora, 21 methods"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("SetCommBaudRate object me, integer BaudRate\n"), std::string::npos);
    EXPECT_NE(r.out.find("IScripting {AC401FB6-0001-F9B0-0000-0800072C6326}"), std::string::npos);
}

// Reads what the terminal program shows until `text` appears.
bool AwaitScreen(int terminal, const std::string& text, std::string* screen) {
    const auto start = std::chrono::steady_clock::now();
    while (screen->find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(5)) return false;
        char buffer[256];
        const ssize_t n = read(terminal, buffer, sizeof buffer);
        if (n > 0)
            screen->append(buffer, static_cast<std::size_t>(n));
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(ConsoleTest, TermCarriesKeysBothWaysAndRestoresTheTerminal) {
    PtyPair device;
    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child == 0) {
        execl(VELMORA_CONSOLE, VELMORA_CONSOLE, "--module", VELMORA_MODULE_FILE, "term",
              device.path().c_str(), "--hex", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(child, 0);
    termios before{};
    std::string screen;
    ASSERT_TRUE(AwaitScreen(terminal, "Ctrl-] quits", &screen)) << screen;
    tcgetattr(terminal, &before);
    EXPECT_EQ(before.c_lflag & ICANON, 0u) << "keys go out one by one";

    ASSERT_EQ(write(terminal, "hi\r", 3), 3);
    EXPECT_EQ(device.Receive(3), "hi\r");
    device.Send("A\x01");
    EXPECT_TRUE(AwaitScreen(terminal, "41 01 ", &screen)) << screen;

    ASSERT_EQ(write(terminal, "\x1D", 1), 1);
    EXPECT_TRUE(AwaitScreen(terminal, "closed " + device.path(), &screen)) << screen;
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    termios after{};
    tcgetattr(terminal, &after);
    EXPECT_NE(after.c_lflag & ICANON, 0u) << "the terminal was given back as it was";
    close(terminal);
}

}  // namespace
}  // namespace velmora::testing
