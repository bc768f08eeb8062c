// The X11 screen and the capturer on it, against a private Xvfb: monitors as the server reports
// them, pixels as the server holds them, the cursor, and a server that is missing or goes away.
#include <gtest/gtest.h>

#include <iostream>
#include <memory>

#include "capture/ScreenCapturer.h"
#include "platform/x11/X11Screen.h"
#include "tests/capture/TestPictures.h"
#include "tests/support/XvfbServer.h"

#include "tests/capture/X11Painter.h"

// Last: Xlib defines macros (None, Bool, Status) that clash with C++ headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

namespace tlm {
namespace {

std::vector<uint32_t> Masked(std::vector<uint32_t> APixels) {
  for (auto& P : APixels) P &= 0xFFFFFF;
  return APixels;
}

class X11ScreenTest : public ::testing::Test {
protected:
  void SetUp() override {
    Server = std::make_unique<test::TXvfbServer>(1280, 800);
    if (!Server->Running()) GTEST_SKIP() << "no Xvfb: " << Server->Error();
    Client = std::make_unique<test::TX11Painter>(Server->Display());
    ASSERT_NE(Client->Dpy(), nullptr);
  }
  std::unique_ptr<test::TXvfbServer> Server;
  std::unique_ptr<test::TX11Painter> Client;
};

TEST_F(X11ScreenTest, MonitorsAreTheServersIncludingAddedOnes) {
  TX11Screen Screen(Server->Display());
  ASSERT_TRUE(Screen.Connected());
  EXPECT_EQ(Screen.ScreenRect(), (TPixelRect{0, 0, 1280, 800}));
  auto ServerMonitors = [&] {
    int N = 0;
    XRRMonitorInfo* M = XRRGetMonitors(Client->Dpy(), Client->Root(), True, &N);
    std::vector<TMonitorInfoRec> List;
    for (int I = 0; I < N; ++I)
      List.push_back({{M[I].x, M[I].y, M[I].x + M[I].width, M[I].y + M[I].height}, M[I].primary != 0});
    XRRFreeMonitors(M);
    return List;
  };
  const auto Initial = ServerMonitors();
  ASSERT_EQ(Initial.size(), 1u);
  EXPECT_EQ(Screen.EnumMonitors(), Initial);
  EXPECT_EQ(Initial[0].Bounds, (TPixelRect{0, 0, 1280, 800}));

  // Two monitors made by the test client: the left half and a primary right half.
  XRRMonitorInfo* Left = XRRAllocateMonitor(Client->Dpy(), 0);
  Left->name = XInternAtom(Client->Dpy(), "TEST-LEFT", False);
  Left->x = 0, Left->y = 0, Left->width = 640, Left->height = 800, Left->mwidth = 100, Left->mheight = 100;
  XRRSetMonitor(Client->Dpy(), Client->Root(), Left);
  XRRMonitorInfo* Right = XRRAllocateMonitor(Client->Dpy(), 0);
  Right->name = XInternAtom(Client->Dpy(), "TEST-RIGHT", False);
  Right->primary = True;
  Right->x = 640, Right->y = 0, Right->width = 640, Right->height = 800, Right->mwidth = 100, Right->mheight = 100;
  XRRSetMonitor(Client->Dpy(), Client->Root(), Right);
  XFree(Left);
  XFree(Right);
  XSync(Client->Dpy(), False);
  const auto Added = ServerMonitors();
  ASSERT_GE(Added.size(), 2u);
  EXPECT_EQ(Screen.EnumMonitors(), Added);
  EXPECT_TRUE(Screen.TakeLayoutChange()) << "monitors added by a client are a layout change";
  bool SawPrimaryRight = false;
  for (const auto& M : Added) SawPrimaryRight |= M.Primary && M.Bounds == TPixelRect{640, 0, 1280, 800};
  EXPECT_TRUE(SawPrimaryRight);
}

// What the screen copies is what the server holds, through shared memory and without it, also
// for a rectangle reaching past the screen's edge (the part outside is left as it was). A lent
// picture is the shared-memory image itself, rows a stride apart, and is offered only for
// rectangles wholly on the screen and only through shared memory.
TEST_F(X11ScreenTest, CopiesAndLendsWhatTheServerHolds) {
  const std::vector<uint32_t> Picture = test::MakeDesktopPicture(400, 300, 11);
  Client->ShowPicture(100, 50, 400, 300, Picture);
  ASSERT_EQ(Client->Read(100, 50, 400, 300), Picture) << "the test window never showed";
  struct TCase {
    const char* Name;
    bool Shm;
    TPixelRect Rect;
    bool Lent;
  };
  const TCase Cases[] = {
      {"shared memory, inside", true, {60, 20, 561, 421}, true},
      {"plain, inside", false, {60, 20, 560, 420}, false},
      {"shared memory, whole screen", true, {0, 0, 1280, 800}, true},
      {"shared memory, past the bottom-right", true, {1000, 700, 1400, 900}, false},
      {"shared memory, past the top-left", true, {-50, -30, 150, 120}, false},
      {"plain, past the top-left", false, {-50, -30, 150, 120}, false},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    TX11Screen Screen(Server->Display(), C.Shm);
    EXPECT_EQ(Screen.UsingSharedMemory(), C.Shm);
    const int W = C.Rect.Width(), H = C.Rect.Height();
    constexpr uint32_t Untouched = 0xDEADBEEF;
    std::vector<uint32_t> Got(size_t(W) * size_t(H), Untouched);
    // Twice: the second copy reuses the segment and image of the first.
    for (int Round = 0; Round < 2; ++Round) ASSERT_TRUE(Screen.CopyRect(C.Rect, Got.data(), size_t(W)));
    const TPixelRect On = IntersectRect(C.Rect, {0, 0, 1280, 800});
    const std::vector<uint32_t> Expected = Client->Read(On.Left, On.Top, On.Width(), On.Height());
    size_t Mismatches = 0, Overwritten = 0;
    for (int Y = C.Rect.Top; Y < C.Rect.Bottom; ++Y)
      for (int X = C.Rect.Left; X < C.Rect.Right; ++X) {
        const uint32_t G = Got[size_t(Y - C.Rect.Top) * size_t(W) + size_t(X - C.Rect.Left)];
        if (X >= On.Left && X < On.Right && Y >= On.Top && Y < On.Bottom)
          Mismatches += (G & 0xFFFFFF) != Expected[size_t(Y - On.Top) * size_t(On.Width()) + size_t(X - On.Left)];
        else
          Overwritten += G != Untouched;
      }
    EXPECT_EQ(Mismatches, 0u);
    EXPECT_EQ(Overwritten, 0u);

    TPixelView View;
    ASSERT_EQ(Screen.Grab(C.Rect, View), C.Lent);
    if (!C.Lent) continue;
    ASSERT_GE(View.Stride, size_t(W));
    Mismatches = 0;
    for (int Y = 0; Y < H; ++Y)
      for (int X = 0; X < W; ++X)
        Mismatches += (View.Pixels[size_t(Y) * View.Stride + size_t(X)] & 0xFFFFFF) != Expected[size_t(Y) * size_t(W) + size_t(X)];
    EXPECT_EQ(Mismatches, 0u);
  }
}

// The capturer gives the same bytes from the lent shared-memory image as from a plain copy.
TEST_F(X11ScreenTest, CapturerGivesTheSameBytesFromALentPicture) {
  const std::vector<uint32_t> Picture = test::MakeDesktopPicture(1280, 800, 8);
  Client->ShowPicture(0, 0, 1280, 800, Picture);
  Client->MovePointer(333, 222);
  TScreenCapturer Lent(std::make_shared<TX11Screen>(Server->Display(), true), 2);
  TScreenCapturer Copied(std::make_shared<TX11Screen>(Server->Display(), false), 1);
  std::vector<TEncodedRect> A, B;
  int W = 0, H = 0;
  ASSERT_TRUE(Lent.Capture(false, A, W, H));
  ASSERT_TRUE(Copied.Capture(false, B, W, H));
  ASSERT_EQ(A.size(), B.size());
  for (size_t I = 0; I < A.size(); ++I) EXPECT_TRUE(A[I].Data == B[I].Data) << "rectangle " << I;
}

// RandR tells the screen of a resize: it says so once, then reports the new size, and the
// capturer sends the whole picture at that size.
TEST_F(X11ScreenTest, ResizeIsReportedOnceAndCapturedAtTheNewSize) {
  auto Screen = std::make_shared<TX11Screen>(Server->Display());
  TScreenCapturer Capturer(Screen, 2);
  std::vector<TEncodedRect> Rects;
  int W = 0, H = 0;
  ASSERT_TRUE(Capturer.Capture(false, Rects, W, H));
  EXPECT_FALSE(Capturer.CheckLayout()) << "nothing changed yet";

  ASSERT_TRUE(Client->ResizeScreen(1024, 600));
  // The notification travels asynchronously; a round trip on the screen's own connection
  // (EnumMonitors) makes sure it has arrived.
  Screen->EnumMonitors();
  EXPECT_TRUE(Capturer.CheckLayout());
  EXPECT_FALSE(Screen->TakeLayoutChange()) << "told once";
  EXPECT_EQ(Screen->ScreenRect(), (TPixelRect{0, 0, 1024, 600}));
  ASSERT_EQ(Capturer.MonitorCount(), 1);
  EXPECT_EQ(Capturer.GetMonitor(0).Bounds, (TPixelRect{0, 0, 1024, 600}));
  ASSERT_TRUE(Capturer.Capture(false, Rects, W, H));
  EXPECT_EQ(W, 1024);
  EXPECT_EQ(H, 600);
  int Covered = 0;
  for (const auto& R : Rects) {
    EXPECT_EQ(R.Rect.W, 1024);
    Covered += R.Rect.H;
  }
  EXPECT_EQ(Covered, 600);
}

// A 16-bit screen (5-6-5 pixels) comes out as the same 0x00RRGGBB words.
TEST(X11ScreenDepthTest, SixteenBitPixelsAreWidenedToRgb) {
  test::TXvfbServer Server(320, 200, 16);
  if (!Server.Running()) GTEST_SKIP() << "no Xvfb: " << Server.Error();
  test::TX11Painter Client(Server.Display());
  ASSERT_NE(Client.Dpy(), nullptr);
  Display* Dpy = Client.Dpy();
  ASSERT_EQ(DefaultDepth(Dpy, 0), 16);
  const struct {
    unsigned long Pixel;
    uint32_t Rgb;
  } Colours[] = {{0xF800, 0xFF0000}, {0x07E0, 0x00FF00}, {0x001F, 0x0000FF}, {0xFFFF, 0xFFFFFF}, {0x0000, 0x000000}};
  const GC G = XCreateGC(Dpy, Client.Root(), 0, nullptr);
  for (int I = 0; I < 5; ++I) {
    XSetForeground(Dpy, G, Colours[I].Pixel);
    XFillRectangle(Dpy, Client.Root(), G, I * 64, 0, 64, 200);
  }
  XFreeGC(Dpy, G);
  XSync(Dpy, False);
  for (bool Shm : {true, false}) {
    SCOPED_TRACE(Shm ? "shared memory" : "plain");
    TX11Screen Screen(Server.Display(), Shm);
    std::vector<uint32_t> Got(320 * 200);
    ASSERT_TRUE(Screen.CopyRect({0, 0, 320, 200}, Got.data(), 320));
    for (int I = 0; I < 5; ++I) EXPECT_EQ(Got[size_t(100 * 320 + I * 64 + 10)] & 0xFFFFFF, Colours[I].Rgb) << I;
  }
}

TEST_F(X11ScreenTest, CursorIsReportedAtThePointerWithItsHotspot) {
  Client->MovePointer(500, 400);
  TX11Screen Screen(Server->Display());
  TCursorImage C;
  ASSERT_TRUE(Screen.GetCursor(C));
  EXPECT_EQ(C.X, 500);
  EXPECT_EQ(C.Y, 400);
  EXPECT_GT(C.Width, 0);
  EXPECT_GT(C.Height, 0);
  EXPECT_EQ(C.Pixels.size(), size_t(C.Width) * size_t(C.Height));
  EXPECT_TRUE(C.HotX >= 0 && C.HotX < C.Width && C.HotY >= 0 && C.HotY < C.Height);
  bool Opaque = false;
  for (uint32_t P : C.Pixels) {
    Opaque |= (P >> 24) == 0xFF;
    // Premultiplied: no channel exceeds alpha.
    EXPECT_LE((P >> 16) & 0xFF, P >> 24);
    EXPECT_LE(P & 0xFF, P >> 24);
  }
  EXPECT_TRUE(Opaque) << "the server's default cursor has opaque pixels";
}

// The capturer on the X11 screen: every rectangle decodes to what the server shows, and the
// cursor is painted where the pointer is.
TEST_F(X11ScreenTest, CapturerPicturesMatchTheServer) {
  const std::vector<uint32_t> Picture = test::MakeDesktopPicture(1280, 800, 4);
  Client->ShowPicture(0, 0, 1280, 800, Picture);
  // Pointer far into the picture's wallpaper so the reference below can include it.
  Client->MovePointer(20, 20);
  TScreenCapturer Capturer(std::make_shared<TX11Screen>(Server->Display()));
  ASSERT_EQ(Capturer.MonitorCount(), 1);
  Capturer.SetQuality(90);
  std::vector<TEncodedRect> Rects;
  int W = 0, H = 0;
  ASSERT_TRUE(Capturer.Capture(false, Rects, W, H));
  EXPECT_EQ(W, 1280);
  EXPECT_EQ(H, 800);
  ASSERT_EQ(Rects.size(), 5u);
  const std::vector<uint32_t> Held = Masked(Client->Read(0, 0, 1280, 800));
  for (const auto& R : Rects) {
    test::TDecodedJpeg D;
    ASSERT_TRUE(test::DecodeJpeg(R.Data, D));
    EXPECT_EQ(D.Width, R.Rect.W);
    EXPECT_EQ(D.Height, R.Rect.H);
    // The server's picture has no cursor; the first tile row holds it, so allow for it there.
    EXPECT_GT(test::Psnr(D, Held.data(), 1280, R.Rect.X, R.Rect.Y), R.Rect.Y == 0 ? 24.0 : 28.0);
  }
  // Moving the pointer changes the tiles it leaves and enters, nothing else.
  Client->MovePointer(1000, 700);
  ASSERT_TRUE(Capturer.Capture(false, Rects, W, H));
  ASSERT_EQ(Rects.size(), 2u);
  EXPECT_EQ(Rects[0].Rect.Y, 0);
  EXPECT_EQ(Rects[1].Rect.Y, 640);
  EXPECT_FALSE(Capturer.Capture(false, Rects, W, H));
}

TEST(X11ScreenNoServerTest, MissingDisplayFailsQuietly) {
  TX11Screen Screen(":9999");
  EXPECT_FALSE(Screen.Connected());
  EXPECT_TRUE(Screen.EnumMonitors().empty());
  EXPECT_TRUE(Screen.ScreenRect().Empty());
  uint32_t Pixel = 7;
  EXPECT_FALSE(Screen.CopyRect({0, 0, 1, 1}, &Pixel, 1));
  EXPECT_EQ(Pixel, 7u);
  TCursorImage C;
  EXPECT_FALSE(Screen.GetCursor(C));
}

TEST_F(X11ScreenTest, ServerGoingAwayDoesNotEndTheProgram) {
#if defined(__SANITIZE_THREAD__)
  // libX11's I/O error path, when its handlers return instead of exiting, releases the display
  // lock that the failing call releases again on its way out; the thread sanitizer reports that
  // double unlock inside libX11, which this test cannot avoid.
  GTEST_SKIP() << "libX11 unlocks the display twice after a lost connection";
#endif
  const std::string Name = Server->Display();
  TX11Screen Screen(Name);
  std::vector<uint32_t> Pixels(64 * 64);
  ASSERT_TRUE(Screen.CopyRect({0, 0, 64, 64}, Pixels.data(), 64));
  Client.reset();
  Server.reset();
  const bool Copied1 = Screen.CopyRect({0, 0, 64, 64}, Pixels.data(), 64);
  const bool Copied2 = Screen.CopyRect({0, 0, 64, 64}, Pixels.data(), 64);
  const bool NoMonitors = Screen.EnumMonitors().empty();
  const bool Connected = Screen.Connected();
  // The screen reconnects to whatever serves its display name, and a test running beside this
  // one may start its own server under the number just freed: then the calls rightly succeed.
  if (Display* Other = XOpenDisplay(Name.c_str())) {
    XCloseDisplay(Other);
    std::cout << "display " << Name << " was taken over by another server; only survival is checked\n";
    return;
  }
  EXPECT_FALSE(Copied1);
  EXPECT_FALSE(Copied2);
  EXPECT_TRUE(NoMonitors);
  EXPECT_FALSE(Connected);
}

}  // namespace
}  // namespace tlm
