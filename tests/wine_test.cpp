// The Windows serial path end to end: the Windows build of the console (the project's
// host, loading the module with LoadLibrary) runs under Wine, on the shipped 32-bit
// DLL through user-mode emulation and on the 64-bit DLL, against COM ports that are
// pseudo-terminals; the far end is checked from Linux.
//
// Where Wine differs from Windows, these tests say so and hold the module to what
// Wine does: Wine reads the settings back from the tty (a pty keeps 8 data bits and no
// parity, and has no DSR flow control, modem lines or error counters), lets a second
// exclusive open through, and opens a COM name listed in its registry even when no
// device stands behind it.
#include <dirent.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <ostream>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/support/device_server.h"
#include "tests/support/process.h"
#include "tests/support/pty_pair.h"
#include "tests/support/scripted_device.h"

namespace velmora::testing {
namespace {

struct Target {
    const char* name;    // win32 or win64
    const char* loader;  // Wine's loader for it
    const char* module;  // the module file's name
};

const Target kTargets[] = {
    {"win32", "/usr/lib/wine/wine", "VELMORA.x32"},
    {"win64", "/usr/lib/wine/wine64", "VELMORA.x64"},
};

// Test names then end in the target's name, which the test command filters on.
void PrintTo(const Target& t, std::ostream* os) { *os << t.name; }

std::string Build(const Target& t) {
    return std::string(VELMORA_SOURCE_DIR) + "/build/" + t.name;
}
std::string Prefix(const Target& t) {
    return std::string(VELMORA_SOURCE_DIR) + "/build/wine-" + t.name;
}

class WineTest : public ::testing::TestWithParam<Target> {
  protected:
    void SetUp() override {
        const Target& t = GetParam();
        ASSERT_EQ(access((Prefix(t) + "/system.reg").c_str(), F_OK), 0)
            << "no Wine prefix: scripts/wine-prefix.sh " << t.name << " makes it";
        if (std::string(t.name) == "win32") {
            ASSERT_EQ(access("/proc/sys/fs/binfmt_misc/qemu-i386", F_OK), 0)
                << "32-bit programs cannot run here: no i386 emulation registered "
                   "(scripts/setup.sh registers it)";
        }
        setenv("WINEPREFIX", Prefix(t).c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        unsetenv("DISPLAY");
        KeepWineOffRealDevices();
    }

    // Wine links the machine's serial devices to COM names whenever it starts; none of
    // them may be reachable from a test.
    void KeepWineOffRealDevices() {
        const std::string dir = Prefix(GetParam()) + "/dosdevices";
        DIR* d = opendir(dir.c_str());
        ASSERT_NE(d, nullptr);
        while (const dirent* e = readdir(d)) {
            if (std::string(e->d_name).rfind("com", 0) != 0) continue;
            const std::string link = dir + "/" + e->d_name;
            char target[256] = {};
            if (readlink(link.c_str(), target, sizeof target - 1) > 0 &&
                std::string(target).rfind("/dev/", 0) == 0) {
                unlink(link.c_str());
            }
        }
        closedir(d);
    }

    // Points COM`number` (7, 8 or 12) at `pty`.
    void Attach(int number, const PtyPair& pty) {
        const std::string link = Prefix(GetParam()) + "/ports/com" + std::to_string(number);
        unlink(link.c_str());
        ASSERT_EQ(symlink(pty.path().c_str(), link.c_str()), 0);
    }

    ProcessResult Run(const std::string& script) {
        const Target& t = GetParam();
        ProcessResult r = RunProcess(
            {t.loader, Build(t) + "/velmora.exe", "--module", Build(t) + "/" + t.module, "run"},
            script);
        KeepWineOffRealDevices();
        // A Windows program's text output ends its lines with CR LF.
        for (std::string* text : {&r.out, &r.err}) {
            text->erase(std::remove(text->begin(), text->end(), '\r'), text->end());
        }
        return r;
    }

    // The console with a command line of its own, finding the module beside itself
    // unless told otherwise.
    ProcessResult Velmora(const std::vector<std::string>& args, const std::string& input = {},
                          const std::string& exe = {}) {
        const Target& t = GetParam();
        std::vector<std::string> argv{t.loader, exe.empty() ? Build(t) + "/velmora.exe" : exe};
        argv.insert(argv.end(), args.begin(), args.end());
        ProcessResult r = RunProcess(argv, input);
        KeepWineOffRealDevices();
        for (std::string* text : {&r.out, &r.err}) {
            text->erase(std::remove(text->begin(), text->end(), '\r'), text->end());
        }
        return r;
    }

    static bool Shows(const ProcessResult& r, const std::string& line) {
        return r.out.find(line + "\n") != std::string::npos;
    }
};

#define EXPECT_SHOWS(result, line)                                            \
    EXPECT_TRUE(Shows(result, line)) << "expected \"" << (line) << "\" in:\n" \
                                     << (result).out << (result).err

TEST_P(WineTest, EveryMethodByNameOnATenPlusComPort) {
    PtyPair pty;
    Attach(12, pty);  // COM10 and above open only through \\.\ on Windows
    std::string every;
    for (int i = 0; i < 256; ++i) every += static_cast<char>(i);
    std::string escaped;
    for (int i = 0; i < 256; ++i) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", i);
        escaped += hex;
    }
    speed_t speedSeen = 0;
    bool acked = false, marked = false;
    ScriptedDevice device(pty, [&](const std::string& heard, PtyPair& p) {
        if (!acked && heard.size() >= 256) {
            acked = true;
            p.Send("ACK");
        }
        if (!marked && heard.find("mark") != std::string::npos) {
            marked = true;
            termios line{};
            tcgetattr(p.device(), &line);
            speedSeen = cfgetospeed(&line);
            p.Send(std::string("data\0\xFF", 6));
        }
    });
    const ProcessResult r =
        Run("new \"COM12\", 4096, 4096\n"
            "GetCommCTS\n"
            "SetCommFlowControl 0\n"
            "SetCommBaudRate 115200\n"
            "GetCommBaudRate\n"
            "SetCommStopBits 2\n"
            "GetCommStopBits\n"
            "GetCommDataBits\n"
            "SetCommCTS 1\n"
            "GetCommCTS\n"
            "SetCommCTS 0\n"
            "GetCommCTS\n"
            "SetCommFlowControl 1\n"
            "GetCommCTS\n"
            "SetCommFlowControl 2\n"
            "GetCommCTS\n"
            "SetCommFlowControl 3\n"
            "SetCommFlowControl 0\n"
            "SetCommTimeOut 2000\n"
            "WriteComm \"" +
            escaped +
            "\"\n"
            "expect \"ACK\" 10000\n"
            "WriteComm \"mark\"\n"
            "wait 500\n"
            "ReadComm\n"
            "EscapeComm 6\n"
            "EscapeComm 5\n"
            "EscapeComm 8\n"
            "EscapeComm 7\n"
            "EscapeComm 0\n"
            "EscapeComm 9\n"
            "FlushComm\n"
            "GetCommError\n"
            "forget\n"
            "forget\n"
            "ReadComm\n"
            "GetCommBaudRate\n");
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_SHOWS(r, "new \"COM12\", 4096, 4096 -> <void>");
    EXPECT_SHOWS(r, "GetCommCTS -> 1");  // new turns CTS output flow on
    EXPECT_SHOWS(r, "SetCommBaudRate 115200 -> 1");
    EXPECT_SHOWS(r, "GetCommBaudRate -> 115200");
    EXPECT_EQ(speedSeen, static_cast<speed_t>(B115200)) << "the tty's own rate";
    EXPECT_SHOWS(r, "GetCommStopBits -> 2");
    EXPECT_SHOWS(r, "GetCommDataBits -> 8");
    EXPECT_SHOWS(r, "SetCommFlowControl 3 -> 0");
    EXPECT_TRUE(device.heard().substr(0, 256) == every) << "the bytes changed on the way";
    EXPECT_NE(r.out.find("expect \"ACK\" -> ok"), std::string::npos) << r.out;
    EXPECT_SHOWS(r, "ReadComm -> \"data\\x00\\xFF\"");
    EXPECT_SHOWS(r, "EscapeComm 6 -> 1");
    EXPECT_SHOWS(r, "EscapeComm 5 -> 1");
    if (std::string(GetParam().name) == "win64") {
        EXPECT_SHOWS(r, "EscapeComm 8 -> 1");
        EXPECT_SHOWS(r, "EscapeComm 7 -> 1");
    } else {
        // The user-mode emulator does not carry the break ioctls to the kernel, so the
        // 32-bit run can only show that both fail alike; the 64-bit run shows Wine's.
        EXPECT_EQ(Shows(r, "EscapeComm 8 -> 1"), Shows(r, "EscapeComm 7 -> 1")) << r.out;
    }
    EXPECT_SHOWS(r, "EscapeComm 0 -> 0");
    EXPECT_SHOWS(r, "EscapeComm 9 -> 0");
    EXPECT_SHOWS(r, "FlushComm -> 1");
    EXPECT_SHOWS(r, "GetCommError -> 0");
    EXPECT_SHOWS(r, "forget -> 1");
    EXPECT_SHOWS(r, "forget -> 0");
    EXPECT_SHOWS(r, "ReadComm -> 0");
    EXPECT_SHOWS(r, "GetCommBaudRate -> 0");
}

TEST_P(WineTest, ScriptAndDeviceTalkThroughAComPortBelowTen) {
    PtyPair pty;
    Attach(7, pty);
    ScriptedDevice device(pty, [answered = false](const std::string& heard, PtyPair& p) mutable {
        if (!answered && heard.find("*IDN?\n") != std::string::npos) {
            answered = true;
            p.Send("VELMORA,SIM-1\r\n");
        }
    });
    const ProcessResult r =
        Run("new \"COM7\", 256, 256\n"
            "SetCommFlowControl 0\n"
            "WriteComm \"*IDN?\\n\"\n"
            "expect \"SIM-1\\r\\n\" 10000\n"
            "forget\n");
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_SHOWS(r, "WriteComm \"*IDN?\\n\" -> 6");
    EXPECT_EQ(device.heard(), "*IDN?\n");
}

TEST_P(WineTest, WriteTimeOutEndsAWriteThatCannotGoOut) {
    PtyPair pty;  // its far end never reads
    Attach(8, pty);
    const ProcessResult r =
        Run("new \"COM8\", 16, 16\n"
            "SetCommFlowControl 0\n"
            "SetCommTimeOut 300\n"
            "EscapeComm 6\n"
            "WriteComm \"held back\"\n"
            "EscapeComm 5\n"
            "forget\n");
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_SHOWS(r, "WriteComm \"held back\" -> 0");
}

TEST_P(WineTest, APortThatDoesNotExistIsNotOpened) {
    const ProcessResult r =
        Run("new \"COM300\", 16, 16\n"
            "new \"NOPORT\", 16, 16\n"
            "GetCommBaudRate\n"
            "WriteComm \"x\"\n"
            "forget\n");
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_SHOWS(r, "new \"COM300\", 16, 16 -> 0");
    EXPECT_SHOWS(r, "new \"NOPORT\", 16, 16 -> 0");
    EXPECT_SHOWS(r, "GetCommBaudRate -> 0");
    EXPECT_SHOWS(r, "WriteComm \"x\" -> 0");
    EXPECT_SHOWS(r, "forget -> 0");
}

TEST_P(WineTest, TheModuleRegistersAsOnWindows) {
    const Target& t = GetParam();
    const ProcessResult r = RunProcess(
        {t.loader, Build(t) + "/velmora.exe", "--module", Build(t) + "/" + t.module, "info"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("extension: Velmora, 21 methods"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(std::string("target:  ") + t.name), std::string::npos) << r.out;
}

// A device that sends back every byte it hears, as a loopback plug does.
void Echo(const std::string& heard, PtyPair& pty, std::size_t* echoed) {
    if (heard.size() <= *echoed) return;
    pty.Send(heard.substr(*echoed));
    *echoed = heard.size();
}

TEST_P(WineTest, PortsListsTheTestPortsWithTheirNamesAndNothingElse) {
    const ProcessResult r = Velmora({"ports"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    // Wine maps the machine's own serial devices to COM names beyond the test ports
    // (its console, ttyS0, among them); the prefix keeps them out of the port map.
    EXPECT_EQ(r.out,
              "COM7   USB Serial Port (COM7)  \\Device\\Serial6\n"
              "COM8   \\Device\\Serial7\n"
              "COM12  \\Device\\Serial11\n")
        << "run scripts/wine-prefix.sh " << GetParam().name << " to ready the prefix";
}

TEST_P(WineTest, CheckFindsBytesComeBackIntactThroughAnEchoingDevice) {
    PtyPair pty;
    Attach(7, pty);
    ScriptedDevice device(pty,
                          [echoed = std::size_t{0}](const std::string& heard, PtyPair& p) mutable {
                              Echo(heard, p, &echoed);
                          });
    const ProcessResult r = Velmora({"check", "COM7", "--loopback"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_SHOWS(r, "new \"COM7\", 4096, 4096 -> <void>");
    EXPECT_SHOWS(r, "loopback at 9600 8N1: ok");
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\nbaud rate 115200 +1 +115200 +ok\n")))
        << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\nflow control 2 \\(XON/XOFF\\) +1 .* ok\n")))
        << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\nEscapeComm 6 \\(stop sending\\) +1\n")))
        << r.out;
    EXPECT_NE(r.out.find("\nverdict: COM7 works: bytes came back intact at every setting"),
              std::string::npos)
        << r.out;
    std::string every;
    for (int i = 0; i < 256; ++i) every += static_cast<char>(i);
    EXPECT_NE(device.heard().find(every), std::string::npos) << "every byte value went out";
}

TEST_P(WineTest, CheckReportsWithoutALoopbackAndFailsWhenNothingComesBack) {
    PtyPair pty;  // a far end that never answers
    Attach(8, pty);
    const ProcessResult plain = Velmora({"check", "COM8"});
    EXPECT_EQ(plain.exitCode, 0) << plain.out << plain.err;
    EXPECT_TRUE(std::regex_search(plain.out, std::regex("\nbaud rate 9600 +1 +9600\n")))
        << plain.out;
    EXPECT_NE(plain.out.find("\nverdict: COM8 opens and takes 9600 8N1 with no flow control"),
              std::string::npos)
        << plain.out;

    const ProcessResult loop = Velmora({"check", "COM8", "--loopback"});
    EXPECT_EQ(loop.exitCode, 1) << loop.out << loop.err;
    EXPECT_NE(loop.out.find("\nverdict: COM8 FAILED at 9600 8N1: nothing came back"),
              std::string::npos)
        << loop.out;

    const ProcessResult none = Velmora({"check", "NOPORT"});
    EXPECT_EQ(none.exitCode, 4) << none.out;
    EXPECT_NE(none.out.find("verdict: NOPORT does not open"), std::string::npos) << none.out;
}

// Keys typed reach the device as they are, and what it sends is shown as it arrives:
// through a pipe, and through a terminal, where Wine's console turns the keys into the
// key events a Windows console delivers. Wine leaves the terminal's own line discipline
// as it finds it (a cooked terminal would echo and turn CR into LF), so the test sets
// it raw, as the Windows console is once term has switched line input off.
TEST_P(WineTest, TermCarriesTypedKeysBothWays) {
    for (const bool terminal : {false, true}) {
        SCOPED_TRACE(terminal ? "on a terminal" : "through a pipe");
        PtyPair pty;
        Attach(7, pty);
        const Target& t = GetParam();
        RunningProcess term(
            {t.loader, Build(t) + "/velmora.exe", "term", "COM7", "--baud", "19200", "--hex"},
            terminal);
        ASSERT_TRUE(term.AwaitOutput("Ctrl-] quits")) << term.output();
        term.Type("hi\r");
        EXPECT_EQ(pty.Receive(3, 5000), "hi\r");
        pty.Send("A\x01");
        // A Windows console may draw a line's last blank as a cursor move.
        EXPECT_TRUE(term.AwaitOutput("41 01")) << term.output();
        termios line{};
        tcgetattr(pty.device(), &line);
        EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B19200));
        term.Type("\x1D");
        EXPECT_TRUE(term.AwaitOutput("closed COM7")) << term.output();
        EXPECT_EQ(term.Wait(), 0) << term.output();
        KeepWineOffRealDevices();
    }
}

TEST_P(WineTest, DemoRunsOverALoopbackAndSaysWhatItNeedsWithoutOne) {
    PtyPair pty;
    Attach(7, pty);
    ScriptedDevice device(pty,
                          [echoed = std::size_t{0}](const std::string& heard, PtyPair& p) mutable {
                              Echo(heard, p, &echoed);
                          });
    const ProcessResult r = Velmora({"demo", "--port", "COM7"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("ReadComm -> \"*IDN?\\n\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("calls, all as expected."), std::string::npos) << r.out;

    const ProcessResult alone = Velmora({"demo"});
    EXPECT_EQ(alone.exitCode, 2);
    EXPECT_EQ(alone.out, "");
    EXPECT_EQ(std::count(alone.err.begin(), alone.err.end(), '\n'), 1) << alone.err;
    EXPECT_NE(alone.err.find("velmora demo --port PORT"), std::string::npos) << alone.err;
}

// The install note's commands, as a person types them, from a folder that holds just
// velmora.exe and the module (the zip's layout), with the current folder elsewhere.
TEST_P(WineTest, TheInstallNotesCommandsWorkFromTheUnpackedFolder) {
    const Target& t = GetParam();
    char folder[] = "/tmp/velmora-zip-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    for (const std::string file : {"velmora.exe", t.module}) {
        std::ifstream in(Build(t) + "/" + file, std::ios::binary);
        std::ofstream(std::string(folder) + "/" + file, std::ios::binary) << in.rdbuf();
    }
    const std::string session = std::string(folder) + "/session.txt";
    std::ofstream(session) << "new \"COM7\", 4096, 4096\nSetCommFlowControl 0\n"
                              "WriteComm \"ping\\r\"\nexpect \"ping\\r\" 5000\nforget\n";

    std::ifstream note(std::string(VELMORA_SOURCE_DIR) + "/docs/INSTALL-windows.txt");
    std::vector<std::vector<std::string>> commands;
    const std::regex command("^  velmora ((?:\\S+ ?)+?)(?:  .*)?$");
    for (std::string line; std::getline(note, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, command)) continue;
        std::istringstream words(m[1].str());
        std::vector<std::string> args;
        for (std::string w; words >> w;) {
            args.push_back(w == "COM3" ? "COM7" : w == "session.txt" ? session : w);
        }
        commands.push_back(args);
    }
    ASSERT_GE(commands.size(), 6u) << "the install note's commands were not found";
    for (const std::vector<std::string>& args : commands) {
        SCOPED_TRACE("velmora " + args[0] + (args.size() > 1 ? " " + args[1] : ""));
        PtyPair pty;
        Attach(7, pty);
        ScriptedDevice device(
            pty, [echoed = std::size_t{0}](const std::string& heard, PtyPair& p) mutable {
                Echo(heard, p, &echoed);
            });
        const ProcessResult r =
            Velmora(args, args[0] == "term" ? "\x1D" : "", std::string(folder) + "/velmora.exe");
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(r.err, "");
    }
    for (const std::string file : {"velmora.exe", t.module, "session.txt"}) {
        unlink((std::string(folder) + "/" + file).c_str());
    }
    rmdir(folder);
}

// Ports on device servers through Winsock: the stand-in servers run in this process, on
// Linux's loopback, which Wine's sockets share.
TEST_P(WineTest, DeviceServersThroughWinsock) {
    DeviceServer::Behaviour echoing;
    echoing.echo = true;
    DeviceServer rfc2217(DeviceServer::Kind::kRfc2217, echoing);
    DeviceServer plain(DeviceServer::Kind::kSocket, echoing);
    DeviceServer::Behaviour cutting;
    cutting.dropAfter = 500;
    DeviceServer cuts(DeviceServer::Kind::kRfc2217, cutting);
    std::string every, escaped;
    for (int i = 0; i < 256; ++i) {
        every += static_cast<char>(i);
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", i);
        escaped += hex;
    }
    // A framing error reported once the script is connected and waiting.
    std::thread notice([&] {
        for (int i = 0; i < 600 && rfc2217.connections() == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        rfc2217.SendCommand(106, {0x08});
    });
    const std::string near = "127.0.0.1:" + std::to_string(rfc2217.port());
    const ProcessResult r =
        Run("new \"rfc2217://" + near + "\", 4096, 4096\n" +
            "GetCommBaudRate\n"
            "SetCommFlowControl 0\n"
            "SetCommBaudRate 115200\n"
            "GetCommBaudRate\n"
            "SetCommDataBits 7\n"
            "GetCommDataBits\n"
            "SetCommDataBits 9\n"
            "SetCommTimeOut 5000\n"
            "WriteComm \"" +
            escaped +
            "\"\n"
            "expect \"\\xFD\\xFE\\xFF\" 10000\n"
            "EscapeComm 1\n"
            "EscapeComm 8\n"
            "EscapeComm 7\n"
            "wait 3000\n"
            "GetCommError\n"
            "GetCommError\n"
            "forget\n"
            "new \"rfc2217://127.0.0.1:1\", 16, 16\n"
            "new \"rfc2217://127.0.0.1\", 16, 16\n"
            "new \"socket://localhost:" +
            std::to_string(plain.port()) +
            "\", 4096, 4096\n"
            "SetCommBaudRate 300\n"
            "GetCommBaudRate\n"
            "EscapeComm 2\n"
            "WriteComm \"raw\\xFF\"\n"
            "expect \"raw\\xFF\" 10000\n"
            "forget\n"
            "new \"rfc2217://127.0.0.1:" +
            std::to_string(cuts.port()) +
            "\", 4096, 4096\n"
            "SetCommFlowControl 0\n"
            "SetCommBaudRate 9600\n"
            "WriteComm \"" +
            std::string(4000, 'w') +  // four seconds of the line
            "\"\n"
            "GetCommBaudRate\n"
            "forget\n");
    notice.join();
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_SHOWS(r, "new \"rfc2217://" + near + "\", 4096, 4096 -> <void>");
    EXPECT_SHOWS(r, "GetCommBaudRate -> 9600");
    EXPECT_SHOWS(r, "SetCommBaudRate 115200 -> 1");
    EXPECT_SHOWS(r, "GetCommBaudRate -> 115200");
    EXPECT_SHOWS(r, "GetCommDataBits -> 7");
    EXPECT_SHOWS(r, "SetCommDataBits 9 -> 0");
    EXPECT_EQ(rfc2217.line().dataSize, 7);
    EXPECT_EQ(rfc2217.ReceivedSoFar(), every);  // every byte value, Telnet's 255 among them
    EXPECT_SHOWS(r, "EscapeComm 1 -> 1");
    EXPECT_EQ(rfc2217.line().dtr, 9);
    EXPECT_SHOWS(r, "EscapeComm 8 -> 1");
    EXPECT_SHOWS(r, "GetCommError -> -4\nGetCommError -> 0");
    EXPECT_SHOWS(r, "forget -> 1\nnew \"rfc2217://127.0.0.1:1\", 16, 16 -> 0");
    EXPECT_SHOWS(r, "new \"rfc2217://127.0.0.1\", 16, 16 -> 0");
    EXPECT_SHOWS(r, "new \"socket://localhost:" + std::to_string(plain.port()) +
                        "\", 4096, 4096 -> <void>");
    EXPECT_SHOWS(r, "SetCommBaudRate 300 -> 1\nGetCommBaudRate -> 300\nEscapeComm 2 -> 0");
    EXPECT_EQ(plain.ReceivedSoFar(), "raw\xFF");
    // The connection cut in the middle of a paced write: the write ends at once with
    // what it handed over, then every call answers 0 and forget 1.
    std::smatch cut;
    ASSERT_TRUE(std::regex_search(r.out, cut, std::regex("WriteComm \"w+\" -> ([0-9]+)\n")));
    EXPECT_GE(std::stoi(cut[1]), 500);
    EXPECT_LT(std::stoi(cut[1]), 4000);
    EXPECT_NE(r.out.find("GetCommBaudRate -> 0\nforget -> 1", cut.position(0)), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Targets, WineTest, ::testing::ValuesIn(kTargets),
                         [](const auto& target) { return std::string(target.param.name); });

}  // namespace
}  // namespace velmora::testing
