#include "console/instrument.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace velmora::console {

namespace {

std::string Upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

void WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 500) <= 0) return;  // the port stopped reading: drop the rest
    }
}

}  // namespace

std::string InstrumentAnswer(const std::string& line) {
    const std::string command = Upper(line);
    if (command.empty() || command == "*RST" || command == "*CLS") return {};
    if (command == "*IDN?") return "VELMORA,SIM-1,0001,1.0\r\n";
    if (command == "MEAS:VOLT?") return "+1.234500E+00\r\n";
    if (command == "MEAS:TEMP?") return "+2.350000E+01\r\n";
    if (command == "SYST:ERR?") return "+0,\"No error\"\r\n";
    if (command.back() == '?') return "-113,\"Undefined header\"\r\n";
    return line + "\r\n";
}

SimulatedInstrument::SimulatedInstrument(int device)
    : device_(device), thread_([this] { Run(); }) {}

SimulatedInstrument::~SimulatedInstrument() {
    stop_ = true;
    thread_.join();
}

void SimulatedInstrument::Run() {
    std::string line;
    char buffer[512];
    while (!stop_) {
        pollfd p{device_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        const ssize_t n = read(device_, buffer, sizeof buffer);
        if (n <= 0) {
            usleep(10000);  // the port is closed for now; it may be opened again
            continue;
        }
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buffer[i];
            if (c != '\r' && c != '\n') {
                line += c;
                continue;
            }
            WriteAll(device_, InstrumentAnswer(line));
            line.clear();
        }
    }
}

}  // namespace velmora::console
