#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
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
#include <sstream>
#include <thread>

#include "app/ClientMain.h"
#include "app/QtDispatcher.h"
#include "platform/fake/FakeScreen.h"
#include "protocol/Credentials.h"
#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "tests/support/Loopback.h"
#include "tests/support/TempFiles.h"
#include "tests/app/QtWait.h"

namespace tlm {
namespace {

namespace fs = std::filesystem;


// A relay that takes host registrations (one connection at a time, a new one replacing the
// last), answers each with the same ID and records what the host sends.
class TScriptedRelay {
public:
  explicit TScriptedRelay(std::string AId) : FId(std::move(AId)) {
    FThread = std::thread([this] { Run(); });
  }
  ~TScriptedRelay() {
    {
      std::lock_guard<std::mutex> hold(FLock);
      FStop = true;
      if (FConn) FConn->Abort();
    }
    // A connection of our own ends a wait in Accept.
    try {
      TTcpConnection poke;
      poke.Connect("127.0.0.1", FListener.Port(), 2000);
    } catch (const std::exception&) {
    }
    FThread.join();
  }
  uint16_t Port() const { return FListener.Port(); }
  void Send(uint32_t AType, const std::string& AText) {
    std::lock_guard<std::mutex> hold(FLock);
    if (FConn) WriteTextPacket(*FConn, AType, AText, nullptr);
  }
  bool Saw(uint32_t AType) { return !Texts(AType).empty(); }
  std::vector<std::string> Texts(uint32_t AType) {
    std::lock_guard<std::mutex> hold(FLock);
    std::vector<std::string> out;
    for (const auto& [type, text] : FSeen)
      if (type == AType) out.push_back(text);
    return out;
  }
  // The device keys of every registration so far.
  std::vector<std::string> Registrations() {
    std::lock_guard<std::mutex> hold(FLock);
    return FKeys;
  }

private:
  void Run() {
    for (;;) {
      std::unique_ptr<TTcpConnection> conn;
      try {
        conn = FListener.Accept();
      } catch (const std::exception&) {
        return;
      }
      TTcpConnection* reading = nullptr;
      {
        std::lock_guard<std::mutex> hold(FLock);
        if (FStop) return;
        FConn = std::move(conn);
        reading = FConn.get();
      }
      try {
        TPacket reg = ReadPacket(*reading);
        {
          std::lock_guard<std::mutex> hold(FLock);
          FKeys.push_back(TextOf(reg.Payload));
        }
        Send(MsgHostId, FId);
        for (;;) {
          TPacket p = ReadPacket(*reading);
          if (p.Type == MsgKeepAlive) continue;
          std::lock_guard<std::mutex> hold(FLock);
          FSeen.push_back({p.Type, TextOf(p.Payload)});
        }
      } catch (const std::exception&) {
      }
      std::lock_guard<std::mutex> hold(FLock);
      if (FStop) return;
    }
  }

  std::string FId;
  test::TLoopbackListener FListener;
  std::mutex FLock;
  bool FStop = false;
  std::unique_ptr<TTcpConnection> FConn;
  std::vector<std::pair<uint32_t, std::string>> FSeen;
  std::vector<std::string> FKeys;
  std::thread FThread;
};

class MainWindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    FDir = fs::temp_directory_path() / ("tlmmain-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(FDir);
    fs::create_directories(FDir);
    ::setenv("TLMREMOTE_CONFIGDIR", (FDir / "cfg").c_str(), 1);
    ::setenv("XDG_DOWNLOAD_DIR", (FDir / "dl").c_str(), 1);
    ::setenv("COMPUTERNAME", "MY-PC", 1);
    ::unsetenv("TLMREMOTE_DEVICEKEY");
    ::unsetenv("TLMREMOTE_AUTOCONNECT");
    ::unsetenv("TLMREMOTE_AUTOPW");
    ::unsetenv("TLMREMOTE_IDFILE");
    ::unsetenv("TLMREMOTE_HOST");
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
    Form.reset();
    fs::remove_all(FDir);
  }
  void Open(uint16_t APort, THostTimings ATimings = Timings()) {
    const THostTimings timings = ATimings;
    THostServices services;
    services.MakeScreen = [] { return std::make_shared<TFakeScreen>(640, 480); };
    services.DownloadDir = (FDir / "dl").string();
    Form = std::make_unique<TfrmClientMain>(
        Ui, services, FDialogs, [this](const TViewerRequest& ARequest) { Opened.push_back(ARequest); }, APort,
        timings);
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
    ASSERT_TRUE(WaitFor([&] { return Form->Host()->Connected() && !Form->MyID().empty(); }));
    ARelay.Send(MsgSessionStart, "");
    ASSERT_TRUE(WaitFor([&] { return Form->Host()->InSession() && Form->btnEndSession->isVisibleTo(Form.get()); }));
  }
  static uint16_t ClosedPort() {
    test::TLoopbackListener gone;
    return gone.Port();
  }

  fs::path FDir;
  TQtDispatcher Ui;
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
  std::unique_ptr<TfrmClientMain> Form;
};

TEST_F(MainWindowTest, StartsWithTheDesignedTextsAndStoredQuality) {
  {
    TAppConfig cfg;
    cfg.SetDefaultQuality(3);
  }
  Open(ClosedPort());
  EXPECT_EQ(Form->windowTitle(), "TALMIR Remote");
  EXPECT_EQ(Form->size(), QSize(760, 560));
  EXPECT_EQ(Form->MyIDText(), "--- --- ---");
  EXPECT_EQ(Form->HeaderState(), "연결 중");
  ASSERT_EQ(Form->cbQuality->count(), 4);
  EXPECT_EQ(Form->cbQuality->itemText(3), "부드럽게");
  EXPECT_EQ(Form->cbQuality->currentIndex(), 3) << "the stored link-paced preset is restored";
  EXPECT_FALSE(Form->chkAutoPw->isChecked());
  EXPECT_EQ(Form->MyPanelColor(), QColor(0xEB, 0xF3, 0xF5));
  Form->tmrUITimer();
  EXPECT_EQ(Form->HeaderState(), "오프라인");
}

TEST_F(MainWindowTest, ConnectToChecksBeforeAskingForThePassword) {
  TScriptedRelay relay("123456789");
  Open(relay.Port());
  ASSERT_TRUE(WaitFor([&] { return Form->MyID() == "123456789"; }));
  EXPECT_EQ(Form->MyIDText(), "123 456 789");
  Form->tmrUITimer();
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
  };
  for (const auto& tc : refused) {
    Messages.clear();
    Form->edtRemoteID->setText(tc.Typed);
    Form->btnConnectClick();
    EXPECT_EQ(Messages, QStringList{tc.Message}) << tc.Typed.toStdString();
  }
  EXPECT_EQ(Inputs, 0) << "no password dialog for a refused ID";
  EXPECT_TRUE(Opened.empty());
}

TEST_F(MainWindowTest, PasswordDialogDecidesTheProof) {
  Open(ClosedPort());
  Form->edtRemoteID->setText("987-654 321");
  Form->btnConnectClick();  // cancelled
  EXPECT_EQ(Inputs, 1);
  EXPECT_TRUE(Opened.empty());
  EXPECT_TRUE(Form->RecentLines().isEmpty()) << "cancel adds nothing";

  InputAnswer = QString("   ");
  Form->btnConnectClick();
  ASSERT_EQ(Opened.size(), 1u);
  EXPECT_EQ(Opened[0].TargetID, "987654321");
  EXPECT_EQ(Opened[0].Proof, "") << "blanks only: no password";
  EXPECT_EQ(Opened[0].MyName, "MY-PC");

  InputAnswer = QString(" secret\t");
  Form->cbQuality->setCurrentIndex(0);
  Form->btnConnectClick();
  ASSERT_EQ(Opened.size(), 2u);
  EXPECT_EQ(Opened[1].Proof, MakeSessionProof("987654321", HashPassword("secret")));
  EXPECT_EQ(Opened[1].DefaultQuality, 0);
  EXPECT_EQ(Form->RecentLines(), QStringList{"987 654 321"}) << "stored once, grouped";

  // The link-paced preset is chosen, stored and given to the next viewer.
  Form->cbQuality->setCurrentIndex(3);
  Form->cbQualityChange(3);
  EXPECT_EQ(TAppConfig().DefaultQuality(), 3);
  Form->btnConnectClick();
  ASSERT_EQ(Opened.size(), 3u);
  EXPECT_EQ(Opened[2].DefaultQuality, 3);
}

TEST_F(MainWindowTest, RecentListShowsNamesAndReconnects) {
  {
    TAppConfig cfg;
    std::ofstream(cfg.Path()) << "[Recent]\nr0=111222333|사무실\nr1=444555666|\n";
  }
  Open(ClosedPort());
  EXPECT_EQ(Form->RecentLines(), (QStringList{"111 222 333   사무실", "444 555 666"}));
  InputAnswer = QString();
  Form->lstRecent->setCurrentRow(1);
  Form->lstRecentDblClick();
  ASSERT_EQ(Opened.size(), 1u);
  EXPECT_EQ(Opened[0].TargetID, "444555666");
  EXPECT_EQ(Form->RecentLines(), (QStringList{"444 555 666", "111 222 333   사무실"}));
}

TEST_F(MainWindowTest, SetPasswordButton) {
  Open(ClosedPort());
  struct TCase {
    bool Checked;
    QString Typed;
    QString Message;
    bool Stored;
  };
  const std::vector<TCase> cases = {
      {true, " abc ", "비밀번호는 4자 이상으로 설정하세요.", false},
      {true, " abcd ", "무인 접속 비밀번호가 설정되었습니다.", true},
      {false, "whatever", "무인 접속 비밀번호가 해제되었습니다. 이제 접속 시 동의 팝업으로 승인합니다.", false},
      {true, "  ", "무인 접속 비밀번호가 해제되었습니다. 이제 접속 시 동의 팝업으로 승인합니다.", false},
  };
  for (const auto& tc : cases) {
    Messages.clear();
    Form->chkAutoPw->setChecked(tc.Checked);
    Form->edtPassword->setText(tc.Typed);
    Form->btnSetPwClick();
    EXPECT_EQ(Messages, QStringList{tc.Message}) << tc.Typed.toStdString();
    EXPECT_EQ(Form->Config()->HasPassword(), tc.Stored) << tc.Typed.toStdString();
  }
  // The stored value is the hash of the trimmed text, never the text.
  Form->chkAutoPw->setChecked(true);
  Form->edtPassword->setText(" abcd ");
  Form->btnSetPwClick();
  EXPECT_EQ(Form->Config()->PasswordHash(), HashPassword("abcd"));
  EXPECT_TRUE(Form->edtPassword->text().isEmpty());
  EXPECT_EQ(Form->edtPassword->placeholderText(), "설정됨 ******");
}

TEST_F(MainWindowTest, LogKeepsTheNewest201Lines) {
  Open(ClosedPort());
  Form->show();
  for (int i = 0; i < 260; ++i) Form->AddLog(QString("line %1").arg(i));
  const QStringList lines = Form->LogText().split('\n');
  ASSERT_EQ(lines.size(), 201);
  EXPECT_TRUE(lines.last().endsWith(" line 259"));
  EXPECT_TRUE(lines.first().endsWith(" line 59"));
  EXPECT_EQ(lines.last().indexOf(' '), 8) << "hh:nn:ss and a blank";
}

TEST_F(MainWindowTest, LogCountsWrappedPiecesAsLines) {
  Open(ClosedPort());
  Form->show();
  const QString longText = QString("x").repeated(60) + " " + QString("y").repeated(60) + " end";
  Form->AddLog("first");
  ASSERT_EQ(Form->LogLineCount(), 1);
  Form->AddLog(longText);
  const int perEntry = Form->LogLineCount() - 1;
  ASSERT_GT(perEntry, 1) << "the entry must wrap in the 264-pixel log for this test to mean anything";
  for (int i = 0; i < 150; ++i) Form->AddLog(longText + QString::number(i));
  // Before each entry the log is cut to 200 displayed lines; the new entry adds its pieces.
  EXPECT_LE(Form->LogLineCount(), 200 + perEntry);
  EXPECT_GE(Form->LogLineCount(), 200) << "only what is needed is removed";
  EXPECT_TRUE(Form->LogText().endsWith(longText + "149")) << "the newest entry is whole";
  EXPECT_FALSE(Form->LogText().contains("first"));
}

TEST_F(MainWindowTest, IdFileAndAutoConnect) {
  const fs::path idFile = FDir / "id.txt";
  ::setenv("TLMREMOTE_IDFILE", idFile.c_str(), 1);
  ::setenv("TLMREMOTE_AUTOCONNECT", "555 666", 1);
  ::setenv("TLMREMOTE_AUTOPW", " pw ", 1);
  TScriptedRelay relay("000111222");
  Open(relay.Port());
  EXPECT_TRUE(Opened.empty()) << "the automatic connection waits for the event loop";
  ASSERT_TRUE(WaitFor([&] { return !Opened.empty() && Form->MyID() == "000111222"; }));
  EXPECT_EQ(Opened[0].TargetID, "555 666") << "used unchanged";
  EXPECT_EQ(Opened[0].MyName, "AutoViewer");
  EXPECT_EQ(Opened[0].Proof, MakeSessionProof("555 666", HashPassword(" pw "))) << "not trimmed";
  std::ifstream in(idFile);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "000111222");
  EXPECT_TRUE(Form->RecentLines().isEmpty());
}

TEST_F(MainWindowTest, IdFileInAMissingFolderIsIgnored) {
  ::setenv("TLMREMOTE_IDFILE", (FDir / "missing" / "id.txt").c_str(), 1);
  TScriptedRelay relay("123123123");
  Open(relay.Port());
  ASSERT_TRUE(WaitFor([&] { return Form->MyID() == "123123123"; }));
  EXPECT_FALSE(fs::exists(FDir / "missing"));
  EXPECT_TRUE(Messages.isEmpty());
}

// The helped person is told when the supporter's password was wrong, so a prompt after a typo
// is not mistaken for a request from a stranger who knows no password at all.
TEST_F(MainWindowTest, ConsentPromptSaysWhenThePasswordWasWrong) {
  TScriptedRelay relay("222333444");
  Open(relay.Port());
  ASSERT_TRUE(WaitFor([&] { return Form->MyID() == "222333444"; }));
  Form->chkAutoPw->setChecked(true);
  Form->edtPassword->setText("abcd");
  Form->btnSetPwClick();
  Answer = false;
  struct TCase {
    const char* Name;
    std::string Proof;
    QString Why;
  } const cases[] = {
      {"no password", "", ""},
      {"wrong password", MakeSessionProof("222333444", HashPassword("abce")),
       "요청자가 입력한 비밀번호가 맞지 않습니다.\r\n"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Questions.clear();
    relay.Send(MsgAdmitRequest, "10.0.0.5\t지원팀\t" + c.Proof);
    ASSERT_TRUE(WaitFor([&] { return Questions.size() == 1; }));
    EXPECT_EQ(Questions[0], "원격 지원 접속 요청이 있습니다.\r\n요청자: 지원팀 (10.0.0.5)\r\n" + c.Why +
                                "\r\n이 접속을 허용하시겠습니까?");
  }
}

TEST_F(MainWindowTest, ConsentQuestionDecidesAdmission) {
  for (bool allow : {false, true}) {
    Questions.clear();
    Answer = allow;
    TScriptedRelay relay("111111111");
    Open(relay.Port());
    ASSERT_TRUE(WaitFor([&] { return Form->MyID() == "111111111"; }));
    relay.Send(MsgAdmitRequest, "10.0.0.5\t지원팀\t");
    const uint32_t expected = allow ? MsgAdmitAccept : MsgAdmitReject;
    ASSERT_TRUE(WaitFor([&] { return relay.Saw(expected); })) << allow;
    ASSERT_EQ(Questions.size(), 1);
    EXPECT_EQ(Questions[0],
              "원격 지원 접속 요청이 있습니다.\r\n요청자: 지원팀 (10.0.0.5)\r\n\r\n이 접속을 허용하시겠습니까?");
    if (allow) {
      relay.Send(MsgSessionStart, "");
      ASSERT_TRUE(WaitFor([&] { return Form->MyPanelColor() == QColor(0xE6, 0xF0, 0xE6); }));
      Form->tmrUITimer();
      EXPECT_EQ(Form->HeaderState(), "화면 공유 중");
      relay.Send(MsgChat, "안녕하세요");
      relay.Send(MsgSessionEnd, "");
      ASSERT_TRUE(WaitFor([&] { return Form->MyPanelColor() == QColor(0xFB, 0xFA, 0xF5); }));
      EXPECT_TRUE(Form->LogText().contains("[채팅] 원격: 안녕하세요"));
    }
    Form.reset();
  }
}

TEST_F(MainWindowTest, CallsQueuedByTheAgentAfterTeardownDoNothing) {
  TScriptedRelay relay("333333333");
  Open(relay.Port());
  ASSERT_TRUE(WaitFor([&] { return Form->MyID() == "333333333"; }));
  relay.Send(MsgSessionStart, "");
  for (int i = 0; i < 50; ++i) relay.Send(MsgChat, "late");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the agent queue its calls
  Form.reset();
  // Whatever the agent queued runs now, against a window that is gone: no crash (ASan watches).
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

// ---- configuration failures ----

// A configuration folder that cannot exist: every write fails, each failure is one error box
// naming the file, and the program goes on with what it was told.
TEST_F(MainWindowTest, ConfigWriteFailuresAreShownAndTheProgramGoesOn) {
  std::ofstream(FDir / "blocked") << "a file where the folder belongs";
  ::setenv("TLMREMOTE_CONFIGDIR", (FDir / "blocked" / "TLMRemote").c_str(), 1);
  TScriptedRelay relay("121212121");
  Open(relay.Port());
  ASSERT_EQ(Errors.size(), 1) << "the device key could not be stored";
  EXPECT_TRUE(Errors[0].contains(QString::fromStdString(Form->Config()->Path()))) << Errors[0].toStdString();
  EXPECT_TRUE(Errors[0].contains("Not a directory")) << Errors[0].toStdString();
  ASSERT_TRUE(WaitFor([&] { return Form->MyID() == "121212121"; }));
  ASSERT_EQ(relay.Registrations().size(), 1u);
  EXPECT_EQ(relay.Registrations()[0].size(), 33u) << "registered with the key kept in memory";

  const std::vector<std::pair<const char*, std::function<void()>>> actions = {
      {"quality", [&] { Form->cbQualityChange(0); }},
      {"password", [&] {
         Form->chkAutoPw->setChecked(true);
         Form->edtPassword->setText("abcd");
         Form->btnSetPwClick();
       }},
      {"connect", [&] {
         InputAnswer = QString();
         Form->edtRemoteID->setText("987654321");
         Form->btnConnectClick();
       }},
  };
  for (const auto& [name, action] : actions) {
    SCOPED_TRACE(name);
    Errors.clear();
    action();
    ASSERT_EQ(Errors.size(), 1);
    EXPECT_TRUE(Errors[0].contains("config.ini"));
  }
  EXPECT_EQ(Form->Config()->DefaultQuality(), 0);
  EXPECT_EQ(Form->Config()->PasswordHash(), HashPassword("abcd"));
  EXPECT_EQ(Form->RecentLines(), QStringList{"987 654 321"});
  ASSERT_EQ(Opened.size(), 1u) << "the viewer opens all the same";
}

// ---- the log ----

TEST_F(MainWindowTest, LongLinesAreCutAndRepeatsSummarised) {
  Open(ClosedPort());
  Form->show();
  Form->AddLog(QString(5000, QChar('z')));
  QString last = Form->LogText().split('\n').last();
  EXPECT_EQ(last.size(), 9 + 2000 + 1);
  EXPECT_TRUE(last.endsWith(QString(10, QChar('z')) + QChar(0x2026)));

  for (int i = 0; i < 3; ++i) Form->AddLog("연결 끊김: 서버가 연결을 거부했습니다");
  Form->AddLog("other");
  Form->AddLog("other");
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
  for (int i = 0; i < 250; ++i) Form->AddLog(QString("filler %1 ").arg(i).repeated(40));
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

// ---- password state, recent list ----

TEST_F(MainWindowTest, TypedPasswordTicksTheBoxAndASetPasswordShowsAfterRestart) {
  Open(ClosedPort());
  Form->show();
  EXPECT_FALSE(Form->chkAutoPw->isChecked());
  for (const char c : std::string("pass1")) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QString(QChar(c)));
    QApplication::sendEvent(Form->edtPassword, &press);
  }
  EXPECT_EQ(Form->edtPassword->text(), "pass1");
  EXPECT_TRUE(Form->chkAutoPw->isChecked()) << "typing ticks the box";
  Form->btnSetPwClick();
  EXPECT_EQ(Form->Config()->PasswordHash(), HashPassword("pass1"));
  Form.reset();
  Open(ClosedPort());
  EXPECT_TRUE(Form->chkAutoPw->isChecked());
  EXPECT_TRUE(Form->edtPassword->text().isEmpty()) << "the password itself is never shown";
  EXPECT_EQ(Form->edtPassword->placeholderText(), "설정됨 ******");
}

TEST_F(MainWindowTest, RecentEntriesAreRemovedAndUnknownIDsNotKept) {
  {
    TAppConfig cfg;
    std::ofstream(cfg.Path()) << "[Recent]\nr0=111222333|\nr1=444555666|\nr2=777888999|\n";
  }
  Open(ClosedPort());
  Form->show();
  Form->lstRecent->setFocus();
  Form->lstRecent->setCurrentRow(1);
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
  QApplication::sendEvent(Form->lstRecent, &press);
  EXPECT_EQ(Form->RecentLines(), (QStringList{"111 222 333", "777 888 999"}));
  Form->RemoveRecentAt(1);  // the context menu's action
  const QStringList afterDelete = Form->RecentLines();
  EXPECT_FALSE(afterDelete.contains("444 555 666"));
  EXPECT_FALSE(afterDelete.contains("777 888 999"));
  EXPECT_EQ(afterDelete, QStringList{"111 222 333"});

  InputAnswer = QString();
  const QString unknown = QStringLiteral("상대방이 오프라인이거나 존재하지 않는 ID입니다");
  struct TCase {
    std::string ID;
    QString Refusal;
    bool Kept;
  } cases[] = {
      {"555000555", unknown, false},                             // new and unknown
      {"111222333", unknown, true},                              // known from before: maybe offline now
      {"666000666", QStringLiteral("상대방이 응답하지 않습니다 (시간 초과)"), true},  // exists
  };
  for (const TCase& c : cases) {
    Form->edtRemoteID->setText(QString::fromStdString(c.ID));
    Form->btnConnectClick();
    Form->RelayRefused(c.ID, c.Refusal);
    bool kept = false;
    for (const auto& item : TAppConfig().GetRecent()) kept = kept || item.ID == c.ID;
    EXPECT_EQ(kept, c.Kept) << c.ID;
  }
}

// ---- consent, admission record ----

TEST_F(MainWindowTest, WithdrawnRequestClosesThePromptAndIsRecorded) {
  QuestionStaysOpen = true;
  TScriptedRelay relay("565656565");
  Open(relay.Port());
  ASSERT_TRUE(WaitFor([&] { return Form->MyID() == "565656565"; }));
  OnQuestionOpen = [&] { relay.Send(MsgAdmitWithdrawn, ""); };
  relay.Send(MsgAdmitRequest, "10.0.0.5\t지원\u202E팀\t");
  ASSERT_TRUE(WaitFor([&] { return !QuestionOpen && relay.Saw(MsgAdmitReject); }));
  EXPECT_TRUE(Questions[0].contains("요청자: 지원 팀 (10.0.0.5)")) << Questions[0].toStdString();
  // The record is written when the agent's event reaches the window, after the answer left.
  std::string record;
  EXPECT_TRUE(WaitFor([&] {
    record = test::ReadFile(Form->Config()->AdmissionsPath());
    return record.find("\t지원 팀\t10.0.0.5\t요청 취소\n") != std::string::npos;
  })) << record;
  EXPECT_TRUE(WaitFor([&] { return Form->LogText().contains("접속 요청 취소됨: 지원 팀 (10.0.0.5)"); }));
}

TEST_F(MainWindowTest, UnansweredPromptDeclinesByItself) {
  QuestionStaysOpen = true;
  TScriptedRelay relay("787878787");
  THostTimings t = Timings();
  t.ConsentTimeoutMs = 300;
  Open(relay.Port(), t);
  ASSERT_TRUE(WaitFor([&] { return Form->MyID() == "787878787"; }));
  relay.Send(MsgAdmitRequest, "10.0.0.5\tKim\t");
  ASSERT_TRUE(WaitFor([&] { return relay.Saw(MsgAdmitReject) && !QuestionOpen; }));
  EXPECT_EQ(Questions.size(), 1);
  EXPECT_TRUE(WaitFor([&] { return Form->LogText().contains("접속 요청 시간 초과, 거부됨: Kim (10.0.0.5)"); }));
  EXPECT_TRUE(WaitFor([&] {
    return test::ReadFile(Form->Config()->AdmissionsPath()).find("\tKim\t10.0.0.5\t시간 초과\n") != std::string::npos;
  }));
}

// ---- the session as the helped person controls it ----

TEST_F(MainWindowTest, ChatReplyAndEndSessionFromTheWindow) {
  TScriptedRelay relay("909090909");
  OpenInSession(relay);
  EXPECT_TRUE(Form->edtChat->isVisibleTo(Form.get()));
  Form->edtChat->setText("네, 보고 있습니다");
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(Form->edtChat, &enter);
  ASSERT_TRUE(WaitFor([&] { return relay.Saw(MsgChat); }));
  EXPECT_EQ(relay.Texts(MsgChat), std::vector<std::string>{"네, 보고 있습니다"});
  EXPECT_TRUE(Form->edtChat->text().isEmpty());
  EXPECT_TRUE(Form->LogText().contains("[채팅] 나: 네, 보고 있습니다"));

  Form->btnEndSession->click();
  ASSERT_TRUE(WaitFor([&] { return relay.Registrations().size() == 2 && Form->Host()->Connected(); }));
  EXPECT_EQ(relay.Registrations()[0], relay.Registrations()[1]) << "same device key, so the same ID";
  EXPECT_FALSE(Form->Host()->InSession());
  EXPECT_FALSE(Form->btnEndSession->isVisibleTo(Form.get()));
  EXPECT_FALSE(Form->edtChat->isVisibleTo(Form.get()));
  EXPECT_TRUE(WaitFor([&] { return Form->MyID() == "909090909"; }));
}

// From session to session the log shows its newest line, and a line when the viewer leaves;
// the header says so at once. Once the user scrolls up, new lines leave the view alone until
// they scroll back down.
TEST_F(MainWindowTest, LogFollowsNewLinesAndTellsWhenTheViewerLeaves) {
  TScriptedRelay relay("787878787");
  Answer = true;
  Open(relay.Port());
  Form->show();
  ASSERT_TRUE(WaitFor([&] { return Form->Host()->Connected() && !Form->MyID().empty(); }));
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
    ASSERT_TRUE(WaitFor([&] { return Form->Host()->InSession() && Form->btnEndSession->isVisibleTo(Form.get()); }));
    EXPECT_EQ(Form->HeaderState(), QString::fromUtf8("화면 공유 중"));
    for (int i = 0; i < 40; ++i) Form->AddLog(QString("session %1 line %2").arg(session).arg(i));
    EXPECT_TRUE(atBottom());
    relay.Send(MsgSessionEnd, "");
    const QString left = QString::fromUtf8("상담원 연결 종료: Kim (10.0.0.%1)").arg(session);
    ASSERT_TRUE(WaitFor([&] { return Form->LogText().endsWith(left); }));
    EXPECT_EQ(Form->HeaderState(), QString::fromUtf8("온라인"));
    EXPECT_TRUE(atBottom());
  }

  bar->triggerAction(QAbstractSlider::SliderPageStepSub);  // the user reads older lines
  const int reading = bar->value();
  ASSERT_LT(reading, bar->maximum());
  for (int i = 0; i < 20; ++i) Form->AddLog(QString("while reading %1").arg(i));
  QCoreApplication::processEvents();
  EXPECT_EQ(bar->value(), reading);
  bar->triggerAction(QAbstractSlider::SliderToMaximum);  // and comes back down
  Form->AddLog("after reading");
  EXPECT_TRUE(atBottom());
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
