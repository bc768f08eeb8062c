#include "relay/RelayRoutes.h"

#include "protocol/Messages.h"

namespace tlm {

bool SessionCodeAllowed(bool AFromHost, uint32_t AType) {
  // What the receiving side's program handles from its partner; MsgFileReady goes back to
  // whichever side sends a file.
  switch (AType) {
    case MsgClipboard:
    case MsgChat:
    case MsgFileBegin:
    case MsgFileChunk:
    case MsgFileEnd:
    case MsgFileReady:
    case MsgSecureAbort:
    case MsgSealed:
      return true;
    case MsgSecureReply:
    case MsgSecureSecondShare:
    case MsgFrame:
    case MsgMonitorList:
    case MsgFileError:
    case MsgDirListing:
      return AFromHost;
    case MsgSecureHello:
    case MsgSecureConfirm:
    case MsgFrameAck:
    case MsgKeyframeRequest:
    case MsgQuality:
    case MsgSelectMonitor:
    case MsgMouse:
    case MsgKey:
    case MsgFileGet:
    case MsgFileCancel:
    case MsgListDir:
      return !AFromHost;
    default:
      return false;
  }
}

TRouteKind RouteFor(const TSender& AFrom, uint32_t AType) {
  if (AFrom.Closing) return TRouteKind::Drop;
  switch (AFrom.Kind) {
    case TSenderKind::Registering:
      return TRouteKind::Drop;
    case TSenderKind::NodeLink:
      // The host's node has applied its rules already: all it sends is for the viewer.
      return AFrom.HasPartner ? TRouteKind::Forward : TRouteKind::Drop;
    case TSenderKind::LinkedViewer:
      // A new request is this node's to handle; the rest goes to the host's node, which drops
      // what its rules do not allow (keep-alives tell it that the viewer is still there).
      if (AType == MsgConnectRequest) return TRouteKind::Consume;
      if (AFrom.HasPartner && (AType == MsgKeepAlive || SessionCodeAllowed(false, AType))) return TRouteKind::Forward;
      return TRouteKind::Drop;
    default:
      break;
  }
  const bool host = AFrom.Kind == TSenderKind::Host;
  const bool viewer = AFrom.Kind == TSenderKind::Viewer;
  switch (AType) {
    case MsgHostRegister:
      // A link from another node carries a viewer, never a host.
      return !viewer && !AFrom.FromNode ? TRouteKind::Consume : TRouteKind::Drop;
    case MsgConnectRequest:
      return AFrom.Kind == TSenderKind::Newcomer || (viewer && AFrom.MayRequest) ? TRouteKind::Consume
                                                                                  : TRouteKind::Drop;
    case MsgAdmitAccept:
    case MsgAdmitReject:
      return host && AFrom.OwesAnswer ? TRouteKind::Consume : TRouteKind::Drop;
    default:
      break;
  }
  if (!IsSessionMsg(AType) || !(host || viewer) || !AFrom.HasPartner || !SessionCodeAllowed(host, AType))
    return TRouteKind::Drop;
  return TRouteKind::Forward;
}

}  // namespace tlm
