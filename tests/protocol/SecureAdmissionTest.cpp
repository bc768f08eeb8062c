// The rules around the handshake: the host's path for a request, the viewer's reading of a
// packet while it waits for the reply, and the host's limit on wrong passwords.
#include <gtest/gtest.h>

#include "protocol/Credentials.h"
#include "protocol/Messages.h"
#include "protocol/SecureAdmission.h"

namespace tlm {
namespace {

TEST(SecureAdmission, HostPathForARequest) {
  const std::string plainProof = MakeSessionProof("123456789", HashPassword("pw"));
  struct TCase {
    std::string Proof;
    bool Require;
    THostAdmitPath Path;
  };
  const TCase cases[] = {
      {"#e2e1", false, THostAdmitPath::Secure},
      {"#e2e1", true, THostAdmitPath::Secure},
      {"", false, THostAdmitPath::Plain},
      {"", true, THostAdmitPath::Refuse},
      {plainProof, false, THostAdmitPath::Plain},
      {plainProof, true, THostAdmitPath::Refuse},
      // Only the exact offer counts; anything near it is the (wrong) proof of a viewer without encryption.
      {"#E2E1", false, THostAdmitPath::Plain},
      {"#e2e1 ", true, THostAdmitPath::Refuse},
      {"#e2e2", false, THostAdmitPath::Plain},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Proof + (c.Require ? " with RequireEncryption=1" : ""));
    EXPECT_EQ(HostAdmitPath(c.Proof, c.Require), c.Path);
  }
}

TEST(SecureAdmission, ViewerReadsPacketsWhileAwaitingTheReply) {
  struct TCase {
    uint32_t Type;
    TViewerWaitingPacket Meaning;
  };
  const TCase cases[] = {
      {MsgSecureReply, TViewerWaitingPacket::Reply},
      {MsgSecureAbort, TViewerWaitingPacket::Abort},
      {MsgSecureSecondShare, TViewerWaitingPacket::SecondShare},
      // A host without encryption starts with its monitor list and frames in clear.
      {MsgMonitorList, TViewerWaitingPacket::PlainTraffic},
      {MsgFrame, TViewerWaitingPacket::PlainTraffic},
      {MsgChat, TViewerWaitingPacket::PlainTraffic},
      {MsgDirListing, TViewerWaitingPacket::PlainTraffic},
      // Sealed before any keys, or the admission in clear: nothing a real host sends; dropped.
      {MsgSealed, TViewerWaitingPacket::Ignore},
      {MsgSecureAdmitted, TViewerWaitingPacket::Ignore},
      {MsgKeepAlive, TViewerWaitingPacket::Ignore},
      {MsgMouse, TViewerWaitingPacket::Ignore},
      {9999, TViewerWaitingPacket::Ignore},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Type);
    EXPECT_EQ(ClassifyWhileAwaitingReply(c.Type), c.Meaning);
  }
}

TEST(SecureAdmission, WrongPasswordsCloseThePasswordPathForAWhile) {
  using namespace std::chrono_literals;
  const auto t0 = TPasswordGuessLimit::TClock::time_point{} + 1h;
  TPasswordGuessLimit limit;
  for (size_t i = 0; i < TPasswordGuessLimit::MaxFailures; ++i) {
    EXPECT_TRUE(limit.PasswordAllowed(t0 + i * 1s)) << i;
    limit.NoteFailure(t0 + i * 1s);
  }
  EXPECT_FALSE(limit.PasswordAllowed(t0 + 5s));
  EXPECT_FALSE(limit.PasswordAllowed(t0 + TPasswordGuessLimit::Window - 1s));
  // The oldest failure ages out: one more guess, and a failure closes the path again.
  EXPECT_TRUE(limit.PasswordAllowed(t0 + TPasswordGuessLimit::Window));
  limit.NoteFailure(t0 + TPasswordGuessLimit::Window);
  EXPECT_FALSE(limit.PasswordAllowed(t0 + TPasswordGuessLimit::Window));
  // Failures noted while closed do not pile up beyond the limit: a window after the last one,
  // the path is open.
  for (int i = 0; i < 100; ++i) limit.NoteFailure(t0 + TPasswordGuessLimit::Window + 2s);
  EXPECT_FALSE(limit.PasswordAllowed(t0 + 2 * TPasswordGuessLimit::Window + 1s));
  EXPECT_TRUE(limit.PasswordAllowed(t0 + 2 * TPasswordGuessLimit::Window + 2s));
}

}  // namespace
}  // namespace tlm
