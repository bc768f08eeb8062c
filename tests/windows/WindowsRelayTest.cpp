// The real host agent and viewer session, built for Windows and run under Wine, through the
// Linux relay server that scripts/run-relay-test started (its port in TLM_RELAY_PORT): register,
// admission by password, a frame of the Win32 window's picture, input, chat both ways,
// clipboard both ways, a file up and a file down byte for byte, drive and folder listings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "host/HostAgent.h"
#include "platform/Folders.h"
#include "platform/Input.h"
#include "protocol/Credentials.h"
#include "protocol/LocalFiles.h"
#include "protocol/Marshal.h"
#include "protocol/Messages.h"
#include "protocol/WinText.h"
#include "tests/capture/TestPictures.h"
#include "viewer/ViewerSession.h"
// Last: <windows.h> defines the MOUSEEVENTF_*, KEYEVENTF_* and VK_* names as macros.
#include "tests/windows/TestWindow.h"

namespace tlm {
namespace {

using test::TTestWindow;
using test::TWindowEvent;

class TClipboardRecord : public IClipboardSetter {
public:
  void SetClipboardText(const std::string& AText) override { Texts.push_back(AText); }
  std::vector<std::string> Texts;
};

std::string Pattern(size_t ASize, uint32_t ASeed) {
  std::string data(ASize, '\0');
  uint32_t x = ASeed;
  for (char& c : data) {
    x = x * 1664525u + 1013904223u;
    c = char(x >> 24);
  }
  return data;
}

void WriteWhole(const std::string& APath, const std::string& AData) {
  bool existed = false;
  RemoveFile(APath);
  std::FILE* file = CreateNewFile(APath, existed);
  ASSERT_NE(file, nullptr) << APath;
  ASSERT_EQ(std::fwrite(AData.data(), 1, AData.size(), file), AData.size());
  std::fclose(file);
}

std::string ReadWhole(const std::string& APath) {
  if (!IsRegularFile(APath)) return "(missing)";
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

void RemoveTree(const std::string& AFolder) {
  const std::optional<std::vector<TDirEntry>> entries = ListFolder(AFolder + "\\");
  if (entries) {
    for (const TDirEntry& e : *entries) {
      if (e.IsDir) {
        RemoveTree(JoinPath(AFolder, e.Name));
      } else {
        RemoveFile(JoinPath(AFolder, e.Name));
      }
    }
  }
  ::RemoveDirectoryW(WideFromUtf8(AFolder).c_str());
}

TEST(WindowsThroughTheLinuxRelay, HostAndViewerSession) {
  const char* portText = std::getenv("TLM_RELAY_PORT");
  if (!portText || !*portText) GTEST_SKIP() << "TLM_RELAY_PORT not set: run through scripts/run-relay-test";
  const uint16_t port = uint16_t(std::atoi(portText));

  const std::string base = UserConfigDir() + "\\tlm-relay-test";
  RemoveTree(base);
  MakeFolders(base + "\\HostDownloads");
  MakeFolders(base + "\\ViewerDownloads");

  constexpr int W = 480, H = 320;
  const std::vector<uint32_t> picture = test::MakeDesktopPicture(W, H, 3);
  TTestWindow window(RECT{0, 0, W, H}, picture);
  ::SetCursorPos(W + 300, H + 300);

  TQueueDispatcher ui;
  std::unique_ptr<IInputInjector> input = CreateSystemInjector();
  TClipboardRecord hostClipboard;
  THostServices services;
  services.Input = input.get();
  services.Clipboard = &hostClipboard;
  services.DownloadDir = base + "\\HostDownloads";
  services.ConfigDir = base;
  auto agent = std::make_unique<THostAgent>(ui, "127.0.0.1", port, "DWINETESTHOST0000000000000000001",
                                            HashPassword("비밀"), services);
  std::string hostId;
  std::vector<std::string> hostChat;
  std::vector<std::string> admissions;
  agent->OnID = [&](const std::string& AId) { hostId = AId; };
  agent->OnChat = [&](const std::string& AText) { hostChat.push_back(AText); };
  agent->OnAdmission = [&](const std::string& AName, const std::string&, EAdmission AHow) {
    admissions.push_back(AName + ":" + AdmissionText(AHow));
  };
  agent->OnConsent = [&agent](const TConsentQuestion& AQuestion) { agent->AnswerConsent(AQuestion.Ticket, false); };
  agent->Start();
  ASSERT_TRUE(ui.RunUntil([&] { return !hostId.empty(); }, 20000)) << "no ID from the relay";

  TViewerParams params;
  params.Server = "127.0.0.1";
  params.Port = port;
  params.TargetID = hostId;
  params.MyName = "와인 뷰어";
  params.Proof = MakeSessionProof(hostId, HashPassword("비밀"));
  params.DownloadDir = base + "\\ViewerDownloads";
  auto session = std::make_unique<TViewerSession>(ui, params);
  int frames = 0;
  std::vector<std::string> viewerChat, viewerClipboard, uploads, errors;
  std::vector<TDirListing> listings;
  session->OnFrame = [&] { ++frames; };
  session->OnChat = [&](const std::string& AText) { viewerChat.push_back(AText); };
  session->OnClipboard = [&](const std::string& AText) { viewerClipboard.push_back(AText); };
  session->OnListing = [&](const TDirListing& AListing, bool) { listings.push_back(AListing); };
  session->OnUploadDone = [&](const std::string& AName, bool AOk) { uploads.push_back(AName + (AOk ? ":ok" : ":cut")); };
  session->OnRelayError = [&](const std::string& AText) { errors.push_back(AText); };
  session->OnConnectFailed = [&](const std::string& AText) { errors.push_back(AText); };
  session->Start();
  ASSERT_TRUE(ui.RunUntil([&] { return session->InSession(); }, 20000)) << (errors.empty() ? "" : errors[0]);
  EXPECT_EQ(admissions, std::vector<std::string>{"와인 뷰어:" + std::string(AdmissionText(EAdmission::Password))});

  // A frame: the whole monitor, and the window's picture in its top-left corner.
  ASSERT_TRUE(ui.RunUntil([&] { return frames > 0 && session->Screen().Width() >= W; }, 20000));
  ASSERT_TRUE(ui.RunUntil(
      [&] {
        double psnr = 0;
        session->Screen().Read([&](const TRemoteScreen::TView& AView) {
          if (AView.Width < W || AView.Height < H) return;
          double sum = 0;
          for (int y = 0; y < H; ++y) {
            const uint8_t* row = AView.Bits + y * AView.Stride;
            for (int x = 0; x < W; ++x) {
              const uint32_t want = picture[size_t(y) * W + size_t(x)];
              for (int c = 0; c < 3; ++c) {
                const int d = int(row[x * 4 + c]) - int((want >> (8 * c)) & 0xFF);
                sum += double(d * d);
              }
            }
          }
          const double mse = sum / (double(W) * H * 3);
          psnr = mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
        });
        return psnr >= 28;
      },
      20000))
      << "the picture never arrived at 28 dB";

  // Input: a move to an exact pixel of the window, a key by its virtual key.
  window.Activate();
  {
    const size_t from = window.EventCount();
    TMouseEventRec rec{};
    rec.X = 123;
    rec.Y = 77;
    ASSERT_TRUE(session->SendMouse(rec));
    POINT last{-1, -1};
    bool moved = false;
    ui.RunUntil([&] { return moved = window.WaitForMove(POINT{123, 77}, from, 10, last); }, 10000);
    EXPECT_TRUE(moved) << "last move " << last.x << "," << last.y;
  }
  {
    const size_t from = window.EventCount();
    ASSERT_TRUE(session->SendKey(0x42, false, false));
    ASSERT_TRUE(session->SendKey(0x42, true, false));
    TWindowEvent down, up;
    ui.RunUntil([&] { return window.WaitFor(WM_KEYUP, from, 10, up); }, 10000);
    ASSERT_TRUE(window.WaitFor(WM_KEYDOWN, from, 10, down));
    EXPECT_EQ(down.WParam, 0x42u);
    EXPECT_EQ(up.WParam, 0x42u);
  }

  // Chat and clipboard both ways.
  ASSERT_TRUE(session->SendChat("안녕하세요"));
  agent->SendChat("반갑습니다");
  ASSERT_TRUE(session->SendClipboard("뷰어 클립보드"));
  agent->PushClipboard("호스트 클립보드");
  EXPECT_TRUE(ui.RunUntil(
      [&] { return !hostChat.empty() && !viewerChat.empty() && !hostClipboard.Texts.empty() && !viewerClipboard.empty(); },
      10000));
  EXPECT_EQ(hostChat, std::vector<std::string>{"안녕하세요"});
  EXPECT_EQ(viewerChat, std::vector<std::string>{"반갑습니다"});
  EXPECT_EQ(hostClipboard.Texts, std::vector<std::string>{"뷰어 클립보드"});
  EXPECT_EQ(viewerClipboard, std::vector<std::string>{"호스트 클립보드"});

  // A file up and a file down, byte for byte (several chunks and a short last one).
  const std::string up = Pattern((3 << 20) + 4321, 1), down = Pattern((2 << 20) + 99, 2);
  WriteWhole(base + "\\up.bin", up);
  WriteWhole(base + "\\down.bin", down);
  session->SendFile(base + "\\up.bin");
  ASSERT_TRUE(session->RequestFile(base + "\\down.bin"));
  EXPECT_TRUE(ui.RunUntil(
      [&] {
        return !uploads.empty() && ReadWhole(base + "\\ViewerDownloads\\down.bin") == down &&
               ReadWhole(base + "\\HostDownloads\\up.bin") == up;
      },
      60000));
  EXPECT_EQ(uploads, std::vector<std::string>{"up.bin:ok"});

  // Listings: the drives, then a folder with backslash paths.
  ASSERT_TRUE(session->RequestListing(""));
  ASSERT_TRUE(ui.RunUntil([&] { return !listings.empty(); }, 10000));
  ASSERT_TRUE(listings[0].IsDrives);
  ASSERT_FALSE(listings[0].Entries.empty());
  EXPECT_EQ(listings[0].Entries[0].Name, "C:\\");
  ASSERT_TRUE(session->RequestListing(base));
  ASSERT_TRUE(ui.RunUntil([&] { return listings.size() >= 2; }, 10000));
  EXPECT_EQ(listings[1].Path, base);
  std::vector<std::string> names;
  for (const TDirListing::TLine& line : listings[1].Entries)
    names.push_back((line.IsDir ? "D " : "F ") + line.Name + " " + line.SizeText);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"D HostDownloads 0", "D ViewerDownloads 0",
                                             "F down.bin " + std::to_string(down.size()),
                                             "F up.bin " + std::to_string(up.size())}));

  EXPECT_TRUE(session->InSession());
  session->Stop();
  session.reset();
  agent->Stop();
  agent.reset();
  RemoveTree(base);
}

}  // namespace
}  // namespace tlm
