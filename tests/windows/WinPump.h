// The message loop for the tests of the native windows: runs the thread's messages (and with
// them the dispatcher's queued calls) until a condition holds or the time is up.
#pragma once

#include <windows.h>

#include <functional>

namespace tlm::test {

inline bool PumpUntil(const std::function<bool()>& ADone, int AMs) {
  const DWORD start = ::GetTickCount();
  while (!ADone()) {
    if (::GetTickCount() - start > DWORD(AMs)) return ADone();
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  return true;
}

inline void PumpFor(int AMs) {
  PumpUntil([] { return false; }, AMs);
}

}  // namespace tlm::test
