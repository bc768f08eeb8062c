// The end-to-end handshake and sealed-packet parsers: any bytes either parse or end in a
// TSecureError, never anything else; a parsed hello rebuilds to the same bytes; sealed
// packets round-trip, and the reader lets out only sealed-session messages; and any change
// the fuzzer makes to a genuine hello, reply, second share or confirmation in flight leaves
// the two ends without a session, unless it touched only what belongs to the password the
// viewer did not type.
#include <sodium.h>

#include <cstdlib>
#include <optional>

#include "protocol/Error.h"
#include "protocol/Messages.h"
#include "protocol/SecureHandshake.h"

namespace {

const tlm::TIdentityKey& Identity() {
  static const tlm::TIdentityKey key = tlm::TIdentityKey::Generate();
  return key;
}

tlm::TSealKey FixedKey() {
  tlm::TSealKey key;
  key.fill(0x5a);
  return key;
}

void ParseAll(std::span<const uint8_t> AData) {
  try {
    const tlm::THelloFields hello = tlm::ParseHello(AData);
    const tlm::TBytes rebuilt = tlm::BuildHello(hello);
    if (!std::equal(rebuilt.begin(), rebuilt.end(), AData.begin(), AData.end())) std::abort();
  } catch (const tlm::TSecureError&) {
  }
  try {
    tlm::ParseReply(AData);
  } catch (const tlm::TSecureError&) {
  }
  tlm::ParseAbort(AData);
}

void HostMeetsBytes(std::span<const uint8_t> AData) {
  // With one password, or with two (a confirmation of either size then has a meaning).
  tlm::THostHandshake host(Identity(), "123456789",
                           "5e884898da28047151d0e56f8dc6292773603d0d6aabbdd62a11ef721d1542d8",
                           AData.size() % 2 ? "ab" : "");
  try {
    const size_t cut = AData.empty() ? 0 : AData[0] % (AData.size() + 1);
    host.OnHello(AData.subspan(0, cut));
    host.OnConfirm(AData.subspan(cut));
  } catch (const tlm::TSecureError&) {
  }
}

void ViewerMeetsBytes(std::span<const uint8_t> AData) {
  tlm::TViewerHandshake viewer("123456789", "", "fuzz", AData.size() % 2 ? "" : "ab");
  viewer.Start();
  try {
    // Half the time a second share first: the bytes up to a cut the first byte picks.
    if (!AData.empty() && AData[0] & 1) {
      const size_t cut = AData[0] % (AData.size() + 1);
      viewer.OnSecondShare(AData.subspan(0, cut));
      AData = AData.subspan(cut);
    }
    viewer.OnReply(AData);
    viewer.OnSealed(AData);
  } catch (const tlm::TSecureError&) {
  }
}

void OpenerMeetsBytes(std::span<const uint8_t> AData) {
  tlm::TSealer sealer(FixedKey());
  tlm::TOpener opener(FixedKey());
  const tlm::TBytes sealed = sealer.Seal(41, AData);
  const tlm::TOpenedMessage back = opener.Open(sealed);
  if (back.Type != 41 || !std::equal(back.Payload.begin(), back.Payload.end(), AData.begin(), AData.end()))
    std::abort();
  try {
    opener.Open(AData);
    std::abort();  // random bytes never carry a valid tag for packet 1
  } catch (const tlm::TSecureError&) {
  }
  // The reader's view: whatever inner code a peer seals, only sealed-session codes come out,
  // and a packet in clear passes only when it is no session message at all.
  if (AData.empty()) return;
  const uint32_t inner = AData[0];
  tlm::TSealer peer(FixedKey());
  tlm::TOpener reader(FixedKey());
  try {
    const tlm::TPacket out = reader.OpenPacket(tlm::TPacket{tlm::MsgSealed, peer.Seal(inner, AData.subspan(1))});
    if (out.Type != inner || !tlm::IsSealedSessionMsg(out.Type)) std::abort();
  } catch (const tlm::TSecureError&) {
    if (tlm::IsSealedSessionMsg(inner)) std::abort();
  }
  tlm::TOpener clear(FixedKey());
  try {
    const tlm::TPacket out = clear.OpenPacket(tlm::TPacket{inner, tlm::TBytes(AData.begin(), AData.end())});
    if (tlm::IsSessionMsg(inner) || out.Type != inner) std::abort();
  } catch (const tlm::TSecureError&) {
    if (!tlm::IsSessionMsg(inner)) std::abort();
  }
}

// XORs AMask over the genuine message at leg ALeg (0 hello, 1 reply, 2 confirmation, 3 the
// second share). The viewer types "ab"; the host holds no password (consent), "ab" alone,
// "ab" and "cd", or "cd" and "ab".
void RelayAltersHandshake(int ALeg, std::span<const uint8_t> AMask) {
  const int variant = int(AMask.size() % 4);
  const char* first[] = {"", "ab", "ab", "cd"};
  const char* second[] = {"", "", "cd", "ab"};
  tlm::THostHandshake host(Identity(), "123456789", first[variant], second[variant]);
  tlm::TViewerHandshake viewer("123456789", "", "fuzz", "ab");
  bool changed = false, changedFirstTag = false, changedSecondTag = false;
  auto alter = [&](tlm::TBytes& AMsg) {
    for (size_t i = 0; i < AMask.size() && i < AMsg.size(); ++i) {
      AMsg[i] ^= AMask[i];
      if (AMask[i] == 0) continue;
      changed = true;
      (i < tlm::SecureConfirmSize ? changedFirstTag : changedSecondTag) = true;
    }
  };
  bool established = false, shareValid = true;
  try {
    tlm::TBytes hello = viewer.Start();
    if (ALeg == 0) alter(hello);
    tlm::TBytes reply = host.OnHello(hello);
    if (ALeg == 1) alter(reply);
    if (std::optional<tlm::TBytes> share = host.SecondShare()) {
      if (ALeg == 3) alter(*share);
      shareValid = crypto_core_ristretto255_is_valid_point(share->data()) == 1;
      viewer.OnSecondShare(*share);
    }
    tlm::TBytes confirm = viewer.OnReply(reply);
    if (ALeg == 2) alter(confirm);
    host.OnConfirm(confirm);
    viewer.OnSealed(host.Admit());
    established = true;
  } catch (const tlm::TSecureError&) {
  }
  // What a change may leave standing: only the other password's share (while it is still a
  // point: the viewer refuses one that is not) or tag.
  bool expected = !changed;
  if (variant == 2 && ALeg == 3) expected = shareValid;
  if (variant == 2 && ALeg == 2) expected = !changedFirstTag;
  if (variant == 3 && ALeg == 2) expected = !changedSecondTag;
  if (established != expected) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  if (ASize == 0) return 0;
  const std::span<const uint8_t> data(AData + 1, ASize - 1);
  switch (AData[0] % 6) {
    case 0: ParseAll(data); break;
    case 1: HostMeetsBytes(data); break;
    case 2: ViewerMeetsBytes(data); break;
    case 3: OpenerMeetsBytes(data); break;
    default: RelayAltersHandshake(AData[0] / 6 % 4, data); break;
  }
  return 0;
}
