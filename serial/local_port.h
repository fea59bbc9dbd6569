// The platform's own serial port: the operations of serial/comm.h on a port of this
// machine (KERNEL32 on Windows, the termios layer on Linux). serial/comm.cpp sends every
// name and handle that is not a network port here. Internal to serial/.
#pragma once

#include "serial/comm.h"

namespace velmora::serial::local {

PortHandle CreateFileA(const char* name, std::uint32_t access, std::uint32_t shareMode,
                       void* security, std::uint32_t disposition, std::uint32_t flags,
                       PortHandle templateFile);
Bool SetupComm(PortHandle port, std::uint32_t inQueue, std::uint32_t outQueue);
Bool GetCommState(PortHandle port, Dcb* dcb);
Bool SetCommState(PortHandle port, Dcb* dcb);
Bool PurgeComm(PortHandle port, std::uint32_t flags);
Bool SetCommTimeouts(PortHandle port, CommTimeouts* timeouts);
Bool EscapeCommFunction(PortHandle port, std::uint32_t function);
Bool ClearCommError(PortHandle port, std::uint32_t* errors, ComStat* status);
Bool ReadFile(PortHandle port, void* buffer, std::uint32_t count, std::uint32_t* countRead,
              void* overlapped);
Bool WriteFile(PortHandle port, const void* buffer, std::uint32_t count,
               std::uint32_t* countWritten, void* overlapped);
Bool FlushFileBuffers(PortHandle port);
Bool CloseHandle(PortHandle port);

}  // namespace velmora::serial::local
