// The relay's refusal texts, shared by the relay (which sends them in MsgRelayError) and the
// client (which tells them apart), so neither side matches a text the other has reworded.
#pragma once

#include <string_view>

namespace tlm {

namespace relaytext {
inline constexpr std::string_view Offline = "상대방이 오프라인이거나 존재하지 않는 ID입니다";
inline constexpr std::string_view Busy = "상대방이 이미 다른 연결을 처리하고 있습니다. 잠시 후 다시 시도하세요";
inline constexpr std::string_view Malformed = "잘못된 접속 요청입니다";
inline constexpr std::string_view NoAnswer = "상대방이 응답하지 않습니다 (시간 초과)";
inline constexpr std::string_view HostLeft = "상대방의 연결이 끊어졌습니다";
inline constexpr std::string_view TooManyRequests = "접속 요청이 너무 많습니다. 잠시 후 다시 시도하세요";
inline constexpr std::string_view TooManyConnections = "릴레이 서버의 연결 수가 한도에 도달했습니다. 잠시 후 다시 시도하세요";
inline constexpr std::string_view Unavailable = "릴레이 서버에 일시적인 문제가 있습니다. 잠시 후 다시 시도하세요";
// Sent to a plain client of a TLS-only relay before it is closed.
inline constexpr std::string_view TlsRequired =
    "이 릴레이 서버는 암호화(TLS) 연결만 받습니다. TLS를 켜고 다시 접속하세요";
}  // namespace relaytext

enum class ERelayRefusal {
  Offline, Busy, Malformed, NoAnswer, HostLeft, TooManyRequests, TooManyConnections, Unavailable,
  TlsRequired,
  Other,  // a text this build does not know (an older or newer relay): shown as it stands
};

// Which refusal a relay's text is; exact match, since both ends build the text from this header.
inline ERelayRefusal ClassifyRelayRefusal(std::string_view AText) {
  using namespace relaytext;
  struct TEntry { std::string_view Text; ERelayRefusal Kind; };
  static constexpr TEntry Table[] = {
      {Offline, ERelayRefusal::Offline},
      {Busy, ERelayRefusal::Busy},
      {Malformed, ERelayRefusal::Malformed},
      {NoAnswer, ERelayRefusal::NoAnswer},
      {HostLeft, ERelayRefusal::HostLeft},
      {TooManyRequests, ERelayRefusal::TooManyRequests},
      {TooManyConnections, ERelayRefusal::TooManyConnections},
      {Unavailable, ERelayRefusal::Unavailable},
      {TlsRequired, ERelayRefusal::TlsRequired},
  };
  for (const auto& E : Table)
    if (E.Text == AText) return E.Kind;
  return ERelayRefusal::Other;
}

}  // namespace tlm
