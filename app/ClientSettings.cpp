#include "app/ClientSettings.h"

#include <fstream>

#include "protocol/DisplayName.h"

namespace tlm {

namespace {

std::string Trimmed(const std::string& AText) {
  const size_t first = AText.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  return AText.substr(first, AText.find_last_not_of(" \t\r\n") - first + 1);
}

// A DNS name, an IPv4 address or an IPv6 address in brackets or bare.
bool HostShaped(const std::string& AHost) {
  if (AHost.empty() || AHost.size() > 253) return false;
  const bool ipv6 = AHost.find(':') != std::string::npos;
  for (const char c : AHost) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '-' || (ipv6 && (c == ':' || c == '[' || c == ']'));
    if (!ok) return false;
  }
  // "host:port" has one colon; an IPv6 address has at least two.
  if (ipv6 && AHost.find(':') == AHost.rfind(':')) return false;
  return AHost.front() != '-' && AHost.front() != '.';
}

}  // namespace

bool CheckClientSettings(TClientSettings& ASettings, std::string& AError) {
  ASettings.MyName = Trimmed(ASettings.MyName);
  ASettings.RelayHost = Trimmed(ASettings.RelayHost);
  ASettings.RelayCa = Trimmed(ASettings.RelayCa);
  if (ASettings.MyName.empty()) {
    AError = "상대방에게 보일 이름을 입력하세요.";
    return false;
  }
  if (CleanDisplayName(ASettings.MyName, MaxDisplayNameChars + 1) != ASettings.MyName) {
    AError = "이름에 쓸 수 없는 문자가 있습니다.";
    return false;
  }
  if (CleanDisplayName(ASettings.MyName) != ASettings.MyName) {
    AError = "이름은 64자까지 쓸 수 있습니다.";
    return false;
  }
  if (!ASettings.RelayHost.empty() && !HostShaped(ASettings.RelayHost)) {
    AError = "중계 서버 주소는 호스트 이름이나 IP 주소만 씁니다 (포트는 59000으로 정해져 있습니다).";
    return false;
  }
  if (!ASettings.RelayCa.empty() && !std::ifstream(ASettings.RelayCa, std::ios::binary).good()) {
    AError = "인증서 파일을 읽을 수 없습니다: " + ASettings.RelayCa;
    return false;
  }
  AError.clear();
  return true;
}

}  // namespace tlm
