// File-system side of the host's file services on a POSIX desktop: the name rules for received
// files, directory listings and the receiver of one incoming file (the user's folders are in
// platform/Folders.h).
//
// Everything here is called on the host agent's reader thread (listings, reception) or on a
// file-sender thread (ExistingFile, FileNamePart); nothing keeps global state.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

namespace tlm {

// The part after the last "\", ":" or "/".
std::string FileNamePart(std::string_view APath);
// FileNamePart, refused (TError with a reason) when the result cannot name a file of its own
// in the target folder: empty, "." or "..", or holding a NUL.
std::string SafeReceivedName(std::string_view ARawName);
// "name.ext" for ACopy 0, else "name (ACopy).ext"; a leading dot does not start an extension.
std::string NumberedName(std::string_view AName, int ACopy);

// True when APath names an existing regular file (symbolic links followed; folders do not count).
bool ExistingFile(const std::string& APath);

// The reply to a listing request: "" lists the roots ("/" and the home folder), "~" the
// configuration folder, anything else that folder. A folder that cannot be opened gives the
// path line alone; other failures throw TError.
std::string BuildHostListing(std::string_view ARequest);

// One incoming file. Bytes go to a temporary "name.ext.part" (or "name (n).ext.part") beside the
// target; Finish gives the file a free final name ("name.ext", "name (1).ext", ...) only when
// exactly the announced number of bytes arrived. Bytes beyond the announced size are counted
// but not written. An abandoned or short file stays under its temporary name.
class TFileReceiver {
public:
  TFileReceiver() = default;
  ~TFileReceiver();
  TFileReceiver(const TFileReceiver&) = delete;
  TFileReceiver& operator=(const TFileReceiver&) = delete;

  // Closes any open file (kept under its temporary name), then creates the temporary file for
  // AName (already a safe bare name) in AFolder, creating the folder when missing. Throws
  // TError with the reason on failure; nothing is open then.
  void Begin(const std::string& AFolder, const std::string& AName, uint64_t AExpected);
  bool IsOpen() const { return FFile != nullptr; }
  const std::string& Name() const { return FName; }
  // Appends (up to the announced size). Throws TError on a write failure; the file is then
  // closed and kept under its temporary name.
  void Append(std::span<const uint8_t> AData);

  struct TResult {
    bool Complete = false;
    std::string Path;  // final path when complete, else the temporary path
    uint64_t Received = 0;
    uint64_t Expected = 0;
  };
  // Closes the file and names it; nothing open afterwards.
  TResult Finish();
  // Closes the file and leaves it under its temporary name.
  void Abandon();

private:
  void CloseFile();

  std::FILE* FFile = nullptr;
  std::string FFolder;
  std::string FName;
  std::string FTempPath;
  uint64_t FExpected = 0;
  uint64_t FReceived = 0;
  bool FWriteFailed = false;
};

}  // namespace tlm
