// The program's one exception base class. Every failure that code of ours raises is a
// TError (or derives from it), so each background loop needs a single catch at its top.
#pragma once

#include <stdexcept>
#include <string>

namespace tlm {

class TError : public std::runtime_error {
public:
  explicit TError(const std::string& AMessage) : std::runtime_error(AMessage) {}
};

// Transport failures: connect refused or timed out, peer closed, reset, read time-out, abort.
class TConnectionError : public TError {
public:
  using TError::TError;
};

// End-to-end encryption: a malformed or unauthentic handshake message, a sealed packet that
// does not open, a state-machine call out of order. The session it belongs to ends.
class TSecureError : public TError {
public:
  using TError::TError;
};

}  // namespace tlm
