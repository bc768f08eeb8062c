// The per-user folders: configuration folder by XDG_CONFIG_HOME, download folder by
// user-dirs.dirs, both under a private home, from the values the program read at start-up.
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
  const TFolderEnvironment env{home.Path(), home.Sub(".config")};
  EXPECT_EQ(UserConfigDir(env), home.Sub(".config"));
  EXPECT_EQ(UserDownloadDir(env), home.Sub("Downloads"));

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
    EXPECT_EQ(UserDownloadDir(env), c.Expected) << c.Line;
  }

  EXPECT_EQ(UserConfigDir({home.Path(), home.Sub("other")}), home.Sub("other"));
  EXPECT_EQ(UserDownloadDir({home.Path(), home.Sub("other")}), home.Sub("Downloads"));  // no user-dirs.dirs there
  EXPECT_EQ(UserConfigDir({home.Path(), "not/absolute"}), home.Sub(".config"));
  EXPECT_EQ(UserConfigDir({home.Path(), ""}), home.Sub(".config"));
  EXPECT_EQ(ListingRoots(env), (std::vector<std::string>{"/", home.Path()}));
}

TEST(UserFolders, EmptyHomeFallsBackToThePasswordDatabase) {
  const passwd* pw = ::getpwuid(::getuid());
  const std::string expected = pw && pw->pw_dir && *pw->pw_dir ? pw->pw_dir : "/";
  EXPECT_EQ(UserHomeDir(TFolderEnvironment{}), expected);
  EXPECT_EQ(UserConfigDir(TFolderEnvironment{}), (expected == "/" ? "" : expected) + "/.config");
}

// The overloads without an environment use the program's, whatever the process environment says.
TEST(UserFolders, TheProgramsFoldersServeCallersHandedNone) {
  TTempHome home;  // restores the program's folders afterwards
  SetUserFolders({"/srv/person", "/srv/person/cfg"});
  EXPECT_EQ(UserHomeDir(), "/srv/person");
  EXPECT_EQ(UserConfigDir(), "/srv/person/cfg");
  EXPECT_EQ(UserDownloadDir(), "/srv/person/Downloads");
  EXPECT_EQ(ListingRoots(), (std::vector<std::string>{"/", "/srv/person"}));
  EXPECT_NE(UserHomeDir(), home.Path()) << "$HOME is not read";
}

}  // namespace
}  // namespace tlm
