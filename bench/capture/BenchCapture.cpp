// Prints how long a keyframe capture (copy, cursor, hash, encode) and an idle capture (copy,
// cursor, hash, nothing to send) of a 1920x1080 desktop-like picture take, next to libjpeg-turbo
// compressing the same picture as one image at the same quality, measured in the same run.
// Figures only: nothing here passes or fails.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <thread>
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
  double Median = 0;  // wall clock
  double Min = 0;     // wall clock
  double Cpu = 0;     // median processor time of the calling thread
};

double ThreadCpuMs() {
  timespec T{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &T);
  return double(T.tv_sec) * 1e3 + double(T.tv_nsec) / 1e6;
}

// Runs the workloads in turns (so a busy moment of this shared machine hits them alike), ARuns
// times each after one warm-up turn, and gives each one's median and fastest wall-clock
// milliseconds and its median processor time on this thread (which other processes' load
// disturbs far less than the wall clock).
std::vector<TFigure> MeasureInTurns(int ARuns, const std::vector<std::function<void()>>& AWork) {
  std::vector<std::vector<double>> Ms(AWork.size()), Cpu(AWork.size());
  for (int Turn = -1; Turn < ARuns; ++Turn)
    for (size_t I = 0; I < AWork.size(); ++I) {
      const double C0 = ThreadCpuMs();
      const auto T0 = std::chrono::steady_clock::now();
      AWork[I]();
      const double D = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - T0).count();
      if (Turn >= 0) {
        Ms[I].push_back(D);
        Cpu[I].push_back(ThreadCpuMs() - C0);
      }
    }
  std::vector<TFigure> Out;
  for (size_t I = 0; I < Ms.size(); ++I) {
    std::sort(Ms[I].begin(), Ms[I].end());
    std::sort(Cpu[I].begin(), Cpu[I].end());
    Out.push_back({Ms[I][Ms[I].size() / 2], Ms[I].front(), Cpu[I][Cpu[I].size() / 2]});
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
  const std::shared_ptr<IScreen> Screen(&AScreen, [](IScreen*) {});
  TScreenCapturer Single(Screen, 1);
  TScreenCapturer Parallel(Screen, 0);
  Single.SetQuality(Quality);
  Parallel.SetQuality(Quality);
  std::vector<TEncodedRect> SingleRects, ParallelRects, IdleRects;
  int W = 0, H = 0;
  size_t RawBytes = 0;
  const std::vector<TFigure> F = MeasureInTurns(
      40, {[&] { AScreen.CopyRect({0, 0, Width, Height}, Buffer.data(), Width); },
           [&] { RawBytes = CompressWhole(ARgb, Quality); },
           [&] { Single.Capture(true, SingleRects, W, H); },
           [&] { Parallel.Capture(true, ParallelRects, W, H); },
           [&] { Single.Capture(false, IdleRects, W, H); }});
  const TFigure &Copy = F[0], &Raw = F[1], &Key1 = F[2], &KeyN = F[3], &Idle = F[4];
  size_t Bytes = 0;
  bool Identical = SingleRects.size() == ParallelRects.size();
  for (size_t I = 0; I < SingleRects.size(); ++I) {
    Bytes += SingleRects[I].Data.size();
    Identical = Identical && I < ParallelRects.size() && SingleRects[I].Data == ParallelRects[I].Data;
  }

  std::printf("%s screen, %dx%d, quality %d, %u processors   wall median  wall min  thread cpu\n", AName, W, H,
              Quality, std::thread::hardware_concurrency());
  auto Line = [](const char* ALabel, const TFigure& AF) {
    std::printf("  %-44s %7.2f   %7.2f   %7.2f ms", ALabel, AF.Median, AF.Min, AF.Cpu);
  };
  Line("copy of the whole monitor", Copy);
  std::printf("\n");
  Line("libjpeg-turbo, whole picture as one image", Raw);
  std::printf("  (%zu KB)\n", RawBytes / 1024);
  Line("keyframe capture, encoding on one thread", Key1);
  std::printf("  (%zu rectangles, %zu KB)\n", SingleRects.size(), Bytes / 1024);
  Line("keyframe capture, encoding in parallel", KeyN);
  std::printf("  (bytes identical: %s)\n", Identical ? "yes" : "NO");
  Line("idle capture (target under 3 ms)", Idle);
  std::printf("\n");
  std::printf("  one thread: keyframe / (libjpeg + copy)      %7.2f   %7.2f   %7.2f    (target at most 1.5)\n",
              Key1.Median / (Raw.Median + Copy.Median), Key1.Min / (Raw.Min + Copy.Min), Key1.Cpu / (Raw.Cpu + Copy.Cpu));
  std::printf("  parallel:   keyframe / (libjpeg + copy)      %7.2f   %7.2f        (wall clock only)\n",
              KeyN.Median / (Raw.Median + Copy.Median), KeyN.Min / (Raw.Min + Copy.Min));
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
