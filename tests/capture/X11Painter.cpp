#include "tests/capture/X11Painter.h"

#include <chrono>
#include <thread>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include <string>

namespace tlm::test {

TX11Painter::TX11Painter(const std::string& ADisplay) : FDpy(XOpenDisplay(ADisplay.c_str())) {}

TX11Painter::~TX11Painter() {
  if (FDpy) XCloseDisplay(FDpy);
}

unsigned long TX11Painter::Root() const { return DefaultRootWindow(FDpy); }

unsigned long TX11Painter::ShowPicture(int AX, int AY, int AW, int AH, const std::vector<uint32_t>& APicture) {
  XSetWindowAttributes A{};
  A.override_redirect = True;
  A.background_pixel = 0;
  const Window W = XCreateWindow(FDpy, Root(), AX, AY, unsigned(AW), unsigned(AH), 0, CopyFromParent, InputOutput,
                                 CopyFromParent, CWOverrideRedirect | CWBackPixel, &A);
  XMapWindow(FDpy, W);
  XSync(FDpy, False);
  const int Depth = DefaultDepth(FDpy, DefaultScreen(FDpy));
  const Pixmap P = XCreatePixmap(FDpy, W, unsigned(AW), unsigned(AH), unsigned(Depth));
  XImage* Img = XCreateImage(FDpy, DefaultVisual(FDpy, DefaultScreen(FDpy)), unsigned(Depth), ZPixmap, 0,
                             reinterpret_cast<char*>(const_cast<uint32_t*>(APicture.data())), unsigned(AW),
                             unsigned(AH), 32, AW * 4);
  const GC G = XCreateGC(FDpy, W, 0, nullptr);
  XPutImage(FDpy, P, G, Img, 0, 0, 0, 0, unsigned(AW), unsigned(AH));
  Img->data = nullptr;  // the caller's pixels
  XDestroyImage(Img);
  XSetWindowBackgroundPixmap(FDpy, W, P);
  // Mapping is asynchronous: repaint until the server shows the picture.
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < Deadline) {
    XClearWindow(FDpy, W);
    XSync(FDpy, False);
    if (Read(AX, AY, AW, AH) == APicture) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  XFreeGC(FDpy, G);
  XFreePixmap(FDpy, P);
  XSync(FDpy, False);
  return W;
}

std::vector<uint32_t> TX11Painter::Read(int AX, int AY, int AW, int AH) {
  XImage* Img = XGetImage(FDpy, Root(), AX, AY, unsigned(AW), unsigned(AH), AllPlanes, ZPixmap);
  if (!Img) return {};
  std::vector<uint32_t> Out(size_t(AW) * size_t(AH));
  for (int Y = 0; Y < AH; ++Y)
    for (int X = 0; X < AW; ++X) Out[size_t(Y) * size_t(AW) + size_t(X)] = uint32_t(XGetPixel(Img, X, Y)) & 0xFFFFFF;
  XDestroyImage(Img);
  return Out;
}

void TX11Painter::MovePointer(int AX, int AY) {
  XWarpPointer(FDpy, None, Root(), 0, 0, 0, 0, AX, AY);
  XSync(FDpy, False);
}

bool TX11Painter::ResizeScreen(int AW, int AH) {
  XRRScreenResources* Res = XRRGetScreenResources(FDpy, Root());
  if (!Res) return false;
  bool Ok = Res->ncrtc > 0 && Res->noutput > 0;
  RRMode Mode = 0;
  for (int I = 0; Ok && I < Res->nmode; ++I)
    if (int(Res->modes[I].width) == AW && int(Res->modes[I].height) == AH) Mode = Res->modes[I].id;
  if (Ok && !Mode) {
    std::string Name = std::to_string(AW) + "x" + std::to_string(AH);
    XRRModeInfo Info{};
    Info.width = unsigned(AW);
    Info.height = unsigned(AH);
    Info.name = Name.data();
    Info.nameLength = unsigned(Name.size());
    Mode = XRRCreateMode(FDpy, Root(), &Info);
    XRRAddOutputMode(FDpy, Res->outputs[0], Mode);
  }
  if (Ok) {
    // The crtc goes off while the screen changes size, so it never lies outside the screen.
    XGrabServer(FDpy);
    Ok = XRRSetCrtcConfig(FDpy, Res, Res->crtcs[0], CurrentTime, 0, 0, 0, RR_Rotate_0, nullptr, 0) == RRSetConfigSuccess;
    // Millimetres at 96 dots per inch.
    if (Ok) XRRSetScreenSize(FDpy, Root(), AW, AH, AW * 254 / 960, AH * 254 / 960);
    Ok = Ok && XRRSetCrtcConfig(FDpy, Res, Res->crtcs[0], CurrentTime, 0, 0, Mode, RR_Rotate_0, &Res->outputs[0], 1) ==
                   RRSetConfigSuccess;
    XUngrabServer(FDpy);
  }
  XRRFreeScreenResources(Res);
  XSync(FDpy, False);
  return Ok;
}

}  // namespace tlm::test
