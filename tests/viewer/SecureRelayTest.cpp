// The real viewer session and the real host agent through the real relay, with a tap between
// the viewer and the relay (what the relay and anyone who runs it sees): sealed sessions by
// password and by consent, a wrong password, a replayed handshake, and a host that requires
// encryption meeting a viewer built to the plain wire.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>

#include "host/HostAgent.h"
#include "protocol/Credentials.h"
#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "protocol/SecureHandshake.h"
#include "protocol/SecureStore.h"
#include "relay/RelayServer.h"
#include "tests/support/PacketWrites.h"
#include "tests/support/QuietRelay.h"
#include "tests/support/TcpProxy.h"
#include "tests/support/TempFiles.h"
#include "tests/viewer/TestJpeg.h"
#include "viewer/ViewerSession.h"

namespace tlm {
namespace {

namespace fs = std::filesystem;

// A 640 x 480 screen whose every capture is one real JPEG tile.
class TTileCapturer final : public IHostCapturer {
public:
  void RefreshMonitors() override {}
  void Reset() override {}
  int MonitorCount() const override { return 1; }
  THostMonitor GetMonitor(int) const override { return {{0, 0, 640, 480}, true}; }
  int MonitorIndex() const override { return 0; }
  void SelectMonitor(int) override {}
  void SetQuality(int) override {}
  bool Capture(bool, std::vector<TEncodedRect>& ARects, int& AScreenW, int& AScreenH) override {
    AScreenW = 640;
    AScreenH = 480;
    TEncodedRect rect;
    rect.Data = FTile;
    rect.Rect = {uint16_t(FNext++ % 40 * 16), 0, 16, 16, uint32_t(FTile.size())};
    ARects.push_back(std::move(rect));
    return true;
  }

private:
  const TBytes FTile = test::SolidRgbJpeg(16, 16, 40, 90, 160);
  int FNext = 0;
};

bool Contains(const std::string& AHay, const std::string& ANeedle) { return AHay.find(ANeedle) != std::string::npos; }

// The packets of one direction of a tape.
std::vector<TPacket> PacketsOf(const std::string& ATape) {
  std::vector<TPacket> packets;
  for (size_t at = 0; at + PacketHeaderSize <= ATape.size();) {
    const auto* p = reinterpret_cast<const uint8_t*>(ATape.data() + at);
    const uint32_t len = GetLE32(p + 4);
    if (at + PacketHeaderSize + len > ATape.size()) break;
    packets.push_back({GetLE32(p), TBytes(p + PacketHeaderSize, p + PacketHeaderSize + len)});
    at += PacketHeaderSize + len;
  }
  return packets;
}

class SecureRelayTest : public ::testing::Test {
protected:
  void SetUp() override {
    Relay = std::make_unique<TRelayServer>(test::QuietLoopbackRelay());
    RelayPort = Relay->Start();
    Tap = std::make_unique<test::TTcpProxy>(RelayPort);
  }
  void TearDown() override {
    if (Session) Session->Stop();
    Session.reset();
    Agent.reset();
    Tap.reset();
    Relay->Stop();
  }

  void StartHost(const std::string& APassword, bool ARequire = false) {
    THostServices services;
    services.MakeCapturer = [] { return std::make_unique<TTileCapturer>(); };
    services.DownloadDir = Home.Sub("HostDownloads");
    Agent = std::make_unique<THostAgent>(Ui, "127.0.0.1", RelayPort, "dev-key-secure",
                                         APassword.empty() ? "" : HashPassword(APassword), services);
    Agent->SetSecurity(Identity, ARequire);
    Agent->OnID = [this](const std::string& AId) {
      if (!AId.empty()) HostID = AId;
    };
    Agent->OnChat = [this](const std::string& AText) { HostChats.push_back(AText); };
    Agent->OnSessionSecurity = [this](const std::string& AText) { HostSecurity = AText; };
    Agent->OnOneTimePassword = [this](const std::string& AText) { OneTimePassword = AText; };
    Agent->OnConsent = [this](const TConsentQuestion& AQuestion) {
      Questions.push_back(AQuestion);
      Agent->AnswerConsent(AQuestion.Ticket, true);
    };
    Agent->Start();
    ASSERT_TRUE(Ui.RunUntil([&] { return !HostID.empty(); }, 10000));
  }

  // A viewer through the tap.
  void StartViewer(const std::string& APassword, bool AOffer = true) {
    TViewerParams p;
    p.Server = "127.0.0.1";
    p.Port = uint16_t(std::stoi(Tap->Address().substr(Tap->Address().find(':') + 1)));
    p.TargetID = HostID;
    p.MyName = "Tester";
    p.Proof = APassword.empty() ? "" : MakeSessionProof(HostID, HashPassword(APassword));
    p.DownloadDir = Home.Sub("Downloads");
    p.Security.Offer = AOffer;
    p.Security.PasswordHash = APassword.empty() ? "" : HashPassword(APassword);
    p.Security.Pins = Pins;
    Session = std::make_unique<TViewerSession>(Ui, std::move(p));
    Session->OnChat = [this](const std::string& t) { ViewerChats.push_back(t); };
    Session->OnClipboard = [this](const std::string& t) { ViewerClips.push_back(t); };
    Session->OnEnded = [this](const std::string& t) { Ended.push_back(t); };
    Session->OnRelayError = [this](const std::string& t) { RelayErrors.push_back(t); };
    Session->OnSecured = [this](const TViewerSecureInfo& i) { Secured = i; };
    Session->OnUploadDone = [this](const std::string& n, bool ok) { Uploads.push_back(n + (ok ? ":ok" : ":failed")); };
    Session->Start();
  }

  test::TTempHome Home;
  TQueueDispatcher Ui;
  std::unique_ptr<TRelayServer> Relay;
  uint16_t RelayPort = 0;
  std::unique_ptr<test::TTcpProxy> Tap;
  TIdentityKey Identity = TIdentityKey::Generate();
  std::shared_ptr<TPinFile> Pins = std::make_shared<TPinFile>(Home.Sub(PinFileName));
  std::unique_ptr<THostAgent> Agent;
  std::unique_ptr<TViewerSession> Session;
  std::string HostID, HostSecurity, OneTimePassword;
  std::vector<std::string> HostChats, ViewerChats, ViewerClips, Ended, RelayErrors, Uploads;
  std::vector<TConsentQuestion> Questions;
  std::optional<TViewerSecureInfo> Secured;
};

// The person helped reads out the one-time password on the phone; they set none of their own.
TEST_F(SecureRelayTest, TheOneTimePasswordAdmitsThroughTheHandshake) {
  StartHost("");
  ASSERT_TRUE(Ui.RunUntil([&] { return !OneTimePassword.empty(); }, 10000));
  StartViewer(OneTimePassword);
  ASSERT_TRUE(Ui.RunUntil([&] { return Session->InSession(); }, 10000)) << (Ended.empty() ? "" : Ended[0]);
  EXPECT_TRUE(Session->Encrypted());
  EXPECT_TRUE(Questions.empty()) << "admitted by the password, without asking";
}

TEST_F(SecureRelayTest, TheRelaySeesNoChatClipboardFileOrPicture) {
  struct TCase {
    const char* Name;
    std::string HostPassword, ViewerPassword;
    bool Consent;
  } cases[] = {
      {"password", "pw", "pw", false},
      {"consent", "", "", true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Tap->StartRecording();
    StartHost(c.HostPassword);
    StartViewer(c.ViewerPassword);
    ASSERT_TRUE(Ui.RunUntil([&] { return Session->InSession(); }, 10000)) << (Ended.empty() ? "" : Ended[0]);
    EXPECT_TRUE(Session->Encrypted());
    EXPECT_EQ(Pins->Find(HostID), Identity.PublicKey());
    ASSERT_TRUE(Secured);
    EXPECT_EQ(HostSecurity, "암호화됨 · 세션 코드 " + Secured->SessionCode);
    EXPECT_EQ(Secured->SecurityCode, SecurityCode(Identity.PublicKey()));
    if (c.Consent) {
      // The prompt names the viewer as it signed itself and shows the code its window shows.
      ASSERT_EQ(Questions.size(), 1u);
      EXPECT_EQ(Questions[0].ViewerName, "Tester");
      EXPECT_EQ(Questions[0].SessionCode, Secured->SessionCode);
    } else {
      EXPECT_TRUE(Questions.empty());
    }
    const std::string chat = "채팅 비밀 문장 chat-secret-4711", reply = "host-reply-secret-0815",
                      clip = "clipboard-secret-2342";
    std::string file(300000, '\0');
    for (size_t i = 0; i < file.size(); ++i) file[i] = char("file-bytes-secret-"[i % 18]);
    const fs::path upPath = Home.Sub("up.bin");
    std::ofstream(upPath, std::ios::binary) << file;
    ASSERT_TRUE(Session->SendChat(chat));
    ASSERT_TRUE(Ui.RunUntil([&] { return HostChats.size() == 1; }, 10000));
    EXPECT_EQ(HostChats[0], chat);
    ASSERT_TRUE(Agent->SendChat(reply));
    ASSERT_TRUE(Agent->PushClipboard(clip));
    Session->SendFile(upPath.string());
    ASSERT_TRUE(Ui.RunUntil([&] { return !ViewerChats.empty() && !ViewerClips.empty() && !Uploads.empty(); }, 20000));
    EXPECT_EQ(ViewerChats[0], reply);
    EXPECT_EQ(ViewerClips[0], clip);
    EXPECT_EQ(Uploads[0], "up.bin:ok");
    ASSERT_TRUE(Ui.RunUntil([&] { return Session->Screen().Width() == 640; }, 10000)) << "frames were drawn";
    // The upload has crossed the tap (the viewer reports it done once it is queued).
    ASSERT_TRUE(Ui.RunUntil([&] { return Tap->Recorded(true).size() > file.size(); }, 10000));

    const std::string tape = Tap->Recorded(true) + Tap->Recorded(false);
    for (const std::string& secret : {chat, reply, clip, std::string("file-bytes-secret-")})
      EXPECT_FALSE(Contains(tape, secret)) << secret;
    // A tile's start: the JPEG start marker with its JFIF header, 11 bytes that random sealed
    // bytes never hold by chance (the 3-byte marker alone turns up in a few MB of them).
    const std::string jpegStart("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00", 11);
    const TBytes tile = test::SolidRgbJpeg(16, 16, 40, 90, 160);
    ASSERT_EQ(std::string(tile.begin(), tile.begin() + 11), jpegStart) << "what a frame's tiles begin with";
    EXPECT_FALSE(Contains(tape, jpegStart)) << "a JPEG of a frame";
    // Nothing but the relay's own messages, the handshake and sealed packets crossed.
    for (const bool fromViewer : {true, false})
      for (const TPacket& packet : PacketsOf(Tap->Recorded(fromViewer)))
        EXPECT_TRUE(!IsSessionMsg(packet.Type) || packet.Type == MsgSealed ||
                    (packet.Type >= MsgSecureHello && packet.Type <= MsgSecureAbort))
            << packet.Type;

    Session->Stop();
    Session.reset();
    Agent.reset();
    HostID.clear();
    Questions.clear();
    HostChats.clear();
    ViewerChats.clear();
    ViewerClips.clear();
    Uploads.clear();
    Secured.reset();
    Pins = std::make_shared<TPinFile>(Home.Sub(std::string(c.Name) + ".pins"));
    Tap = std::make_unique<test::TTcpProxy>(RelayPort);
  }
}

// A wrong password ends that handshake (the two ends share no key). The viewer learns why and
// asks again without it; that question tells the host's user the password given was wrong, once.
TEST_F(SecureRelayTest, AWrongPasswordIsRefusedAndTheNextQuestionSaysSo) {
  StartHost("right");
  const std::string id = HostID;
  StartViewer("wrong");
  ASSERT_TRUE(Ui.RunUntil([&] { return !RelayErrors.empty(); }, 10000));
  EXPECT_EQ(RelayErrors[0], "비밀번호가 맞지 않습니다");
  EXPECT_TRUE(Session->PasswordRefused());
  EXPECT_FALSE(Session->InSession());
  EXPECT_TRUE(Questions.empty()) << "a wrong password does not fall through to the prompt by itself";
  EXPECT_FALSE(Pins->Find(id)) << "nothing pinned from a refused session";

  // The host registers again under the same ID; each request below is admitted.
  const auto nextRequest = [&](const std::string& APassword) {
    Session->Stop();
    Session.reset();
    RelayErrors.clear();
    ASSERT_TRUE(Ui.RunUntil([&] { return Agent->Connected() && HostID == id && !Agent->InSession(); }, 10000));
    Ui.RunUntil([] { return false; }, 300);
    StartViewer(APassword);
    ASSERT_TRUE(Ui.RunUntil([&] { return Session->InSession(); }, 10000)) << (Ended.empty() ? "" : Ended[0]);
    EXPECT_TRUE(Session->Encrypted());
    EXPECT_FALSE(Session->PasswordRefused());
  };
  struct TCase {
    const char* What;
    const char* Password;
    size_t Questions;
    EConsentCause Cause;
  } cases[] = {
      {"asked without the password right after", "", 1, EConsentCause::WrongPassword},
      {"asked once more", "", 2, EConsentCause::NoPassword},
      {"the right password", "right", 2, EConsentCause::NoPassword},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    nextRequest(c.Password);
    ASSERT_EQ(Questions.size(), c.Questions);
    EXPECT_EQ(Questions.back().Cause, c.Cause);
  }
}

TEST_F(SecureRelayTest, AReplayedHandshakeFromAFreshConnectionGetsNoSession) {
  StartHost("pw");
  Tap->StartRecording();
  StartViewer("pw");
  ASSERT_TRUE(Ui.RunUntil([&] { return Session->InSession(); }, 10000));
  Session->Stop();
  Session.reset();
  const std::vector<TPacket> sent = PacketsOf(Tap->Recorded(true));
  auto find = [&](uint32_t AType) {
    for (const TPacket& p : sent)
      if (p.Type == AType) return p;
    ADD_FAILURE() << "not recorded: " << AType;
    return TPacket{};
  };
  const TPacket request = find(MsgConnectRequest), hello = find(MsgSecureHello), confirm = find(MsgSecureConfirm);
  ASSERT_TRUE(Ui.RunUntil([&] { return Agent->Connected() && !Agent->InSession(); }, 10000));
  Ui.RunUntil([] { return false; }, 300);

  // Whoever recorded the session sends the same bytes on a connection of its own.
  TTcpConnection replay;
  replay.Connect("127.0.0.1", RelayPort, 3000);
  replay.SetReadTimeout(200);
  WritePacket(replay, request.Type, request.Payload, nullptr);
  bool started = false, aborted = false, admitted = false;
  for (int turn = 0; turn < 100 && !aborted; ++turn) {
    Ui.RunPending();
    if (!replay.WaitReadable(50)) continue;
    TPacket packet;
    try {
      packet = ReadPacket(replay);
    } catch (const TConnectionError&) {
      break;  // the relay closed the line once the host refused
    }
    if (packet.Type == MsgSessionStart && !started) {
      started = true;
      WritePacket(replay, hello.Type, hello.Payload, nullptr);
    } else if (packet.Type == MsgSecureReply) {
      WritePacket(replay, confirm.Type, confirm.Payload, nullptr);
    } else if (packet.Type == MsgSecureAbort) {
      aborted = true;
    } else if (packet.Type == MsgSealed || packet.Type == MsgFrame || packet.Type == MsgMonitorList) {
      admitted = true;
    }
  }
  EXPECT_TRUE(started) << "the relay passed the request on";
  EXPECT_TRUE(aborted);
  EXPECT_FALSE(admitted);
  EXPECT_FALSE(Agent->InSession());
}

TEST_F(SecureRelayTest, RequireEncryptionRefusesAViewerOfThePlainWire) {
  StartHost("pw", true);
  StartViewer("pw", false);
  ASSERT_TRUE(Ui.RunUntil([&] { return !RelayErrors.empty() || Session->Ended(); }, 10000));
  EXPECT_FALSE(Session->InSession());
  EXPECT_FALSE(Agent->InSession());
}

}  // namespace
}  // namespace tlm
