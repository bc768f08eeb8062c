#include "host/HostFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "tests/host/HostTestSupport.h"

namespace tlm {
namespace {

using test::TTempHome;
using test::WriteFile;

TEST(ReceivedNames, CutAtEverySeparatorAndRefuseWhatNamesNoFile) {
  struct TCase {
    std::string Raw;
    std::string Name;  // "" = refused
  } cases[] = {
      {"report.pdf", "report.pdf"},
      {"C:\\Users\\kim\\report.pdf", "report.pdf"},
      {"/etc/passwd", "passwd"},
      {"../../.bashrc", ".bashrc"},
      {"a:b", "b"},
      {"dir\\sub/x.txt", "x.txt"},
      {"한글 문서.hwp", "한글 문서.hwp"},
      {"", ""},
      {".", ""},
      {"..", ""},
      {"folder/", ""},
      {"C:", ""},
      {"x/..", ""},
      {std::string("a\0b", 3), ""},
  };
  for (const TCase& c : cases) {
    if (c.Name.empty()) {
      EXPECT_THROW(SafeReceivedName(c.Raw), TError) << c.Raw;
    } else {
      EXPECT_EQ(SafeReceivedName(c.Raw), c.Name);
    }
  }
}

TEST(HostListing, RootsFoldersAndFailures) {
  TTempHome home;
  EXPECT_EQ(BuildHostListing(""), "#DRIVES\r\nD\t/\t0\r\nD\t" + home.Path() + "\t0\r\n");

  WriteFile(home.Sub("data/a.txt"), "12345");
  WriteFile(home.Sub("data/.hidden"), "");
  std::filesystem::create_directories(home.Sub("data/sub"));
  std::filesystem::create_symlink(home.Sub("data/sub"), home.Sub("data/link"));
  for (const std::string& request : {home.Sub("data"), home.Sub("data/"), home.Sub("data//")}) {
    auto listing = ParseDirListing(BuildHostListing(request));
    ASSERT_TRUE(listing.has_value());
    EXPECT_EQ(listing->Path, home.Sub("data"));
    std::map<std::string, std::pair<bool, std::string>> seen;
    for (const auto& e : listing->Entries) seen[e.Name] = {e.IsDir, e.SizeText};
    EXPECT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen["a.txt"], std::make_pair(false, std::string("5")));
    EXPECT_EQ(seen[".hidden"], std::make_pair(false, std::string("0")));
    EXPECT_EQ(seen["sub"], std::make_pair(true, std::string("0")));
    EXPECT_EQ(seen["link"], std::make_pair(true, std::string("0")));
  }

  std::filesystem::create_directories(home.Sub("empty"));
  EXPECT_EQ(BuildHostListing(home.Sub("empty")), home.Sub("empty") + "\r\n");
  EXPECT_EQ(BuildHostListing(home.Sub("missing/")), home.Sub("missing") + "\r\n");
  EXPECT_EQ(BuildHostListing(home.Sub("data/a.txt")), home.Sub("data/a.txt") + "\r\n");
  // The root keeps its slash; "~" is the configuration folder.
  EXPECT_EQ(BuildHostListing("/").substr(0, 3), "/\r\n");
  std::filesystem::create_directories(home.Sub(".config/TLMRemote"));
  EXPECT_EQ(BuildHostListing("~"), home.Sub(".config") + "\r\nD\tTLMRemote\t0\r\n");
}

// Names with the listing's own separators are left out; every other byte passes as it is.
TEST(HostListing, NamesWithSeparatorsAreLeftOut) {
  TTempHome home;
  const std::string dir = home.Sub("odd");
  std::filesystem::create_directories(dir);
  for (const char* name : {"tab\there", "cr\rhere", "lf\nF\tfake.exe\t1", "trail\n", "ok name.txt", "쉼표,;.txt"})
    WriteFile(dir + "/" + name, "x");
  std::filesystem::create_directories(dir + "/dir\nwith break");
  EXPECT_EQ(BuildHostListing(dir).find("fake"), std::string::npos);
  auto listing = ParseDirListing(BuildHostListing(dir));
  ASSERT_TRUE(listing.has_value());
  std::vector<std::string> names;
  for (const auto& e : listing->Entries) names.push_back(e.Name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"ok name.txt", "쉼표,;.txt"}));
}

}  // namespace
}  // namespace tlm
