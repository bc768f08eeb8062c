// Message codes and the text payloads shared by host and viewer.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Bytes.h"

namespace tlm {

// Relay dialogue.
constexpr uint32_t MsgHostRegister = 1;    // host -> relay: device key
constexpr uint32_t MsgHostId = 2;          // relay -> host: connection ID
constexpr uint32_t MsgConnectRequest = 3;  // viewer -> relay: "%s\t%s\t%s\tcontrol"
constexpr uint32_t MsgSessionStart = 4;    // relay -> both
constexpr uint32_t MsgSessionEnd = 6;      // relay -> both
constexpr uint32_t MsgKeepAlive = 7;       // host -> relay (and our relay -> viewer)
constexpr uint32_t MsgAdmitRequest = 9;    // relay -> host: ip \t name \t proof
constexpr uint32_t MsgAdmitAccept = 10;    // host -> relay
constexpr uint32_t MsgAdmitReject = 11;    // host -> relay: reason
constexpr uint32_t MsgAdmitWithdrawn = 12; // relay -> host: the viewer of the pending request is gone (no payload)
// Session messages, passed unchanged by the relay (17..57).
constexpr uint32_t MsgFrame = 17;
constexpr uint32_t MsgFrameAck = 18;
constexpr uint32_t MsgKeyframeRequest = 19;
constexpr uint32_t MsgQuality = 20;     // viewer -> host: a quality preset below [, tile codings]
constexpr uint32_t MsgMonitorList = 21;
constexpr uint32_t MsgSelectMonitor = 22;
// End-to-end encryption (23..29): a peer that knows nothing of them drops them as unknown codes.
constexpr uint32_t MsgSecureHello = 23;    // viewer -> host: first handshake message
constexpr uint32_t MsgSecureReply = 24;    // host -> viewer: ephemeral key, identity key, signature
constexpr uint32_t MsgSecureConfirm = 25;  // viewer -> host: key confirmation
constexpr uint32_t MsgSecureAbort = 26;    // either way: 1 byte reason, the handshake is over
constexpr uint32_t MsgSealed = 27;         // either way: one sealed session message
constexpr uint32_t MsgSecureAdmitted = 28; // host -> viewer, only ever inside MsgSealed
constexpr uint32_t MsgSecureSecondShare = 29;  // host -> viewer, before the reply: its second password's share
constexpr uint32_t FirstSecureMsg = MsgSecureHello;
constexpr uint32_t LastSecureMsg = MsgSecureSecondShare;
inline bool IsSecureMsg(uint32_t ACode) { return ACode >= FirstSecureMsg && ACode <= LastSecureMsg; }
constexpr uint32_t MsgMouse = 32;
constexpr uint32_t MsgKey = 33;
constexpr uint32_t MsgClipboard = 40;
constexpr uint32_t MsgChat = 41;
constexpr uint32_t MsgFileBegin = 48;
constexpr uint32_t MsgFileChunk = 49;
constexpr uint32_t MsgFileEnd = 50;
constexpr uint32_t MsgFileReady = 51;
constexpr uint32_t MsgFileError = 52;
constexpr uint32_t MsgFileGet = 53;
// viewer -> host: stop sending file number N of the session (uint32 LE, counting from 1 in the
// order of the host's MsgFileBegin); a host without it sends on, and the viewer drops the rest.
// Without a payload: the viewer gave up the file it is sending, so the host removes what it
// got; a host without it keeps the short file, as after any upload that ended early.
constexpr uint32_t MsgFileCancel = 54;
constexpr uint32_t MsgListDir = 56;
constexpr uint32_t MsgDirListing = 57;
constexpr uint32_t MsgRelayError = 255;  // relay -> viewer: error text

// Quality presets (the byte of MsgQuality, the viewer's and the main window's lists in this
// order): the name the lists show, the host's JPEG quality and its pause between captures.
// Any other value is standard. Smooth has no fixed pause and no fixed quality: the host paces it
// by the frame window and lets the line choose the quality (host/SmoothPacing.h); its JpegQuality
// is where that starts. A host that knows only the first three presets streams it as standard.
constexpr int QualityFast = 0;
constexpr int QualityStandard = 1;
constexpr int QualityHigh = 2;
constexpr int QualitySmooth = 3;
struct TQualityPreset {
  const char* Name;  // UTF-8
  int JpegQuality;
  int PauseMs;
};
inline constexpr TQualityPreset QualityPresets[] = {
    {"빠름", 45, 50},
    {"표준", 62, 80},
    {"고화질", 82, 120},
    {"부드럽게", 45, 0},
};
static_assert(sizeof QualityPresets / sizeof QualityPresets[0] == QualitySmooth + 1, "one entry per preset, in order");
constexpr bool IsQualityPreset(int APreset) { return APreset >= QualityFast && APreset <= QualitySmooth; }
constexpr const TQualityPreset& QualityPresetFor(int APreset) {
  return QualityPresets[IsQualityPreset(APreset) ? APreset : QualityStandard];
}

// MsgQuality's second byte, when there is one: the tile codings the viewer decodes besides
// JPEG, as bits. A host that knows none reads only the first byte; a viewer that sends one byte
// (or a zero) is sent JPEG only. Every MsgQuality of a viewer carries the whole set again.
constexpr uint8_t DecodesPaletteTiles = 1;  // protocol/PaletteTile.h
// The codings this build decodes, and the MsgQuality payload that announces them with APreset.
uint8_t DecodedTileCodings();
TBytes QualityPayload(int APreset);
// The codings a MsgQuality payload announces.
inline uint8_t AnnouncedTileCodings(std::span<const uint8_t> APayload) {
  return APayload.size() >= 2 ? APayload[1] : 0;
}

constexpr uint32_t FirstSessionMsg = 17;
constexpr uint32_t LastSessionMsg = 57;
inline bool IsSessionMsg(uint32_t ACode) { return ACode >= FirstSessionMsg && ACode <= LastSessionMsg; }
// The session messages that travel sealed once a session is encrypted: every one except the
// handshake's own codes, which are in clear (MsgSealed is already sealed, MsgSecureAdmitted
// only ever inside it).
inline bool IsSealedSessionMsg(uint32_t ACode) {
  return IsSessionMsg(ACode) && !IsSecureMsg(ACode);
}

constexpr uint32_t RelayPort = 59000;
constexpr size_t FileChunkSize = 65536;
constexpr std::string_view AdmitRejectReason = "원격지 사용자가 접속을 거부했습니다";

// Splits on every TAB; empty fields are kept ("a\t\tb" gives three fields, "" gives one).
std::vector<std::string> SplitTabs(std::string_view AText);
// Splits on every CR LF; empty pieces are kept ("" gives no pieces at all).
std::vector<std::string> SplitCrLf(std::string_view AText);
// Field AIndex (0-based) or "" when the text has fewer fields.
std::string FieldAt(const std::vector<std::string>& AFields, size_t AIndex);

// "%s\t%s\t%s\tcontrol"
std::string BuildConnectRequest(std::string_view ATargetId, std::string_view AViewerName,
                                std::string_view AProof);

// Monitor list: lines "%d\t%d\t%d\t%d" (index, width, height, primary 1/0) joined by CR LF,
// none after the last.
struct TMonitorLine {
  int Index = 0;
  int Width = 0;
  int Height = 0;
  bool Primary = false;
};
std::string BuildMonitorList(const std::vector<TMonitorLine>& AMonitors);
// The viewer's reading: non-empty lines in order; a line with fewer than three fields makes
// no entry but still counts. Number is the line's 1-based position among the non-empty lines;
// WidthText and HeightText are the fields as sent (the viewer shows them as text).
struct TMonitorEntry {
  int Number = 0;
  std::string WidthText;
  std::string HeightText;
};
std::vector<TMonitorEntry> ParseMonitorList(std::string_view AText);

// Directory listing: first line "#DRIVES" or the path; then "D\tname\t0" / "F\tname\tsize";
// every line ends with CR LF. "!" + message (no line break) for a failure.
constexpr std::string_view DrivesHeader = "#DRIVES";
struct TDirEntry {
  bool IsDir = false;
  std::string Name;
  uint64_t Size = 0;
};
std::string BuildDirListing(std::string_view AFirstLine, const std::vector<TDirEntry>& AEntries);
std::string BuildDirListingError(std::string_view AMessage);

struct TDirListing {
  bool IsError = false;
  std::string ErrorText;  // without the "!"
  std::string Path;       // first line; "" when it was "#DRIVES"
  bool IsDrives = false;
  // Every later line with at least three fields: "D" lines are folders, all others files.
  struct TLine {
    bool IsDir = false;
    std::string Name;
    std::string SizeText;  // third field as sent
  };
  std::vector<TLine> Entries;
};
// Empty text: nullopt (the viewer changes nothing).
std::optional<TDirListing> ParseDirListing(std::string_view AText);

// "name\tsize" of MsgFileBegin, and the receivers' reading of it (at least two fields).
std::string BuildFileBegin(std::string_view AName, uint64_t ASize);
std::optional<std::string> FileBeginName(std::string_view AText);

}  // namespace tlm
