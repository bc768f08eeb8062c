// This computer's name as the system knows it (the host name, or Windows' DNS host name).
#pragma once

#include <string>

namespace tlm {

// "" when the system does not tell.
std::string LocalHostName();

}  // namespace tlm
