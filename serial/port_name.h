#pragma once

#include <string>

namespace velmora::serial {

// Windows opens COM10 and above only through the device namespace ("\\.\COM10"); the
// short form finds no such file. Names that need it get the prefix; every other name,
// COM1 to COM9 and anything already prefixed among them, passes unchanged.
std::string WindowsDevicePath(const char* name);

}  // namespace velmora::serial
