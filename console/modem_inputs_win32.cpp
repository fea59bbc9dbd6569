// Windows: the module's handle is the port's kernel handle, usable by any code of the
// process that holds it.
#include <windows.h>

#include "console/modem_inputs.h"

namespace velmora::console {

std::optional<ModemInputs> ReadModemInputs(const std::string&, void* portHandle) {
    DWORD status = 0;
    if (portHandle == nullptr || portHandle == INVALID_HANDLE_VALUE ||
        !GetCommModemStatus(static_cast<HANDLE>(portHandle), &status)) {
        return std::nullopt;
    }
    return ModemInputs{(status & MS_CTS_ON) != 0, (status & MS_DSR_ON) != 0,
                       (status & MS_RING_ON) != 0, (status & MS_RLSD_ON) != 0};
}

}  // namespace velmora::console
