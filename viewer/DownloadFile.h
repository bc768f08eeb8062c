// One file being received from the host, written under a temporary name in the downloads
// folder and given its real name only when it is complete.
//
// Contract: used by one thread (the viewer's reader thread; teardown after that thread has
// ended). A file that never completes (a new download starts, the byte count differs from
// the announced size, the window goes away) is removed and never carries the real name.
// An existing file is never replaced: the real name becomes "name (1).ext", "name (2).ext"...
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace tlm {

class TDownloadFile {
public:
  // Creates AFolder if missing and an empty temporary file in it; raises TError on failure.
  // AName must be a bare file name (see SafeLeafName). AExpected is the announced size; a
  // download without one can never complete.
  TDownloadFile(const std::filesystem::path& AFolder, std::string AName, std::optional<uint64_t> AExpected);
  ~TDownloadFile();
  TDownloadFile(const TDownloadFile&) = delete;
  TDownloadFile& operator=(const TDownloadFile&) = delete;

  // Appends AData; raises TError when the write fails (a full disk).
  void Append(std::span<const uint8_t> AData);
  // Closes the file. When exactly the announced number of bytes arrived, moves it to a free
  // name in the folder and returns that name; otherwise removes it and returns nothing.
  std::optional<std::string> Finish();

  const std::string& Name() const { return FName; }
  uint64_t Received() const { return FReceived; }
  const std::optional<uint64_t>& Expected() const { return FExpected; }
  const std::filesystem::path& TempPath() const { return FTempPath; }

private:
  void Discard();

  std::filesystem::path FFolder;
  std::string FName;
  std::optional<uint64_t> FExpected;
  std::filesystem::path FTempPath;
  int FFd = -1;
  uint64_t FReceived = 0;
};

// The file name for the AIndex-th attempt: "a.txt", "a (1).txt", "a (2).txt"...
std::string NumberedFileName(const std::string& AName, int AIndex);

}  // namespace tlm
