#include "protocol/Credentials.h"

#include "protocol/Error.h"
#include "protocol/Sha256.h"

namespace tlm {

namespace {

std::string Sha256Hex(std::string_view AText) {
  const TSha256Digest digest = Sha256(AText);
  static const char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(digest.size() * 2);
  for (uint8_t byte : digest) {
    out += hex[byte >> 4];
    out += hex[byte & 15];
  }
  return out;
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

}  // namespace

std::string HashPassword(std::string_view APassword) {
  std::string text(PasswordSalt);
  text += APassword;
  return Sha256Hex(text);
}

std::string MakeSessionProof(std::string_view AFirst, std::string_view ASecond) {
  std::string text(AFirst);
  text += ':';
  text += ASecond;
  return Sha256Hex(text);
}

std::string DigitsOnly(std::string_view AText) {
  std::string out;
  for (char c : AText)
    if (c >= '0' && c <= '9') out += c;
  return out;
}

std::string FormatID(std::string_view AId) {
  // Groups count characters, and an ID is ASCII; a multi-byte character is kept whole so
  // that no blank ever lands inside one.
  std::string out;
  size_t index = 0;
  for (size_t i = 0; i < AId.size();) {
    size_t n = 1;
    const unsigned char lead = static_cast<unsigned char>(AId[i]);
    if (lead >= 0xF0) n = 4;
    else if (lead >= 0xE0) n = 3;
    else if (lead >= 0xC0) n = 2;
    if (i + n > AId.size()) n = AId.size() - i;
    if (index > 0 && index % 3 == 0) out += ' ';
    out.append(AId.substr(i, n));
    i += n;
    ++index;
  }
  return out;
}

std::string TrimControl(std::string_view AText) {
  size_t b = 0, e = AText.size();
  while (b < e && static_cast<unsigned char>(AText[b]) <= 0x20) ++b;
  while (e > b && static_cast<unsigned char>(AText[e - 1]) <= 0x20) --e;
  return std::string(AText.substr(b, e - b));
}

bool SameTextAscii(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (size_t i = 0; i < A.size(); ++i)
    if (FoldAscii(A[i]) != FoldAscii(B[i])) return false;
  return true;
}

}  // namespace tlm
