// Cleaning of names that a peer chose and a person will read (the viewer name in a consent prompt, a log line).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tlm {

constexpr size_t MaxDisplayNameChars = 64;

// Replaces every character a peer could use to fake the layout of a prompt or a log line with a blank:
// controls (Cc), format characters such as direction overrides and zero-width marks (Cf), line and paragraph
// separators (Zl, Zp), and every byte that is not part of well-formed UTF-8. Then keeps at most AMaxChars
// characters. The result is always well-formed UTF-8.
std::string CleanDisplayName(std::string_view AText, size_t AMaxChars = MaxDisplayNameChars);

// True for the code points CleanDisplayName replaces.
bool IsLayoutControl(char32_t ACode);

}  // namespace tlm
