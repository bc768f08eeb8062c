#include "protocol/SecureHandshake.h"

#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "protocol/Error.h"
#include "protocol/Messages.h"

namespace tlm {

using TKey32 = std::array<uint8_t, 32>;

struct THandshakeSecrets {
  TKey32 EphemeralSecret{};
  TKey32 PakeScalar{};
  TKey32 SignedTranscript{};
  TKey32 ConfirmKey{};
  TKey32 SecondConfirmKey{};  // the second password's, where there is one
  TKey32 CodeKey{};
  TKey32 SharedCodeKey{};  // the host's, for a viewer that confirms both passwords
  ~THandshakeSecrets() {
    for (TKey32* k :
         {&EphemeralSecret, &PakeScalar, &SignedTranscript, &ConfirmKey, &SecondConfirmKey, &CodeKey, &SharedCodeKey})
      sodium_memzero(k->data(), k->size());
  }
};

namespace {

constexpr std::string_view TranscriptLabel = "TLMRemote e2e transcript 1";
constexpr std::string_view SignatureLabel = "TLMRemote e2e signature 1";
constexpr std::string_view SignedLabel = "TLMRemote e2e signed transcript 1";
constexpr std::string_view KeysLabel = "TLMRemote e2e keys 1";
constexpr std::string_view ConfirmLabel = "TLMRemote e2e viewer confirm 1";
constexpr std::string_view CpaceLabel = "CPaceRistretto255";
constexpr std::string_view IskLabel = "TLMRemote CPace ISK 1";
constexpr std::string_view SecondIskLabel = "TLMRemote CPace ISK second password 1";
constexpr char KdfContext[crypto_kdf_CONTEXTBYTES + 1] = "TLMe2e01";
enum : uint64_t { KdfViewerToHost = 1, KdfHostToViewer = 2, KdfConfirm = 3, KdfCode = 4 };

std::span<const uint8_t> Span(std::string_view AText) {
  return {reinterpret_cast<const uint8_t*>(AText.data()), AText.size()};
}

// BLAKE2b-256 over length-prefixed items (8-byte little-endian lengths), so no two different
// item lists hash the same bytes. AKey keys the hash when given.
TKey32 HashItems(std::initializer_list<std::span<const uint8_t>> AItems, std::span<const uint8_t> AKey = {}) {
  crypto_generichash_state state;
  crypto_generichash_init(&state, AKey.empty() ? nullptr : AKey.data(), AKey.size(), 32);
  for (auto item : AItems) {
    uint8_t len[8];
    for (int i = 0; i < 8; ++i) len[i] = uint8_t(uint64_t(item.size()) >> (8 * i));
    crypto_generichash_update(&state, len, sizeof len);
    crypto_generichash_update(&state, item.data(), item.size());
  }
  TKey32 out;
  crypto_generichash_final(&state, out.data(), out.size());
  sodium_memzero(&state, sizeof state);
  return out;
}

// CPace's generator: a ristretto255 point from the password-related string (the password
// hash both ends hold), the channel (the host ID) and the session's fresh nonce.
std::array<uint8_t, 32> PakeGenerator(std::string_view APasswordHash, std::string_view AHostId,
                                      std::span<const uint8_t> ANonce) {
  crypto_hash_sha512_state state;
  crypto_hash_sha512_init(&state);
  for (auto item : {Span(CpaceLabel), Span(APasswordHash), Span(AHostId), ANonce}) {
    uint8_t len[8];
    for (int i = 0; i < 8; ++i) len[i] = uint8_t(uint64_t(item.size()) >> (8 * i));
    crypto_hash_sha512_update(&state, len, sizeof len);
    crypto_hash_sha512_update(&state, item.data(), item.size());
  }
  std::array<uint8_t, 64> wide;
  crypto_hash_sha512_final(&state, wide.data());
  std::array<uint8_t, 32> point;
  crypto_core_ristretto255_from_hash(point.data(), wide.data());
  sodium_memzero(wide.data(), wide.size());
  sodium_memzero(&state, sizeof state);
  return point;
}

// A fresh scalar and its share ascalar * AGenerator.
std::array<uint8_t, 32> PakeShare(const std::array<uint8_t, 32>& AGenerator, TKey32& AScalar) {
  std::array<uint8_t, 32> share;
  crypto_core_ristretto255_scalar_random(AScalar.data());
  if (crypto_scalarmult_ristretto255(share.data(), AScalar.data(), AGenerator.data()) != 0)
    throw TSecureError("PAKE 값을 만들 수 없습니다");
  return share;
}

TKey32 PakeSecret(std::string_view ALabel, const TKey32& AScalar, const std::array<uint8_t, 32>& APeerShare,
                  std::span<const uint8_t> ANonce, const std::array<uint8_t, 32>& AViewerShare,
                  const std::array<uint8_t, 32>& AHostShare) {
  TKey32 point;
  if (!crypto_core_ristretto255_is_valid_point(APeerShare.data()) ||
      crypto_scalarmult_ristretto255(point.data(), AScalar.data(), APeerShare.data()) != 0)
    throw TSecureError("상대방의 PAKE 값이 올바르지 않습니다");
  TKey32 isk = HashItems({Span(ALabel), ANonce, point, AViewerShare, AHostShare});
  sodium_memzero(point.data(), point.size());
  return isk;
}

TKey32 Transcript(std::string_view AHostId, const THelloFields& AHello, const TReplyFields& AReply) {
  const uint8_t helloHead[2] = {AHello.Version, uint8_t(AHello.Mode)};
  const uint8_t replyHead[2] = {AReply.Version, uint8_t(AReply.Mode)};
  return HashItems({Span(TranscriptLabel), Span(AHostId), Span(AHello.ViewerId), Span(AHello.ViewerName), helloHead,
                    AHello.Ephemeral, AHello.Nonce, AHello.PakeShare, replyHead, AReply.Ephemeral, AReply.PakeShare,
                    AReply.HostKey});
}

TBytes SignedMessage(const TKey32& ATranscript) {
  TBytes message(SignatureLabel.begin(), SignatureLabel.end());
  message.insert(message.end(), ATranscript.begin(), ATranscript.end());
  return message;
}

// One password's keys (or consent's): both sealing keys, the confirmation key, the code key.
struct TDerived {
  TSealKey ViewerToHost{}, HostToViewer{};
  TKey32 Confirm{}, Code{};
  TDerived() = default;
  TDerived(const TDerived&) = delete;
  TDerived& operator=(const TDerived&) = delete;
  ~TDerived() { sodium_memzero(this, sizeof *this); }
};

// Keys from the X25519 secret, the signed transcript and (password mode) CPace's secret.
void DeriveKeys(const TKey32& ADh, const TKey32& ASignedTranscript, const TKey32& AIsk, TDerived& AKeys) {
  TKey32 master = HashItems({Span(KeysLabel), ASignedTranscript, AIsk}, ADh);
  crypto_kdf_derive_from_key(AKeys.ViewerToHost.data(), 32, KdfViewerToHost, KdfContext, master.data());
  crypto_kdf_derive_from_key(AKeys.HostToViewer.data(), 32, KdfHostToViewer, KdfContext, master.data());
  crypto_kdf_derive_from_key(AKeys.Confirm.data(), 32, KdfConfirm, KdfContext, master.data());
  crypto_kdf_derive_from_key(AKeys.Code.data(), 32, KdfCode, KdfContext, master.data());
  sodium_memzero(master.data(), master.size());
}

// With two passwords in play neither end knows which one the viewer typed until the
// admission, so the code both show comes from the keys without CPace's secret: the same on
// both paths, and still bound to both ephemeral keys and the signed transcript.
TKey32 SharedCodeKey(const TKey32& ADh, const TKey32& ASignedTranscript) {
  TDerived keys;
  DeriveKeys(ADh, ASignedTranscript, TKey32{}, keys);
  return keys.Code;
}

enum class ESide { Viewer, Host };

// Once the transcript is signed: the confirmation key, session code key and channel (sealing
// this side's way) of the password proved, or of none; and, where the host offered a second
// password, that one's confirmation key and channel, with the code key both paths share.
void DeriveSessionKeys(ESide ASide, const TKey32& ADh, const TKey32& AIsk, const TKey32* ASecondIsk,
                       THandshakeSecrets& ASecrets, std::optional<TSecureChannel>& AChannel,
                       std::optional<TSecureChannel>& ASecondChannel) {
  auto channel = [ASide](const TDerived& AKeys) {
    return ASide == ESide::Viewer ? TSecureChannel{TSealer(AKeys.ViewerToHost), TOpener(AKeys.HostToViewer)}
                                  : TSecureChannel{TSealer(AKeys.HostToViewer), TOpener(AKeys.ViewerToHost)};
  };
  TDerived keys;
  DeriveKeys(ADh, ASecrets.SignedTranscript, AIsk, keys);
  ASecrets.ConfirmKey = keys.Confirm;
  ASecrets.CodeKey = keys.Code;
  AChannel.emplace(channel(keys));
  if (!ASecondIsk) return;
  TDerived second;
  DeriveKeys(ADh, ASecrets.SignedTranscript, *ASecondIsk, second);
  ASecrets.SecondConfirmKey = second.Confirm;
  ASecrets.SharedCodeKey = SharedCodeKey(ADh, ASecrets.SignedTranscript);
  ASecondChannel.emplace(channel(second));
}

TKey32 ViewerConfirmTag(const TKey32& AConfirmKey, const TKey32& ASignedTranscript) {
  return HashItems({Span(ConfirmLabel), ASignedTranscript}, AConfirmKey);
}

// "123 456": six digits both ends show while the host's user decides.
std::string CodeText(const TKey32& ACodeKey) {
  const uint32_t value = (uint32_t(ACodeKey[0]) | uint32_t(ACodeKey[1]) << 8 | uint32_t(ACodeKey[2]) << 16 |
                          uint32_t(ACodeKey[3]) << 24) % 1000000;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%03u %03u", unsigned(value / 1000), unsigned(value % 1000));
  return buf;
}

void ReadBytes(std::span<const uint8_t>& AIn, uint8_t* AOut, size_t ALen) {
  if (AIn.size() < ALen) throw TSecureError("핸드셰이크 메시지가 잘렸습니다");
  std::memcpy(AOut, AIn.data(), ALen);
  AIn = AIn.subspan(ALen);
}

std::string ReadText(std::span<const uint8_t>& AIn, size_t AMax) {
  uint8_t len[2];
  ReadBytes(AIn, len, 2);
  const size_t n = GetLE16(len);
  if (n > AMax) throw TSecureError("핸드셰이크 메시지의 글자열이 너무 깁니다");
  std::string text(n, '\0');
  ReadBytes(AIn, reinterpret_cast<uint8_t*>(text.data()), n);
  return text;
}

void PutText(TBytes& AOut, std::string_view AText, size_t AMax) {
  if (AText.size() > AMax) AText = AText.substr(0, AMax);
  uint8_t len[2];
  PutLE16(len, uint16_t(AText.size()));
  AOut.insert(AOut.end(), len, len + 2);
  AOut.insert(AOut.end(), AText.begin(), AText.end());
}

TAdmitMode ReadMode(uint8_t AByte) {
  if (AByte > uint8_t(TAdmitMode::Password)) throw TSecureError("알 수 없는 승인 방식입니다");
  return TAdmitMode(AByte);
}

}  // namespace

TBytes BuildAbort(TAbortReason AReason) { return TBytes{uint8_t(AReason)}; }

TAbortReason ParseAbort(std::span<const uint8_t> APayload) {
  if (APayload.empty() || APayload[0] > uint8_t(TAbortReason::Timeout)) return TAbortReason::Other;
  return TAbortReason(APayload[0]);
}

std::string AbortText(TAbortReason AReason) {
  switch (AReason) {
    case TAbortReason::Unsupported: return "상대방이 이 암호화 방식을 지원하지 않습니다";
    case TAbortReason::Malformed: return "암호화 핸드셰이크가 올바르지 않습니다";
    case TAbortReason::WrongPassword: return "비밀번호가 맞지 않습니다";
    case TAbortReason::Refused: return "원격지 사용자가 접속을 거부했습니다";
    case TAbortReason::KeyChanged: return "상대방의 보안 코드가 바뀌었습니다";
    case TAbortReason::Timeout: return "암호화 핸드셰이크 시간 초과";
    case TAbortReason::Other: break;
  }
  return "암호화 연결이 중단되었습니다";
}

TBytes BuildHello(const THelloFields& AHello) {
  TBytes out;
  out.reserve(SecureHelloFixedSize + 4 + AHello.ViewerName.size() + AHello.ViewerId.size());
  out.push_back(AHello.Version);
  out.push_back(uint8_t(AHello.Mode));
  out.insert(out.end(), AHello.Ephemeral.begin(), AHello.Ephemeral.end());
  out.insert(out.end(), AHello.Nonce.begin(), AHello.Nonce.end());
  out.insert(out.end(), AHello.PakeShare.begin(), AHello.PakeShare.end());
  PutText(out, AHello.ViewerName, MaxHelloNameBytes);
  PutText(out, AHello.ViewerId, MaxHelloIdBytes);
  return out;
}

THelloFields ParseHello(std::span<const uint8_t> APayload) {
  THelloFields hello;
  ReadBytes(APayload, &hello.Version, 1);
  if (hello.Version != SecureVersion) throw TSecureError("지원하지 않는 암호화 버전입니다");
  uint8_t mode;
  ReadBytes(APayload, &mode, 1);
  hello.Mode = ReadMode(mode);
  ReadBytes(APayload, hello.Ephemeral.data(), hello.Ephemeral.size());
  ReadBytes(APayload, hello.Nonce.data(), hello.Nonce.size());
  ReadBytes(APayload, hello.PakeShare.data(), hello.PakeShare.size());
  hello.ViewerName = ReadText(APayload, MaxHelloNameBytes);
  hello.ViewerId = ReadText(APayload, MaxHelloIdBytes);
  if (!APayload.empty()) throw TSecureError("핸드셰이크 메시지 뒤에 남는 바이트가 있습니다");
  return hello;
}

TBytes BuildReply(const TReplyFields& AReply) {
  TBytes out;
  out.reserve(SecureReplySize);
  out.push_back(AReply.Version);
  out.push_back(uint8_t(AReply.Mode));
  out.insert(out.end(), AReply.Ephemeral.begin(), AReply.Ephemeral.end());
  out.insert(out.end(), AReply.PakeShare.begin(), AReply.PakeShare.end());
  out.insert(out.end(), AReply.HostKey.begin(), AReply.HostKey.end());
  out.insert(out.end(), AReply.Signature.begin(), AReply.Signature.end());
  return out;
}

TReplyFields ParseReply(std::span<const uint8_t> APayload) {
  if (APayload.size() != SecureReplySize) throw TSecureError("핸드셰이크 응답의 길이가 맞지 않습니다");
  TReplyFields reply;
  ReadBytes(APayload, &reply.Version, 1);
  if (reply.Version != SecureVersion) throw TSecureError("지원하지 않는 암호화 버전입니다");
  uint8_t mode;
  ReadBytes(APayload, &mode, 1);
  reply.Mode = ReadMode(mode);
  ReadBytes(APayload, reply.Ephemeral.data(), reply.Ephemeral.size());
  ReadBytes(APayload, reply.PakeShare.data(), reply.PakeShare.size());
  ReadBytes(APayload, reply.HostKey.data(), reply.HostKey.size());
  ReadBytes(APayload, reply.Signature.data(), reply.Signature.size());
  return reply;
}

// ---- viewer ----

TViewerHandshake::TViewerHandshake(std::string AHostId, std::string AViewerId, std::string AViewerName,
                                   std::string APasswordHash)
    : FHostId(std::move(AHostId)),
      FViewerId(std::move(AViewerId)),
      FViewerName(std::move(AViewerName)),
      FPasswordHash(std::move(APasswordHash)),
      FSecrets(std::make_unique<THandshakeSecrets>()) {
  EnsureSodium();
}

TViewerHandshake::~TViewerHandshake() { sodium_memzero(FPasswordHash.data(), FPasswordHash.size()); }

void TViewerHandshake::Fail() {
  FState = TState::Failed;
  FChannel.reset();
  FSecondChannel.reset();
  FSecrets = std::make_unique<THandshakeSecrets>();
}

TBytes TViewerHandshake::Start() {
  return Guarded([&] {
    if (FState != TState::Idle) throw TSecureError("핸드셰이크가 이미 시작되었습니다");
    FHello = {};
    FHello.Version = SecureVersion;
    FHello.Mode = FPasswordHash.empty() ? TAdmitMode::Consent : TAdmitMode::Password;
    FHello.ViewerName = FViewerName;
    FHello.ViewerId = FViewerId;
    crypto_box_keypair(FHello.Ephemeral.data(), FSecrets->EphemeralSecret.data());
    randombytes_buf(FHello.Nonce.data(), FHello.Nonce.size());
    if (FHello.Mode == TAdmitMode::Password)
      FHello.PakeShare = PakeShare(PakeGenerator(FPasswordHash, FHostId, FHello.Nonce), FSecrets->PakeScalar);
    // The hello is built from the texts as they will be cut on the wire, so both ends hash the same.
    TBytes hello = BuildHello(FHello);
    FHello = ParseHello(hello);
    FState = TState::AwaitingReply;
    return hello;
  });
}

void TViewerHandshake::OnSecondShare(std::span<const uint8_t> APayload) {
  Guarded([&] {
    if (FState != TState::AwaitingReply || FHello.Mode != TAdmitMode::Password || FSecondShare)
      throw TSecureError("기다리지 않은 두 번째 PAKE 값입니다");
    if (APayload.size() != SecureSecondShareSize) throw TSecureError("두 번째 PAKE 값의 길이가 맞지 않습니다");
    FSecondShare.emplace();
    std::memcpy(FSecondShare->data(), APayload.data(), APayload.size());
  });
}

TBytes TViewerHandshake::OnReply(std::span<const uint8_t> APayload) {
  return Guarded([&] {
    if (FState != TState::AwaitingReply) throw TSecureError("기다리지 않은 핸드셰이크 응답입니다");
    const TReplyFields reply = ParseReply(APayload);
    // The host may answer a password offer with consent (it has no password); never the reverse.
    if (reply.Mode == TAdmitMode::Password && FHello.Mode != TAdmitMode::Password)
      throw TSecureError("요청하지 않은 승인 방식입니다");
    // A second share belongs to a password answer only.
    if (FSecondShare && reply.Mode != TAdmitMode::Password) throw TSecureError("요청하지 않은 승인 방식입니다");
    const TKey32 transcript = Transcript(FHostId, FHello, reply);
    if (!VerifySignature(reply.HostKey, SignedMessage(transcript), reply.Signature))
      throw TSecureError("상대방의 서명이 올바르지 않습니다");
    TKey32 dh;
    if (crypto_scalarmult(dh.data(), FSecrets->EphemeralSecret.data(), reply.Ephemeral.data()) != 0)
      throw TSecureError("상대방의 임시 키가 올바르지 않습니다");
    TKey32 isk{}, secondIsk{};
    if (reply.Mode == TAdmitMode::Password)
      isk = PakeSecret(IskLabel, FSecrets->PakeScalar, reply.PakeShare, FHello.Nonce, FHello.PakeShare,
                       reply.PakeShare);
    if (FSecondShare)
      secondIsk = PakeSecret(SecondIskLabel, FSecrets->PakeScalar, *FSecondShare, FHello.Nonce, FHello.PakeShare,
                             *FSecondShare);
    FSecrets->SignedTranscript = HashItems({Span(SignedLabel), transcript, reply.Signature});
    DeriveSessionKeys(ESide::Viewer, dh, isk, FSecondShare ? &secondIsk : nullptr, *FSecrets, FChannel,
                      FSecondChannel);
    // With two passwords the viewer shows the code both paths share.
    if (FSecondShare) FSecrets->CodeKey = FSecrets->SharedCodeKey;
    sodium_memzero(dh.data(), dh.size());
    sodium_memzero(isk.data(), isk.size());
    sodium_memzero(secondIsk.data(), secondIsk.size());
    FMode = reply.Mode;
    FHostKey = reply.HostKey;
    FState = TState::AwaitingAdmission;
    // One tag per password the host may hold: the host accepts the one that checks.
    const TKey32 tag = ViewerConfirmTag(FSecrets->ConfirmKey, FSecrets->SignedTranscript);
    TBytes confirm(tag.begin(), tag.end());
    if (FSecondShare) {
      const TKey32 second = ViewerConfirmTag(FSecrets->SecondConfirmKey, FSecrets->SignedTranscript);
      confirm.insert(confirm.end(), second.begin(), second.end());
    }
    return confirm;
  });
}

void TViewerHandshake::OnSealed(std::span<const uint8_t> APayload) {
  Guarded([&] {
    if (FState != TState::AwaitingAdmission) throw TSecureError("기다리지 않은 암호화 메시지입니다");
    // The admission opens under the keys of the password the host accepted, and under no other.
    std::optional<TOpenedMessage> message;
    try {
      message = FChannel->In.Open(APayload);
    } catch (const TSecureError&) {
      if (!FSecondChannel) throw;
      message = FSecondChannel->In.Open(APayload);
      FChannel = std::move(*FSecondChannel);
    }
    FSecondChannel.reset();
    if (message->Type != MsgSecureAdmitted) throw TSecureError("승인 전에 세션 메시지가 왔습니다");
    FState = TState::Established;
  });
}

TSecureChannel TViewerHandshake::TakeChannel() {
  if (FState != TState::Established || !FChannel) throw TSecureError("암호화 연결이 아직 성립되지 않았습니다");
  TSecureChannel channel = std::move(*FChannel);
  FChannel.reset();
  return channel;
}

const TPublicKey& TViewerHandshake::HostKey() const {
  if (FState != TState::AwaitingAdmission && FState != TState::Established)
    throw TSecureError("상대방의 키를 아직 모릅니다");
  return FHostKey;
}

std::string TViewerHandshake::SessionCode() const {
  if (FState != TState::AwaitingAdmission && FState != TState::Established)
    throw TSecureError("세션 코드가 아직 없습니다");
  return CodeText(FSecrets->CodeKey);
}

// ---- host ----

THostHandshake::THostHandshake(const TIdentityKey& AIdentity, std::string AHostId, std::string APasswordHash,
                               std::string ASecondPasswordHash)
    : FIdentity(AIdentity),
      FHostId(std::move(AHostId)),
      FPasswordHash(std::move(APasswordHash)),
      FSecondPasswordHash(std::move(ASecondPasswordHash)),
      FSecrets(std::make_unique<THandshakeSecrets>()) {
  EnsureSodium();
  // A lone password is the first, whichever it is.
  if (FPasswordHash.empty()) std::swap(FPasswordHash, FSecondPasswordHash);
}

THostHandshake::~THostHandshake() {
  sodium_memzero(FPasswordHash.data(), FPasswordHash.size());
  sodium_memzero(FSecondPasswordHash.data(), FSecondPasswordHash.size());
}

void THostHandshake::Fail() {
  FState = TState::Failed;
  FChannel.reset();
  FSecondChannel.reset();
  FSecrets = std::make_unique<THandshakeSecrets>();
}

TBytes THostHandshake::OnHello(std::span<const uint8_t> APayload) {
  return Guarded([&] {
    if (FState != TState::AwaitingHello) throw TSecureError("기다리지 않은 핸드셰이크 요청입니다");
    FHello = ParseHello(APayload);
    TReplyFields reply;
    reply.Version = SecureVersion;
    reply.Mode =
        FHello.Mode == TAdmitMode::Password && !FPasswordHash.empty() ? TAdmitMode::Password : TAdmitMode::Consent;
    TKey32 ephemeralSecret;
    crypto_box_keypair(reply.Ephemeral.data(), ephemeralSecret.data());
    TKey32 dh;
    const int dhResult = crypto_scalarmult(dh.data(), ephemeralSecret.data(), FHello.Ephemeral.data());
    sodium_memzero(ephemeralSecret.data(), ephemeralSecret.size());
    if (dhResult != 0) throw TSecureError("상대방의 임시 키가 올바르지 않습니다");
    TKey32 isk{}, secondIsk{};
    if (reply.Mode == TAdmitMode::Password) {
      reply.PakeShare = PakeShare(PakeGenerator(FPasswordHash, FHostId, FHello.Nonce), FSecrets->PakeScalar);
      isk = PakeSecret(IskLabel, FSecrets->PakeScalar, FHello.PakeShare, FHello.Nonce, FHello.PakeShare,
                       reply.PakeShare);
      if (!FSecondPasswordHash.empty()) {
        // Its own scalar on the second password's generator: the two shares are independent,
        // and each tests the viewer's one share against one password.
        TKey32 scalar;
        FSecondShare = PakeShare(PakeGenerator(FSecondPasswordHash, FHostId, FHello.Nonce), scalar);
        secondIsk = PakeSecret(SecondIskLabel, scalar, FHello.PakeShare, FHello.Nonce, FHello.PakeShare,
                               *FSecondShare);
        sodium_memzero(scalar.data(), scalar.size());
      }
    }
    reply.HostKey = FIdentity.PublicKey();
    const TKey32 transcript = Transcript(FHostId, FHello, reply);
    reply.Signature = FIdentity.Sign(SignedMessage(transcript));
    FSecrets->SignedTranscript = HashItems({Span(SignedLabel), transcript, reply.Signature});
    // Which code the viewer shows is known only from its confirmation.
    DeriveSessionKeys(ESide::Host, dh, isk, FSecondShare ? &secondIsk : nullptr, *FSecrets, FChannel, FSecondChannel);
    sodium_memzero(dh.data(), dh.size());
    sodium_memzero(isk.data(), isk.size());
    sodium_memzero(secondIsk.data(), secondIsk.size());
    FMode = reply.Mode;
    FState = TState::AwaitingConfirm;
    return BuildReply(reply);
  });
}

std::optional<TBytes> THostHandshake::SecondShare() const {
  if (!FSecondShare) return std::nullopt;
  return TBytes(FSecondShare->begin(), FSecondShare->end());
}

void THostHandshake::OnConfirm(std::span<const uint8_t> APayload) {
  Guarded([&] {
    if (FState != TState::AwaitingConfirm) throw TSecureError("기다리지 않은 키 확인입니다");
    // One tag, or with a second share one tag per password (a viewer that dropped the share
    // as unknown confirms the first alone). Both are checked in full before either counts.
    const bool both = FSecondShare && APayload.size() == SecureDoubleConfirmSize;
    const TKey32 expected = ViewerConfirmTag(FSecrets->ConfirmKey, FSecrets->SignedTranscript);
    bool first = false, second = false;
    if (APayload.size() == SecureConfirmSize || both) first = crypto_verify_32(APayload.data(), expected.data()) == 0;
    if (both) {
      const TKey32 expected2 = ViewerConfirmTag(FSecrets->SecondConfirmKey, FSecrets->SignedTranscript);
      second = crypto_verify_32(APayload.data() + SecureConfirmSize, expected2.data()) == 0;
    }
    if (!first && !second)
      throw TSecureError(FMode == TAdmitMode::Password ? "비밀번호가 맞지 않습니다" : "키 확인이 맞지 않습니다");
    if (both) FSecrets->CodeKey = FSecrets->SharedCodeKey;
    if (!first) {
      FChannel = std::move(*FSecondChannel);
      FSecondVerified = true;
    }
    FSecondChannel.reset();
    FState = FMode == TAdmitMode::Password ? TState::PasswordVerified : TState::AwaitingConsent;
  });
}

TBytes THostHandshake::Admit() {
  return Guarded([&] {
    if (FState != TState::PasswordVerified && FState != TState::AwaitingConsent)
      throw TSecureError("아직 승인할 수 없습니다");
    TBytes sealed = FChannel->Out.Seal(MsgSecureAdmitted, {});
    FState = TState::Established;
    return sealed;
  });
}

TSecureChannel THostHandshake::TakeChannel() {
  if (FState != TState::Established || !FChannel) throw TSecureError("암호화 연결이 아직 성립되지 않았습니다");
  TSecureChannel channel = std::move(*FChannel);
  FChannel.reset();
  return channel;
}

std::string THostHandshake::SessionCode() const {
  if (FState == TState::AwaitingHello || FState == TState::Failed) throw TSecureError("세션 코드가 아직 없습니다");
  return CodeText(FSecrets->CodeKey);
}

}  // namespace tlm
