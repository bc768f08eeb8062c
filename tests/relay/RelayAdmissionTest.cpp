#include <gtest/gtest.h>

#include "relay/RelayHub.h"
#include "tests/relay/RelayFixture.h"

namespace tlm::test {
namespace {

class RelayAdmission : public TRelayFixture {
protected:
  void SetUp() override { StartRelay(); }
};

TEST_F(RelayAdmission, AcceptStartsTheSessionOnBothSides) {
  auto host = Peer();
  const std::string id = host->Register("k");
  auto viewer = Peer();
  viewer->RequestConnect(id, "김철수", "abcdef0123");
  EXPECT_EQ(host->ExpectText(MsgAdmitRequest), "127.0.0.1\t김철수\tabcdef0123");
  host->Send(MsgAdmitAccept);
  host->Expect(MsgSessionStart);
  viewer->Expect(MsgSessionStart);
  EXPECT_EQ(FRelay->Stats().Sessions, 1u);
  EXPECT_TRUE(WaitUntil([&] { return LogContains("admission accepted"); }));
}

TEST_F(RelayAdmission, IdTypedWithBlanksOrDashesReachesTheHost) {
  auto host = Peer();
  const std::string id = host->Register("k");
  auto viewer = Peer();
  viewer->RequestConnect(id.substr(0, 3) + " " + id.substr(3, 3) + "-" + id.substr(6));
  host->Expect(MsgAdmitRequest);
}

TEST_F(RelayAdmission, RejectSendsTheHostsReasonAndTheHostCanBeAskedAgain) {
  auto host = Peer();
  const std::string id = host->Register("k");
  {
    auto viewer = Peer();
    viewer->RequestConnect(id);
    host->Expect(MsgAdmitRequest);
    host->SendText(MsgAdmitReject, AdmitRejectReason);
    EXPECT_EQ(viewer->ExpectText(MsgRelayError), AdmitRejectReason);
    EXPECT_TRUE(viewer->WaitClosed());
  }
  auto viewer = Peer();
  viewer->RequestConnect(id);
  host->Expect(MsgAdmitRequest);
  host->Send(MsgAdmitAccept);
  viewer->Expect(MsgSessionStart);
}

TEST_F(RelayAdmission, RejectWithoutReasonStillGivesAReadableText) {
  auto host = Peer();
  const std::string id = host->Register("k");
  auto viewer = Peer();
  viewer->RequestConnect(id);
  host->Expect(MsgAdmitRequest);
  host->Send(MsgAdmitReject);
  EXPECT_EQ(viewer->ExpectText(MsgRelayError), AdmitRejectReason);
}

TEST_F(RelayAdmission, HostLeavingBeforeItAnswersRefusesTheViewer) {
  auto host = Peer();
  const std::string id = host->Register("k");
  auto viewer = Peer();
  viewer->RequestConnect(id);
  host->Expect(MsgAdmitRequest);
  host.reset();
  EXPECT_EQ(viewer->ExpectText(MsgRelayError), relaytext::HostLeft);
  EXPECT_TRUE(viewer->WaitClosed());
}

TEST_F(RelayAdmission, BusyHostRefusesFurtherViewersWhilePendingAndInSession) {
  auto host = Peer();
  const std::string id = host->Register("k");
  auto first = Peer();
  first->RequestConnect(id);
  host->Expect(MsgAdmitRequest);

  auto whilePending = Peer();
  whilePending->RequestConnect(id);
  EXPECT_EQ(whilePending->ExpectText(MsgRelayError), relaytext::Busy);
  EXPECT_TRUE(whilePending->WaitClosed());

  host->Send(MsgAdmitAccept);
  first->Expect(MsgSessionStart);
  host->Expect(MsgSessionStart);

  auto inSession = Peer();
  inSession->RequestConnect(id);
  EXPECT_EQ(inSession->ExpectText(MsgRelayError), relaytext::Busy);
  // The host heard of neither refused viewer.
  EXPECT_TRUE(host->QuietFor(200));
}

TEST_F(RelayAdmission, UnservableRequestsGetAReadableErrorAndAClose) {
  auto host = Peer();
  const std::string id = host->Register("k");
  struct TCase {
    std::string Payload;
    std::string_view Error;
  };
  const TCase cases[] = {
      {"123456789\tv\t\tcontrol", relaytext::Offline},
      {"\tv\t\tcontrol", relaytext::Offline},
      {id + "0\tv\t\tcontrol", relaytext::Offline},  // ten digits
      {"", relaytext::Malformed},
      {id, relaytext::Malformed},
      {id + "\tv\t\tview", relaytext::Malformed},
      {id + "\tv\t\tcontrol\textra", relaytext::Malformed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Payload);
    auto viewer = Peer();
    viewer->SendText(MsgConnectRequest, c.Payload);
    EXPECT_EQ(viewer->ExpectText(MsgRelayError), c.Error);
    EXPECT_TRUE(viewer->WaitClosed());
  }
  EXPECT_TRUE(host->QuietFor(200));
}

TEST_F(RelayAdmission, ControlCharactersInNameAndProofDoNotReachTheHostAsFieldBreaks) {
  auto host = Peer();
  const std::string id = host->Register("k");
  auto viewer = Peer();
  viewer->SendText(MsgConnectRequest, id + "\tbad\r\nname\tpro\x01of\tcontrol");
  EXPECT_EQ(host->ExpectText(MsgAdmitRequest), "127.0.0.1\tbad  name\tpro of");
}

TEST_F(RelayAdmission, ViewerCanAskAgainOnItsConnectionAfterASessionEnded) {
  auto host = Peer();
  const std::string id = host->Register("k");
  auto viewer = Peer();
  viewer->RequestConnect(id);
  host->Expect(MsgAdmitRequest);
  host->Send(MsgAdmitAccept);
  viewer->Expect(MsgSessionStart);
  host.reset();
  viewer->Expect(MsgSessionEnd);

  auto newHost = Peer();
  const std::string newId = newHost->Register("k2");
  viewer->RequestConnect(newId);
  newHost->Expect(MsgAdmitRequest);
  newHost->Send(MsgAdmitAccept);
  viewer->Expect(MsgSessionStart);
}

class RelayAdmissionTimeout : public TRelayFixture {};

TEST_F(RelayAdmissionTimeout, ViewerGivesUpTheHostIsToldAndANewRequestWaitsForItsAnswer) {
  auto options = TestOptions();
  options.AdmissionTimeout = std::chrono::milliseconds(300);
  StartRelay(options);
  auto host = Peer();
  const std::string id = host->Register("k");
  auto viewer = Peer();
  viewer->RequestConnect(id);
  host->Expect(MsgAdmitRequest);
  EXPECT_EQ(viewer->ExpectText(MsgRelayError), relaytext::NoAnswer);
  EXPECT_TRUE(viewer->WaitClosed());
  // The host stays connected and learns that nobody waits for its answer any more.
  host->Expect(MsgAdmitWithdrawn);

  // A new viewer is not refused: its request waits until the owed answer has come.
  auto next = Peer();
  next->RequestConnect(id, "next");
  EXPECT_TRUE(host->QuietFor(200));
  // That answer, even an accept, opens nothing for the viewer who gave up.
  host->Send(MsgAdmitAccept);
  EXPECT_EQ(host->ExpectText(MsgAdmitRequest), "127.0.0.1\tnext\t");
  host->Send(MsgAdmitAccept);
  host->Expect(MsgSessionStart);
  next->Expect(MsgSessionStart);
  EXPECT_EQ(FRelay->Stats().SessionsStarted, 1u);
}

class RelayLimits : public TRelayFixture {};

TEST_F(RelayLimits, ConnectionsPerAddressAreCappedWithAnAnswer) {
  auto options = TestOptions();
  options.MaxConnectionsPerIp = 3;
  StartRelay(options);
  std::vector<std::unique_ptr<TScriptedPeer>> kept;
  for (int i = 0; i < 3; ++i) kept.push_back(Peer());
  EXPECT_TRUE(WaitUntil([&] { return FRelay->Stats().Connections == 3; }));
  auto refused = Peer();
  EXPECT_EQ(refused->ExpectText(MsgRelayError), relaytext::TooManyConnections);
  EXPECT_TRUE(refused->WaitClosed());
  EXPECT_GE(FRelay->Stats().Refusals, 1u);
  // A slot freed is a slot usable again.
  kept.pop_back();
  EXPECT_TRUE(WaitUntil([&] { return FRelay->Stats().Connections == 2; }));
  auto host = Peer();
  EXPECT_FALSE(host->Register("k").empty());
}

TEST_F(RelayLimits, TotalConnectionsAreCapped) {
  auto options = TestOptions();
  options.MaxConnections = 2;
  StartRelay(options);
  auto a = Peer();
  auto b = Peer();
  EXPECT_TRUE(WaitUntil([&] { return FRelay->Stats().Connections == 2; }));
  auto refused = Peer();
  EXPECT_EQ(refused->ExpectText(MsgRelayError), relaytext::TooManyConnections);
}

TEST_F(RelayLimits, ConnectRequestsPerAddressAreRateLimited) {
  auto options = TestOptions();
  options.ConnectRequestsPerIpPerMinute = 3;
  StartRelay(options);
  for (int i = 0; i < 3; ++i) {
    auto viewer = Peer();
    viewer->RequestConnect("123456789");
    EXPECT_EQ(viewer->ExpectText(MsgRelayError), relaytext::Offline);
  }
  auto viewer = Peer();
  viewer->RequestConnect("123456789");
  EXPECT_EQ(viewer->ExpectText(MsgRelayError), relaytext::TooManyRequests);
  EXPECT_TRUE(viewer->WaitClosed());
}

}  // namespace
}  // namespace tlm::test
