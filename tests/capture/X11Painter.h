// A client of an X server for tests and benchmarks: shows pictures in unmanaged windows and
// reads back what the server holds. Declares no Xlib types, so it can be included anywhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct _XDisplay;

namespace tlm::test {

class TX11Painter {
public:
  explicit TX11Painter(const std::string& ADisplay);
  ~TX11Painter();
  TX11Painter(const TX11Painter&) = delete;
  TX11Painter& operator=(const TX11Painter&) = delete;

  _XDisplay* Dpy() const { return FDpy; }
  unsigned long Root() const;

  // An unmanaged window at (AX, AY) showing APicture (0x00RRGGBB words, AW x AH); returns its id
  // once the server shows the picture (or after 10 s).
  unsigned long ShowPicture(int AX, int AY, int AW, int AH, const std::vector<uint32_t>& APicture);
  // What the server holds for that area of the root window, as 0x00RRGGBB words.
  std::vector<uint32_t> Read(int AX, int AY, int AW, int AH);
  // Moves the pointer to (AX, AY) of the root window.
  void MovePointer(int AX, int AY);
  // Resizes the screen through RandR, as a user's display settings would: the first output is
  // switched to a mode of AW x AH (made when missing) and the screen to that size. Xvfb accepts
  // sizes up to the one it started with. False when the server refused.
  bool ResizeScreen(int AW, int AH);

private:
  _XDisplay* FDpy;
};

}  // namespace tlm::test
