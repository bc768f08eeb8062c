#include "winui/WinDispatcher.h"

namespace tlm {

namespace {

constexpr UINT WmRunQueued = WM_APP + 1;
const wchar_t* const ClassName = L"TLMRemoteDispatcher";

}  // namespace

TWinDispatcher::TWinDispatcher() : FUiThread(std::this_thread::get_id()) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = &TWinDispatcher::WndProc;
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.lpszClassName = ClassName;
  ::RegisterClassExW(&wc);  // fails harmlessly when a second dispatcher registered it already
  FWnd = ::CreateWindowExW(0, ClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  ::SetWindowLongPtrW(FWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

TWinDispatcher::~TWinDispatcher() {
  ::SetWindowLongPtrW(FWnd, GWLP_USERDATA, 0);
  ::DestroyWindow(FWnd);
  std::lock_guard<std::mutex> hold(FLock);
  FQueue.clear();
}

bool TWinDispatcher::IsUiThread() const { return std::this_thread::get_id() == FUiThread; }

void TWinDispatcher::Post(std::function<void()> AProc) {
  if (IsUiThread()) {
    AProc();
    return;
  }
  bool signal = false;
  {
    std::lock_guard<std::mutex> hold(FLock);
    FQueue.push_back(std::move(AProc));
    signal = !FSignalled;
    FSignalled = true;
  }
  // One message stands for everything queued until it is handled.
  if (signal) ::PostMessageW(FWnd, WmRunQueued, 0, 0);
}

void TWinDispatcher::Sync(std::function<void()> AProc) { SyncByPosting(*this, std::move(AProc)); }

int TWinDispatcher::RunPending() {
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard<std::mutex> hold(FLock);
    batch.swap(FQueue);
    FSignalled = false;
  }
  for (auto& proc : batch) proc();
  return int(batch.size());
}

void TWinDispatcher::WaitPumping(const std::function<bool()>& ADone) {
  // Every message of the thread goes on being handled (windows repaint, boxes answer) while the
  // caller waits for its worker. A quit request met on the way is kept for the main loop.
  bool quit = false;
  int quitCode = 0;
  while (!ADone()) {
    RunPending();
    if (ADone()) break;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    MSG msg;
    while (!quit && ::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        quit = true;
        quitCode = int(msg.wParam);
        break;
      }
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
  }
  if (quit) ::PostQuitMessage(quitCode);
}

LRESULT CALLBACK TWinDispatcher::WndProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL) {
  if (AMsg == WmRunQueued) {
    if (auto* self = reinterpret_cast<TWinDispatcher*>(::GetWindowLongPtrW(AWnd, GWLP_USERDATA))) self->RunPending();
    return 0;
  }
  return ::DefWindowProcW(AWnd, AMsg, AW, AL);
}

}  // namespace tlm
