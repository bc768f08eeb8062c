// The PROXY protocol header that a TCP load balancer (HAProxy's send-proxy / send-proxy-v2)
// puts in front of a client's bytes, so that the relay learns the client's real address.
//
// Read only from addresses the operator trusts (TRelayOptions::ProxyFrom): anyone else could
// claim any address with it.
#pragma once

#include <asio.hpp>

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

namespace tlm {

// Version 1 is one text line of at most 107 bytes; version 2 a 16-byte head plus at most this
// much (larger ones are refused: we need only the addresses).
constexpr size_t MaxProxyV2Body = 1024;

enum class TProxyParse { NeedMore, Done, Malformed };

// Looks at the first bytes a client sent. Done: AHeaderLen is the header's whole length and
// AClientAddress the client's address as text (IPv4 dotted, IPv4-mapped IPv6 as IPv4, other
// IPv6 in its usual form), or empty for a header that names no client (v1 "UNKNOWN", v2
// LOCAL, other address families): the connection's own address stands then. NeedMore: a
// header may be there but is not complete yet. Malformed: not a valid header.
TProxyParse ParseProxyHeader(std::span<const uint8_t> ABytes, size_t& AHeaderLen, std::string& AClientAddress);

// Reads the header at the start of ASocket, consuming exactly its bytes (what follows stays
// in the socket for the relay). True with AClientAddress set (maybe empty, as above); false with
// AWhy set when the header is malformed, the peer closes, or ATimeout passes. Runs on the
// socket's executor, which must be single-threaded (or a strand): the time-out closes the
// socket from a timer handler there.
asio::awaitable<bool> ReadProxyHeader(asio::ip::tcp::socket& ASocket, std::chrono::milliseconds ATimeout,
                                      std::string& AClientAddress, std::string& AWhy);

}  // namespace tlm
