// The native main window as a view of the real client core under Wine: the one-time password
// shown and renewed by its button, the partner-ID field holding the focus at the start, the
// security line, the recent list's names and its kept passwords, and the settings dialog
// writing what the core then reads. The host agent's relay is a closed port: the host stays
// offline, which none of these needs.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/ClientApp.h"
#include "app/Config.h"
#include "platform/Folders.h"
#include "protocol/LocalFiles.h"
#include "protocol/SecurePins.h"
// Last: <windows.h> defines names the engines' headers use.
#include <windows.h>

#include "tests/windows/WinPump.h"
#include "winui/Autostart.h"
#include "winui/MainView.h"
#include "winui/SettingsDialog.h"
#include "winui/WinControls.h"
#include "winui/WinDispatcher.h"

namespace tlm {
namespace {

using test::PumpFor;
using test::PumpUntil;

class TOtpCount final : public IClientView {
public:
  void OneTimePasswordChanged(const std::string&) override { ++Changes; }
  int Changes = 0;
};

class TClipboardSink final : public IClipboardSetter {
public:
  void SetClipboardText(const std::string&) override {}
};

// A core over a fresh configuration folder, its window, and what the boxes were asked.
class TMainViewFixture : public ::testing::Test {
protected:
  void SetUp() override {
    Folder = UserConfigDir() + "\\tlm-main-view-test-" + std::to_string(::GetTickCount());
    Env.RelayHost = "127.0.0.1";
  }

  void Make(TWinMainBoxes ABoxes = {}) {
    MakeFolders(Folder);
    Env.ConfigDir = Folder;
    Env.ComputerName = "WINE-PC";
    TClientParts parts;
    parts.Services.Clipboard = &Clipboard;
    parts.Services.DownloadDir = Folder;
    parts.OpenViewer = [this](const TViewerRequest& ARequest) { Opened.push_back(ARequest); };
    parts.RelayPort = 9;  // nothing listens: the host stays offline
    Core = std::make_unique<TClientApp>(Ui, Env, std::move(parts));
    if (!ABoxes.Info) ABoxes.Info = [this](HWND, const std::string& AText) { Infos.push_back(AText); };
    if (!ABoxes.Error) ABoxes.Error = [this](HWND, const std::string& AText) { Infos.push_back("error: " + AText); };
    View = std::make_unique<TWinMainView>(*Core, std::move(ABoxes));
    Core->AddView(View.get());
    Core->AddView(&Otp);
    View->Window().Show();
    Core->Start();
  }

  void TearDown() override {
    if (Core) {
      Core->RemoveView(&Otp);
      Core->RemoveView(View.get());
    }
    View.reset();
    Core.reset();
  }

  std::string Folder;
  TWinDispatcher Ui;
  TEnvironment Env;
  TClipboardSink Clipboard;
  TOtpCount Otp;
  std::vector<TViewerRequest> Opened;
  std::vector<std::string> Infos;
  std::unique_ptr<TClientApp> Core;
  std::unique_ptr<TWinMainView> View;
};

TEST_F(TMainViewFixture, ShowsTheOneTimePasswordAndRenewsItByItsButton) {
  Make();
  ASSERT_TRUE(PumpUntil([&] { return !Core->OneTimePassword().empty(); }, 5000));
  PumpFor(100);
  EXPECT_EQ(View->Window().OneTimePasswordText(), Core->OneTimePassword());
  const int before = Otp.Changes;
  ::SendMessageW(View->Window().RenewOtpButton(), BM_CLICK, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return Otp.Changes > before; }, 5000)) << "the button renewed nothing";
  EXPECT_EQ(View->Window().OneTimePasswordText(), Core->OneTimePassword());
  EXPECT_FALSE(View->Window().OneTimePasswordText().empty());
}

TEST_F(TMainViewFixture, StartsWithTheFocusOnThePartnerIdAndShowsTheSecurityLineAsTheCoreHasIt) {
  Make();
  PumpFor(200);
  // A supporter's first keys go to the partner's ID, never into this computer's password.
  EXPECT_EQ(::GetFocus(), View->Window().RemoteIDEdit());
  // The code under the ID is the core's, or no line where the build has none; never a made-up one.
  const std::string code = Core->SecurityCode();
  EXPECT_EQ(View->Window().SecurityLineText(), code.empty() ? std::string() : "보안 코드 " + code);
  // A session in clear says so in a warning for as long as it runs; its end brings the code back.
  View->SessionSecurityChanged(std::string(PlainConnectionText));
  EXPECT_EQ(View->Window().SecurityLineText(), std::string(PlainConnectionText));
  EXPECT_TRUE(View->Window().SecurityLineWarns());
  View->SessionChanged(false);
  EXPECT_EQ(View->Window().SecurityLineText(), code.empty() ? std::string() : "보안 코드 " + code);
  EXPECT_FALSE(View->Window().SecurityLineWarns());
  EXPECT_EQ(View->Window().SessionLineText(), "") << "a session line outside a session";
}

TEST_F(TMainViewFixture, RecentEntriesCarryTheirNamesAndAKeptPasswordConnectsWithoutAsking) {
  int asked = 0;
  TWinMainBoxes boxes;
  boxes.PartnerPassword = [&](HWND, std::string& APassword, bool& ARemember) {
    ++asked;
    APassword = "비밀";
    ARemember = true;
    return true;
  };
  boxes.Text = [](HWND, const std::string&, const std::string&, std::string& AText) {
    AText = "회계팀 김 과장";
    return true;
  };
  Make(boxes);
  ::SetWindowTextW(View->Window().RemoteIDEdit(), L"123 456 789");
  ::SendMessageW(View->Window().RemoteIDEdit(), WM_KEYDOWN, VK_RETURN, 0);
  ASSERT_EQ(asked, 1);
  ASSERT_EQ(Opened.size(), 1u);
  View->RenameRecent(0);
  EXPECT_EQ(View->Window().RecentLines(), std::vector<std::string>{"123 456 789   회계팀 김 과장"});
  // The kept proof: the recent entry connects at once, with the same proof.
  View->ActivateRecent(0);
  EXPECT_EQ(asked, 1) << "asked for a password that was kept";
  ASSERT_EQ(Opened.size(), 2u);
  EXPECT_EQ(Opened[1].Proof, Opened[0].Proof);
  EXPECT_FALSE(Opened[1].Proof.empty());
  // Connecting again keeps the name.
  EXPECT_EQ(View->Window().RecentLines(), std::vector<std::string>{"123 456 789   회계팀 김 과장"});
}

// The settings as typed into the real dialog, and what the core holds afterwards.
struct TSettingsCase {
  const char* What;
  const char* Name;
  const char* Relay;
  bool Tls;
  bool Autostart;  // "시작할 때 자동 실행" as ticked
  bool Accepted;
  const char* Error;  // part of the reason shown when refused
};

TEST_F(TMainViewFixture, TheSettingsDialogStoresWhatTheCoreReadsAndRefusesWhatBreaksTheRules) {
  const std::vector<TSettingsCase> cases = {
      {"a name and a relay are stored, and the program starts at login", "상담실 PC", "relay.example.org", false,
       true, true, ""},
      {"TLS is stored, and the start at login is off again", "상담실 PC", "relay.example.org", true, false, true, ""},
      {"a relay with a blank is refused", "상담실 PC", "relay example", false, true, false, "중계"},
      {"an empty name is refused", "", "relay.example.org", false, true, false, "이름"},
  };
  TSettingsCase current{};
  std::string shownError;
  TWinMainBoxes boxes;
  bool shownAutostart = false;
  boxes.Settings = [&](HWND AOwner, TClientSettings& ASettings, bool& AAutostart, const TSettingsOverrides& AEnv) {
    TWinSettingsDialog dialog(AOwner, ASettings, AEnv, AAutostart);
    shownAutostart = ::SendMessageW(dialog.AutostartBox(), BM_GETCHECK, 0, 0) == BST_CHECKED;
    SetWindowTextUtf8(dialog.NameEdit(), current.Name);
    SetWindowTextUtf8(dialog.RelayEdit(), current.Relay);
    ::SendMessageW(dialog.TlsBox(), BM_SETCHECK, current.Tls ? BST_CHECKED : BST_UNCHECKED, 0);
    ::SendMessageW(dialog.AutostartBox(), BM_SETCHECK, current.Autostart ? BST_CHECKED : BST_UNCHECKED, 0);
    // "확인" as the user presses it.
    ::SendMessageW(::FindWindowExW(dialog.Handle(), nullptr, L"BUTTON", L"확인"), BM_CLICK, 0, 0);
    shownError = dialog.ErrorText();
    if (!dialog.Accepted()) return false;  // the user gives up: "취소"
    ASettings = dialog.Settings();
    AAutostart = dialog.Autostart();
    return true;
  };
  Env.RelayHost.clear();  // the stored relay counts
  Make(boxes);
  TWinAutostart autostart("C:\\Program Files\\TALMIR Remote\\TLMRemoteClient.exe");
  autostart.Disable();
  View->SetAutostart(autostart);
  auto runValue = [] {
    wchar_t value[512] = L"";
    DWORD size = sizeof value;
    if (::RegGetValueW(HKEY_CURRENT_USER, TWinAutostart::RunKey, TWinAutostart::ValueName, RRF_RT_REG_SZ, nullptr,
                       value, &size) != ERROR_SUCCESS)
      return std::string();
    return Utf8FromWide(value);
  };
  for (const TSettingsCase& c : cases) {
    current = c;
    const TClientSettings before = Core->Settings();
    const bool autostartBefore = autostart.Enabled();
    View->OpenSettings();
    EXPECT_EQ(shownAutostart, autostartBefore) << c.What << ": the box shows what is registered";
    if (!c.Accepted) {
      EXPECT_NE(shownError.find(c.Error), std::string::npos) << c.What << ": " << shownError;
      EXPECT_EQ(Core->Settings(), before) << c.What;
      EXPECT_EQ(autostart.Enabled(), autostartBefore) << c.What;
      continue;
    }
    EXPECT_EQ(autostart.Enabled(), c.Autostart) << c.What;
    EXPECT_EQ(runValue(), c.Autostart ? "\"C:\\Program Files\\TALMIR Remote\\TLMRemoteClient.exe\"" : "") << c.What;
    EXPECT_EQ(shownError, "") << c.What;
    EXPECT_EQ(Core->Settings().MyName, c.Name) << c.What;
    EXPECT_EQ(Core->RelayHost(), c.Relay) << c.What;
    EXPECT_EQ(Core->Settings().RelayTls, c.Tls) << c.What;
    // What the next start reads: the file itself.
    const TAppConfig stored(Env);
    EXPECT_EQ(stored.RelayHost(), c.Relay) << c.What;
  }
}

TEST(WinSettingsDialog, FieldsTheEnvironmentSetsShowItsValueAndKeepTheStoredOne) {
  TClientSettings stored;
  stored.MyName = "PC";
  stored.RelayHost = "stored.example.org";
  TSettingsOverrides env;
  env.RelayHost = "env.example.org";
  TWinSettingsDialog dialog(nullptr, stored, env);
  EXPECT_EQ(WindowTextUtf8(dialog.RelayEdit()), "env.example.org");
  EXPECT_FALSE(::IsWindowEnabled(dialog.RelayEdit()));
  // The certificate file follows the TLS box.
  EXPECT_FALSE(::IsWindowEnabled(dialog.CaEdit()));
  ::SendMessageW(dialog.TlsBox(), BM_CLICK, 0, 0);
  EXPECT_TRUE(::IsWindowEnabled(dialog.CaEdit()));
  ::SendMessageW(dialog.TlsBox(), BM_CLICK, 0, 0);
  ASSERT_TRUE(dialog.TryAccept()) << dialog.ErrorText();
  EXPECT_EQ(dialog.Settings().RelayHost, "stored.example.org");
  EXPECT_EQ(dialog.Settings().MyName, "PC");
}

// Closing the main window: with a tray the host goes on running there (asked once while a
// password admits by itself, the answer kept), the tray opens the window again and its "종료"
// ends the program; without a tray closing ends it, after asking while a password admits.
TEST_F(TMainViewFixture, ClosingGoesToTheTrayOrEndsAsTheCloseRuleSays) {
  bool tray = false, answer = false;
  int asked = 0, quits = 0;
  TWinMainBoxes boxes;
  boxes.TrayAvailable = [&] { return tray; };
  boxes.Question = [&](HWND, const std::string&) {
    ++asked;
    return answer;
  };
  Make(boxes);
  View->OnQuit = [&] { ++quits; };
  const HWND window = View->Window().Handle();
  struct TCase {
    const char* What;
    bool Tray, Password, Answer;
    bool Asked, Quits, Hidden;
    std::optional<bool> KeptAfter;
  } const cases[] = {
      {"no tray, no password", false, false, false, false, true, false, std::nullopt},
      {"no tray, a password, stay", false, true, false, true, false, false, std::nullopt},
      {"no tray, a password, end", false, true, true, true, true, false, std::nullopt},
      {"a tray, no password: no question", true, false, false, false, false, true, std::nullopt},
      {"a tray, a password, end", true, true, false, true, true, false, false},
      {"the answer kept", true, true, true, false, true, false, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    tray = c.Tray;
    answer = c.Answer;
    Core->ChangePassword(c.Password, c.Password ? "창문1234" : "");
    asked = quits = 0;
    View->Window().BringToFront();
    ::SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(asked > 0, c.Asked);
    EXPECT_EQ(quits > 0, c.Quits);
    EXPECT_EQ(!::IsWindowVisible(window), c.Hidden);
    EXPECT_EQ(Core->KeepRunningOnClose(), c.KeptAfter);
    if (c.Tray) {
      EXPECT_TRUE(View->Tray().Shown()) << "Wine's notification area took no icon";
    }
  }
  // Kept as "keep running": to the tray without a word; the tray brings the window back and ends.
  Core->SetKeepRunningOnClose(true);
  asked = quits = 0;
  ::SendMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_FALSE(::IsWindowVisible(window));
  EXPECT_EQ(asked, 0);
  View->Tray().Choose(TWinTrayIcon::MenuOpen);
  EXPECT_TRUE(::IsWindowVisible(window));
  EXPECT_EQ(quits, 0);
  View->Tray().Choose(TWinTrayIcon::MenuQuit);
  EXPECT_EQ(quits, 1);

  // Explorer starts again: its new taskbar has no icons, and ours is put back.
  NOTIFYICONDATAW icon{};
  icon.cbSize = sizeof icon;
  icon.hWnd = View->Tray().Handle();
  icon.uID = TWinTrayIcon::IconId;
  ASSERT_TRUE(::Shell_NotifyIconW(NIM_DELETE, &icon));
  EXPECT_FALSE(::Shell_NotifyIconW(NIM_MODIFY, &icon)) << "a deleted icon still answers";
  ::SendMessageW(View->Tray().Handle(), TWinTrayIcon::TaskbarCreatedMessage(), 0, 0);
  EXPECT_TRUE(::Shell_NotifyIconW(NIM_MODIFY, &icon)) << "the icon was not put back";
}

// The line under "원격 제어" while a viewer waits for its partner: the wait with "취소", which
// withdraws it, the reason it ended in its place, and the hint again once admitted.
TEST_F(TMainViewFixture, ThePendingLineTellsTheWaitAndItsCancelWithdrawsIt) {
  Make();
  TWinClientMain& window = View->Window();
  const std::string hint(TWinClientMain::IdleHint);
  EXPECT_EQ(window.RemoteHintText(), hint);
  EXPECT_FALSE(::IsWindowVisible(window.CancelPendingButton()));
  int cancels = 0;
  window.ShowPending("123 456 789: 상대방 승인 대기 중...", [&] { ++cancels; });
  EXPECT_EQ(window.RemoteHintText(), "123 456 789: 상대방 승인 대기 중...");
  EXPECT_TRUE(::IsWindowVisible(window.CancelPendingButton()));
  ::SendMessageW(window.CancelPendingButton(), BM_CLICK, 0, 0);
  EXPECT_EQ(cancels, 1);
  EXPECT_EQ(window.RemoteHintText(), hint);
  EXPECT_FALSE(::IsWindowVisible(window.CancelPendingButton()));

  window.ShowPending("123 456 789: 연결 중...", [&] { ++cancels; });
  window.EndPending("123 456 789: 상대방이 접속을 거부했습니다");
  EXPECT_EQ(window.RemoteHintText(), "123 456 789: 상대방이 접속을 거부했습니다");
  EXPECT_FALSE(::IsWindowVisible(window.CancelPendingButton()));
  ::SendMessageW(window.CancelPendingButton(), BM_CLICK, 0, 0);  // hidden, and nothing left to cancel
  EXPECT_EQ(cancels, 1);
  window.ShowPending("123 456 789: 연결 중...", [&] { ++cancels; });
  window.EndPending("");  // admitted: the viewer window shows itself
  EXPECT_EQ(window.RemoteHintText(), hint);
  EXPECT_EQ(cancels, 1);
}

}  // namespace
}  // namespace tlm
