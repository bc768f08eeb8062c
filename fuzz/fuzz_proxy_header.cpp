// The PROXY protocol header parser on arbitrary bytes: no crash, and every header it accepts is
// whole within the bytes given, accepted the same way on its own, incomplete one byte shorter,
// and names a client that is an address.
#include <asio.hpp>

#include <cstdlib>
#include <span>
#include <string>

#include "relay/ProxyHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  const std::span<const uint8_t> bytes(AData, ASize);
  size_t len = 0;
  std::string client;
  if (tlm::ParseProxyHeader(bytes, len, client) != tlm::TProxyParse::Done) return 0;
  if (len == 0 || len > ASize || len > 16 + tlm::MaxProxyV2Body) std::abort();

  size_t againLen = 0;
  std::string againClient;
  if (tlm::ParseProxyHeader(bytes.first(len), againLen, againClient) != tlm::TProxyParse::Done) std::abort();
  if (againLen != len || againClient != client) std::abort();
  if (tlm::ParseProxyHeader(bytes.first(len - 1), againLen, againClient) != tlm::TProxyParse::NeedMore) std::abort();

  if (!client.empty()) {
    asio::error_code error;
    const auto address = asio::ip::make_address(client, error);
    if (error || address.to_string() != client) std::abort();
  }
  return 0;
}
