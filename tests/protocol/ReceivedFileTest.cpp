// Received files: the name rules, and the writer in both of its modes (an incomplete file kept
// under its temporary name, or removed). Neither mode ever names an incomplete file or
// replaces an existing one.
#include "protocol/ReceivedFile.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "protocol/Bytes.h"
#include "protocol/Error.h"
#include "tests/support/TempFiles.h"

namespace tlm {
namespace {

namespace fs = std::filesystem;

using test::FileExists;
using test::ReadFile;
using test::TFileSizeLimit;
using test::TTempHome;
using test::WriteFile;

TEST(ReceivedNames, NumberGoesBeforeTheExtension) {
  struct TCase {
    std::string Name;
    int Copy;
    std::string Numbered;
  } cases[] = {
      {"a.txt", 0, "a.txt"},
      {"a.txt", 1, "a (1).txt"},
      {"a.txt", 2, "a (2).txt"},
      {"a.tar.gz", 2, "a.tar (2).gz"},
      {"archive.tar.gz", 1, "archive.tar (1).gz"},
      {"README", 3, "README (3)"},
      {"README", 1, "README (1)"},
      {".bashrc", 1, ".bashrc (1)"},
  };
  for (const TCase& c : cases) EXPECT_EQ(NumberedName(c.Name, c.Copy), c.Numbered) << c.Name << " " << c.Copy;
}

TEST(ReceivedNames, LeafNameKeepsOnlyTheLastComponent) {
  struct TCase {
    std::string In;
    std::string Out;
  } cases[] = {
      {R"(..\..\x.exe)", "x.exe"},
      {"../../etc/passwd", "passwd"},
      {"C:evil.txt", "evil.txt"},
      {"a/b\\c:d", "d"},
      {"report.pdf", "report.pdf"},
      {"..", ""},
      {"dir/", ""},
      {"", ""},
      {std::string("a\0b", 3), ""},
  };
  for (const auto& c : cases) EXPECT_EQ(SafeLeafName(c.In), c.Out) << c.In;
}

// Incomplete files stay under their temporary name beside the target.
class KeptReceivedFileTest : public ::testing::Test {
protected:
  TTempHome Home;
  std::string Folder = Home.Sub("in/box");  // does not exist yet
  TReceivedFile Receiver{TReceivedFile::EIncomplete::Keep, TReceivedFile::ETempName::BesideTarget};

  void Receive(const std::string& AName, const std::string& AContent, uint64_t AAnnounced) {
    Receiver.Begin(Folder, AName, AAnnounced);
    Receiver.Append(BytesOf(AContent));
  }
};

TEST_F(KeptReceivedFileTest, CompleteFileGetsItsNameAndNeverReplacesAnother) {
  Receive("a.txt", "first", 5);
  EXPECT_TRUE(FileExists(Folder + "/a.txt.part"));
  EXPECT_FALSE(FileExists(Folder + "/a.txt"));
  auto r = Receiver.Finish();
  EXPECT_TRUE(r.Complete);
  EXPECT_EQ(r.Path, Folder + "/a.txt");
  EXPECT_EQ(ReadFile(Folder + "/a.txt"), "first");
  EXPECT_FALSE(FileExists(Folder + "/a.txt.part"));

  Receive("a.txt", "second", 6);
  r = Receiver.Finish();
  EXPECT_EQ(r.Path, Folder + "/a (1).txt");
  EXPECT_EQ(ReadFile(Folder + "/a.txt"), "first");
  EXPECT_EQ(ReadFile(Folder + "/a (1).txt"), "second");
  EXPECT_FALSE(Receiver.IsOpen());
}

TEST_F(KeptReceivedFileTest, ShortLongAndAbandonedFilesKeepTheirTemporaryName) {
  Receive("short.bin", "abc", 10);
  auto r = Receiver.Finish();
  EXPECT_FALSE(r.Complete);
  EXPECT_EQ(r.Received, 3u);
  EXPECT_EQ(r.Expected, 10u);
  EXPECT_EQ(r.Path, Folder + "/short.bin.part");
  EXPECT_EQ(ReadFile(r.Path), "abc");
  EXPECT_FALSE(FileExists(Folder + "/short.bin"));

  // More than announced: the surplus is not written and the file is not named.
  Receive("long.bin", "abcdef", 4);
  Receiver.Append(BytesOf("ghij"));
  r = Receiver.Finish();
  EXPECT_FALSE(r.Complete);
  EXPECT_EQ(r.Received, 10u);
  EXPECT_EQ(ReadFile(Folder + "/long.bin.part"), "abcd");

  // A second temporary file of the same name does not disturb the first.
  Receive("short.bin", "xy", 3);
  Receiver.Abandon();
  EXPECT_EQ(ReadFile(Folder + "/short.bin.part"), "abc");
  EXPECT_EQ(ReadFile(Folder + "/short (1).bin.part"), "xy");
}

TEST_F(KeptReceivedFileTest, EmptyFileAndUncreatableFolder) {
  Receiver.Begin(Folder, "empty", 0);
  auto r = Receiver.Finish();
  EXPECT_TRUE(r.Complete);
  EXPECT_EQ(ReadFile(Folder + "/empty"), "");

  WriteFile(Home.Sub("plainfile"), "x");
  EXPECT_THROW(Receiver.Begin(Home.Sub("plainfile/sub"), "a", 1), TError);
  EXPECT_FALSE(Receiver.IsOpen());
}

TEST(ReceivedFileFullDisk, WriteFailureNeverNamesTheFile) {
  TTempHome home;
  const std::string folder = home.Sub("in");
  TReceivedFile kept(TReceivedFile::EIncomplete::Keep, TReceivedFile::ETempName::BesideTarget);
  TReceivedFile removed(TReceivedFile::EIncomplete::Remove, TReceivedFile::ETempName::Hidden);
  std::string removedTemp;
  {
    TFileSizeLimit limit(4096);
    kept.Begin(folder, "big.bin", 100000);
    EXPECT_THROW(kept.Append(TBytes(100000, 7)), TError);
    EXPECT_FALSE(kept.IsOpen());
    // Small enough to sit in the stream's buffer: the failure shows when the file is closed.
    kept.Begin(folder, "tail.bin", 5000);
    kept.Append(TBytes(5000, 1));
    EXPECT_FALSE(kept.Finish().Complete);

    removed.Begin(folder, "gone.bin", 100000);
    removedTemp = removed.TempPath();
    EXPECT_THROW(removed.Append(TBytes(100000, 7)), TError);
  }
  EXPECT_FALSE(FileExists(folder + "/big.bin"));
  EXPECT_TRUE(FileExists(folder + "/big.bin.part"));
  EXPECT_FALSE(FileExists(folder + "/tail.bin"));
  EXPECT_TRUE(FileExists(folder + "/tail.bin.part"));
  EXPECT_FALSE(FileExists(removedTemp)) << "removed as soon as the write failed";
  EXPECT_FALSE(FileExists(folder + "/gone.bin"));
}

// Incomplete files are removed; the temporary file is hidden.
class RemovedReceivedFileTest : public ::testing::Test {
protected:
  size_t FileCount() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(FDir)) ++n;
    return n;
  }
  TTempHome FHome;
  std::string FDir = FHome.Sub("downloads");  // does not exist yet
};

TEST_F(RemovedReceivedFileTest, CompleteFileGetsAFreeNameAndNeverReplaces) {
  const TBytes hello = BytesOf("hello");
  for (int round = 0; round < 3; ++round) {
    TReceivedFile file(TReceivedFile::EIncomplete::Remove, TReceivedFile::ETempName::Hidden);
    file.Begin(FDir, "a.txt", 5);  // creates the missing folder
    EXPECT_EQ(FileNamePart(file.TempPath()).rfind(".tlmdownload-", 0), 0u) << file.TempPath();
    file.Append(hello);
    const auto stored = file.Finish();
    ASSERT_TRUE(stored.Complete);
    EXPECT_EQ(stored.Path, FDir + "/" + NumberedName("a.txt", round));
  }
  EXPECT_EQ(ReadFile(FDir + "/a.txt"), "hello");
  EXPECT_EQ(ReadFile(FDir + "/a (1).txt"), "hello");
  EXPECT_EQ(ReadFile(FDir + "/a (2).txt"), "hello");
  EXPECT_EQ(FileCount(), 3u);
}

TEST_F(RemovedReceivedFileTest, IncompleteFileNeverAppearsUnderItsName) {
  {
    TReceivedFile shortFile(TReceivedFile::EIncomplete::Remove, TReceivedFile::ETempName::Hidden);
    shortFile.Begin(FDir, "short.bin", 10);
    shortFile.Append(BytesOf("12345"));
    EXPECT_FALSE(fs::exists(FDir + "/short.bin"));
    const auto r = shortFile.Finish();
    EXPECT_FALSE(r.Complete);
    EXPECT_EQ(r.Path, "");
  }
  {
    TReceivedFile noSize(TReceivedFile::EIncomplete::Remove, TReceivedFile::ETempName::Hidden);
    noSize.Begin(FDir, "nosize.bin", std::nullopt);
    noSize.Append(BytesOf("x"));
    EXPECT_FALSE(noSize.Finish().Complete);
  }
  {
    TReceivedFile abandoned(TReceivedFile::EIncomplete::Remove, TReceivedFile::ETempName::Hidden);
    abandoned.Begin(FDir, "gone.bin", 3);
  }
  {
    // A new file begun on the same writer drops the unfinished one.
    TReceivedFile replaced(TReceivedFile::EIncomplete::Remove, TReceivedFile::ETempName::Hidden);
    replaced.Begin(FDir, "first.bin", 3);
    replaced.Append(BytesOf("ab"));
    replaced.Begin(FDir, "second.bin", 2);
    replaced.Append(BytesOf("ok"));
    EXPECT_TRUE(replaced.Finish().Complete);
  }
  EXPECT_EQ(FileCount(), 1u);
  EXPECT_EQ(ReadFile(FDir + "/second.bin"), "ok");
}

}  // namespace
}  // namespace tlm
