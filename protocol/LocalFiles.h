// The few file-system calls the file layers make (sending, receiving, listing), POSIX or
// Win32 underneath. Paths are UTF-8 here; the Windows side passes them to the system as
// UTF-16. Errors are TError with the path and the system's reason.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "protocol/Messages.h"

namespace tlm {

// The separator this system's paths use between folders ("/" or "\").
extern const char PathSeparator;
// True for "/" and, on Windows, for "\" too.
bool IsPathSeparator(char AChar);
// AFolder + separator + AName (no second separator when AFolder ends with one).
std::string JoinPath(const std::string& AFolder, const std::string& AName);

// A regular file opened for reading while other programs may still read it.
class TInputFile {
public:
  // TError "path: reason" when it cannot be opened or is not a regular file (a folder, a
  // device, a pipe: nothing that could block on open is waited for).
  explicit TInputFile(const std::string& APath);
  ~TInputFile();
  TInputFile(const TInputFile&) = delete;
  TInputFile& operator=(const TInputFile&) = delete;

  uint64_t Size() const { return FSize; }
  bool IsOpen() const;
  // Up to ALen bytes; 0 at the end. TError with the reason on a read failure.
  size_t Read(void* AData, size_t ALen);
  void Close();

private:
  intptr_t FHandle;  // a descriptor or a HANDLE
  uint64_t FSize = 0;
};

// True when APath names an existing regular file (symbolic links followed; folders do not count).
bool IsRegularFile(const std::string& APath);
// Creates APath and any missing parent folders; an existing folder is fine. TError otherwise.
void MakeFolders(const std::string& APath);
// Creates APath for writing, failing when it exists: null with AExisted set then. TError for
// other failures. The file is readable by everyone who may read the folder.
std::FILE* CreateNewFile(const std::string& APath, bool& AExisted);
// Creates a fresh "<AFolder>/.tlmdownload-XXXXXX.part" only its owner can read; its path goes
// to APath. TError on failure.
std::FILE* CreateHiddenTempFile(const std::string& AFolder, std::string& APath);
// Flushes AFile's buffer and makes its bytes reach the disk; false if either failed.
bool SyncFile(std::FILE* AFile);
// Best effort.
void RemoveFile(const std::string& APath);
// Renames AFrom to ATo only if ATo does not exist, even if it appears at the same moment.
enum class ERenameResult { Done, Exists, Failed };
ERenameResult RenameNoReplace(const std::string& AFrom, const std::string& ATo);
// The entries of AFolder (its path ends with a separator), "." and ".." left out, in the
// system's order; nullopt when the folder cannot be opened; TError if reading it fails.
std::optional<std::vector<TDirEntry>> ListFolder(const std::string& AFolder);
// The folder part of APath ("" when it has none).
std::string ParentFolder(const std::string& APath);
// The whole file; nullopt when it is missing or cannot be read.
std::optional<std::string> ReadFileText(const std::string& APath);
// Replaces APath with AText so that a crash or power loss leaves the old file or the new one,
// never a torn one: a fresh temporary file beside it, synced, renamed over it, the folder
// synced. Readable by the owner only (0600; on Windows a protected access list for the user and
// the system account). TError "<step>: <reason>" on failure (the temporary
// file is removed then).
void ReplaceFileDurably(const std::string& APath, const std::string& AText);
// Creates APath (and parents) where missing and, on POSIX, makes it the owner's alone (0700);
// Windows' per-user folders are the user's already. Best effort: failures show on later writes.
void MakePrivateFolder(const std::string& APath);
// The text of the last failed call's error (errno or GetLastError).
std::string LastErrorText();

}  // namespace tlm
