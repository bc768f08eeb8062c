// What the hub knows about the peer on one connection: what it has become, and its partner.
//
// Contract: created and read by the hub only, on the network thread. The connection carries
// its record (so that a connection still reachable after it closed never finds it gone) but
// never looks inside. A peer is one of the roles below at a time: a host's fields cannot be
// filled in on a viewer, nor a viewer's on a host.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "protocol/Bytes.h"
#include "relay/RelayConnection.h"
#include "relay/RelayLimits.h"

namespace tlm {

// Nothing yet: it may register as a host or ask for one.
struct TNewcomer {};

// Cluster mode: its registration waits for the shared registry's answer, under the token it
// keeps once it is a host.
struct TRegisteringHost {
  uint64_t Token = 0;
};

struct THostPeer {
  std::string Id;
  std::string DeviceKey;
  // It has registered again on this connection and been answered once more.
  bool RegisteredAgain = false;
  // It owes the answer to an admission request; PendingViewer is the viewer that asked, empty
  // once that one has gone (the answer will be dropped).
  bool AdmissionPending = false;
  std::weak_ptr<TRelayConnection> PendingViewer;
  // A viewer whose request waits for that owed answer before it is passed on.
  std::weak_ptr<TRelayConnection> QueuedViewer;
  // Cluster mode: the token of its registration in the shared registry, when its presence
  // there was last renewed, and when the last renewal that the registry confirmed was asked
  // (the presence holds for PresenceTtl from then, unless another node takes the host over).
  uint64_t RegistrationToken = 0;
  TRelayClock::time_point PresenceRenewed{};
  TRelayClock::time_point PresenceConfirmed{};
};

// Linked: the viewer's request went over a link to the host's node, which decides from there.
enum class TViewerState { Idle, Pending, InSession, Ended, Linked };
// What has come back over a viewer's link so far.
enum class TLinkAnswer { None, SessionStarted, SessionEnded, Refused };

struct TViewerPeer {
  std::string Name;  // from its last request
  TViewerState State = TViewerState::Idle;
  // While pending: the host asked (empty while the host is looked up in the registry), and the
  // time the viewer gives up.
  std::weak_ptr<TRelayConnection> PendingHost;
  TRelayClock::time_point AdmissionDeadline{};
  // The admission request text for the host, kept while the request is queued.
  std::string AdmitRequestText;
  // Where its last request was counted in its host's request budget, so that a request the
  // host accepts can be given back (empty key: nothing to give back).
  TRelayLimits::THostCharge Charge;
  // Cluster mode: its connect request, kept while the host's node is looked up and dialled;
  // then what the host's node has answered over the link.
  TBytes LinkRequest;
  TLinkAnswer LinkAnswer = TLinkAnswer::None;
};

// A link this node opened to another node, carrying one viewer of ours (its partner) whose host
// that node holds.
struct TNodeLinkPeer {};

struct TRelayPeer {
  std::variant<TNewcomer, TRegisteringHost, THostPeer, TViewerPeer, TNodeLinkPeer> Role;
  // Host and viewer: the other side of the running session. A linked viewer and its link are
  // each other's partners.
  std::weak_ptr<TRelayConnection> Partner;
  // It came over a link from another node: a viewer of that node, never a host, never handed
  // on again.
  bool FromNode = false;
  // It counts against the connections of its address (a link between nodes does not: the
  // viewer's own node counted the viewer).
  bool CountsForAddress = true;

  THostPeer* Host() { return std::get_if<THostPeer>(&Role); }
  const THostPeer* Host() const { return std::get_if<THostPeer>(&Role); }
  TViewerPeer* Viewer() { return std::get_if<TViewerPeer>(&Role); }
  const TViewerPeer* Viewer() const { return std::get_if<TViewerPeer>(&Role); }
  bool IsLink() const { return std::holds_alternative<TNodeLinkPeer>(Role); }
  bool IsViewerIn(TViewerState AState) const {
    const TViewerPeer* viewer = Viewer();
    return viewer && viewer->State == AState;
  }
};

}  // namespace tlm
