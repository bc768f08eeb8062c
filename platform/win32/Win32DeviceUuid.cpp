#include <windows.h>
#include <rpc.h>

#include "platform/DeviceUuid.h"
#include "protocol/Error.h"

namespace tlm {

std::array<uint8_t, 16> NewRandomUuid() {
  UUID id{};
  const RPC_STATUS status = ::UuidCreate(&id);
  // RPC_S_UUID_LOCAL_ONLY still is a random UUID; only outright failure is one.
  if (status != RPC_S_OK && status != RPC_S_UUID_LOCAL_ONLY)
    throw TError("UuidCreate failed (" + std::to_string(long(status)) + ")");
  // The first three fields are numbers: printed high byte first, as the textual form does.
  std::array<uint8_t, 16> out{};
  out[0] = uint8_t(id.Data1 >> 24);
  out[1] = uint8_t(id.Data1 >> 16);
  out[2] = uint8_t(id.Data1 >> 8);
  out[3] = uint8_t(id.Data1);
  out[4] = uint8_t(id.Data2 >> 8);
  out[5] = uint8_t(id.Data2);
  out[6] = uint8_t(id.Data3 >> 8);
  out[7] = uint8_t(id.Data3);
  for (int i = 0; i < 8; ++i) out[size_t(8 + i)] = id.Data4[i];
  return out;
}

}  // namespace tlm
