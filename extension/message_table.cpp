#include "extension/message_table.h"

#include "velmora_version.h"

namespace velmora {

const char kMessageTable[] =
    "xtra Velmora\n"
    "\n"
    "-- Velmora " VELMORA_VERSION
    ": serial ports for scripts; open, set the line, write, read, close.\n"
    "\n"
    "new object me, string CommName, integer InQueue, integer OutQueue\n"
    "forget object me\n"
    "WriteComm object me, string Data\n"
    "ReadComm object me\n"
    "GetCommBaudRate object me\n"
    "SetCommBaudRate object me, integer BaudRate\n"
    "GetCommDataBits object me\n"
    "SetCommDataBits object me, integer DataBits\n"
    "GetCommStopBits object me\n"
    "SetCommStopBits object me, integer StopBits\n"
    "GetCommParity object me\n"
    "SetCommParity object me, integer Parity\n"
    "GetCommCTS object me\n"
    "SetCommCTS object me, integer CTS\n"
    "GetCommDSR object me\n"
    "SetCommDSR object me, integer DSR\n"
    "SetCommFlowControl object me, integer Type\n"
    "SetCommTimeOut object me, integer TimeOut\n"
    "EscapeComm object me, integer Function\n"
    "FlushComm object me\n"
    "GetCommError object me\n";

}  // namespace velmora
