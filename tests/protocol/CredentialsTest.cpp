#include <gtest/gtest.h>

#include <cstdlib>

#include "protocol/Credentials.h"

namespace tlm {
namespace {

// Expected digests computed outside this code, e.g. printf 'TLMRemote:secret' | sha256sum.
TEST(Credentials, HashVectors) {
  struct TCase {
    std::string Password;
    const char* Hex;
  };
  const std::vector<TCase> cases = {
      {"secret", "924dd284b5311b326a433d704033069a48c499db45fc5f1fd5157db6b8782fc6"},
      {"비밀", "475cb1d24fa357ab21eebaae9e57ceb2ac55de23ca4cf8856190d17609eff69c"},
      {"", "6f698c85cc370061d4edc7de56e6371923da819f4c9b73e5325a28bf9b5a45a6"},
  };
  for (const auto& tc : cases) EXPECT_EQ(HashPassword(tc.Password), tc.Hex) << tc.Password;
}

TEST(Credentials, ProofVectors) {
  const std::string hash = HashPassword("secret");
  EXPECT_EQ(MakeSessionProof("123456789", hash), "27a40d3be2c0d3637341448b910428b99ce14716d47e81398d41249a08bf5251");
  EXPECT_EQ(MakeSessionProof(hash, "123456789"), "1a2632bf3991783208cdf7da00679698f99b9a3920e97325b507b2d9fc93242e")
      << "swapped parts give another proof";
  EXPECT_EQ(MakeSessionProof("a:b", "c"), "b0ee04f880c4ff4261479e2e7822b7410aee4c7159f4185ad5b0d88a312b495e")
      << "colons inside a part are hashed as they are";
}

TEST(Credentials, ProofComparisonFoldsAsciiLettersOnly) {
  const std::string proof = MakeSessionProof("123456789", HashPassword("secret"));
  std::string upper = proof;
  for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(SameTextAscii(upper, proof));
  EXPECT_FALSE(SameTextAscii(proof.substr(1), proof));
  EXPECT_FALSE(SameTextAscii("[", "{")) << "only a-z and A-Z fold";
  EXPECT_FALSE(SameTextAscii("\xC3\xA9", "\xC3\x89"));
}

TEST(Credentials, DigitsOnlyAndFormatId) {
  const std::vector<std::pair<std::string, std::string>> digits = {
      {"123-456 789", "123456789"}, {"abc", ""}, {"", ""}, {"１２3", "3"}};
  for (const auto& [in, out] : digits) EXPECT_EQ(DigitsOnly(in), out) << in;

  const std::vector<std::pair<std::string, std::string>> formats = {
      {"", ""},
      {"1", "1"},
      {"123", "123"},
      {"1234", "123 4"},
      {"123456789", "123 456 789"},
      {"1234567890", "123 456 789 0"},
      {"ab-cd", "ab- cd"},
  };
  for (const auto& [in, out] : formats) EXPECT_EQ(FormatID(in), out) << in;
}

TEST(Credentials, TrimControlDropsBlanksAndControlsAtBothEnds) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"  pw \t\r\n", "pw"}, {" \x01\x1f ", ""}, {"a b", "a b"}, {"\xEA\xB0\x80 ", "\xEA\xB0\x80"}};
  for (const auto& [in, out] : cases) EXPECT_EQ(TrimControl(in), out) << in;
}

}  // namespace
}  // namespace tlm
