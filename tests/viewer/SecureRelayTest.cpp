// The real viewer session and the real host agent through the real relay, with a tap between
// the viewer and the relay (what the relay and anyone who runs it sees): sealed sessions by
// password and by consent, a wrong password, a replayed handshake, and a host that requires
// encryption meeting a viewer built to the plain wire.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <atomic>
#include <mutex>
#include <thread>
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
#include "tests/support/Loopback.h"
#include "tests/support/TcpProxy.h"
#include "tests/support/TempFiles.h"
#include "tests/viewer/TestJpeg.h"
#include "tests/viewer/TestTileCapturer.h"
#include "viewer/ViewerSession.h"

namespace tlm {
namespace {

namespace fs = std::filesystem;

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

// A relay of its own between the viewer and the real relay, packet by packet: every packet
// goes through a script, which decides what each side gets instead. One viewer connection at
// a time; a new one may come once the last is over. The script may be changed between
// connections.
class TInterposer {
public:
  // AFromViewer: the packet's direction. The script sends with ToViewer / ToRelay.
  using TScript = std::function<void(bool AFromViewer, TPacket& APacket, TInterposer& AThis)>;

  explicit TInterposer(uint16_t ARelayPort) : FRelayPort(ARelayPort), FThread([this] { Run(); }) {}
  ~TInterposer() {
    FStop = true;
    FThread.join();
  }
  uint16_t Port() const { return FListener.Port(); }
  void SetScript(TScript AScript) {
    std::lock_guard hold(FLock);
    FScript = std::move(AScript);
  }
  // Runs AWhat while no script runs, to look at what a script kept.
  void Inspect(const std::function<void()>& AWhat) {
    std::lock_guard hold(FLock);
    AWhat();
  }
  // Passes everything unchanged.
  static void PassOn(bool AFromViewer, TPacket& APacket, TInterposer& AThis) {
    AFromViewer ? AThis.ToRelay(APacket.Type, APacket.Payload) : AThis.ToViewer(APacket.Type, APacket.Payload);
  }
  void ToViewer(uint32_t AType, std::span<const uint8_t> APayload) { WritePacket(*FViewer, AType, APayload, &FViewerWrite); }
  void ToRelay(uint32_t AType, std::span<const uint8_t> APayload) { WritePacket(*FRelay, AType, APayload, &FRelayWrite); }

private:
  void Run() {
    while (!FStop) {
      try {
        std::unique_ptr<TTcpConnection> viewer = FListener.TryAccept(50);
        if (!viewer) continue;
        auto relay = std::make_unique<TTcpConnection>();
        relay->Connect("127.0.0.1", FRelayPort, 3000);
        FViewer = std::move(viewer);
        FRelay = std::move(relay);
        std::thread back([this] { Pump(false); });
        Pump(true);
        back.join();
        FViewer.reset();
        FRelay.reset();
      } catch (const std::exception& e) {
        ADD_FAILURE() << "interposer: " << e.what();
      }
    }
  }
  // One direction until either side goes; then both go.
  void Pump(bool AFromViewer) {
    TTcpConnection& from = AFromViewer ? *FViewer : *FRelay;
    try {
      while (!FStop) {
        if (!from.WaitReadable(20)) continue;
        TPacket packet = ReadPacket(from);
        std::lock_guard hold(FLock);
        FScript(AFromViewer, packet, *this);
      }
    } catch (const TError&) {
      // A side closed, or the script wrote to a closed side.
    } catch (const std::exception& e) {
      ADD_FAILURE() << "interposer script: " << e.what();
    }
    FViewer->Abort();
    FRelay->Abort();
  }

  const uint16_t FRelayPort;
  test::TLoopbackListener FListener;
  std::atomic<bool> FStop{false};
  std::mutex FLock;  // one script call at a time
  TScript FScript = PassOn;
  std::mutex FViewerWrite, FRelayWrite;
  std::unique_ptr<TTcpConnection> FViewer, FRelay;
  std::thread FThread;  // last: starts once the rest is in place
};

// A relay that puts itself between viewer and host the way a real attacker would: to the
// viewer it is a host with its own identity key, to the host a viewer, each handshake run to
// the end with keys of its own, and once both are sealed it opens what each side sends and
// seals it again for the other. It knows a password only if it guesses one (AGuess); empty,
// it offers the host consent and answers the viewer in consent mode.
struct TManInTheMiddle {
  explicit TManInTheMiddle(std::string AGuess) : Guess(AGuess.empty() ? "" : HashPassword(AGuess)) {}

  void operator()(bool AFromViewer, TPacket& APacket, TInterposer& AThis) {
    try {
      Step(AFromViewer, APacket, AThis);
    } catch (const TSecureError& e) {
      Failures.push_back(e.what());
    }
  }
  void Step(bool AFromViewer, TPacket& APacket, TInterposer& AThis) {
    if (AFromViewer && APacket.Type == MsgConnectRequest) {
      HostId = FieldAt(SplitTabs(TextOf(APacket.Payload)), 0);
    } else if (AFromViewer && APacket.Type == MsgSecureHello) {
      const THelloFields hello = ParseHello(APacket.Payload);
      AsHost.emplace(Identity, HostId, Guess);
      AThis.ToViewer(MsgSecureReply, AsHost->OnHello(APacket.Payload));
      AsViewer.emplace(HostId, hello.ViewerId, hello.ViewerName, Guess);
      AThis.ToRelay(MsgSecureHello, AsViewer->Start());
      return;
    } else if (!AFromViewer && APacket.Type == MsgSecureSecondShare && AsViewer) {
      AsViewer->OnSecondShare(APacket.Payload);
      return;
    } else if (!AFromViewer && APacket.Type == MsgSecureReply && AsViewer) {
      AThis.ToRelay(MsgSecureConfirm, AsViewer->OnReply(APacket.Payload));
      return;
    } else if (AFromViewer && APacket.Type == MsgSecureConfirm && AsHost) {
      AsHost->OnConfirm(APacket.Payload);
      ViewerSideCode = AsHost->SessionCode();
      AdmitViewerOnceBothAreIn(AThis);
      return;
    } else if (!AFromViewer && APacket.Type == MsgSealed && AsViewer && !ToHost) {
      AsViewer->OnSealed(APacket.Payload);  // the real host's admission
      ToHost.emplace(AsViewer->TakeChannel());
      HostSideCode = AsViewer->SessionCode();
      AdmitViewerOnceBothAreIn(AThis);
      return;
    } else if (!AFromViewer && APacket.Type == MsgSealed && ToHost && !ToViewer) {
      HeldForViewer.push_back(std::move(APacket));  // the host's first frames, until the viewer is in
      return;
    } else if (APacket.Type == MsgSealed && ToHost && ToViewer) {
      // Open with one side's keys, seal with the other's: everything read on the way.
      TSecureChannel& in = AFromViewer ? *ToViewer : *ToHost;
      TSecureChannel& out = AFromViewer ? *ToHost : *ToViewer;
      const TOpenedMessage message = in.In.Open(APacket.Payload);
      if (message.Type == MsgChat) ChatsRead.push_back(TextOf(message.Payload));
      const TBytes resealed = out.Out.Seal(message.Type, message.Payload);
      AFromViewer ? AThis.ToRelay(MsgSealed, resealed) : AThis.ToViewer(MsgSealed, resealed);
      return;
    }
    TInterposer::PassOn(AFromViewer, APacket, AThis);
  }
  void AdmitViewerOnceBothAreIn(TInterposer& AThis) {
    if (!ToHost || !AsHost) return;
    const auto state = AsHost->State();
    if (state != THostHandshake::TState::PasswordVerified && state != THostHandshake::TState::AwaitingConsent) return;
    AThis.ToViewer(MsgSealed, AsHost->Admit());
    ToViewer.emplace(AsHost->TakeChannel());
    for (TPacket& held : HeldForViewer) Step(false, held, AThis);
    HeldForViewer.clear();
  }

  const TIdentityKey Identity = TIdentityKey::Generate();
  const std::string Guess;
  std::string HostId, ViewerSideCode, HostSideCode;
  std::optional<THostHandshake> AsHost;
  std::optional<TViewerHandshake> AsViewer;
  std::optional<TSecureChannel> ToHost, ToViewer;
  std::vector<TPacket> HeldForViewer;
  std::vector<std::string> ChatsRead, Failures;
};

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
    services.MakeCapturer = [] { return std::make_unique<test::TTileCapturer>(); };
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
      Agent->AnswerConsent(AQuestion.Ticket, ConsentAnswer);
    };
    Agent->Start();
    ASSERT_TRUE(Ui.RunUntil([&] { return !HostID.empty(); }, 10000));
  }

  // A viewer through the tap.
  // A viewer through the tap, or through APort.
  void StartViewer(const std::string& APassword, bool AOffer = true, uint16_t APort = 0) {
    TViewerParams p;
    p.Server = "127.0.0.1";
    p.Port = APort ? APort : uint16_t(std::stoi(Tap->Address().substr(Tap->Address().find(':') + 1)));
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
    Session->OnKeyChanged = [this](const std::string& AOld, const std::string& ANew) { KeyChange = {AOld, ANew}; };
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
  // Ends a table row's session and forgets what it reported, so the next row starts clean.
  void EndCase() {
    if (Session) Session->Stop();
    Session.reset();
    Agent.reset();
    HostID.clear();
    HostSecurity.clear();
    Questions.clear();
    HostChats.clear();
    ViewerChats.clear();
    ViewerClips.clear();
    Uploads.clear();
    Ended.clear();
    RelayErrors.clear();
    Secured.reset();
    KeyChange.reset();
  }

  std::string HostID, HostSecurity, OneTimePassword;
  std::vector<std::string> HostChats, ViewerChats, ViewerClips, Ended, RelayErrors, Uploads;
  std::vector<TConsentQuestion> Questions;
  std::optional<TViewerSecureInfo> Secured;
  std::optional<std::pair<std::string, std::string>> KeyChange;
  bool ConsentAnswer = true;
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

// The unattended password and the one-time password set on one host: either admits, through
// the real relay, without asking; a wrong one is refused.
TEST_F(SecureRelayTest, EitherOfTheHostsTwoPasswordsAdmits) {
  struct TCase {
    const char* Name;
    std::string Unattended;
    bool TypeOneTime;  // else Typed
    std::string Typed;
    bool Admitted;
  } cases[] = {
      {"the unattended password", "unattended-pw", false, "unattended-pw", true},
      {"the one-time password beside it", "unattended-pw", true, "", true},
      {"a wrong password", "unattended-pw", false, "guess", false},
      {"the one-time password alone", "", true, "", true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    OneTimePassword.clear();
    StartHost(c.Unattended);
    ASSERT_TRUE(Ui.RunUntil([&] { return !OneTimePassword.empty(); }, 10000));
    StartViewer(c.TypeOneTime ? OneTimePassword : c.Typed);
    if (c.Admitted) {
      ASSERT_TRUE(Ui.RunUntil([&] { return Session->InSession(); }, 10000)) << (Ended.empty() ? "" : Ended[0]);
      EXPECT_TRUE(Session->Encrypted());
      EXPECT_TRUE(Questions.empty()) << "admitted by the password, without asking";
    } else {
      ASSERT_TRUE(Ui.RunUntil([&] { return !RelayErrors.empty(); }, 10000));
      EXPECT_EQ(RelayErrors[0], "비밀번호가 맞지 않습니다");
      EXPECT_FALSE(Session->InSession());
      EXPECT_TRUE(Questions.empty());
    }
    Session->Stop();
    Session.reset();
    Agent.reset();
    HostID.clear();
    RelayErrors.clear();
    Ended.clear();
  }
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
    EXPECT_TRUE(Ui.RunUntil([&] { return !HostSecurity.empty(); }, 10000));
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
    const TBytes tile = test::TTileCapturer::Tile();
    ASSERT_EQ(std::string(tile.begin(), tile.begin() + 11), jpegStart) << "what a frame's tiles begin with";
    EXPECT_FALSE(Contains(tape, jpegStart)) << "a JPEG of a frame";
    // Nothing but the relay's own messages, the handshake and sealed packets crossed.
    for (const bool fromViewer : {true, false})
      for (const TPacket& packet : PacketsOf(Tap->Recorded(fromViewer)))
        EXPECT_TRUE(!IsSessionMsg(packet.Type) || packet.Type == MsgSealed ||
                    (IsSecureMsg(packet.Type) && packet.Type != MsgSecureAdmitted))
            << packet.Type;

    EndCase();
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

// A relay that puts itself in the middle with the real programs on either side: what the two
// people see, and what is refused.
TEST_F(SecureRelayTest, ARelayInTheMiddleIsSeenOrRefused) {
  enum TAttack { Swap, StripOffer, StripAll, AlterHello, AlterOfferedMode, AlterReply, AlterConfirm };
  enum TOutcome { CodesDiffer, Plain, Refused };
  struct TCase {
    const char* Name;
    std::string HostPassword, ViewerPassword, Guess;
    bool Pinned;  // the viewer met the real host before
    TAttack Attack;
    TOutcome Outcome;
    std::string Shown;  // part of what the viewer is told when refused
  } cases[] = {
      {"first contact by consent: the two codes differ", "", "", "", false, Swap, CodesDiffer, ""},
      {"first contact by password: the relay cannot prove it", "pw", "pw", "guess", false, Swap, Refused,
       "비밀번호가 맞지 않습니다"},
      {"first contact by password, answered in consent mode: the host's user is asked, the codes differ", "pw", "pw",
       "", false, Swap, CodesDiffer, ""},
      {"after pinning: the changed key is refused", "", "", "", true, Swap, Refused, "상대방의 보안 코드가 바뀌었습니다"},
      {"after pinning, by password", "pw", "pw", "guess", true, Swap, Refused, "상대방의 보안 코드가 바뀌었습니다"},
      {"the handshake stripped at first contact: plain, with the warning", "", "", "", false, StripAll, Plain, ""},
      {"the handshake stripped after pinning: refused, never plain", "", "", "", true, StripAll, Refused,
       "이전에 암호화되던 상대방이 암호화 없이 응답했습니다"},
      {"the offer stripped, the hello passed on: the host ends it", "", "", "", true, StripOffer, Refused, ""},
      {"a byte of the hello altered", "pw", "pw", "", true, AlterHello, Refused, "암호화 핸드셰이크가 올바르지 않습니다"},
      {"the offered mode altered", "pw", "pw", "", true, AlterOfferedMode, Refused,
       "암호화 핸드셰이크가 올바르지 않습니다"},
      {"a byte of the reply altered", "pw", "pw", "", true, AlterReply, Refused, "암호화 핸드셰이크가 올바르지 않습니다"},
      {"a byte of the confirmation altered", "pw", "pw", "", true, AlterConfirm, Refused, "비밀번호가 맞지 않습니다"},
  };
  int round = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Pins = std::make_shared<TPinFile>(Home.Sub("mitm" + std::to_string(++round) + ".pins"));
    StartHost(c.HostPassword);
    if (c.Pinned) Pins->Save(HostID, Identity.PublicKey());
    TInterposer relay(RelayPort);
    auto mitm = std::make_shared<TManInTheMiddle>(c.Guess);
    const auto flip = [](TPacket& APacket, size_t AAt) { APacket.Payload.at(AAt) ^= 0x01; };
    relay.SetScript([&, mitm](bool AFromViewer, TPacket& APacket, TInterposer& AThis) {
      switch (c.Attack) {
        case Swap:
          (*mitm)(AFromViewer, APacket, AThis);
          return;
        case StripOffer:
        case StripAll:
          if (AFromViewer && APacket.Type == MsgConnectRequest) {
            const auto fields = SplitTabs(TextOf(APacket.Payload));
            AThis.ToRelay(MsgConnectRequest, BytesOf(BuildConnectRequest(fields.at(0), fields.at(1), "")));
            return;
          }
          if (c.Attack == StripAll && AFromViewer && APacket.Type == MsgSecureHello) return;
          break;
        case AlterHello:
          if (AFromViewer && APacket.Type == MsgSecureHello) flip(APacket, 10);  // the ephemeral key
          break;
        case AlterOfferedMode:
          if (AFromViewer && APacket.Type == MsgSecureHello) flip(APacket, 1);  // password -> consent
          break;
        case AlterReply:
          if (!AFromViewer && APacket.Type == MsgSecureReply) flip(APacket, 70);  // the identity key
          break;
        case AlterConfirm:
          if (AFromViewer && APacket.Type == MsgSecureConfirm) flip(APacket, 0);
          break;
      }
      TInterposer::PassOn(AFromViewer, APacket, AThis);
    });
    StartViewer(c.ViewerPassword, true, relay.Port());

    switch (c.Outcome) {
      case CodesDiffer: {
        ASSERT_TRUE(Ui.RunUntil([&] { return Session->InSession(); }, 10000)) << (Ended.empty() ? "" : Ended[0]);
        ASSERT_TRUE(Secured);
        ASSERT_EQ(Questions.size(), 1u) << "only the host's user can let it in";
        EXPECT_EQ(Questions[0].Cause, EConsentCause::NoPassword);
        std::string viewerSide, hostSide;
        relay.Inspect([&] {
          viewerSide = mitm->ViewerSideCode;
          hostSide = mitm->HostSideCode;
        });
        // What each person reads out: the viewer's window, the host's prompt and main window.
        EXPECT_EQ(Secured->SessionCode, viewerSide);
        EXPECT_EQ(Questions[0].SessionCode, hostSide);
        // The host hears of its session on its own, perhaps after the viewer.
        EXPECT_TRUE(Ui.RunUntil([&] { return !HostSecurity.empty(); }, 10000));
        EXPECT_EQ(HostSecurity, "암호화됨 · 세션 코드 " + hostSide);
        EXPECT_NE(Secured->SessionCode, Questions[0].SessionCode) << "so the two people notice";
        EXPECT_TRUE(Secured->FirstContact);
        EXPECT_NE(Secured->SecurityCode, SecurityCode(Identity.PublicKey())) << "nor is it the host's 보안 코드";
        // What is at stake: everything passes the relay's hands in clear.
        ASSERT_TRUE(Session->SendChat("read-by-the-relay"));
        ASSERT_TRUE(Ui.RunUntil([&] { return !HostChats.empty(); }, 10000));
        bool read = false;
        relay.Inspect([&] { read = !mitm->ChatsRead.empty() && mitm->ChatsRead[0] == "read-by-the-relay"; });
        EXPECT_TRUE(read);
        break;
      }
      case Plain:
        ASSERT_TRUE(Ui.RunUntil([&] { return Session->InSession(); }, 10000)) << (Ended.empty() ? "" : Ended[0]);
        EXPECT_TRUE(Session->PlainPartner());
        EXPECT_FALSE(Session->Encrypted());
        EXPECT_TRUE(Ui.RunUntil([&] { return !HostSecurity.empty(); }, 10000));
        EXPECT_EQ(HostSecurity, "암호화되지 않은 연결");
        break;
      case Refused: {
        ASSERT_TRUE(Ui.RunUntil([&] { return Session->Ended() || !RelayErrors.empty(); }, 15000));
        Ui.RunUntil([] { return false; }, 300);
        EXPECT_FALSE(Session->InSession());
        EXPECT_FALSE(Session->PlainPartner()) << "never plain";
        EXPECT_FALSE(Session->Encrypted());
        std::string told;
        for (const auto* list : {&Ended, &RelayErrors})
          for (const std::string& text : *list) told += text + "\n";
        EXPECT_NE(told.find(c.Shown), std::string::npos) << told;
        if (c.Shown == KeyChangedText) {
          ASSERT_TRUE(KeyChange);
          EXPECT_EQ(KeyChange->first, SecurityCode(Identity.PublicKey()));
          EXPECT_NE(KeyChange->second, KeyChange->first);
          EXPECT_NE(told.find(KeyChange->first), std::string::npos) << "both codes shown";
          EXPECT_NE(told.find(KeyChange->second), std::string::npos) << "both codes shown";
        }
        EXPECT_EQ(Pins->Find(HostID).has_value(), c.Pinned) << "nothing new pinned from a refused session";
        if (c.Pinned) {
          EXPECT_EQ(*Pins->Find(HostID), Identity.PublicKey());
        }
        EXPECT_FALSE(Agent->InSession());
        break;
      }
    }
    EndCase();
  }
}

}  // namespace
}  // namespace tlm
