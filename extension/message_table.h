#pragma once

namespace velmora {

// The text the host reads to learn the extension's name and its script methods. A
// method's number is its position among the declaration lines, counting from 0.
extern const char kMessageTable[];

inline constexpr int kMethodCount = 21;

}  // namespace velmora
