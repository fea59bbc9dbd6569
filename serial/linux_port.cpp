#include "serial/linux_port.h"

namespace velmora::serial {

PortTable portTable;

}  // namespace velmora::serial
