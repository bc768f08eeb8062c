// The consent question as a person at an unattended host meets it (time limit, a request the
// relay withdraws, names meant to fake the prompt), the admission record, the user's own end of
// a session, the one-time password, and a relay that stops reading.
#include <array>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <thread>

#include "host/PendingConsent.h"
#include "protocol/Credentials.h"
#include "tests/host/HostAgentFixture.h"

namespace tlm::test {
namespace {

using HostConsent = HostAgentFixture;
using HostUserControl = HostAgentFixture;
using HostStalledRelay = HostAgentFixture;

struct TLapseCase {
  const char* Name;
  int TimeoutMs;
  bool Withdraw;         // the relay withdraws the request while the prompt is open
  std::string Log;
  EAdmission How;
};

// The prompt stays open (like a modal box nobody answers) until the agent closes it.
TEST_F(HostConsent, UnansweredPromptLapsesOrIsWithdrawn) {
  const TLapseCase cases[] = {
      {"time-out", 300, false, "접속 요청 시간 초과, 거부됨: Kim (10.0.0.7)", EAdmission::TimedOut},
      {"withdrawn", 60000, true, "접속 요청 취소됨: Kim (10.0.0.7)", EAdmission::Withdrawn},
  };
  for (const TLapseCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Logs.clear();
    THostTimings t = ShortTimings();
    t.ConsentTimeoutMs = c.TimeoutMs;
    auto end = StartRegistered("", t);
    bool closed = false, closedInTime = false;
    std::vector<EAdmission> record;
    Agent->OnConsentClosed = [&] { closed = true; };
    Agent->OnAdmission = [&](const std::string& AName, const std::string& AIP, EAdmission AHow) {
      EXPECT_EQ(AName + "|" + AIP, "Kim|10.0.0.7");
      record.push_back(AHow);
    };
    AnswerConsentWith([&](const std::string&, const std::string&, bool& AAllow) {
      if (c.Withdraw) end->Send(MsgAdmitWithdrawn);
      closedInTime = Ui.RunUntil([&] { return closed; }, 5000);
      AAllow = true;  // a click after the question lapsed counts for nothing
    });
    const auto asked = std::chrono::steady_clock::now();
    end->SendText(MsgAdmitRequest, "10.0.0.7\tKim\t");
    TPacket answer = end->Next();
    EXPECT_EQ(answer.Type, MsgAdmitReject);
    EXPECT_EQ(TextOf(answer.Payload), AdmitRejectReason);
    EXPECT_TRUE(closedInTime);
    if (c.Withdraw) {
      EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
    }
    EXPECT_TRUE(WaitFor([&] { return Has(Logs, c.Log); })) << c.Log;
    EXPECT_TRUE(WaitFor([&] { return record.size() == 1; }));
    if (!record.empty()) {
      EXPECT_EQ(record[0], c.How);
    }
    EXPECT_TRUE(end->Quiet(200)) << "no second answer";
    EXPECT_TRUE(Agent->Connected());
    Agent.reset();
  }
}

// Every way an admission request ends, in the order a person and a relay may produce them.
// The question is answered from outside the prompt (AnswerConsent with its ticket), so the
// test decides when the answer comes. Each request ends exactly once: one answer on the wire,
// one entry in the admission record, and the prompt closed only when the user did not answer.
TEST_F(HostConsent, EachRequestEndsExactlyOnce) {
  enum EStep { Ask, AskWithProof, AskWhileOpen, Allow, Refuse, Withdraw, Lapse };
  struct TCase {
    const char* Name;
    std::vector<EStep> Steps;
    std::vector<uint32_t> Answers;  // on the wire, in order
    std::vector<EAdmission> Record;
    int Closed;  // OnConsentClosed calls
  };
  const TCase cases[] = {
      {"password", {AskWithProof}, {MsgAdmitAccept}, {EAdmission::Password}, 0},
      {"consent yes", {Ask, Allow}, {MsgAdmitAccept}, {EAdmission::Accepted}, 0},
      {"consent no", {Ask, Refuse}, {MsgAdmitReject}, {EAdmission::Refused}, 0},
      {"deadline, then a late click", {Ask, Lapse, Allow}, {MsgAdmitReject}, {EAdmission::TimedOut}, 1},
      {"withdrawn before the answer", {Ask, Withdraw, Allow}, {MsgAdmitReject}, {EAdmission::Withdrawn}, 1},
      {"withdrawn after the answer", {Ask, Allow, Withdraw}, {MsgAdmitAccept}, {EAdmission::Accepted}, 0},
      {"answered twice", {Ask, Refuse, Allow}, {MsgAdmitReject}, {EAdmission::Refused}, 0},
      {"two requests in a row", {Ask, Refuse, Ask, Allow}, {MsgAdmitReject, MsgAdmitAccept},
       {EAdmission::Refused, EAdmission::Accepted}, 0},
      {"a second request while one is open", {Ask, AskWhileOpen, Allow}, {MsgAdmitReject, MsgAdmitAccept},
       {EAdmission::Accepted}, 0},
  };
  const std::string hash = HashPassword("pw");
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Chats.clear();
    THostTimings t = ShortTimings();
    t.ConsentTimeoutMs = 1500;
    auto end = StartRegistered(hash, t);
    std::vector<TConsentQuestion> asked;
    std::vector<EAdmission> record;
    int closed = 0;
    Agent->OnConsent = [&](const TConsentQuestion& AQuestion) { asked.push_back(AQuestion); };
    Agent->OnConsentClosed = [&] { closed++; };
    Agent->OnAdmission = [&](const std::string&, const std::string&, EAdmission AHow) { record.push_back(AHow); };
    // A chat line after a step comes back only once the reader has handled what came before.
    const auto settle = [&] {
      end->SendText(MsgChat, "sync");
      const size_t n = Chats.size() + 1;
      EXPECT_TRUE(WaitFor([&] { return Chats.size() == n; }));
    };
    for (EStep step : c.Steps) {
      switch (step) {
        case Ask: {
          const size_t n = asked.size() + 1;
          end->SendText(MsgAdmitRequest, "10.0.0.7\tKim\t");
          EXPECT_TRUE(WaitFor([&] { return asked.size() == n; }));
          break;
        }
        case AskWithProof:
          end->SendText(MsgAdmitRequest, "10.0.0.7\tKim\t" + MakeSessionProof("123456789", hash));
          settle();
          break;
        case AskWhileOpen:
          end->SendText(MsgAdmitRequest, "10.0.0.8\tLee\t");
          settle();
          break;
        case Allow:
        case Refuse:
          ASSERT_FALSE(asked.empty());
          Agent->AnswerConsent(asked.back().Ticket, step == Allow);
          settle();
          break;
        case Withdraw:
          end->Send(MsgAdmitWithdrawn);
          settle();
          break;
        case Lapse: {
          const int before = closed;
          EXPECT_TRUE(WaitFor([&] { return closed > before; }));
          break;
        }
      }
    }
    for (uint32_t type : c.Answers) EXPECT_EQ(end->Next().Type, type);
    EXPECT_TRUE(end->Quiet(300)) << "no further answer";
    EXPECT_TRUE(WaitFor([&] { return record.size() >= c.Record.size(); }));
    Ui.RunUntil([] { return false; }, 100);
    EXPECT_EQ(record, c.Record);
    EXPECT_EQ(closed, c.Closed);
    Agent.reset();
  }
}

TEST(PendingConsent, OneRecordEndedOnceAndLapsingAcrossTheTickWrap) {
  TPendingConsent pending;
  const uint32_t nearWrap = 0xFFFFFF00u;
  const std::optional<uint64_t> first = pending.Open("Kim", "10.0.0.7", nearWrap, 1000);
  ASSERT_TRUE(first);
  EXPECT_FALSE(pending.Open("Lee", "10.0.0.8", nearWrap, 1000)) << "one question at a time";
  EXPECT_FALSE(pending.Lapsed(nearWrap + 999));
  EXPECT_EQ(pending.Lapsed(nearWrap + 1000), first) << "the deadline counts across the wrap";
  EXPECT_FALSE(pending.End(*first + 1)) << "another ticket ends nothing";
  const std::optional<TPendingConsent::TRequest> ended = pending.End(*first);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->ViewerName, "Kim");
  EXPECT_FALSE(pending.End(*first)) << "the first end wins";
  EXPECT_FALSE(pending.Current());
  const std::optional<uint64_t> second = pending.Open("Lee", "10.0.0.8", 0, 1000);
  ASSERT_TRUE(second);
  EXPECT_NE(*second, *first) << "a later request never takes an earlier answer";
}

// While the question is open the reader still serves the relay: keep-alives go out, other
// packets are handled, and a second request is declined at once.
TEST_F(HostConsent, RelayIsServedWhileThePromptIsOpen) {
  THostTimings t = ShortTimings();
  t.KeepAliveMs = 100;
  auto end = StartRegistered("", t);
  bool prompted = false;
  AnswerConsentWith([&](const std::string&, const std::string&, bool& AAllow) {
    prompted = true;
    // Everything here happens while the prompt is open; waits pump this thread like its loop.
    EXPECT_EQ(end->Next(5000, true).Type, MsgKeepAlive);
    end->SendText(MsgChat, "are you there?");
    EXPECT_TRUE(Ui.RunUntil([&] { return Chats.size() == 1; }, 5000));
    end->SendText(MsgAdmitRequest, "10.0.0.8\tLee\t");
    EXPECT_EQ(end->Next().Type, MsgAdmitReject);
    AAllow = true;
  });
  end->SendText(MsgAdmitRequest, "10.0.0.7\tKim\t");
  EXPECT_EQ(end->Next().Type, MsgAdmitAccept);
  EXPECT_TRUE(prompted);
  EXPECT_TRUE(end->Quiet(200));
}

TEST_F(HostConsent, ViewerNamesCannotFakeThePrompt) {
  struct TCase {
    const char* Name;
    std::string Sent;
    std::string Shown;
  } cases[] = {
      {"line separator", "Kim\u2028Bank of Korea", "Kim Bank of Korea"},
      {"direction override", "\u202Eeciffo kcab", " eciffo kcab"},
      {"controls", "a\r\nb\x1b[2Jc", "a  b [2Jc"},
      {"zero width", "Ki\u200Bm", "Ki m"},
      {"long", std::string(300, 'x'), std::string(64, 'x')},
      {"korean passes", "김철수", "김철수"},
  };
  auto end = StartRegistered();
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::string asked;
    AnswerConsentWith([&](const std::string& AName, const std::string&, bool& AAllow) {
      asked = AName;
      AAllow = false;
    });
    Logs.clear();
    end->SendText(MsgAdmitRequest, "10.0.0.7\t" + c.Sent + "\t");
    EXPECT_EQ(end->Next().Type, MsgAdmitReject);
    EXPECT_EQ(asked, c.Shown);
    EXPECT_TRUE(WaitFor([&] { return Has(Logs, "접속 거부: " + c.Shown + " (10.0.0.7)"); }));
  }
}

// The prompt can tell the user why it asks: no password, a wrong one, or none set here.
TEST_F(HostConsent, TheQuestionSaysWhyTheUserIsAsked) {
  struct TCase {
    const char* Name;
    std::string HostPassword;
    std::string ViewerPassword;
    EConsentCause Cause;
  } const cases[] = {
      {"no proof", "pw", "", EConsentCause::NoPassword},
      {"wrong proof", "pw", "pv", EConsentCause::WrongPassword},
      // Without an unattended password the host still has its one-time password: a proof that
      // matches neither is a wrong one.
      {"a proof to a host with only its one-time password", "", "pw", EConsentCause::WrongPassword},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    auto end = StartRegistered(c.HostPassword.empty() ? "" : HashPassword(c.HostPassword));
    std::optional<EConsentCause> cause;
    Agent->OnConsent = [&](const TConsentQuestion& AQuestion) {
      cause = AQuestion.Cause;
      Agent->AnswerConsent(AQuestion.Ticket, false);
    };
    const std::string proof = c.ViewerPassword.empty() ? "" : MakeSessionProof("123456789", HashPassword(c.ViewerPassword));
    end->SendText(MsgAdmitRequest, "10.0.0.7\tKim\t" + proof);
    EXPECT_EQ(end->Next().Type, MsgAdmitReject);
    ASSERT_TRUE(cause);
    EXPECT_EQ(*cause, c.Cause);
    Agent.reset();
  }
}

TEST_F(HostConsent, EveryDecisionReachesTheRecord) {
  auto end = StartRegistered(HashPassword("pw"));
  std::vector<std::string> record;
  Agent->OnAdmission = [&](const std::string& AName, const std::string& AIP, EAdmission AHow) {
    record.push_back(AName + "|" + AIP + "|" + AdmissionText(AHow));
  };
  bool allow = true;
  AnswerConsentWith([&](const std::string&, const std::string&, bool& AAllow) { AAllow = allow; });
  end->SendText(MsgAdmitRequest, "1.1.1.1\tA\t" + MakeSessionProof("123456789", HashPassword("pw")));
  EXPECT_EQ(end->Next().Type, MsgAdmitAccept);
  end->SendText(MsgAdmitRequest, "2.2.2.2\tB\t");
  EXPECT_EQ(end->Next().Type, MsgAdmitAccept);
  allow = false;
  end->SendText(MsgAdmitRequest, "3.3.3.3\tC\t");
  EXPECT_EQ(end->Next().Type, MsgAdmitReject);
  EXPECT_TRUE(WaitFor([&] { return record.size() == 3; }));
  EXPECT_EQ(record, (std::vector<std::string>{"A|1.1.1.1|비밀번호", "B|2.2.2.2|동의", "C|3.3.3.3|거부"}));
}

// ---- the user ends the session ----

TEST_F(HostUserControl, EndSessionRegistersAgainAtOnceWithTheSameKey) {
  THostTimings t = ShortTimings();
  t.ReconnectWaitMs = 60000;  // only the user's own end may skip the wait
  auto end = StartRegistered("", t);
  Agent->EndSessionByUser();  // outside a session: nothing happens
  EXPECT_TRUE(end->Quiet(200));
  end->Send(MsgSessionStart);
  end->NextOf(MsgMonitorList);
  ASSERT_TRUE(WaitFor([&] { return SessionStarts == 1; }));
  end->Send(MsgKey, PackKeyEvent(TKeyEventRec{0x10, 0x2A, 0, 0}));  // shift held
  ASSERT_TRUE(Input.WaitForRecords(1, std::chrono::seconds(5)));
  Agent->EndSessionByUser();
  EXPECT_TRUE(end->WaitClosed());
  auto again = Relay.AcceptRegistered(DeviceKey, "123456789");
  ASSERT_TRUE(again);
  EXPECT_TRUE(WaitFor([&] { return SessionEnds == 1 && Agent->ID() == "123456789" && Agent->Connected(); }));
  EXPECT_FALSE(Agent->InSession());
  EXPECT_TRUE(Has(Logs, "사용자가 연결을 끊었습니다"));
  EXPECT_FALSE(HasPrefix(Statuses, "재연결 대기 중"));
  EXPECT_EQ(Input.KeyInputs().back(), (TKeyInput{0x10, 0x2A, 2}));
}

// After the user pressed "연결 끊기" the viewer may come straight back with the same proof (by
// hand, or by its own retry when the relay cut it off mid-packet): for a while the user decides,
// not the password; after that the password admits by itself again.
TEST_F(HostUserControl, RightPasswordAsksTheUserForAWhileAfterTheUserEndedASession) {
  struct TCase {
    const char* Name;
    uint32_t HoldMs;
    bool Asked;
  } const cases[] = {
      {"right after the end", 60000, true},
      {"after the hold", 0, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    THostTimings t = ShortTimings();
    t.PasswordHoldAfterUserEndMs = c.HoldMs;
    auto end = StartRegistered(HashPassword("pw"), t);
    const std::string request = "10.0.0.7\tKim\t" + MakeSessionProof("123456789", HashPassword("pw"));
    end->SendText(MsgAdmitRequest, request);
    ASSERT_EQ(end->Next().Type, MsgAdmitAccept);
    end->Send(MsgSessionStart);
    end->NextOf(MsgMonitorList);
    ASSERT_TRUE(WaitFor([&] { return Agent->InSession(); }));
    Agent->EndSessionByUser();
    EXPECT_TRUE(end->WaitClosed());
    auto again = Relay.AcceptRegistered(DeviceKey, "123456789");
    ASSERT_TRUE(again);
    std::optional<EConsentCause> asked;
    Agent->OnConsent = [&](const TConsentQuestion& AQuestion) {
      asked = AQuestion.Cause;
      Agent->AnswerConsent(AQuestion.Ticket, false);
    };
    again->SendText(MsgAdmitRequest, request);
    EXPECT_EQ(again->Next().Type, c.Asked ? MsgAdmitReject : MsgAdmitAccept);
    EXPECT_EQ(asked.has_value(), c.Asked);
    if (asked) {
      EXPECT_EQ(*asked, EConsentCause::JustEnded);
    }
    Agent.reset();
  }
}

// The one-time password: a new one at every start and after every session, and on the user's
// demand; a proof made with it admits like the unattended password, with or without one set,
// and the one before stops working.
TEST_F(HostUserControl, TheOneTimePasswordAdmitsOnceAndIsRenewed) {
  for (const char* permanent : {"", "pw"}) {
    SCOPED_TRACE(*permanent ? "with a password" : "without a password");
    std::vector<std::string> shown;
    MakeAgent(*permanent ? HashPassword(permanent) : "", ShortTimings());
    Agent->OnOneTimePassword = [&](const std::string& AText) { shown.push_back(AText); };
    std::optional<EConsentCause> asked;
    Agent->OnConsent = [&](const TConsentQuestion& AQuestion) {
      asked = AQuestion.Cause;
      Agent->AnswerConsent(AQuestion.Ticket, false);
    };
    Agent->Start();
    auto end = Relay.AcceptRegistered(DeviceKey, "123456789");
    ASSERT_TRUE(end);
    ASSERT_TRUE(WaitFor([&] { return shown.size() == 1; }));
    const auto requestWith = [](const std::string& APassword) {
      return "10.0.0.7\tKim\t" + MakeSessionProof("123456789", HashPassword(APassword));
    };
    // The answer to an admission request; frames of the session before may still come first.
    const auto answer = [&] {
      TPacket p = end->Next();
      while (p.Type == MsgFrame || p.Type == MsgMonitorList) p = end->Next();
      return p.Type;
    };
    const std::string first = shown[0];
    end->SendText(MsgAdmitRequest, requestWith(first));
    ASSERT_EQ(answer(), MsgAdmitAccept);
    EXPECT_FALSE(asked);
    end->Send(MsgSessionStart);
    end->NextOf(MsgMonitorList);
    end->Send(MsgSessionEnd);
    ASSERT_TRUE(WaitFor([&] { return shown.size() == 2; }));  // the session's end renews it
    EXPECT_NE(shown[1], first);
    end->SendText(MsgAdmitRequest, requestWith(first));
    EXPECT_EQ(answer(), MsgAdmitReject);
    ASSERT_TRUE(asked);
    EXPECT_EQ(*asked, EConsentCause::WrongPassword);

    Agent->RenewOneTimePassword();
    ASSERT_TRUE(WaitFor([&] { return shown.size() == 3; }));
    asked.reset();
    end->SendText(MsgAdmitRequest, requestWith(shown[1]));
    EXPECT_EQ(answer(), MsgAdmitReject);
    EXPECT_TRUE(asked);
    asked.reset();
    end->SendText(MsgAdmitRequest, requestWith(shown[2]));
    EXPECT_EQ(answer(), MsgAdmitAccept);
    EXPECT_FALSE(asked);
    if (*permanent) {
      end->Send(MsgSessionEnd);
      end->SendText(MsgAdmitRequest, requestWith(permanent));  // the unattended one still works
      EXPECT_EQ(answer(), MsgAdmitAccept);
    }
    Agent.reset();
  }
}

// "보기만 허용" comes with the answer: in time it holds for the session it admits; an answer to a
// question that lapsed changes nothing, so a later session is not left without input.
TEST_F(HostUserControl, ViewOnlyComesWithATimelyAnswerOnly) {
  THostTimings t = ShortTimings();
  t.ConsentTimeoutMs = 300;
  MakeAgent("", t);
  std::optional<uint64_t> ticket;
  int closed = 0;
  Agent->OnConsent = [&](const TConsentQuestion& AQuestion) { ticket = AQuestion.Ticket; };
  Agent->OnConsentClosed = [&] { ++closed; };
  Agent->Start();
  auto end = Relay.AcceptRegistered(DeviceKey, "123456789");
  ASSERT_TRUE(end);
  end->SendText(MsgAdmitRequest, "10.0.0.7\tKim\t");
  ASSERT_TRUE(WaitFor([&] { return closed == 1; }));  // nobody answered in time
  EXPECT_EQ(end->Next().Type, MsgAdmitReject);
  Agent->AnswerConsent(*ticket, true, true);
  EXPECT_FALSE(Agent->ViewOnly());

  ticket.reset();
  end->SendText(MsgAdmitRequest, "10.0.0.7\tKim\t");
  ASSERT_TRUE(WaitFor([&] { return ticket.has_value(); }));
  Agent->AnswerConsent(*ticket, true, true);
  EXPECT_EQ(end->Next().Type, MsgAdmitAccept);
  EXPECT_TRUE(Agent->ViewOnly());
  EXPECT_TRUE(WaitFor([&] { return Has(Logs, "보기만 허용: 상담원의 입력은 이 컴퓨터에 전달되지 않습니다"); }));
}

TEST(OneTimePassword, SixDigitsEachEquallyLikely) {
  std::array<int, 10> counts{};
  std::set<std::string> seen;
  constexpr int Draws = 2000;
  for (int i = 0; i < Draws; ++i) {
    const std::string text = NewOneTimePassword();
    ASSERT_EQ(text.size(), OneTimePasswordDigits);
    for (const char c : text) {
      ASSERT_TRUE(c >= '0' && c <= '9') << text;
      ++counts[size_t(c - '0')];
    }
    seen.insert(text);
  }
  EXPECT_GT(seen.size(), size_t(Draws * 99 / 100));  // repeats are rare among a million values
  // 1200 of each digit expected; the bound catches a broken source, not a faint skew.
  for (int c : counts) EXPECT_NEAR(c, Draws * int(OneTimePasswordDigits) / 10, 200);
}

// ---- a relay that stops reading ----

// A download fills the socket buffers of a relay that reads nothing: the host must give up the
// connection after the stall limit, end the session and register again, not hang. Meanwhile
// the user-interface thread's sends return at once: they are queued, and dropped once the
// queue is full.
TEST_F(HostStalledRelay, StalledWritesEndTheConnection) {
  const std::string big = Home.Sub("big.bin");
  {
    std::ofstream out(big, std::ios::binary);
  }
  std::filesystem::resize_file(big, 64 << 20);
  THostTimings t = ShortTimings();
  t.WriteStallMs = 4000;
  auto end = StartRegistered("", t);
  end->Send(MsgSessionStart);
  end->NextOf(MsgMonitorList);
  end->SendText(MsgFileGet, big);
  // From here the relay reads nothing more from this connection; the socket fills up.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const std::string copied(1 << 20, 'c');
  const auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(Agent->SendChat("여보세요"));
  int queued = 0;
  for (int i = 0; i < 12; ++i) queued += Agent->PushClipboard(copied) ? 1 : 0;
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1))
      << "a user-interface call waited for the stalled connection";
  EXPECT_GT(queued, 0);
  EXPECT_LT(queued, 12) << "the send queue has a bound";
  auto again = Relay.Accept(15000);
  ASSERT_TRUE(again) << "the host never gave up the stalled connection";
  EXPECT_EQ(again->Next().Type, MsgHostRegister);
  EXPECT_TRUE(WaitFor([&] { return SessionEnds == 1; }));
  EXPECT_TRUE(WaitFor([&] { return Has(Logs, "연결 끊김: 서버가 데이터를 받지 않습니다 (시간 초과) (Write stalled)"); }));
}

TEST(HostLossText, KnownCausesReadInKoreanWithTheSystemText) {
  const std::pair<std::string, std::string> cases[] = {
      {"connect: Connection refused", "서버가 연결을 거부했습니다 (connect: Connection refused)"},
      {"Connection timed out", "응답 시간 초과 (Connection timed out)"},
      {"Read timed out", "응답 시간 초과 (Read timed out)"},
      {"Cannot resolve relay.example: Name or service not known",
       "서버 이름을 찾을 수 없습니다 (Cannot resolve relay.example: Name or service not known)"},
      {"Connection closed by peer", "서버가 연결을 닫았습니다 (Connection closed by peer)"},
      {"Packet too large (67108865 bytes)", "Packet too large (67108865 bytes)"},
  };
  for (const auto& [system, shown] : cases) EXPECT_EQ(ConnectionLossText(system), shown);
}

}  // namespace
}  // namespace tlm::test
