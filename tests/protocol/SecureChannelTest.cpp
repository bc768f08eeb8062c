// Sealed session packets and the host's identity key: what the far end accepts and what it
// refuses.
#include <gtest/gtest.h>

#include <functional>
#include <regex>

#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "protocol/SecureChannel.h"
#include "protocol/SecureIdentity.h"

namespace tlm {
namespace {

TSealKey KeyOf(uint8_t AFill) {
  TSealKey key;
  key.fill(AFill);
  return key;
}

TEST(SecureChannel, OpensInOrderAndRefusesAnythingElse) {
  struct TCase {
    const char* Name;
    // Given the three sealed packets, what the receiver is handed, in order.
    std::function<std::vector<TBytes>(const std::vector<TBytes>&)> Deliver;
    size_t OpenedBeforeFailure;  // 3 = no failure
  };
  const TCase cases[] = {
      {"in order", [](const auto& p) { return p; }, 3},
      {"first replayed", [](const auto& p) { return std::vector<TBytes>{p[0], p[0], p[1]}; }, 1},
      {"second and third swapped", [](const auto& p) { return std::vector<TBytes>{p[0], p[2], p[1]}; }, 1},
      {"second dropped", [](const auto& p) { return std::vector<TBytes>{p[0], p[2]}; }, 1},
      {"ciphertext bit flipped", [](const auto& p) { auto q = p; q[1][2] ^= 1; return q; }, 1},
      {"sealed inner code altered", [](const auto& p) { auto q = p; q[0][q[0].size() - 17] ^= 1; return q; }, 0},
      {"tag altered", [](const auto& p) { auto q = p; q[2].back() ^= 0x80; return q; }, 2},
      {"cut by a byte", [](const auto& p) { auto q = p; q[1].pop_back(); return q; }, 1},
      {"byte appended", [](const auto& p) { auto q = p; q[1].push_back(0); return q; }, 1},
      {"shorter than a tag", [](const auto& p) { auto q = p; q[0].resize(SealOverhead - 1); return q; }, 0},
      {"empty", [](const auto&) { return std::vector<TBytes>{TBytes{}}; }, 0},
      {"sealed under the other direction's key", [](const auto&) {
         TSealer other(KeyOf(2));
         return std::vector<TBytes>{other.Seal(MsgChat, BytesOf("hi"))};
       }, 0},
  };
  const std::vector<std::pair<uint32_t, TBytes>> messages = {
      {MsgChat, BytesOf("안녕하세요")}, {MsgFrameAck, {}}, {MsgFileChunk, TBytes(70000, 0xab)}};
  for (const bool inPlace : {false, true})
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Name) + (inPlace ? ", opened in its own buffer" : ", opened from a view"));
    TSealer sealer(KeyOf(1));
    TOpener opener(KeyOf(1));
    std::vector<TBytes> sealed;
    for (const auto& [type, payload] : messages) sealed.push_back(sealer.Seal(type, payload));
    size_t opened = 0;
    bool failed = false;
    for (const TBytes& packet : c.Deliver(sealed)) {
      try {
        const TOpenedMessage m = inPlace ? opener.Open(TBytes(packet)) : opener.Open(std::span(packet));
        EXPECT_EQ(m.Type, messages[opened].first);
        EXPECT_EQ(m.Payload, messages[opened].second);
        ++opened;
      } catch (const TSecureError&) {
        failed = true;
        break;
      }
    }
    EXPECT_EQ(opened, c.OpenedBeforeFailure);
    EXPECT_EQ(failed, c.OpenedBeforeFailure < 3);
    // After a failure the session is over: even the genuine next packet no longer opens.
    if (failed && opened < sealed.size()) {
      EXPECT_THROW(opener.Open(sealed[opened]), TSecureError);
    }
  }
}

TEST(SecureChannel, SealedBytesHideTheMessageAndCostTwentyBytes) {
  TSealer sealer(KeyOf(7));
  const TBytes text = BytesOf("chat line that must not show");
  const TBytes a = sealer.Seal(MsgChat, text), b = sealer.Seal(MsgChat, text);
  EXPECT_EQ(a.size(), text.size() + SealOverhead);
  EXPECT_NE(a, b);  // the counter changes the nonce
  EXPECT_EQ(std::search(a.begin(), a.end(), text.begin(), text.end()), a.end());
  EXPECT_EQ(sealer.Count(), 2u);
}

TEST(SecureChannel, RefusesAPayloadLargerThanOnePacket) {
  TSealer sealer(KeyOf(3));
  const TBytes huge(MaxSealedInnerPayload + 1);
  EXPECT_THROW(sealer.Seal(MsgFileChunk, huge), TSecureError);
  EXPECT_EQ(sealer.Count(), 0u);  // a refused message uses no counter
}

TEST(SecureIdentity, SerialisedKeyReadsBackAndSigns) {
  const TIdentityKey key = TIdentityKey::Generate();
  const std::string text = key.Serialise();
  const std::optional<TIdentityKey> back = TIdentityKey::Parse(text + "\n");
  ASSERT_TRUE(back);
  EXPECT_EQ(back->PublicKey(), key.PublicKey());
  const TBytes message = BytesOf("transcript");
  const auto signature = back->Sign(message);
  EXPECT_TRUE(VerifySignature(key.PublicKey(), message, signature));
  EXPECT_FALSE(VerifySignature(key.PublicKey(), BytesOf("transcripT"), signature));
  EXPECT_FALSE(VerifySignature(TIdentityKey::Generate().PublicKey(), message, signature));

  const std::string hex = text.substr(text.find(' ') + 1);
  for (const std::string& bad : {std::string(), "tlm-identity-1 " + hex.substr(1), "tlm-identity-2 " + hex,
                                 "tlm-identity-1 " + hex + "0", "tlm-identity-1 " + hex.substr(1) + "g",
                                 "tlm-identity-1  " + hex.substr(1)}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(TIdentityKey::Parse(bad));
  }
}

TEST(SecureIdentity, SecurityCodeIsFiveGroupsOfFourDigitsPerKey) {
  const TIdentityKey a = TIdentityKey::Generate(), b = TIdentityKey::Generate();
  const std::string code = SecurityCode(a.PublicKey());
  EXPECT_TRUE(std::regex_match(code, std::regex("[0-9]{4}( [0-9]{4}){4}"))) << code;
  EXPECT_EQ(SecurityCode(a.PublicKey()), code);
  EXPECT_NE(SecurityCode(b.PublicKey()), code);
  // A key one bit away reads completely differently, not in one group only.
  TPublicKey near = a.PublicKey();
  near[31] ^= 1;
  const std::string other = SecurityCode(near);
  int sameGroups = 0;
  for (size_t g = 0; g < 5; ++g) sameGroups += code.substr(5 * g, 4) == other.substr(5 * g, 4);
  EXPECT_LE(sameGroups, 1);
}

}  // namespace
}  // namespace tlm
