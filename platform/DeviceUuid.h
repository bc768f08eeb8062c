// A fresh random UUID (version 4, RFC 4122 variant) from the system: the kernel's random
// source on Linux, UuidCreate on Windows. Used for a new device key.
#pragma once

#include <array>
#include <cstdint>

namespace tlm {

// The 16 bytes in the order the textual form prints them. TError when the system has no
// random source to give.
std::array<uint8_t, 16> NewRandomUuid();

}  // namespace tlm
