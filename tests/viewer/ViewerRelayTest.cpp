// A viewer window through the real relay server (in-process, ephemeral port) to a scripted
// host: admission, the session's first messages in both directions, the host leaving, and
// a request for an ID nobody holds.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QMouseEvent>
#include <QPointer>
#include <memory>

#include "protocol/Frame.h"
#include "protocol/Messages.h"
#include "relay/RelayServer.h"
#include "tests/support/QuietRelay.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/viewer/ViewerTestSupport.h"
#include "viewer/RemoteForm.h"

namespace tlm {
namespace {

using test::WaitUntil;

class ViewerRelayTest : public ::testing::Test {
protected:
  void SetUp() override {
    TRelayOptions options = test::QuietLoopbackRelay();
    FRelay = std::make_unique<TRelayServer>(options);
    FPort = FRelay->Start();
  }
  void TearDown() override {
    delete FWindow;
    FRelay->Stop();
  }
  void OpenWindow(const std::string& AId) {
    FWindow = TfrmRemote::CreateSession(nullptr, "127.0.0.1", FPort, AId, "Viewer", "", 2);
    TViewerDialogs dialogs;
    dialogs.Warning = [this](QWidget*, const QString& AText) { FWarnings << AText; };
    dialogs.Error = [this](QWidget*, const QString& AText) { FWarnings << AText; };
    FWindow->SetDialogs(dialogs);
    FWindow->show();
    FWindow->StartConnect();
  }

  std::unique_ptr<TRelayServer> FRelay;
  uint16_t FPort = 0;
  TfrmRemote* FWindow = nullptr;
  QStringList FWarnings;
};

TEST_F(ViewerRelayTest, SessionThroughTheRelay) {
  auto host = std::make_unique<test::TScriptedPeer>(FPort);
  const std::string id = host->Register("DVIEWERTESTHOST");
  ASSERT_FALSE(id.empty());
  OpenWindow(id);
  const std::string admit = host->ExpectText(MsgAdmitRequest);
  EXPECT_NE(admit.find("\tViewer\t"), std::string::npos) << admit;
  EXPECT_TRUE(WaitUntil([&] { return FWindow->StatusText() == QString::fromUtf8("원격지 승인 대기 중..."); }));

  host->Send(MsgAdmitAccept);
  host->Expect(MsgSessionStart);
  const TPacket quality = host->Expect(MsgQuality);
  EXPECT_EQ(quality.Payload, QualityPayload(2));  // through the relay whole, the codings included
  EXPECT_TRUE(WaitUntil([&] { return FWindow->StatusText() == QString::fromUtf8("연결됨 - 원격 제어 중"); }));

  host->SendText(MsgMonitorList, "0\t640\t480\t1");
  std::vector<TEncodedRect> rects(1);
  rects[0].Data = test::SolidJpeg(64, 48, QColor(200, 40, 40));
  rects[0].Rect.W = 64;
  rects[0].Rect.H = 48;
  rects[0].Rect.DataLen = static_cast<uint32_t>(rects[0].Data.size());
  host->Send(MsgFrame, BuildFramePayload(1, 640, 480, true, rects));
  host->Expect(MsgFrameAck);
  EXPECT_TRUE(WaitUntil([&] { return FWindow->MonitorBox()->count() == 1; }));
  EXPECT_EQ(FWindow->RemoteWidth(), 640);
  EXPECT_TRUE(test::Near(FWindow->ScreenSnapshot().pixel(10, 10), QColor(200, 40, 40)));

  QWidget* canvas = FWindow->Canvas();
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(0, 0), canvas->mapToGlobal(QPointF(0, 0)), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(canvas, &press);
  const TMouseEventRec mouse = UnpackMouseEvent(host->Expect(MsgMouse).Payload);
  EXPECT_EQ(mouse.Action, 1);
  EXPECT_EQ(mouse.X, 0);

  host.reset();  // the host leaves
  EXPECT_TRUE(WaitUntil([&] { return FWindow->StatusText() == QString::fromUtf8("원격지 연결 종료됨"); }));
  EXPECT_FALSE(FWindow->IsConnected());
  EXPECT_TRUE(FWindow->isVisible());
}

TEST_F(ViewerRelayTest, UnknownIdEndsInARelayError) {
  OpenWindow("999999999");
  EXPECT_TRUE(WaitUntil([&] { return FWarnings.size() == 1; }));
  EXPECT_FALSE(FWarnings[0].isEmpty());
  EXPECT_FALSE(FWindow->IsConnected());
  // The window stays with the reason and a way to try again; nobody is asked again by itself.
  EXPECT_TRUE(FWindow->isVisible());
  EXPECT_EQ(FWindow->BannerText(), FWarnings[0]);
  EXPECT_FALSE(FWindow->Retrying());
}

}  // namespace
}  // namespace tlm
