#include "tests/support/ser2net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace velmora::testing {

namespace {

constexpr const char* kProgram = "/usr/sbin/ser2net";

// A port no one listens on now, the system's choice.
int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

// Whether something listens on 127.0.0.1:`port` (the kernel's table, so that asking
// takes no connection from the server).
bool Listening(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A") return true;
    }
    return false;
}

}  // namespace

std::string Ser2net::Unavailable() {
    std::ifstream recorded(std::string(VELMORA_SOURCE_DIR) + "/build/setup/unavailable/ser2net");
    std::string why;
    if (recorded && std::getline(recorded, why) && !why.empty()) return why;
    if (access(kProgram, X_OK) != 0) {
        return "ser2net is not installed (scripts/setup.sh ser2net installs it)";
    }
    return {};
}

Ser2net::Ser2net(const std::string& rfc2217Device, const std::string& rawDevice)
    : rfc2217Device_(rfc2217Device), rawDevice_(rawDevice) {
    char dir[] = "/tmp/velmora-ser2net-XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    dir_ = dir;
    rfc2217Port_ = FreePort();
    rawPort_ = rawDevice_.empty() ? 0 : FreePort();
    std::ofstream config(dir_ + "/ser2net.yaml");
    config << "%YAML 1.1\n---\n"
           << "connection: &rfc2217\n"
           << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << rfc2217Port_ << "\n"
           << "  connector: serialdev," << rfc2217Device_ << ",9600n81,local\n";
    if (!rawDevice_.empty()) {
        config << "connection: &plain\n"
               << "  accepter: tcp,127.0.0.1," << rawPort_ << "\n"
               << "  connector: serialdev," << rawDevice_ << ",9600n81,local\n";
    }
    config.close();
    Start();
}

Ser2net::~Ser2net() {
    Stop();
    if (!dir_.empty()) {
        unlink((dir_ + "/ser2net.yaml").c_str());
        unlink((dir_ + "/ser2net.log").c_str());
        unlink((dir_ + "/ser2net.pid").c_str());
        rmdir(dir_.c_str());
    }
}

std::string Ser2net::Rfc2217Name() const {
    return "rfc2217://127.0.0.1:" + std::to_string(rfc2217Port_);
}

std::string Ser2net::SocketName() const {
    return "socket://127.0.0.1:" + std::to_string(rawPort_);
}

bool Ser2net::Start() {
    if (pid_ > 0 || dir_.empty()) return pid_ > 0;
    const std::string config = dir_ + "/ser2net.yaml", pidFile = dir_ + "/ser2net.pid",
                      logFile = dir_ + "/ser2net.log";
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(out, 1);
        dup2(out, 2);
        // -n: in the foreground, where this process can stop it; -u: no lock files in
        // the system's folders; -c: this configuration and no other.
        execl(kProgram, kProgram, "-n", "-u", "-c", config.c_str(), "-P", pidFile.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    if (child < 0) return false;
    pid_ = child;
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
        if (Listening(rfc2217Port_) && (rawPort_ == 0 || Listening(rawPort_))) return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) break;  // it ended
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::ifstream in(logFile);
    log_.assign(std::istreambuf_iterator<char>(in), {});
    Stop();
    return false;
}

void Ser2net::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

}  // namespace velmora::testing
