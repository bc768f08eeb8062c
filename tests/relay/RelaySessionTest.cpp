#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "protocol/Credentials.h"
#include "protocol/SecureHandshake.h"
#include "relay/RelayHub.h"
#include "tests/relay/RelayFixture.h"
#include "tests/relay/SessionTraffic.h"

namespace tlm::test {
namespace {

class RelaySession : public TRelayFixture {
protected:
  void SetUp() override { StartRelay(); }
};

TEST_F(RelaySession, PassesSessionMessagesUnchangedAndInOrderBothWaysAtOnce) {
  auto pair = OpenSession();
  std::string hostToViewer, viewerToHost;
  std::thread down([&] { Stream(*pair.Host, *pair.Viewer, true, 400, hostToViewer); });
  std::thread up([&] { Stream(*pair.Viewer, *pair.Host, false, 400, viewerToHost); });
  down.join();
  up.join();
  EXPECT_EQ(hostToViewer, "");
  EXPECT_EQ(viewerToHost, "");
  EXPECT_GT(FRelay->Stats().BytesRelayed, 2u * 400 * 8);
}

TEST_F(RelaySession, EveryCodeEachSideMaySendPasses) {
  auto pair = OpenSession();
  // 23 to 27: the end-to-end handshake and sealed packets.
  const uint32_t fromHost[] = {17, 21, 24, 26, 27, 40, 41, 48, 49, 50, 51, 52, 57};
  const uint32_t fromViewer[] = {18, 19, 20, 22, 23, 25, 26, 27, 32, 33, 40, 41, 48, 49, 50, 51, 53, 56};
  for (uint32_t code : fromHost) {
    pair.Host->SendText(code, "h" + std::to_string(code));
    EXPECT_EQ(pair.Viewer->ExpectText(code), "h" + std::to_string(code));
  }
  for (uint32_t code : fromViewer) {
    pair.Viewer->SendText(code, "v" + std::to_string(code));
    EXPECT_EQ(pair.Host->ExpectText(code), "v" + std::to_string(code));
  }
}

TEST_F(RelaySession, CodesASideMayNotSendAreDroppedAndTheConnectionStays) {
  auto pair = OpenSession();
  // Host codes from the viewer, viewer codes from the host, unused codes, relay-only codes.
  const uint32_t notFromViewer[] = {MsgFrame, MsgMonitorList, MsgFileError, MsgDirListing, MsgSecureReply,
                                    MsgSecureAdmitted, 29, 42, 55,
                                    58,       MsgSessionStart, MsgSessionEnd, MsgAdmitAccept, MsgHostRegister,
                                    MsgRelayError, 0, 0xFFFFFFFFu};
  const uint32_t notFromHost[] = {MsgFrameAck, MsgQuality, MsgMouse, MsgKey, MsgFileGet, MsgListDir, MsgSecureHello,
                                  MsgSecureConfirm, MsgSecureAdmitted, 31,
                                  MsgConnectRequest, MsgSessionStart, MsgRelayError, 1000};
  for (uint32_t code : notFromViewer) pair.Viewer->SendText(code, "x");
  for (uint32_t code : notFromHost) pair.Host->SendText(code, "x");
  // Markers sent afterwards are the first thing each side sees.
  pair.Viewer->SendText(MsgChat, "viewer marker");
  pair.Host->SendText(MsgChat, "host marker");
  EXPECT_EQ(pair.Host->ExpectText(MsgChat), "viewer marker");
  EXPECT_EQ(pair.Viewer->ExpectText(MsgChat), "host marker");
}

TEST_F(RelaySession, CarriesTheEndToEndHandshakeAndSealedTrafficUnchanged) {
  auto host = Peer();
  const std::string id = host->Register("device-key");
  auto viewer = Peer();
  viewer->RequestConnect(id, "viewer", SecureOfferMarker);
  EXPECT_EQ(FieldAt(SplitTabs(host->ExpectText(MsgAdmitRequest)), 2), SecureOfferMarker);
  host->Send(MsgAdmitAccept);
  host->Expect(MsgSessionStart);
  viewer->Expect(MsgSessionStart);

  const std::string hash = HashPassword("s3cret");
  THostHandshake hostSide(TIdentityKey::Generate(), id, hash);
  TViewerHandshake viewerSide(id, "", "viewer", hash);
  viewer->Send(MsgSecureHello, viewerSide.Start());
  host->Send(MsgSecureReply, hostSide.OnHello(host->Expect(MsgSecureHello).Payload));
  viewer->Send(MsgSecureConfirm, viewerSide.OnReply(viewer->Expect(MsgSecureReply).Payload));
  hostSide.OnConfirm(host->Expect(MsgSecureConfirm).Payload);
  host->Send(MsgSealed, hostSide.Admit());
  viewerSide.OnSealed(viewer->Expect(MsgSealed).Payload);
  ASSERT_EQ(viewerSide.State(), TViewerHandshake::TState::Established);

  TSecureChannel atHost = hostSide.TakeChannel(), atViewer = viewerSide.TakeChannel();
  const std::string line = "a chat line the relay must not read";
  host->Send(MsgSealed, atHost.Out.Seal(MsgChat, BytesOf(line)));
  const TPacket sealed = viewer->Expect(MsgSealed);
  EXPECT_EQ(std::search(sealed.Payload.begin(), sealed.Payload.end(), line.begin(), line.end()), sealed.Payload.end());
  const TOpenedMessage chat = atViewer.In.Open(sealed.Payload);
  EXPECT_EQ(chat.Type, MsgChat);
  EXPECT_EQ(TextOf(chat.Payload), line);
  viewer->Send(MsgSealed, atViewer.Out.Seal(MsgKey, TBytes(6, 1)));
  EXPECT_EQ(atHost.In.Open(host->Expect(MsgSealed).Payload).Type, MsgKey);
}

TEST_F(RelaySession, NothingCrossesOutsideASession) {
  auto host = Peer();
  const std::string id = host->Register("k");
  // Before any request.
  host->SendText(MsgChat, "too early");
  host->Send(MsgFrame, NumberedPayload(1, 100));
  auto viewer = Peer();
  // A viewer before it asked, and while the host has not answered yet.
  viewer->SendText(MsgChat, "before asking");
  viewer->RequestConnect(id);
  host->Expect(MsgAdmitRequest);
  viewer->SendText(MsgChat, "while pending");
  host->SendText(MsgChat, "while pending");
  host->Send(MsgAdmitAccept);
  host->Expect(MsgSessionStart);
  viewer->Expect(MsgSessionStart);
  host->SendText(MsgChat, "in session");
  viewer->SendText(MsgChat, "in session");
  EXPECT_EQ(viewer->ExpectText(MsgChat), "in session");
  EXPECT_EQ(host->ExpectText(MsgChat), "in session");

  // After the viewer left, the host's messages go nowhere, also not to the next viewer.
  viewer.reset();
  host->Expect(MsgSessionEnd);
  host->SendText(MsgChat, "after the end");
  auto next = Peer();
  next->RequestConnect(id);
  host->Expect(MsgAdmitRequest);
  host->Send(MsgAdmitAccept);
  next->Expect(MsgSessionStart);
  host->SendText(MsgChat, "second session");
  EXPECT_EQ(next->ExpectText(MsgChat), "second session");
}

TEST_F(RelaySession, ViewerLeavingEndsTheSessionAndTheHostStaysRegistered) {
  auto pair = OpenSession();
  pair.Viewer.reset();
  pair.Host->Expect(MsgSessionEnd);
  EXPECT_TRUE(WaitUntil([&] { return FRelay->Stats().Sessions == 0; }));
  EXPECT_EQ(FRelay->Stats().Hosts, 1u);
  EXPECT_TRUE(WaitUntil([&] { return LogContains("session ended"); }));

  auto viewer = Peer();
  viewer->RequestConnect(pair.Id);
  pair.Host->Expect(MsgAdmitRequest);
  pair.Host->Send(MsgAdmitAccept);
  viewer->Expect(MsgSessionStart);
}

TEST_F(RelaySession, HostLeavingEndsTheSessionAndTheViewerIsKeptOpen) {
  auto pair = OpenSession();
  pair.Host.reset();
  pair.Viewer->Expect(MsgSessionEnd);
  // The viewer keeps its "partner ended" state rather than seeing its connection drop.
  EXPECT_TRUE(pair.Viewer->QuietFor(500));
  // Its late session messages go nowhere and do not disturb the relay.
  pair.Viewer->Send(MsgMouse, NumberedPayload(0, 12));
  EXPECT_TRUE(pair.Viewer->QuietFor(200));
  EXPECT_EQ(FRelay->Stats().Hosts, 0u);
}

class RelayForwardingModes : public TRelayFixture {};

TEST_F(RelayForwardingModes, CopyingAndSplicingBothKeepEveryByteInOrder) {
  for (bool splice : {false, true}) {
    SCOPED_TRACE(splice ? "spliced" : "copied");
    auto options = TestOptions();
    options.SpliceLargePayloads = splice;
    StartRelay(options);
    auto pair = OpenSession();
    std::string hostToViewer, viewerToHost;
    std::thread down([&] { Stream(*pair.Host, *pair.Viewer, true, 300, hostToViewer); });
    std::thread up([&] { Stream(*pair.Viewer, *pair.Host, false, 300, viewerToHost); });
    down.join();
    up.join();
    EXPECT_EQ(hostToViewer, "");
    EXPECT_EQ(viewerToHost, "");
    FRelay->Stop();
    FRelay.reset();
  }
}

class RelayKeepAlive : public TRelayFixture {};

TEST_F(RelayKeepAlive, QuietViewersGetKeepAlivesAndHostsDoNot) {
  auto options = TestOptions();
  options.ViewerKeepAlive = std::chrono::milliseconds(100);
  StartRelay(options);
  auto host = Peer();
  const std::string id = host->Register("k");
  auto viewer = Peer();
  viewer->RequestConnect(id);
  host->Expect(MsgAdmitRequest);
  // While the host's user decides.
  for (int i = 0; i < 2; ++i) {
    auto packet = viewer->Next(5000, true);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->Type, MsgKeepAlive);
    EXPECT_TRUE(packet->Payload.empty());
  }
  host->Send(MsgAdmitAccept);
  host->Expect(MsgSessionStart);
  viewer->Expect(MsgSessionStart);
  // In a session with a still picture.
  for (int i = 0; i < 2; ++i) {
    auto packet = viewer->Next(5000, true);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->Type, MsgKeepAlive);
  }
  auto toHost = host->Next(400, true);
  EXPECT_FALSE(toHost.has_value()) << "host got type " << toHost->Type;
}

}  // namespace
}  // namespace tlm::test
