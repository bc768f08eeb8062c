#include "protocol/ReceivedFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "protocol/Error.h"
#include "protocol/LocalFiles.h"

namespace tlm {

namespace {

// Tries per file name before giving up: "name (9999).ext" is as far as anyone goes.
constexpr int MaxCopies = 10000;

}  // namespace

std::string FileNamePart(std::string_view APath) {
  size_t cut = APath.find_last_of("\\:/");
  return std::string(cut == std::string_view::npos ? APath : APath.substr(cut + 1));
}

std::string SafeLeafName(std::string_view AName) {
  std::string leaf = FileNamePart(AName);
  if (leaf.empty() || leaf == "." || leaf == ".." || leaf.find('\0') != std::string::npos) return std::string();
  return leaf;
}

std::string NumberedName(std::string_view AName, int ACopy) {
  if (ACopy == 0) return std::string(AName);
  size_t dot = AName.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::string(AName) + " (" + std::to_string(ACopy) + ")";
  return std::string(AName.substr(0, dot)) + " (" + std::to_string(ACopy) + ")" + std::string(AName.substr(dot));
}

void TReceivedFile::Begin(const std::string& AFolder, const std::string& AName, std::optional<uint64_t> AExpected) {
  Abandon();
  MakeFolders(AFolder);
  std::string temp;
  std::FILE* file = nullptr;
  if (FTempName == ETempName::Hidden) {
    file = CreateHiddenTempFile(AFolder, temp);
  } else {
    for (int copy = 0; copy < MaxCopies && !file; ++copy) {
      temp = JoinPath(AFolder, NumberedName(AName, copy) + ".part");
      bool existed = false;
      file = CreateNewFile(temp, existed);
    }
    if (!file) throw TError(AName + ": 사용할 수 있는 임시 이름이 없습니다");
  }
  FFile = file;
  FFolder = AFolder;
  FName = AName;
  FTempPath = temp;
  FExpected = AExpected;
  FReceived = 0;
}

void TReceivedFile::Append(std::span<const uint8_t> AData) {
  if (!FFile || AData.empty()) return;
  size_t n = AData.size();
  if (FExpected) n = size_t(std::min<uint64_t>(FReceived < *FExpected ? *FExpected - FReceived : 0, n));
  FReceived += AData.size();
  if (n > 0 && std::fwrite(AData.data(), 1, n, FFile) != n) {
    const std::string reason = FTempPath + ": " + LastErrorText();
    CloseIncomplete();
    throw TError(reason);
  }
}

TReceivedFile::TResult TReceivedFile::Finish() {
  TResult result;
  result.Received = FReceived;
  result.Expected = FExpected;
  if (FFile) {
    // Only bytes that reached the disk count: a full disk may show first when the buffer is flushed.
    bool flushed = SyncFile(FFile);
    flushed = std::fclose(FFile) == 0 && flushed;
    FFile = nullptr;
    if (flushed && FExpected && FReceived == *FExpected && NameFinal(result)) {
      FTempPath.clear();
      return result;
    }
    CloseIncomplete();
  }
  result.Path = FTempPath;
  return result;
}

void TReceivedFile::Abandon() { CloseIncomplete(); }

void TReceivedFile::Discard() {
  if (!FFile) return;  // a part kept earlier stays
  std::fclose(FFile);
  FFile = nullptr;
  RemoveFile(FTempPath);
  FTempPath.clear();
}

void TReceivedFile::CloseIncomplete() {
  if (FFile) {
    std::fclose(FFile);
    FFile = nullptr;
  }
  if (FIncomplete == EIncomplete::Remove && !FTempPath.empty()) {
    RemoveFile(FTempPath);
    FTempPath.clear();
  }
}

bool TReceivedFile::NameFinal(TResult& AResult) {
  for (int copy = 0; copy < MaxCopies; ++copy) {
    const std::string target = JoinPath(FFolder, NumberedName(FName, copy));
    // Never replaces a file, not even one that appeared a moment ago.
    const ERenameResult renamed = RenameNoReplace(FTempPath, target);
    if (renamed == ERenameResult::Exists) continue;
    const bool done = renamed == ERenameResult::Done;
    if (!done) return false;
    AResult.Complete = true;
    AResult.Path = target;
    return true;
  }
  return false;
}

}  // namespace tlm
