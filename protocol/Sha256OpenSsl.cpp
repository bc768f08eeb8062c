#include <openssl/evp.h>

#include "protocol/Error.h"
#include "protocol/Sha256.h"

namespace tlm {

TSha256Digest Sha256(std::string_view AText) {
  TSha256Digest digest{};
  unsigned int len = 0;
  if (EVP_Digest(AText.data(), AText.size(), digest.data(), &len, EVP_sha256(), nullptr) != 1 ||
      len != digest.size())
    throw TError("SHA-256 failed");
  return digest;
}

}  // namespace tlm
