// Links between the nodes of a relay cluster.
//
// A viewer that reaches a node which does not hold its host is handed to the node that does,
// over a TCP link of its own: the dialling node proves that it knows the cluster's secret and
// names the viewer's address, then passes the viewer's packets unchanged both ways. The
// accepting node treats the link as that viewer's connection, so every limit and every rule of
// a local session applies there, and TCP's own flow control on the link carries the
// backpressure of that one session.
//
// Handshake (lengths little-endian):
//   accepting -> dialling:  "TLMLINK1" + 32 random bytes (challenge A)
//   dialling  -> accepting: 32 random bytes (challenge D) + u16 length + viewer address
//                           + HMAC-SHA256(secret, "dial" | A | D | u16 length | address)
//   accepting -> dialling:  HMAC-SHA256(secret, "accept" | A | D | u16 length | address)
// A side that finds a wrong proof, a malformed message or an address that is empty, longer than
// MaxLinkAddressBytes or not printable ASCII without spaces closes the socket; so does either
// side when the handshake is not done within its time-out. Each side reads exactly the
// handshake's bytes: after it the socket carries relay packets.
//
// The functions run on the socket's executor, which must be single-threaded (or a strand): the
// time-out closes the socket from a timer handler on that executor.
#pragma once

#include <asio.hpp>

#include <chrono>
#include <string>

namespace tlm {

constexpr size_t MaxLinkAddressBytes = 128;
// A shared secret shorter than this is refused when the relay starts.
constexpr size_t MinClusterSecretBytes = 16;

// Connects ASocket (not yet open) to AAddress ("HOST:PORT", HOST a name or an IPv4/IPv6
// address, IPv6 in brackets) and runs the dialling side of the handshake for a viewer from
// AViewerAddress. False with AWhy set when the node cannot be reached, proves nothing or the
// time-out passes; the socket is then closed.
asio::awaitable<bool> DialNodeLink(asio::ip::tcp::socket& ASocket, const std::string& AAddress,
                                   const std::string& ASecret, const std::string& AViewerAddress,
                                   std::chrono::milliseconds ATimeout, std::string& AWhy);

// Runs the accepting side of the handshake on a socket just accepted. True with the viewer's
// address in AViewerAddress; false with AWhy set otherwise (the socket is then closed).
asio::awaitable<bool> AcceptNodeLink(asio::ip::tcp::socket& ASocket, const std::string& ASecret,
                                     std::chrono::milliseconds ATimeout, std::string& AViewerAddress,
                                     std::string& AWhy);

// Splits "HOST:PORT" (IPv6 hosts in brackets); false when it is not of that form or the port is
// above 65535. Port 0 passes (a listener on an ephemeral port); nobody can be dialled on it.
bool SplitHostPort(const std::string& AText, std::string& AHost, uint16_t& APort);

}  // namespace tlm
