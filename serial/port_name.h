#pragma once

namespace velmora::serial {

// Windows opens COM10 and above only through the device namespace ("\\.\COM10"); the
// short form finds no such file. Answers the prefix a name needs: "\\.\" for those,
// "" for every other name, COM1 to COM9 and anything already prefixed among them.
// Allocates nothing, so opening a port cannot throw.
const char* DeviceNamespacePrefix(const char* name);

}  // namespace velmora::serial
