#include "protocol/WinText.h"

#include <windows.h>

namespace tlm {

std::wstring WideFromUtf8(std::string_view AText) {
  if (AText.empty()) return std::wstring();
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, AText.data(), int(AText.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(size_t(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, AText.data(), int(AText.size()), out.data(), n);
  return out;
}

std::string Utf8FromWide(std::wstring_view AText) {
  if (AText.empty()) return std::string();
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, AText.data(), int(AText.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(size_t(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, AText.data(), int(AText.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::string SystemErrorText(uint32_t AError) {
  wchar_t* buffer = nullptr;
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, AError, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = n && buffer ? std::wstring(buffer, n) : std::wstring();
  if (buffer) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) text.pop_back();
  std::string out = Utf8FromWide(text);
  if (out.empty()) out = "error";
  return out + " (" + std::to_string(AError) + ")";
}

}  // namespace tlm
