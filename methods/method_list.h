// The script methods, listed once. From this list come the message table's declaration
// lines, the method numbers and the dispatch table, so a method's number is its place
// here and cannot drift from the line that declares it.
//
// Each entry: the function in velmora::methods, then the method's declaration line as
// the message table gives it (its name, then `object me` and the parameters).
#pragma once

#include <cstdint>

#define VELMORA_METHOD_LIST(X)                                                  \
    X(New, "new object me, string CommName, integer InQueue, integer OutQueue") \
    X(Forget, "forget object me")                                               \
    X(WriteComm, "WriteComm object me, string Data")                            \
    X(ReadComm, "ReadComm object me")                                           \
    X(GetCommBaudRate, "GetCommBaudRate object me")                             \
    X(SetCommBaudRate, "SetCommBaudRate object me, integer BaudRate")           \
    X(GetCommDataBits, "GetCommDataBits object me")                             \
    X(SetCommDataBits, "SetCommDataBits object me, integer DataBits")           \
    X(GetCommStopBits, "GetCommStopBits object me")                             \
    X(SetCommStopBits, "SetCommStopBits object me, integer StopBits")           \
    X(GetCommParity, "GetCommParity object me")                                 \
    X(SetCommParity, "SetCommParity object me, integer Parity")                 \
    X(GetCommCTS, "GetCommCTS object me")                                       \
    X(SetCommCTS, "SetCommCTS object me, integer CTS")                          \
    X(GetCommDSR, "GetCommDSR object me")                                       \
    X(SetCommDSR, "SetCommDSR object me, integer DSR")                          \
    X(SetCommFlowControl, "SetCommFlowControl object me, integer Type")         \
    X(SetCommTimeOut, "SetCommTimeOut object me, integer TimeOut")              \
    X(EscapeComm, "EscapeComm object me, integer Function")                     \
    X(FlushComm, "FlushComm object me")                                         \
    X(GetCommError, "GetCommError object me")

namespace velmora::methods {

// A method's number: kNew is 0, kGetCommError 20; kMethodCount is how many there are.
#define VELMORA_METHOD_NUMBER(function, declaration) k##function,
enum MethodNumber : std::int32_t { VELMORA_METHOD_LIST(VELMORA_METHOD_NUMBER) kMethodCount };
#undef VELMORA_METHOD_NUMBER

}  // namespace velmora::methods
