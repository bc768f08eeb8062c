// The win32 backend on a real (Wine's) desktop: the GDI capture of a window with a known
// picture, SendInput reaching a window, and the shell's folders and drives as listings use them.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "capture/ScreenCapturer.h"
#include "host/HostFileService.h"
#include "host/InputMapping.h"
#include "platform/DeviceUuid.h"
#include "platform/Folders.h"
#include "platform/Input.h"
#include "platform/Screen.h"
#include "protocol/LocalFiles.h"
#include "protocol/ReceivedFile.h"
#include "protocol/WinText.h"
#include "tests/capture/TestPictures.h"
// Last: <windows.h> defines the MOUSEEVENTF_*, KEYEVENTF_* and VK_* names as macros.
#include "tests/windows/TestWindow.h"

namespace tlm {
namespace {

using test::TTestWindow;
using test::TWindowEvent;

TEST(Win32Screen, MonitorsHaveOnePrimaryInsideTheVirtualScreen) {
  std::unique_ptr<IScreen> screen = CreateSystemScreen();
  const std::vector<TMonitorInfoRec> monitors = screen->EnumMonitors();
  ASSERT_FALSE(monitors.empty());
  int primaries = 0;
  for (const TMonitorInfoRec& m : monitors) {
    EXPECT_FALSE(m.Bounds.Empty());
    primaries += m.Primary ? 1 : 0;
  }
  EXPECT_EQ(primaries, 1);
  const TPixelRect screenRect = screen->ScreenRect();
  EXPECT_EQ(screenRect.Left, 0);
  EXPECT_GT(screenRect.Width(), 0);
  EXPECT_FALSE(screen->TakeLayoutChange());  // the first call only learns the layout
  EXPECT_FALSE(screen->TakeLayoutChange());
}

// PSNR in dB of the decoded picture's part APart (in its own pixels) against APicture.
double PsnrOver(const test::TDecodedJpeg& ADecoded, int ATop, const std::vector<uint32_t>& APicture, int AWidth,
                int AHeight) {
  double sum = 0;
  size_t count = 0;
  for (int y = 0; y < ADecoded.Height && ATop + y < AHeight; ++y) {
    for (int x = 0; x < AWidth && x < ADecoded.Width; ++x) {
      const uint32_t want = APicture[size_t(ATop + y) * size_t(AWidth) + size_t(x)];
      const uint8_t* got = &ADecoded.Rgb[(size_t(y) * size_t(ADecoded.Width) + size_t(x)) * 3];
      const int d[3] = {int(got[0]) - int((want >> 16) & 0xFF), int(got[1]) - int((want >> 8) & 0xFF),
                        int(got[2]) - int(want & 0xFF)};
      for (int c : d) sum += double(c * c);
      count += 3;
    }
  }
  if (count == 0) return 0;
  const double mse = sum / double(count);
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

TEST(Win32Screen, CapturerFindsTheWindowsPicture) {
  constexpr int W = 480, H = 320;
  const std::vector<uint32_t> picture = test::MakeDesktopPicture(W, H, 7);
  TTestWindow window(RECT{0, 0, W, H}, picture);
  ::SetCursorPos(W + 200, H + 200);  // the cursor is painted into frames: keep it off the picture
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  TScreenCapturer capturer(CreateSystemScreen());
  capturer.RefreshMonitors();
  int primary = 0;
  for (int i = 0; i < capturer.MonitorCount(); ++i) {
    if (capturer.GetMonitor(i).Primary) primary = i;
  }
  capturer.SelectMonitor(primary);
  ASSERT_EQ(capturer.GetMonitor(primary).Bounds.Left, 0);
  std::vector<TEncodedRect> rects;
  int screenW = 0, screenH = 0;
  ASSERT_TRUE(capturer.Capture(true, rects, screenW, screenH));
  ASSERT_GE(screenW, W);
  ASSERT_GE(screenH, H);
  int covered = 0;
  for (const TEncodedRect& r : rects) {
    if (r.Rect.X != 0 || r.Rect.Y >= H) continue;
    test::TDecodedJpeg decoded;
    ASSERT_TRUE(test::DecodeJpeg(r.Data, decoded));
    const double psnr = PsnrOver(decoded, r.Rect.Y, picture, W, H);
    std::printf("rows %d..%d: PSNR %.1f dB\n", r.Rect.Y, r.Rect.Y + r.Rect.H, psnr);
    EXPECT_GE(psnr, 28.0) << "rows from " << r.Rect.Y;
    covered += std::min<int>(r.Rect.H, H - r.Rect.Y);
  }
  EXPECT_EQ(covered, H);

  // Nothing changed: the next frame is empty.
  EXPECT_FALSE(capturer.Capture(false, rects, screenW, screenH));
}

TEST(Win32Input, SendInputReachesAWindowAtTheMappedPixelAndByVirtualKey) {
  const RECT area{100, 80, 500, 380};
  TTestWindow window(area, std::vector<uint32_t>(400 * 300, 0x00336699));
  window.Activate();
  std::unique_ptr<IInputInjector> input = CreateSystemInjector();
  const TVirtualScreen virt = input->VirtualScreen();
  ASSERT_GT(virt.Width, 1);
  ASSERT_GT(virt.Height, 1);
  const TPixelRect monitor{virt.Left, virt.Top, virt.Left + virt.Width, virt.Top + virt.Height};

  // A table of target pixels, each through the host's own mapping of a wire record.
  const POINT targets[] = {{100, 80}, {237, 191}, {499, 379}, {301, 250}};
  for (const POINT& target : targets) {
    const size_t from = window.EventCount();
    TMouseEventRec rec{};
    rec.X = target.x - monitor.Left;
    rec.Y = target.y - monitor.Top;
    for (const TMouseInput& mi : MouseInputsFor(rec, monitor, virt)) input->SendMouse(mi);
    // Moves arrive a little later than they are sent: the one that counts is the move to the
    // target itself, to the exact pixel.
    POINT last{-1, -1};
    EXPECT_TRUE(window.WaitForMove(POINT{target.x - area.left, target.y - area.top}, from, 3000, last))
        << "target " << target.x << "," << target.y << ", last move at client " << last.x << "," << last.y;
    POINT now{};
    ::GetCursorPos(&now);
    EXPECT_EQ(now.x, target.x);
    EXPECT_EQ(now.y, target.y);
  }

  // A left click at the last position.
  {
    const size_t from = window.EventCount();
    TMouseEventRec rec{};
    rec.X = 301 - monitor.Left;
    rec.Y = 250 - monitor.Top;
    rec.Button = 1;
    rec.Action = 3;  // double-click: a left press and release
    for (const TMouseInput& mi : MouseInputsFor(rec, monitor, virt)) input->SendMouse(mi);
    TWindowEvent ev;
    EXPECT_TRUE(window.WaitFor(WM_LBUTTONDOWN, from, 3000, ev));
    EXPECT_TRUE(window.WaitFor(WM_LBUTTONUP, from, 3000, ev));
  }

  // Keys arrive as the virtual keys they were sent as.
  const uint16_t keys[] = {0x41 /* A */, 0x70 /* F1 */, 0x0D /* Enter */};
  for (uint16_t vk : keys) {
    const size_t from = window.EventCount();
    TKeyEventRec down{vk, 0, 0, 0};
    TKeyEventRec up{vk, 0, 1, 0};
    input->SendKey(KeyInputFor(down));
    input->SendKey(KeyInputFor(up));
    TWindowEvent ev;
    ASSERT_TRUE(window.WaitFor(WM_KEYDOWN, from, 3000, ev)) << "vk " << vk;
    EXPECT_EQ(ev.WParam, vk);
    ASSERT_TRUE(window.WaitFor(WM_KEYUP, from, 3000, ev)) << "vk " << vk;
    EXPECT_EQ(ev.WParam, vk);
  }
}

bool EndsWith(const std::string& AText, const std::string& AEnd) {
  return AText.size() >= AEnd.size() && AText.compare(AText.size() - AEnd.size(), AEnd.size(), AEnd) == 0;
}

TEST(Win32Folders, ShellFoldersDrivesAndBackslashListings) {
  EXPECT_TRUE(EndsWith(UserConfigDir(), "\\AppData\\Roaming")) << UserConfigDir();
  EXPECT_TRUE(EndsWith(UserDownloadDir(), "\\Downloads")) << UserDownloadDir();
  const std::vector<std::string> roots = ListingRoots();
  ASSERT_FALSE(roots.empty());
  EXPECT_EQ(roots.front(), "C:\\");

  std::string drives = "#DRIVES\r\n";
  for (const std::string& root : roots) drives += "D\t" + root + "\t0\r\n";
  EXPECT_EQ(BuildHostListing(""), drives);
  EXPECT_EQ(BuildHostListing("C:\\").substr(0, 4), "C:\r\n");
  EXPECT_EQ(BuildHostListing("~").substr(0, UserConfigDir().size() + 2), UserConfigDir() + "\r\n");

  // A folder with a Korean name and a file in it: UTF-8 here and on the wire, UTF-16 below.
  const std::string folder = UserConfigDir() + "\\tlm-목록-test";
  MakeFolders(folder + "\\하위");
  bool existed = false;
  std::FILE* file = CreateNewFile(folder + "\\파일.txt", existed);
  ASSERT_NE(file, nullptr);
  std::fwrite("12345", 1, 5, file);
  std::fclose(file);
  // The system's order, not sorted: either entry may come first.
  const std::string listing = BuildHostListing(folder + "\\");
  EXPECT_TRUE(listing == folder + "\r\nD\t하위\t0\r\nF\t파일.txt\t5\r\n" ||
              listing == folder + "\r\nF\t파일.txt\t5\r\nD\t하위\t0\r\n")
      << listing;
  EXPECT_TRUE(ExistingFile(folder + "\\파일.txt"));
  EXPECT_FALSE(ExistingFile(folder + "\\하위"));
  EXPECT_EQ(BuildHostListing(folder + "\\없음"), folder + "\\없음\r\n");
  ::DeleteFileW(WideFromUtf8(folder + "\\파일.txt").c_str());
  ::RemoveDirectoryW(WideFromUtf8(folder + "\\하위").c_str());
  ::RemoveDirectoryW(WideFromUtf8(folder).c_str());
}

TEST(Win32Folders, ReceivedFileNeverReplacesAndKeepsItsUtf8Name) {
  const std::string folder = UserDownloadDir() + "\\tlm-recv-test";
  MakeFolders(folder);
  for (int round = 0; round < 2; ++round) {
    TReceivedFile received(TReceivedFile::EIncomplete::Remove, TReceivedFile::ETempName::Hidden);
    received.Begin(folder, "보고서.txt", 3);
    const uint8_t bytes[] = {'a', 'b', 'c'};
    received.Append(bytes);
    const TReceivedFile::TResult result = received.Finish();
    ASSERT_TRUE(result.Complete);
    EXPECT_EQ(result.Path, folder + (round == 0 ? "\\보고서.txt" : "\\보고서 (1).txt"));
    EXPECT_TRUE(IsRegularFile(result.Path));
  }
  TInputFile in(folder + "\\보고서 (1).txt");
  EXPECT_EQ(in.Size(), 3u);
  char buffer[8] = {};
  EXPECT_EQ(in.Read(buffer, sizeof buffer), 3u);
  EXPECT_EQ(std::string(buffer), "abc");
  in.Close();
  ::DeleteFileW(WideFromUtf8(folder + "\\보고서.txt").c_str());
  ::DeleteFileW(WideFromUtf8(folder + "\\보고서 (1).txt").c_str());
  ::RemoveDirectoryW(WideFromUtf8(folder).c_str());
}

TEST(Win32DeviceUuid, RandomVersion4Uuids) {
  const std::array<uint8_t, 16> a = NewRandomUuid(), b = NewRandomUuid();
  EXPECT_NE(a, b);
  EXPECT_EQ(a[6] >> 4, 4);
  EXPECT_EQ(a[8] & 0xC0, 0x80);
}

}  // namespace
}  // namespace tlm
