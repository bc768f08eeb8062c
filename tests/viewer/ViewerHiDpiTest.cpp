// The viewer window on a display whose device-pixel ratio is 2 (this executable's main sets
// QT_SCALE_FACTOR=2): the picture is painted at device pixels, once, and the mouse maps the
// half-pixel positions such a display reports exactly.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>

#include "protocol/Frame.h"
#include "protocol/Messages.h"
#include "tests/viewer/ViewerTestSupport.h"
#include "viewer/RemoteForm.h"

namespace tlm {
namespace {

using test::WaitUntil;

TEST(ViewerHiDpiTest, PictureAtDevicePixelsAndExactMouse) {
  test::TViewerPeer peer;
  TfrmRemote window(nullptr, "127.0.0.1", peer.Port(), "123456789", "Tester", "", 1);
  window.show();
  window.StartConnect();
  peer.Accept();
  ASSERT_TRUE(peer.Read());
  peer.Send(MsgSessionStart);
  ASSERT_TRUE(peer.Read());  // the quality
  ASSERT_TRUE(WaitUntil([&] { return window.IsConnected(); }));

  // A remote screen of 200 x 100 with one-pixel stripes, shown on a canvas of 100 x 50
  // logical pixels: exactly one remote pixel per device pixel.
  QImage stripes(200, 100, QImage::Format_RGB888);
  for (int x = 0; x < 200; ++x)
    for (int y = 0; y < 100; ++y) stripes.setPixelColor(x, y, x % 2 ? Qt::white : Qt::black);
  window.Canvas()->setFixedSize(100, 50);
  ASSERT_TRUE(WaitUntil([&] { return window.Canvas()->size() == QSize(100, 50); }));
  ASSERT_EQ(window.Canvas()->devicePixelRatioF(), 2.0);
  std::vector<TEncodedRect> rects(1);
  rects[0].Data = test::EncodeJpeg(stripes, 100);
  rects[0].Rect = {0, 0, 200, 100, uint32_t(rects[0].Data.size())};
  peer.Send(MsgFrame, BuildFramePayload(1, 200, 100, true, rects));
  ASSERT_TRUE(peer.Read());  // the acknowledgement
  ASSERT_TRUE(WaitUntil([&] {
    const QImage shown = window.Canvas()->grab().toImage();
    return shown.width() == 200 && QColor(shown.pixel(101, 50)).lightness() > 200;
  }));
  const QImage shown = window.Canvas()->grab().toImage();
  int crisp = 0;
  for (int x = 80; x < 120; ++x) {
    const int light = QColor(shown.pixel(x, 50)).lightness();
    if (x % 2 ? light > 200 : light < 55) ++crisp;
  }
  EXPECT_EQ(crisp, 40) << "the stripes were scaled on their way to the screen";

  struct TCase {
    QPointF Pos;
    int X, Y;
  } cases[] = {{{0, 0}, 0, 0}, {{10.5, 20.5}, 21, 41}, {{99.5, 49.5}, 199, 99}, {{50, 25}, 100, 50}};
  for (const auto& c : cases) {
    QMouseEvent move(QEvent::MouseMove, c.Pos, window.Canvas()->mapToGlobal(c.Pos), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(window.Canvas(), &move);
    auto p = peer.Read();
    ASSERT_TRUE(p && p->Type == MsgMouse);
    const TMouseEventRec m = UnpackMouseEvent(p->Payload);
    EXPECT_EQ(m.X, c.X) << c.Pos.x();
    EXPECT_EQ(m.Y, c.Y) << c.Pos.y();
  }
}

}  // namespace
}  // namespace tlm
