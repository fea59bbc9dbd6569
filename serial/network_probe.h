// What a device server tells of itself, asked over a connection of its own: for the
// console's check, which reports it. Not used by the module.
#pragma once

#include <cstdint>

namespace velmora::serial::network {

struct ServerReport {
    bool comPortOption = false;  // a Telnet COM-PORT-OPTION server (rfc2217://)
    char signature[64] = {};
    // Which of the line's settings the server told when asked: baud rate, data bits,
    // parity, stop bits, flow control, BREAK, DTR, RTS.
    bool reportsBaud = false, reportsDataSize = false, reportsParity = false,
         reportsStopSize = false, reportsFlow = false, reportsBreak = false, reportsDtr = false,
         reportsRts = false;
    // The notice masks asked for, and what the server answered (-1: no answer).
    std::uint8_t lineMaskAsked = 0, modemMaskAsked = 0;
    int lineMask = -1, modemMask = -1;
    int modem = -1;  // the modem inputs it reported (NOTIFY-MODEMSTATE), or -1
};

// Connects to `name` as a port would, asks for everything, and collects what the server
// says within about two seconds, then lets the connection go. False when the name does
// not parse or no connection (and, for rfc2217://, no agreement) was made.
bool ProbeServer(const char* name, ServerReport* report);

}  // namespace velmora::serial::network
