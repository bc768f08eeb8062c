// The current user's folders on a POSIX desktop, by the XDG base-directory and user-dirs rules.
//
// Plain functions without state: they read the environment and user-dirs.dirs on every call
// (so a changed $HOME is seen at once) and may be called from any thread. Nothing is created
// here; whoever writes into a folder creates it.
#pragma once

#include <string>

namespace tlm {

// $HOME, else the password database's home folder, else "/".
std::string UserHomeDir();
// $XDG_CONFIG_HOME when set and absolute (a relative value is ignored), else ~/.config.
std::string UserConfigDir();
// XDG_DOWNLOAD_DIR from <config>/user-dirs.dirs ("$HOME", "$HOME/..." or an absolute path),
// else ~/Downloads.
std::string UserDownloadDir();

}  // namespace tlm
