// Windows only: UTF-8 (what the program and the wire carry) to and from UTF-16 (what the system
// calls take), and the system's text for an error code. Used by protocol/ and platform/win32/.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tlm {

// Invalid UTF-8 becomes U+FFFD; never throws for bad input.
std::wstring WideFromUtf8(std::string_view AText);
std::string Utf8FromWide(std::wstring_view AText);
// FormatMessageW's text for AError (a GetLastError or WSAGetLastError code), without the
// trailing line break, followed by the code in brackets.
std::string SystemErrorText(uint32_t AError);

}  // namespace tlm
