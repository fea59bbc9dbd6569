// `velmora demo`: a short session through every family of methods, with a simulated
// instrument on a virtual cable, or over a real port with a loopback plug (TX joined
// to RX) on it.
#include <chrono>
#include <ostream>
#include <thread>

#include "console/commands.h"
#include "console/session.h"
#include "console/simulated_bench.h"
#include "minihost/poll_until.h"

namespace velmora::console {

namespace {

using minihost::Value;

class Demo {
  public:
    Demo(Session& session, std::ostream& out) : session_(session), out_(out) {}

    void Section(const char* title) { out_ << "\n-- " << title << "\n"; }

    Value Call(const std::string& method, const std::vector<Value>& args = {}) {
        ++calls_;
        return session_.Call(method, args, out_).result;
    }
    void Check(bool ok, const std::string& what) {
        if (!ok) {
            out_ << "   !! " << what << "\n";
            ++failures_;
        }
    }
    // Polls ReadComm the way a script does once a frame, until a whole line is in.
    Value AwaitLine() {
        std::string got;
        const int polls = minihost::PollUntil(
            [&] { return session_.Quiet("ReadComm").result; },
            [](const std::string& received) { return received.find('\n') != std::string::npos; },
            got, std::chrono::seconds(2), std::chrono::milliseconds(1));
        calls_ += polls;
        out_ << "ReadComm -> " << minihost::Describe(Value::Text(got)) << "   (" << polls
             << " polls)\n";
        return Value::Text(got);
    }
    int calls() const { return calls_; }
    int failures() const { return failures_; }

  private:
    Session& session_;
    std::ostream& out_;
    int calls_ = 0;
    int failures_ = 0;
};

}  // namespace

int RunDemo(const std::string& modulePath, const std::string& loopbackPort, std::ostream& out,
            std::ostream& err) {
    std::unique_ptr<SimulatedBench> bench;
    if (loopbackPort.empty()) {
        std::string why;
        bench = OpenSimulatedBench(&why);
        if (!bench) {
            err << "velmora demo: " << why
                << "; with a loopback plug (TX joined to RX) on a port, run: velmora demo "
                   "--port PORT\n";
            return kExitUsage;
        }
    }
    const bool loopback = !bench;
    const std::string portName = loopback ? loopbackPort : bench->port();
    std::unique_ptr<Session> session = Session::Open(modulePath, err);
    if (!session) return kExitNoModule;

    if (loopback) {
        out << "Velmora demo: a loopback plug on " << portName << ": every byte sent comes back.\n";
    } else {
        out << "Velmora demo: a simulated bench instrument on a virtual null-modem cable.\n";
    }
    out << "module: " << session->file().path() << "\n"
        << "port:   " << portName << "\n";
    Demo demo(*session, out);
    const Value port = Value::Text(portName);

    demo.Section("Opening the port: new leaves its result alone when the open succeeds");
    if (demo.Call("new", {port, Value::Integer(4096), Value::Integer(4096)}) != Value::Void()) {
        out << "   !! the port did not open (no such port, or another program has it)\n";
        return kExitNoPort;
    }

    demo.Section("Line settings: each setter answers 1 when the port took the value");
    demo.Check(demo.Call("SetCommBaudRate", {Value::Integer(115200)}).IsInteger(1), "baud rate");
    demo.Check(demo.Call("GetCommBaudRate").IsInteger(115200), "baud rate read back");
    demo.Call("GetCommDataBits");
    demo.Call("GetCommParity");
    demo.Call("GetCommStopBits");
    if (!loopback) {
        out << "   (a virtual cable always carries 8 data bits without parity, so it refuses 7:)\n";
    }
    demo.Call("SetCommDataBits", {Value::Integer(7)});
    if (loopback) demo.Call("SetCommDataBits", {Value::Integer(8)});
    demo.Call("GetCommCTS");
    demo.Call("GetCommDSR");
    if (loopback) {
        out << "   (a loopback plug raises no CTS or DSR: output must not wait for them)\n";
    }
    demo.Check(demo.Call("SetCommFlowControl", {Value::Integer(0)}).IsInteger(1), "flow control");
    demo.Call("GetCommCTS");
    demo.Check(demo.Call("SetCommTimeOut", {Value::Integer(500)}).IsInteger(1), "time-out");

    if (loopback) {
        demo.Section("Talking through the plug: each line comes back as it was sent");
        for (const char* line : {"*IDN?\n", "MEAS:VOLT?\n", "hello, bench\n"}) {
            demo.Call("WriteComm", {Value::Text(line)});
            demo.Check(demo.AwaitLine().text == line, "the line did not come back as sent");
        }
    } else {
        demo.Section("Talking to the instrument");
        demo.Call("WriteComm", {Value::Text("*IDN?\n")});
        demo.Check(demo.AwaitLine().text.find("VELMORA,SIM-1") != std::string::npos,
                   "the instrument did not identify itself");
        demo.Call("WriteComm", {Value::Text("MEAS:VOLT?\n")});
        demo.Check(demo.AwaitLine().text == "+1.234500E+00\r\n", "no measurement");
        demo.Call("WriteComm", {Value::Text("hello, bench\n")});
        demo.Check(demo.AwaitLine().text == "hello, bench\r\n", "no echo");
    }
    demo.Check(demo.Call("ReadComm") == Value::Text(""), "ReadComm with nothing waiting");

    demo.Section("Control lines, flow and status");
    out << "   (6 is SETXOFF: output pauses as if XOFF had arrived; 5 is SETXON: it resumes)\n";
    demo.Check(demo.Call("EscapeComm", {Value::Integer(6)}).IsInteger(1), "SETXOFF");
    demo.Check(demo.Call("EscapeComm", {Value::Integer(5)}).IsInteger(1), "SETXON");
    if (!loopback) out << "   (a virtual cable has no DTR line to raise, and says so:)\n";
    demo.Call("EscapeComm", {Value::Integer(2)});
    demo.Check(demo.Call("FlushComm").IsInteger(1), "flush");
    demo.Check(demo.Call("GetCommError").IsInteger(0), "receive errors");

    demo.Section("Closing");
    demo.Check(demo.Call("forget").IsInteger(1), "close");
    demo.Call("ReadComm");

    out << "\n"
        << demo.calls() << " calls, "
        << (demo.failures() == 0 ? "all as expected."
                                 : std::to_string(demo.failures()) + " unexpected.")
        << "\n";
    return demo.failures() == 0 ? kExitOk : kExitCheckFailed;
}

int RunScriptWithInstrument(const std::string& modulePath, std::istream& script,
                            const std::string& scriptName, std::ostream& out, std::ostream& err,
                            bool timed) {
    std::string why;
    const std::unique_ptr<SimulatedBench> bench = OpenSimulatedBench(&why);
    if (!bench) {
        err << "velmora run --instrument: " << why << "\n";
        return kExitUsage;
    }
    RunOptions options;
    options.simulatedPort = bench->port();
    options.timed = timed;
    return RunScript(modulePath, script, scriptName, out, err, options);
}

}  // namespace velmora::console
