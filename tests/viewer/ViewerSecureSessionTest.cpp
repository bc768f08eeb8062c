// The viewer's end of the end-to-end handshake, against a scripted relay-and-host peer that
// runs the host's half of the handshake itself: first contact, a pinned key, a changed key, a
// partner without the handshake, a wrong password, and clear traffic injected once sealed.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>

#include "protocol/Credentials.h"
#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "protocol/SecureHandshake.h"
#include "protocol/SecureStore.h"
#include "tests/support/Loopback.h"
#include "tests/support/PacketWrites.h"
#include "tests/support/TempFiles.h"
#include "viewer/ViewerSession.h"

namespace tlm {
namespace {

using Clock = std::chrono::steady_clock;
const std::string HostId = "123456789";

class ViewerSecureSessionTest : public ::testing::Test {
public:
  void TearDown() override {
    if (Session) Session->Stop();
  }

  // A session that offers the handshake, its connect request read.
  void Open(const std::string& APassword = "", bool ARequire = false) {
    TViewerParams p;
    p.Server = "127.0.0.1";
    p.Port = Listener.Port();
    p.TargetID = HostId;
    p.MyName = "Tester";
    p.Proof = "static proof";  // never sent once the handshake is offered
    p.DownloadDir = Home.Sub("Downloads");
    p.Security.Offer = true;
    p.Security.PasswordHash = APassword.empty() ? "" : HashPassword(APassword);
    p.Security.Pins = Pins;
    p.Security.RequireEncryption = ARequire;
    Session = std::make_unique<TViewerSession>(Ui, std::move(p));
    Session->OnStatus = [this](const std::string& t) { Statuses.push_back(t); };
    Session->OnChat = [this](const std::string& t) { Chats.push_back(t); };
    Session->OnEnded = [this](const std::string& t) { Ended.push_back(t); };
    Session->OnRelayError = [this](const std::string& t) { Refusals.push_back(t); };
    Session->OnSecured = [this](const TViewerSecureInfo& i) { Secured = i; };
    Session->OnPlainConnection = [this] { PlainShown = true; };
    Session->OnKeyChanged = [this](const std::string& o, const std::string& n) { Changed = {o, n}; };
    Session->Start();
    Peer = Listener.Accept();
    Peer->SetReadTimeout(10000);
    const TPacket request = Read();
    ASSERT_EQ(request.Type, MsgConnectRequest);
    EXPECT_EQ(TextOf(request.Payload), HostId + "\tTester\t#e2e1\tcontrol");
    Send(MsgSessionStart);
  }

  TPacket Read(int ATimeoutMs = 10000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ATimeoutMs);
    while (Clock::now() < deadline) {
      Ui.RunPending();
      if (Peer->WaitReadable(10)) return ReadPacket(*Peer);
    }
    ADD_FAILURE() << "nothing from the viewer";
    return {};
  }
  void Send(uint32_t AType, const TBytes& APayload = {}) { WritePacket(*Peer, AType, APayload, nullptr); }
  bool WaitFor(const std::function<bool()>& APred, int AMs = 5000) { return Ui.RunUntil(APred, AMs); }
  // The viewer let go of the connection.
  bool PeerSeesClose() {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
      Ui.RunPending();
      if (!Peer->WaitReadable(10)) continue;
      try {
        ReadPacket(*Peer);
      } catch (const TConnectionError&) {
        return true;
      }
    }
    return false;
  }

  // The host's half up to its reply; the viewer's confirmation read, unless it aborted.
  TPacket HelloAndReply(THostHandshake& AHost) {
    const TPacket hello = Read();
    EXPECT_EQ(hello.Type, MsgSecureHello);
    Send(MsgSecureReply, AHost.OnHello(hello.Payload));
    return Read();
  }

  test::TTempHome Home;
  std::shared_ptr<TPinFile> Pins = std::make_shared<TPinFile>(Home.Sub(PinFileName));
  TQueueDispatcher Ui;
  test::TLoopbackListener Listener;
  std::unique_ptr<TTcpConnection> Peer;
  std::unique_ptr<TViewerSession> Session;
  std::vector<std::string> Statuses, Chats, Ended, Refusals;
  std::optional<TViewerSecureInfo> Secured;
  std::optional<std::pair<std::string, std::string>> Changed;
  bool PlainShown = false;
};

TEST_F(ViewerSecureSessionTest, TheHostsKeyIsPinnedOnFirstContactAndAChangedOneRefused) {
  const TIdentityKey first = TIdentityKey::Generate(), other = TIdentityKey::Generate();
  struct TCase {
    const char* Name;
    std::optional<TPublicKey> Pinned;
    bool Refused;
  } cases[] = {
      {"first contact", std::nullopt, false},
      {"the pinned key", first.PublicKey(), false},
      {"a key other than the pinned one", other.PublicKey(), true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Pins = std::make_shared<TPinFile>(Home.Sub(std::string(c.Name) + ".pins"));
    if (c.Pinned) Pins->Save(HostId, *c.Pinned);
    Ended.clear();
    Secured.reset();
    Changed.reset();
    Open();
    THostHandshake host(first, HostId, "");
    const TPacket answer = HelloAndReply(host);
    if (c.Refused) {
      EXPECT_EQ(answer.Type, MsgSecureAbort);
      EXPECT_EQ(ParseAbort(answer.Payload), TAbortReason::KeyChanged);
      ASSERT_TRUE(WaitFor([&] { return !Ended.empty() && Changed; }));
      EXPECT_EQ(Changed->first, SecurityCode(other.PublicKey()));
      EXPECT_EQ(Changed->second, SecurityCode(first.PublicKey()));
      EXPECT_NE(Ended[0].find("상대방의 보안 코드가 바뀌었습니다"), std::string::npos);
      EXPECT_NE(Ended[0].find(Changed->first), std::string::npos);
      EXPECT_NE(Ended[0].find(Changed->second), std::string::npos);
      EXPECT_EQ(Session->State(), TViewerSession::EState::Failed);
      EXPECT_TRUE(PeerSeesClose());
      // The user confirms the new code: it replaces the pin, once.
      EXPECT_TRUE(Session->TrustChangedKey());
      EXPECT_FALSE(Session->TrustChangedKey());
      EXPECT_EQ(Pins->Find(HostId), first.PublicKey());
    } else {
      ASSERT_EQ(answer.Type, MsgSecureConfirm);
      host.OnConfirm(answer.Payload);
      // Consent: the viewer shows the code the host's user sees, before admission.
      ASSERT_TRUE(WaitFor([&] { return Secured.has_value(); }));
      EXPECT_EQ(Secured->SessionCode, host.SessionCode());
      EXPECT_EQ(Secured->SecurityCode, SecurityCode(first.PublicKey()));
      EXPECT_EQ(Secured->FirstContact, !c.Pinned);
      EXPECT_FALSE(Session->InSession());
      Send(MsgSealed, host.Admit());
      TSecureChannel channel = host.TakeChannel();
      const TPacket quality = Read();
      ASSERT_EQ(quality.Type, MsgSealed);
      EXPECT_EQ(channel.In.Open(quality.Payload).Type, MsgQuality);
      EXPECT_TRUE(Session->Encrypted());
      EXPECT_EQ(Pins->Find(HostId), first.PublicKey());
      Send(MsgSealed, channel.Out.Seal(MsgChat, BytesOf("봉인된 대화")));
      EXPECT_TRUE(WaitFor([&] { return Chats.size() == 1; }));
      EXPECT_EQ(Chats[0], "봉인된 대화");
      Chats.clear();
      EXPECT_TRUE(Session->SendChat("답장"));
      const TPacket reply = Read();
      ASSERT_EQ(reply.Type, MsgSealed);
      EXPECT_EQ(channel.In.Open(reply.Payload).Payload, BytesOf("답장"));
      // Once sealed, a message in clear is someone else's: the session ends.
      Send(MsgChat, BytesOf("injected"));
      EXPECT_TRUE(PeerSeesClose());
      EXPECT_TRUE(Chats.empty());
    }
    Session->Stop();
    Session.reset();
  }
}

TEST_F(ViewerSecureSessionTest, APartnerWithoutTheHandshakeRunsPlainOnlyWhereAllowed) {
  struct TCase {
    const char* Name;
    bool Require;
    bool SeenEncrypted;
    bool Allowed;
  } cases[] = {
      {"first contact, encryption not required", false, false, true},
      {"RequireEncryption=1", true, false, false},
      {"a partner once seen encrypted", false, true, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Pins = std::make_shared<TPinFile>(Home.Sub(std::string(c.Name) + ".pins"));
    if (c.SeenEncrypted) Pins->Save(HostId, TIdentityKey::Generate().PublicKey());
    Ended.clear();
    PlainShown = false;
    Open("pw", c.Require);
    EXPECT_EQ(Read().Type, MsgSecureHello);
    // A host built to the plain wire drops the hello and sends its monitor list in clear.
    Send(MsgMonitorList, BytesOf("0\t1\t0\t0\t1920\t1080\r\n"));
    if (c.Allowed) {
      const TPacket quality = Read();
      EXPECT_EQ(quality.Type, MsgQuality);  // in clear: the partner could not open anything else
      ASSERT_TRUE(WaitFor([&] { return PlainShown && Session->InSession(); }));
      EXPECT_TRUE(Session->PlainPartner());
      EXPECT_FALSE(Session->Encrypted());
      EXPECT_FALSE(Pins->Find(HostId)) << "a plain partner is not pinned";
    } else {
      ASSERT_TRUE(WaitFor([&] { return !Ended.empty(); }));
      EXPECT_FALSE(PlainShown);
      EXPECT_EQ(Session->State(), TViewerSession::EState::Failed);
      EXPECT_TRUE(PeerSeesClose());
    }
    Session->Stop();
    Session.reset();
  }
}

TEST_F(ViewerSecureSessionTest, AWrongPasswordEndsTheSessionWithItsOwnWords) {
  const TIdentityKey key = TIdentityKey::Generate();
  Open("wrong");
  THostHandshake host(key, HostId, HashPassword("right"));
  const TPacket confirm = HelloAndReply(host);
  ASSERT_EQ(confirm.Type, MsgSecureConfirm);
  EXPECT_THROW(host.OnConfirm(confirm.Payload), TSecureError);
  Send(MsgSecureAbort, BuildAbort(TAbortReason::WrongPassword));
  // The host's refusal, told as a relay's refusal is: once, in a box, final.
  ASSERT_TRUE(WaitFor([&] { return !Refusals.empty() && Session->State() == TViewerSession::EState::Failed; }));
  EXPECT_EQ(Refusals, std::vector<std::string>{"비밀번호가 맞지 않습니다"});
  EXPECT_TRUE(Ended.empty());
  EXPECT_FALSE(Pins->Find(HostId)) << "nothing pinned from a session that never came about";
  EXPECT_TRUE(PeerSeesClose());
}

TEST_F(ViewerSecureSessionTest, NothingOfTheSessionLeavesBeforeTheHandshakeHasKeys) {
  Open();
  EXPECT_EQ(Read().Type, MsgSecureHello);
  EXPECT_FALSE(Session->SendChat("too early"));
  EXPECT_FALSE(Session->SendClipboard("too early"));
  Ui.RunPending();
  EXPECT_FALSE(Session->InSession());
  EXPECT_FALSE(Peer->WaitReadable(200));
}

}  // namespace
}  // namespace tlm
