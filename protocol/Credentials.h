// The built-in relay address, password hash, session proof and connection-ID text helpers.
#pragma once

#include <string>
#include <string_view>

namespace tlm {

constexpr std::string_view DefaultRelayHost = "127.0.0.1";
constexpr std::string_view PasswordSalt = "TLMRemote:";

// Lowercase hex SHA-256 of "TLMRemote:" + password (UTF-8 bytes, no trimming).
std::string HashPassword(std::string_view APassword);
// Lowercase hex SHA-256 of first + ":" + second.
std::string MakeSessionProof(std::string_view AFirst, std::string_view ASecond);
// ASCII digits of the text, in order.
std::string DigitsOnly(std::string_view AText);
// A blank before every group of three characters after the first: "1234" -> "123 4".
std::string FormatID(std::string_view AId);
// Drops leading and trailing characters up to and including U+0020 (blanks, controls).
std::string TrimControl(std::string_view AText);
// Equal when equal after folding ASCII letters only.
bool SameTextAscii(std::string_view A, std::string_view B);

}  // namespace tlm
