#pragma once

namespace velmora {

// The text the host reads to learn the extension's name and its script methods. A
// method's number is its position among the declaration lines, counting from 0: its
// place in methods/method_list.h.
extern const char kMessageTable[];

}  // namespace velmora
