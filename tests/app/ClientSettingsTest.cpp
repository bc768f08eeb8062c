// The settings dialog's rules, without the dialog.
#include <gtest/gtest.h>

#include <fstream>

#include "app/ClientSettings.h"
#include "tests/support/TempFiles.h"

namespace tlm {
namespace {

TEST(ClientSettingsTest, RulesForNameRelayAndCertificate) {
  test::TTempHome home;
  const std::string ca = home.Sub("relay-ca.pem");
  std::ofstream(ca) << "-----BEGIN CERTIFICATE-----\n";
  struct TCase {
    TClientSettings In;
    bool Ok;
    TClientSettings Out;  // when Ok
    const char* ErrorStart;
  } cases[] = {
      {{"  지원팀 김  ", " relay.example.com ", true, " " + ca}, true, {"지원팀 김", "relay.example.com", true, ca}, ""},
      {{"PC", "", false, ""}, true, {"PC", "", false, ""}, ""},
      {{"PC", "10.0.0.5", false, ""}, true, {"PC", "10.0.0.5", false, ""}, ""},
      {{"PC", "fd00::1", false, ""}, true, {"PC", "fd00::1", false, ""}, ""},
      {{"   ", "", false, ""}, false, {}, "상대방에게 보일 이름"},
      {{"a\u202Eb", "", false, ""}, false, {}, "이름에 쓸 수 없는"},
      {{"line\nbreak", "", false, ""}, false, {}, "이름에 쓸 수 없는"},
      {{std::string(65, 'x'), "", false, ""}, false, {}, "이름은 64자"},
      {{std::string(64, 'x'), "", false, ""}, true, {std::string(64, 'x'), "", false, ""}, ""},
      {{"PC", "relay.example.com:59000", false, ""}, false, {}, "중계 서버 주소는"},
      {{"PC", "relay example", false, ""}, false, {}, "중계 서버 주소는"},
      {{"PC", "-rf", false, ""}, false, {}, "중계 서버 주소는"},
      {{"PC", "", true, home.Sub("missing.pem")}, false, {}, "인증서 파일을 읽을 수 없습니다: "},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.In.MyName + " | " + c.In.RelayHost + " | " + c.In.RelayCa);
    std::string error = "stale";
    TClientSettings s = c.In;
    EXPECT_EQ(CheckClientSettings(s, error), c.Ok) << error;
    if (c.Ok) {
      EXPECT_EQ(s, c.Out);
      EXPECT_EQ(error, "");
    } else {
      EXPECT_EQ(error.rfind(c.ErrorStart, 0), 0u) << error;
    }
  }
}

}  // namespace
}  // namespace tlm
