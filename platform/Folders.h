// The current user's folders: on a POSIX desktop by the XDG base-directory and user-dirs rules
// (Folders.cpp), on Windows from the shell's known folders (win32/Win32Folders.cpp).
//
// Functions of the environment's values the program read at start-up (TFolderEnvironment) and
// of user-dirs.dirs, read on every call; any thread may call them. Nothing here reads the
// process environment, and nothing is created; whoever writes into a folder creates it.
//
// The overloads without a TFolderEnvironment use the one the program set with SetUserFolders,
// for callers that are handed none (the host agent's file services fill in with them what
// THostServices leaves empty); until it is set, that one is empty: the password database's
// home folder (Windows: the profile folder).
#pragma once

#include <string>
#include <vector>

namespace tlm {

// What the folders are derived from: $HOME and $XDG_CONFIG_HOME, on Windows %USERPROFILE%.
struct TFolderEnvironment {
  std::string Home;
  std::string ConfigHome;
};

std::string UserHomeDir(const TFolderEnvironment& AEnv);
std::string UserConfigDir(const TFolderEnvironment& AEnv);
std::string UserDownloadDir(const TFolderEnvironment& AEnv);
std::vector<std::string> ListingRoots(const TFolderEnvironment& AEnv);

void SetUserFolders(const TFolderEnvironment& AEnv);
TFolderEnvironment UserFolders();

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
