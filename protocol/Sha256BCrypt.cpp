#include <windows.h>
#include <bcrypt.h>

#include <string>

#include "protocol/Error.h"
#include "protocol/Sha256.h"

namespace tlm {

namespace {

// One provider for the process: BCrypt algorithm handles may be shared between threads.
BCRYPT_ALG_HANDLE Sha256Provider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE handle = nullptr;
    const NTSTATUS status = ::BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    return status < 0 ? nullptr : handle;
  }();
  return provider;
}

}  // namespace

TSha256Digest Sha256(std::string_view AText) {
  BCRYPT_ALG_HANDLE provider = Sha256Provider();
  if (!provider) throw TError("SHA-256 failed: no BCrypt SHA-256 provider");
  if (AText.size() > 0xFFFFFFFFu) throw TError("SHA-256 failed: text too long");
  TSha256Digest digest{};
  const NTSTATUS status =
      ::BCryptHash(provider, nullptr, 0, reinterpret_cast<PUCHAR>(const_cast<char*>(AText.data())),
                   ULONG(AText.size()), digest.data(), ULONG(digest.size()));
  if (status < 0) throw TError("SHA-256 failed (BCrypt status " + std::to_string(unsigned(status)) + ")");
  return digest;
}

}  // namespace tlm
