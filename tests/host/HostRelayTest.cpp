// The agent against the real relay server (in process, ephemeral port) with a scripted viewer
// on its own connection: the whole dialogue of a session as the two programs see it.
#include "tests/host/HostAgentFixture.h"

#include "protocol/Frame.h"

namespace tlm::test {
namespace {

using HostThroughRelay = HostAgentFixture;

TEST_F(HostThroughRelay, ProofInAnyCaseAdmitsAndTheSessionStreams) {
  const std::string id = StartHost(HashPassword("pw"));
  std::string proof = MakeSessionProof(id, HashPassword("pw"));
  for (char& c : proof) c = char(std::toupper(static_cast<unsigned char>(c)));
  bool asked = false;
  AnswerConsentWith([&](const std::string&, const std::string&, bool&) { asked = true; });
  auto viewer = ViewerAsking(id, proof);
  EXPECT_EQ(viewer->Next().Type, MsgSessionStart);
  viewer->Send(MsgQuality, {0});
  TPacket list = viewer->Next();
  ASSERT_EQ(list.Type, MsgMonitorList);
  EXPECT_EQ(TextOf(list.Payload), "0\t1280\t1024\t0\r\n1\t1920\t1080\t1");
  TParsedFrame first = NextFrame(*viewer);
  EXPECT_EQ(first.FrameNo, 1u);
  EXPECT_TRUE(first.Keyframe);
  EXPECT_EQ(NextFrame(*viewer).FrameNo, 2u);
  EXPECT_TRUE(viewer->Quiet(300));
  viewer->Send(MsgFrameAck);
  EXPECT_EQ(NextFrame(*viewer).FrameNo, 3u);
  EXPECT_TRUE(viewer->Quiet(300));
  EXPECT_FALSE(asked);
  EXPECT_TRUE(WaitFor([&] { return Has(Logs, "비밀번호 인증 접속 허용: Viewer PC (127.0.0.1)"); }));
  EXPECT_TRUE(Agent->InSession());
}

TEST_F(HostThroughRelay, WrongProofGoesToConsentAndRefusalReachesTheViewer) {
  const std::string id = StartHost(HashPassword("pw"));
  std::vector<std::string> asked;
  AnswerConsentWith([&](const std::string& AName, const std::string& AIP, bool& AAllow) {
    asked.push_back(AName + "|" + AIP);
    AAllow = false;
  });
  auto viewer = ViewerAsking(id, MakeSessionProof(id, HashPassword("wrong")));
  TPacket refusal = viewer->Next();
  EXPECT_EQ(refusal.Type, MsgRelayError);
  EXPECT_EQ(TextOf(refusal.Payload), "원격지 사용자가 접속을 거부했습니다");
  EXPECT_EQ(asked, std::vector<std::string>{"Viewer PC|127.0.0.1"});
  EXPECT_TRUE(WaitFor([&] { return Has(Statuses, "접속 거부됨 - 대기 중"); }));
  EXPECT_FALSE(Agent->InSession());

  // The next viewer is let in by the user.
  AnswerConsentWith([&](const std::string&, const std::string&, bool& AAllow) { AAllow = true; });
  auto second = ViewerAsking(id, "");
  EXPECT_EQ(second->Next().Type, MsgSessionStart);
  EXPECT_TRUE(WaitFor([&] { return Has(Logs, "사용자 동의 접속 허용: Viewer PC (127.0.0.1)"); }));
}

// A viewer that asks and goes away while the prompt is open must not keep the host busy: the
// relay withdraws its request, the prompt closes, and the next viewer gets in at once.
TEST_F(HostThroughRelay, AViewerThatLeavesWithdrawsItsRequestAndTheNextIsAdmitted) {
  const std::string id = StartHost(HashPassword("pw"));
  bool closed = false, closedInTime = false;
  std::unique_ptr<TPacketPeer> leaving;
  Agent->OnConsentClosed = [&] { closed = true; };
  AnswerConsentWith([&](const std::string&, const std::string&, bool& AAllow) {
    leaving.reset();  // gives up while the question is open
    closedInTime = Ui.RunUntil([&] { return closed; }, 5000);
    AAllow = true;  // a click after the question lapsed counts for nothing
  });
  leaving = ViewerAsking(id, MakeSessionProof(id, HashPassword("wrong")));
  EXPECT_TRUE(WaitFor([&] { return closed; }));
  EXPECT_TRUE(closedInTime);
  EXPECT_TRUE(WaitFor([&] { return Has(Logs, "접속 요청 취소됨: Viewer PC (127.0.0.1)"); }));
  EXPECT_FALSE(Agent->InSession());

  const auto asked = std::chrono::steady_clock::now();
  auto viewer = ViewerAsking(id, MakeSessionProof(id, HashPassword("pw")));
  EXPECT_EQ(viewer->Next().Type, MsgSessionStart);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(2));
  EXPECT_TRUE(WaitFor([&] { return Agent->InSession(); }));
}

TEST_F(HostThroughRelay, ChatClipboardFilesAndListings) {
  auto viewer = StartInSession();
  viewer->SendText(MsgChat, "안녕");
  viewer->SendText(MsgClipboard, "from viewer");
  ASSERT_TRUE(WaitFor([&] { return Chats.size() == 1 && Clipboard.Texts.size() == 1; }));
  EXPECT_EQ(Chats[0], "안녕");
  EXPECT_EQ(Clipboard.Texts[0], "from viewer");
  Agent->SendChat("네, 보입니다");
  EXPECT_EQ(TextOf(viewer->NextOf(MsgChat).Payload), "네, 보입니다");
  Agent->PushClipboard("from host");
  EXPECT_EQ(TextOf(viewer->NextOf(MsgClipboard).Payload), "from host");

  // Upload, then fetch it back.
  std::string content(70000, 'u');
  viewer->SendText(MsgFileBegin, "D:\\up\\load.bin\t70000");
  EXPECT_EQ(viewer->NextOf(MsgFileReady).Type, MsgFileReady);
  viewer->Send(MsgFileChunk, BytesOf(content.substr(0, 65536)));
  viewer->Send(MsgFileChunk, BytesOf(content.substr(65536)));
  viewer->Send(MsgFileEnd);
  ASSERT_TRUE(WaitFor([&] { return Has(Statuses, "파일 수신 완료: load.bin"); }));
  const std::string stored = Home.Sub("Downloads/load.bin");
  EXPECT_EQ(ReadFile(stored), content);
  viewer->SendText(MsgFileGet, stored);
  EXPECT_EQ(TextOf(viewer->NextOf(MsgFileBegin).Payload), "load.bin\t70000");
  std::string back = TextOf(viewer->NextOf(MsgFileChunk).Payload);
  back += TextOf(viewer->NextOf(MsgFileChunk).Payload);
  EXPECT_EQ(viewer->NextOf(MsgFileEnd).Type, MsgFileEnd);
  EXPECT_EQ(back, content);

  viewer->SendText(MsgListDir, Home.Sub("Downloads"));
  EXPECT_EQ(TextOf(viewer->NextOf(MsgDirListing).Payload),
            Home.Sub("Downloads") + "\r\nF\tload.bin\t70000\r\n");
}

TEST_F(HostThroughRelay, ViewerLeavingEndsTheSessionAndReleasesItsKeys) {
  auto viewer = StartInSession();
  viewer->Send(MsgMouse, PackMouseEvent(TMouseEventRec{0, 0, 1, 1, 0}));  // left down
  viewer->Send(MsgKey, PackKeyEvent(TKeyEventRec{0x10, 0x2A, 0, 0}));     // shift down
  ASSERT_TRUE(Input.WaitForRecords(2, std::chrono::seconds(5)));
  EXPECT_EQ(Input.MouseInputs()[0], (TMouseInput{0, 0, 0, 0xC003}));
  viewer.reset();
  ASSERT_TRUE(WaitFor([&] { return SessionEnds == 1; }));
  EXPECT_FALSE(Agent->InSession());
  EXPECT_TRUE(Agent->Connected());
  EXPECT_EQ(Input.MouseInputs().back(), (TMouseInput{0, 0, 0, 0x0004}));
  EXPECT_EQ(Input.KeyInputs().back(), (TKeyInput{0x10, 0x2A, 2}));
}

}  // namespace
}  // namespace tlm::test
