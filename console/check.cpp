// `velmora check PORT [--loopback]`: what a port takes, asked through the module the way
// a script asks; with a loopback plug (TX joined to RX) or a device that echoes, also
// whether bytes come back intact at each setting the port takes. Ends with a verdict.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ostream>
#include <thread>

#include "console/commands.h"
#include "console/modem_inputs.h"
#include "console/session.h"
#include "serial/network_name.h"
#include "serial/network_probe.h"

namespace velmora::console {

namespace {

using minihost::Value;
using Clock = std::chrono::steady_clock;

struct Named {
    std::int32_t code;
    const char* name;
};

constexpr std::int32_t kBaudRates[] = {300,   1200,  2400,   4800,   9600,   19200,
                                       38400, 57600, 115200, 230400, 460800, 921600};
constexpr std::int32_t kBaseBaud = 9600;
constexpr Named kParities[] = {{0, "none"}, {1, "odd"}, {2, "even"}, {3, "mark"}, {4, "space"}};
constexpr Named kStopBits[] = {{0, "1"}, {1, "1.5"}, {2, "2"}};
constexpr Named kFlowTypes[] = {{0, "none"}, {1, "hardware"}, {2, "XON/XOFF"}};
// Each line is driven one way and then back, and the transmitter stopped and resumed,
// so the port ends as it began.
constexpr Named kEscapes[] = {{1, "DTR low"},  {2, "DTR high"},     {3, "RTS low"},
                              {4, "RTS high"}, {6, "stop sending"}, {5, "resume sending"},
                              {8, "break on"}, {7, "break off"}};
constexpr char kXon = 0x11, kXoff = 0x13;

const char* NameOf(const Named* table, std::size_t size, std::int32_t code) {
    for (std::size_t i = 0; i < size; ++i) {
        if (table[i].code == code) return table[i].name;
    }
    return "?";
}

std::string Pad(const std::string& text, std::size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

// "2 (even)": a code with what it means.
std::string Coded(std::int32_t code, const char* name) {
    return std::to_string(code) + " (" + name + ")";
}

std::string Hex(char c) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned char>(c));
    return text;
}

class Checker {
  public:
    Checker(Session& session, const CheckOptions& options, std::ostream& out)
        : session_(session), options_(options), out_(out) {}

    int Run();

  private:
    // An integer answer; -1 for an answer that is not one.
    std::int32_t Ask(const char* method, const std::vector<Value>& args = {}) {
        const Value v = session_.Quiet(method, args).result;
        return v.kind == Value::Kind::kInteger ? v.integer : -1;
    }
    std::int32_t Set(const char* method, std::int32_t value) {
        return Ask(method, {Value::Integer(value)});
    }
    void Header() {
        out_ << "\n"
             << Pad("setting", 30) << Pad("answer", 8) << Pad("reads back", 14)
             << (options_.loopback ? "loopback" : "") << "\n";
    }
    // One setting: what the setter answered, what the getter reads back, and (with
    // --loopback, for a setting the port kept) whether bytes came back through it.
    void Row(const std::string& setting, std::int32_t answer, const std::string& readsBack,
             const std::string& loopback = {}) {
        std::string row =
            Pad(setting, 30) + Pad(std::to_string(answer), 8) + Pad(readsBack, 14) + loopback;
        row.erase(row.find_last_not_of(' ') + 1);
        out_ << row << "\n";
    }
    // Records a setter answered 1 whose value the port did not keep.
    void NotKept(const std::string& setting) { notKept_.push_back(setting); }

    void SetLine(std::int32_t baud, std::int32_t dataBits, std::int32_t parity,
                 std::int32_t stopBits) {
        Set("SetCommBaudRate", baud);
        Set("SetCommDataBits", dataBits);
        Set("SetCommParity", parity);
        Set("SetCommStopBits", stopBits);
    }
    bool Drain();
    std::string Exchange(std::int32_t baud, std::int32_t dataBits, bool avoidXonXoff);
    // The loopback column for `setting`: "ok ..." or what went wrong, counted.
    std::string Loop(const std::string& setting, std::int32_t baud, std::int32_t dataBits,
                     bool avoidXonXoff = false, bool counts = true);

    void CheckBaudRates();
    void CheckDataBits();
    void CheckParity();
    void CheckStopBits();
    void CheckFlowControl();
    void CheckEscapes();
    void ReportModemInputs();
    void WarnOfLowInputs(const ModemInputs& in);
    void ReportDeviceServer();
    std::string Verdict() const;

    Session& session_;
    const CheckOptions& options_;
    std::ostream& out_;
    std::int32_t baseBaud_ = kBaseBaud;
    bool baseTaken_ = true;
    bool silent_ = false;               // bytes did not come back intact at the base setting
    std::string baseWhy_;               // how they did not
    bool stopped_ = false;              // the port stopped answering reads
    bool dataBits5_ = false;            // 1.5 stop bits are tried only with 5 data bits
    std::vector<std::string> failed_;   // settings at which bytes did not come back intact
    std::vector<std::string> notKept_;  // answered 1, read back otherwise
    std::vector<std::string> notes_;    // worth knowing, not a fault of the port
};

// Reads until nothing more arrives; false when the port cannot be read.
bool Checker::Drain() {
    for (int quiet = 0; quiet < 3;) {
        const Value got = session_.Quiet("ReadComm").result;
        if (!got.IsText()) return false;
        if (got.text.empty()) {
            ++quiet;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } else {
            quiet = 0;
        }
    }
    Ask("GetCommError");  // clears what a break or a wrong setting left behind
    return true;
}

// Sends every byte value the data bits can carry (as many as fit in about a quarter of
// a second at `baud`) and reads them back. Empty when they came back intact.
std::string Checker::Exchange(std::int32_t baud, std::int32_t dataBits, bool avoidXonXoff) {
    if (!Drain()) {
        stopped_ = true;
        return "the port cannot be read";
    }
    const std::size_t count = std::clamp<std::size_t>(static_cast<std::size_t>(baud) / 40, 16, 256);
    const unsigned mask = (1u << dataBits) - 1;
    std::string sent;
    for (unsigned v = 0; sent.size() < count; ++v) {
        const char c = static_cast<char>(v & mask);
        if (avoidXonXoff && (c == kXon || c == kXoff)) continue;
        sent += c;
    }
    const std::int32_t wrote = Ask("WriteComm", {Value::Text(sent)});
    if (wrote != static_cast<std::int32_t>(count)) {
        return "only " + std::to_string(std::max(wrote, 0)) + " of " + std::to_string(count) +
               " bytes went out";
    }
    // Twice the time on the wire (11 bits a byte at most), and a second for the far end.
    const auto wire = std::chrono::milliseconds(count * 11 * 1000 / static_cast<std::size_t>(baud));
    const auto deadline = Clock::now() + 2 * wire + std::chrono::seconds(1);
    std::string got;
    while (got.size() < count && Clock::now() < deadline) {
        const Value v = session_.Quiet("ReadComm").result;
        if (!v.IsText()) {
            stopped_ = true;
            return "the port cannot be read";
        }
        if (v.text.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        got += v.text;
    }
    if (got.empty()) return "nothing came back";
    std::string why;
    if (got.size() < count) {
        why = "only " + std::to_string(got.size()) + " of " + std::to_string(count) +
              " bytes came back";
    } else if (got.size() > count) {
        why = std::to_string(got.size() - count) + " bytes more came back than were sent";
    }
    std::size_t changed = 0, first = count;
    for (std::size_t i = 0; i < std::min(count, got.size()); ++i) {
        if (got[i] == sent[i]) continue;
        if (changed++ == 0) first = i;
    }
    if (changed != 0) {
        why += (why.empty() ? "" : "; ") + std::to_string(changed) + " of " +
               std::to_string(count) + " bytes changed (" + Hex(sent[first]) + " came back as " +
               Hex(got[first]) + ")";
    }
    if (why.empty()) return {};
    const std::int32_t error = Ask("GetCommError");
    if (error < 0) why += "; GetCommError answers " + std::to_string(error);
    return why;
}

std::string Checker::Loop(const std::string& setting, std::int32_t baud, std::int32_t dataBits,
                          bool avoidXonXoff, bool counts) {
    if (!options_.loopback) return {};
    if (silent_ || stopped_) return "not tried";
    const std::string why = Exchange(baud, dataBits, avoidXonXoff);
    if (why.empty()) return "ok";
    if (counts) failed_.push_back(setting);
    return "FAILED: " + why;
}

void Checker::CheckBaudRates() {
    for (const std::int32_t baud : kBaudRates) {
        const std::int32_t answer = Set("SetCommBaudRate", baud);
        const std::int32_t back = Ask("GetCommBaudRate");
        const std::string setting = std::to_string(baud) + " baud";
        std::string loop;
        if (answer == 1 && back != baud) NotKept(setting);
        if (answer == 1 && back == baud) loop = Loop(setting, baud, 8);
        Row("baud rate " + std::to_string(baud), answer, std::to_string(back), loop);
    }
    Set("SetCommBaudRate", baseBaud_);
}

void Checker::CheckDataBits() {
    for (std::int32_t bits = 5; bits <= 8; ++bits) {
        const std::int32_t answer = Set("SetCommDataBits", bits);
        const std::int32_t back = Ask("GetCommDataBits");
        const std::string setting = std::to_string(bits) + " data bits";
        std::string loop;
        if (answer == 1 && back != bits) NotKept(setting);
        if (answer == 1 && back == bits) {
            if (bits == 5) dataBits5_ = true;
            loop = Loop(setting, baseBaud_, bits);
        }
        Row("data bits " + std::to_string(bits), answer, std::to_string(back), loop);
    }
    Set("SetCommDataBits", 8);
}

void Checker::CheckParity() {
    for (const Named& parity : kParities) {
        const std::int32_t answer = Set("SetCommParity", parity.code);
        const std::int32_t back = Ask("GetCommParity");
        const std::string setting = std::string("parity ") + parity.name;
        std::string loop;
        if (answer == 1 && back != parity.code) NotKept(setting);
        if (answer == 1 && back == parity.code) loop = Loop(setting, baseBaud_, 8);
        Row("parity " + Coded(parity.code, parity.name), answer,
            Coded(back, NameOf(kParities, std::size(kParities), back)), loop);
    }
    Set("SetCommParity", 0);
}

void Checker::CheckStopBits() {
    for (const Named& stop : kStopBits) {
        // One and a half stop bits go only with 5 data bits.
        const std::int32_t bits = stop.code == 1 ? 5 : 8;
        const std::string label =
            "stop bits " + Coded(stop.code, stop.name) + (bits == 5 ? ", 5 data" : "");
        if (bits == 5 && !dataBits5_) {
            out_ << Pad(label, 30) << "not tried: the port keeps no 5 data bits\n";
            continue;
        }
        Set("SetCommDataBits", bits);
        const std::int32_t answer = Set("SetCommStopBits", stop.code);
        const std::int32_t back = Ask("GetCommStopBits");
        const std::string setting = std::string(stop.name) + " stop bits";
        std::string loop;
        if (answer == 1 && back != stop.code) NotKept(setting);
        if (answer == 1 && back == stop.code) loop = Loop(setting, baseBaud_, bits);
        Row(label, answer, Coded(back, NameOf(kStopBits, std::size(kStopBits), back)), loop);
        Set("SetCommStopBits", 0);
        Set("SetCommDataBits", 8);
    }
}

void Checker::CheckFlowControl() {
    for (const Named& flow : kFlowTypes) {
        const std::int32_t answer = Set("SetCommFlowControl", flow.code);
        const std::string back = "CTS " + std::to_string(Ask("GetCommCTS")) + " DSR " +
                                 std::to_string(Ask("GetCommDSR"));
        const std::string setting = std::string(flow.name) + " flow control";
        std::string loop;
        if (answer == 1) {
            // A plain loopback plug raises neither CTS nor DSR, so output held back under
            // hardware flow control is the plug's doing, not the port's.
            const bool hardware = flow.code == 1;
            loop = Loop(setting, baseBaud_, 8, flow.code == 2, !hardware);
            if (hardware && loop.rfind("FAILED", 0) == 0) {
                loop = "held: " + loop.substr(8);
                notes_.push_back(
                    "output waits for CTS and DSR under hardware flow control, which the far "
                    "end does not raise");
            }
        }
        Row("flow control " + Coded(flow.code, flow.name), answer, back, loop);
    }
    Set("SetCommFlowControl", 0);
}

// The commonest reason a device stays silent: new switches the CTS and DSR handshakes
// on, and every write then waits for a line that a three-wire cable, or a device that
// leaves it low, never raises.
void Checker::ReportModemInputs() {
    if (serial::network::IsNetworkName(options_.port.c_str())) {
        out_ << "modem inputs: as the device server reports them, at the end\n";
        return;
    }
    const std::optional<ModemInputs> in = ReadModemInputs(options_.port, session_.PortHandle());
    if (!in) {
        out_ << "modem inputs: not reported by this port\n";
        return;
    }
    out_ << "modem inputs: CTS " << in->cts << ", DSR " << in->dsr << ", RI " << in->ri << ", DCD "
         << in->dcd << "\n";
    WarnOfLowInputs(*in);
}

void Checker::WarnOfLowInputs(const ModemInputs& in) {
    if (!in.cts) {
        out_ << "warning: CTS is low, and new switches the CTS handshake on: every write waits "
                "for CTS and ends at its time-out with nothing sent. Without a CTS line, call "
                "SetCommFlowControl 0 (or SetCommCTS 0) after new.\n";
    }
    if (!in.dsr) {
        // A device server's port waits for DSR on every system, as Windows' does.
        out_ << "warning: DSR is low, and new switches the DSR handshake on: "
             << (serial::network::IsNetworkName(options_.port.c_str())
                     ? "every write waits for DSR and ends at its time-out with nothing sent. "
                     : "on Windows every write waits for DSR and ends at its time-out with "
                       "nothing sent (Linux has no DSR handshake and sends). ")
             << "Without a DSR line, call SetCommFlowControl 0 (or SetCommDSR 0) after new.\n";
    }
}

namespace {
std::string Mask(int mask) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(mask) & 0xFF);
    return text;
}
// A signature as printable text: a server may send any bytes.
std::string Printable(const char* text) {
    std::string out;
    for (const char* c = text; *c != '\0'; ++c) out += (*c >= 0x20 && *c < 0x7F) ? *c : '?';
    return out;
}
}  // namespace

// What the device server tells of itself, over a connection of its own once the port is
// closed: the modem inputs, which lines it reports, the notices it sends.
void Checker::ReportDeviceServer() {
    serial::network::ServerReport r;
    out_ << "device server:";
    if (!serial::network::ProbeServer(options_.port.c_str(), &r)) {
        out_ << " it did not answer a second connection\n";
        return;
    }
    if (!r.comPortOption) {
        out_ << " a plain TCP stream: the server's own configuration sets the line; the "
                "setters answer 1 and change nothing there, and it has no lines to drive\n";
        return;
    }
    out_ << " RFC 2217, signature \"" << Printable(r.signature) << "\"\n";
    const std::pair<bool, const char*> told[] = {
        {r.reportsBaud, "baud rate"},    {r.reportsDataSize, "data bits"},
        {r.reportsParity, "parity"},     {r.reportsStopSize, "stop bits"},
        {r.reportsFlow, "flow control"}, {r.reportsBreak, "BREAK"},
        {r.reportsDtr, "DTR"},           {r.reportsRts, "RTS"}};
    std::string reports, silent;
    for (const auto& [yes, what] : told) (yes ? reports : silent) += std::string(", ") + what;
    out_ << "  tells: " << (reports.empty() ? "nothing" : reports.substr(2));
    if (!silent.empty()) out_ << "; does not tell: " << silent.substr(2);
    out_ << "\n";
    if (!r.reportsDtr || !r.reportsRts) {
        out_ << "  a line it does not tell is not driven: EscapeComm 1 to 4 answer 0 for it\n";
    }
    out_ << "  line-state notices (GetCommError): asked for " << Mask(r.lineMaskAsked) << ", "
         << (r.lineMask < 0 ? "no answer" : "answered " + Mask(r.lineMask)) << "\n"
         << "  modem-state notices: asked for " << Mask(r.modemMaskAsked) << ", "
         << (r.modemMask < 0 ? "no answer" : "answered " + Mask(r.modemMask)) << "\n";
    if (r.modem < 0) {
        out_ << "  modem inputs: not reported; the CTS and DSR handshakes wait for nothing\n";
        return;
    }
    const ModemInputs in{(r.modem & 0x10) != 0, (r.modem & 0x20) != 0, (r.modem & 0x40) != 0,
                         (r.modem & 0x80) != 0};
    out_ << "modem inputs: CTS " << in.cts << ", DSR " << in.dsr << ", RI " << in.ri << ", DCD "
         << in.dcd << "\n";
    WarnOfLowInputs(in);
}

void Checker::CheckEscapes() {
    for (const Named& escape : kEscapes) {
        const std::int32_t answer = Set("EscapeComm", escape.code);
        Row("EscapeComm " + Coded(escape.code, escape.name), answer, "");
    }
    if (options_.loopback && !stopped_) Drain();  // a break comes back as a NUL or an error
}

std::string Checker::Verdict() const {
    const std::string& port = options_.port;
    std::string base = std::to_string(baseBaud_) + " 8N1";
    std::string notes;
    if (!notKept_.empty()) {
        notes += "; answers 1 but keeps the old value for:";
        for (const std::string& s : notKept_) notes += (&s == &notKept_[0] ? " " : ", ") + s;
    }
    if (stopped_) return port + " FAILED: the port stopped answering reads";
    if (!baseTaken_) return port + " FAILED: it refuses " + base + " with no flow control";
    if (!options_.loopback) {
        return port + " opens and takes " + base + " with no flow control" + notes +
               "; to check that bytes get through, join TX to RX (a loopback plug) and run "
               "velmora check " +
               port + " --loopback";
    }
    if (silent_) {
        return port + " FAILED at " + base + ": " + baseWhy_ +
               (baseWhy_ == "nothing came back" ? ": is TX joined to RX (pins 2 and 3 of a 9-pin "
                                                  "port), or does the device echo?"
                                                : notes);
    }
    if (!failed_.empty()) {
        std::string list;
        for (const std::string& s : failed_) list += (list.empty() ? "" : ", ") + s;
        return port + " FAILED: bytes come back at " + base + " but not intact at: " + list + notes;
    }
    return port + " works: bytes came back intact at every setting it takes" + notes;
}

int Checker::Run() {
    const Value opened =
        session_
            .Quiet("new", {Value::Text(options_.port), Value::Integer(4096), Value::Integer(4096)})
            .result;
    out_ << "velmora check " << options_.port << ", through " << session_.file().path() << "\n"
         << "new \"" << options_.port << "\", 4096, 4096 -> " << minihost::Describe(opened) << "\n";
    if (opened.IsInteger(0)) {
        out_ << "verdict: " << options_.port
             << " does not open: no such port, or another program has it\n";
        return kExitNoPort;
    }
    const std::int32_t baud = Ask("GetCommBaudRate"), dataBits = Ask("GetCommDataBits"),
                       parity = Ask("GetCommParity"), stopBits = Ask("GetCommStopBits");
    out_ << "as opened: " << baud << " baud, " << dataBits << " data bits, parity "
         << Coded(parity, NameOf(kParities, std::size(kParities), parity)) << ", stop bits "
         << Coded(stopBits, NameOf(kStopBits, std::size(kStopBits), stopBits))
         << "; new switched on CTS " << Ask("GetCommCTS") << ", DSR " << Ask("GetCommDSR") << "\n";
    ReportModemInputs();
    // Every write and read the check makes ends within a second, whatever the far end does.
    out_ << "for the check: SetCommTimeOut 1000 -> " << Set("SetCommTimeOut", 1000)
         << ", SetCommFlowControl 0 -> " << Set("SetCommFlowControl", 0) << "\n";

    if (Set("SetCommBaudRate", kBaseBaud) != 1) baseBaud_ = baud;
    SetLine(baseBaud_, 8, 0, 0);
    baseTaken_ = Ask("GetCommBaudRate") == baseBaud_ && Ask("GetCommDataBits") == 8 &&
                 Ask("GetCommParity") == 0 && Ask("GetCommStopBits") == 0;
    if (options_.loopback && baseTaken_) {
        const std::string why = Exchange(baseBaud_, 8, false);
        out_ << "loopback at " << baseBaud_ << " 8N1: " << (why.empty() ? "ok" : why) << "\n";
        silent_ = !why.empty();
        baseWhy_ = why;
        if (silent_) {
            out_ << "(no loopback at the other settings: bytes do not get through intact at "
                    "this one)\n";
        }
    }

    Header();
    CheckBaudRates();
    CheckDataBits();
    CheckParity();
    CheckStopBits();
    CheckFlowControl();
    CheckEscapes();

    // The port is left as the check found it.
    SetLine(baud, dataBits, parity, stopBits);
    session_.Quiet("forget");
    if (serial::network::IsNetworkName(options_.port.c_str())) ReportDeviceServer();
    for (const std::string& note : notes_) out_ << "note: " << note << "\n";
    out_ << "verdict: " << Verdict() << "\n";
    const bool failed = stopped_ || !baseTaken_ || silent_ || !failed_.empty();
    return failed ? kExitCheckFailed : kExitOk;
}

}  // namespace

int RunCheck(const std::string& modulePath, const CheckOptions& options, std::ostream& out,
             std::ostream& err) {
    std::unique_ptr<Session> session = Session::Open(modulePath, err);
    if (!session) return kExitNoModule;
    return Checker(*session, options, out).Run();
}

}  // namespace velmora::console
