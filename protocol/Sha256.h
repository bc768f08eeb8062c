// The SHA-256 digest from the system's crypto library: OpenSSL's libcrypto on Linux, BCrypt on
// Windows (where no OpenSSL is built in).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace tlm {

using TSha256Digest = std::array<uint8_t, 32>;

// The digest of AText's bytes; TError if the library fails. Any thread.
TSha256Digest Sha256(std::string_view AText);

}  // namespace tlm
