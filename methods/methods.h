// The 21 script methods. Each runs inside RunMethod, which has already set the result
// to the integer 0 (all but `new`), and reports failure to the script only through the
// result; the status it returns goes to the host.
//
// Opening and closing are in open_close.cpp; the data transfer and status methods in
// transfer.cpp; the line settings and control in line_settings.cpp.
#pragma once

#include "methods/method_list.h"
#include "methods/port_instance.h"

namespace velmora {

using Method = Status (*)(PortInstance& self, CallInfo& call);

namespace methods {

#define VELMORA_DECLARE_METHOD(function, declaration) Status function(PortInstance&, CallInfo&);
VELMORA_METHOD_LIST(VELMORA_DECLARE_METHOD)
#undef VELMORA_DECLARE_METHOD

}  // namespace methods
}  // namespace velmora
