// A device server in the test's own process, on 127.0.0.1 at a port of the system's
// choosing: a Telnet COM-PORT-OPTION server, or a plain TCP stream. It keeps a line's
// settings and answers as a server should, or misbehaves on purpose: refuses the option,
// stays silent, answers late or never, refuses a rate, cuts the connection, takes no
// bytes, sends whatever it is told. Its Telnet is its own, so that the module's codec is
// not tested against itself.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace velmora::testing {

class DeviceServer {
  public:
    enum class Kind { kRfc2217, kSocket };

    struct Behaviour {
        bool refuseComPort = false;            // DONT COM-PORT-OPTION
        bool silent = false;                   // accepts, then says and reads nothing
        int answerDelayMs = 0;                 // every answer that late
        std::set<int> unanswered;              // commands (1 to 12) it never answers
        std::set<int> unansweredControls;      // SET-CONTROL values it never answers
        std::set<std::uint32_t> refusedBauds;  // answered with the rate it keeps
        bool echo = false;                     // sends back every data byte
        long dropAfter = -1;                   // cuts the connection after this many data bytes
        bool reading = true;                   // false: takes no bytes (a device that holds output)
        bool flood = false;                    // sends data without end, as fast as it goes
        int modemAtConnect = 0x30;             // NOTIFY-MODEMSTATE at connect (CTS, DSR); -1: none
        int maxClients = 1;                    // more are accepted and closed at once
    };

    struct Line {
        std::uint32_t baud = 9600;
        int dataSize = 8, parity = 1, stopSize = 1, flow = 1, dtr = 8, rts = 11, brk = 6;
    };

    explicit DeviceServer(Kind kind = Kind::kRfc2217);
    DeviceServer(Kind kind, const Behaviour& behaviour);
    ~DeviceServer();
    DeviceServer(const DeviceServer&) = delete;
    DeviceServer& operator=(const DeviceServer&) = delete;

    int port() const { return port_; }
    std::string Name() const;  // rfc2217://127.0.0.1:N or socket://127.0.0.1:N
    void Set(const Behaviour& behaviour);

    // To the client.
    void SendData(const std::string& bytes);  // IAC doubled on a Telnet server
    void SendWire(const std::string& bytes);  // exactly these bytes
    void SendCommand(int serverCommand, const std::vector<std::uint8_t>& value);
    void SendUrgentDataMark();  // IAC DM, the DM sent as TCP's urgent data (Telnet's Synch)
    void Drop();                // cuts the client's connection

    // From the client.
    std::string Received(std::size_t count, int timeoutMs = 2000);
    std::string ReceivedSoFar();
    // Every COM-PORT-OPTION command received: its number and value bytes.
    std::vector<std::pair<int, std::vector<std::uint8_t>>> Commands();
    int CountCommands(int command);
    Line line();
    int connections();  // accepted so far

  private:
    void Run();
    void Accept();
    void ReadClient();
    void Take(const std::uint8_t* bytes, std::size_t n);
    void OnCommand(const std::vector<std::uint8_t>& payload);
    void Reply(int serverCommand, const std::vector<std::uint8_t>& value);
    void Queue(const std::string& wire, int delayMs);
    void FlushDue();
    void CloseClient();

    Kind kind_;
    int listener_ = -1;
    int port_ = 0;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};

    std::mutex mutex_;
    std::condition_variable changed_;
    Behaviour behaviour_;
    Line line_;
    int client_ = -1;
    int connections_ = 0;
    long dataReceived_ = 0;
    std::string received_;
    std::vector<std::pair<int, std::vector<std::uint8_t>>> commands_;
    std::multimap<long long, std::string> pending_;  // due time (ms) -> wire bytes
    std::string unsent_;
    // The Telnet parser's state.
    int state_ = 0;
    std::vector<std::uint8_t> sb_;

    std::thread thread_;
};

}  // namespace velmora::testing
