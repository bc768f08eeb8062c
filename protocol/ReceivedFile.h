// A file that arrives over a connection (the host's file reception, the viewer's downloads):
// the rules for the name a peer sends, and the writer that never lets an incomplete file carry
// the real name nor replaces a file that is already there.
//
// Contract of TReceivedFile: one thread at a time (the connection's reader thread; the owner
// serialises access if another thread also touches it), in the order Begin, Append..., then
// Finish or Abandon; Begin may come again at any time and first abandons the open file. Bytes
// go to a temporary file in the target folder; Finish gives it a free final name ("name.ext",
// "name (1).ext", ...) only when exactly the announced number of bytes arrived and reached the
// disk. What becomes of an incomplete file (kept under its temporary name, or removed) is the
// owner's choice, fixed at construction. Errors are TError with the reason.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tlm {

// The part after the last "\", ":" or "/".
std::string FileNamePart(std::string_view APath);
// FileNamePart when it can name a file of its own in a folder; "" when nothing usable remains
// (empty, "." or "..", or holding a NUL).
std::string SafeLeafName(std::string_view AName);
// "name.ext" for ACopy 0, else "name (ACopy).ext"; a leading dot does not start an extension.
std::string NumberedName(std::string_view AName, int ACopy);

class TReceivedFile {
public:
  // An incomplete file (short, too long, abandoned, a write that failed, no free name) is
  // either kept under its temporary name, so the user can still recover the part, or removed.
  enum class EIncomplete { Keep, Remove };
  // The temporary file is "name.ext.part" (numbered when taken) beside the target, or a hidden
  // ".tlmdownload-XXXXXX.part" that only its owner can read (and the final file keeps that mode).
  enum class ETempName { BesideTarget, Hidden };

  TReceivedFile(EIncomplete AIncomplete, ETempName ATempName) : FIncomplete(AIncomplete), FTempName(ATempName) {}
  ~TReceivedFile() { Abandon(); }
  TReceivedFile(const TReceivedFile&) = delete;
  TReceivedFile& operator=(const TReceivedFile&) = delete;

  // Abandons any open file, then creates the temporary file for AName (already a safe bare
  // name) in AFolder, creating the folder when missing. AExpected is the announced size; a file
  // without one can never complete. Throws TError on failure; nothing is open then.
  void Begin(const std::string& AFolder, const std::string& AName, std::optional<uint64_t> AExpected);
  bool IsOpen() const { return FFile != nullptr; }
  const std::string& Name() const { return FName; }
  uint64_t Received() const { return FReceived; }
  const std::optional<uint64_t>& Expected() const { return FExpected; }
  const std::string& TempPath() const { return FTempPath; }

  // Appends AData; bytes beyond the announced size are counted but not written. Throws TError
  // on a write failure; the file is then closed as incomplete. Does nothing when not open.
  void Append(std::span<const uint8_t> AData);

  struct TResult {
    bool Complete = false;
    std::string Path;  // the final path; when incomplete the temporary path, "" if removed
    uint64_t Received = 0;
    std::optional<uint64_t> Expected;
  };
  // Closes the file and names it, or treats it as incomplete; nothing is open afterwards.
  TResult Finish();
  // Closes the file as incomplete.
  void Abandon();
  // Closes the file and removes what arrived of it, whichever way incomplete files go: the
  // sender gave it up, so the part is of no use to anybody.
  void Discard();

private:
  void CloseIncomplete();
  bool NameFinal(TResult& AResult);

  const EIncomplete FIncomplete;
  const ETempName FTempName;
  std::FILE* FFile = nullptr;
  std::string FFolder;
  std::string FName;
  std::string FTempPath;
  std::optional<uint64_t> FExpected;
  uint64_t FReceived = 0;
};

}  // namespace tlm
