#include "platform/x11/X11Screen.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <vector>

namespace tlm {

namespace {

// Xlib has one process-wide error handler. While one of our requests may fail (attaching the
// shared memory, getting an image, asking for monitors) a trap replaces it with one that records
// errors on our display and hands every other display's errors to the handler it replaced.
std::mutex GTrapLock;
Display* GTrapDisplay = nullptr;
int GTrapError = 0;
XErrorHandler GPreviousHandler = nullptr;

int TrapHandler(Display* ADisplay, XErrorEvent* AEvent) {
  if (ADisplay == GTrapDisplay) {
    if (GTrapError == 0) GTrapError = AEvent->error_code;
    return 0;
  }
  return GPreviousHandler ? GPreviousHandler(ADisplay, AEvent) : 0;
}

class TErrorTrap {
public:
  explicit TErrorTrap(Display* ADisplay) : FLock(GTrapLock) {
    XSync(ADisplay, False);  // errors of earlier requests are not ours to catch
    GTrapDisplay = ADisplay;
    GTrapError = 0;
    GPreviousHandler = XSetErrorHandler(TrapHandler);
  }
  ~TErrorTrap() {
    XSetErrorHandler(GPreviousHandler);
    GTrapDisplay = nullptr;
  }
  // Waits for the server to process everything sent so far; true when none of it failed.
  bool Ok(Display* ADisplay) {
    XSync(ADisplay, False);
    return GTrapError == 0;
  }

private:
  std::lock_guard<std::mutex> FLock;
};

// The server went away. Xlib first calls the process-wide I/O error handler (whose default
// prints and exits) and then the display's exit handler (whose default exits). For our displays
// both return, so the call fails instead; the display is marked lost and reopened later.
std::mutex GOurDisplaysLock;
std::vector<Display*> GOurDisplays;
XIOErrorHandler GPreviousIoHandler = nullptr;

int IoErrorHandler(Display* ADisplay) {
  {
    std::lock_guard Lock(GOurDisplaysLock);
    if (std::find(GOurDisplays.begin(), GOurDisplays.end(), ADisplay) != GOurDisplays.end()) return 0;
  }
  return GPreviousIoHandler ? GPreviousIoHandler(ADisplay) : 0;
}

void IoErrorExit(Display*, void* AUserData) {
  static_cast<std::atomic<bool>*>(AUserData)->store(true);
}

void RegisterDisplay(Display* ADisplay) {
  static std::once_flag Once;
  std::call_once(Once, [] { GPreviousIoHandler = XSetIOErrorHandler(IoErrorHandler); });
  std::lock_guard Lock(GOurDisplaysLock);
  GOurDisplays.push_back(ADisplay);
}

void UnregisterDisplay(Display* ADisplay) {
  std::lock_guard Lock(GOurDisplaysLock);
  GOurDisplays.erase(std::remove(GOurDisplays.begin(), GOurDisplays.end(), ADisplay), GOurDisplays.end());
}

// Maps one channel mask of a pixel to 8 bits.
inline uint32_t Channel(unsigned long APixel, unsigned long AMask) {
  if (AMask == 0) return 0;
  int Shift = 0;
  while (!((AMask >> Shift) & 1)) ++Shift;
  const unsigned long Max = AMask >> Shift;
  return uint32_t(((APixel & AMask) >> Shift) * 255 / Max);
}

}  // namespace

struct TX11Screen::TImpl {
  std::string DisplayName;
  bool WantShm = true;
  Display* Dpy = nullptr;
  std::atomic<bool> Lost{false};
  Window Root = 0;
  Visual* Vis = nullptr;
  int Depth = 0;
  bool HasShm = false;
  bool HasFixes = false;
  bool HasRandr15 = false;
  // RandR's first event code, or -1 without the extension.
  int RandrEventBase = -1;
  // The layout may have changed since TakeLayoutChange last said so.
  bool LayoutChanged = false;
  bool OpenedBefore = false;
  // The shared-memory segment and the image header over it.
  XShmSegmentInfo Shm{};
  bool ShmAttached = false;
  size_t ShmSize = 0;
  XImage* ShmImage = nullptr;

  ~TImpl() { Close(); }

  bool Open() {
    if (Dpy && Lost.load()) Close();
    if (Dpy) return true;
    Dpy = XOpenDisplay(DisplayName.empty() ? nullptr : DisplayName.c_str());
    if (!Dpy) return false;
    Lost.store(false);
    RegisterDisplay(Dpy);
    XSetIOErrorExitHandler(Dpy, IoErrorExit, &Lost);
    Root = DefaultRootWindow(Dpy);
    Vis = DefaultVisual(Dpy, DefaultScreen(Dpy));
    Depth = DefaultDepth(Dpy, DefaultScreen(Dpy));
    HasShm = WantShm && XShmQueryExtension(Dpy);
    int Event = 0, Error = 0, Major = 0, Minor = 0;
    HasFixes = XFixesQueryExtension(Dpy, &Event, &Error);
    const bool HasRandr = XRRQueryExtension(Dpy, &Event, &Error) && XRRQueryVersion(Dpy, &Major, &Minor);
    HasRandr15 = HasRandr && (Major > 1 || (Major == 1 && Minor >= 5));
    RandrEventBase = -1;
    if (HasRandr) {
      RandrEventBase = Event;
      XRRSelectInput(Dpy, Root, RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    }
    // Monitors that a client defines (RRSetMonitor) are announced only by a configure
    // notification on the root window.
    XSelectInput(Dpy, Root, StructureNotifyMask);
    // Whatever happened while we were away is unknown: a reconnect counts as a change.
    if (OpenedBefore) LayoutChanged = true;
    OpenedBefore = true;
    return true;
  }

  // Reads the notifications that have arrived, without a round trip to the server.
  void DrainEvents() {
    while (!Lost.load() && XPending(Dpy) > 0) {
      XEvent Ev;
      XNextEvent(Dpy, &Ev);
      if (Ev.type == ConfigureNotify && Ev.xconfigure.window == Root) {
        LayoutChanged = true;
      } else if (RandrEventBase < 0) {
        continue;
      } else if (Ev.type == RandrEventBase + RRScreenChangeNotify) {
        XRRUpdateConfiguration(&Ev);  // keeps Xlib's idea of the screen size current
        LayoutChanged = true;
      } else if (Ev.type == RandrEventBase + RRNotify) {
        LayoutChanged = true;
      }
    }
  }

  void ReleaseShm() {
    if (ShmImage) {
      XDestroyImage(ShmImage);  // the header only: the pixels are the segment's
      ShmImage = nullptr;
    }
    if (ShmAttached && Dpy && !Lost.load()) {
      XShmDetach(Dpy, &Shm);
      XSync(Dpy, False);
    }
    ShmAttached = false;
    if (Shm.shmaddr && Shm.shmaddr != reinterpret_cast<char*>(-1)) shmdt(Shm.shmaddr);
    Shm = XShmSegmentInfo{};
    ShmSize = 0;
  }

  void Close() {
    ReleaseShm();
    if (Dpy) {
      XCloseDisplay(Dpy);
      UnregisterDisplay(Dpy);
    }
    Dpy = nullptr;
  }

  // A segment of at least ABytes attached to the server; false (and no more tries) when the
  // server cannot attach it, e.g. over a remote connection.
  bool EnsureSegment(size_t ABytes) {
    if (ShmAttached && ShmSize >= ABytes) return true;
    ReleaseShm();
    Shm.shmid = shmget(IPC_PRIVATE, ABytes, IPC_CREAT | 0600);
    if (Shm.shmid < 0) return HasShm = false;
    Shm.shmaddr = static_cast<char*>(shmat(Shm.shmid, nullptr, 0));
    if (Shm.shmaddr == reinterpret_cast<char*>(-1)) {
      shmctl(Shm.shmid, IPC_RMID, nullptr);
      Shm = XShmSegmentInfo{};
      return HasShm = false;
    }
    Shm.readOnly = False;
    bool Attached;
    {
      TErrorTrap Trap(Dpy);
      Attached = XShmAttach(Dpy, &Shm) && Trap.Ok(Dpy);
    }
    // Marked for removal at once: it disappears when both sides have detached, even on a crash.
    shmctl(Shm.shmid, IPC_RMID, nullptr);
    if (!Attached) {
      shmdt(Shm.shmaddr);
      Shm = XShmSegmentInfo{};
      return HasShm = false;
    }
    ShmAttached = true;
    ShmSize = ABytes;
    return true;
  }

  XImage* ShmImageFor(int AWidth, int AHeight) {
    if (ShmImage && ShmImage->width == AWidth && ShmImage->height == AHeight) return ShmImage;
    if (ShmImage) {
      XDestroyImage(ShmImage);
      ShmImage = nullptr;
    }
    XImage* Img = XShmCreateImage(Dpy, Vis, unsigned(Depth), ZPixmap, nullptr, &Shm, unsigned(AWidth), unsigned(AHeight));
    if (!Img) return nullptr;
    const size_t Bytes = size_t(Img->bytes_per_line) * size_t(AHeight);
    if (!EnsureSegment(Bytes)) {  // may have replaced the segment the header was made for
      XDestroyImage(Img);
      return nullptr;
    }
    Img->data = Shm.shmaddr;
    Img->obdata = reinterpret_cast<char*>(&Shm);
    ShmImage = Img;
    return Img;
  }

  // Fills ShmImage with R of the root window (R on the screen); null when the shared-memory
  // path failed, after which it is not tried again on this connection.
  XImage* ShmGet(const TPixelRect& R) {
    if (XImage* Img = ShmImageFor(R.Width(), R.Height())) {
      bool Got;
      {
        TErrorTrap Trap(Dpy);
        Got = XShmGetImage(Dpy, Root, Img, R.Left, R.Top, AllPlanes) && Trap.Ok(Dpy);
      }
      if (Got) return Img;
    }
    ReleaseShm();
    HasShm = false;
    return nullptr;
  }

  TPixelRect RootRect() {
    Window R;
    int X, Y;
    unsigned W = 0, H = 0, Border, D;
    if (!XGetGeometry(Dpy, Root, &R, &X, &Y, &W, &H, &Border, &D)) return {};
    return TPixelRect{0, 0, int32_t(W), int32_t(H)};
  }
};

namespace {

// Whether the image's pixels already are 0x00RRGGBB words in this machine's byte order.
bool IsNative(const XImage* AImg) {
  const int HostOrder = std::endian::native == std::endian::little ? LSBFirst : MSBFirst;
  return AImg->bits_per_pixel == 32 && AImg->byte_order == HostOrder && AImg->red_mask == 0xFF0000 &&
         AImg->green_mask == 0xFF00 && AImg->blue_mask == 0xFF && AImg->bytes_per_line % 4 == 0;
}

// Copies an image of AW x AH pixels to 0x00RRGGBB words.
void CopyImage(XImage* AImg, int AW, int AH, uint32_t* ADst, size_t AStride) {
  const bool Native = IsNative(AImg);
  for (int Y = 0; Y < AH; ++Y) {
    uint32_t* Dst = ADst + size_t(Y) * AStride;
    if (Native) {
      std::memcpy(Dst, AImg->data + size_t(Y) * size_t(AImg->bytes_per_line), size_t(AW) * 4);
      continue;
    }
    for (int X = 0; X < AW; ++X) {
      const unsigned long P = XGetPixel(AImg, X, Y);
      Dst[X] = (Channel(P, AImg->red_mask) << 16) | (Channel(P, AImg->green_mask) << 8) | Channel(P, AImg->blue_mask);
    }
  }
}

}  // namespace

TX11Screen::TX11Screen(std::string ADisplayName, bool AUseSharedMemory) : FImpl(std::make_unique<TImpl>()) {
  FImpl->DisplayName = std::move(ADisplayName);
  FImpl->WantShm = AUseSharedMemory;
  std::lock_guard Lock(FLock);
  FImpl->Open();
}

TX11Screen::~TX11Screen() {
  std::lock_guard Lock(FLock);
  FImpl.reset();
}

bool TX11Screen::Connected() {
  std::lock_guard Lock(FLock);
  return FImpl->Open();
}

bool TX11Screen::UsingSharedMemory() {
  std::lock_guard Lock(FLock);
  return FImpl->Open() && FImpl->HasShm;
}

std::vector<TMonitorInfoRec> TX11Screen::EnumMonitors() {
  std::lock_guard Lock(FLock);
  std::vector<TMonitorInfoRec> List;
  TImpl& S = *FImpl;
  if (!S.Open() || !S.HasRandr15) return List;
  TErrorTrap Trap(S.Dpy);
  int Count = 0;
  XRRMonitorInfo* Monitors = XRRGetMonitors(S.Dpy, S.Root, True, &Count);
  if (Monitors) {
    for (int I = 0; I < Count; ++I) {
      const XRRMonitorInfo& M = Monitors[I];
      List.push_back(TMonitorInfoRec{TPixelRect{M.x, M.y, M.x + M.width, M.y + M.height}, M.primary != 0});
    }
    XRRFreeMonitors(Monitors);
  }
  if (!Trap.Ok(S.Dpy)) List.clear();
  return List;
}

TPixelRect TX11Screen::ScreenRect() {
  std::lock_guard Lock(FLock);
  if (!FImpl->Open()) return {};
  return FImpl->RootRect();
}

bool TX11Screen::CopyRect(const TPixelRect& ARect, uint32_t* ADst, size_t AStride) {
  std::lock_guard Lock(FLock);
  TImpl& S = *FImpl;
  if (!S.Open()) return false;
  // The server refuses a request reaching past the root window: copy the part on screen.
  const TPixelRect R = IntersectRect(ARect, S.RootRect());
  if (R.Empty()) return false;
  uint32_t* Dst = ADst + size_t(R.Top - ARect.Top) * AStride + size_t(R.Left - ARect.Left);
  const int W = R.Width(), H = R.Height();

  if (S.HasShm) {
    if (XImage* Img = S.ShmGet(R)) {
      CopyImage(Img, W, H, Dst, AStride);
      return true;
    }
    // The shared-memory path failed: the plain one from now on.
    if (S.Lost.load()) return false;
  }
  XImage* Img;
  {
    TErrorTrap Trap(S.Dpy);
    Img = XGetImage(S.Dpy, S.Root, R.Left, R.Top, unsigned(W), unsigned(H), AllPlanes, ZPixmap);
    if (!Trap.Ok(S.Dpy) && Img) {
      XDestroyImage(Img);
      Img = nullptr;
    }
  }
  if (!Img) return false;
  CopyImage(Img, W, H, Dst, AStride);
  XDestroyImage(Img);
  return true;
}

bool TX11Screen::Grab(const TPixelRect& ARect, TPixelView& AView) {
  std::lock_guard Lock(FLock);
  TImpl& S = *FImpl;
  if (!S.Open() || !S.HasShm || ARect.Empty()) return false;
  // Only a rectangle wholly on the screen: CopyRect keeps what lies outside, a lent picture
  // could not.
  if (IntersectRect(ARect, S.RootRect()) != ARect) return false;
  XImage* Img = S.ShmGet(ARect);
  if (!Img || !IsNative(Img)) return false;
  AView.Pixels = reinterpret_cast<uint32_t*>(Img->data);
  AView.Stride = size_t(Img->bytes_per_line) / 4;
  return true;
}

bool TX11Screen::TakeLayoutChange() {
  std::lock_guard Lock(FLock);
  TImpl& S = *FImpl;
  if (S.Open()) S.DrainEvents();
  const bool Changed = S.LayoutChanged;
  S.LayoutChanged = false;
  return Changed;
}

bool TX11Screen::GetCursor(TCursorImage& ACursor) {
  std::lock_guard Lock(FLock);
  TImpl& S = *FImpl;
  if (!S.Open() || !S.HasFixes) return false;
  XFixesCursorImage* Img;
  {
    TErrorTrap Trap(S.Dpy);
    Img = XFixesGetCursorImage(S.Dpy);
    if (!Trap.Ok(S.Dpy) && Img) {
      XFree(Img);
      Img = nullptr;
    }
  }
  if (!Img) return false;
  ACursor.X = Img->x;
  ACursor.Y = Img->y;
  ACursor.HotX = Img->xhot;
  ACursor.HotY = Img->yhot;
  ACursor.Width = Img->width;
  ACursor.Height = Img->height;
  // The server's pixels arrive as unsigned long (64 bits here), each holding 32-bit ARGB.
  const size_t N = size_t(Img->width) * size_t(Img->height);
  ACursor.Pixels.resize(N);
  for (size_t I = 0; I < N; ++I) ACursor.Pixels[I] = uint32_t(Img->pixels[I]);
  XFree(Img);
  return N > 0;
}

std::unique_ptr<IScreen> CreateSystemScreen() { return std::make_unique<TX11Screen>(); }

}  // namespace tlm
