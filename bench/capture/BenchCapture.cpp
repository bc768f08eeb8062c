// Prints how long a keyframe capture (copy, cursor, hash, encode) and an idle capture (copy,
// cursor, hash, nothing to send) of a 1920x1080 desktop-like picture take, next to libjpeg-turbo
// compressing the same picture as one image at the same quality, measured in the same run.
// Figures only: nothing here passes or fails.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "capture/ScreenCapturer.h"
#include "platform/fake/FakeScreen.h"
#include "platform/x11/X11Screen.h"
#include "tests/capture/TestPictures.h"
#include "tests/capture/X11Painter.h"
#include "tests/support/XvfbServer.h"

#include <jpeglib.h>  // after <cstdio>: it needs size_t and FILE

using namespace tlm;

namespace {

constexpr int Width = 1920, Height = 1080, Quality = 62;

struct TFigure {
  double Median = 0;
  double Min = 0;
};

// Runs the workloads in turns (so a busy moment of this shared machine hits them alike), ARuns
// times each after one warm-up turn, and gives each one's median and fastest milliseconds.
std::vector<TFigure> MeasureInTurns(int ARuns, const std::vector<std::function<void()>>& AWork) {
  std::vector<std::vector<double>> Ms(AWork.size());
  for (int Turn = -1; Turn < ARuns; ++Turn)
    for (size_t I = 0; I < AWork.size(); ++I) {
      const auto T0 = std::chrono::steady_clock::now();
      AWork[I]();
      const double D = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - T0).count();
      if (Turn >= 0) Ms[I].push_back(D);
    }
  std::vector<TFigure> Out;
  for (auto& V : Ms) {
    std::sort(V.begin(), V.end());
    Out.push_back({V[V.size() / 2], V.front()});
  }
  return Out;
}

// libjpeg-turbo on its own: the whole picture as one RGB image, defaults, quality, baseline.
size_t CompressWhole(const std::vector<uint8_t>& ARgb, int AQuality) {
  jpeg_compress_struct C;
  jpeg_error_mgr E;
  C.err = jpeg_std_error(&E);
  jpeg_create_compress(&C);
  unsigned char* Out = nullptr;
  unsigned long OutLen = 0;
  jpeg_mem_dest(&C, &Out, &OutLen);
  C.image_width = Width;
  C.image_height = Height;
  C.input_components = 3;
  C.in_color_space = JCS_RGB;
  jpeg_set_defaults(&C);
  jpeg_set_quality(&C, AQuality, TRUE);
  jpeg_start_compress(&C, TRUE);
  while (C.next_scanline < C.image_height) {
    JSAMPROW Row = const_cast<JSAMPLE*>(ARgb.data() + size_t(C.next_scanline) * Width * 3);
    jpeg_write_scanlines(&C, &Row, 1);
  }
  jpeg_finish_compress(&C);
  jpeg_destroy_compress(&C);
  free(Out);
  return OutLen;
}

void Report(const char* AName, IScreen& AScreen, const std::vector<uint8_t>& ARgb) {
  std::vector<uint32_t> Buffer(size_t(Width) * Height);
  TScreenCapturer Capturer(std::shared_ptr<IScreen>(&AScreen, [](IScreen*) {}));
  Capturer.SetQuality(Quality);
  std::vector<TEncodedRect> KeyRects, IdleRects;
  int W = 0, H = 0;
  size_t RawBytes = 0;
  const std::vector<TFigure> F = MeasureInTurns(
      40, {[&] { AScreen.CopyRect({0, 0, Width, Height}, Buffer.data(), Width); },
           [&] { RawBytes = CompressWhole(ARgb, Quality); },
           [&] { Capturer.Capture(true, KeyRects, W, H); },
           [&] { Capturer.Capture(false, IdleRects, W, H); }});
  const TFigure &Copy = F[0], &Raw = F[1], &Key = F[2], &Idle = F[3];
  size_t Bytes = 0;
  for (const auto& R : KeyRects) Bytes += R.Data.size();

  std::printf("%s screen, %dx%d, quality %d                median      min\n", AName, W, H, Quality);
  std::printf("  copy of the whole monitor                  %7.2f  %7.2f ms\n", Copy.Median, Copy.Min);
  std::printf("  libjpeg-turbo, whole picture as one image  %7.2f  %7.2f ms  (%zu KB)\n", Raw.Median, Raw.Min,
              RawBytes / 1024);
  std::printf("  keyframe capture                           %7.2f  %7.2f ms  (%zu rectangles, %zu KB)\n", Key.Median,
              Key.Min, KeyRects.size(), Bytes / 1024);
  std::printf("  idle capture (target under 3 ms)           %7.2f  %7.2f ms  (%zu rectangles)\n", Idle.Median, Idle.Min,
              IdleRects.size());
  std::printf("  keyframe / (libjpeg + copy) (target <= 1.5) %6.2f  %7.2f\n", Key.Median / (Raw.Median + Copy.Median),
              Key.Min / (Raw.Min + Copy.Min));
}

}  // namespace

int main() {
  const std::vector<uint32_t> Picture = test::MakeDesktopPicture(Width, Height, 42);
  std::vector<uint8_t> Rgb;
  Rgb.reserve(Picture.size() * 3);
  for (uint32_t P : Picture) {
    Rgb.push_back(uint8_t(P >> 16));
    Rgb.push_back(uint8_t(P >> 8));
    Rgb.push_back(uint8_t(P));
  }
  {
    TFakeScreen Fake(Width, Height);
    Fake.Blit(0, 0, Width, Height, Picture.data());
    Report("Fake", Fake, Rgb);
  }

  test::TXvfbServer Server(Width, Height);
  if (!Server.Running()) {
    std::printf("X11 screen: skipped (%s)\n", Server.Error().c_str());
    return 0;
  }
  test::TX11Painter Painter(Server.Display());
  Painter.ShowPicture(0, 0, Width, Height, Picture);
  Painter.MovePointer(700, 500);
  TX11Screen X11(Server.Display());
  std::printf("(X11 copies through %s)\n", X11.UsingSharedMemory() ? "MIT-SHM" : "XGetImage");
  Report("X11 (Xvfb)", X11, Rgb);
  return 0;
}
