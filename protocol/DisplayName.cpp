#include "protocol/DisplayName.h"

#include <algorithm>
#include <iterator>

namespace tlm {
namespace {

struct TRange {
  char32_t First;
  char32_t Last;
};

// Unicode general category Cf (format characters), as of Unicode 15.
constexpr TRange FormatRanges[] = {
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},
    {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},   {0x202A, 0x202E},
    {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},
};

// Decodes one well-formed UTF-8 sequence at APos; returns its length, or 0 when the bytes there are not one.
size_t DecodeUtf8(std::string_view AText, size_t APos, char32_t& ACode) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(AText[i]); };
  const unsigned char lead = byte(APos);
  size_t len = 0;
  char32_t code = 0;
  char32_t min = 0;
  if (lead < 0x80) {
    ACode = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    len = 2, code = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    len = 3, code = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    len = 4, code = lead & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (APos + len > AText.size()) return 0;
  for (size_t i = 1; i < len; ++i) {
    const unsigned char next = byte(APos + i);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  // Overlong forms, UTF-16 surrogates and values past U+10FFFF are not well-formed.
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  ACode = code;
  return len;
}

}  // namespace

bool IsLayoutControl(char32_t ACode) {
  if (ACode < 0x20 || (ACode >= 0x7F && ACode <= 0x9F)) return true;  // Cc
  if (ACode == 0x2028 || ACode == 0x2029) return true;                  // Zl, Zp
  return std::any_of(std::begin(FormatRanges), std::end(FormatRanges),
                     [ACode](const TRange& r) { return ACode >= r.First && ACode <= r.Last; });
}

std::string CleanDisplayName(std::string_view AText, size_t AMaxChars) {
  std::string out;
  out.reserve(std::min(AText.size(), AMaxChars * 4));
  size_t chars = 0;
  for (size_t pos = 0; pos < AText.size() && chars < AMaxChars; ++chars) {
    char32_t code = 0;
    const size_t len = DecodeUtf8(AText, pos, code);
    if (len == 0 || IsLayoutControl(code)) {
      out.push_back(' ');
      pos += len == 0 ? 1 : len;
    } else {
      out.append(AText.substr(pos, len));
      pos += len;
    }
  }
  return out;
}

}  // namespace tlm
