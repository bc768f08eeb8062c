#include "protocol/SecureAdmission.h"

#include "protocol/Messages.h"
#include "protocol/SecureHandshake.h"

namespace tlm {

THostAdmitPath HostAdmitPath(std::string_view AProofField, bool ARequireEncryption) {
  if (AProofField == SecureOfferMarker) return THostAdmitPath::Secure;
  return ARequireEncryption ? THostAdmitPath::Refuse : THostAdmitPath::Plain;
}

TViewerWaitingPacket ClassifyWhileAwaitingReply(uint32_t AType) {
  switch (AType) {
    case MsgSecureReply:
      return TViewerWaitingPacket::Reply;
    case MsgSecureSecondShare:
      return TViewerWaitingPacket::SecondShare;
    case MsgSecureAbort:
      return TViewerWaitingPacket::Abort;
    // What a host without the handshake sends in a session: its monitor list and frames at
    // once, chat, clipboard, files and listings later.
    case MsgFrame:
    case MsgMonitorList:
    case MsgClipboard:
    case MsgChat:
    case MsgFileBegin:
    case MsgFileChunk:
    case MsgFileEnd:
    case MsgFileReady:
    case MsgFileError:
    case MsgDirListing:
      return TViewerWaitingPacket::PlainTraffic;
    default:
      return TViewerWaitingPacket::Ignore;
  }
}

bool TPasswordGuessLimit::PasswordAllowed(TClock::time_point ANow) {
  Forget(ANow);
  return FFailures.size() < MaxFailures;
}

void TPasswordGuessLimit::NoteFailure(TClock::time_point ANow) {
  Forget(ANow);
  if (FFailures.size() == MaxFailures) FFailures.pop_front();
  FFailures.push_back(ANow);
}

void TPasswordGuessLimit::Forget(TClock::time_point ANow) {
  while (!FFailures.empty() && ANow - FFailures.front() >= Window) FFailures.pop_front();
}

}  // namespace tlm
