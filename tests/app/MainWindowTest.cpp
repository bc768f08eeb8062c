#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
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

namespace tlm {
namespace {

namespace fs = std::filesystem;

bool WaitFor(const std::function<bool()>& APred, int AMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMs);
  while (!APred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A relay that takes one host registration, answers with an ID and records what the host sends.
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
    // Nobody connected: a connection of our own ends the wait in Accept.
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
    WriteTextPacket(*FConn, AType, AText, nullptr);
  }
  bool Saw(uint32_t AType) {
    std::lock_guard<std::mutex> hold(FLock);
    return std::find(FSeen.begin(), FSeen.end(), AType) != FSeen.end();
  }

private:
  void Run() {
    try {
      auto conn = FListener.Accept();
      {
        std::lock_guard<std::mutex> hold(FLock);
        if (FStop) return;
        FConn = std::move(conn);
      }
      ReadPacket(*FConn);  // the registration
      Send(MsgHostId, FId);
      for (;;) {
        TPacket p = ReadPacket(*FConn);
        if (p.Type == MsgKeepAlive) continue;
        std::lock_guard<std::mutex> hold(FLock);
        FSeen.push_back(p.Type);
      }
    } catch (const std::exception&) {
    }
  }

  std::string FId;
  test::TLoopbackListener FListener;
  std::mutex FLock;
  bool FStop = false;
  std::unique_ptr<TTcpConnection> FConn;
  std::vector<uint32_t> FSeen;
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
    FDialogs.Question = [this](QWidget*, const QString& AText) {
      Questions << AText;
      return Answer;
    };
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
  void Open(uint16_t APort) {
    THostTimings timings;
    timings.ConnectTimeoutMs = 2000;
    timings.ReconnectWaitMs = 200;
    THostServices services;
    services.MakeScreen = [] { return std::make_shared<TFakeScreen>(640, 480); };
    services.DownloadDir = (FDir / "dl").string();
    Form = std::make_unique<TfrmClientMain>(
        Ui, services, FDialogs, [this](const TViewerRequest& ARequest) { Opened.push_back(ARequest); }, APort,
        timings);
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
  bool Answer = false;
  int Inputs = 0;
  std::optional<QString> InputAnswer;
  std::vector<TViewerRequest> Opened;
  std::unique_ptr<TfrmClientMain> Form;
};

TEST_F(MainWindowTest, StartsWithTheDesignedTextsAndStoredQuality) {
  {
    TAppConfig cfg;
    cfg.SetDefaultQuality(2);
  }
  Open(ClosedPort());
  EXPECT_EQ(Form->windowTitle(), "TALMIR Remote");
  EXPECT_EQ(Form->size(), QSize(760, 560));
  EXPECT_EQ(Form->MyIDText(), "--- --- ---");
  EXPECT_EQ(Form->HeaderState(), "연결 중");
  EXPECT_EQ(Form->cbQuality->count(), 3);
  EXPECT_EQ(Form->cbQuality->currentIndex(), 2);
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

}  // namespace
}  // namespace tlm

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
