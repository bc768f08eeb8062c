#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QCheckBox>
#include <QDialog>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "app/ClientMain.h"
#include "app/HostClipboard.h"
#include "platform/fake/FakeScreen.h"
#include "protocol/Credentials.h"
#include "protocol/Messages.h"
#include "qtui/QtDispatcher.h"
#include "tests/app/QtWait.h"
#include "tests/app/ScriptedRelay.h"
#include "tests/support/TempFiles.h"

namespace tlm {
namespace {

namespace fs = std::filesystem;


using test::ClosedPort;
using test::TScriptedRelay;

class MainWindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    FDir = fs::temp_directory_path() / ("tlmmain-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(FDir);
    fs::create_directories(FDir);
    Env.ConfigDir = (FDir / "cfg").string();
    Env.ComputerName = "MY-PC";
    FDialogs.Info = [this](QWidget*, const QString& AText) { Messages << AText; };
    FDialogs.Error = [this](QWidget*, const QString& AText) { Errors << AText; };
    FDialogs.Question = [this](QWidget*, const QString& AText) {
      Questions << AText;
      if (!QuestionStaysOpen) return Answer;
      // Like a modal box nobody answers: its own loop runs until it is closed from outside.
      QuestionOpen = true;
      if (OnQuestionOpen) OnQuestionOpen();
      WaitFor([&] { return !QuestionOpen; }, 30000);
      return false;
    };
    FDialogs.CloseQuestion = [this] { QuestionOpen = false; };
    FDialogs.Input = [this](QWidget*, const QString&, const QString&, QString& AText) {
      ++Inputs;
      if (!InputAnswer) return false;
      AText = *InputAnswer;
      return true;
    };
  }
  void TearDown() override {
    Close();
    fs::remove_all(FDir);
  }
  // The program's order: the core, the window as its view, then the core starts.
  void Open(uint16_t APort, THostTimings ATimings = Timings()) {
    TClientParts parts;
    parts.Services.MakeScreen = [] { return std::make_shared<TFakeScreen>(640, 480); };
    parts.Services.DownloadDir = (FDir / "dl").string();
    parts.Services.Clipboard = &Clipboard;
    parts.SessionClipboard = QtSessionClipboards();
    parts.OpenViewer = [this](const TViewerRequest& ARequest) { Opened.push_back(ARequest); };
    parts.RelayPort = APort;
    parts.Timings = ATimings;
    Core = std::make_unique<TClientApp>(Ui, Env, std::move(parts));
    Form = std::make_unique<TfrmClientMain>(*Core, FDialogs);
    Core->Start();
  }
  void Close() {
    Form.reset();
    Core.reset();
  }
  template <typename TWidget>
  TWidget* Child(const char* AName) {
    auto* widget = Form->findChild<TWidget*>(QString::fromLatin1(AName));
    EXPECT_NE(widget, nullptr) << AName;
    return widget;
  }
  QLineEdit* RemoteID() { return Child<QLineEdit>("edtRemoteID"); }
  QLineEdit* Password() { return Child<QLineEdit>("edtPassword"); }
  QCheckBox* AutoPw() { return Child<QCheckBox>("chkAutoPw"); }
  QComboBox* Quality() { return Child<QComboBox>("cbQuality"); }
  QListWidget* Recent() { return Child<QListWidget>("lstRecent"); }
  QPushButton* ConnectButton() { return Child<QPushButton>("btnConnect"); }
  QPushButton* SetPwButton() { return Child<QPushButton>("btnSetPw"); }
  QPushButton* EndSessionButton() { return Child<QPushButton>("btnEndSession"); }
  QLineEdit* Chat() { return Child<QLineEdit>("edtChat"); }
  void Connect(const QString& ATyped) {
    RemoteID()->setText(ATyped);
    ConnectButton()->click();
  }
  void SetPassword(bool AChecked, const QString& ATyped) {
    AutoPw()->setChecked(AChecked);
    Password()->setText(ATyped);
    SetPwButton()->click();
  }
  static THostTimings Timings() {
    THostTimings t;
    t.ConnectTimeoutMs = 2000;
    t.ReconnectWaitMs = 200;
    return t;
  }
  // Registered at a scripted relay, in a session.
  void OpenInSession(TScriptedRelay& ARelay) {
    Open(ARelay.Port());
    ASSERT_TRUE(WaitFor([&] { return Core->HostState() == EHostState::Online && !Core->MyID().empty(); }));
    ARelay.Send(MsgSessionStart, "");
    ASSERT_TRUE(WaitFor([&] { return Core->InSession() && EndSessionButton()->isVisibleTo(Form.get()); }));
  }

  fs::path FDir;
  TQtDispatcher Ui;
  TEnvironment Env;
  TQtClipboardSetter Clipboard;
  TMainDialogs FDialogs;
  QStringList Messages;
  QStringList Questions;
  QStringList Errors;
  bool Answer = false;
  bool QuestionStaysOpen = false;
  bool QuestionOpen = false;
  std::function<void()> OnQuestionOpen;  // runs inside the open prompt
  int Inputs = 0;
  std::optional<QString> InputAnswer;
  std::vector<TViewerRequest> Opened;
  std::unique_ptr<TClientApp> Core;
  std::unique_ptr<TfrmClientMain> Form;
};

TEST_F(MainWindowTest, StartsWithTheDesignedTextsAndStoredQuality) {
  {
    TAppConfig cfg(Env);
    cfg.SetDefaultQuality(3);
  }
  Open(ClosedPort());
  EXPECT_EQ(Form->windowTitle(), "TALMIR Remote");
  EXPECT_EQ(Form->size(), QSize(760, 560));
  EXPECT_EQ(Form->MyIDText(), "--- --- ---");
  EXPECT_EQ(Form->HeaderState(), "연결 중");
  ASSERT_EQ(Quality()->count(), 4);
  EXPECT_EQ(Quality()->itemText(0), "빠름");
  EXPECT_EQ(Quality()->itemText(2), "고화질");
  EXPECT_EQ(Quality()->itemText(3), "부드럽게");
  EXPECT_EQ(Quality()->currentIndex(), 3) << "the stored link-paced preset is restored";
  EXPECT_FALSE(AutoPw()->isChecked());
  EXPECT_EQ(Form->MyPanelColor(), QColor(0xEB, 0xF3, 0xF5));
  Form->RefreshHeader();
  EXPECT_EQ(Form->HeaderState(), "오프라인");
}

TEST_F(MainWindowTest, StoredQualityOutsideTheListSelectsNothing) {
  {
    TAppConfig cfg(Env);
    cfg.SetDefaultQuality(7);
  }
  Open(ClosedPort());
  EXPECT_EQ(Quality()->currentIndex(), -1);
  Quality()->activated(0);  // the user's choice is stored
  EXPECT_EQ(TAppConfig(Env).DefaultQuality(), 0);
}

TEST_F(MainWindowTest, ConnectToChecksBeforeAskingForThePassword) {
  TScriptedRelay relay("123456789");
  Open(relay.Port());
  ASSERT_TRUE(WaitFor([&] { return Core->MyID() == "123456789" && Form->MyIDText() == "123 456 789"; }));
  Form->RefreshHeader();
  EXPECT_EQ(Form->HeaderState(), "온라인");

  struct TCase {
    QString Typed;
    QString Message;
  };
  const std::vector<TCase> refused = {
      {"", "접속할 ID를 입력하세요."},
      {"abc - ", "접속할 ID를 입력하세요."},
      {"123 456 789", "자기 자신에게는 접속할 수 없습니다."},
      {"123-456-789", "자기 자신에게는 접속할 수 없습니다."},
      {"12345", "접속 ID는 9자리 숫자입니다."},
      {"987 654 3210", "접속 ID는 9자리 숫자입니다."},
  };
  for (const auto& tc : refused) {
    Messages.clear();
    Connect(tc.Typed);
    EXPECT_EQ(Messages, QStringList{tc.Message}) << tc.Typed.toStdString();
  }
  EXPECT_EQ(Inputs, 0) << "no password dialog for a refused ID";
  EXPECT_TRUE(Opened.empty());
}

// A layout read at a glance: the log and the quality box have captions, the log is on a side of
// its own; the window starts with the keys in the partner's ID, not in this computer's password.
TEST_F(MainWindowTest, CaptionedLogAndQualityAndTheFocusInThePartnersID) {
  TScriptedRelay relay("123456789");
  Open(relay.Port());
  Form->show();
  ASSERT_TRUE(WaitFor([&] { return Form->isVisible(); }));
  EXPECT_EQ(Form->focusWidget(), RemoteID());
  EXPECT_EQ(Child<QLabel>("lblLog")->text(), "활동 기록");
  EXPECT_EQ(Child<QLabel>("lblQuality")->text(), "화질");
  EXPECT_EQ(Child<QLabel>("lblQuality")->buddy(), Quality());
  // The log sits right of the recent list, not inside it.
  EXPECT_GT(Form->LogView()->geometry().left(), Recent()->geometry().right());
  EXPECT_EQ(Child<QLabel>("lblLog")->geometry().left(), Form->LogView()->geometry().left());
}

// While the partner is asked the main window says so under the ID, with "취소"; an attempt that
// ends before a viewer window opens leaves its reason there, until another ID is typed.
TEST_F(MainWindowTest, AWaitingConnectionAndItsEndAreShownUnderTheID) {
  TScriptedRelay relay("123456789");
  Open(relay.Port());
  QPushButton* cancel = Child<QPushButton>("btnCancelPending");
  EXPECT_FALSE(cancel->isVisibleTo(Form.get()));
  int cancelled = 0;
  Form->ShowPending("987 654 321: 원격지 승인 대기 중...", [&] { ++cancelled; });
  EXPECT_EQ(Form->RemoteHintText(), "987 654 321: 원격지 승인 대기 중...");
  EXPECT_TRUE(cancel->isVisibleTo(Form.get()));
  cancel->click();
  EXPECT_EQ(cancelled, 1);
  EXPECT_FALSE(cancel->isVisibleTo(Form.get()));
  EXPECT_EQ(Form->RemoteHintText(), "상대방 접속 ID를 입력하세요");

  Form->ShowPending("987 654 321: 원격지 승인 대기 중...", [&] { ++cancelled; });
  Form->EndPending("987 654 321: 상대방이 오프라인이거나 존재하지 않는 ID입니다");
  EXPECT_FALSE(cancel->isVisibleTo(Form.get()));
  EXPECT_EQ(Form->RemoteHintText(), "987 654 321: 상대방이 오프라인이거나 존재하지 않는 ID입니다");
  EXPECT_TRUE(Messages.isEmpty());  // no box
  QKeyEvent typed(QEvent::KeyPress, Qt::Key_1, Qt::NoModifier, QStringLiteral("1"));
  QApplication::sendEvent(RemoteID(), &typed);
  EXPECT_EQ(Form->RemoteHintText(), "상대방 접속 ID를 입력하세요");

  Form->ShowPending("x", [&] { ++cancelled; });
  Form->EndPending(QString());  // admitted: the viewer window took over
  EXPECT_EQ(Form->RemoteHintText(), "상대방 접속 ID를 입력하세요");
  EXPECT_EQ(cancelled, 1);
}

// Closing the window: with a tray the host runs on (asked once while unattended access is on,
// the answer kept); without one, unattended access is not ended without a word.
TEST_F(MainWindowTest, ClosingKeepsTheHostInTheTrayOrAsksBeforeEndingUnattendedAccess) {
  TScriptedRelay relay("123456789");
  Open(relay.Port());
  SetPassword(true, "secret-pw");
  Form->show();
  struct TStep {
    const char* What;
    bool Tray;
    bool Answer;
    int Questions;  // asked so far
    bool Visible;   // after the close
  } steps[] = {
      {"no tray, keep unattended access", false, false, 1, true},
      {"no tray, end it", false, true, 2, false},
      {"tray, first close: keep running", true, true, 3, false},
      {"tray, the answer holds", true, false, 3, false},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.What);
    Form->show();
    Form->SetTrayCheck([&] { return step.Tray; });
    Answer = step.Answer;
    Form->close();
    EXPECT_EQ(Questions.size(), step.Questions);
    EXPECT_EQ(Form->isVisible(), step.Visible);
  }
  EXPECT_EQ(Core->KeepRunningOnClose(), std::optional<bool>(true));
  EXPECT_EQ(Core->Host()->Running(), true);  // hidden in the tray, still reachable
}

// "설정": what the dialog set is stored, the name goes to the next viewer request, and the
// autostart entry is made and removed.
TEST_F(MainWindowTest, SettingsAreStoredAndSwitchTheAutostartEntry) {
  Env.Folders.ConfigHome = (FDir / "xdg").string();
  TScriptedRelay relay("123456789");
  bool wantAutostart = true;
  FDialogs.Settings = [&](QWidget*, TClientSettings& ASettings, bool& AAutostart, const TSettingsOverrides&) {
    ASettings.MyName = "지원팀";
    ASettings.RelayHost = "relay.example.com";
    AAutostart = wantAutostart;
    return true;
  };
  Open(relay.Port());
  Child<QPushButton>("btnSettings")->click();
  EXPECT_EQ(Core->Settings().MyName, "지원팀");
  EXPECT_EQ(Core->Settings().RelayHost, "relay.example.com");
  EXPECT_EQ(Core->RelayHost(), "relay.example.com");
  EXPECT_TRUE(Form->Autostart().Enabled());
  EXPECT_TRUE(fs::exists(FDir / "xdg" / "autostart" / "tlmremote.desktop"));
  InputAnswer = QString();
  Connect("987654321");
  ASSERT_EQ(Opened.size(), 1u);
  EXPECT_EQ(Opened[0].MyName, "지원팀");
  EXPECT_EQ(Opened[0].Server, "relay.example.com");
  wantAutostart = false;
  Child<QPushButton>("btnSettings")->click();
  EXPECT_FALSE(fs::exists(FDir / "xdg" / "autostart" / "tlmremote.desktop"));
  // The environment's relay wins over the stored one.
  Close();
  Env.RelayHost = "env-relay";
  Open(relay.Port());
  EXPECT_EQ(Core->RelayHost(), "env-relay");
  EXPECT_EQ(Core->Overrides().RelayHost, std::optional<std::string>("env-relay"));
}

TEST_F(MainWindowTest, PasswordDialogDecidesTheProof) {
  Open(ClosedPort());
  Connect("987-654 321");  // cancelled
  EXPECT_EQ(Inputs, 1);
  EXPECT_TRUE(Opened.empty());
  EXPECT_TRUE(Form->RecentLines().isEmpty()) << "cancel adds nothing";

  InputAnswer = QString(" secret\t");
  Quality()->setCurrentIndex(0);
  Quality()->activated(0);
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(RemoteID(), &enter);  // Enter in the ID box connects too
  ASSERT_EQ(Opened.size(), 1u);
  EXPECT_EQ(Opened[0].TargetID, "987654321");
  EXPECT_EQ(Opened[0].Proof, MakeSessionProof("987654321", HashPassword("secret")));
  EXPECT_EQ(Opened[0].DefaultQuality, 0);
  EXPECT_EQ(Form->RecentLines(), QStringList{"987 654 321"}) << "grouped";

  // The link-paced preset is chosen, stored and given to the next viewer.
  Quality()->setCurrentIndex(3);
  Quality()->activated(3);
  EXPECT_EQ(TAppConfig(Env).DefaultQuality(), 3);
  QKeyEvent again(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(RemoteID(), &again);
  ASSERT_EQ(Opened.size(), 2u);
  EXPECT_EQ(Opened[1].DefaultQuality, 3);
}

TEST_F(MainWindowTest, RecentListShowsNamesAndReconnects) {
  {
    TAppConfig cfg(Env);
    std::ofstream(cfg.Path()) << "[Recent]\nr0=111222333|사무실\nr1=444555666|\n";
  }
  Open(ClosedPort());
  EXPECT_EQ(Form->RecentLines(), (QStringList{"111 222 333   사무실", "444 555 666"}));
  InputAnswer = QString();
  Recent()->setCurrentRow(1);
  Recent()->itemDoubleClicked(Recent()->item(1));
  ASSERT_EQ(Opened.size(), 1u);
  EXPECT_EQ(Opened[0].TargetID, "444555666");
  EXPECT_EQ(Form->RecentLines(), (QStringList{"444 555 666", "111 222 333   사무실"}));

  // The user names an entry; the name is cleaned, kept where the entry stands, survives a
  // restart and stays when the entry is connected to again.
  QString typed = QStringLiteral("  회계팀\u202E 김 과장 ");
  FDialogs.Text = [&](QWidget*, const QString&, const QString&, QString& AText) {
    AText = typed;
    return true;
  };
  Close();
  Open(ClosedPort());
  Form->RenameRecentAt(1);
  EXPECT_EQ(Form->RecentLines(), (QStringList{"444 555 666", "111 222 333   회계팀  김 과장"}));
  Close();
  Open(ClosedPort());
  EXPECT_EQ(Form->RecentLines(), (QStringList{"444 555 666", "111 222 333   회계팀  김 과장"}));
  Recent()->setCurrentRow(1);
  Recent()->itemDoubleClicked(Recent()->item(1));
  EXPECT_EQ(Form->RecentLines(), (QStringList{"111 222 333   회계팀  김 과장", "444 555 666"}));
  typed = QString();  // an empty name takes it away
  Form->RenameRecentAt(0);
  EXPECT_EQ(Form->RecentLines(), (QStringList{"111 222 333", "444 555 666"}));
}

// "비밀번호 기억": the recent list connects with the kept proof and asks nothing; the password
// itself is never stored; a connection without the wish, or removing the entry, forgets it.
TEST_F(MainWindowTest, ARememberedProofConnectsFromTheRecentListWithoutAsking) {
  int asked = 0;
  bool remember = true;
  FDialogs.PartnerPassword = [&](QWidget*, QString& APassword, bool& ARemember) {
    ++asked;
    APassword = QStringLiteral("secret-9");
    ARemember = remember;
    return true;
  };
  Open(ClosedPort());
  const std::string proof = MakeSessionProof("987654321", HashPassword("secret-9"));
  Connect("987 654 321");
  ASSERT_EQ(Opened.size(), 1u);
  EXPECT_EQ(Opened[0].Proof, proof);
  EXPECT_EQ(asked, 1);
  Close();
  Open(ClosedPort());  // kept across a restart
  const auto fromList = [&] {
    Recent()->setCurrentRow(0);
    Recent()->itemDoubleClicked(Recent()->item(0));
  };
  fromList();
  ASSERT_EQ(Opened.size(), 2u);
  EXPECT_EQ(Opened[1].Proof, proof);
  EXPECT_EQ(asked, 1);
  std::ifstream file(Core->Config().Path());
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.find("secret-9"), std::string::npos);

  remember = false;
  Connect("987654321");  // typed again, without the wish: forgotten
  EXPECT_EQ(asked, 2);
  fromList();
  EXPECT_EQ(asked, 3);
  remember = true;
  fromList();  // asked, and kept again
  EXPECT_EQ(asked, 4);
  EXPECT_TRUE(Core->RemembersPassword("987654321"));
  Recent()->setCurrentRow(0);
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
  QApplication::sendEvent(Recent(), &press);
  EXPECT_FALSE(Core->RemembersPassword("987654321"));
}

TEST_F(MainWindowTest, RecentEntriesAreRemovedByKeyAndRefusedUnknownIDsDisappear) {
  {
    TAppConfig cfg(Env);
    std::ofstream(cfg.Path()) << "[Recent]\nr0=111222333|\nr1=444555666|\nr2=777888999|\n";
  }
  Open(ClosedPort());
  Form->show();
  Recent()->setFocus();
  Recent()->setCurrentRow(1);
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
  QApplication::sendEvent(Recent(), &press);
  EXPECT_EQ(Form->RecentLines(), (QStringList{"111 222 333", "777 888 999"}));

  InputAnswer = QString();
  Connect("555000555");
  EXPECT_EQ(Form->RecentLines().first(), "555 000 555");
  Core->ViewerRefused("555000555", ERelayRefusal::Offline);  // as the viewer window reports it
  EXPECT_EQ(Form->RecentLines(), (QStringList{"111 222 333", "777 888 999"}));
}

TEST_F(MainWindowTest, SetPasswordButton) {
  Open(ClosedPort());
  struct TCase {
    bool Checked;
    QString Typed;
    QString Message;
    bool Stored;
    bool CheckedAfter;
  };
  const std::vector<TCase> cases = {
      {true, " abc ", "비밀번호는 4자 이상으로 설정하세요.", false, true},
      {true, " abcd ", "무인 접속 비밀번호가 설정되었습니다.", true, true},
      {false, "whatever", "무인 접속 비밀번호가 해제되었습니다. 이제 접속 시 동의 팝업으로 승인합니다.", false, false},
      {true, "  ", "무인 접속 비밀번호가 해제되었습니다. 이제 접속 시 동의 팝업으로 승인합니다.", false, false},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.Typed.toStdString());
    Messages.clear();
    SetPassword(tc.Checked, tc.Typed);
    EXPECT_EQ(Messages, QStringList{tc.Message});
    EXPECT_EQ(Core->HasPassword(), tc.Stored);
    EXPECT_EQ(AutoPw()->isChecked(), tc.CheckedAfter);
    EXPECT_EQ(Password()->text().isEmpty(), tc.Message != cases[0].Message) << "a refused one stays to be corrected";
  }
  SetPassword(true, " abcd ");
  EXPECT_EQ(Core->Config().PasswordHash(), HashPassword("abcd"));
  EXPECT_EQ(Password()->placeholderText(), "설정됨 ******");
}

TEST_F(MainWindowTest, TypedPasswordTicksTheBoxAndASetPasswordShowsAfterRestart) {
  Open(ClosedPort());
  Form->show();
  EXPECT_FALSE(AutoPw()->isChecked());
  for (const char c : std::string("pass1")) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QString(QChar(c)));
    QApplication::sendEvent(Password(), &press);
  }
  EXPECT_EQ(Password()->text(), "pass1");
  EXPECT_TRUE(AutoPw()->isChecked()) << "typing ticks the box";
  SetPwButton()->click();
  EXPECT_EQ(Core->Config().PasswordHash(), HashPassword("pass1"));
  Close();
  Open(ClosedPort());
  EXPECT_TRUE(AutoPw()->isChecked());
  EXPECT_TRUE(Password()->text().isEmpty()) << "the password itself is never shown";
  EXPECT_EQ(Password()->placeholderText(), "설정됨 ******");
}

// ---- the log ----

TEST_F(MainWindowTest, LogKeepsTheNewest201Lines) {
  Open(ClosedPort());
  Form->show();
  for (int i = 0; i < 260; ++i) Core->AddLog("line " + std::to_string(i));
  const QStringList lines = Form->LogText().split('\n');
  ASSERT_EQ(lines.size(), 201);
  EXPECT_TRUE(lines.last().endsWith(" line 259"));
  EXPECT_TRUE(lines.first().endsWith(" line 59"));
  EXPECT_EQ(lines.last().indexOf(' '), 8) << "hh:nn:ss and a blank";
}

TEST_F(MainWindowTest, LogCountsWrappedPiecesAsLines) {
  Open(ClosedPort());
  Form->show();
  const std::string longText = std::string(60, 'x') + " " + std::string(60, 'y') + " end";
  Core->AddLog("first");
  ASSERT_EQ(Form->LogLineCount(), 1);
  Core->AddLog(longText);
  const int perEntry = Form->LogLineCount() - 1;
  ASSERT_GT(perEntry, 1) << "the entry must wrap in the 264-pixel log for this test to mean anything";
  for (int i = 0; i < 150; ++i) Core->AddLog(longText + std::to_string(i));
  // Before each entry the log is cut to 200 displayed lines; the new entry adds its pieces.
  EXPECT_LE(Form->LogLineCount(), 200 + perEntry);
  EXPECT_GE(Form->LogLineCount(), 200) << "only what is needed is removed";
  EXPECT_TRUE(Form->LogText().endsWith(QString::fromStdString(longText) + "149")) << "the newest entry is whole";
  EXPECT_FALSE(Form->LogText().contains("first"));
}

TEST_F(MainWindowTest, LongLinesAreCutAndRepeatsSummarised) {
  Open(ClosedPort());
  Form->show();
  Core->AddLog(std::string(5000, 'z'));
  QString last = Form->LogText().split('\n').last();
  EXPECT_EQ(last.size(), 9 + 2000 + 1);
  EXPECT_TRUE(last.endsWith(QString(10, QChar('z')) + QChar(0x2026)));

  for (int i = 0; i < 3; ++i) Core->AddLog("연결 끊김: 서버가 연결을 거부했습니다");
  Core->AddLog("other");
  Core->AddLog("other");
  QStringList lines = Form->LogText().split('\n');
  ASSERT_EQ(lines.size(), 3);
  EXPECT_TRUE(lines[1].endsWith(" 연결 끊김: 서버가 연결을 거부했습니다 (3회 반복)")) << lines[1].toStdString();
  EXPECT_TRUE(lines[2].endsWith(" other (2회 반복)")) << lines[2].toStdString();
}

// Formerly a 256 KiB chat line stalled the window (and behind it the host's reader) for minutes:
// trimming removed one wrapped piece at a time. The bound is generous for a loaded CI machine.
TEST_F(MainWindowTest, MegabyteChatLineIsHandledQuickly) {
  TScriptedRelay relay("343434343");
  OpenInSession(relay);
  Form->show();
  for (int i = 0; i < 250; ++i) Core->AddLog(QString("filler %1 ").arg(i).repeated(40).toStdString());
  const std::string huge(1 << 20, 'm');
  const auto start = std::chrono::steady_clock::now();
  relay.Send(MsgChat, huge);
  relay.Send(MsgChat, huge);
  relay.Send(MsgChat, "after");
  ASSERT_TRUE(WaitFor([&] { return Form->LogText().endsWith("[채팅] 원격: after"); }, 60000));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 10.0) << "two 1 MiB chat lines took " << seconds << " s";
  EXPECT_LE(Form->LogLineCount(), 201 + 1);
  EXPECT_TRUE(Form->LogText().contains(QString(100, QChar('m')) + QChar(0x2026)));
}

// From session to session the log shows its newest line, and a line when the viewer leaves;
// the header says so at once. Once the user scrolls up, new lines leave the view alone until
// they scroll back down.
TEST_F(MainWindowTest, LogFollowsNewLinesAndTellsWhenTheViewerLeaves) {
  TScriptedRelay relay("787878787");
  Answer = true;
  Open(relay.Port());
  Form->show();
  ASSERT_TRUE(WaitFor([&] { return Core->HostState() == EHostState::Online && !Core->MyID().empty(); }));
  QScrollBar* bar = Form->LogView()->verticalScrollBar();
  auto atBottom = [&] {
    QCoreApplication::processEvents();
    return bar->maximum() > 0 && bar->value() == bar->maximum();
  };
  for (int session = 1; session <= 3; ++session) {
    SCOPED_TRACE(session);
    relay.Send(MsgAdmitRequest, "10.0.0." + std::to_string(session) + "\tKim\t");
    ASSERT_TRUE(WaitFor([&] { return relay.Texts(MsgAdmitAccept).size() == size_t(session); }));
    relay.Send(MsgSessionStart, "");
    ASSERT_TRUE(WaitFor([&] { return Core->InSession() && EndSessionButton()->isVisibleTo(Form.get()); }));
    EXPECT_EQ(Form->HeaderState(), QString::fromUtf8("화면 공유 중"));
    EXPECT_EQ(Form->MyPanelColor(), QColor(0xE6, 0xF0, 0xE6));
    for (int i = 0; i < 40; ++i) Core->AddLog("session " + std::to_string(session) + " line " + std::to_string(i));
    EXPECT_TRUE(atBottom());
    relay.Send(MsgSessionEnd, "");
    const QString left = QString::fromUtf8("상담원 연결 종료: Kim (10.0.0.%1)").arg(session);
    ASSERT_TRUE(WaitFor([&] { return Form->LogText().endsWith(left); }));
    EXPECT_EQ(Form->HeaderState(), QString::fromUtf8("온라인"));
    EXPECT_EQ(Form->MyPanelColor(), QColor(0xFB, 0xFA, 0xF5));
    EXPECT_TRUE(atBottom());
  }

  bar->triggerAction(QAbstractSlider::SliderPageStepSub);  // the user reads older lines
  const int reading = bar->value();
  ASSERT_LT(reading, bar->maximum());
  for (int i = 0; i < 20; ++i) Core->AddLog("while reading " + std::to_string(i));
  QCoreApplication::processEvents();
  EXPECT_EQ(bar->value(), reading);
  bar->triggerAction(QAbstractSlider::SliderToMaximum);  // and comes back down
  Core->AddLog("after reading");
  EXPECT_TRUE(atBottom());
}

// ---- consent ----

TEST_F(MainWindowTest, ConsentQuestionIsAskedInTheWindowsBox) {
  for (bool allow : {false, true}) {
    SCOPED_TRACE(allow);
    Questions.clear();
    Answer = allow;
    TScriptedRelay relay("111111111");
    Open(relay.Port());
    ASSERT_TRUE(WaitFor([&] { return Core->MyID() == "111111111"; }));
    relay.Send(MsgAdmitRequest, "10.0.0.5\t지원팀\t");
    ASSERT_TRUE(WaitFor([&] { return relay.Saw(allow ? MsgAdmitAccept : MsgAdmitReject); }));
    ASSERT_EQ(Questions.size(), 1);
    EXPECT_EQ(Questions[0],
              "원격 지원 접속 요청이 있습니다.\r\n요청자: 지원팀 (10.0.0.5)\r\n암호화되지 않은 연결입니다.\r\n\r\n"
              "이 접속을 허용하시겠습니까?");
    Close();
  }
}

// The helped person's controls: the one-time password beside the ID (renewed on demand), and
// during a session who is connected and for how long, "보기만 허용" in the prompt and "입력 차단".
TEST_F(MainWindowTest, OneTimePasswordViewOnlyAndTheSessionLine) {
  int consentAnswer = 2;  // "보기만 허용"
  FDialogs.Consent = [&](QWidget*, const QString&) { return consentAnswer; };
  TScriptedRelay relay("111111111");
  Open(relay.Port());
  ASSERT_TRUE(WaitFor([&] { return Form->OneTimePasswordText().size() == 6; }));
  const QString first = Form->OneTimePasswordText();
  EXPECT_EQ(Form->OneTimePasswordText().toStdString(), Core->OneTimePassword());
  Child<QPushButton>("btnRenewOtp")->click();
  ASSERT_TRUE(WaitFor([&] { return Form->OneTimePasswordText() != first; }));

  ASSERT_TRUE(WaitFor([&] { return Core->MyID() == "111111111"; }));
  EXPECT_EQ(Form->SessionLineText(), "");
  relay.Send(MsgAdmitRequest, "10.0.0.5\t지원팀\t");
  ASSERT_TRUE(WaitFor([&] { return relay.Saw(MsgAdmitAccept); }));
  relay.Send(MsgSessionStart, "");
  // The agent is in the session before its report reaches the window (nothing is pumped
  // here): the header may say so, but no line shows a start the core has not recorded yet.
  for (int i = 0; i < 500 && !Core->InSession(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(Core->InSession());
  Form->RefreshHeader();
  EXPECT_EQ(Form->SessionLineText(), "");
  QCheckBox* block = Child<QCheckBox>("chkBlockInput");
  ASSERT_TRUE(WaitFor([&] { return block->isVisibleTo(Form.get()); }));
  EXPECT_TRUE(Core->Host()->ViewOnly());
  EXPECT_TRUE(block->isChecked());  // the prompt's answer shows as the switch
  EXPECT_TRUE(Form->SessionLineText().startsWith("지원팀 (10.0.0.5) · 00:0")) << Form->SessionLineText().toStdString();
  block->click();  // the helped person lets the supporter work after all
  EXPECT_FALSE(Core->Host()->ViewOnly());
  block->click();
  EXPECT_TRUE(Core->Host()->ViewOnly());
  EXPECT_NE(Form->LogText().indexOf("상담원 입력 차단"), -1);

  const QString duringSession = Form->OneTimePasswordText();
  relay.Send(MsgSessionEnd, "");
  ASSERT_TRUE(WaitFor([&] { return !block->isVisibleTo(Form.get()); }));
  EXPECT_FALSE(Core->Host()->ViewOnly());
  ASSERT_TRUE(WaitFor([&] { return Form->OneTimePasswordText() != duringSession; }));  // used: a new one
}

TEST_F(MainWindowTest, WithdrawnRequestClosesThePrompt) {
  QuestionStaysOpen = true;
  TScriptedRelay relay("565656565");
  Open(relay.Port());
  ASSERT_TRUE(WaitFor([&] { return Core->MyID() == "565656565"; }));
  OnQuestionOpen = [&] { relay.Send(MsgAdmitWithdrawn, ""); };
  relay.Send(MsgAdmitRequest, "10.0.0.5\tKim\t");
  ASSERT_TRUE(WaitFor([&] { return !QuestionOpen && relay.Saw(MsgAdmitReject); }));
  EXPECT_TRUE(WaitFor([&] { return Form->LogText().contains("접속 요청 취소됨: Kim (10.0.0.5)"); }));
}

TEST_F(MainWindowTest, CallsQueuedByTheAgentAfterTeardownDoNothing) {
  TScriptedRelay relay("333333333");
  Open(relay.Port());
  ASSERT_TRUE(WaitFor([&] { return Core->MyID() == "333333333"; }));
  relay.Send(MsgSessionStart, "");
  for (int i = 0; i < 50; ++i) relay.Send(MsgChat, "late");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the agent queue its calls
  Form.reset();  // the window first, as at quit
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  Core.reset();
  // Whatever the agent queued runs now, against a window and a core that are gone: no crash
  // (ASan watches).
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// The standard question box can be closed from outside (a withdrawn or lapsed request): it then
// answers No, like a refusal.
TEST(MainDialogs, CloseQuestionEndsTheOpenBoxAsNo) {
  TMainDialogs dialogs = TMainDialogs::Standard();
  dialogs.CloseQuestion();  // none open: nothing happens
  bool closed = false;
  QTimer::singleShot(200, [&] {
    dialogs.CloseQuestion();
    closed = true;
  });
  EXPECT_FALSE(dialogs.Question(nullptr, "?"));
  EXPECT_TRUE(closed);
}

// The partner's password is typed into a masked box.
TEST(MainDialogs, PasswordBoxMasksWhatIsTyped) {
  TMainDialogs dialogs = TMainDialogs::Standard();
  QLineEdit::EchoMode echo = QLineEdit::Normal;
  bool seen = false;
  QTimer::singleShot(200, [&] {
    QWidget* box = QApplication::activeModalWidget();
    if (auto* edit = box ? box->findChild<QLineEdit*>() : nullptr) {
      echo = edit->echoMode();
      seen = true;
    }
    if (auto* dialog = qobject_cast<QDialog*>(box)) dialog->reject();
  });
  QString text;
  EXPECT_FALSE(dialogs.Input(nullptr, "무인 접속 비밀번호", "?", text));
  ASSERT_TRUE(seen);
  EXPECT_EQ(echo, QLineEdit::Password);
}

// A configuration folder that cannot exist: each failed write is one error box naming the file.
TEST_F(MainWindowTest, ConfigWriteFailuresAreShownInAnErrorBox) {
  std::ofstream(FDir / "blocked") << "a file where the folder belongs";
  Env.ConfigDir = (FDir / "blocked" / "TLMRemote").string();
  Open(ClosedPort());
  ASSERT_EQ(Errors.size(), 1) << "the device key could not be stored";
  EXPECT_TRUE(Errors[0].contains(QString::fromStdString(Core->Config().Path()))) << Errors[0].toStdString();
  Errors.clear();
  InputAnswer = QString();
  Connect("987654321");
  ASSERT_EQ(Errors.size(), 1);
  EXPECT_TRUE(Errors[0].startsWith("설정을 저장하지 못했습니다."));
  EXPECT_EQ(Form->RecentLines(), QStringList{"987 654 321"}) << "the list shows what this run keeps";
}

// ---- the session as the helped person controls it ----

TEST_F(MainWindowTest, ChatReplyAndEndSessionFromTheWindow) {
  TScriptedRelay relay("909090909");
  OpenInSession(relay);
  EXPECT_TRUE(Chat()->isVisibleTo(Form.get()));
  Chat()->setText("네, 보고 있습니다");
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(Chat(), &enter);
  ASSERT_TRUE(WaitFor([&] { return relay.Saw(MsgChat); }));
  EXPECT_EQ(relay.Texts(MsgChat), std::vector<std::string>{"네, 보고 있습니다"});
  EXPECT_TRUE(Chat()->text().isEmpty());
  EXPECT_TRUE(Form->LogText().contains("[채팅] 나: 네, 보고 있습니다"));

  EndSessionButton()->click();
  EXPECT_FALSE(EndSessionButton()->isVisibleTo(Form.get()));
  EXPECT_FALSE(Chat()->isVisibleTo(Form.get()));
  ASSERT_TRUE(WaitFor([&] { return relay.Registrations().size() == 2 && Core->HostState() == EHostState::Online; }));
  EXPECT_FALSE(Core->InSession());
  EXPECT_TRUE(WaitFor([&] { return Form->MyIDText() == "909 090 909"; }));
}

// A chat line from the viewer asks for attention, but the helped person keeps working where
// they were: the window stays minimised and the focus stays in their own window.
TEST_F(MainWindowTest, ChatFromTheViewerLeavesTheFocusWhereItIs) {
  TScriptedRelay relay("565656565");
  OpenInSession(relay);
  Form->showMinimized();
  ASSERT_TRUE(WaitFor([&] { return Form->isMinimized(); }));
  QWidget work;
  auto* field = new QLineEdit(&work);
  work.show();
  work.activateWindow();
  field->setFocus();
  ASSERT_TRUE(WaitFor([&] { return QApplication::focusWidget() == field && QApplication::activeWindow() == &work; }));
  relay.Send(MsgChat, "잠시만요");
  ASSERT_TRUE(WaitFor([&] { return Form->LogText().contains("[채팅] 원격: 잠시만요"); }));
  QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
  EXPECT_TRUE(Form->isMinimized());
  EXPECT_EQ(QApplication::focusWidget(), field);
  EXPECT_EQ(QApplication::activeWindow(), &work);
}

// Copies on this computer during a session reach the viewer; the viewer's text lands on the
// clipboard without coming back; what was on the clipboard before the session stays here.
TEST_F(MainWindowTest, ClipboardTravelsToTheViewerWithoutEcho) {
  QGuiApplication::clipboard()->setText("before the session");
  TScriptedRelay relay("232323232");
  OpenInSession(relay);
  QGuiApplication::clipboard()->setText("host copy");
  ASSERT_TRUE(WaitFor([&] { return relay.Saw(MsgClipboard); }));
  relay.Send(MsgClipboard, "viewer copy");
  ASSERT_TRUE(WaitFor([&] { return QGuiApplication::clipboard()->text() == "viewer copy"; }));
  relay.Send(MsgChat, "sync");  // a round trip, so an echo would have arrived by now
  ASSERT_TRUE(WaitFor([&] { return Form->LogText().contains("[채팅] 원격: sync"); }));
  QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
  EXPECT_EQ(relay.Texts(MsgClipboard), std::vector<std::string>{"host copy"});
}

}  // namespace
}  // namespace tlm

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
