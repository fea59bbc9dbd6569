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
#include <thread>

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

INSTANTIATE_TEST_SUITE_P(Targets, WineTest, ::testing::ValuesIn(kTargets),
                         [](const auto& target) { return std::string(target.param.name); });

}  // namespace
}  // namespace velmora::testing
