#include <gtest/gtest.h>

#include <string>

#include "protocol/Messages.h"
#include "relay/RelayRoutes.h"

namespace tlm::test {
namespace {

TSender Sender(TSenderKind AKind) {
  TSender sender;
  sender.Kind = AKind;
  return sender;
}

TSender With(TSender ASender, bool TSender::*AFlag) {
  ASender.*AFlag = true;
  return ASender;
}

const TSender Newcomer = Sender(TSenderKind::Newcomer);
const TSender NewcomerFromNode = With(Newcomer, &TSender::FromNode);
const TSender Registering = Sender(TSenderKind::Registering);
const TSender Host = Sender(TSenderKind::Host);
const TSender HostOwing = With(Host, &TSender::OwesAnswer);
const TSender HostInSession = With(Host, &TSender::HasPartner);
const TSender Viewer = Sender(TSenderKind::Viewer);  // its request is running
const TSender ViewerFree = With(Viewer, &TSender::MayRequest);
const TSender ViewerInSession = With(Viewer, &TSender::HasPartner);
const TSender Linked = Sender(TSenderKind::LinkedViewer);  // its link has gone
const TSender LinkedWithLink = With(Linked, &TSender::HasPartner);
const TSender Link = Sender(TSenderKind::NodeLink);  // its viewer has gone
const TSender LinkWithViewer = With(Link, &TSender::HasPartner);
const TSender ClosingInSession = With(ViewerInSession, &TSender::Closing);

TEST(RelayRoutingTable, EachSenderMaySendOnlyWhatItsStateAllows) {
  using enum TRouteKind;
  struct TCase {
    std::string Name;
    TSender From;
    uint32_t Type;
    TRouteKind Expected;
  };
  const TCase cases[] = {
      {"a newcomer registers", Newcomer, MsgHostRegister, Consume},
      {"a newcomer asks for a host", Newcomer, MsgConnectRequest, Consume},
      {"a newcomer cannot answer a request", Newcomer, MsgAdmitAccept, Drop},
      {"a newcomer has no session", Newcomer, MsgChat, Drop},
      {"a viewer from another node never registers", NewcomerFromNode, MsgHostRegister, Drop},
      {"a viewer from another node asks", NewcomerFromNode, MsgConnectRequest, Consume},
      {"nothing counts while the registry is asked", Registering, MsgHostRegister, Drop},
      {"nor a request while registering", Registering, MsgConnectRequest, Drop},
      {"a host may register again", Host, MsgHostRegister, Consume},
      {"a host never asks for a host", Host, MsgConnectRequest, Drop},
      {"a host owing nothing cannot answer", Host, MsgAdmitAccept, Drop},
      {"a host answers the request it owes", HostOwing, MsgAdmitAccept, Consume},
      {"and may reject it", HostOwing, MsgAdmitReject, Consume},
      {"a host's picture goes to its viewer", HostInSession, MsgFrame, Forward},
      {"a host's file chunk goes to its viewer", HostInSession, MsgFileChunk, Forward},
      {"a host outside a session sends no picture", Host, MsgFrame, Drop},
      {"a host's mouse is not the viewer's to handle", HostInSession, MsgMouse, Drop},
      {"a host cannot start a handshake", HostInSession, MsgSecureHello, Drop},
      {"a host's second password share goes to its viewer", HostInSession, MsgSecureSecondShare, Forward},
      {"the sealed inner code never passes in plain", HostInSession, MsgSecureAdmitted, Drop},
      {"a host's keep-alive is not forwarded", HostInSession, MsgKeepAlive, Drop},
      {"the relay's own codes are not forwarded", HostInSession, MsgSessionStart, Drop},
      {"a viewer whose request runs cannot ask again", Viewer, MsgConnectRequest, Drop},
      {"a viewer whose request is over asks again", ViewerFree, MsgConnectRequest, Consume},
      {"a viewer never registers", ViewerFree, MsgHostRegister, Drop},
      {"a viewer cannot answer for a host", ViewerInSession, MsgAdmitAccept, Drop},
      {"a viewer cannot send a host's password share", ViewerInSession, MsgSecureSecondShare, Drop},
      {"a viewer's download cancel goes to its host", ViewerInSession, MsgFileCancel, Forward},
      {"a host cannot send a download cancel", HostInSession, MsgFileCancel, Drop},
      {"a viewer's mouse goes to its host", ViewerInSession, MsgMouse, Forward},
      {"a viewer's chat goes to its host", ViewerInSession, MsgChat, Forward},
      {"a viewer sends no picture", ViewerInSession, MsgFrame, Drop},
      {"a viewer outside a session sends nothing on", ViewerFree, MsgMouse, Drop},
      {"a linked viewer's new request is this node's", Linked, MsgConnectRequest, Consume},
      {"a linked viewer's keep-alive goes over its link", LinkedWithLink, MsgKeepAlive, Forward},
      {"a linked viewer's keys go over its link", LinkedWithLink, MsgKey, Forward},
      {"a linked viewer sends no picture", LinkedWithLink, MsgFrame, Drop},
      {"a linked viewer never registers", LinkedWithLink, MsgHostRegister, Drop},
      {"nothing goes over a link that has gone", Linked, MsgKey, Drop},
      {"all a link sends goes to its viewer", LinkWithViewer, MsgRelayError, Forward},
      {"even the relay's own codes from the host's node", LinkWithViewer, MsgSessionStart, Forward},
      {"a link whose viewer has gone sends nothing on", Link, MsgFrame, Drop},
      {"a closing connection sends nothing at all", ClosingInSession, MsgMouse, Drop},
      {"nor asks", With(ViewerFree, &TSender::Closing), MsgConnectRequest, Drop},
  };
  for (const TCase& c : cases) EXPECT_EQ(RouteFor(c.From, c.Type), c.Expected) << c.Name;
}

}  // namespace
}  // namespace tlm::test
