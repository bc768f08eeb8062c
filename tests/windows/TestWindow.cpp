#include "tests/windows/TestWindow.h"

#include <chrono>

namespace tlm::test {

TTestWindow::TTestWindow(const RECT& AArea, std::vector<uint32_t> APicture)
    : FArea(AArea), FPicture(std::move(APicture)) {
  FThread = std::thread([this] { Run(); });
  std::unique_lock<std::mutex> hold(FLock);
  FChanged.wait(hold, [this] { return FReady; });
}

TTestWindow::~TTestWindow() {
  if (FThreadId) ::PostThreadMessageW(FThreadId, WM_QUIT, 0, 0);
  if (FWindow) ::PostMessageW(FWindow, WM_CLOSE, 0, 0);
  FThread.join();
}

void TTestWindow::Run() {
  static const wchar_t* ClassName = L"TlmTestWindow";
  WNDCLASSW wc{};
  wc.lpfnWndProc = Proc;
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.lpszClassName = ClassName;
  ::RegisterClassW(&wc);
  FThreadId = ::GetCurrentThreadId();
  FWindow = ::CreateWindowExW(WS_EX_TOPMOST, ClassName, L"test", WS_POPUP | WS_VISIBLE, FArea.left, FArea.top,
                              FArea.right - FArea.left, FArea.bottom - FArea.top, nullptr, nullptr, wc.hInstance, this);
  ::UpdateWindow(FWindow);
  {
    std::lock_guard<std::mutex> hold(FLock);
    FReady = true;
  }
  FChanged.notify_all();
  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  if (FWindow) ::DestroyWindow(FWindow);
}

LRESULT CALLBACK TTestWindow::Proc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL) {
  if (AMsg == WM_NCCREATE) {
    ::SetWindowLongPtrW(AWnd, GWLP_USERDATA,
                        reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(AL)->lpCreateParams));
  }
  auto self = reinterpret_cast<TTestWindow*>(::GetWindowLongPtrW(AWnd, GWLP_USERDATA));
  if (!self) return ::DefWindowProcW(AWnd, AMsg, AW, AL);
  switch (AMsg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = ::BeginPaint(AWnd, &ps);
      BITMAPINFO bmi{};
      bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
      bmi.bmiHeader.biWidth = self->FArea.right - self->FArea.left;
      bmi.bmiHeader.biHeight = -(self->FArea.bottom - self->FArea.top);
      bmi.bmiHeader.biPlanes = 1;
      bmi.bmiHeader.biBitCount = 32;
      bmi.bmiHeader.biCompression = BI_RGB;
      ::SetDIBitsToDevice(dc, 0, 0, DWORD(bmi.bmiHeader.biWidth), DWORD(-bmi.bmiHeader.biHeight), 0, 0, 0,
                          UINT(-bmi.bmiHeader.biHeight), self->FPicture.data(), &bmi, DIB_RGB_COLORS);
      ::EndPaint(AWnd, &ps);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP: {
      TWindowEvent ev;
      ev.Message = AMsg;
      ev.WParam = AW;
      ev.Point = {short(LOWORD(AL)), short(HIWORD(AL))};
      {
        std::lock_guard<std::mutex> hold(self->FLock);
        self->FEvents.push_back(ev);
      }
      self->FChanged.notify_all();
      return 0;
    }
    case WM_CLOSE:
      ::DestroyWindow(AWnd);
      self->FWindow = nullptr;
      ::PostQuitMessage(0);
      return 0;
  }
  return ::DefWindowProcW(AWnd, AMsg, AW, AL);
}

void TTestWindow::Activate() {
  ::PostMessageW(FWindow, WM_NULL, 0, 0);
  ::SetForegroundWindow(FWindow);
  // The focus belongs to the window's own thread: attach to it for SetFocus.
  const DWORD me = ::GetCurrentThreadId();
  ::AttachThreadInput(me, FThreadId, TRUE);
  ::SetFocus(FWindow);
  ::AttachThreadInput(me, FThreadId, FALSE);
}

size_t TTestWindow::EventCount() {
  std::lock_guard<std::mutex> hold(FLock);
  return FEvents.size();
}

bool TTestWindow::WaitFor(UINT AMessage, size_t AFrom, int AMs, TWindowEvent& AEvent) {
  std::unique_lock<std::mutex> hold(FLock);
  return FChanged.wait_for(hold, std::chrono::milliseconds(AMs), [&] {
    for (size_t i = AFrom; i < FEvents.size(); ++i) {
      if (FEvents[i].Message == AMessage) {
        AEvent = FEvents[i];
        return true;
      }
    }
    return false;
  });
}

bool TTestWindow::WaitForMove(POINT APoint, size_t AFrom, int AMs, POINT& ALast) {
  std::unique_lock<std::mutex> hold(FLock);
  return FChanged.wait_for(hold, std::chrono::milliseconds(AMs), [&] {
    for (size_t i = AFrom; i < FEvents.size(); ++i) {
      if (FEvents[i].Message != WM_MOUSEMOVE) continue;
      ALast = FEvents[i].Point;
      if (ALast.x == APoint.x && ALast.y == APoint.y) return true;
    }
    return false;
  });
}

}  // namespace tlm::test
