// The current user's folders: on a POSIX desktop by the XDG base-directory and user-dirs rules
// (Folders.cpp), on Windows from the shell's known folders (win32/Win32Folders.cpp).
//
// Plain functions without state: they read the environment and user-dirs.dirs on every call
// (so a changed $HOME is seen at once) and may be called from any thread. Nothing is created
// here; whoever writes into a folder creates it.
#pragma once

#include <string>
#include <vector>

namespace tlm {

// $HOME, else the password database's home folder, else "/".
// Windows: the profile folder (%USERPROFILE%).
std::string UserHomeDir();
// $XDG_CONFIG_HOME when set and absolute (a relative value is ignored), else ~/.config.
// Windows: the roaming application-data folder.
std::string UserConfigDir();
// XDG_DOWNLOAD_DIR from <config>/user-dirs.dirs ("$HOME", "$HOME/..." or an absolute path),
// else ~/Downloads. Windows: the Downloads known folder, else the local application-data
// folder, else the profile's Downloads.
std::string UserDownloadDir();
// The folders a file browser starts from: "/" and the home folder, or on Windows the logical
// drive roots ("C:\", "Z:\") in the system's order.
std::vector<std::string> ListingRoots();

}  // namespace tlm
