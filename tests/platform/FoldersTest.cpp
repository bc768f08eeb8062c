// The per-user folders: configuration folder by XDG_CONFIG_HOME, download folder by
// user-dirs.dirs, both under a private home.
#include "platform/Folders.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/support/TempFiles.h"

namespace tlm {
namespace {

using test::TTempHome;
using test::WriteFile;

TEST(UserFolders, DownloadFolderFollowsUserDirsFile) {
  TTempHome home;
  EXPECT_EQ(UserConfigDir(), home.Sub(".config"));
  EXPECT_EQ(UserDownloadDir(), home.Sub("Downloads"));

  struct TCase {
    std::string Line;
    std::string Expected;
  } cases[] = {
      {"XDG_DOWNLOAD_DIR=\"$HOME/Herunterladen\"", home.Sub("Herunterladen")},
      {"  XDG_DOWNLOAD_DIR=\"/srv/in box\"\r", "/srv/in box"},
      {"XDG_DOWNLOAD_DIR=\"$HOME\"", home.Path()},
      {"XDG_DOCUMENTS_DIR=\"$HOME/Docs\"", home.Sub("Downloads")},
      {"# XDG_DOWNLOAD_DIR=\"$HOME/x\"", home.Sub("Downloads")},
      {"XDG_DOWNLOAD_DIR=\"relative\"", home.Sub("Downloads")},
  };
  for (const TCase& c : cases) {
    WriteFile(home.Sub(".config/user-dirs.dirs"), "# written by xdg-user-dirs-update\n" + c.Line + "\n");
    EXPECT_EQ(UserDownloadDir(), c.Expected) << c.Line;
  }

  ::setenv("XDG_CONFIG_HOME", home.Sub("other").c_str(), 1);
  EXPECT_EQ(UserConfigDir(), home.Sub("other"));
  EXPECT_EQ(UserDownloadDir(), home.Sub("Downloads"));  // no user-dirs.dirs there
  ::setenv("XDG_CONFIG_HOME", "not/absolute", 1);
  EXPECT_EQ(UserConfigDir(), home.Sub(".config"));
}

TEST(UserFolders, EmptyHomeVariableFallsBackToThePasswordDatabase) {
  TTempHome home;  // restores $HOME and XDG_CONFIG_HOME afterwards
  ::setenv("HOME", "", 1);
  ::unsetenv("XDG_CONFIG_HOME");
  const passwd* pw = ::getpwuid(::getuid());
  const std::string expected = pw && pw->pw_dir && *pw->pw_dir ? pw->pw_dir : "/";
  EXPECT_EQ(UserHomeDir(), expected);
  EXPECT_EQ(UserConfigDir(), (expected == "/" ? "" : expected) + "/.config");
}

}  // namespace
}  // namespace tlm
