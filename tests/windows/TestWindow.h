// A borderless, topmost Win32 window of its own thread for the desktop tests: it shows a known
// picture (so a screen capture has something to find; under Wine, GDI sees only what Wine's own
// windows paint) and records the mouse and key messages it receives.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace tlm::test {

struct TWindowEvent {
  UINT Message = 0;
  WPARAM WParam = 0;
  POINT Point{};  // client position of mouse messages
};

class TTestWindow {
public:
  // AArea in screen pixels; APicture holds AArea's width x height words 0x00RRGGBB.
  TTestWindow(const RECT& AArea, std::vector<uint32_t> APicture);
  ~TTestWindow();
  TTestWindow(const TTestWindow&) = delete;
  TTestWindow& operator=(const TTestWindow&) = delete;

  HWND Handle() const { return FWindow; }
  // Brings the window to the front with the keyboard focus.
  void Activate();
  // Waits up to AMs until a message AMessage has arrived (after AFrom events); returns it.
  bool WaitFor(UINT AMessage, size_t AFrom, int AMs, TWindowEvent& AEvent);
  // Waits up to AMs until a mouse move to client point APoint has arrived (after AFrom events);
  // ALast gets the last move seen.
  bool WaitForMove(POINT APoint, size_t AFrom, int AMs, POINT& ALast);
  size_t EventCount();

private:
  static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
  void Run();

  RECT FArea;
  std::vector<uint32_t> FPicture;
  HWND FWindow = nullptr;
  DWORD FThreadId = 0;
  std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<TWindowEvent> FEvents;
  bool FReady = false;
  std::thread FThread;
};

}  // namespace tlm::test
