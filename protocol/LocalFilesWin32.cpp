#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>

#include <algorithm>
#include <random>

#include "protocol/Error.h"
#include "protocol/LocalFiles.h"
#include "protocol/WinText.h"

namespace tlm {

const char PathSeparator = '\\';

bool IsPathSeparator(char AChar) { return AChar == '\\' || AChar == '/'; }

std::string JoinPath(const std::string& AFolder, const std::string& AName) {
  if (AFolder.empty()) return AName;
  if (IsPathSeparator(AFolder.back())) return AFolder + AName;
  return AFolder + "\\" + AName;
}

std::string LastErrorText() { return SystemErrorText(::GetLastError()); }

namespace {

std::string Failure(const std::string& APath) { return APath + ": " + LastErrorText(); }

// What 0600 is on POSIX: full access for this process's user and for the system account
// (Windows' own services), nothing inherited from the folder, nobody else.
class TPrivateFileSecurity {
public:
  TPrivateFileSecurity() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) throw TError("권한: " + LastErrorText());
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::string buffer(size, '\0');
    const bool got = size > 0 && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
    const std::string why = got ? std::string() : LastErrorText();
    ::CloseHandle(token);
    if (!got) throw TError("권한: " + why);
    wchar_t* sid = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid, &sid))
      throw TError("권한: " + LastErrorText());
    const std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(sid) + L")(A;;FA;;;SY)";
    ::LocalFree(sid);
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &FDescriptor, nullptr))
      throw TError("권한: " + LastErrorText());
    FAttributes.nLength = sizeof FAttributes;
    FAttributes.lpSecurityDescriptor = FDescriptor;
  }
  ~TPrivateFileSecurity() { ::LocalFree(FDescriptor); }
  TPrivateFileSecurity(const TPrivateFileSecurity&) = delete;
  TPrivateFileSecurity& operator=(const TPrivateFileSecurity&) = delete;
  SECURITY_ATTRIBUTES* Attributes() { return &FAttributes; }

private:
  PSECURITY_DESCRIPTOR FDescriptor = nullptr;
  SECURITY_ATTRIBUTES FAttributes{};
};

// A C stream over a new handle, so the writer keeps its buffered fwrite.
std::FILE* StreamOf(HANDLE AHandle, const std::string& APath) {
  const int fd = ::_open_osfhandle(intptr_t(AHandle), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    ::CloseHandle(AHandle);
    ::DeleteFileW(WideFromUtf8(APath).c_str());
    throw TError(APath + ": _open_osfhandle failed");
  }
  std::FILE* file = ::_fdopen(fd, "wb");
  if (!file) {
    ::_close(fd);
    ::DeleteFileW(WideFromUtf8(APath).c_str());
    throw TError(APath + ": _fdopen failed");
  }
  return file;
}

HANDLE CreateExclusive(const std::string& APath, DWORD AAttributes) {
  return ::CreateFileW(WideFromUtf8(APath).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                       AAttributes, nullptr);
}

}  // namespace

TInputFile::TInputFile(const std::string& APath) : FHandle(intptr_t(INVALID_HANDLE_VALUE)) {
  // Others may go on reading the file while it is sent, but not change it under us.
  HANDLE h = ::CreateFileW(WideFromUtf8(APath).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw TError(Failure(APath));
  LARGE_INTEGER size{};
  if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileSizeEx(h, &size)) {
    ::CloseHandle(h);
    throw TError(APath + ": 일반 파일이 아닙니다");
  }
  FHandle = intptr_t(h);
  FSize = uint64_t(size.QuadPart);
}

TInputFile::~TInputFile() { Close(); }

bool TInputFile::IsOpen() const { return HANDLE(FHandle) != INVALID_HANDLE_VALUE; }

void TInputFile::Close() {
  if (IsOpen()) ::CloseHandle(HANDLE(FHandle));
  FHandle = intptr_t(INVALID_HANDLE_VALUE);
}

size_t TInputFile::Read(void* AData, size_t ALen) {
  DWORD got = 0;
  const DWORD want = ALen > 0x40000000 ? 0x40000000 : DWORD(ALen);
  if (!::ReadFile(HANDLE(FHandle), AData, want, &got, nullptr)) throw TError(LastErrorText());
  return got;
}

bool IsRegularFile(const std::string& APath) {
  if (APath.empty()) return false;
  const DWORD attrs = ::GetFileAttributesW(WideFromUtf8(APath).c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY) && !(attrs & FILE_ATTRIBUTE_DEVICE);
}

void MakeFolders(const std::string& APath) {
  // Each prefix that ends before a separator, skipping "C:" and the "\\server\share" start.
  for (size_t i = 1; i <= APath.size(); ++i) {
    if (i < APath.size() && !IsPathSeparator(APath[i])) continue;
    const std::string part = APath.substr(0, i);
    if (part.size() == 2 && part[1] == ':') continue;
    if (part.find_first_not_of("\\/") == std::string::npos) continue;
    if (!::CreateDirectoryW(WideFromUtf8(part).c_str(), nullptr)) {
      const DWORD err = ::GetLastError();
      if (err != ERROR_ALREADY_EXISTS && err != ERROR_ACCESS_DENIED) throw TError(part + ": " + SystemErrorText(err));
    }
  }
  const DWORD attrs = ::GetFileAttributesW(WideFromUtf8(APath).c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY)) throw TError(APath + ": 폴더가 아닙니다");
}

std::FILE* CreateNewFile(const std::string& APath, bool& AExisted) {
  AExisted = false;
  HANDLE h = CreateExclusive(APath, FILE_ATTRIBUTE_NORMAL);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = ::GetLastError();
    if (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS) {
      AExisted = true;
      return nullptr;
    }
    throw TError(APath + ": " + SystemErrorText(err));
  }
  return StreamOf(h, APath);
}

std::FILE* CreateHiddenTempFile(const std::string& AFolder, std::string& APath) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string tag;
    for (int i = 0; i < 6; ++i) tag += letters[random() % (sizeof letters - 1)];
    APath = JoinPath(AFolder, ".tlmdownload-" + tag + ".part");
    // The folder's inherited permissions apply; the hidden attribute keeps it out of sight.
    HANDLE h = CreateExclusive(APath, FILE_ATTRIBUTE_HIDDEN);
    if (h != INVALID_HANDLE_VALUE) return StreamOf(h, APath);
    const DWORD err = ::GetLastError();
    if (err != ERROR_FILE_EXISTS && err != ERROR_ALREADY_EXISTS) throw TError(APath + ": " + SystemErrorText(err));
  }
  throw TError(APath + ": 사용할 수 있는 임시 이름이 없습니다");
}

bool SyncFile(std::FILE* AFile) {
  if (std::fflush(AFile) != 0) return false;
  return ::FlushFileBuffers(HANDLE(::_get_osfhandle(::_fileno(AFile)))) != 0;
}

void RemoveFile(const std::string& APath) { ::DeleteFileW(WideFromUtf8(APath).c_str()); }

ERenameResult RenameNoReplace(const std::string& AFrom, const std::string& ATo) {
  // Without MOVEFILE_REPLACE_EXISTING the move refuses an existing target in the same step.
  if (::MoveFileExW(WideFromUtf8(AFrom).c_str(), WideFromUtf8(ATo).c_str(), MOVEFILE_WRITE_THROUGH))
    return ERenameResult::Done;
  const DWORD err = ::GetLastError();
  if (err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS) return ERenameResult::Exists;
  return ERenameResult::Failed;
}

std::optional<std::vector<TDirEntry>> ListFolder(const std::string& AFolder) {
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW(WideFromUtf8(AFolder + "*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return std::nullopt;
  std::vector<TDirEntry> entries;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      entries.push_back({true, Utf8FromWide(name), 0});
    } else {
      const uint64_t size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
      entries.push_back({false, Utf8FromWide(name), size});
    }
  } while (::FindNextFileW(find, &data));
  const DWORD err = ::GetLastError();
  ::FindClose(find);
  if (err != ERROR_NO_MORE_FILES) throw TError(SystemErrorText(err));
  return entries;
}

std::string ParentFolder(const std::string& APath) {
  const size_t cut = APath.find_last_of("\\/");
  if (cut == std::string::npos) return std::string();
  return APath.substr(0, cut);
}

std::optional<std::string> ReadFileText(const std::string& APath) {
  std::FILE* file = ::_wfopen(WideFromUtf8(APath).c_str(), L"rb");
  if (!file) return std::nullopt;
  std::string text;
  char buffer[65536];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return std::nullopt;
  return text;
}

void ReplaceFileDurably(const std::string& APath, const std::string& AText) {
  std::random_device random;
  std::string temp;
  // The temporary file is created private; the move over the old file keeps its protection.
  TPrivateFileSecurity security;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
    temp = APath + "." + std::to_string(random() % 1000000) + ".tmp";
    h = ::CreateFileW(WideFromUtf8(temp).c_str(), GENERIC_WRITE, 0, security.Attributes(), CREATE_NEW,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (h == INVALID_HANDLE_VALUE) throw TError("임시 파일: " + LastErrorText());
  auto fail = [&](const char* AWhat) {
    const std::string why = LastErrorText();
    ::CloseHandle(h);
    ::DeleteFileW(WideFromUtf8(temp).c_str());
    throw TError(std::string(AWhat) + ": " + why);
  };
  size_t done = 0;
  while (done < AText.size()) {
    DWORD wrote = 0;
    const DWORD want = DWORD(std::min<size_t>(AText.size() - done, 1 << 30));
    if (!::WriteFile(h, AText.data() + done, want, &wrote, nullptr) || wrote == 0) fail("쓰기");
    done += wrote;
  }
  if (!::FlushFileBuffers(h)) fail("fsync");
  ::CloseHandle(h);
  // One step that replaces the old file; write-through so it is on the disk when it returns.
  if (!::MoveFileExW(WideFromUtf8(temp).c_str(), WideFromUtf8(APath).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const std::string why = LastErrorText();
    ::DeleteFileW(WideFromUtf8(temp).c_str());
    throw TError("이름 바꾸기: " + why);
  }
}

void MakePrivateFolder(const std::string& APath) {
  try {
    MakeFolders(APath);
  } catch (const TError&) {
    // reported by the first write into it
  }
}

}  // namespace tlm
