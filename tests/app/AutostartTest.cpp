// The autostart entry: what the desktop session reads, switched on and off, and a folder that
// cannot be made.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/Autostart.h"
#include "protocol/Error.h"
#include "protocol/LocalFiles.h"
#include "tests/support/TempFiles.h"

namespace tlm {
namespace {

namespace fs = std::filesystem;

TEST(AutostartTest, ExecArgumentsAreQuotedByTheDesktopEntryRules) {
  struct TCase {
    std::string Argument, Written;
  } cases[] = {
      {"/usr/bin/TLMRemoteClient", "/usr/bin/TLMRemoteClient"},
      {"/opt/TALMIR Remote/TLMRemoteClient", "\"/opt/TALMIR Remote/TLMRemoteClient\""},
      {"/home/김/bin/tlm", "/home/김/bin/tlm"},
      // Reserved characters inside quotes take a backslash, which the value's own escaping
      // doubles: \\$ in the file is \$ to the quoting is $ to the program.
      {"/a$b", "\"/a\\\\$b\""},
      {"/a\"b", "\"/a\\\\\"b\""},
      {"/a`b", "\"/a\\\\`b\""},
      {"/a\\b", "\"/a\\\\\\\\b\""},
      {"/100%", "\"/100%%\""},
      {"", "\"\""},
  };
  for (const auto& c : cases) EXPECT_EQ(DesktopExecArgument(c.Argument), c.Written) << c.Argument;
}

TEST(AutostartTest, EnableWritesTheEntryAndDisableRemovesIt) {
  test::TTempHome home;
  const std::string config = home.Sub("conf");
  TAutostartEntry entry(config, "/opt/TALMIR Remote/TLMRemoteClient", {"--tray"});
  EXPECT_EQ(entry.Path(), config + "/autostart/tlmremote.desktop");
  EXPECT_FALSE(entry.Enabled());
  entry.Disable();  // nothing to remove is no error

  entry.Enable();
  EXPECT_TRUE(entry.Enabled());
  const std::string text = ReadFileText(entry.Path()).value_or("");
  EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
  for (const char* line : {"\nType=Application\n", "\nName=TALMIR Remote\n",
                           "\nExec=\"/opt/TALMIR Remote/TLMRemoteClient\" --tray\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
  entry.Enable();  // again: the same entry, no error
  EXPECT_EQ(ReadFileText(entry.Path()).value_or(""), text);

  // The desktop's own settings switch it off by hiding it.
  for (const char* off : {"Hidden=true", "X-GNOME-Autostart-enabled=false"}) {
    std::ofstream(entry.Path(), std::ios::app) << off << "\n";
    EXPECT_FALSE(entry.Enabled()) << off;
    entry.Enable();
    EXPECT_TRUE(entry.Enabled());
  }

  entry.Disable();
  EXPECT_FALSE(fs::exists(entry.Path()));
  EXPECT_FALSE(entry.Enabled());
}

TEST(AutostartTest, AFolderThatCannotBeMadeIsReportedWithThePath) {
  test::TTempHome home;
  // A file where the autostart folder should be.
  std::ofstream(home.Sub("autostart")) << "not a folder";
  TAutostartEntry entry(home.Path(), "/usr/bin/TLMRemoteClient");
  try {
    entry.Enable();
    FAIL() << "no error";
  } catch (const TError& e) {
    EXPECT_NE(std::string(e.what()).find(entry.Path()), std::string::npos) << e.what();
  }
  EXPECT_FALSE(entry.Enabled());
}

}  // namespace
}  // namespace tlm
