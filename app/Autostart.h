// "시작할 때 자동 실행": the desktop entry in the XDG autostart folder that makes the desktop
// session start the program at login, by the XDG autostart and desktop-entry rules.
//
// Plain C++ without state beyond the two paths; user-interface thread. Enable writes the whole
// entry at once (a crash leaves the old file or the new one); Disable removes it. Both raise
// TError naming the file and the reason.
#pragma once

#include <string>
#include <vector>

namespace tlm {

class TAutostartEntry {
public:
  // AConfigHome: the XDG configuration folder ($XDG_CONFIG_HOME or ~/.config); AExecutable:
  // the program's absolute path; AArguments follow it on the command line.
  TAutostartEntry(std::string AConfigHome, std::string AExecutable, std::vector<std::string> AArguments = {});

  std::string Path() const;  // <config>/autostart/tlmremote.desktop
  // The entry exists and is not hidden (a desktop's own settings may hide it by Hidden=true).
  bool Enabled() const;
  void Enable();
  void Disable();

  // The entry's text.
  std::string Text() const;

private:
  std::string FConfigHome;
  std::string FExecutable;
  std::vector<std::string> FArguments;
};

// One argument of a desktop entry's Exec key: quoted where it holds anything but plain
// characters, with the quoting and the value escapes of the desktop-entry rules ("%" as "%%").
std::string DesktopExecArgument(const std::string& AArgument);

}  // namespace tlm
