// What a TLS handshake flood sends: the first flight of a TLS 1.3 client (as OpenSSL writes
// it), replayed on connections from a chosen loopback address. Header only: whoever includes
// it links libssl already (the relay does).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace tlm::test {

inline std::vector<uint8_t> CannedClientHello() {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL* ssl = SSL_new(ctx);
  SSL_set_bio(ssl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
  SSL_connect(ssl);  // writes the ClientHello, then wants the server's answer
  char* data = nullptr;
  const long len = BIO_get_mem_data(SSL_get_wbio(ssl), &data);
  std::vector<uint8_t> hello(data, data + std::max(len, 0L));
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  return hello;
}

// A blocking TCP connection from AFrom (a 127.x.y.z address) to 127.0.0.1:APort; -1 when it fails.
inline int ConnectFrom(const char* AFrom, uint16_t APort) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  ::inet_pton(AF_INET, AFrom, &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(APort);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
      ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace tlm::test
