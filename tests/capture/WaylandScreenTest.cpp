// The Wayland screen and the capturer on it, against a private headless sway with two outputs
// showing desktop-like backgrounds: monitors as the output layout gives them (and a new list
// when an output is added), each monitor's key frame against what grim captures of the same
// output, a scaled output at its logical size, rectangles across outputs, copies skipped for
// want of damage, a compositor that goes away, and none at all.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "capture/ScreenCapturer.h"
#include "platform/wayland/WaylandScreen.h"
#include "tests/capture/TestPictures.h"
#include "tests/support/SwayServer.h"

namespace tlm {
namespace {

struct TPicture {
  int Width = 0, Height = 0;
  std::vector<uint32_t> Pixels;  // 0x00RRGGBB
};

void WritePpm(const std::string& APath, const std::vector<uint32_t>& APixels, int AWidth, int AHeight) {
  std::ofstream Out(APath, std::ios::binary);
  Out << "P6\n" << AWidth << " " << AHeight << "\n255\n";
  for (uint32_t P : APixels) {
    const char Rgb[3] = {char((P >> 16) & 0xFF), char((P >> 8) & 0xFF), char(P & 0xFF)};
    Out.write(Rgb, 3);
  }
}

// A binary PPM as grim writes it (no comments).
bool ParsePpm(const std::string& AData, TPicture& AOut) {
  size_t At = 0;
  auto Token = [&] {
    while (At < AData.size() && std::isspace(static_cast<unsigned char>(AData[At]))) ++At;
    const size_t Start = At;
    while (At < AData.size() && !std::isspace(static_cast<unsigned char>(AData[At]))) ++At;
    return AData.substr(Start, At - Start);
  };
  if (Token() != "P6") return false;
  AOut.Width = std::atoi(Token().c_str());
  AOut.Height = std::atoi(Token().c_str());
  if (Token() != "255") return false;
  ++At;
  const size_t N = size_t(AOut.Width) * size_t(AOut.Height);
  if (AOut.Width <= 0 || AOut.Height <= 0 || AData.size() - At < N * 3) return false;
  AOut.Pixels.resize(N);
  for (size_t I = 0; I < N; ++I) {
    const auto* P = reinterpret_cast<const uint8_t*>(AData.data() + At + I * 3);
    AOut.Pixels[I] = (uint32_t(P[0]) << 16) | (uint32_t(P[1]) << 8) | P[2];
  }
  return true;
}

double PsnrWords(const uint32_t* A, size_t AStride, const TPicture& B) {
  double Sum = 0;
  for (int Y = 0; Y < B.Height; ++Y)
    for (int X = 0; X < B.Width; ++X) {
      const uint32_t P = A[size_t(Y) * AStride + X], Q = B.Pixels[size_t(Y) * B.Width + X];
      for (int S = 0; S < 24; S += 8) {
        const double D = double((P >> S) & 0xFF) - double((Q >> S) & 0xFF);
        Sum += D * D;
      }
    }
  const double Mse = Sum / (3.0 * B.Width * B.Height);
  return Mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / Mse);
}

class WaylandScreenTest : public ::testing::Test {
protected:
  void SetUp() override {
    for (const char* Tool : {"grim", "swaybg", "swaymsg"})
      if (!test::TSwayServer::HasProgram(Tool)) GTEST_SKIP() << Tool << " is not installed (scripts/install-deps installs it)";
    char Template[] = "/tmp/tlm-wlbg-XXXXXX";
    ASSERT_NE(::mkdtemp(Template), nullptr);
    Backgrounds = Template;
    ::chmod(Template, 0755);  // the compositor's background program runs as another user
    std::string Config = "default_border none\n";
    const int Sizes[2][4] = {{800, 600, 0, 0}, {640, 480, 800, 0}};
    for (int I = 0; I < 2; ++I) {
      const auto [W, H, X, Y] = Sizes[I];
      const std::string Bg = Backgrounds + "/bg" + std::to_string(I + 1) + ".ppm";
      WritePpm(Bg, test::MakeDesktopPicture(W, H, uint32_t(I + 7)), W, H);
      ::chmod(Bg.c_str(), 0644);
      Config += "output HEADLESS-" + std::to_string(I + 1) + " resolution " + std::to_string(W) + "x" + std::to_string(H) +
                " position " + std::to_string(X) + " " + std::to_string(Y) + " bg " + Bg + " stretch\n";
    }
    Sway = std::make_unique<test::TSwayServer>(Config);
    if (!Sway->Running()) GTEST_SKIP() << "no headless sway: " << Sway->Error();
    // The backgrounds are drawn by a client of their own, a moment after start.
    for (int I = 0; I < 2; ++I) {
      const std::vector<uint32_t> Want = test::MakeDesktopPicture(Sizes[I][0], Sizes[I][1], uint32_t(I + 7));
      bool Shown = false;
      for (int Try = 0; Try < 100 && !Shown; ++Try) {
        const TPicture P = Grim(I + 1);
        Shown = P.Width == Sizes[I][0] && P.Height == Sizes[I][1] && PsnrWords(Want.data(), size_t(P.Width), P) >= 40;
        if (!Shown) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      ASSERT_TRUE(Shown) << "the background of output " << I + 1 << " never appeared";
    }
  }
  void TearDown() override {
    Sway.reset();
    if (!Backgrounds.empty()) std::filesystem::remove_all(Backgrounds);
  }

  // What grim captures of output AIndex (1-based), cursor included as the screen includes it.
  TPicture Grim(int AIndex) {
    TPicture P;
    ParsePpm(Sway->Run("grim -c -t ppm -o HEADLESS-" + std::to_string(AIndex) + " -"), P);
    return P;
  }

  std::string Backgrounds;
  std::unique_ptr<test::TSwayServer> Sway;
};

TEST_F(WaylandScreenTest, MonitorsAreTheOutputLayoutAndFollowIt) {
  auto Screen = std::make_shared<TWaylandScreen>(Sway->Socket());
  EXPECT_EQ(Screen->Problem(), "");
  const std::vector<TMonitorInfoRec> Two = {{{0, 0, 800, 600}, true}, {{800, 0, 1440, 480}, false}};
  EXPECT_EQ(Screen->EnumMonitors(), Two);
  EXPECT_EQ(Screen->ScreenRect(), (TPixelRect{0, 0, 1440, 600}));
  TScreenCapturer Capturer(Screen, 1);
  EXPECT_EQ(Capturer.MonitorCount(), 2);
  EXPECT_FALSE(Screen->TakeLayoutChange());

  // A new output: the screen tells, and the capturer's list grows.
  Sway->Run("swaymsg create_output");
  Sway->Run("swaymsg output HEADLESS-3 resolution 320x240 position 0 600");
  bool Changed = false;
  for (int I = 0; I < 100 && !(Changed = Capturer.CheckLayout() && Capturer.MonitorCount() == 3); ++I)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // The mode may arrive after the output: wait for the list to settle.
  for (int I = 0; I < 50 && !(Capturer.MonitorCount() == 3 && Capturer.GetMonitor(2).Bounds == TPixelRect{0, 600, 320, 840}); ++I) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Capturer.CheckLayout();
  }
  EXPECT_TRUE(Changed);
  ASSERT_EQ(Capturer.MonitorCount(), 3);
  EXPECT_EQ(Capturer.GetMonitor(2).Bounds, (TPixelRect{0, 600, 320, 840}));

}

TEST_F(WaylandScreenTest, KeyFrameOfEachMonitorIsWhatGrimCaptures) {
  TScreenCapturer Capturer(std::make_shared<TWaylandScreen>(Sway->Socket()), 1);
  ASSERT_EQ(Capturer.MonitorCount(), 2);
  Capturer.SetQuality(90);  // so that a wrong pixel, not the JPEG's loss, decides
  for (int Index = 0; Index < 2; ++Index) {
    SCOPED_TRACE("monitor " + std::to_string(Index));
    const TPicture Reference = Grim(Index + 1);
    ASSERT_FALSE(Reference.Pixels.empty());
    Capturer.SelectMonitor(Index);
    std::vector<TEncodedRect> Rects;
    int W = 0, H = 0;
    ASSERT_TRUE(Capturer.Capture(true, Rects, W, H));
    EXPECT_EQ(W, Reference.Width);
    EXPECT_EQ(H, Reference.Height);
    int64_t Area = 0;
    double Worst = 99;
    for (const TEncodedRect& R : Rects) {
      test::TDecodedJpeg D;
      ASSERT_TRUE(test::DecodeJpeg(R.Data, D));
      Worst = std::min(Worst, test::Psnr(D, Reference.Pixels.data(), size_t(Reference.Width), R.Rect.X, R.Rect.Y));
      Area += int64_t(R.Rect.W) * R.Rect.H;
    }
    EXPECT_EQ(Area, int64_t(W) * H);
    EXPECT_GE(Worst, 28.0);
    std::cout << "monitor " << Index << ": " << Rects.size() << " rectangles, worst PSNR " << Worst << " dB\n";
  }
}

TEST_F(WaylandScreenTest, RectanglesAcrossOutputsAreTheirPixels) {
  TWaylandScreen Screen(Sway->Socket());
  const TPicture Left = Grim(1), Right = Grim(2);
  ASSERT_FALSE(Left.Pixels.empty());
  ASSERT_FALSE(Right.Pixels.empty());
  // Straddles both outputs and reaches below the shorter one, where nothing is copied.
  const TPixelRect R{700, 400, 900, 560};
  std::vector<uint32_t> Got(size_t(R.Width()) * R.Height(), 0xABCDEFu);
  ASSERT_TRUE(Screen.CopyRect(R, Got.data(), size_t(R.Width())));
  int Wrong = 0;
  for (int Y = R.Top; Y < R.Bottom; ++Y)
    for (int X = R.Left; X < R.Right; ++X) {
      uint32_t Want = 0xABCDEFu;
      if (X < 800) Want = Left.Pixels[size_t(Y) * Left.Width + X];
      else if (Y < 480) Want = Right.Pixels[size_t(Y) * Right.Width + (X - 800)];
      if ((Got[size_t(Y - R.Top) * R.Width() + (X - R.Left)] & 0xFFFFFF) != Want) ++Wrong;
    }
  EXPECT_EQ(Wrong, 0);
  // Grab lends only a whole output.
  TPixelView View;
  EXPECT_FALSE(Screen.Grab(R, View));
  ASSERT_TRUE(Screen.Grab({800, 0, 1440, 480}, View));
  EXPECT_GE(PsnrWords(View.Pixels, View.Stride, Right), 99.0);
}

TEST_F(WaylandScreenTest, AScaledOutputIsSentAtItsLogicalSize) {
  Sway->Run("swaymsg output HEADLESS-2 scale 2");
  TWaylandScreen Screen(Sway->Socket());
  std::vector<TMonitorInfoRec> List;
  for (int I = 0; I < 100 && !(List.size() == 2 && List[1].Bounds.Width() == 320); ++I) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Screen.TakeLayoutChange();
    List = Screen.EnumMonitors();
  }
  ASSERT_EQ(List.size(), 2u);
  ASSERT_EQ(List[1].Bounds, (TPixelRect{800, 0, 1120, 240}));
  // grim takes the output at its full 640 x 480 pixels; the screen gives every second one.
  TPicture Full;
  for (int I = 0; I < 50 && Full.Width != 640; ++I) Full = Grim(2);
  ASSERT_EQ(Full.Width, 640);
  TPixelView View;
  ASSERT_TRUE(Screen.Grab(List[1].Bounds, View));
  int Wrong = 0;
  for (int Y = 0; Y < 240; ++Y)
    for (int X = 0; X < 320; ++X)
      if ((View.Pixels[size_t(Y) * View.Stride + X] & 0xFFFFFF) != Full.Pixels[size_t(2 * Y) * 640 + 2 * X]) ++Wrong;
  EXPECT_EQ(Wrong, 0);
}

TEST_F(WaylandScreenTest, AnUndamagedOutputIsNotCopiedAgain) {
  TWaylandScreen Screen(Sway->Socket());
  const TPixelRect Out{0, 0, 800, 600};
  TPixelView View;
  ASSERT_TRUE(Screen.Grab(Out, View));
  const std::vector<uint32_t> First(View.Pixels, View.Pixels + View.Stride * 600);
  const uint64_t Before = Screen.UndamagedCaptures();
  ASSERT_TRUE(Screen.Grab(Out, View));
  ASSERT_TRUE(Screen.Grab(Out, View));
  EXPECT_GE(Screen.UndamagedCaptures(), Before + 1);
  EXPECT_TRUE(std::equal(First.begin(), First.end(), View.Pixels));
  // A new background is damage: the next picture shows it.
  Sway->Run("swaymsg output HEADLESS-1 bg '#204080' solid_color");
  bool Blue = false;
  for (int I = 0; I < 100 && !Blue; ++I) {
    ASSERT_TRUE(Screen.Grab(Out, View));
    Blue = (View.Pixels[300 * View.Stride + 400] & 0xFFFFFF) == 0x204080;
    if (!Blue) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(Blue);
}

TEST_F(WaylandScreenTest, ACompositorThatGoesAwayFailsCopies) {
  TWaylandScreen Screen(Sway->Socket());
  TPixelView View;
  ASSERT_TRUE(Screen.Grab({0, 0, 800, 600}, View));
  Sway->Kill();
  uint32_t Pixel = 0;
  for (int I = 0; I < 3; ++I) {
    EXPECT_FALSE(Screen.Grab({0, 0, 800, 600}, View));
    EXPECT_FALSE(Screen.CopyRect({0, 0, 1, 1}, &Pixel, 1));
  }
  EXPECT_TRUE(Screen.EnumMonitors().empty());
  EXPECT_NE(Screen.Problem(), "");
}

TEST(WaylandScreenNoCompositor, ReportsNothingAndFailsCopies) {
  TWaylandScreen Screen("/nonexistent/wayland-0");
  EXPECT_NE(Screen.Problem(), "");
  EXPECT_TRUE(Screen.EnumMonitors().empty());
  EXPECT_TRUE(Screen.ScreenRect().Empty());
  uint32_t Pixel = 0;
  EXPECT_FALSE(Screen.CopyRect({0, 0, 1, 1}, &Pixel, 1));
  TPixelView View;
  EXPECT_FALSE(Screen.Grab({0, 0, 1, 1}, View));
  EXPECT_FALSE(Screen.TakeLayoutChange());
}

}  // namespace
}  // namespace tlm
