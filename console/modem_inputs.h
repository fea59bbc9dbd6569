// The modem inputs of a port the module holds, asked of the system directly: no script
// method reads them, and they tell why a device stays silent (new switches the CTS and
// DSR handshakes on, and a cable without those lines holds every write).
#pragma once

#include <optional>
#include <string>

namespace velmora::console {

struct ModemInputs {
    bool cts = false;
    bool dsr = false;
    bool ri = false;
    bool dcd = false;
};

// The inputs of `port`, which the module in this process has open with `portHandle`
// (the handle it keeps in its instance); nothing when the port has no modem lines or
// the system does not tell.
std::optional<ModemInputs> ReadModemInputs(const std::string& port, void* portHandle);

}  // namespace velmora::console
