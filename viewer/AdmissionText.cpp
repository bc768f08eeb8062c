#include "viewer/AdmissionText.h"

#include <algorithm>

#include "protocol/Messages.h"

namespace tlm {

namespace {
// The relay's words for a host that did not answer in its own time limit.
constexpr std::string_view RelayTimeOutWord = "시간 초과";
}  // namespace

std::string AskingDespitePasswordText() {
  return "비밀번호로 바로 승인되지 않았습니다 (틀렸거나 상대방에 설정되지 않음). 상대방의 승인을 기다리는 중...";
}

std::string WrongPasswordAskingText() { return "비밀번호가 맞지 않아 상대방 승인 대기 중..."; }

bool RefusedByPartner(const std::string& ARelayText) {
  return ARelayText == AdmitRejectReason || ARelayText.find(RelayTimeOutWord) != std::string::npos;
}

std::string DescribeRefusal(const std::string& ARelayText, bool AProofGiven, int64_t AWaitedMs) {
  if (ARelayText == AdmitRejectReason) {
    const std::string asked = AProofGiven ? "비밀번호로 승인되지 않아 상대방에게 물었지만, " : "";
    if (AWaitedMs >= ConsentLapseMs) return asked + "상대방이 응답하지 않아 접속 요청이 거절되었습니다 (시간 초과)";
    return asked + "상대방이 접속을 거부했습니다";
  }
  return ARelayText;
}

int RetryDelaySeconds(int AAttempt) {
  const int attempt = std::clamp(AAttempt, 1, 6);
  return std::min(30, 1 << attempt);
}

}  // namespace tlm
