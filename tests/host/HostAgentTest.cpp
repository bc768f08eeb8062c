// Relay connection, registration, keep-alive, reconnect, admission, chat, clipboard and the
// agent's shutdown.
#include "tests/host/HostAgentFixture.h"
#include "tests/support/Loopback.h"

#include <thread>

namespace tlm::test {
namespace {

using HostLifecycle = HostAgentFixture;
using HostAdmission = HostAgentFixture;
using HostTextChannels = HostAgentFixture;
using HostShutdown = HostAgentFixture;

TEST(HostTick, ElapsedSurvivesTheWrap) {
  EXPECT_TRUE(TickElapsed(20000, 0, 20000));
  EXPECT_FALSE(TickElapsed(19999, 0, 20000));
  EXPECT_TRUE(TickElapsed(0x00004E00u, 0xFFFFFF00u, 20000));   // 0x4F00 = 20224 ms across the wrap
  EXPECT_FALSE(TickElapsed(0x00000100u, 0xFFFFFF00u, 20000));  // 512 ms across the wrap
}

TEST_F(HostLifecycle, RegistersWithDeviceKeyAndShowsTheTrimmedId) {
  MakeAgent();
  Agent->Start();
  Agent->Start();  // a second Start makes no second connection
  auto end = Relay.Accept();
  ASSERT_TRUE(end);
  TPacket reg = end->Next();
  EXPECT_EQ(reg.Type, MsgHostRegister);
  EXPECT_EQ(TextOf(reg.Payload), DeviceKey);
  EXPECT_TRUE(WaitFor([&] { return Agent->Connected(); }));
  end->SendText(MsgHostId, " \t123456789\r\n");
  ASSERT_TRUE(WaitFor([&] { return !Ids.empty(); }));
  EXPECT_EQ(Ids.back(), "123456789");
  EXPECT_EQ(Agent->ID(), "123456789");
  EXPECT_TRUE(WaitFor([&] { return Has(Statuses, "대기 중 - 접속을 기다립니다"); }));
  EXPECT_EQ(Statuses.front(), "릴레이 서버에 연결하는 중...");
  EXPECT_FALSE(Relay.Accept(300)) << "a second connection";
  // A second ID on the same connection replaces the first.
  end->SendText(MsgHostId, "987654321");
  EXPECT_TRUE(WaitFor([&] { return Agent->ID() == "987654321" && Ids.back() == "987654321"; }));
}

TEST_F(HostLifecycle, IdleHostSendsOnlyKeepAlives) {
  THostTimings t = ShortTimings();
  t.KeepAliveMs = 100;
  auto end = StartRegistered("", t);
  for (int i = 0; i < 3; ++i) {
    TPacket p = end->Next(5000, true);
    EXPECT_EQ(p.Type, MsgKeepAlive);
    EXPECT_TRUE(p.Payload.empty());
  }
}

TEST_F(HostLifecycle, ReconnectsAfterTheRelayDropsTheConnection) {
  auto end = StartRegistered("", ShortTimings());
  end->Send(MsgSessionStart);
  end->NextOf(MsgMonitorList);
  ASSERT_TRUE(WaitFor([&] { return SessionStarts == 1; }));
  Ids.clear();
  end.reset();  // the relay goes away

  auto again = Relay.Accept();
  ASSERT_TRUE(again);
  TPacket reg = again->Next();
  EXPECT_EQ(reg.Type, MsgHostRegister);
  EXPECT_EQ(TextOf(reg.Payload), DeviceKey);
  EXPECT_TRUE(WaitFor([&] { return SessionEnds == 1 && !Ids.empty(); }));
  EXPECT_EQ(Ids.front(), "");
  EXPECT_TRUE(HasPrefix(Logs, "연결 끊김: "));
  EXPECT_TRUE(HasPrefix(Statuses, "재연결 대기 중... ("));
  EXPECT_FALSE(Agent->InSession());
  again->SendText(MsgHostId, "555");
  EXPECT_TRUE(WaitFor([&] { return Agent->ID() == "555"; }));
}

TEST_F(HostLifecycle, UnreachableRelayKeepsRetrying) {
  const uint16_t port = Relay.Port();
  Relay.Close();
  MakeAgent("", ShortTimings(), port);
  Agent->Start();
  auto failures = [&] {
    return std::count_if(Logs.begin(), Logs.end(), [](const std::string& s) { return s.rfind("연결 끊김: ", 0) == 0; });
  };
  ASSERT_TRUE(WaitFor([&] { return failures() >= 3; }));
  // Each attempt: connecting, then the wait; never anything else.
  for (size_t i = 0; i + 1 < Statuses.size(); i += 2) {
    EXPECT_EQ(Statuses[i], "릴레이 서버에 연결하는 중...");
    EXPECT_EQ(Statuses[i + 1].rfind("재연결 대기 중... (", 0), 0u) << Statuses[i + 1];
  }
  EXPECT_FALSE(Agent->Connected());
}

TEST_F(HostLifecycle, OversizedPacketDropsTheConnection) {
  auto end = StartRegistered("", ShortTimings());
  uint8_t header[8];
  PutLE32(header, MsgChat);
  PutLE32(header + 4, MaxPacketPayload + 1);
  end->Conn().WriteAll(header, sizeof header);
  EXPECT_TRUE(WaitFor([&] { return Has(Logs, "연결 끊김: Packet too large (67108865 bytes)"); }));
  EXPECT_TRUE(Relay.Accept());
}

TEST_F(HostLifecycle, StopAndStartAgain) {
  MakeAgent();
  Agent->Stop();  // never started: nothing happens
  Agent->Start();
  auto end = Relay.AcceptRegistered(DeviceKey, "1");
  Agent->Stop();
  Agent->Stop();
  EXPECT_FALSE(Agent->Running());
  EXPECT_TRUE(end->WaitClosed());
  Agent->Start();
  EXPECT_TRUE(Relay.AcceptRegistered(DeviceKey, "2"));
}

// ---- admission ----

struct TAdmitCase {
  const char* Name;
  std::string StoredPassword;   // "" = no password
  std::string Payload;          // after substitution of {proof}
  std::string ProofCase;        // "lower", "upper", "wrong", ""
  int Consent;                  // -1 no handler, 0 refuse, 1 allow
  bool ExpectConsentAsked;
  bool ExpectAccept;
  std::string ExpectLog;
};

TEST_F(HostAdmission, ByProofOrByConsent) {
  const std::string hash = HashPassword("s3cret");
  const std::string proof = MakeSessionProof("123456789", hash);
  std::string upper = proof;
  for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
  const TAdmitCase cases[] = {
      {"proof lower", "s3cret", "10.0.0.7\tKim\t" + proof, "", 1, false, true, "비밀번호 인증 접속 허용: Kim (10.0.0.7)"},
      {"proof upper", "s3cret", "10.0.0.7\tKim\t" + upper, "", -1, false, true, "비밀번호 인증 접속 허용: Kim (10.0.0.7)"},
      {"wrong proof, allowed", "s3cret", "10.0.0.7\tKim\t" + std::string(64, 'a'), "", 1, true, true,
       "사용자 동의 접속 허용: Kim (10.0.0.7)"},
      {"no password, proof", "", "10.0.0.7\tKim\t" + proof, "", 1, true, true, "사용자 동의 접속 허용: Kim (10.0.0.7)"},
      {"no proof, refused", "s3cret", "10.0.0.7\tKim\t", "", 0, true, false, "접속 거부: Kim (10.0.0.7)"},
      {"address only", "", "10.0.0.9", "", 0, true, false, "접속 거부: 10.0.0.9 (10.0.0.9)"},
      {"no handler", "", "10.0.0.7\tKim\t", "", -1, false, false, "접속 거부: Kim (10.0.0.7)"},
  };
  for (const TAdmitCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Statuses.clear();
    Logs.clear();
    auto end = StartRegistered(c.StoredPassword.empty() ? "" : HashPassword(c.StoredPassword));
    std::vector<std::pair<std::string, std::string>> asked;
    if (c.Consent >= 0) {
      AnswerConsentWith([&, allow = c.Consent == 1](const std::string& AName, const std::string& AIP, bool& AAllow) {
        asked.push_back({AName, AIP});
        AAllow = allow;
      });
    }
    end->SendText(MsgAdmitRequest, c.Payload);
    TPacket answer = end->Next();
    if (c.ExpectAccept) {
      EXPECT_EQ(answer.Type, MsgAdmitAccept);
      EXPECT_TRUE(answer.Payload.empty());
    } else {
      EXPECT_EQ(answer.Type, MsgAdmitReject);
      EXPECT_EQ(TextOf(answer.Payload), "원격지 사용자가 접속을 거부했습니다");
    }
    EXPECT_TRUE(WaitFor([&] { return Has(Logs, c.ExpectLog); })) << c.ExpectLog;
    EXPECT_EQ(!asked.empty(), c.ExpectConsentAsked);
    if (!asked.empty() && c.Payload == "10.0.0.9") {
      EXPECT_EQ(asked[0], std::make_pair(std::string("10.0.0.9"), std::string("10.0.0.9")));
    }
    if (c.ExpectAccept) {
      EXPECT_FALSE(Has(Statuses, "접속 거부됨 - 대기 중"));
    } else {
      EXPECT_TRUE(WaitFor([&] { return Has(Statuses, "접속 거부됨 - 대기 중"); }));
    }
    Agent.reset();
  }
}

TEST_F(HostAdmission, ChangedPasswordCountsForTheNextRequest) {
  auto end = StartRegistered(HashPassword("old"));
  Agent->ChangePassword(HashPassword("new"));
  end->SendText(MsgAdmitRequest, "1.2.3.4\tLee\t" + MakeSessionProof("123456789", HashPassword("new")));
  EXPECT_EQ(end->Next().Type, MsgAdmitAccept);
  end->SendText(MsgAdmitRequest, "1.2.3.4\tLee\t" + MakeSessionProof("123456789", HashPassword("old")));
  EXPECT_EQ(end->Next().Type, MsgAdmitReject);
}

TEST_F(HostAdmission, ConsentHandlerErrorDropsTheConnection) {
  auto end = StartRegistered("", ShortTimings());
  AnswerConsentWith([](const std::string&, const std::string&, bool&) { throw TError("prompt failed"); });
  end->SendText(MsgAdmitRequest, "1.2.3.4\tLee\t");
  EXPECT_TRUE(end->WaitClosed());
  EXPECT_TRUE(WaitFor([&] { return Has(Logs, "연결 끊김: prompt failed"); }));
}

// ---- chat, clipboard, unknown messages ----

TEST_F(HostTextChannels, ChatAndClipboardBothWays) {
  auto end = StartRegistered();
  EXPECT_FALSE(Agent->SendChat("too early"));
  EXPECT_FALSE(Agent->PushClipboard("too early"));
  end->SendText(MsgChat, "안녕하세요");
  end->SendText(MsgClipboard, "copied 텍스트");
  end->Send(MsgClipboard);
  ASSERT_TRUE(WaitFor([&] { return Chats.size() == 1 && Clipboard.Texts.size() == 2; }));
  EXPECT_EQ(Chats[0], "안녕하세요");
  EXPECT_EQ(Clipboard.Texts[0], "copied 텍스트");
  EXPECT_EQ(Clipboard.Texts[1], "");

  end->Send(MsgSessionStart);
  EXPECT_EQ(end->Next().Type, MsgMonitorList);  // nothing was sent before the session
  EXPECT_TRUE(Agent->SendChat("네"));
  TPacket chat = end->NextOf(MsgChat);
  EXPECT_EQ(TextOf(chat.Payload), "네");
  EXPECT_TRUE(Agent->PushClipboard(""));
  TPacket clip = end->NextOf(MsgClipboard);
  EXPECT_TRUE(clip.Payload.empty());

  // A clipboard that refuses does not disturb the connection.
  Clipboard.Throw = true;
  end->SendText(MsgClipboard, "x");
  end->SendText(MsgChat, "still here");
  EXPECT_TRUE(WaitFor([&] { return Chats.size() == 2; }));
  EXPECT_TRUE(Agent->Connected());
}

TEST_F(HostTextChannels, UnknownAndForeignTypesAreDropped) {
  auto end = StartRegistered();
  for (uint32_t type : {0u, 5u, 8u, 17u, 21u, 51u, 52u, 57u, 58u, 255u, 0xFFFFFFFFu}) end->SendText(type, "junk");
  end->SendText(MsgChat, "after");
  EXPECT_TRUE(WaitFor([&] { return Chats.size() == 1; }));
  EXPECT_TRUE(end->Quiet(200));
  EXPECT_TRUE(Agent->Connected());
}

// ---- shutdown ----

TEST_F(HostShutdown, StopWhileTheConsentQuestionIsQueued) {
  auto end = StartRegistered();
  bool asked = false;
  AnswerConsentWith([&](const std::string&, const std::string&, bool& AAllow) {
    asked = true;
    AAllow = true;
  });
  end->SendText(MsgAdmitRequest, "1.2.3.4\tLee\t");
  // Wait until the question is queued for this thread, without running it.
  for (int i = 0; i < 500 && Ui.QueuedCount() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  Agent->Stop();
  EXPECT_FALSE(asked) << "no prompt after Stop";
  EXPECT_TRUE(end->WaitClosed());
}

TEST_F(HostShutdown, StopFromInsideTheConsentPrompt) {
  auto end = StartRegistered();
  AnswerConsentWith([&](const std::string&, const std::string&, bool& AAllow) {
    // The user quits the program while the prompt is open.
    Agent.reset();
    AAllow = true;
  });
  end->SendText(MsgAdmitRequest, "1.2.3.4\tLee\t");
  ASSERT_TRUE(WaitFor([&] { return !Agent; }));
  TPacket p;
  bool accepted = false;
  try {
    while (end->Conn().WaitReadable(2000)) {
      p = ReadPacket(end->Conn());
      accepted = accepted || p.Type == MsgAdmitAccept;
    }
  } catch (const TConnectionError&) {
  }
  EXPECT_FALSE(accepted);
}

TEST_F(HostShutdown, QueuedEventsDoNothingAfterDestruction) {
  auto end = StartRegistered();
  // Packets that make the reader queue events while this thread does not pump.
  for (int i = 0; i < 20; ++i) end->SendText(MsgChat, "chat " + std::to_string(i));
  end->Send(MsgSessionStart);
  end->NextOf(MsgMonitorList, 5000);  // also pumps; the chats may be partly run
  Agent.reset();
  const size_t chats = Chats.size(), statuses = Statuses.size(), ids = Ids.size();
  const int ends = SessionEnds;
  Ui.RunPending();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Ui.RunPending();
  EXPECT_EQ(Chats.size(), chats);
  EXPECT_EQ(Statuses.size(), statuses);
  EXPECT_EQ(Ids.size(), ids);
  EXPECT_EQ(SessionEnds, ends);
}

TEST_F(HostShutdown, StopInterruptsConnectAndReconnectWait) {
  // A relay that never answers: the connect attempt hangs until Stop aborts it.
  TUnansweredListener silent;
  THostServices services;
  services.MakeScreen = [] { return std::make_shared<TFakeScreen>(640, 480); };
  Agent = std::make_unique<THostAgent>(Ui, "127.0.0.1", silent.Port(), DeviceKey, "", std::move(services),
                                       THostTimings{});
  Agent->Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Agent->Stop();  // returns without waiting for the 8000 ms connect time-out
  EXPECT_FALSE(Agent->Running());

  // And the reconnect wait.
  const uint16_t port = Relay.Port();
  Relay.Close();
  THostTimings slow = ShortTimings();
  slow.ReconnectWaitMs = 60000;
  MakeAgent("", slow, port);
  Agent->Start();
  ASSERT_TRUE(WaitFor([&] { return HasPrefix(Statuses, "재연결 대기 중... ("); }));
  Agent->Stop();
  EXPECT_FALSE(Agent->Running());
}

}  // namespace
}  // namespace tlm::test
