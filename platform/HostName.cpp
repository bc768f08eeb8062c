#include "platform/HostName.h"

#include <unistd.h>

namespace tlm {

std::string LocalHostName() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) == 0) return host;
  return std::string();
}

}  // namespace tlm
