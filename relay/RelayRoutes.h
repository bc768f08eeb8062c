// Who may send what through the relay: the routing table, as pure policy.
//
// Contract: no state and no sockets. The hub describes the sender of a packet (TSender) and the
// table answers what becomes of a packet of that code: the hub reads it itself (Consume), it
// goes to the sender's partner (Forward), or it is read and dropped (Drop).
//
// In short: a newcomer may register as a host or ask for one; a host may register again and
// answer the one request it owes; a viewer may ask again once its last request is over. Session
// codes pass only between the partners of a running session, and only in the direction in which
// the receiver's program handles them. A viewer handed to another node sends everything but a
// new request on to that node (which applies these rules itself), and all that comes back over
// the link goes to the viewer.
#pragma once

#include <cstdint>

namespace tlm {

// Largest payload of a packet the hub reads itself (registration, request, rejection).
constexpr uint32_t MaxControlPayload = 16384;

enum class TRouteKind { Consume, Forward, Drop };

// What the sender has become so far.
enum class TSenderKind {
  Newcomer,      // nothing yet
  Registering,   // its registration waits for the shared registry: nothing else counts meanwhile
  Host,
  Viewer,        // its requests are served on this node
  LinkedViewer,  // its request went over a link to the node that holds its host
  NodeLink,      // a link this node opened to another node for one of its viewers
};

struct TSender {
  TSenderKind Kind = TSenderKind::Newcomer;
  bool Closing = false;
  // It came over a link from another node (a viewer of that node), so it is never a host.
  bool FromNode = false;
  // Viewer: no request of its own is running (none yet, or its session has ended).
  bool MayRequest = false;
  // Host: it owes the answer to an admission request.
  bool OwesAnswer = false;
  // A partner (session partner, or the link and its viewer) that is not closing.
  bool HasPartner = false;
};

TRouteKind RouteFor(const TSender& AFrom, uint32_t AType);

// True when a host may send code AType to its viewer (AFromHost) or a viewer to its host.
bool SessionCodeAllowed(bool AFromHost, uint32_t AType);

}  // namespace tlm
