// bench_e2e_vnc: this host against a VNC server on the same moving screen, the same line and the
// same run, as a yardstick. Runs as root in a network namespace of its own (it shapes loopback).
//
//   bench_e2e_vnc [WIDTHxHEIGHT]     (default 1920x1080)
//   BENCH_VNC_LINES="loopback 10mbit 2mbit"   lines to run, in this order
//   BENCH_VNC_SECONDS=10                      measuring window per contender and line
//
// One Xvfb whose whole picture an X client scrolls every 25 ms. Contenders, one at a time:
// - this host at the fast preset and at the smooth preset, the latter also with a viewer of the
//   original wire (JPEG tiles only; the others announce palette tiles): a THostAgent in a child
//   process of its own (so its CPU can be read apart) registered at an in-process relay, and a
//   headless viewer here that decodes every tile into its back buffer and acknowledges every
//   frame;
// - Debian's x0vncserver on the same display, as shipped and with its polling let loose, with a
//   small RFB 3.8 client written for this benchmark (no authentication, Tight with JPEG quality
//   level 8 and compression level 2 as TigerVNC's viewer asks by default, one incremental
//   update request after each update).
// Lines: plain loopback, then loopback shaped with a token bucket (tc tbf, 1500-byte packets) on
// the host's side: between this host and the relay, between the VNC server and its client.
//
// Figures per contender: Mpixel/s delivered (rectangle areas received), bytes on the wire per
// Mpixel, updates per second, host CPU (the serving process's user + system time over the
// window, in cores), and input-to-picture: the client presses Shift; the painter, which polls
// the keyboard every millisecond, then paints a counter into three grey blocks at the top-left
// corner (never covered by the scrolling); the time from the key to the first decoded picture
// that shows the new count (p50/p95).
//
// Figures only; nothing here passes or fails.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/PrivateNetwork.h"
#include "bench/Stats.h"
#include "host/HostAgent.h"
#include "platform/Input.h"
#include "protocol/Connection.h"
#include "protocol/Credentials.h"
#include "protocol/Error.h"
#include "protocol/Frame.h"
#include "protocol/Marshal.h"
#include "protocol/Messages.h"
#include "protocol/Packet.h"
#include "relay/RelayServer.h"
#include "tests/capture/TestPictures.h"
#include "tests/support/PacketWrites.h"
#include "tests/support/QuietRelay.h"
#include "tests/support/XvfbServer.h"
#include "viewer/RemoteScreen.h"
#include "viewer/TileDecoder.h"

// Last: Xlib defines macros (Status, None) that clash with names in the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

namespace {

using namespace tlm;
using bench::Percentile;
using Clock = std::chrono::steady_clock;

int ScreenW = 1920;
int ScreenH = 1080;
constexpr int Slack = 512;
constexpr int PaintPeriodMs = 25;
constexpr int MarkBlock = 32;
constexpr int MarkBlocks = 3;  // 3 bits each: grey levels 32 apart survive any JPEG quality
constexpr int MarkModulo = 1 << (3 * MarkBlocks);
constexpr uint16_t RelayPortHere = 59000;
// The shaped line: every packet to or from this address. The host reaches the relay through it
// and the VNC clients their server; the relay's side to the viewer stays unshaped, so each
// contender's picture crosses the shaped line exactly once.
constexpr const char* LineAddress = "127.0.0.2";
constexpr uint16_t VncPort = 5900;
constexpr int KeyTimeoutMs = 5000;
constexpr int KeyGapMs = 150;  // after a key's picture arrived, before the next key

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
bool Shell(const std::string& ACommand) { return std::system(ACommand.c_str()) == 0; }

uint32_t MarkGrey(int ACount, int ABlock) {
  const uint32_t level = uint32_t(((ACount >> (3 * ABlock)) & 7) * 32 + 16);
  return (level << 16) | (level << 8) | level;
}

// The counter from 0x00RRGGBB pixels: the mean green of the middle 8x8 pixels of each block.
int ReadMark(const uint32_t* APixels, size_t AStride) {
  int count = 0;
  for (int b = 0; b < MarkBlocks; ++b) {
    int sum = 0;
    for (int y = MarkBlock / 2 - 4; y < MarkBlock / 2 + 4; ++y)
      for (int x = b * MarkBlock + MarkBlock / 2 - 4; x < b * MarkBlock + MarkBlock / 2 + 4; ++x)
        sum += int((APixels[size_t(y) * AStride + size_t(x)] >> 8) & 0xFF);
    count |= std::clamp(sum / 64 / 32, 0, 7) << (3 * b);
  }
  return count;
}

// ---- the X client: the whole screen scrolls, the corner counts Shift presses -----------------

class TPainter {
public:
  explicit TPainter(const std::string& ADisplay) : FPicture(test::MakeDesktopPicture(ScreenW + Slack, ScreenH, 7)) {
    FDpy = XOpenDisplay(ADisplay.c_str());
    if (!FDpy) throw TError("painter: cannot open " + ADisplay);
    FThread = std::thread([this] { Run(); });
  }
  ~TPainter() {
    FStop = true;
    FThread.join();
    XCloseDisplay(FDpy);
  }
  int Presses() const { return FPresses.load(); }

private:
  void Run() {
    const int scr = DefaultScreen(FDpy);
    const Window root = RootWindow(FDpy, scr);
    GC gc = XCreateGC(FDpy, root, 0, nullptr);
    XImage* image = XCreateImage(FDpy, DefaultVisual(FDpy, scr), 24, ZPixmap, 0,
                                 reinterpret_cast<char*>(FPicture.data()), ScreenW + Slack, ScreenH, 32,
                                 (ScreenW + Slack) * 4);
    const Pixmap source = XCreatePixmap(FDpy, root, unsigned(ScreenW + Slack), unsigned(ScreenH), 24);
    XPutImage(FDpy, source, gc, image, 0, 0, 0, 0, unsigned(ScreenW + Slack), unsigned(ScreenH));
    const KeyCode shift = XKeysymToKeycode(FDpy, XK_Shift_L);
    const int markW = MarkBlock * MarkBlocks;
    bool wasDown = false;
    int seq = 0;
    auto paintMark = [&] {
      for (int b = 0; b < MarkBlocks; ++b) {
        XSetForeground(FDpy, gc, MarkGrey(FPresses.load() % MarkModulo, b));
        XFillRectangle(FDpy, root, gc, b * MarkBlock, 0, MarkBlock, MarkBlock);
      }
    };
    paintMark();
    XSync(FDpy, False);
    auto nextPaint = Clock::now();
    while (!FStop) {
      char keys[32];
      XQueryKeymap(FDpy, keys);
      const bool down = shift && (keys[shift / 8] & (1 << (shift % 8)));
      if (down && !wasDown) {
        FPresses.fetch_add(1);
        paintMark();
        XSync(FDpy, False);
      }
      wasDown = down;
      if (Clock::now() >= nextPaint) {
        // Everything but the counter's corner moves.
        const int off = (++seq * 8) % Slack;
        XCopyArea(FDpy, source, root, gc, off + markW, 0, unsigned(ScreenW - markW), MarkBlock, markW, 0);
        XCopyArea(FDpy, source, root, gc, off, MarkBlock, unsigned(ScreenW), unsigned(ScreenH - MarkBlock), 0, MarkBlock);
        XSync(FDpy, False);
        nextPaint += std::chrono::milliseconds(PaintPeriodMs);
        if (Clock::now() > nextPaint + std::chrono::milliseconds(200)) nextPaint = Clock::now();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    XFreePixmap(FDpy, source);
    image->data = nullptr;
    XDestroyImage(image);
    XFreeGC(FDpy, gc);
  }

  std::vector<uint32_t> FPicture;
  Display* FDpy = nullptr;
  std::atomic<bool> FStop{false};
  std::atomic<int> FPresses{0};
  std::thread FThread;
};

// ---- what a client counts, whichever protocol it speaks --------------------------------------

struct TFigures {
  uint64_t Updates = 0;
  uint64_t Pixels = 0;  // rectangle areas received
  uint64_t Bytes = 0;   // every byte from the server, headers included
  std::vector<double> KeyMs;
  int KeysLost = 0;
};

// The measuring side of a client: counts, and the key presses with the picture that answers them.
class TProbe {
public:
  virtual ~TProbe() = default;
  virtual void SendShift(bool ADown) = 0;
  virtual std::string Error() const = 0;

  void Reset() {
    std::lock_guard hold(FLock);
    FFigures = {};
  }
  TFigures Take() {
    std::lock_guard hold(FLock);
    return FFigures;
  }
  // Reader thread: one update received and decoded, with the counter it shows.
  void Update(uint64_t APixels, uint64_t ABytes, int AMark) {
    std::lock_guard hold(FLock);
    ++FFigures.Updates;
    FFigures.Pixels += APixels;
    FFigures.Bytes += ABytes;
    FMark = AMark;
    if (FWaiting && AMark == FExpected) {
      FFigures.KeyMs.push_back(Ms(Clock::now() - FPressed));
      FWaiting = false;
    }
    FSeen++;
  }
  void Bytes(uint64_t ABytes) {
    std::lock_guard hold(FLock);
    FFigures.Bytes += ABytes;
  }
  uint64_t Seen() const {
    std::lock_guard hold(FLock);
    return FSeen;
  }
  // Measuring thread: presses Shift, waits for its picture (or gives up), releases, rests.
  void KeyRound(int APressesBefore, const std::atomic<bool>& AStop) {
    {
      std::lock_guard hold(FLock);
      FExpected = (APressesBefore + 1) % MarkModulo;
      FPressed = Clock::now();
      FWaiting = true;
    }
    SendShift(true);
    const auto deadline = Clock::now() + std::chrono::milliseconds(KeyTimeoutMs);
    bool answered = false;
    while (!AStop && Clock::now() < deadline) {
      {
        std::lock_guard hold(FLock);
        if (!FWaiting) {
          answered = true;
          break;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    SendShift(false);
    {
      std::lock_guard hold(FLock);
      if (!answered && FWaiting) ++FFigures.KeysLost;
      FWaiting = false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(KeyGapMs));
  }

private:
  mutable std::mutex FLock;
  TFigures FFigures;
  int FMark = -1;
  int FExpected = -1;
  bool FWaiting = false;
  Clock::time_point FPressed;
  uint64_t FSeen = 0;
};

// ---- this program's viewer, headless ----------------------------------------------------------

class TOurViewer final : public TProbe {
public:
  // APaletteTiles: announce the palette tiles, as this program's viewer does; without, the
  // viewer speaks the original wire and gets JPEG only.
  TOurViewer(const std::string& ATarget, const std::string& AProof, int APreset, bool APaletteTiles)
      : FQuality(APaletteTiles ? QualityPayload(APreset) : TBytes{uint8_t(APreset)}) {
    FConn.Connect("127.0.0.1", RelayPortHere, 5000);
    FConn.SetReadTimeout(60000);
    WriteTextPacket(FConn, MsgConnectRequest, BuildConnectRequest(ATarget, "Bench", AProof), &FWriteLock);
    FThread = std::thread([this] { Run(); });
  }
  ~TOurViewer() override {
    FConn.Abort();
    FThread.join();
    FConn.Close();
  }
  void SendShift(bool ADown) override {
    const TKeyEventRec rec{0x10, 0x2A, uint8_t(ADown ? 0 : 1), 0};  // VK_SHIFT
    try {
      WritePacket(FConn, MsgKey, PackKeyEvent(rec), &FWriteLock);
    } catch (const std::exception&) {
    }
  }
  std::string Error() const override {
    std::lock_guard hold(FErrorLock);
    return FError;
  }

private:
  void Run() {
    try {
      TRemoteScreen screen;
      for (;;) {
        TPacket packet = ReadPacket(FConn);
        const uint64_t wire = packet.Payload.size() + PacketHeaderSize;
        if (packet.Type == MsgSessionStart) {
          WritePacket(FConn, MsgQuality, FQuality, &FWriteLock);
          Bytes(wire);
        } else if (packet.Type == MsgFrame) {
          TParsedFrame parsed;
          uint64_t pixels = 0;
          if (ParseFramePayload(packet.Payload, parsed))
            for (const TParsedRect& r : parsed.Rects) pixels += uint64_t(r.W) * r.H;
          if (screen.Apply(packet.Payload) != TRemoteScreen::EApply::Drawn) throw TError("bad frame payload");
          WriteEmptyPacket(FConn, MsgFrameAck, &FWriteLock);
          int mark = -1;
          screen.Read([&](const TRemoteScreen::TView& AView) {
            if (AView.Width >= MarkBlock * MarkBlocks && AView.Height >= MarkBlock)
              mark = ReadMark(reinterpret_cast<const uint32_t*>(AView.Bits), size_t(AView.Stride) / 4);
          });
          Update(pixels, wire, mark);
        } else {
          Bytes(wire);
        }
      }
    } catch (const std::exception& e) {
      std::lock_guard hold(FErrorLock);
      if (!FConn.Aborted()) FError = e.what();
    }
  }

  const TBytes FQuality;  // the MsgQuality payload
  TTcpConnection FConn;
  std::mutex FWriteLock;
  std::thread FThread;
  mutable std::mutex FErrorLock;
  std::string FError;
};

// ---- a small RFB 3.8 client ----------------------------------------------------------------------

// Reads whole messages off a socket through a buffer, counting every byte.
class TRfbReader {
public:
  explicit TRfbReader(TTcpConnection& AConn) : FConn(AConn) {}
  void Read(void* ADst, size_t ALen) {
    FConn.ReadExact(static_cast<uint8_t*>(ADst), ALen);
    FCount += ALen;
  }
  uint8_t U8() {
    uint8_t v;
    Read(&v, 1);
    return v;
  }
  uint16_t U16() {
    uint8_t b[2];
    Read(b, 2);
    return uint16_t(b[0] << 8 | b[1]);
  }
  uint32_t U32() {
    uint8_t b[4];
    Read(b, 4);
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
  }
  std::vector<uint8_t> Bytes(size_t ALen) {
    std::vector<uint8_t> v(ALen);
    if (ALen) Read(v.data(), ALen);
    return v;
  }
  uint64_t Take() {
    const uint64_t n = FCount;
    FCount = 0;
    return n;
  }

private:
  TTcpConnection& FConn;
  uint64_t FCount = 0;
};

void PutU16(std::vector<uint8_t>& AOut, uint16_t AValue) {
  AOut.push_back(uint8_t(AValue >> 8));
  AOut.push_back(uint8_t(AValue));
}
void PutU32(std::vector<uint8_t>& AOut, uint32_t AValue) {
  for (int s = 24; s >= 0; s -= 8) AOut.push_back(uint8_t(AValue >> s));
}

// The RFB client: 32-bit true colour (0x00RRGGBB little-endian), Tight decoded into a picture of
// its own (fill, JPEG, and basic compression with the copy, palette and gradient filters).
class TRfbViewer final : public TProbe {
public:
  explicit TRfbViewer(uint16_t APort) {
    FConn.Connect(LineAddress, APort, 5000);
    FConn.SetReadTimeout(60000);
    for (auto& z : FZ) {
      std::memset(&z, 0, sizeof z);
      if (inflateInit(&z) != Z_OK) throw TError("inflateInit");
    }
    FThread = std::thread([this] { Run(); });
  }
  ~TRfbViewer() override {
    FConn.Abort();
    FThread.join();
    FConn.Close();
    for (auto& z : FZ) inflateEnd(&z);
  }
  void SendShift(bool ADown) override {
    std::vector<uint8_t> m{4, uint8_t(ADown ? 1 : 0), 0, 0};
    PutU32(m, XK_Shift_L);
    Send(m);
  }
  std::string Error() const override {
    std::lock_guard hold(FErrorLock);
    return FError;
  }
  bool Ready() const { return FReady.load(); }

private:
  void Send(const std::vector<uint8_t>& AData) {
    std::lock_guard hold(FWriteLock);
    try {
      FConn.WriteAll(AData.data(), AData.size());
    } catch (const std::exception&) {
    }
  }
  void RequestUpdate(bool AIncremental) {
    std::vector<uint8_t> m{3, uint8_t(AIncremental ? 1 : 0)};
    PutU16(m, 0);
    PutU16(m, 0);
    PutU16(m, uint16_t(FW));
    PutU16(m, uint16_t(FH));
    Send(m);
  }

  void Handshake(TRfbReader& AIn) {
    const std::vector<uint8_t> version = AIn.Bytes(12);
    if (std::memcmp(version.data(), "RFB 003.", 8) != 0) throw TError("not an RFB server");
    Send(std::vector<uint8_t>{'R', 'F', 'B', ' ', '0', '0', '3', '.', '0', '0', '8', '\n'});
    const uint8_t types = AIn.U8();
    if (types == 0) throw TError("server refused: " + std::string(reinterpret_cast<const char*>(AIn.Bytes(AIn.U32()).data())));
    const std::vector<uint8_t> list = AIn.Bytes(types);
    if (std::find(list.begin(), list.end(), 1) == list.end()) throw TError("server asks for authentication");
    Send(std::vector<uint8_t>{1});
    if (AIn.U32() != 0) throw TError("security handshake failed");
    Send(std::vector<uint8_t>{1});  // shared
    FW = AIn.U16();
    FH = AIn.U16();
    AIn.Bytes(16);  // the server's pixel format; ours follows
    AIn.Bytes(AIn.U32());  // desktop name
    FPicture.assign(size_t(FW) * FH, 0);
    std::vector<uint8_t> format{0, 0, 0, 0, 32, 24, 0, 1};
    PutU16(format, 255);
    PutU16(format, 255);
    PutU16(format, 255);
    format.insert(format.end(), {16, 8, 0, 0, 0, 0});
    Send(format);
    std::vector<uint8_t> encodings{2, 0};
    const std::vector<int32_t> wanted{7, 16, 1, 0, -32 + 8, -256 + 2, -224, -223};  // Tight, ZRLE, CopyRect, Raw, JPEG q8, zlib 2, LastRect, DesktopSize
    PutU16(encodings, uint16_t(wanted.size()));
    for (int32_t e : wanted) PutU32(encodings, uint32_t(e));
    Send(encodings);
    RequestUpdate(false);
  }

  void Run() {
    try {
      TRfbReader in(FConn);
      Handshake(in);
      Bytes(in.Take());
      FReady = true;
      for (;;) {
        const uint8_t type = in.U8();
        if (type == 0) {
          in.U8();
          uint16_t rects = in.U16();
          uint64_t pixels = 0;
          for (uint32_t i = 0; rects == 0xFFFF || i < rects; ++i) {
            const uint16_t x = in.U16(), y = in.U16(), w = in.U16(), h = in.U16();
            const int32_t enc = int32_t(in.U32());
            if (enc == -224) break;  // LastRect
            if (enc == -223) {
              FW = w;
              FH = h;
              FPicture.assign(size_t(FW) * FH, 0);
              continue;
            }
            if (uint32_t(x) + w > uint32_t(FW) || uint32_t(y) + h > uint32_t(FH)) throw TError("rectangle outside the screen");
            if (enc == 7)
              Tight(in, x, y, w, h);
            else if (enc == 0)
              Raw(in, x, y, w, h);
            else if (enc == 1)
              CopyRect(in, x, y, w, h);
            else
              throw TError("encoding " + std::to_string(enc) + " not handled");
            pixels += uint64_t(w) * h;
          }
          RequestUpdate(true);
          Update(pixels, in.Take(), ReadMark(FPicture.data(), size_t(FW)));
        } else if (type == 1) {
          in.U8();
          in.U16();
          in.Bytes(size_t(in.U16()) * 6);
          Bytes(in.Take());
        } else if (type == 2) {
          Bytes(in.Take());
        } else if (type == 3) {
          in.Bytes(3);
          in.Bytes(in.U32());
          Bytes(in.Take());
        } else {
          throw TError("server message " + std::to_string(type) + " not handled");
        }
      }
    } catch (const std::exception& e) {
      std::lock_guard hold(FErrorLock);
      if (!FConn.Aborted()) FError = e.what();
    }
  }

  uint32_t* At(int AX, int AY) { return &FPicture[size_t(AY) * FW + size_t(AX)]; }

  void Raw(TRfbReader& AIn, int AX, int AY, int AW, int AH) {
    std::vector<uint8_t> row(size_t(AW) * 4);
    for (int y = 0; y < AH; ++y) {
      AIn.Read(row.data(), row.size());
      std::memcpy(At(AX, AY + y), row.data(), row.size());
    }
  }
  void CopyRect(TRfbReader& AIn, int AX, int AY, int AW, int AH) {
    const int sx = AIn.U16(), sy = AIn.U16();
    if (sx + AW > FW || sy + AH > FH) throw TError("copy from outside the screen");
    std::vector<uint32_t> copy(size_t(AW) * AH);
    for (int y = 0; y < AH; ++y) std::memcpy(&copy[size_t(y) * AW], At(sx, sy + y), size_t(AW) * 4);
    for (int y = 0; y < AH; ++y) std::memcpy(At(AX, AY + y), &copy[size_t(y) * AW], size_t(AW) * 4);
  }
  static uint32_t CompactLength(TRfbReader& AIn) {
    uint32_t len = 0;
    for (int i = 0; i < 3; ++i) {
      const uint8_t b = AIn.U8();
      len |= uint32_t(b & (i == 2 ? 0xFF : 0x7F)) << (7 * i);
      if (i < 2 && !(b & 0x80)) break;
    }
    return len;
  }
  // The bytes of one basic-compression block: raw when short, else inflated on stream AStream.
  std::vector<uint8_t> TightData(TRfbReader& AIn, int AStream, size_t ALen) {
    if (ALen < 12) return AIn.Bytes(ALen);
    const std::vector<uint8_t> packed = AIn.Bytes(CompactLength(AIn));
    std::vector<uint8_t> out(ALen);
    z_stream& z = FZ[AStream];
    z.next_in = const_cast<uint8_t*>(packed.data());
    z.avail_in = uInt(packed.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    while (z.avail_out > 0) {
      const int rc = inflate(&z, Z_SYNC_FLUSH);
      if (rc != Z_OK && rc != Z_STREAM_END && !(rc == Z_BUF_ERROR && z.avail_in == 0)) throw TError("inflate failed");
      if (z.avail_in == 0) break;
    }
    if (z.avail_out != 0) throw TError("short zlib block");
    return out;
  }
  static uint32_t Pixel(const uint8_t* ARgb) { return uint32_t(ARgb[0]) << 16 | uint32_t(ARgb[1]) << 8 | ARgb[2]; }

  void Tight(TRfbReader& AIn, int AX, int AY, int AW, int AH) {
    const uint8_t ctl = AIn.U8();
    for (int i = 0; i < 4; ++i)
      if (ctl & (1 << i)) inflateReset(&FZ[i]);
    const int kind = ctl >> 4;
    if (kind == 8) {  // fill
      uint8_t rgb[3];
      AIn.Read(rgb, 3);
      const uint32_t p = Pixel(rgb);
      for (int y = 0; y < AH; ++y) std::fill_n(At(AX, AY + y), AW, p);
      return;
    }
    if (kind == 9) {  // JPEG
      const std::vector<uint8_t> jpeg = AIn.Bytes(CompactLength(AIn));
      int w = 0, h = 0;
      if (!FJpeg.PeekSize(jpeg, w, h) || w != AW || h != AH) throw TError("bad JPEG rectangle");
      const TPixelTarget target{reinterpret_cast<uint8_t*>(FPicture.data()), FW, FH, ptrdiff_t(FW) * 4};
      FJpeg.DrawInto(jpeg, target, AX, AY);
      return;
    }
    if (kind & 8) throw TError("Tight kind " + std::to_string(kind) + " not handled");
    const int stream = kind & 3;
    int filter = 0;
    if (kind & 4) filter = AIn.U8();
    if (filter == 1) {  // palette
      const int colours = AIn.U8() + 1;
      std::vector<uint8_t> pal = AIn.Bytes(size_t(colours) * 3);
      const size_t rowBytes = colours == 2 ? size_t(AW + 7) / 8 : size_t(AW);
      const std::vector<uint8_t> data = TightData(AIn, stream, rowBytes * AH);
      for (int y = 0; y < AH; ++y)
        for (int x = 0; x < AW; ++x) {
          const uint8_t* row = &data[size_t(y) * rowBytes];
          const int index = colours == 2 ? (row[x / 8] >> (7 - x % 8)) & 1 : row[x];
          if (index >= colours) throw TError("palette index out of range");
          *At(AX + x, AY + y) = Pixel(&pal[size_t(index) * 3]);
        }
      return;
    }
    const std::vector<uint8_t> data = TightData(AIn, stream, size_t(AW) * AH * 3);
    if (filter == 0) {
      for (int y = 0; y < AH; ++y)
        for (int x = 0; x < AW; ++x) *At(AX + x, AY + y) = Pixel(&data[(size_t(y) * AW + x) * 3]);
      return;
    }
    if (filter != 2) throw TError("Tight filter " + std::to_string(filter) + " not handled");
    // Gradient: each component predicted from left + above - above-left, clamped.
    std::vector<uint8_t> prev(size_t(AW) * 3, 0), cur(size_t(AW) * 3);
    for (int y = 0; y < AH; ++y) {
      for (int x = 0; x < AW; ++x)
        for (int c = 0; c < 3; ++c) {
          const int left = x ? cur[size_t(x - 1) * 3 + c] : 0;
          const int up = prev[size_t(x) * 3 + c];
          const int upLeft = x ? prev[size_t(x - 1) * 3 + c] : 0;
          const int predicted = std::clamp(left + up - upLeft, 0, 255);
          cur[size_t(x) * 3 + c] = uint8_t(predicted + data[(size_t(y) * AW + x) * 3 + c]);
        }
      for (int x = 0; x < AW; ++x) *At(AX + x, AY + y) = Pixel(&cur[size_t(x) * 3]);
      std::swap(prev, cur);
    }
  }

  TTcpConnection FConn;
  std::mutex FWriteLock;
  std::thread FThread;
  std::atomic<bool> FReady{false};
  int FW = 0, FH = 0;
  std::vector<uint32_t> FPicture;  // reader thread
  std::array<z_stream, 4> FZ{};
  TTileDecoder FJpeg;
  mutable std::mutex FErrorLock;
  std::string FError;
};

// ---- the serving processes ------------------------------------------------------------------------

// User + system CPU seconds of a process so far.
double CpuSeconds(pid_t APid) {
  std::ifstream f("/proc/" + std::to_string(APid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// This program's host in a process of its own: registers at the relay here and writes its ID
// to AIdPipe; runs until killed.
[[noreturn]] void RunHost(int AIdPipe, const std::string& APasswordHash) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  try {
    TQueueDispatcher ui;
    std::unique_ptr<IInputInjector> input = CreateSystemInjector();
    THostServices services;
    services.Input = input.get();
    THostTimings timings;
    timings.ReconnectWaitMs = 200;
    THostAgent agent(ui, LineAddress, RelayPortHere, "DBENCHVNC000000000000000000000000", APasswordHash,
                     std::move(services), timings);
    agent.Start();
    if (!ui.RunUntil([&] { return !agent.ID().empty(); }, 30000)) throw TError("no ID from the relay");
    const std::string line = agent.ID() + "\n";
    if (::write(AIdPipe, line.data(), line.size()) < 0) throw TError("id pipe");
    ::close(AIdPipe);
    for (;;) ui.RunUntil([] { return false; }, 1000);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_e2e_vnc host: %s\n", e.what());
  }
  ::_exit(1);
}

pid_t StartProcess(const std::vector<std::string>& AArgs) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    std::vector<char*> argv;
    for (const std::string& a : AArgs) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

void StopProcess(pid_t APid) {
  if (APid <= 0) return;
  ::kill(APid, SIGTERM);
  ::waitpid(APid, nullptr, 0);
}

// ---- one contender on one line ------------------------------------------------------------------

struct TResult {
  std::string Name;
  double Seconds = 0;
  TFigures F;
  double Cpu = 0;  // cores
  std::string Error;
  double MpixPerS() const { return F.Pixels / 1e6 / Seconds; }
  double KBPerMpix() const { return F.Pixels ? F.Bytes / 1024.0 / (F.Pixels / 1e6) : 0; }
  double Fps() const { return F.Updates / Seconds; }
};

TResult Measure(const std::string& AName, TProbe& AProbe, pid_t AServer, TPainter& APainter, int AWindowMs) {
  TResult r;
  r.Name = AName;
  // Past the first picture and the start of the motion.
  const auto warm = Clock::now() + std::chrono::seconds(20);
  while (AProbe.Seen() < 3 && Clock::now() < warm) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  AProbe.Reset();
  const double cpu0 = CpuSeconds(AServer);
  const auto t0 = Clock::now();
  std::atomic<bool> stop{false};
  std::thread keys([&] {
    while (!stop) AProbe.KeyRound(APainter.Presses(), stop);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(AWindowMs));
  r.F = AProbe.Take();  // before the last key round ends: its wait is not a loss
  r.Seconds = Ms(Clock::now() - t0) / 1000.0;
  r.Cpu = (CpuSeconds(AServer) - cpu0) / r.Seconds;
  stop = true;
  keys.join();
  std::sort(r.F.KeyMs.begin(), r.F.KeyMs.end());
  r.Error = AProbe.Error();
  return r;
}

void Print(const TResult& AR) {
  std::printf("  %-22s %8.1f %9.1f %7.1f %6.2f %8.1fms %8.1fms %4zu/%d%s%s\n", AR.Name.c_str(), AR.MpixPerS(),
              AR.KBPerMpix(), AR.Fps(), AR.Cpu, Percentile(AR.F.KeyMs, 0.5), Percentile(AR.F.KeyMs, 0.95),
              AR.F.KeyMs.size(), AR.F.KeysLost, AR.Error.empty() ? "" : "  error: ", AR.Error.c_str());
}

double LoadAverage() {
  double one = 0;
  std::ifstream("/proc/loadavg") >> one;
  return one;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    char x = 0;
    if (std::sscanf(argv[1], "%d%c%d", &ScreenW, &x, &ScreenH) != 3 || x != 'x' || ScreenW < 256 || ScreenH < 64) {
      std::fprintf(stderr, "usage: bench_e2e_vnc [WIDTHxHEIGHT]\n");
      return 2;
    }
  }
  if (!bench::InPrivateNetwork("bench_e2e_vnc", argc, argv)) return 0;
  if (!Shell("command -v X0tigervnc >/dev/null")) {
    std::printf("bench_e2e_vnc: skipped, no x0vncserver (Debian package tigervnc-scraping-server)\n");
    return 0;
  }
  if (!Shell("ip link set lo up")) return 1;
  const char* secondsEnv = std::getenv("BENCH_VNC_SECONDS");
  const int windowMs = int(1000 * (secondsEnv ? std::atof(secondsEnv) : 10.0));
  std::vector<std::string> lines;
  {
    std::istringstream list(std::getenv("BENCH_VNC_LINES") ? std::getenv("BENCH_VNC_LINES") : "loopback 10mbit 2mbit");
    for (std::string l; list >> l;) lines.push_back(l);
  }

  test::TXvfbServer xvfb(ScreenW, ScreenH);
  if (!xvfb.Running()) {
    std::fprintf(stderr, "bench_e2e_vnc: no Xvfb: %s\n", xvfb.Error().c_str());
    return 1;
  }
  xvfb.ExportDisplay();
  const std::string password = "bench-password";
  // The host first, while this process has no other thread.
  int idPipe[2];
  if (::pipe(idPipe) != 0) return 1;
  const pid_t host = ::fork();
  if (host == 0) {
    ::close(idPipe[0]);
    RunHost(idPipe[1], HashPassword(password));
  }
  ::close(idPipe[1]);

  try {
    TRelayOptions options = test::QuietLoopbackRelay();
    options.Port = RelayPortHere;
    options.ListenAddress = "0.0.0.0";  // the host comes through the line's address, the viewers not
    TRelayServer relay(options);
    relay.Start();
    std::string id;
    {
      char buf[64] = {};
      const ssize_t n = ::read(idPipe[0], buf, sizeof buf - 1);
      ::close(idPipe[0]);
      if (n <= 0) throw TError("the host process gave no ID");
      id.assign(buf, size_t(n));
      while (!id.empty() && id.back() == '\n') id.pop_back();
    }
    const std::string proof = MakeSessionProof(id, HashPassword(password));
    TPainter painter(xvfb.Display());
    // X0tigervnc is the server itself (x0vncserver is a Perl wrapper around it). Twice: as Debian
    // ships it (a screen poll every 30 ms, at most 35% of a core), and let loose (10 ms, no cap).
    const auto startVnc = [&](uint16_t APort, bool ALoose) {
      std::vector<std::string> args{"X0tigervnc", "-display", xvfb.Display(), "-rfbport", std::to_string(APort),
                                    "-SecurityTypes", "None", "-AlwaysShared=1", "-interface", LineAddress};
      if (ALoose) args.insert(args.end(), {"-PollingCycle=10", "-MaxProcessorUsage=100"});
      return StartProcess(args);
    };
    const pid_t vnc = startVnc(VncPort, false);
    const pid_t vncLoose = startVnc(VncPort + 1, true);
    std::this_thread::sleep_for(std::chrono::seconds(2));

    std::printf("bench_e2e_vnc: %dx%d Xvfb %s, everything but a 96x32 corner scrolled every %d ms; %d s per contender;\n"
                "load average %.2f at the start (2 cores shared with other work: compare ratios of one line).\n",
                ScreenW, ScreenH, xvfb.Display().c_str(), PaintPeriodMs, windowMs / 1000, LoadAverage());
    std::vector<std::pair<std::string, std::vector<TResult>>> all;
    for (const std::string& line : lines) {
      Shell("tc qdisc del dev lo root 2>/dev/null");
      bool shaped = false;
      if (line == "loopback") {
        Shell("ip link set lo mtu 65536");
      } else {
        // Two classes, both wide open; the filters send the line's packets to the one whose
        // queue is the token bucket. (This kernel has htb and tbf, not prio.)
        const std::string addr = LineAddress;
        shaped = Shell("(ip link set lo mtu 1500 && "
                       "tc qdisc add dev lo root handle 1: htb default 20 && "
                       "tc class add dev lo parent 1: classid 1:10 htb rate 10gbit && "
                       "tc class add dev lo parent 1: classid 1:20 htb rate 10gbit && "
                       "tc qdisc add dev lo parent 1:10 handle 10: tbf rate " + line + " burst 16kb latency 30ms && "
                       "tc filter add dev lo parent 1: protocol ip prio 1 u32 match ip dst " + addr + "/32 flowid 1:10 && "
                       "tc filter add dev lo parent 1: protocol ip prio 1 u32 match ip src " + addr + "/32 flowid 1:10) 2>/dev/null");
      }
      std::printf("\n%s%s, load average %.2f\n", line.c_str(), line == "loopback" ? "" : shaped ? " (tbf, 16 KiB burst, 30 ms queue, 1500-byte packets) between host and relay / VNC server and client" : " NOT SHAPED (tc failed)", LoadAverage());
      std::printf("  %-22s %8s %9s %7s %6s %10s %10s %s\n", "contender", "Mpix/s", "KB/Mpix", "upd/s", "CPU", "key p50",
                  "key p95", "keys seen/lost");
      std::vector<TResult> results;
      struct TOurs {
        const char* Name;
        int Preset;
        bool PaletteTiles;
      };
      for (const TOurs& ours : {TOurs{"this host, fast", QualityFast, true},
                                TOurs{"this host, smooth JPEG", QualitySmooth, false},
                                TOurs{"this host, smooth", QualitySmooth, true}}) {
        TOurViewer viewer(id, proof, ours.Preset, ours.PaletteTiles);
        results.push_back(Measure(ours.Name, viewer, host, painter, windowMs));
        Print(results.back());
      }
      for (const bool loose : {false, true}) {
        TRfbViewer viewer(loose ? VncPort + 1 : VncPort);
        results.push_back(Measure(loose ? "x0vncserver, 10ms/100%" : "x0vncserver, as shipped", viewer,
                                  loose ? vncLoose : vnc, painter, windowMs));
        Print(results.back());
      }
      // The yardstick is the better VNC run of the line.
      const TResult& vncR = results[3].MpixPerS() >= results[4].MpixPerS() ? results[3] : results[4];
      for (const size_t i : {size_t(1), size_t(2)}) {
        const TResult& smooth = results[i];
        std::printf("  %s / best x0vncserver: Mpixel/s %.2fx, bytes per Mpixel %.2fx; key p95 %.0f ms against fast %.0f ms\n",
                    i == 1 ? "smooth JPEG" : "smooth", vncR.MpixPerS() > 0 ? smooth.MpixPerS() / vncR.MpixPerS() : 0.0,
                    vncR.KBPerMpix() > 0 ? smooth.KBPerMpix() / vncR.KBPerMpix() : 0.0, Percentile(smooth.F.KeyMs, 0.95),
                    Percentile(results[0].F.KeyMs, 0.95));
      }
      all.emplace_back(line, std::move(results));
    }
    Shell("tc qdisc del dev lo root 2>/dev/null");
    std::printf("\nCPU = the serving process's user + system time over the window, in cores (this host's process holds\n"
                "its agent only; the relay and the viewers run in the benchmark's process). key = Shift pressed by the\n"
                "client -> first decoded picture showing the painter's new count.\n");
    StopProcess(vnc);
    StopProcess(vncLoose);
    relay.Stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_e2e_vnc: %s\n", e.what());
    StopProcess(host);
    return 1;
  }
  StopProcess(host);
  return 0;
}
