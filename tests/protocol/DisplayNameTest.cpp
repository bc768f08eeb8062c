#include <gtest/gtest.h>

#include "protocol/DisplayName.h"

namespace tlm {
namespace {

TEST(DisplayName, ReplacesLayoutCharactersWithBlanks) {
  struct TCase {
    const char* Why;
    std::string In;
    std::string Out;
  };
  const std::vector<TCase> cases = {
      {"plain ASCII stays", "support desk", "support desk"},
      {"Korean stays", "지원팀 김철수", "지원팀 김철수"},
      {"tab, CR, LF, DEL", "a\tb\r\nc\x7f", "a b  c "},
      {"C1 control U+0085", "a\xC2\x85z", "a z"},
      {"line separator U+2028", "a\xE2\x80\xA8z", "a z"},
      {"paragraph separator U+2029", "a\xE2\x80\xA9z", "a z"},
      {"right-to-left override U+202E", "\xE2\x80\xAEgnp.exe", " gnp.exe"},
      {"isolates U+2066..U+2069", "\xE2\x81\xA6x\xE2\x81\xA9", " x "},
      {"zero-width space and BOM", "a\xE2\x80\x8B" "b\xEF\xBB\xBF", "a b "},
      {"soft hyphen", "a\xC2\xAD" "b", "a b"},
      {"tag characters", "a\xF3\xA0\x80\x81z", "a z"},
      {"emoji stays", "hi \xF0\x9F\x98\x80", "hi \xF0\x9F\x98\x80"},
      {"stray continuation byte", "a\x80z", "a z"},
      {"truncated sequence at the end", "ab\xE2\x80", "ab  "},
      {"overlong slash", "a\xC0\xAFz", "a  z"},
      {"UTF-16 surrogate", "a\xED\xA0\x80z", "a   z"},
  };
  for (const auto& tc : cases) EXPECT_EQ(CleanDisplayName(tc.In), tc.Out) << tc.Why;
}

TEST(DisplayName, KeepsAtMostTheGivenNumberOfCharacters) {
  EXPECT_EQ(CleanDisplayName(std::string(100, 'x')), std::string(64, 'x'));
  std::string korean;
  for (int i = 0; i < 100; ++i) korean += "가";
  const std::string cut = CleanDisplayName(korean);
  EXPECT_EQ(cut.size(), 64u * 3) << "counted in characters, never cut inside one";
  EXPECT_EQ(CleanDisplayName("abcdef", 3), "abc");
  EXPECT_EQ(CleanDisplayName(""), "");
}

}  // namespace
}  // namespace tlm
