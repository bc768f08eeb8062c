// One running copy of the program per configuration folder. Two copies would register with the
// same device key and cut each other off; a second start instead asks the running copy to
// bring its window forward, and ends.
//
// Contract: created and used on the user-interface thread. The named mutex and the hidden
// window that later starts reach are named after the configuration folder (case folded, as
// Windows compares paths), so copies with different folders run side by side.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace tlm {

class TSingleInstance {
public:
  explicit TSingleInstance(const std::string& AFolder);
  ~TSingleInstance();
  TSingleInstance(const TSingleInstance&) = delete;
  TSingleInstance& operator=(const TSingleInstance&) = delete;

  // True: this copy is the one, and listens for later starts. False: another copy runs; it was
  // asked to come forward.
  bool Acquire();

  // Raised when a later start asks this copy to come forward.
  std::function<void()> OnActivate;

  // The name both the mutex and the window carry, for tests.
  const std::wstring& Name() const { return FName; }

private:
  static LRESULT CALLBACK WndProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL);

  std::wstring FName;
  HANDLE FMutex = nullptr;
  HWND FWnd = nullptr;
};

}  // namespace tlm
