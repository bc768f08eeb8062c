// "시작할 때 자동 실행" on Windows: the program's value under the user's Run key, which the shell
// starts at login. Enable writes the program's quoted path; Disable removes the value. Both
// raise TError with the reason.
//
// No state beyond the path; user-interface thread.
#pragma once

#include <string>

namespace tlm {

class TWinAutostart {
public:
  // AExecutable: the program's full path (UTF-8).
  explicit TWinAutostart(std::string AExecutable) : FExecutable(std::move(AExecutable)) {}
  // This running program's path.
  static std::string ThisProgram();

  // The key and the value's name, as the installer's uninstaller removes them too.
  static constexpr wchar_t RunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  static constexpr wchar_t ValueName[] = L"TALMIR Remote";

  // A value of ours is there (whichever path it names: an older copy's counts too).
  bool Enabled() const;
  void Enable();
  void Disable();
  // The value as Enable writes it.
  std::string Command() const { return "\"" + FExecutable + "\""; }

private:
  std::string FExecutable;
};

}  // namespace tlm
