#include "tests/capture/X11Painter.h"

#include <chrono>
#include <thread>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

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

}  // namespace tlm::test
