// The end-to-end handshake between the two state machines in memory, with a relay in the
// middle that may record, replay, alter or replace what passes.
#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <functional>
#include <map>

#include "protocol/Credentials.h"
#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "protocol/SecureHandshake.h"
#include "protocol/SecurePins.h"

namespace tlm {
namespace {

const std::string HostId = "123456789";
const std::string ViewerName = "상담원 김";

std::string PasswordHashOf(const std::string& APassword) { return APassword.empty() ? "" : HashPassword(APassword); }

enum TLeg { LegHello, LegReply, LegConfirm };
using TAlter = std::function<void(TLeg, TBytes&)>;

// What crossed the relay in one handshake.
struct TWire {
  TBytes Hello, Reply, Confirm, Admitted;
};

// Runs the handshake to the end; AAlter is the relay changing a message in flight.
TWire RunHandshake(THostHandshake& AHost, TViewerHandshake& AViewer, const TAlter& AAlter = {}) {
  TWire wire;
  wire.Hello = AViewer.Start();
  if (AAlter) AAlter(LegHello, wire.Hello);
  wire.Reply = AHost.OnHello(wire.Hello);
  if (AAlter) AAlter(LegReply, wire.Reply);
  wire.Confirm = AViewer.OnReply(wire.Reply);
  if (AAlter) AAlter(LegConfirm, wire.Confirm);
  AHost.OnConfirm(wire.Confirm);
  wire.Admitted = AHost.Admit();
  AViewer.OnSealed(wire.Admitted);
  return wire;
}

bool Contains(const TBytes& AHaystack, std::string_view ANeedle) {
  return std::search(AHaystack.begin(), AHaystack.end(), ANeedle.begin(), ANeedle.end()) != AHaystack.end();
}

class TMapPinStore final : public IPinStore {
public:
  std::optional<TPublicKey> Find(const std::string& AId) const override {
    auto it = FPins.find(AId);
    if (it == FPins.end()) return std::nullopt;
    return it->second;
  }
  void Save(const std::string& AId, const TPublicKey& AKey) override { FPins[AId] = AKey; }

private:
  std::map<std::string, TPublicKey> FPins;
};

TEST(SecureHandshake, AdmitsAndSealsBothWaysInEveryMode) {
  struct TCase {
    const char* Name;
    std::string HostPassword, ViewerPassword;
    TAdmitMode Mode;
    THostHandshake::TState AfterConfirm;
  };
  const TCase cases[] = {
      {"password on both ends", "s3cret", "s3cret", TAdmitMode::Password, THostHandshake::TState::PasswordVerified},
      {"viewer without password asks for consent", "s3cret", "", TAdmitMode::Consent,
       THostHandshake::TState::AwaitingConsent},
      {"host without password answers a password offer with consent", "", "s3cret", TAdmitMode::Consent,
       THostHandshake::TState::AwaitingConsent},
      {"consent only", "", "", TAdmitMode::Consent, THostHandshake::TState::AwaitingConsent},
  };
  const TIdentityKey identity = TIdentityKey::Generate();
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    THostHandshake host(identity, HostId, PasswordHashOf(c.HostPassword));
    TViewerHandshake viewer(HostId, "987654321", ViewerName, PasswordHashOf(c.ViewerPassword));
    const TBytes hello = viewer.Start();
    const TBytes confirm = viewer.OnReply(host.OnHello(hello));
    host.OnConfirm(confirm);
    EXPECT_EQ(host.State(), c.AfterConfirm);
    EXPECT_EQ(host.Mode(), c.Mode);
    EXPECT_EQ(viewer.Mode(), c.Mode);
    // What the consent prompt shows: the name from the signed hello and the code both ends see.
    EXPECT_EQ(host.ViewerName(), ViewerName);
    EXPECT_EQ(host.ViewerId(), "987654321");
    EXPECT_EQ(host.SessionCode(), viewer.SessionCode());
    EXPECT_EQ(viewer.HostKey(), identity.PublicKey());
    EXPECT_EQ(viewer.State(), TViewerHandshake::TState::AwaitingAdmission);
    viewer.OnSealed(host.Admit());
    ASSERT_EQ(viewer.State(), TViewerHandshake::TState::Established);

    TSecureChannel hostSide = host.TakeChannel(), viewerSide = viewer.TakeChannel();
    const TBytes frame = {1, 2, 3, 4, 5};
    const TOpenedMessage atViewer = viewerSide.In.Open(hostSide.Out.Seal(MsgFrame, frame));
    EXPECT_EQ(atViewer.Type, MsgFrame);
    EXPECT_EQ(atViewer.Payload, frame);
    const TOpenedMessage atHost = hostSide.In.Open(viewerSide.Out.Seal(MsgKey, {}));
    EXPECT_EQ(atHost.Type, MsgKey);
    EXPECT_TRUE(atHost.Payload.empty());
  }
}

TEST(SecureHandshake, TwoSessionsShareNoKeysAndNoCode) {
  const TIdentityKey identity = TIdentityKey::Generate();
  THostHandshake host1(identity, HostId, ""), host2(identity, HostId, "");
  TViewerHandshake viewer1(HostId, "", ViewerName, ""), viewer2(HostId, "", ViewerName, "");
  const TWire wire1 = RunHandshake(host1, viewer1), wire2 = RunHandshake(host2, viewer2);
  EXPECT_NE(wire1.Hello, wire2.Hello);
  EXPECT_NE(wire1.Reply, wire2.Reply);
  TSecureChannel a = host1.TakeChannel();
  TSecureChannel b = viewer2.TakeChannel();
  // Session 1's host key material does not open session 2's traffic.
  EXPECT_THROW(b.In.Open(a.Out.Seal(MsgChat, BytesOf("x"))), TSecureError);
}

TEST(SecureHandshake, WrongPasswordFailsOnBothEndsAndLeavesNothingToTestOffline) {
  const TIdentityKey identity = TIdentityKey::Generate();
  const std::string hostPassword = "correct horse", viewerPassword = "battery staple";
  THostHandshake host(identity, HostId, HashPassword(hostPassword));
  TViewerHandshake viewer(HostId, "", ViewerName, HashPassword(viewerPassword));
  TWire wire;
  wire.Hello = viewer.Start();
  wire.Reply = host.OnHello(wire.Hello);
  wire.Confirm = viewer.OnReply(wire.Reply);
  try {
    host.OnConfirm(wire.Confirm);
    FAIL() << "a wrong password was accepted";
  } catch (const TSecureError& e) {
    EXPECT_STREQ(e.what(), "비밀번호가 맞지 않습니다");
  }
  EXPECT_EQ(host.State(), THostHandshake::TState::Failed);
  EXPECT_THROW(host.Admit(), TSecureError);
  EXPECT_THROW(host.TakeChannel(), TSecureError);
  // The viewer hears the host's abort; it never reaches a channel, and nothing the relay could
  // make up admits it.
  EXPECT_EQ(ParseAbort(BuildAbort(TAbortReason::WrongPassword)), TAbortReason::WrongPassword);
  EXPECT_THROW(viewer.TakeChannel(), TSecureError);
  EXPECT_THROW(viewer.OnSealed(TBytes(40, 0)), TSecureError);

  // What the relay holds: the three messages. The plain protocol's static values it could test a
  // dictionary against (the password, its hash, the session proof) are not among them.
  const TBytes all = [&] {
    TBytes b = wire.Hello;
    b.insert(b.end(), wire.Reply.begin(), wire.Reply.end());
    b.insert(b.end(), wire.Confirm.begin(), wire.Confirm.end());
    return b;
  }();
  for (const std::string& password : {hostPassword, viewerPassword}) {
    EXPECT_FALSE(Contains(all, password));
    EXPECT_FALSE(Contains(all, HashPassword(password)));
    EXPECT_FALSE(Contains(all, MakeSessionProof(HostId, HashPassword(password))));
  }
  // The only password-dependent bytes are the two CPace shares, Y = y * G(password) with y a
  // fresh uniform scalar: for every candidate password there is exactly one y giving the same
  // Y, so Y alone says nothing about the password. A relay could only test a guess by
  // recomputing the key confirmation. Here it tries exactly that with each candidate, even
  // knowing the host's identity key: it replays the captured hello into a host of its own
  // built with the candidate and asks whether the captured confirmation checks. It never
  // does, for the right password no more than for the wrong one, because the tag depends on
  // the ephemeral scalars that never left the two ends.
  const auto sharesAreValidPoints = crypto_core_ristretto255_is_valid_point(wire.Hello.data() + 50) == 1 &&
                                    crypto_core_ristretto255_is_valid_point(wire.Reply.data() + 34) == 1;
  EXPECT_TRUE(sharesAreValidPoints);
  for (const std::string& candidate : {viewerPassword, hostPassword}) {
    SCOPED_TRACE(candidate);
    THostHandshake guess(identity, HostId, HashPassword(candidate));
    guess.OnHello(wire.Hello);
    EXPECT_THROW(guess.OnConfirm(wire.Confirm), TSecureError);
  }
}

// The host holds the unattended password and the one-time password. A viewer of today takes
// the second share; one built before it existed drops it as an unknown code and confirms the
// first password only.
TEST(SecureHandshake, AHostWithTwoPasswordsAdmitsEitherOneProvedInTheSession) {
  struct TCase {
    const char* Name;
    std::string Unattended, OneTime, Typed;
    bool ViewerTakesSecondShare;
    bool Admitted, SecondVerified;
  };
  const TCase cases[] = {
      {"unattended", "unattended-pw", "482913", "unattended-pw", true, true, false},
      {"one-time", "unattended-pw", "482913", "482913", true, true, true},
      {"wrong", "unattended-pw", "482913", "guess", true, false, false},
      {"older viewer, unattended", "unattended-pw", "482913", "unattended-pw", false, true, false},
      {"older viewer, one-time: it can prove the first only", "unattended-pw", "482913", "482913", false, false,
       false},
      {"only the one-time password set", "", "482913", "482913", true, true, false},
      {"only the unattended password set", "unattended-pw", "", "unattended-pw", true, true, false},
  };
  const TIdentityKey identity = TIdentityKey::Generate();
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    THostHandshake host(identity, HostId, PasswordHashOf(c.Unattended), PasswordHashOf(c.OneTime));
    TViewerHandshake viewer(HostId, "", ViewerName, HashPassword(c.Typed));
    const TBytes reply = host.OnHello(viewer.Start());
    const std::optional<TBytes> share = host.SecondShare();
    ASSERT_EQ(share.has_value(), !c.Unattended.empty() && !c.OneTime.empty()) << "a share per password beyond the first";
    if (share && c.ViewerTakesSecondShare) viewer.OnSecondShare(*share);
    const TBytes confirm = viewer.OnReply(reply);
    EXPECT_EQ(confirm.size(), share && c.ViewerTakesSecondShare ? SecureDoubleConfirmSize : SecureConfirmSize);
    if (!c.Admitted) {
      EXPECT_THROW(host.OnConfirm(confirm), TSecureError);
      EXPECT_EQ(host.State(), THostHandshake::TState::Failed);
      continue;
    }
    host.OnConfirm(confirm);
    ASSERT_EQ(host.State(), THostHandshake::TState::PasswordVerified);
    EXPECT_EQ(host.SecondPasswordVerified(), c.SecondVerified);
    // What a host's user is shown when a right password must still ask (just after a session).
    EXPECT_EQ(host.SessionCode(), viewer.SessionCode());
    viewer.OnSealed(host.Admit());
    ASSERT_EQ(viewer.State(), TViewerHandshake::TState::Established);
    TSecureChannel hostSide = host.TakeChannel(), viewerSide = viewer.TakeChannel();
    EXPECT_EQ(viewerSide.In.Open(hostSide.Out.Seal(MsgChat, BytesOf("h"))).Payload, BytesOf("h"));
    EXPECT_EQ(hostSide.In.Open(viewerSide.Out.Seal(MsgChat, BytesOf("v"))).Payload, BytesOf("v"));
  }
}

// What can go wrong around the second share: each one a refused handshake.
TEST(SecureHandshake, ASecondShareOutOfPlaceFailsTheHandshake) {
  const TIdentityKey identity = TIdentityKey::Generate();
  const std::string unattended = HashPassword("unattended-pw"), oneTime = HashPassword("482913");
  const TBytes share(SecureSecondShareSize, 7);
  {
    TViewerHandshake viewer(HostId, "", ViewerName, oneTime);
    EXPECT_THROW(viewer.OnSecondShare(share), TSecureError) << "before the hello";
  }
  {
    TViewerHandshake viewer(HostId, "", ViewerName, "");
    viewer.Start();
    EXPECT_THROW(viewer.OnSecondShare(share), TSecureError) << "to a viewer that offered no password";
  }
  for (size_t size : {size_t(0), SecureSecondShareSize - 1, SecureSecondShareSize + 1}) {
    TViewerHandshake viewer(HostId, "", ViewerName, oneTime);
    viewer.Start();
    EXPECT_THROW(viewer.OnSecondShare(TBytes(size, 7)), TSecureError) << size;
  }
  {
    THostHandshake host(identity, HostId, unattended, oneTime);
    TViewerHandshake viewer(HostId, "", ViewerName, oneTime);
    const TBytes reply = host.OnHello(viewer.Start());
    viewer.OnSecondShare(*host.SecondShare());
    EXPECT_THROW(viewer.OnSecondShare(*host.SecondShare()), TSecureError) << "a second time";
    EXPECT_THROW(viewer.OnReply(reply), TSecureError);
  }
  {
    // A share the relay made up and not a point of the group: the reply then fails.
    THostHandshake host(identity, HostId, unattended, oneTime);
    TViewerHandshake viewer(HostId, "", ViewerName, oneTime);
    const TBytes reply = host.OnHello(viewer.Start());
    viewer.OnSecondShare(TBytes(SecureSecondShareSize, 0xFF));
    EXPECT_THROW(viewer.OnReply(reply), TSecureError);
  }
  {
    // A relay that adds a share to a host with one password: the double confirmation fails.
    THostHandshake host(identity, HostId, unattended);
    TViewerHandshake viewer(HostId, "", ViewerName, unattended);
    const TBytes reply = host.OnHello(viewer.Start());
    THostHandshake other(identity, HostId, oneTime, unattended);
    TViewerHandshake donor(HostId, "", ViewerName, oneTime);
    other.OnHello(donor.Start());
    viewer.OnSecondShare(*other.SecondShare());
    const TBytes confirm = viewer.OnReply(reply);
    ASSERT_EQ(confirm.size(), SecureDoubleConfirmSize);
    EXPECT_THROW(host.OnConfirm(confirm), TSecureError);
  }
  {
    // A relay that swaps the two tags of a double confirmation: neither checks.
    THostHandshake host(identity, HostId, unattended, oneTime);
    TViewerHandshake viewer(HostId, "", ViewerName, oneTime);
    const TBytes reply = host.OnHello(viewer.Start());
    viewer.OnSecondShare(*host.SecondShare());
    TBytes confirm = viewer.OnReply(reply);
    std::rotate(confirm.begin(), confirm.begin() + SecureConfirmSize, confirm.end());
    EXPECT_THROW(host.OnConfirm(confirm), TSecureError);
  }
}

// A wrong password against a host with two: the relay holds one more share and one more tag,
// and can test a guess against them no better than against one.
TEST(SecureHandshake, AWrongPasswordAgainstTwoLeavesNothingToTestOffline) {
  const TIdentityKey identity = TIdentityKey::Generate();
  const std::string unattended = "unattended-pw", oneTime = "482913", typed = "guess";
  THostHandshake host(identity, HostId, HashPassword(unattended), HashPassword(oneTime));
  TViewerHandshake viewer(HostId, "", ViewerName, HashPassword(typed));
  const TBytes hello = viewer.Start();
  const TBytes reply = host.OnHello(hello);
  const TBytes share = *host.SecondShare();
  viewer.OnSecondShare(share);
  const TBytes confirm = viewer.OnReply(reply);
  EXPECT_THROW(host.OnConfirm(confirm), TSecureError);
  TBytes all = hello;
  for (const TBytes* part : {&share, &reply, &confirm}) all.insert(all.end(), part->begin(), part->end());
  for (const std::string& password : {unattended, oneTime, typed}) {
    EXPECT_FALSE(Contains(all, password));
    EXPECT_FALSE(Contains(all, HashPassword(password)));
    EXPECT_FALSE(Contains(all, MakeSessionProof(HostId, HashPassword(password))));
  }
  EXPECT_EQ(crypto_core_ristretto255_is_valid_point(share.data()), 1);
  // The relay's own host, built with each candidate in either place, replays the recorded
  // hello and asks whether the recorded confirmation checks: never, the right candidates
  // included, since each tag rests on ephemeral scalars that never left the two ends.
  for (const std::string& candidate : {typed, unattended, oneTime}) {
    SCOPED_TRACE(candidate);
    THostHandshake asFirst(identity, HostId, HashPassword(candidate));
    asFirst.OnHello(hello);
    EXPECT_THROW(asFirst.OnConfirm(std::span(confirm).first(SecureConfirmSize)), TSecureError);
    THostHandshake asSecond(identity, HostId, HashPassword("x"), HashPassword(candidate));
    asSecond.OnHello(hello);
    EXPECT_THROW(asSecond.OnConfirm(confirm), TSecureError);
  }
}

TEST(SecureHandshake, ReplayedHandshakeFromAFreshSessionGetsNoKeys) {
  const TIdentityKey identity = TIdentityKey::Generate();
  const std::string hash = HashPassword("s3cret");
  THostHandshake first(identity, HostId, hash);
  TViewerHandshake viewer(HostId, "", ViewerName, hash);
  const TWire recorded = RunHandshake(first, viewer);

  // The relay opens a new session to the same host and plays the recorded viewer messages.
  THostHandshake fresh(identity, HostId, hash);
  const TBytes reply = fresh.OnHello(recorded.Hello);
  EXPECT_NE(reply, recorded.Reply);  // a new ephemeral key and share: a new transcript
  EXPECT_THROW(fresh.OnConfirm(recorded.Confirm), TSecureError);
  EXPECT_THROW(fresh.TakeChannel(), TSecureError);

  // Replaying the host's side to a fresh viewer fails at the signature (new nonce and key).
  TViewerHandshake freshViewer(HostId, "", ViewerName, hash);
  freshViewer.Start();
  EXPECT_THROW(freshViewer.OnReply(recorded.Reply), TSecureError);
}

TEST(SecureHandshake, RelaySwappingTheHostKeyIsCaughtByThePinAndShowsOnFirstContact) {
  const TIdentityKey realIdentity = TIdentityKey::Generate(), relayIdentity = TIdentityKey::Generate();
  TMapPinStore store;
  TPinPolicy pins(store);

  // First contact through an honest relay: the viewer pins the host's key.
  {
    THostHandshake host(realIdentity, HostId, "");
    TViewerHandshake viewer(HostId, "", ViewerName, "");
    RunHandshake(host, viewer);
    const TPinCheck check = pins.CheckKey(HostId, viewer.HostKey());
    EXPECT_EQ(check.Verdict, TPinVerdict::FirstContact);
    EXPECT_EQ(check.NewCode, SecurityCode(realIdentity.PublicKey()));
    pins.Remember(HostId, viewer.HostKey());
  }
  // The relay now answers the viewer itself and runs its own viewer towards the real host.
  THostHandshake relayAsHost(relayIdentity, HostId, "");
  TViewerHandshake victim(HostId, "", ViewerName, "");
  THostHandshake realHost(realIdentity, HostId, "");
  TViewerHandshake relayAsViewer(HostId, "", ViewerName, "");
  RunHandshake(relayAsHost, victim);
  RunHandshake(realHost, relayAsViewer);
  const TPinCheck check = pins.CheckKey(HostId, victim.HostKey());
  EXPECT_EQ(check.Verdict, TPinVerdict::Changed);
  EXPECT_EQ(check.OldCode, SecurityCode(realIdentity.PublicKey()));
  EXPECT_EQ(check.NewCode, SecurityCode(relayIdentity.PublicKey()));
  EXPECT_NE(check.OldCode, check.NewCode);
  // Had this been the first contact, the code in the viewer's window would differ from the one
  // the host's main window shows, and the two ends' session codes differ too.
  TMapPinStore empty;
  EXPECT_NE(TPinPolicy(empty).CheckKey(HostId, victim.HostKey()).NewCode, SecurityCode(realIdentity.PublicKey()));
  EXPECT_NE(victim.SessionCode(), realHost.SessionCode());

  // Swapping only the key in the real host's reply breaks its signature.
  THostHandshake host(realIdentity, HostId, "");
  TViewerHandshake viewer(HostId, "", ViewerName, "");
  TBytes reply = host.OnHello(viewer.Start());
  std::copy(relayIdentity.PublicKey().begin(), relayIdentity.PublicKey().end(), reply.begin() + 66);
  EXPECT_THROW(viewer.OnReply(reply), TSecureError);
}

TEST(SecureHandshake, RelayAlteringTheNegotiationGetsARefusedSession) {
  struct TCase {
    const char* Name;
    std::string HostPassword, ViewerPassword;
    TLeg Leg;
    std::function<void(TBytes&)> Alter;
  };
  const TCase cases[] = {
      {"hello downgraded from password to consent", "pw", "pw", LegHello,
       [](TBytes& b) {
         b[1] = uint8_t(TAdmitMode::Consent);
         std::fill(b.begin() + 50, b.begin() + 82, 0);
       }},
      {"viewer name changed for the prompt", "", "", LegHello, [](TBytes& b) { b[b.size() - 3] ^= 1; }},
      {"viewer's ephemeral key replaced", "", "", LegHello, [](TBytes& b) { b[2] ^= 0x40; }},
      {"viewer's CPace share replaced", "pw", "pw", LegHello, [](TBytes& b) { b[60] ^= 1; }},
      {"reply mode turned to consent", "pw", "pw", LegReply, [](TBytes& b) { b[1] = 0; }},
      {"host's ephemeral key replaced", "", "", LegReply, [](TBytes& b) { b[5] ^= 1; }},
      {"host's CPace share replaced", "pw", "pw", LegReply, [](TBytes& b) { b[40] ^= 1; }},
      {"signature altered", "", "", LegReply, [](TBytes& b) { b.back() ^= 1; }},
      {"reply cut short", "", "", LegReply, [](TBytes& b) { b.pop_back(); }},
      {"hello of an unknown version", "", "", LegHello, [](TBytes& b) { b[0] = 2; }},
      {"unknown admission mode", "", "", LegHello, [](TBytes& b) { b[1] = 7; }},
      {"confirmation altered", "", "", LegConfirm, [](TBytes& b) { b[0] ^= 1; }},
      {"confirmation cut short", "pw", "pw", LegConfirm, [](TBytes& b) { b.resize(31); }},
  };
  const TIdentityKey identity = TIdentityKey::Generate();
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    THostHandshake host(identity, HostId, PasswordHashOf(c.HostPassword));
    TViewerHandshake viewer(HostId, "", ViewerName, PasswordHashOf(c.ViewerPassword));
    EXPECT_THROW(RunHandshake(host, viewer, [&](TLeg ALeg, TBytes& AMsg) { if (ALeg == c.Leg) c.Alter(AMsg); }),
                 TSecureError);
    // Whichever end noticed, neither has a channel and neither will be admitted.
    EXPECT_NE(host.State(), THostHandshake::TState::Established);
    EXPECT_NE(viewer.State(), TViewerHandshake::TState::Established);
    EXPECT_THROW(host.TakeChannel(), TSecureError);
    EXPECT_THROW(viewer.TakeChannel(), TSecureError);
  }
}

TEST(SecureHandshake, StrippedHandshakeIsRefusedOnceThePartnerWasSeenEncrypted) {
  // The relay drops the handshake and lets plain session traffic through: to the viewer this
  // looks like a partner built without encryption. The pin decides.
  const TIdentityKey identity = TIdentityKey::Generate();
  TMapPinStore store;
  TPinPolicy pins(store);
  EXPECT_EQ(pins.CheckPlain(HostId, false), TPlainVerdict::AllowedWithWarning);
  EXPECT_EQ(pins.CheckPlain(HostId, true), TPlainVerdict::RefusedRequired);
  pins.Remember(HostId, identity.PublicKey());
  EXPECT_EQ(pins.CheckPlain(HostId, false), TPlainVerdict::RefusedWasEncrypted);
  EXPECT_EQ(pins.CheckPlain("555666777", false), TPlainVerdict::AllowedWithWarning);
  EXPECT_EQ(pins.CheckKey(HostId, identity.PublicKey()).Verdict, TPinVerdict::Same);
}

TEST(SecureHandshake, MessagesOutOfOrderFailTheMachine) {
  const TIdentityKey identity = TIdentityKey::Generate();
  {
    TViewerHandshake viewer(HostId, "", ViewerName, "");
    EXPECT_THROW(viewer.OnReply(TBytes(SecureReplySize, 0)), TSecureError);  // before Start
    EXPECT_EQ(viewer.State(), TViewerHandshake::TState::Failed);
    EXPECT_THROW(viewer.Start(), TSecureError);  // Failed is final
  }
  {
    THostHandshake host(identity, HostId, "");
    TViewerHandshake viewer(HostId, "", ViewerName, "");
    const TBytes hello = viewer.Start();
    EXPECT_THROW(host.OnConfirm(TBytes(SecureConfirmSize, 0)), TSecureError);  // before the hello
    EXPECT_THROW(host.OnHello(hello), TSecureError);
  }
  {
    THostHandshake host(identity, HostId, "");
    TViewerHandshake viewer(HostId, "", ViewerName, "");
    const TBytes hello = viewer.Start();
    host.OnHello(hello);
    EXPECT_THROW(host.OnHello(hello), TSecureError);  // a second hello in one session
    EXPECT_THROW(host.Admit(), TSecureError);
  }
  {
    // Consent: nothing is admitted before the user's answer, and a session message from the
    // host in place of the admission does not count.
    THostHandshake host(identity, HostId, "");
    TViewerHandshake viewer(HostId, "", ViewerName, "");
    host.OnConfirm(viewer.OnReply(host.OnHello(viewer.Start())));
    EXPECT_EQ(host.State(), THostHandshake::TState::AwaitingConsent);
    EXPECT_THROW(host.TakeChannel(), TSecureError);
  }
}

TEST(SecureHandshake, HelloParserChecksEveryLength) {
  THelloFields fields;
  fields.Version = SecureVersion;
  fields.ViewerName = ViewerName;
  fields.ViewerId = "987654321";
  const TBytes good = BuildHello(fields);
  EXPECT_EQ(ParseHello(good).ViewerName, ViewerName);
  struct TCase {
    const char* Name;
    std::function<void(TBytes&)> Alter;
  };
  const TCase cases[] = {
      {"empty", [](TBytes& b) { b.clear(); }},
      {"fixed part cut", [](TBytes& b) { b.resize(SecureHelloFixedSize - 1); }},
      {"name length past the end", [](TBytes& b) { b[SecureHelloFixedSize] = 0xff; }},
      {"name length over the limit", [](TBytes& b) {
         b.resize(SecureHelloFixedSize);
         PutLE16(&*b.insert(b.end(), 2, 0), uint16_t(MaxHelloNameBytes + 1));
         b.insert(b.end(), MaxHelloNameBytes + 1, 'a');
         b.insert(b.end(), 2, 0);
       }},
      {"id missing", [](TBytes& b) { b.resize(b.size() - 11); }},
      {"trailing byte", [](TBytes& b) { b.push_back(0); }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TBytes bad = good;
    c.Alter(bad);
    EXPECT_THROW(ParseHello(bad), TSecureError);
  }
  // An over-long name is cut when built, so a hello always parses where it was made.
  fields.ViewerName.assign(1000, 'n');
  EXPECT_EQ(ParseHello(BuildHello(fields)).ViewerName.size(), MaxHelloNameBytes);
}

TEST(SecureHandshake, AbortReasonsReadBackAndUnknownOnesAreOther) {
  EXPECT_EQ(ParseAbort(BuildAbort(TAbortReason::KeyChanged)), TAbortReason::KeyChanged);
  EXPECT_EQ(AbortText(TAbortReason::KeyChanged), KeyChangedText);
  EXPECT_EQ(ParseAbort({}), TAbortReason::Other);
  EXPECT_EQ(ParseAbort(TBytes{200}), TAbortReason::Other);
  // The connect request's offer is no proof a host built without encryption could accept.
  EXPECT_FALSE(SameTextAscii(SecureOfferMarker, MakeSessionProof(HostId, HashPassword("pw"))));
}

}  // namespace
}  // namespace tlm
