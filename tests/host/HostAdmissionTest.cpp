// The password check and the hold after the user ended a session, on their own.
#include <gtest/gtest.h>

#include "host/HostAdmission.h"
#include "protocol/Credentials.h"

namespace tlm::test {
namespace {

TEST(HostAdmissionRules, PasswordCheckAndTheHoldAfterTheUserEnded) {
  constexpr uint32_t HoldMs = 1000;
  constexpr uint32_t NearWrap = 0xFFFFFF00u;
  const std::string id = "123456789";
  const std::string right = MakeSessionProof(id, HashPassword("pw"));
  std::string upper = right;
  for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
  struct TCase {
    const char* Name;
    std::string HostHash;
    std::string Proof;
    std::optional<uint32_t> HeldAt;  // the user ended a session at this tick
    uint32_t Now;
    std::optional<EConsentCause> Expected;  // nullopt: admitted at once
  } const cases[] = {
      {"right proof", HashPassword("pw"), right, {}, 5, std::nullopt},
      {"right proof in upper case", HashPassword("pw"), upper, {}, 5, std::nullopt},
      {"no proof", HashPassword("pw"), "", {}, 5, EConsentCause::NoPassword},
      {"wrong proof", HashPassword("pw"), MakeSessionProof(id, HashPassword("pv")), {}, 5, EConsentCause::WrongPassword},
      {"proof for another ID", HashPassword("pw"), MakeSessionProof("987654321", HashPassword("pw")), {}, 5,
       EConsentCause::WrongPassword},
      {"a proof to a host without a password", "", right, {}, 5, EConsentCause::NoPassword},
      {"held: right proof asks", HashPassword("pw"), right, NearWrap, NearWrap + HoldMs - 1, EConsentCause::JustEnded},
      {"held: a wrong proof is still wrong", HashPassword("pw"), "00", NearWrap, NearWrap + 1, EConsentCause::WrongPassword},
      {"hold over, across the tick's wrap", HashPassword("pw"), right, NearWrap, NearWrap + HoldMs, std::nullopt},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    THostAdmission admission(c.HostHash, TAdmissionRules{60000, HoldMs});
    if (c.HeldAt) admission.HoldPassword(*c.HeldAt);
    EXPECT_EQ(admission.Check(id, c.Proof, c.Now), c.Expected);
  }
}

TEST(HostAdmissionRules, ChangedPasswordAndAnEndedHold) {
  THostAdmission admission(HashPassword("old"), TAdmissionRules{60000, 1000});
  const std::string id = "42";
  admission.SetPassword(HashPassword("new"));
  EXPECT_EQ(admission.Check(id, MakeSessionProof(id, HashPassword("old")), 0), EConsentCause::WrongPassword);
  EXPECT_EQ(admission.Check(id, MakeSessionProof(id, HashPassword("new")), 0), std::nullopt);
  admission.SetPassword("");
  EXPECT_EQ(admission.Check(id, MakeSessionProof(id, HashPassword("new")), 0), EConsentCause::NoPassword);

  // Once a hold has run out it stays over, however the tick moves on (a second wrap included).
  admission.SetPassword(HashPassword("new"));
  admission.HoldPassword(100);
  EXPECT_EQ(admission.Check(id, MakeSessionProof(id, HashPassword("new")), 1100), std::nullopt);
  EXPECT_EQ(admission.Check(id, MakeSessionProof(id, HashPassword("new")), 500), std::nullopt);
}

TEST(HostAdmissionRules, TheQuestionLapsesAfterTheConsentLimit) {
  THostAdmission admission("", TAdmissionRules{2000, 0});
  const std::optional<uint64_t> ticket = admission.Ask("Kim", "10.0.0.7", 10);
  ASSERT_TRUE(ticket);
  EXPECT_FALSE(admission.Lapsed(2009));
  EXPECT_EQ(admission.Lapsed(2010), ticket);
  EXPECT_TRUE(admission.IsOpen(*ticket));
  EXPECT_TRUE(admission.End(*ticket));
  EXPECT_FALSE(admission.IsOpen(*ticket));
}

}  // namespace
}  // namespace tlm::test
