// bench_viewer [WIDTHxHEIGHT ...]: what the viewer spends on one frame of a moving screen, at
// each remote screen size asked for (default 1920x1080 and 3840x2160): decoding and compositing
// a key frame of full-width tile rows (as the host sends them) on one thread and on the team,
// and painting the back buffer scaled into a 1920x1080 window area as the window does (smooth
// scaling of the 32-bit picture, or of its half-size copy when the screen is at least twice the
// area). Figures only: nothing here passes or fails.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bench/BenchTurns.h"
#include "capture/ScreenCapturer.h"
#include "platform/fake/FakeScreen.h"
#include "protocol/Frame.h"
#include "protocol/WorkerTeam.h"
#include "tests/capture/TestPictures.h"
#include "viewer/RemoteScreen.h"

using namespace tlm;

namespace {

using bench::MeasureInTurns;
using bench::TFigure;

// A key frame of a desktop-like picture, made by the host's own capturer at the standard quality.
TBytes KeyFrame(int AW, int AH) {
  auto screen = std::make_shared<TFakeScreen>(AW, AH);
  const std::vector<uint32_t> picture = test::MakeDesktopPicture(AW, AH, 3);
  screen->Blit(0, 0, AW, AH, picture.data());
  TScreenCapturer capturer(screen);
  capturer.SetQuality(62);
  std::vector<TEncodedRect> rects;
  int w = 0, h = 0;
  capturer.Capture(true, rects, w, h);
  return BuildFramePayload(1, w, h, true, rects);
}

struct TResult {
  int W = 0, H = 0;
  TFigure Decode1, DecodeN, Paint, PaintFast;
};

TResult Run(int AW, int AH, int ARuns) {
  const TBytes frame = KeyFrame(AW, AH);
  TRemoteScreen one(1), team(0);
  // The window area the picture is painted into, in the window's backing-store format.
  QImage window(1920, 1080, QImage::Format_RGB32);
  auto paint = [&](bool ASmooth) {
    team.ReadForArea(window.width(), window.height(), [&](const TRemoteScreen::TView& AView) {
      const QImage picture(AView.Bits, AView.Width, AView.Height, AView.Stride, QImage::Format_RGB32);
      QPainter painter(&window);
      painter.setRenderHint(QPainter::SmoothPixmapTransform, ASmooth);
      painter.drawImage(window.rect(), picture);
    });
  };
  const std::vector<TFigure> f = MeasureInTurns(
      ARuns, {[&] { one.Apply(frame); }, [&] { team.Apply(frame); }, [&] { paint(true); }, [&] { paint(false); }});
  std::printf("%dx%d remote screen, key frame of %zu KB, %d decoding threads   wall median  process cpu\n", AW, AH,
              frame.size() / 1024, TWorkerTeam::DefaultSize());
  std::printf("  decode and composite, one thread                        %8.2f   %8.2f ms\n", f[0].Median, f[0].Cpu);
  std::printf("  decode and composite, on the team                       %8.2f   %8.2f ms\n", f[1].Median, f[1].Cpu);
  std::printf("  paint into 1920x1080, smooth (as the window)            %8.2f   %8.2f ms   (target at most 5)\n",
              f[2].Median, f[2].Cpu);
  std::printf("  paint into 1920x1080, nearest pixel (for comparison)    %8.2f   %8.2f ms\n\n", f[3].Median, f[3].Cpu);
  return {AW, AH, f[0], f[1], f[2], f[3]};
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int qargc = 1;
  QGuiApplication app(qargc, argv);
  std::vector<std::pair<int, int>> sizes;
  for (int i = 1; i < argc; ++i) {
    int w = 0, h = 0;
    char x = 0;
    if (std::sscanf(argv[i], "%d%c%d", &w, &x, &h) != 3 || (x != 'x' && x != 'X') || w < 16 || h < 16 || w > 8192 ||
        h > 8192) {
      std::fprintf(stderr, "usage: bench_viewer [WIDTHxHEIGHT ...]   (default 1920x1080 3840x2160)\n");
      return 2;
    }
    sizes.emplace_back(w, h);
  }
  if (sizes.empty()) sizes = {{1920, 1080}, {3840, 2160}};
  std::vector<TResult> results;
  for (const auto& [w, h] : sizes) results.push_back(Run(w, h, w * h > 4'000'000 ? 25 : 40));
  std::printf("Side by side (wall median / process cpu, ms per frame)\n%-36s", "");
  for (const TResult& r : results) std::printf("  %22s", (std::to_string(r.W) + "x" + std::to_string(r.H)).c_str());
  std::printf("\n");
  auto row = [&](const char* ALabel, TFigure TResult::*AField) {
    std::printf("%-36s", ALabel);
    for (const TResult& r : results) std::printf("  %10.2f / %9.2f", (r.*AField).Median, (r.*AField).Cpu);
    std::printf("\n");
  };
  row("decode + composite, one thread", &TResult::Decode1);
  row("decode + composite, team", &TResult::DecodeN);
  row("paint into 1920x1080, smooth", &TResult::Paint);
  std::printf("%-36s", "viewer per frame (team + paint)");
  for (const TResult& r : results)
    std::printf("  %10.2f / %9.2f", r.DecodeN.Median + r.Paint.Median, r.DecodeN.Cpu + r.Paint.Cpu);
  std::printf("\n");
  return 0;
}
