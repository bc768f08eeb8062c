#include "platform/DeviceUuid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "protocol/Error.h"

namespace tlm {

std::array<uint8_t, 16> NewRandomUuid() {
  std::array<uint8_t, 16> b{};
  size_t got = 0;
  while (got < b.size()) {
    const ssize_t n = ::getrandom(b.data() + got, b.size() - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw TError(std::string("getrandom: ") + std::strerror(errno));
    }
    got += size_t(n);
  }
  b[6] = uint8_t((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = uint8_t((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return b;
}

}  // namespace tlm
