// The client core without a window: its rules against a scripted relay, on a plain event loop.
#include "app/ClientApp.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "platform/fake/FakeScreen.h"
#include "protocol/Credentials.h"
#include "tests/app/ScriptedRelay.h"
#include "tests/support/TempFiles.h"

namespace tlm {
namespace {

namespace fs = std::filesystem;
using test::ClosedPort;
using test::TScriptedRelay;

// Everything the core reports, as it arrived.
class TRecordingView final : public IClientView {
public:
  std::vector<std::string> Ids;
  std::vector<TLogEntry> Log;
  std::vector<std::string> Chats;
  std::vector<std::string> Questions;
  std::vector<bool> Sessions;
  std::vector<std::string> Securities;
  std::vector<TViewerRefusal> Refusals;
  std::vector<std::string> ConfigErrors;
  int RecentChanges = 0;
  int ConsentCloses = 0;
  // How the consent question is answered: at once with Answer, or (StayOpen) not until the
  // core closes it, running the event loop meanwhile as a modal box does.
  bool Answer = false;
  bool StayOpen = false;
  std::function<void()> WhileOpen;
  TClientApp* Core = nullptr;
  TQueueDispatcher* Ui = nullptr;

  void HostIdChanged(const std::string& AID) override { Ids.push_back(AID); }
  void LogAdded(const TLogEntry& AEntry) override { Log.push_back(AEntry); }
  void ChatReceived(const std::string& AText) override { Chats.push_back(AText); }
  void ConsentAsked(const TConsentQuestion& AQuestion, const std::string& AText) override {
    Questions.push_back(AText);
    if (!StayOpen) {
      Core->AnswerConsent(AQuestion.Ticket, Answer);
      return;
    }
    const int closes = ConsentCloses;
    if (WhileOpen) WhileOpen();
    Ui->RunUntil([&] { return ConsentCloses > closes; }, 30000);
    Core->AnswerConsent(AQuestion.Ticket, false);
  }
  void ConsentClosed() override { ++ConsentCloses; }
  void SessionChanged(bool AInSession) override { Sessions.push_back(AInSession); }
  void SessionSecurityChanged(const std::string& AText) override { Securities.push_back(AText); }
  void RecentChanged() override { ++RecentChanges; }
  void ViewerRefused(const TViewerRefusal& ARefusal) override { Refusals.push_back(ARefusal); }
  void ConfigWriteFailed(const std::string& AText) override { ConfigErrors.push_back(AText); }

  bool Logged(const std::string& AText) const {
    return std::any_of(Log.begin(), Log.end(), [&](const TLogEntry& AEntry) { return AEntry.Text == AText; });
  }
};

// The session clipboard the toolkit would make: records what the viewer sent, and lets the test
// play the local user copying text.
struct TFakeClipboards {
  std::vector<std::string> Applied;
  std::function<void(const std::string&)> LocalCopy;  // set while a session clipboard lives
  int Made = 0;

  class TClip final : public ISessionClipboard {
  public:
    TClip(TFakeClipboards& AOwner, std::function<void(const std::string&)> ACopy) : FOwner(AOwner) {
      FOwner.LocalCopy = std::move(ACopy);
      ++FOwner.Made;
    }
    ~TClip() override { FOwner.LocalCopy = nullptr; }
    void ApplyRemote(const std::string& AText) override { FOwner.Applied.push_back(AText); }

  private:
    TFakeClipboards& FOwner;
  };
};

class TRecordingSetter final : public IClipboardSetter {
public:
  std::vector<std::string> Texts;
  void SetClipboardText(const std::string& AText) override { Texts.push_back(AText); }
};

class ClientAppTest : public ::testing::Test {
protected:
  void SetUp() override {
    FDir = fs::temp_directory_path() / ("tlmcore-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(FDir);
    fs::create_directories(FDir);
    Env.ConfigDir = (FDir / "cfg").string();
    Env.ComputerName = "MY-PC";
    View.Ui = &Ui;
  }
  void TearDown() override {
    Core.reset();
    fs::remove_all(FDir);
  }
  static THostTimings Timings() {
    THostTimings t;
    t.ConnectTimeoutMs = 2000;
    t.ReconnectWaitMs = 200;
    return t;
  }
  void Open(uint16_t APort, THostTimings ATimings = Timings()) {
    TClientParts parts;
    parts.Services.MakeScreen = [] { return std::make_shared<TFakeScreen>(640, 480); };
    parts.Services.DownloadDir = (FDir / "dl").string();
    parts.Services.Clipboard = &Fallback;
    parts.SessionClipboard = [this](std::function<void(const std::string&)> ACopy) {
      return std::make_unique<TFakeClipboards::TClip>(Clips, std::move(ACopy));
    };
    parts.OpenViewer = [this](const TViewerRequest& ARequest) { Opened.push_back(ARequest); };
    parts.RelayPort = APort;
    parts.Timings = ATimings;
    Core = std::make_unique<TClientApp>(Ui, Env, std::move(parts));
    View.Core = Core.get();
    Core->AddView(&View);
    Core->Start();
  }
  // Registered at ARelay under AID.
  void OpenAt(TScriptedRelay& ARelay, const std::string& AID, THostTimings ATimings = Timings()) {
    Open(ARelay.Port(), ATimings);
    ASSERT_TRUE(Wait([&] { return Core->MyID() == AID && Core->HostState() == EHostState::Online; }));
  }
  void OpenInSession(TScriptedRelay& ARelay, const std::string& AID) {
    OpenAt(ARelay, AID);
    ARelay.Send(MsgSessionStart, "");
    ASSERT_TRUE(Wait([&] { return Core->InSession() && !View.Sessions.empty() && View.Sessions.back(); }));
  }
  bool Wait(const std::function<bool()>& APred, int AMs = 10000) { return Ui.RunUntil(APred, AMs); }
  std::vector<std::string> StoredRecent() {
    std::vector<std::string> ids;
    for (const TRecentItem& item : TAppConfig(Env).GetRecent()) ids.push_back(item.ID);
    return ids;
  }
  std::vector<std::string> RecentIDs() {
    std::vector<std::string> ids;
    for (const TRecentItem& item : Core->Recent()) ids.push_back(item.ID);
    return ids;
  }

  fs::path FDir;
  TQueueDispatcher Ui;
  TEnvironment Env;
  TRecordingView View;
  TFakeClipboards Clips;
  TRecordingSetter Fallback;
  std::vector<TViewerRequest> Opened;
  std::unique_ptr<TClientApp> Core;
};

// The one reader of the process environment: each variable lands in its field; unset and
// empty differ only for COMPUTERNAME; TLS only for "1".
TEST(Environment, EachVariableHasItsField) {
  const char* const names[] = {"TLMREMOTE_HOST", "TLMREMOTE_CONFIGDIR", "TLMREMOTE_DEVICEKEY", "COMPUTERNAME",
                               "TLMREMOTE_AUTOCONNECT", "TLMREMOTE_AUTOPW", "TLMREMOTE_IDFILE",
                               "TLMREMOTE_RESULTFILE", "TLMREMOTE_LOGFILE", "TLMREMOTE_TLS", "TLMREMOTE_TLS_CA",
                               "WAYLAND_DISPLAY"};
  test::TTempHome home;  // restores HOME and XDG_CONFIG_HOME
  std::vector<std::pair<std::string, std::optional<std::string>>> saved;
  for (const char* name : names) {
    const char* v = std::getenv(name);
    saved.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
    ::unsetenv(name);
  }
  TEnvironment none = TEnvironment::FromProcess();
  EXPECT_EQ(none.RelayHostOrDefault(), "127.0.0.1");
  EXPECT_FALSE(none.ComputerName.has_value());
  EXPECT_FALSE(none.RelayTls);
  EXPECT_EQ(none.ConfigFolder(), home.Sub(".config/TLMRemote"));
  EXPECT_EQ(none.DownloadFolder(), home.Sub("Downloads"));

  ::setenv("TLMREMOTE_HOST", " relay.example ", 1);
  ::setenv("TLMREMOTE_CONFIGDIR", "/cfg", 1);
  ::setenv("TLMREMOTE_DEVICEKEY", "key-1", 1);
  ::setenv("COMPUTERNAME", "", 1);
  ::setenv("TLMREMOTE_AUTOCONNECT", "111 222", 1);
  ::setenv("TLMREMOTE_AUTOPW", " pw ", 1);
  ::setenv("TLMREMOTE_IDFILE", "/tmp/id", 1);
  ::setenv("TLMREMOTE_RESULTFILE", "/tmp/result", 1);
  ::setenv("TLMREMOTE_LOGFILE", "/tmp/log", 1);
  ::setenv("TLMREMOTE_TLS", "1", 1);
  ::setenv("TLMREMOTE_TLS_CA", "/ca.pem", 1);
  ::setenv("WAYLAND_DISPLAY", "wayland-1", 1);
  const TEnvironment all = TEnvironment::FromProcess();
  EXPECT_EQ(all.RelayHostOrDefault(), " relay.example ") << "used as it is";
  EXPECT_EQ(all.ConfigFolder(), "/cfg");
  EXPECT_EQ(all.DeviceKey, "key-1");
  EXPECT_EQ(all.ComputerName, std::optional<std::string>(""));
  EXPECT_EQ(all.AutoConnect, "111 222");
  EXPECT_EQ(all.AutoPassword, " pw ");
  EXPECT_EQ(all.IdFile, "/tmp/id");
  EXPECT_EQ(all.ResultFile, "/tmp/result");
  EXPECT_EQ(all.LogFile, "/tmp/log");
  EXPECT_TRUE(all.RelayTls);
  EXPECT_EQ(all.RelayTlsCa, "/ca.pem");
  EXPECT_EQ(all.WaylandDisplay, "wayland-1");
  EXPECT_EQ(all.Folders.Home, home.Path());
  for (const char* tls : {"0", "yes", ""}) {
    ::setenv("TLMREMOTE_TLS", tls, 1);
    EXPECT_FALSE(TEnvironment::FromProcess().RelayTls) << tls;
  }
  ::setenv("TLMREMOTE_HOST", "", 1);
  EXPECT_EQ(TEnvironment::FromProcess().RelayHostOrDefault(), "127.0.0.1");

  for (const auto& [name, value] : saved)
    if (value) ::setenv(name.c_str(), value->c_str(), 1); else ::unsetenv(name.c_str());
}

// The relay is reached over TLS when the environment or the configuration asks for it; the
// viewer's request and the host's default carry the same choice.
TEST_F(ClientAppTest, TlsChoiceFromTheEnvironmentOrTheConfiguration) {
  struct TCase {
    bool Env;
    bool Configured;
    bool Tls;
  } const cases[] = {{false, false, false}, {true, false, true}, {false, true, true}, {true, true, true}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.Env) + "/" + std::to_string(c.Configured));
    Env.RelayTls = c.Env;
    Env.RelayTlsCa = "/ca.pem";
    std::filesystem::create_directories(Env.ConfigDir);
    std::ofstream(TAppConfig(Env).Path()) << "[TLMRemote]\nRelayTls=" << (c.Configured ? "1" : "0") << "\n";
    Opened.clear();
    Open(ClosedPort());
    EXPECT_EQ(DefaultRelayTls().Enabled, c.Tls);
    Core->Connect("111222333", "");
    ASSERT_EQ(Opened.size(), 1u);
    EXPECT_EQ(Opened[0].Tls.Enabled, c.Tls);
    EXPECT_EQ(Opened[0].Tls.CaFile, "/ca.pem");
    Core.reset();
  }
  SetDefaultRelayTls(TRelayTlsChoice{});
}

TEST(ClientTexts, DisplayIdAndHostState) {
  EXPECT_EQ(DisplayID(""), "--- --- ---");
  EXPECT_EQ(DisplayID("123456789"), "123 456 789");
  EXPECT_EQ(HostStateText(EHostState::Offline), "오프라인");
  EXPECT_EQ(HostStateText(EHostState::Online), "온라인");
  EXPECT_EQ(HostStateText(EHostState::InSession), "화면 공유 중");
  EXPECT_EQ((TLogEntry{"10:11:12", "x", 0}.Line()), "10:11:12 x");
  EXPECT_EQ((TLogEntry{"10:11:12", "x", 2}.Line()), "10:11:12 x (3회 반복)");
}

// ---- connecting to a partner ----

TEST_F(ClientAppTest, TargetsAreCheckedAndThePasswordDecidesTheProof) {
  TScriptedRelay relay("123456789");
  OpenAt(relay, "123456789");
  struct TTarget {
    const char* ID;
    ETargetProblem Problem;
  } const targets[] = {
      {"", ETargetProblem::Empty},
      {"123456789", ETargetProblem::Self},
      {"987654321", ETargetProblem::None},
      {"12345", ETargetProblem::NotNineDigits},       // checked here: no window, no relay
      {"1234567890", ETargetProblem::NotNineDigits},
      {"98765432x", ETargetProblem::NotNineDigits},
  };
  for (const TTarget& t : targets) {
    EXPECT_EQ(Core->CheckTarget(t.ID), t.Problem) << t.ID;
    if (t.Problem != ETargetProblem::None) Core->Connect(t.ID, "pw");  // refused here too, whoever calls
  }
  EXPECT_TRUE(Opened.empty());
  EXPECT_TRUE(Core->Recent().empty());

  struct TCase {
    const char* Typed;
    std::string Proof;
  } const cases[] = {
      {"", ""},
      {"   ", ""},  // blanks only: no password, the partner's user is asked
      {" secret\t", MakeSessionProof("987654321", HashPassword("secret"))},
      {"비밀 번호", MakeSessionProof("987654321", HashPassword("비밀 번호"))},
  };
  Core->SetQuality(QualityFast);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Typed);
    Opened.clear();
    Core->Connect("987654321", c.Typed);
    ASSERT_EQ(Opened.size(), 1u);
    EXPECT_EQ(Opened[0].TargetID, "987654321");
    EXPECT_EQ(Opened[0].Proof, c.Proof);
    // The encrypted path carries the hash, which only ever enters the handshake.
    EXPECT_EQ(Opened[0].PasswordHash, c.Proof.empty() ? "" : HashPassword(TrimControl(c.Typed)));
    EXPECT_EQ(Opened[0].OwnID, "123456789");
    EXPECT_EQ(Opened[0].MyName, "MY-PC");
    EXPECT_EQ(Opened[0].DefaultQuality, QualityFast);
    EXPECT_EQ(Opened[0].Server, "127.0.0.1");
    EXPECT_EQ(Opened[0].Port, relay.Port());
  }
  EXPECT_EQ(RecentIDs(), std::vector<std::string>{"987654321"}) << "stored once";
  EXPECT_EQ(StoredRecent(), std::vector<std::string>{"987654321"});
}

TEST_F(ClientAppTest, ViewerRequestCarriesTheEnvironmentsRelayAndResultFile) {
  Env.RelayHost = "relay.example";
  Env.ResultFile = (FDir / "result.txt").string();
  Open(ClosedPort());
  Core->Connect("111222333", "");
  ASSERT_EQ(Opened.size(), 1u);
  EXPECT_EQ(Opened[0].Server, "relay.example");
  EXPECT_EQ(Opened[0].ResultFile, Env.ResultFile);
}

TEST_F(ClientAppTest, TheSecurityCodeStaysFromRunToRunAndRequireEncryptionIsRead) {
  struct TCase {
    const char* Stored;  // RequireEncryption in config.ini; nullptr: not there
    bool Require;
  } const cases[] = {{nullptr, false}, {"0", false}, {"1", true}, {"yes", false}};
  std::string code;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Stored ? c.Stored : "missing");
    fs::create_directories(Env.ConfigDir);
    std::ofstream((fs::path(Env.ConfigDir) / "config.ini").string(), std::ios::trunc)
        << "[TLMRemote]\n" << (c.Stored ? std::string("RequireEncryption=") + c.Stored + "\n" : "");
    Opened.clear();
    Open(ClosedPort());
    EXPECT_FALSE(Core->SecurityCode().empty());
    if (code.empty()) code = Core->SecurityCode();
    EXPECT_EQ(Core->SecurityCode(), code) << "one key for the life of the configuration";
    EXPECT_EQ(fs::status(fs::path(Env.ConfigDir) / "identity.key").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    Core->Connect("111222333", "pw");
    ASSERT_EQ(Opened.size(), 1u);
    EXPECT_TRUE(Opened[0].Pins);
    EXPECT_EQ(Opened[0].RequireEncryption, c.Require);
    Core.reset();
  }
}

TEST_F(ClientAppTest, RecentListOrderAndRemoval) {
  {
    TAppConfig cfg(Env);
    std::ofstream(cfg.Path()) << "[Recent]\nr0=111222333|사무실\nr1=444555666|\nr2=777888999|\n";
  }
  Open(ClosedPort());
  ASSERT_EQ(Core->Recent().size(), 3u);
  EXPECT_EQ(Core->Recent()[0].Name, "사무실");
  // Reconnecting from the list: the entry moves to the top, its neighbours keep their order.
  Core->Connect(Core->Recent()[2].ID, "");
  EXPECT_EQ(RecentIDs(), (std::vector<std::string>{"777888999", "111222333", "444555666"}));
  const int changes = View.RecentChanges;
  Core->RemoveRecent(1);
  EXPECT_EQ(RecentIDs(), (std::vector<std::string>{"777888999", "444555666"}));
  EXPECT_EQ(StoredRecent(), RecentIDs());
  EXPECT_EQ(View.RecentChanges, changes + 1);
  Core->RemoveRecent(2);  // beyond the list: nothing
  EXPECT_EQ(RecentIDs().size(), 2u);
}

// A new ID the relay does not know leaves the list again; one that was there before, or that
// the relay turned away for another reason, stays.
TEST_F(ClientAppTest, UnknownNewIDsLeaveTheRecentList) {
  {
    TAppConfig cfg(Env);
    std::ofstream(cfg.Path()) << "[Recent]\nr0=111222333|\n";
  }
  Open(ClosedPort());
  struct TCase {
    std::string ID;
    ERelayRefusal Kind;
    bool Kept;
  } const cases[] = {
      {"555000555", ERelayRefusal::Offline, false},  // new and unknown
      {"111222333", ERelayRefusal::Offline, true},   // known from before: maybe offline now
      {"666000666", ERelayRefusal::NoAnswer, true},  // exists
      {"777000777", ERelayRefusal::Busy, true},
      {"888000888", ERelayRefusal::Other, true},     // a text this build does not know
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.ID);
    Core->Connect(c.ID, "");
    View.Refusals.clear();
    Core->ViewerRefused(c.ID, c.Kind);
    const std::vector<std::string> stored = StoredRecent();
    EXPECT_EQ(std::find(stored.begin(), stored.end(), c.ID) != stored.end(), c.Kept);
    EXPECT_EQ(RecentIDs(), stored);
    ASSERT_EQ(View.Refusals.size(), 1u) << "every refusal is reported, with its kind";
    EXPECT_EQ(View.Refusals[0].TargetID, c.ID);
    EXPECT_EQ(View.Refusals[0].Kind, c.Kind);
    EXPECT_EQ(View.Refusals[0].Forgotten, !c.Kept);
  }
  // A refusal for an earlier attempt, once another ID was tried since, removes nothing.
  Core->Connect("999000999", "");
  Core->Connect("111222333", "");
  Core->ViewerRefused("999000999", ERelayRefusal::Offline);
  const std::vector<std::string> stored = StoredRecent();
  EXPECT_NE(std::find(stored.begin(), stored.end(), "999000999"), stored.end());
}

// A kept proof the partner turned down is forgotten, and only that one: not a password kept
// since, not another partner's.
TEST_F(ClientAppTest, ARefusedRememberedPasswordIsForgotten) {
  Open(ClosedPort());
  Core->Connect("987654321", "old-pass", true);
  Core->Connect("987654321", "new-pass", true);  // kept in its place while the first attempt runs
  Core->Connect("111222333", "new-pass", true);
  const std::string kept = HashPassword("new-pass");
  struct TCase {
    const char* What;
    std::string ID;
    std::string Hash;
    bool Forgotten;
  } const cases[] = {
      {"the password kept before", "987654321", HashPassword("old-pass"), false},
      {"no password at all", "987654321", "", false},
      {"the kept one, at another partner", "555666777", kept, false},
      {"the kept one", "987654321", kept, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    View.Log.clear();
    Core->ViewerPasswordRefused(c.ID, c.Hash);
    EXPECT_EQ(Core->RemembersPassword("987654321"), !c.Forgotten);
    EXPECT_EQ(TAppConfig(Env).RecentPasswordHash("987654321").empty(), c.Forgotten) << "stored as well";
    const bool told = std::any_of(View.Log.begin(), View.Log.end(), [](const TLogEntry& AEntry) {
      return AEntry.Text == "기억한 비밀번호가 맞지 않아 지웠습니다: 987 654 321";
    });
    EXPECT_EQ(told, c.Forgotten);
  }
  EXPECT_TRUE(Core->RemembersPassword("111222333"));
}

TEST_F(ClientAppTest, RelayRefusalTextsAreClassifiedExactly) {
  EXPECT_EQ(ClassifyRelayRefusal(relaytext::Offline), ERelayRefusal::Offline);
  EXPECT_EQ(ClassifyRelayRefusal(relaytext::Busy), ERelayRefusal::Busy);
  // The old client matched a part of the text; a reworded or longer text is not that refusal.
  EXPECT_EQ(ClassifyRelayRefusal("존재하지 않는 ID"), ERelayRefusal::Other);
  EXPECT_EQ(ClassifyRelayRefusal(std::string(relaytext::Offline) + "!"), ERelayRefusal::Other);
}

// ---- the unattended-access password ----

TEST_F(ClientAppTest, PasswordChangesAreHashedAndCountCharacters) {
  Open(ClosedPort());
  struct TCase {
    bool Allow;
    std::string Typed;
    EPasswordChange Result;
    std::string Stored;  // the hash afterwards
  } const cases[] = {
      {true, " abc ", EPasswordChange::TooShort, ""},
      {true, " abcd ", EPasswordChange::Set, HashPassword("abcd")},
      {true, "가나다", EPasswordChange::TooShort, HashPassword("abcd")},  // 9 bytes, 3 characters: unchanged
      {true, "가나다라", EPasswordChange::Set, HashPassword("가나다라")},
      {false, "whatever", EPasswordChange::Cleared, ""},
      {true, "abcd", EPasswordChange::Set, HashPassword("abcd")},
      {true, " \t ", EPasswordChange::Cleared, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Typed);
    EXPECT_EQ(Core->ChangePassword(c.Allow, c.Typed), c.Result);
    EXPECT_EQ(TAppConfig(Env).PasswordHash(), c.Stored);
    EXPECT_EQ(Core->HasPassword(), !c.Stored.empty());
  }
  EXPECT_EQ(PasswordChangeText(EPasswordChange::TooShort), "비밀번호는 4자 이상으로 설정하세요.");
}

// The password the user set is the host's at once: a viewer with the matching proof is admitted
// without a question, a wrong one is asked about and told so.
TEST_F(ClientAppTest, SetPasswordAdmitsAndAWrongOneAsks) {
  TScriptedRelay relay("222333444");
  OpenAt(relay, "222333444");
  ASSERT_EQ(Core->ChangePassword(true, "abcd"), EPasswordChange::Set);
  relay.Send(MsgAdmitRequest, "10.0.0.5\t지원팀\t" + MakeSessionProof("222333444", HashPassword("abcd")));
  ASSERT_TRUE(Wait([&] { return relay.Saw(MsgAdmitAccept); }));
  EXPECT_TRUE(View.Questions.empty());

  struct TCase {
    const char* Name;
    std::string Proof;
    std::string Why;
  } const cases[] = {
      {"no password", "", ""},
      {"wrong password", MakeSessionProof("222333444", HashPassword("abce")), "요청자가 입력한 비밀번호가 맞지 않습니다.\r\n"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    View.Questions.clear();
    relay.Send(MsgAdmitRequest, "10.0.0.5\t지원팀\t" + c.Proof);
    ASSERT_TRUE(Wait([&] { return View.Questions.size() == 1; }));
    EXPECT_EQ(View.Questions[0],
              "원격 지원 접속 요청이 있습니다.\r\n요청자: 지원팀 (10.0.0.5)\r\n" + c.Why +
                  "암호화되지 않은 연결입니다.\r\n\r\n이 접속을 허용하시겠습니까?");
  }
}

// ---- the environment's files and the automatic connection ----

TEST_F(ClientAppTest, IdFileAndAutoConnect) {
  Env.IdFile = (FDir / "id.txt").string();
  Env.AutoConnect = "555 666";
  Env.AutoPassword = " pw ";
  TScriptedRelay relay("000111222");
  Open(relay.Port());
  EXPECT_TRUE(Opened.empty()) << "the automatic connection waits for the event loop";
  ASSERT_TRUE(Wait([&] { return !Opened.empty() && Core->MyID() == "000111222"; }));
  EXPECT_EQ(Opened[0].TargetID, "555 666") << "used unchanged";
  EXPECT_EQ(Opened[0].MyName, "AutoViewer");
  EXPECT_EQ(Opened[0].Proof, MakeSessionProof("555 666", HashPassword(" pw "))) << "not trimmed";
  EXPECT_EQ(test::ReadFile(Env.IdFile), "000111222");
  EXPECT_TRUE(Core->Recent().empty());
  EXPECT_EQ(View.Ids.back(), "000111222");
}

TEST_F(ClientAppTest, IdFileInAMissingFolderIsIgnored) {
  Env.IdFile = (FDir / "missing" / "id.txt").string();
  TScriptedRelay relay("123123123");
  OpenAt(relay, "123123123");
  EXPECT_FALSE(fs::exists(FDir / "missing"));
  EXPECT_TRUE(View.ConfigErrors.empty());
}

// Every configuration write goes through one path: a failure is one report naming the file,
// and the program goes on with what it was told.
TEST_F(ClientAppTest, ConfigWriteFailuresAreReportedAndTheProgramGoesOn) {
  std::ofstream(FDir / "blocked") << "a file where the folder belongs";
  Env.ConfigDir = (FDir / "blocked" / "TLMRemote").string();
  TScriptedRelay relay("121212121");
  Open(relay.Port());
  ASSERT_EQ(View.ConfigErrors.size(), 1u) << "the device key could not be stored";
  EXPECT_NE(View.ConfigErrors[0].find(Core->Config().Path()), std::string::npos) << View.ConfigErrors[0];
  EXPECT_NE(View.ConfigErrors[0].find("Not a directory"), std::string::npos) << View.ConfigErrors[0];
  ASSERT_TRUE(Wait([&] { return Core->MyID() == "121212121"; }));
  ASSERT_EQ(relay.Registrations().size(), 1u);
  EXPECT_EQ(relay.Registrations()[0].size(), 33u) << "registered with the key kept in memory";

  const std::vector<std::pair<const char*, std::function<void()>>> actions = {
      {"quality", [&] { Core->SetQuality(0); }},
      {"password", [&] { Core->ChangePassword(true, "abcd"); }},
      {"connect", [&] { Core->Connect("987654321", ""); }},
      {"remove recent", [&] { Core->RemoveRecent(0); }},
      {"keep aspect", [&] { Core->SetKeepAspect(false); }},
  };
  for (const auto& [name, action] : actions) {
    SCOPED_TRACE(name);
    View.ConfigErrors.clear();
    action();
    ASSERT_EQ(View.ConfigErrors.size(), 1u);
    EXPECT_NE(View.ConfigErrors[0].find("config.ini"), std::string::npos);
  }
  EXPECT_EQ(Core->Quality(), 0);
  EXPECT_EQ(Core->Config().PasswordHash(), HashPassword("abcd"));
  EXPECT_FALSE(Core->KeepAspect());
  EXPECT_TRUE(Core->Recent().empty());
  ASSERT_EQ(Opened.size(), 1u) << "the viewer opens all the same";
}

// ---- the log ----

TEST_F(ClientAppTest, LogEntriesAreCutSummarisedAndCopiedToTheLogFile) {
  Env.LogFile = (FDir / "log.txt").string();
  Open(ClosedPort());
  View.Log.clear();
  const std::string korean = [] {
    std::string s;
    for (int i = 0; i < 3000; ++i) s += "가";
    return s;
  }();
  struct TCase {
    std::string Given;
    std::string Shown;
    int Repeats;
  } const cases[] = {
      {std::string(5000, 'z'), std::string(2000, 'z') + "\xE2\x80\xA6", 0},
      {korean, korean.substr(0, 3 * 2000) + "\xE2\x80\xA6", 0},  // cut between characters
      {std::string(2000, 'y'), std::string(2000, 'y'), 0},
      {"연결 끊김", "연결 끊김", 0},
      {"연결 끊김", "연결 끊김", 1},
      {"연결 끊김", "연결 끊김", 2},
      {"other", "other", 0},
      {"two\nlines", "two\nlines", 0},
      {"two\nlines", "two\nlines", 0},  // a line break is never summarised
  };
  for (const TCase& c : cases) Core->AddLog(c.Given);
  ASSERT_EQ(View.Log.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(View.Log[i].Text, cases[i].Shown);
    EXPECT_EQ(View.Log[i].Repeats, cases[i].Repeats);
    EXPECT_EQ(View.Log[i].Stamp.size(), 8u);
    EXPECT_EQ(View.Log[i].Stamp[2], ':');
  }
  const std::string file = test::ReadFile(Env.LogFile);
  EXPECT_NE(file.find(View.Log[4].Stamp + " 연결 끊김\n" + View.Log[5].Stamp + " 연결 끊김\n"), std::string::npos)
      << "the file gets every entry as it is";
  EXPECT_EQ(file.find("(2회 반복)"), std::string::npos);
}

// A megabyte of chat costs one short entry, not a megabyte of log.
TEST_F(ClientAppTest, ChatFromTheViewerIsLoggedCut) {
  TScriptedRelay relay("343434343");
  OpenInSession(relay, "343434343");
  relay.Send(MsgChat, std::string(1 << 20, 'm'));
  relay.Send(MsgChat, "안녕하세요");
  ASSERT_TRUE(Wait([&] { return View.Chats.size() == 2; }));
  EXPECT_TRUE(View.Logged("[채팅] 원격: 안녕하세요"));
  EXPECT_TRUE(View.Logged("[채팅] 원격: " + std::string(2000 - 9, 'm') + "\xE2\x80\xA6"));
}

// ---- consent and the admission record ----

TEST_F(ClientAppTest, ConsentAnswerDecidesAdmissionAndIsRecorded) {
  for (const bool allow : {false, true}) {
    SCOPED_TRACE(allow);
    View = TRecordingView();
    View.Ui = &Ui;
    View.Answer = allow;
    TScriptedRelay relay("111111111");
    OpenAt(relay, "111111111");
    relay.Send(MsgAdmitRequest, "10.0.0.5\tKim\t");
    ASSERT_TRUE(Wait([&] { return relay.Saw(allow ? MsgAdmitAccept : MsgAdmitReject); }));
    ASSERT_EQ(View.Questions.size(), 1u);
    EXPECT_TRUE(Wait([&] {
      return test::ReadFile(Core->Config().AdmissionsPath()).find(allow ? "\tKim\t10.0.0.5\t동의\n" : "\tKim\t10.0.0.5\t거부\n") !=
             std::string::npos;
    })) << test::ReadFile(Core->Config().AdmissionsPath());
    if (allow) {
      relay.Send(MsgSessionStart, "");
      ASSERT_TRUE(Wait([&] { return Core->HostState() == EHostState::InSession; }));
      relay.Send(MsgSessionEnd, "");
      ASSERT_TRUE(Wait([&] { return View.Logged("상담원 연결 종료: Kim (10.0.0.5)"); }));
      EXPECT_EQ(View.Sessions, (std::vector<bool>{true, false}));
    }
    Core.reset();
  }
}

TEST_F(ClientAppTest, WithdrawnAndUnansweredQuestionsCloseThePrompt) {
  struct TCase {
    const char* Name;
    bool Withdraw;
    std::string Logged;
    std::string Recorded;
  } const cases[] = {
      {"withdrawn", true, "접속 요청 취소됨: 지원 팀 (10.0.0.5)", "\t지원 팀\t10.0.0.5\t요청 취소\n"},
      {"unanswered", false, "접속 요청 시간 초과, 거부됨: 지원 팀 (10.0.0.5)", "\t지원 팀\t10.0.0.5\t시간 초과\n"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    View = TRecordingView();
    View.Ui = &Ui;
    View.StayOpen = true;
    TScriptedRelay relay("565656565");
    THostTimings t = Timings();
    t.ConsentTimeoutMs = c.Withdraw ? 60000 : 300;
    OpenAt(relay, "565656565", t);
    if (c.Withdraw) View.WhileOpen = [&] { relay.Send(MsgAdmitWithdrawn, ""); };
    relay.Send(MsgAdmitRequest, "10.0.0.5\t지원\u202E팀\t");
    ASSERT_TRUE(Wait([&] { return View.ConsentCloses == 1 && relay.Saw(MsgAdmitReject); }));
    EXPECT_NE(View.Questions[0].find("요청자: 지원 팀 (10.0.0.5)"), std::string::npos) << View.Questions[0];
    EXPECT_TRUE(Wait([&] { return View.Logged(c.Logged); }));
    EXPECT_TRUE(Wait([&] {
      return test::ReadFile(Core->Config().AdmissionsPath()).find(c.Recorded) != std::string::npos;
    })) << test::ReadFile(Core->Config().AdmissionsPath());
    Core.reset();
  }
}

// ---- the session as the helped person controls it ----

TEST_F(ClientAppTest, ChatReplyAndEndSession) {
  TScriptedRelay relay("909090909");
  OpenInSession(relay, "909090909");
  // The scripted relay started a session nobody encrypted: the window is told so.
  ASSERT_TRUE(Wait([&] { return !View.Securities.empty(); }));
  EXPECT_EQ(View.Securities, std::vector<std::string>{std::string(PlainConnectionText)});
  EXPECT_FALSE(Core->SendChat("  ")) << "blank lines are not sent";
  EXPECT_TRUE(Core->SendChat("네, 보고 있습니다"));
  ASSERT_TRUE(Wait([&] { return relay.Saw(MsgChat); }));
  EXPECT_EQ(relay.Texts(MsgChat), std::vector<std::string>{"네, 보고 있습니다"});
  EXPECT_TRUE(View.Logged("[채팅] 나: 네, 보고 있습니다"));

  Core->EndSessionByUser();
  EXPECT_EQ(View.Sessions.back(), false) << "the window hides its session controls at once";
  ASSERT_TRUE(Wait([&] { return relay.Registrations().size() == 2 && Core->HostState() == EHostState::Online; }));
  EXPECT_EQ(relay.Registrations()[0], relay.Registrations()[1]) << "same device key, so the same ID";
  EXPECT_TRUE(Wait([&] { return Core->MyID() == "909090909"; }));
  EXPECT_FALSE(Core->SendChat("late")) << "no session: nothing is sent";
}

// Viewer text goes to the session's clipboard during a session and to the platform's outside
// one; the local user's copies reach the viewer only while the session lasts.
TEST_F(ClientAppTest, ClipboardIsRoutedByTheSession) {
  TScriptedRelay relay("232323232");
  OpenAt(relay, "232323232");
  relay.Send(MsgClipboard, "before");
  ASSERT_TRUE(Wait([&] { return Fallback.Texts.size() == 1; }));
  EXPECT_EQ(Clips.Made, 0);

  relay.Send(MsgSessionStart, "");
  ASSERT_TRUE(Wait([&] { return Core->InSession() && Clips.LocalCopy != nullptr; }));
  relay.Send(MsgClipboard, "viewer copy");
  ASSERT_TRUE(Wait([&] { return Clips.Applied.size() == 1; }));
  EXPECT_EQ(Clips.Applied[0], "viewer copy");
  Clips.LocalCopy("host copy");
  ASSERT_TRUE(Wait([&] { return relay.Saw(MsgClipboard); }));
  EXPECT_EQ(relay.Texts(MsgClipboard), std::vector<std::string>{"host copy"});

  relay.Send(MsgSessionEnd, "");
  ASSERT_TRUE(Wait([&] { return !Core->InSession() && Clips.LocalCopy == nullptr; }));
  relay.Send(MsgClipboard, "after");  // a hostile relay may send it outside a session
  relay.Send(MsgChat, "sync");
  Wait([&] { return Fallback.Texts.size() == 2; }, 2000);
  EXPECT_EQ(Clips.Applied.size(), 1u) << "the ended session's clipboard is gone";
  EXPECT_EQ(Clips.Made, 1);
}

// ---- views ----

// A view removed from inside another view's call (a window closing while a box is open) is not
// called again; what the agent queued before the core went does nothing.
TEST_F(ClientAppTest, RemovedViewsAreNotCalledAndTeardownIsQuiet) {
  struct TRemover final : IClientView {
    TClientApp* Core = nullptr;
    IClientView* Other = nullptr;
    int Calls = 0;
    void LogAdded(const TLogEntry&) override {
      ++Calls;
      Core->RemoveView(Other);
    }
  };
  Open(ClosedPort());
  TRemover first;
  TRecordingView second;
  first.Core = Core.get();
  first.Other = &second;
  Core->RemoveView(&View);
  Core->AddView(&first);
  Core->AddView(&second);
  Core->AddLog("one");
  EXPECT_EQ(first.Calls, 1);
  EXPECT_TRUE(second.Log.empty());
  Core->RemoveView(&first);
  Core.reset();

  TScriptedRelay relay("333333333");
  OpenAt(relay, "333333333");
  relay.Send(MsgSessionStart, "");
  for (int i = 0; i < 50; ++i) relay.Send(MsgChat, "late");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the agent queue its calls
  Core.reset();
  Ui.RunUntil([] { return false; }, 100);  // whatever is queued runs against nothing (ASan watches)
}

}  // namespace
}  // namespace tlm
