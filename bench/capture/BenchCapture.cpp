// Prints where the time of a capture turn goes, at each screen size asked for (default 1920x1080
// and 3840x2160, side by side): the screen copy, libjpeg-turbo compressing the same picture as
// one image and split over the processors, and the capturer's key-frame and idle captures, on
// the fake screen and on a private Xvfb of that size. All measured in the same run, in turns.
// Figures only: nothing here passes or fails.
//
//   bench_capture [WIDTHxHEIGHT ...]
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchTurns.h"
#include "capture/JpegEncoder.h"
#include "capture/ScreenCapturer.h"
#include "protocol/WorkerTeam.h"
#include "platform/fake/FakeScreen.h"
#include "platform/x11/X11Screen.h"
#include "tests/capture/TestPictures.h"
#include "tests/capture/X11Painter.h"
#include "tests/support/XvfbServer.h"

#include <jpeglib.h>  // after <cstdio>: it needs size_t and FILE

using namespace tlm;

namespace {

constexpr int Quality = 62;

struct TSize {
  int Width = 0;
  int Height = 0;
};

using bench::MeasureInTurns;
using bench::TFigure;

// libjpeg-turbo on its own: the whole picture as one RGB image, defaults, quality, baseline.
size_t CompressWhole(const std::vector<uint8_t>& ARgb, TSize ASize) {
  jpeg_compress_struct C;
  jpeg_error_mgr E;
  C.err = jpeg_std_error(&E);
  jpeg_create_compress(&C);
  unsigned char* Out = nullptr;
  unsigned long OutLen = 0;
  jpeg_mem_dest(&C, &Out, &OutLen);
  C.image_width = JDIMENSION(ASize.Width);
  C.image_height = JDIMENSION(ASize.Height);
  C.input_components = 3;
  C.in_color_space = JCS_RGB;
  jpeg_set_defaults(&C);
  jpeg_set_quality(&C, Quality, TRUE);
  jpeg_start_compress(&C, TRUE);
  while (C.next_scanline < C.image_height) {
    JSAMPROW Row = const_cast<JSAMPLE*>(ARgb.data() + size_t(C.next_scanline) * size_t(ASize.Width) * 3);
    jpeg_write_scanlines(&C, &Row, 1);
  }
  jpeg_finish_compress(&C);
  jpeg_destroy_compress(&C);
  free(Out);
  return OutLen;
}

// The same picture cut into one horizontal band per processor, the bands compressed at once,
// one per thread: the encoding part of the floor.
class TSplitCompressor {
public:
  TSplitCompressor(const std::vector<uint8_t>& ARgb, TSize ASize)
      : FRgb(ARgb), FSize(ASize), FTeam(TScreenCapturer::DefaultEncodeThreads() - 1) {
    FTeam.Run([](int) {});  // starts the helpers outside the measurement
    FEncoders.resize(size_t(FTeam.Size()));
    FOut.resize(size_t(FTeam.Size()));
    for (auto& E : FEncoders) E = std::make_unique<TJpegEncoder>();
  }
  int Bands() const { return FTeam.Size(); }
  void Run() {
    const int N = FTeam.Size();
    FTeam.Run([&](int AMember) {
      const int Y0 = FSize.Height * AMember / N, Y1 = FSize.Height * (AMember + 1) / N;
      FEncoders[size_t(AMember)]->Encode(FRgb.data() + size_t(Y0) * size_t(FSize.Width) * 3, FSize.Width, Y1 - Y0,
                                         size_t(FSize.Width) * 3, Quality, FOut[size_t(AMember)]);
    });
  }

private:
  const std::vector<uint8_t>& FRgb;
  TSize FSize;
  TWorkerTeam FTeam;
  std::vector<std::unique_ptr<TJpegEncoder>> FEncoders;
  std::vector<TBytes> FOut;
};

// The figures of one screen at one size, for the side-by-side summary.
struct TResult {
  std::string Name;
  TSize Size;
  double Copy = 0, Grab = 0, Whole = 0, Split = 0, Key1 = 0, KeyN = 0, Idle1 = 0, IdleN = 0;
  double FloorMin = 0, KeyNMin = 0, IdleNMin = 0, FloorCpu = 0, KeyNCpu = 0, IdleNCpu = 0;
  bool Identical = false;
};

TResult Report(const char* AName, IScreen& AScreen, TSize ASize, const std::vector<uint8_t>& ARgb) {
  const int Runs = ASize.Width * ASize.Height > 4'000'000 ? 25 : 40;
  const TPixelRect Whole{0, 0, ASize.Width, ASize.Height};
  std::vector<uint32_t> Buffer(size_t(ASize.Width) * size_t(ASize.Height));
  const std::shared_ptr<IScreen> Screen(&AScreen, [](IScreen*) {});
  TScreenCapturer Single(Screen, 1);
  TScreenCapturer Parallel(Screen, 0);
  Single.SetQuality(Quality);
  Parallel.SetQuality(Quality);
  TSplitCompressor Split(ARgb, ASize);
  std::vector<TEncodedRect> SingleRects, ParallelRects, IdleRects;
  int W = 0, H = 0;
  size_t RawBytes = 0;
  TPixelView View;
  bool Lends = AScreen.Grab(Whole, View);
  const std::vector<TFigure> F = MeasureInTurns(
      Runs, {[&] { AScreen.CopyRect(Whole, Buffer.data(), size_t(ASize.Width)); },
             [&] { Lends = AScreen.Grab(Whole, View) && Lends; },
             [&] { RawBytes = CompressWhole(ARgb, ASize); },
             [&] { Split.Run(); },
             [&] { Single.Capture(true, SingleRects, W, H); },
             [&] { Parallel.Capture(true, ParallelRects, W, H); },
             [&] { Single.Capture(false, IdleRects, W, H); },
             [&] { Parallel.Capture(false, IdleRects, W, H); }});
  TResult Out;
  Out.Name = AName;
  Out.Size = ASize;
  const TFigure &Copy = F[0], &Grab = F[1], &Whole1 = F[2], &SplitN = F[3], &Key1 = F[4], &KeyN = F[5],
                &Idle1 = F[6], &IdleN = F[7];
  size_t Bytes = 0;
  Out.Identical = SingleRects.size() == ParallelRects.size();
  for (size_t I = 0; I < SingleRects.size(); ++I) {
    Bytes += SingleRects[I].Data.size();
    Out.Identical = Out.Identical && SingleRects[I].Data == ParallelRects[I].Data;
  }
  const double Floor = Copy.Median + SplitN.Median;
  const double Take = Lends ? Grab.Median : Copy.Median;  // what a capture pays for its picture

  std::printf("%s screen, %dx%d, quality %d, %u processors, %d encoding threads   wall median  wall min  process cpu\n",
              AName, W, H, Quality, std::thread::hardware_concurrency(), TScreenCapturer::DefaultEncodeThreads());
  auto Line = [](const char* ALabel, const TFigure& AF) {
    std::printf("  %-52s %7.2f   %7.2f   %7.2f ms", ALabel, AF.Median, AF.Min, AF.Cpu);
  };
  Line("copy of the whole monitor (CopyRect)", Copy);
  std::printf("\n");
  Line(Lends ? "picture lent by the screen (Grab, no copy)" : "picture lent by the screen: not offered", Grab);
  std::printf("\n");
  Line("libjpeg-turbo, whole picture as one image", Whole1);
  std::printf("  (%zu KB)\n", RawBytes / 1024);
  char Label[80];
  std::snprintf(Label, sizeof Label, "libjpeg-turbo, picture in %d bands at once", Split.Bands());
  Line(Label, SplitN);
  std::printf("\n");
  Line("key-frame capture, one thread", Key1);
  std::printf("  (%zu rectangles, %zu KB)\n", SingleRects.size(), Bytes / 1024);
  Line("key-frame capture, in parallel", KeyN);
  std::printf("  (bytes identical: %s)\n", Out.Identical ? "yes" : "NO");
  Line("idle capture, one thread", Idle1);
  std::printf("\n");
  Line("idle capture, in parallel", IdleN);
  std::printf("\n");
  std::printf("  where a parallel key frame's time goes: picture %.2f, cursor + hashing %.2f, encoding %.2f ms\n", Take,
              std::max(IdleN.Median - Take, 0.0), std::max(KeyN.Median - IdleN.Median, 0.0));
  std::printf("  floor = copy + bands at once                         %7.2f   %7.2f   %7.2f ms\n", Floor,
              Copy.Min + SplitN.Min, Copy.Cpu + SplitN.Cpu);
  std::printf("  parallel key frame / floor                           %7.2f   %7.2f   %7.2f    (target at most 1.3)\n",
              KeyN.Median / Floor, KeyN.Min / (Copy.Min + SplitN.Min), KeyN.Cpu / (Copy.Cpu + SplitN.Cpu));
  std::printf("  one thread: key frame / (copy + one image)           %7.2f   %7.2f   %7.2f\n\n",
              Key1.Median / (Whole1.Median + Copy.Median), Key1.Min / (Whole1.Min + Copy.Min),
              Key1.Cpu / (Whole1.Cpu + Copy.Cpu));
  Out.Copy = Copy.Median;
  Out.Grab = Lends ? Grab.Median : 0;
  Out.Whole = Whole1.Median;
  Out.Split = SplitN.Median;
  Out.Key1 = Key1.Median;
  Out.KeyN = KeyN.Median;
  Out.Idle1 = Idle1.Median;
  Out.IdleN = IdleN.Median;
  Out.FloorMin = Copy.Min + SplitN.Min;
  Out.KeyNMin = KeyN.Min;
  Out.IdleNMin = IdleN.Min;
  Out.FloorCpu = Copy.Cpu + SplitN.Cpu;
  Out.KeyNCpu = KeyN.Cpu;
  Out.IdleNCpu = IdleN.Cpu;
  return Out;
}

void Summary(const std::vector<TResult>& AResults) {
  if (AResults.empty()) return;
  std::printf("Side by side (wall-clock medians, ms)\n%-38s", "");
  for (const TResult& R : AResults) {
    const std::string Head = R.Name + " " + std::to_string(R.Size.Width) + "x" + std::to_string(R.Size.Height);
    std::printf(" %20s", Head.c_str());
  }
  std::printf("\n");
  auto Row = [&](const char* ALabel, auto AValue) {
    std::printf("%-38s", ALabel);
    for (const TResult& R : AResults) std::printf(" %20.2f", AValue(R));
    std::printf("\n");
  };
  Row("copy of the monitor", [](const TResult& R) { return R.Copy; });
  Row("picture lent (0: not offered)", [](const TResult& R) { return R.Grab; });
  Row("libjpeg-turbo, one image", [](const TResult& R) { return R.Whole; });
  Row("libjpeg-turbo, bands at once", [](const TResult& R) { return R.Split; });
  Row("floor (copy + bands at once)", [](const TResult& R) { return R.Copy + R.Split; });
  Row("key frame, one thread", [](const TResult& R) { return R.Key1; });
  Row("key frame, parallel", [](const TResult& R) { return R.KeyN; });
  Row("key frame parallel / floor", [](const TResult& R) { return R.KeyN / (R.Copy + R.Split); });
  Row("idle, one thread", [](const TResult& R) { return R.Idle1; });
  Row("idle, parallel", [](const TResult& R) { return R.IdleN; });
  std::printf("fastest of the runs (ms)\n");
  Row("floor", [](const TResult& R) { return R.FloorMin; });
  Row("key frame, parallel", [](const TResult& R) { return R.KeyNMin; });
  Row("key frame parallel / floor", [](const TResult& R) { return R.KeyNMin / R.FloorMin; });
  Row("idle, parallel", [](const TResult& R) { return R.IdleNMin; });
  std::printf("processor time of this process (ms; the X server's copy not included)\n");
  Row("floor", [](const TResult& R) { return R.FloorCpu; });
  Row("key frame, parallel", [](const TResult& R) { return R.KeyNCpu; });
  Row("key frame parallel / floor", [](const TResult& R) { return R.KeyNCpu / R.FloorCpu; });
  Row("idle, parallel", [](const TResult& R) { return R.IdleNCpu; });
}

bool ParseSize(const char* AText, TSize& ASize) {
  int W = 0, H = 0;
  char X = 0;
  if (std::sscanf(AText, "%d%c%d", &W, &X, &H) != 3 || (X != 'x' && X != 'X')) return false;
  if (W < 16 || H < 16 || W > 8192 || H > 8192) return false;
  ASize = {W, H};
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<TSize> Sizes;
  for (int I = 1; I < argc; ++I) {
    TSize S;
    if (!ParseSize(argv[I], S)) {
      std::fprintf(stderr, "usage: bench_capture [WIDTHxHEIGHT ...]   (16..8192 each; default 1920x1080 3840x2160)\n");
      return 2;
    }
    Sizes.push_back(S);
  }
  if (Sizes.empty()) Sizes = {{1920, 1080}, {3840, 2160}};

  std::vector<TResult> Results;
  for (const TSize Size : Sizes) {
    const std::vector<uint32_t> Picture = test::MakeDesktopPicture(Size.Width, Size.Height, 42);
    std::vector<uint8_t> Rgb;
    Rgb.reserve(Picture.size() * 3);
    for (uint32_t P : Picture) {
      Rgb.push_back(uint8_t(P >> 16));
      Rgb.push_back(uint8_t(P >> 8));
      Rgb.push_back(uint8_t(P));
    }
    {
      TFakeScreen Fake(Size.Width, Size.Height);
      Fake.Blit(0, 0, Size.Width, Size.Height, Picture.data());
      Results.push_back(Report("Fake", Fake, Size, Rgb));
    }
    test::TXvfbServer Server(Size.Width, Size.Height);
    if (!Server.Running()) {
      std::printf("X11 screen: skipped (%s)\n", Server.Error().c_str());
      continue;
    }
    test::TX11Painter Painter(Server.Display());
    Painter.ShowPicture(0, 0, Size.Width, Size.Height, Picture);
    Painter.MovePointer(700, 500);
    TX11Screen X11(Server.Display());
    std::printf("(X11 copies through %s)\n", X11.UsingSharedMemory() ? "MIT-SHM" : "XGetImage");
    Results.push_back(Report("X11", X11, Size, Rgb));
  }
  Summary(Results);
  return 0;
}
