// The 21 script methods. Each runs inside RunMethod, which has already set the result
// to the integer 0 (all but `new`), and reports failure to the script only through the
// result; the status it returns goes to the host.
#pragma once

#include "extension/port_instance.h"

namespace velmora {

using Method = Status (*)(PortInstance& self, CallInfo& call);

namespace methods {

// Opening and closing.
Status New(PortInstance& self, CallInfo& call);
Status Forget(PortInstance& self, CallInfo& call);

// Data transfer and status.
Status WriteComm(PortInstance& self, CallInfo& call);
Status ReadComm(PortInstance& self, CallInfo& call);
Status FlushComm(PortInstance& self, CallInfo& call);
Status GetCommError(PortInstance& self, CallInfo& call);

// Line settings and control.
Status GetCommBaudRate(PortInstance& self, CallInfo& call);
Status SetCommBaudRate(PortInstance& self, CallInfo& call);
Status GetCommDataBits(PortInstance& self, CallInfo& call);
Status SetCommDataBits(PortInstance& self, CallInfo& call);
Status GetCommStopBits(PortInstance& self, CallInfo& call);
Status SetCommStopBits(PortInstance& self, CallInfo& call);
Status GetCommParity(PortInstance& self, CallInfo& call);
Status SetCommParity(PortInstance& self, CallInfo& call);
Status GetCommCTS(PortInstance& self, CallInfo& call);
Status SetCommCTS(PortInstance& self, CallInfo& call);
Status GetCommDSR(PortInstance& self, CallInfo& call);
Status SetCommDSR(PortInstance& self, CallInfo& call);
Status SetCommFlowControl(PortInstance& self, CallInfo& call);
Status SetCommTimeOut(PortInstance& self, CallInfo& call);
Status EscapeComm(PortInstance& self, CallInfo& call);

}  // namespace methods
}  // namespace velmora
