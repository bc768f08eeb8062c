// The native viewer window under Wine against a real host agent through the Linux relay that
// scripts/run-relay-test started (its port in TLM_RELAY_PORT). The host copies an in-memory
// desktop of flat blocks and records the input it would inject, so the test sees exactly what
// the window sent: the picture painted scaled into the canvas with or without the screen's
// shape, a click at the mapped point, keys as virtual keys with their extended flag, held keys
// released when the picture loses the focus, chat both ways, clipboard both ways without an
// echo, a file up and a file down, and the banner's "다시 연결" after the host went away; and the
// transfers: files dropped on the picture sent one after another, the progress bar, and
// "전송 취소" stopping an upload and a download.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/ClientApp.h"
#include "host/HostAgent.h"
#include "platform/Folders.h"
#include "platform/fake/FakeInput.h"
#include "platform/fake/FakeScreen.h"
#include "protocol/Credentials.h"
#include "protocol/LocalFiles.h"
#include "protocol/SecurePins.h"
#include "protocol/WinText.h"
// Last: <windows.h> defines the MOUSEEVENTF_*, KEYEVENTF_* and VK_* names as macros.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include "tests/windows/WinPump.h"
#include "winui/ClipboardSync.h"
#include "winui/MainView.h"
#include "winui/RemoteWindow.h"
#include "winui/WinDispatcher.h"

namespace tlm {
namespace {

using test::PumpFor;
using test::PumpUntil;

constexpr int HostW = 480, HostH = 320, Block = 80;

uint32_t BlockColour(int ABx, int ABy) {
  const uint32_t r = uint32_t(40 + ABx * 40), g = uint32_t(230 - ABy * 50), b = uint32_t((ABx * 3 + ABy * 5) % 8 * 30);
  return (r << 16) | (g << 8) | b;
}

std::vector<uint32_t> BlockPicture() {
  std::vector<uint32_t> pixels(size_t(HostW) * HostH);
  for (int y = 0; y < HostH; ++y)
    for (int x = 0; x < HostW; ++x) pixels[size_t(y) * HostW + x] = BlockColour(x / Block, y / Block);
  return pixels;
}

class TClipboardRecord : public IClipboardSetter {
public:
  void SetClipboardText(const std::string& AText) override { Texts.push_back(AText); }
  std::vector<std::string> Texts;
};

// The canvas as it shows on the screen, 0x00RRGGBB per pixel.
std::vector<uint32_t> GrabWindow(HWND AWnd, int& AW, int& AH) {
  RECT r;
  ::GetClientRect(AWnd, &r);
  AW = r.right;
  AH = r.bottom;
  std::vector<uint32_t> pixels(size_t(AW) * size_t(AH));
  HDC wdc = ::GetDC(AWnd);
  HDC mdc = ::CreateCompatibleDC(wdc);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = AW;
  bi.bmiHeader.biHeight = -AH;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bmp = ::CreateDIBSection(mdc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = ::SelectObject(mdc, bmp);
  ::BitBlt(mdc, 0, 0, AW, AH, wdc, 0, 0, SRCCOPY);
  ::GdiFlush();
  std::memcpy(pixels.data(), bits, pixels.size() * 4);
  ::SelectObject(mdc, old);
  ::DeleteObject(bmp);
  ::DeleteDC(mdc);
  ::ReleaseDC(AWnd, wdc);
  for (uint32_t& p : pixels) p &= 0xFFFFFF;
  return pixels;
}

bool Near(uint32_t A, uint32_t B, int ATol) {
  for (int shift : {0, 8, 16})
    if (std::abs(int((A >> shift) & 0xFF) - int((B >> shift) & 0xFF)) > ATol) return false;
  return true;
}

// Every block's centre, mapped into the picture rectangle, shows the block's colour.
std::string PictureMismatch(const TWinRemote& AViewer) {
  int w = 0, h = 0;
  const std::vector<uint32_t> shown = GrabWindow(AViewer.Canvas(), w, h);
  const RECT pic = AViewer.PictureRect();
  const int pw = pic.right - pic.left, ph = pic.bottom - pic.top;
  if (pw <= 0 || ph <= 0) return "no picture rectangle";
  for (int by = 0; by < HostH / Block; ++by)
    for (int bx = 0; bx < HostW / Block; ++bx) {
      const int x = pic.left + ::MulDiv(bx * Block + Block / 2, pw, HostW);
      const int y = pic.top + ::MulDiv(by * Block + Block / 2, ph, HostH);
      if (x < 0 || y < 0 || x >= w || y >= h) return "block outside the canvas";
      const uint32_t got = shown[size_t(y) * size_t(w) + size_t(x)];
      if (!Near(got, BlockColour(bx, by), 24)) {
        char text[120];
        std::snprintf(text, sizeof(text), "block %d,%d at %d,%d shows %06x, expected %06x", bx, by, x, y, got,
                      BlockColour(bx, by));
        return text;
      }
    }
  return "";
}

std::string ReadWhole(const std::string& APath) {
  TInputFile in(APath);
  std::string data(size_t(in.Size()), '\0');
  size_t got = 0;
  while (got < data.size()) {
    const size_t n = in.Read(data.data() + got, data.size() - got);
    if (n == 0) break;
    got += n;
  }
  data.resize(got);
  return data;
}

std::string ReadAll(const std::string& APath) {
  if (!IsRegularFile(APath)) return "(missing)";
  try {
    return ReadWhole(APath);
  } catch (const std::exception&) {
    return "(busy)";  // the host still holds it open: it is being written or renamed
  }
}

void WriteAll(const std::string& APath, const std::string& AData) {
  RemoveFile(APath);
  bool existed = false;
  std::FILE* file = CreateNewFile(APath, existed);
  ASSERT_NE(file, nullptr) << APath;
  ASSERT_EQ(std::fwrite(AData.data(), 1, AData.size(), file), AData.size());
  std::fclose(file);
}

std::vector<TKeyInput> Keys(const TFakeInputInjector& AInput) { return AInput.KeyInputs(); }

bool HasKey(const TFakeInputInjector& AInput, uint16_t AVk, bool AUp) {
  for (const TKeyInput& k : Keys(AInput))
    if (k.Vk == AVk && ((k.Flags & KEYEVENTF_KEYUP) != 0) == AUp) return true;
  return false;
}

TEST(WinViewerWindow, ShowsControlsAndExchangesWithARealHost) {
  const char* portText = std::getenv("TLM_RELAY_PORT");
  if (!portText || !*portText) GTEST_SKIP() << "TLM_RELAY_PORT not set: run through scripts/run-relay-test";
  const uint16_t port = uint16_t(std::atoi(portText));
  const std::string base = UserConfigDir() + "\\tlm-viewer-window-test";
  MakeFolders(base + "\\HostDownloads");
  MakeFolders(base + "\\ViewerDownloads");

  TWinDispatcher ui;
  auto screen = std::make_shared<TFakeScreen>(HostW, HostH);
  const std::vector<uint32_t> picture = BlockPicture();
  screen->Blit(0, 0, HostW, HostH, picture.data());
  TFakeInputInjector input;
  input.SetVirtualScreen(TVirtualScreen{0, 0, HostW, HostH});
  TClipboardRecord hostClipboard;
  THostServices services;
  services.MakeScreen = [screen] { return std::shared_ptr<IScreen>(screen); };
  services.Input = &input;
  services.Clipboard = &hostClipboard;
  services.DownloadDir = base + "\\HostDownloads";
  services.ConfigDir = base;
  auto agent = std::make_unique<THostAgent>(ui, "127.0.0.1", port, "DWINEVIEWERWINDOW000000000000001",
                                            HashPassword("창문"), services);
  std::string hostId;
  std::vector<std::string> hostChat;
  agent->OnID = [&](const std::string& AId) { hostId = AId; };
  agent->OnChat = [&](const std::string& AText) { hostChat.push_back(AText); };
  int sessionEnds = 0;
  agent->OnSessionEnd = [&] { ++sessionEnds; };
  agent->OnConsent = [&agent](const TConsentQuestion& AQuestion) { agent->AnswerConsent(AQuestion.Ticket, false); };
  agent->Start();
  ASSERT_TRUE(PumpUntil([&] { return !hostId.empty(); }, 20000)) << "no ID from the relay";

  TViewerParams params;
  params.Server = "127.0.0.1";
  params.Port = port;
  params.TargetID = hostId;
  params.MyName = "창 뷰어";
  params.DownloadDir = base + "\\ViewerDownloads";
  std::vector<std::string> boxes;
  TRemoteBoxes quiet;
  quiet.Error = [&](HWND, const std::string& AText) { boxes.push_back("error: " + AText); };
  quiet.Warning = [&](HWND, const std::string& AText) { boxes.push_back("warning: " + AText); };

  // A window that shows itself only once admitted: without a password the host's user is
  // asked and says no, so it never shows; its creator hears how it went and why it ended.
  std::vector<std::string> pending, ended;
  int admitted = 0;
  auto unseen = [&](TWinRemote& AViewer) {
    AViewer.SetBoxes(quiet);
    AViewer.SetShowOnAdmission(true);
    AViewer.OnPendingStatus = [&](const std::string& AText) { pending.push_back(AText); };
    AViewer.OnEndedUnseen = [&](const std::string& AText) { ended.push_back(AText); };
    AViewer.OnAdmitted = [&] { ++admitted; };
    AViewer.StartConnect();
  };
  {
    TWinRemote refused(ui, params);
    unseen(refused);
    ASSERT_TRUE(PumpUntil([&] { return refused.Closed(); }, 20000)) << refused.StatusText();
    EXPECT_FALSE(::IsWindowVisible(refused.Handle()));
    EXPECT_FALSE(pending.empty()) << "the wait was never told";
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_NE(ended[0].find("거부"), std::string::npos) << ended[0];
    EXPECT_EQ(admitted, 0);
    EXPECT_TRUE(boxes.empty()) << boxes.front();
  }

  params.Proof = MakeSessionProof(hostId, HashPassword("창문"));
  auto viewer = std::make_unique<TWinRemote>(ui, params);
  pending.clear();
  ended.clear();
  unseen(*viewer);
  EXPECT_FALSE(::IsWindowVisible(viewer->Handle())) << "shown before the partner answered";
  ASSERT_TRUE(PumpUntil([&] { return viewer->IsConnected() && viewer->Session()->Screen().Width() == HostW; }, 20000))
      << viewer->StatusText();
  EXPECT_TRUE(::IsWindowVisible(viewer->Handle()));
  EXPECT_EQ(admitted, 1);
  EXPECT_TRUE(ended.empty());

  // The picture, scaled into the canvas with the screen's shape kept (the default): black
  // bars on two sides, every block where it belongs.
  std::string mismatch;
  EXPECT_TRUE(PumpUntil([&] { return (mismatch = PictureMismatch(*viewer)).empty(); }, 10000)) << mismatch;
  RECT pic = viewer->PictureRect(), canvas;
  ::GetClientRect(viewer->Canvas(), &canvas);
  EXPECT_NEAR(double(pic.right - pic.left) / double(pic.bottom - pic.top), 1.5, 0.01);
  EXPECT_TRUE(pic.left > 0 || pic.top > 0) << "the canvas has the screen's shape by chance";
  // Stretched, the picture fills the canvas.
  ::SendMessageW(viewer->Button("비율 유지"), BM_CLICK, 0, 0);
  EXPECT_FALSE(viewer->KeepAspect());
  pic = viewer->PictureRect();
  EXPECT_TRUE(::EqualRect(&pic, &canvas));
  EXPECT_TRUE(PumpUntil([&] { return (mismatch = PictureMismatch(*viewer)).empty(); }, 10000)) << mismatch;

  // "1:1 보기": the remote screen's own size, centred in an area larger than it; in a smaller
  // one scrolled, a click landing on the remote pixel under it whatever the offset.
  ::SendMessageW(viewer->Button("1:1 보기"), BM_CLICK, 0, 0);
  ASSERT_TRUE(viewer->ActualSize());
  RECT one = viewer->PictureRect();
  EXPECT_EQ(one.right - one.left, HostW);
  EXPECT_EQ(one.bottom - one.top, HostH);
  EXPECT_GT(one.left, 0);
  EXPECT_FALSE(::IsWindowEnabled(viewer->Button("비율 유지")));
  RECT normal;
  ::GetWindowRect(viewer->Handle(), &normal);
  // Narrow, the toolbar wraps into rows instead of cutting controls off, the picture below it.
  ::MoveWindow(viewer->Handle(), normal.left, normal.top, 470, 520, TRUE);
  EXPECT_GT(viewer->ToolbarHeight(), TWinRemote::ToolbarRowHeight);
  RECT client, canvasAt;
  ::GetClientRect(viewer->Handle(), &client);
  for (const char* caption : {"파일 보내기", "클립보드 보내기", "1:1 보기", "특수 키...", "연결 끊기"}) {
    RECT r;
    ::GetWindowRect(viewer->Button(caption), &r);
    ::MapWindowPoints(nullptr, viewer->Handle(), reinterpret_cast<POINT*>(&r), 2);
    EXPECT_LE(r.right, client.right) << caption << " is cut off";
    EXPECT_LE(r.bottom, viewer->ToolbarHeight()) << caption;
  }
  ::GetWindowRect(viewer->Canvas(), &canvasAt);
  ::MapWindowPoints(nullptr, viewer->Handle(), reinterpret_cast<POINT*>(&canvasAt), 2);
  EXPECT_EQ(canvasAt.top, viewer->ToolbarHeight());
  ::SendMessageW(viewer->Canvas(), WM_HSCROLL, SB_BOTTOM, 0);
  ::SendMessageW(viewer->Canvas(), WM_VSCROLL, SB_BOTTOM, 0);
  one = viewer->PictureRect();
  RECT small;
  ::GetClientRect(viewer->Canvas(), &small);
  ASSERT_LT(small.right, HostW) << "the area is not smaller than the picture";
  ASSERT_LT(small.bottom, HostH) << "the area is not smaller than the picture";
  EXPECT_EQ(one.right, small.right) << "scrolled to the end, not past it";
  EXPECT_EQ(one.bottom, small.bottom) << "scrolled to the end, not past it";
  ::SendMessageW(viewer->Canvas(), WM_HSCROLL, SB_LINEUP, 0);
  one = viewer->PictureRect();
  EXPECT_EQ(one.right, small.right + std::min(40, HostW - int(small.right)));
  {
    input.Clear();
    ::PostMessageW(viewer->Canvas(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(10, 10));
    ::PostMessageW(viewer->Canvas(), WM_LBUTTONUP, 0, MAKELPARAM(10, 10));
    ASSERT_TRUE(PumpUntil([&] { return !input.MouseInputs().empty(); }, 10000));
    const TMouseInput m = input.MouseInputs().front();
    EXPECT_NEAR(m.Dx, (10 - one.left) * 65536 / HostW, 65536 / HostW + 1);
    EXPECT_NEAR(m.Dy, (10 - one.top) * 65536 / HostH, 65536 / HostH + 1);
  }
  ::SendMessageW(viewer->Button("1:1 보기"), BM_CLICK, 0, 0);
  EXPECT_FALSE(viewer->ActualSize());
  ::MoveWindow(viewer->Handle(), normal.left, normal.top, normal.right - normal.left, normal.bottom - normal.top, TRUE);
  pic = viewer->PictureRect();
  EXPECT_TRUE(::EqualRect(&pic, &canvas)) << "stretched as before";

  // A click at a canvas point reaches the host at the remote pixel under it.
  const int rx = 120, ry = 200;
  const int cx = ::MulDiv(rx, pic.right - pic.left, HostW), cy = ::MulDiv(ry, pic.bottom - pic.top, HostH);
  ::SetForegroundWindow(viewer->Handle());
  ::SetFocus(viewer->Canvas());
  input.Clear();
  ::PostMessageW(viewer->Canvas(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(cx, cy));
  ::PostMessageW(viewer->Canvas(), WM_LBUTTONUP, 0, MAKELPARAM(cx, cy));
  ASSERT_TRUE(PumpUntil([&] {
    for (const TMouseInput& m : input.MouseInputs())
      if (m.Flags & MOUSEEVENTF_LEFTUP) return true;
    return false;
  }, 10000));
  bool pressed = false;
  for (const TMouseInput& m : input.MouseInputs()) {
    if (!(m.Flags & MOUSEEVENTF_LEFTDOWN)) continue;
    pressed = true;
    // Absolute coordinates over the virtual screen: within a pixel of the remote point.
    EXPECT_NEAR(m.Dx, rx * 65536 / HostW, 65536 / HostW + 1);
    EXPECT_NEAR(m.Dy, ry * 65536 / HostH, 65536 / HostH + 1);
  }
  EXPECT_TRUE(pressed);

  // Keys go out as the virtual keys Windows reports, with the extended flag; a key still held
  // when the picture loses the focus is released.
  struct TKeyCase {
    UINT Vk;
    bool Extended;
  };
  for (const TKeyCase& k : {TKeyCase{'A', false}, TKeyCase{VK_LEFT, true}, TKeyCase{VK_RETURN, false}}) {
    const LPARAM flags = LPARAM(::MapVirtualKeyW(k.Vk, MAPVK_VK_TO_VSC) << 16) | (k.Extended ? (1 << 24) : 0) | 1;
    ::PostMessageW(viewer->Canvas(), WM_KEYDOWN, k.Vk, flags);
    ::PostMessageW(viewer->Canvas(), WM_KEYUP, k.Vk, flags | (1u << 30) | (1u << 31));
    ASSERT_TRUE(PumpUntil([&] { return HasKey(input, uint16_t(k.Vk), true); }, 10000)) << "key " << k.Vk;
    for (const TKeyInput& got : Keys(input))
      if (got.Vk == k.Vk) {
        EXPECT_EQ((got.Flags & KEYEVENTF_EXTENDEDKEY) != 0, k.Extended) << "key " << k.Vk;
      }
  }
  // "특수 키...": Ctrl+Alt+Del as a keyboard there makes it, every key released again.
  input.Clear();
  viewer->SendSpecialKey(ESpecialKey::CtrlAltDel);
  ASSERT_TRUE(PumpUntil([&] { return HasKey(input, VK_LCONTROL, true); }, 10000));
  for (const UINT vk : {VK_LCONTROL, VK_LMENU, VK_DELETE}) {
    EXPECT_TRUE(HasKey(input, uint16_t(vk), false)) << "key " << vk;
    EXPECT_TRUE(HasKey(input, uint16_t(vk), true)) << "key " << vk;
  }
  EXPECT_TRUE(::IsWindowEnabled(viewer->Button("특수 키...")));
  // The frame rate and round trip, once a second.
  EXPECT_TRUE(PumpUntil([&] { return viewer->LinkText().find(" fps · 왕복 ") != std::string::npos; }, 5000))
      << viewer->LinkText();
  // "전체 화면": the whole monitor, and back to the window it was.
  RECT before, full;
  ::GetWindowRect(viewer->Handle(), &before);
  ::SendMessageW(viewer->Button("전체 화면"), BM_CLICK, 0, 0);
  EXPECT_TRUE(viewer->FullScreen());
  ::GetWindowRect(viewer->Handle(), &full);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  ::GetMonitorInfoW(::MonitorFromWindow(viewer->Handle(), MONITOR_DEFAULTTONEAREST), &monitor);
  EXPECT_TRUE(::EqualRect(&full, &monitor.rcMonitor));
  ::SendMessageW(viewer->Button("전체 화면"), BM_CLICK, 0, 0);
  EXPECT_FALSE(viewer->FullScreen());
  RECT after;
  ::GetWindowRect(viewer->Handle(), &after);
  EXPECT_TRUE(::EqualRect(&after, &before));

  input.Clear();
  ::SetFocus(viewer->Canvas());
  ::PostMessageW(viewer->Canvas(), WM_KEYDOWN, VK_SHIFT, LPARAM(::MapVirtualKeyW(VK_SHIFT, MAPVK_VK_TO_VSC) << 16) | 1);
  ASSERT_TRUE(PumpUntil([&] { return HasKey(input, VK_SHIFT, false); }, 10000));
  ::SetFocus(viewer->ChatEdit());  // the picture loses the focus
  EXPECT_TRUE(PumpUntil([&] { return HasKey(input, VK_SHIFT, true); }, 10000)) << "the held key was not released";

  // Chat both ways: a line from the host opens the pane; a line typed there reaches the host.
  ASSERT_TRUE(agent->SendChat("호스트의 인사"));
  EXPECT_TRUE(PumpUntil([&] { return viewer->ChatText().find("원격: 호스트의 인사") != std::string::npos; }, 10000))
      << viewer->ChatText();
  EXPECT_TRUE(viewer->ChatShown());
  ::SetWindowTextW(viewer->ChatEdit(), L"뷰어의 답");
  ::SendMessageW(viewer->ChatEdit(), WM_KEYDOWN, VK_RETURN, 0);
  EXPECT_TRUE(PumpUntil([&] { return !hostChat.empty(); }, 10000));
  if (!hostChat.empty()) {
    EXPECT_EQ(hostChat.back(), "뷰어의 답");
  }
  EXPECT_NE(viewer->ChatText().find("나: 뷰어의 답"), std::string::npos);

  // Clipboard both ways, and the host's text is not sent back to it.
  ASSERT_TRUE(WriteClipboardText(nullptr, L"뷰어에서 복사"));
  EXPECT_TRUE(PumpUntil([&] { return !hostClipboard.Texts.empty(); }, 10000));
  if (!hostClipboard.Texts.empty()) {
    EXPECT_EQ(hostClipboard.Texts.back(), "뷰어에서 복사");
  }
  ASSERT_TRUE(agent->PushClipboard("호스트에서 복사"));
  TWinClipboardSync probe;
  EXPECT_TRUE(PumpUntil([&] { return probe.ReadText() == "호스트에서 복사"; }, 10000)) << probe.ReadText();
  PumpFor(500);
  EXPECT_EQ(hostClipboard.Texts.size(), 1u) << "the host's own text came back";

  // A file up through the window's queue and one down through its file list.
  std::string data(300000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = char((i * 131 + i / 7) & 0xFF);
  WriteAll(base + "\\올림.bin", data);
  viewer->QueueUploads({base + "\\올림.bin"});
  EXPECT_TRUE(PumpUntil([&] { return ReadAll(base + "\\HostDownloads\\올림.bin") == data; }, 20000));
  WriteAll(base + "\\내림.bin", data.substr(1000));
  ::SendMessageW(viewer->Button("원격 파일"), BM_CLICK, 0, 0);
  ASSERT_TRUE(viewer->Session()->RequestListing(base));
  int row = -1;
  EXPECT_TRUE(PumpUntil([&] {
    LVFINDINFOW find{};
    find.flags = LVFI_STRING;
    const std::wstring name = L"내림.bin";
    find.psz = name.c_str();
    row = ListView_FindItem(viewer->FileList(), -1, &find);
    return row >= 0;
  }, 10000));
  if (row >= 0) {
    ListView_SetItemState(viewer->FileList(), row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    ::SendMessageW(viewer->Button("다운로드"), BM_CLICK, 0, 0);
    EXPECT_TRUE(PumpUntil([&] { return ReadAll(base + "\\ViewerDownloads\\내림.bin") == data.substr(1000); }, 20000))
        << viewer->StatusText();
  }

  // The host goes away: the banner tells it and offers "다시 연결", which connects again once
  // the host is back.
  agent->Stop();
  EXPECT_TRUE(PumpUntil([&] { return !viewer->BannerText().empty(); }, 20000));
  EXPECT_TRUE(::IsWindowVisible(viewer->ReconnectButton()));
  hostId.clear();
  agent->Start();
  ASSERT_TRUE(PumpUntil([&] { return !hostId.empty(); }, 20000));
  ::SendMessageW(viewer->ReconnectButton(), BM_CLICK, 0, 0);
  EXPECT_TRUE(PumpUntil([&] { return viewer->IsConnected(); }, 20000)) << viewer->StatusText();
  EXPECT_TRUE(viewer->BannerText().empty());

  // "연결 끊기" ends the session here and at the host; "다시 연결" stays, and no retry starts.
  const int sessionsBefore = sessionEnds;
  ::SendMessageW(viewer->Button("연결 끊기"), BM_CLICK, 0, 0);
  EXPECT_FALSE(viewer->IsConnected());
  EXPECT_EQ(viewer->BannerText(), "연결을 끊었습니다");
  EXPECT_FALSE(::IsWindowEnabled(viewer->Button("특수 키...")));
  EXPECT_FALSE(::IsWindowEnabled(viewer->Button("연결 끊기")));
  EXPECT_TRUE(PumpUntil([&] { return sessionEnds > sessionsBefore; }, 10000)) << "the host's session went on";
  PumpFor(2500);
  EXPECT_EQ(viewer->BannerText(), "연결을 끊었습니다") << "a retry started by itself";

  EXPECT_TRUE(boxes.empty()) << boxes.front();
  viewer.reset();
  agent->OnSessionEnd = nullptr;
  agent->OnID = nullptr;
  agent->OnChat = nullptr;
  agent->OnConsent = nullptr;
  agent.reset();
}

// Files as Explorer drops them: a DROPFILES block with the wide paths, each ended by a zero.
HGLOBAL DropOf(const std::vector<std::string>& APaths) {
  std::wstring list;
  for (const std::string& path : APaths) list += WideFromUtf8(path) + L'\0';
  list += L'\0';
  HGLOBAL mem = ::GlobalAlloc(GHND, sizeof(DROPFILES) + list.size() * sizeof(wchar_t));
  auto* drop = static_cast<DROPFILES*>(::GlobalLock(mem));
  drop->pFiles = sizeof(DROPFILES);
  drop->fWide = TRUE;
  std::memcpy(reinterpret_cast<char*>(drop) + sizeof(DROPFILES), list.data(), list.size() * sizeof(wchar_t));
  ::GlobalUnlock(mem);
  return mem;
}

std::string Pattern(size_t ASize, int ASeed) {
  std::string data(ASize, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = char((i * 131 + i / 7 + size_t(ASeed) * 17) & 0xFF);
  return data;
}

TEST(WinViewerWindow, SendsDroppedFilesOneAfterAnotherAndCancelsTransfersBothWays) {
  const char* portText = std::getenv("TLM_RELAY_PORT");
  if (!portText || !*portText) GTEST_SKIP() << "TLM_RELAY_PORT not set: run through scripts/run-relay-test";
  const uint16_t port = uint16_t(std::atoi(portText));
  const std::string base = UserConfigDir() + "\\tlm-viewer-transfer-test";
  MakeFolders(base + "\\HostDownloads");
  MakeFolders(base + "\\ViewerDownloads");
  MakeFolders(base + "\\폴더");

  TWinDispatcher ui;
  auto screen = std::make_shared<TFakeScreen>(HostW, HostH);
  TFakeInputInjector input;
  input.SetVirtualScreen(TVirtualScreen{0, 0, HostW, HostH});
  TClipboardRecord hostClipboard;
  THostServices services;
  services.MakeScreen = [screen] { return std::shared_ptr<IScreen>(screen); };
  services.Input = &input;
  services.Clipboard = &hostClipboard;
  services.DownloadDir = base + "\\HostDownloads";
  services.ConfigDir = base;
  auto agent = std::make_unique<THostAgent>(ui, "127.0.0.1", port, "DWINEVIEWERTRANSFER0000000000001",
                                            HashPassword("파일"), services);
  std::string hostId;
  agent->OnID = [&](const std::string& AId) { hostId = AId; };
  agent->OnConsent = [&agent](const TConsentQuestion& AQuestion) { agent->AnswerConsent(AQuestion.Ticket, false); };
  agent->Start();
  ASSERT_TRUE(PumpUntil([&] { return !hostId.empty(); }, 20000)) << "no ID from the relay";

  TViewerParams params;
  params.Server = "127.0.0.1";
  params.Port = port;
  params.TargetID = hostId;
  params.MyName = "파일 뷰어";
  params.Proof = MakeSessionProof(hostId, HashPassword("파일"));
  params.DownloadDir = base + "\\ViewerDownloads";
  auto viewer = std::make_unique<TWinRemote>(ui, params);
  std::vector<std::string> boxes;
  TRemoteBoxes quiet;
  quiet.Error = [&](HWND, const std::string& AText) { boxes.push_back("error: " + AText); };
  quiet.Warning = [&](HWND, const std::string& AText) { boxes.push_back("warning: " + AText); };
  viewer->SetBoxes(quiet);
  viewer->StartConnect();
  ASSERT_TRUE(PumpUntil([&] { return viewer->IsConnected(); }, 20000)) << viewer->StatusText();
  // A viewer that offers no handshake: the status bar says the session runs in clear.
  EXPECT_TRUE(PumpUntil([&] { return viewer->SecurityText() == PlainConnectionText; }, 5000)) << viewer->SecurityText();

  // Three files and a folder dropped at once: the folder is no file; the files arrive whole, so
  // none started while another was still on its way (two at once would have been refused).
  const std::vector<std::string> names = {"하나.bin", "둘.bin", "셋.bin"};
  std::vector<std::string> paths;
  for (size_t i = 0; i < names.size(); ++i) {
    paths.push_back(base + "\\" + names[i]);
    WriteAll(paths.back(), Pattern(400000 - i * 100000, int(i)));
  }
  std::vector<std::string> dropped = paths;
  dropped.insert(dropped.begin() + 1, base + "\\폴더");
  ::PostMessageW(viewer->Canvas(), WM_DROPFILES, reinterpret_cast<WPARAM>(DropOf(dropped)), 0);
  for (size_t i = 0; i < names.size(); ++i)
    EXPECT_TRUE(PumpUntil(
        [&] { return ReadAll(base + "\\HostDownloads\\" + names[i]) == Pattern(400000 - i * 100000, int(i)); }, 30000))
        << names[i] << ": " << viewer->StatusText();
  EXPECT_TRUE(PumpUntil([&] { return viewer->StatusText() == "파일 전송 완료: 셋.bin"; }, 10000))
      << viewer->StatusText();
  EXPECT_EQ(viewer->QueuedUploads(), 0u);
  EXPECT_FALSE(::IsWindowVisible(viewer->Button("전송 취소")));
  EXPECT_FALSE(viewer->ProgressShown());

  // A large upload shows its progress; "전송 취소" stops it, says so, and the host keeps nothing of it.
  const std::string big = Pattern(64u << 20, 7);
  WriteAll(base + "\\큰.bin", big);
  ::PostMessageW(viewer->Canvas(), WM_DROPFILES, reinterpret_cast<WPARAM>(DropOf({base + "\\큰.bin"})), 0);
  ASSERT_TRUE(PumpUntil([&] { return viewer->ProgressShown() && viewer->ProgressPercent() > 0; }, 20000))
      << viewer->StatusText();
  ASSERT_LT(viewer->ProgressPercent(), 100) << "too fast to cancel";
  ::SendMessageW(viewer->Button("전송 취소"), BM_CLICK, 0, 0);
  EXPECT_TRUE(PumpUntil([&] { return viewer->StatusText() == "전송 취소됨: 큰.bin"; }, 20000)) << viewer->StatusText();
  EXPECT_FALSE(viewer->ProgressShown());
  PumpFor(500);
  EXPECT_FALSE(IsRegularFile(base + "\\HostDownloads\\큰.bin"));
  EXPECT_FALSE(IsRegularFile(base + "\\HostDownloads\\큰.bin.part"));

  // The same file down from the host, cancelled while it comes: nothing is left of it.
  ASSERT_TRUE(viewer->Session()->RequestFile(base + "\\큰.bin"));
  ASSERT_TRUE(PumpUntil([&] { return viewer->ProgressShown() && viewer->ProgressPercent() > 0; }, 20000))
      << viewer->StatusText();
  ::SendMessageW(viewer->Button("전송 취소"), BM_CLICK, 0, 0);
  EXPECT_TRUE(PumpUntil([&] { return viewer->StatusText() == "전송 취소됨: 큰.bin"; }, 20000)) << viewer->StatusText();
  PumpFor(500);
  EXPECT_FALSE(IsRegularFile(base + "\\ViewerDownloads\\큰.bin"));

  // Outside a session a drop sends nothing.
  agent->Stop();
  ASSERT_TRUE(PumpUntil([&] { return !viewer->IsConnected(); }, 20000));
  ::PostMessageW(viewer->Canvas(), WM_DROPFILES, reinterpret_cast<WPARAM>(DropOf({paths[0]})), 0);
  PumpFor(300);
  EXPECT_EQ(viewer->QueuedUploads(), 0u);

  EXPECT_TRUE(boxes.empty()) << boxes.front();
  viewer.reset();
  agent->OnID = nullptr;
  agent->OnConsent = nullptr;
  agent.reset();
  for (const std::string& path : paths) RemoveFile(path);
  RemoveFile(base + "\\큰.bin");
  RemoveFile(base + "\\HostDownloads\\큰.bin");
}

// The main window over the real client core, its host reached by the viewer window: the
// consent prompt's "보기만 허용", the session line with who is connected, "입력 차단" showing and
// switching the state, and "연결 끊기" ending the session.
TEST(WinViewerWindow, TheMainWindowShowsTheSessionItsInputBlockAndEndsIt) {
  const char* portText = std::getenv("TLM_RELAY_PORT");
  if (!portText || !*portText) GTEST_SKIP() << "TLM_RELAY_PORT not set: run through scripts/run-relay-test";
  const uint16_t port = uint16_t(std::atoi(portText));
  const std::string base = UserConfigDir() + "\\tlm-main-session-test";
  MakeFolders(base + "\\config");

  TWinDispatcher ui;
  auto screen = std::make_shared<TFakeScreen>(HostW, HostH);
  TFakeInputInjector input;
  input.SetVirtualScreen(TVirtualScreen{0, 0, HostW, HostH});
  TClipboardRecord hostClipboard;
  TEnvironment env;
  env.ConfigDir = base + "\\config";
  env.RelayHost = "127.0.0.1";
  env.ComputerName = "WINE-HOST";
  TClientParts parts;
  parts.Services.MakeScreen = [screen] { return std::shared_ptr<IScreen>(screen); };
  parts.Services.Input = &input;
  parts.Services.Clipboard = &hostClipboard;
  parts.Services.DownloadDir = base;
  parts.RelayPort = port;
  auto core = std::make_unique<TClientApp>(ui, env, std::move(parts));
  TWinMainBoxes boxes;
  std::vector<std::string> said;
  boxes.Info = [&](HWND, const std::string& AText) { said.push_back(AText); };
  boxes.Error = [&](HWND, const std::string& AText) { said.push_back(AText); };
  auto view = std::make_unique<TWinMainView>(*core, boxes);
  core->AddView(view.get());
  view->Window().Show();
  core->Start();
  ASSERT_TRUE(PumpUntil([&] { return !core->MyID().empty(); }, 20000)) << "no ID from the relay";

  TViewerParams params;
  params.Server = "127.0.0.1";
  params.Port = port;
  params.TargetID = core->MyID();
  params.MyName = "지원팀";
  auto viewer = std::make_unique<TWinRemote>(ui, params);
  TRemoteBoxes quiet;
  quiet.Error = [&](HWND, const std::string& AText) { said.push_back(AText); };
  quiet.Warning = [&](HWND, const std::string& AText) { said.push_back(AText); };
  viewer->SetBoxes(quiet);
  viewer->StartConnect();
  ASSERT_TRUE(PumpUntil([&] { return view->Prompt() != nullptr; }, 20000)) << "no consent prompt";
  ::SendMessageW(::FindWindowExW(view->Prompt()->Handle(), nullptr, L"BUTTON", L"보기만 허용"), BM_CLICK, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return viewer->IsConnected() && !view->Window().SessionLineText().empty(); }, 20000))
      << viewer->StatusText();

  // Who is connected and for how long, and the input blocked as the prompt said.
  EXPECT_EQ(view->Window().SessionLineText().rfind("지원팀 (127.0.0.1) · 00:0", 0), 0u)
      << view->Window().SessionLineText();
  EXPECT_TRUE(::IsWindowVisible(view->Window().BlockInputBox()));
  EXPECT_TRUE(view->Window().BlockInputChecked());
  EXPECT_TRUE(core->ViewerInputBlocked());
  // The switch lets the viewer's input through again, and blocks it again.
  ::SendMessageW(view->Window().BlockInputBox(), BM_CLICK, 0, 0);
  EXPECT_FALSE(core->ViewerInputBlocked());
  EXPECT_FALSE(view->Window().BlockInputChecked());
  ::SendMessageW(view->Window().BlockInputBox(), BM_CLICK, 0, 0);
  EXPECT_TRUE(core->ViewerInputBlocked());

  // "연결 끊기": the session ends, and with it the line and the switch.
  HWND end = ::FindWindowExW(view->Window().Handle(), nullptr, L"BUTTON", L"연결 끊기");
  ASSERT_TRUE(end && ::IsWindowVisible(end));
  ::SendMessageW(end, BM_CLICK, 0, 0);
  EXPECT_TRUE(PumpUntil([&] { return !core->InSession() && !viewer->IsConnected(); }, 20000));
  PumpFor(200);
  EXPECT_EQ(view->Window().SessionLineText(), "");
  EXPECT_FALSE(::IsWindowVisible(view->Window().BlockInputBox()));
  EXPECT_TRUE(said.empty()) << said.front();

  viewer.reset();
  core->RemoveView(view.get());
  view.reset();
  core.reset();
}

}  // namespace
}  // namespace tlm
