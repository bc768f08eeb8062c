// The native windows' own parts under Wine: the dispatcher's hand-over, the clipboard
// synchroniser's no-echo rule on the real clipboard, the consent prompt's answers and its
// countdown, one instance per configuration folder, and a font that has Korean glyphs.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/WinText.h"
#include "tests/windows/WinPump.h"
#include "winui/ClipboardSync.h"
#include "winui/ConsentPrompt.h"
#include "winui/ModalBoxes.h"
#include "winui/SingleInstance.h"
#include "winui/WinControls.h"
#include "winui/WinDispatcher.h"

namespace tlm {
namespace {

using test::PumpFor;
using test::PumpUntil;

TEST(WinDispatcher, CallsFromOtherThreadsRunOnTheWindowThreadInOrder) {
  TWinDispatcher ui;
  const DWORD uiThread = ::GetCurrentThreadId();
  std::vector<int> order;
  std::vector<DWORD> threads;
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    for (int i = 0; i < 50; ++i)
      ui.Post([&, i] {
        order.push_back(i);
        threads.push_back(::GetCurrentThreadId());
      });
    // Sync waits until its call ran, and rethrows what escaped it.
    ui.Sync([&] { order.push_back(100); });
    EXPECT_THROW(ui.Sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    finished = true;
  });
  // Pumped until the worker is through: its last Sync needs this thread too.
  const bool through = PumpUntil([&] { return finished.load(); }, 10000);
  worker.join();
  ASSERT_TRUE(through);
  ASSERT_EQ(order.size(), 51u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[size_t(i)], i);
  EXPECT_EQ(order.back(), 100);
  for (DWORD t : threads) EXPECT_EQ(t, uiThread);
}

TEST(WinDispatcher, WaitPumpingRunsCallsOfAWorkerItWaitsFor) {
  TWinDispatcher ui;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    ui.Sync([] {});  // would deadlock if the waiting thread ran nothing
    done = true;
  });
  ui.WaitPumping([&] { return done.load(); });
  worker.join();
  EXPECT_TRUE(done.load());
}

// The clipboard as another program would change it.
void CopyElsewhere(const std::wstring& AText) { ASSERT_TRUE(WriteClipboardText(nullptr, AText)); }

std::wstring ClipboardNow() {
  std::wstring text;
  if (!::OpenClipboard(nullptr)) return L"(busy)";
  if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
    if (const auto* chars = static_cast<const wchar_t*>(::GlobalLock(data))) {
      text = chars;
      ::GlobalUnlock(data);
    }
  }
  ::CloseClipboard();
  return text;
}

TEST(WinClipboardSync, ReportsLocalCopiesOnceAndNeverEchoesThePartnersText) {
  CopyElsewhere(L"schon da");
  PumpFor(200);
  TWinClipboardSync sync;
  std::vector<std::string> reported;
  sync.OnLocalCopy = [&](const std::string& AText) { reported.push_back(AText); };
  EXPECT_EQ(sync.Last(), L"schon da");  // what was there before is never reported

  struct TStep {
    const char* What;
    std::function<void()> Act;
    std::vector<std::string> Expected;  // everything reported so far
  };
  const std::vector<TStep> steps = {
      {"a local copy is reported", [] { CopyElsewhere(L"안녕 세계"); }, {"안녕 세계"}},
      {"the same text again is not", [] { CopyElsewhere(L"안녕 세계"); }, {"안녕 세계"}},
      {"the partner's text is applied without an echo", [&] { sync.ApplyRemote("원격 텍스트"); }, {"안녕 세계"}},
      {"the partner's text that equals the last is not written", [&] { sync.ApplyRemote("원격 텍스트"); }, {"안녕 세계"}},
      {"a local copy after an applied text is reported", [] { CopyElsewhere(L"다시 로컬"); }, {"안녕 세계", "다시 로컬"}},
      {"emptying the clipboard reports nothing",
       [] {
         ASSERT_TRUE(::OpenClipboard(nullptr));
         ::EmptyClipboard();
         ::CloseClipboard();
       },
       {"안녕 세계", "다시 로컬"}},
      {"copying the last reported text again reports nothing", [] { CopyElsewhere(L"다시 로컬"); },
       {"안녕 세계", "다시 로컬"}},
  };
  for (const TStep& step : steps) {
    step.Act();
    PumpUntil([&] { return reported.size() > step.Expected.size(); }, 1500);
    EXPECT_EQ(reported, step.Expected) << step.What;
  }
  EXPECT_EQ(ClipboardNow(), L"다시 로컬");
  sync.ApplyRemote("마지막");
  PumpFor(300);
  EXPECT_EQ(ClipboardNow(), L"마지막");
  // The notification of that own write was consumed: the next real copy is reported.
  CopyElsewhere(L"그 다음");
  PumpUntil([&] { return reported.size() == 3; }, 1500);
  ASSERT_EQ(reported.size(), 3u);
  EXPECT_EQ(reported.back(), "그 다음");
}

HWND ChildButton(HWND AParent, const wchar_t* ACaption) {
  return ::FindWindowExW(AParent, nullptr, L"BUTTON", ACaption);
}

TEST(ConsentPrompt, AnswersOnceByButtonByClosingOrByItsCountdown) {
  // The answer as (allowed, view only).
  using TAnswer = std::pair<bool, bool>;
  struct TCase {
    const char* What;
    int Seconds;
    std::function<void(TConsentPrompt&)> Act;
    std::optional<TAnswer> Expected;
  };
  const auto click = [](const wchar_t* ACaption) {
    return [ACaption](TConsentPrompt& P) { ::SendMessageW(ChildButton(P.Handle(), ACaption), BM_CLICK, 0, 0); };
  };
  const std::vector<TCase> cases = {
      {"허용 allows", 60, click(L"허용"), TAnswer{true, false}},
      {"보기만 허용 allows watching only", 60, click(L"보기만 허용"), TAnswer{true, true}},
      {"거절 refuses", 60, click(L"거절"), TAnswer{false, false}},
      {"closing the window refuses", 60, [](TConsentPrompt& P) { ::SendMessageW(P.Handle(), WM_CLOSE, 0, 0); },
       TAnswer{false, false}},
      {"the countdown refuses by itself", 2, [](TConsentPrompt&) { PumpFor(3500); }, TAnswer{false, false}},
      {"a withdrawn question raises nothing", 60, [](TConsentPrompt& P) { P.Withdraw(); }, std::nullopt},
  };
  for (const TCase& c : cases) {
    std::vector<TAnswer> answers;
    TConsentPrompt prompt(nullptr, "원격 지원 접속 요청이 있습니다.\r\n요청자: 뷰어 (127.0.0.1)", c.Seconds,
                          [&](bool AAllow, bool AViewOnly) { answers.emplace_back(AAllow, AViewOnly); });
    ASSERT_TRUE(prompt.Open()) << c.What;
    ASSERT_NE(ChildButton(prompt.Handle(), L"허용"), nullptr) << c.What;
    c.Act(prompt);
    PumpFor(100);
    EXPECT_FALSE(prompt.Open()) << c.What;
    if (c.Expected) {
      ASSERT_EQ(answers.size(), 1u) << c.What;
      EXPECT_EQ(answers[0], *c.Expected) << c.What;
    } else {
      EXPECT_TRUE(answers.empty()) << c.What;
    }
    // Nothing answers twice: a later click or the deadline find the prompt gone.
    prompt.Answer(true);
    EXPECT_LE(answers.size(), 1u) << c.What;
  }
}

TEST(ConsentPrompt, WaitsOutItsGraceForTheOwnersDeadlineBeforeDecliningItself) {
  std::vector<bool> answers;
  TConsentPrompt prompt(
      nullptr, "질문", 1, [&](bool AAllow, bool) { answers.push_back(AAllow); }, 2);
  PumpFor(1600);
  EXPECT_TRUE(prompt.Open()) << "declined at the countdown's end, before the owner's deadline";
  EXPECT_TRUE(answers.empty());
  EXPECT_TRUE(PumpUntil([&] { return !answers.empty(); }, 4000));
  EXPECT_FALSE(prompt.Open());
  EXPECT_EQ(answers, std::vector<bool>{false});
}

TEST(ConsentPrompt, CountsDownInItsText) {
  TConsentPrompt prompt(nullptr, "질문", 5, [](bool, bool) {});
  const int before = prompt.SecondsLeft();
  PumpFor(1300);
  EXPECT_EQ(before, 5);
  EXPECT_EQ(prompt.SecondsLeft(), 4);
}

// Finds the first visible top-level window of AClass, waiting up to two seconds.
HWND WaitForWindow(const wchar_t* AClass) {
  for (int i = 0; i < 200; ++i) {
    if (HWND wnd = ::FindWindowW(AClass, nullptr); wnd && ::IsWindowVisible(wnd)) return wnd;
    ::Sleep(10);
  }
  return nullptr;
}

TEST(ModalBoxes, AnswerInTheProgramsFontAndReturnWhenAnswered) {
  // Another thread plays the user: it finds the box, notes the font its text is drawn in, and
  // answers it.
  struct TCase {
    const char* What;
    const wchar_t* Class;
    std::function<void(HWND)> Answer;
    bool Confirmed;
  };
  const std::vector<TCase> cases = {
      {"the message box's 확인", L"TLMRemoteMessage",
       [](HWND AWnd) { ::SendMessageW(::FindWindowExW(AWnd, nullptr, L"BUTTON", L"확인"), BM_CLICK, 0, 0); }, true},
      {"the input box's 확인 with the typed text", L"TLMRemoteInput",
       [](HWND AWnd) {
         ::SendMessageW(::FindWindowExW(AWnd, nullptr, L"EDIT", nullptr), WM_SETTEXT, 0, LPARAM(L"비밀 123"));
         ::SendMessageW(::FindWindowExW(AWnd, nullptr, L"BUTTON", L"확인"), BM_CLICK, 0, 0);
       },
       true},
      {"the input box's 취소", L"TLMRemoteInput",
       [](HWND AWnd) { ::SendMessageW(::FindWindowExW(AWnd, nullptr, L"BUTTON", L"취소"), BM_CLICK, 0, 0); }, false},
      {"the input box closed", L"TLMRemoteInput", [](HWND AWnd) { ::SendMessageW(AWnd, WM_CLOSE, 0, 0); }, false},
  };
  for (const TCase& c : cases) {
    HFONT textFont = nullptr;
    bool found = false;
    std::thread user([&] {
      HWND box = WaitForWindow(c.Class);
      found = box != nullptr;
      if (!box) return;
      HWND label = nullptr;  // the first static with a text (the message box's icon has none)
      while ((label = ::FindWindowExW(box, label, L"STATIC", nullptr)) && ::GetWindowTextLengthW(label) == 0) {
      }
      if (label) textFont = reinterpret_cast<HFONT>(::SendMessageW(label, WM_GETFONT, 0, 0));
      c.Answer(box);
    });
    std::string text;
    bool confirmed = true;
    if (std::wstring(c.Class) == L"TLMRemoteMessage")
      MessageBoxText(nullptr, "접속할 ID를 입력하세요.", IDI_INFORMATION);
    else
      confirmed = InputBox(nullptr, "무인 접속 비밀번호", "비밀번호:", true, text);
    user.join();
    ASSERT_TRUE(found) << c.What;
    EXPECT_EQ(confirmed, c.Confirmed) << c.What;
    if (c.Confirmed && std::wstring(c.Class) == L"TLMRemoteInput") {
      EXPECT_EQ(text, "비밀 123") << c.What;
    }
    if (!c.Confirmed) {
      EXPECT_TRUE(text.empty()) << c.What;
    }
    EXPECT_EQ(textFont, UiFont(13)) << c.What << ": not the program's font";
  }
}

TEST(ModalBoxes, KeysAnswerAsTheButtonTheyArePressedOn) {
  // Another thread plays the user's key, where the focus is or on a named button.
  const DWORD uiThread = ::GetCurrentThreadId();
  struct TCase {
    const char* What;
    const wchar_t* Class;
    const wchar_t* OnButton;  // null: where the focus is
    WPARAM Key;
    bool Confirmed;
  };
  const std::vector<TCase> cases = {
      {"Enter where a question starts says no", L"TLMRemoteMessage", nullptr, VK_RETURN, false},
      {"Enter on 예 says yes", L"TLMRemoteMessage", L"예", VK_RETURN, true},
      {"Escape on 예 says no", L"TLMRemoteMessage", L"예", VK_ESCAPE, false},
      {"Enter in the input box's field confirms", L"TLMRemoteInput", nullptr, VK_RETURN, true},
      {"Enter on the input box's 취소 cancels", L"TLMRemoteInput", L"취소", VK_RETURN, false},
  };
  for (const TCase& c : cases) {
    bool found = false;
    std::thread user([&] {
      HWND box = WaitForWindow(c.Class);
      found = box != nullptr;
      if (!box) return;
      HWND target = nullptr;
      if (c.OnButton) {
        target = ::FindWindowExW(box, nullptr, L"BUTTON", c.OnButton);
      } else {
        // The box shows before it places its focus: wait for the focus to be inside it.
        for (int i = 0; i < 200 && !target; ++i) {
          GUITHREADINFO info{};
          info.cbSize = sizeof(info);
          if (::GetGUIThreadInfo(uiThread, &info) && info.hwndFocus && ::IsChild(box, info.hwndFocus))
            target = info.hwndFocus;
          else
            ::Sleep(10);
        }
      }
      ::PostMessageW(target ? target : box, WM_KEYDOWN, c.Key, 1);
    });
    std::string text;
    const bool confirmed = std::wstring(c.Class) == L"TLMRemoteMessage"
                               ? QuestionBox(nullptr, "새 코드를 신뢰할까요?")
                               : InputBox(nullptr, "이름 붙이기", "이름:", false, text);
    user.join();
    ASSERT_TRUE(found) << c.What;
    EXPECT_EQ(confirmed, c.Confirmed) << c.What;
  }
}

TEST(SingleInstance, OneCopyPerConfigurationFolderAndTheFirstIsAskedForward) {
  TSingleInstance first("C:\\users\\Test\\AppData\\Roaming\\TLMRemote");
  ASSERT_TRUE(first.Acquire());
  int asked = 0;
  first.OnActivate = [&] { ++asked; };
  // Windows compares paths without case, and a trailing backslash names the same folder.
  TSingleInstance second("c:\\Users\\test\\appdata\\roaming\\tlmremote\\");
  EXPECT_FALSE(second.Acquire());
  EXPECT_TRUE(PumpUntil([&] { return asked == 1; }, 2000));
  TSingleInstance other("C:\\users\\Test\\AppData\\Roaming\\TLMRemote-2");
  EXPECT_TRUE(other.Acquire());
}

TEST(UiFont, AFamilyWithKoreanGlyphsIsChosen) {
  const std::wstring family = UiFontFamily();
  EXPECT_NE(family, L"MS Shell Dlg 2") << "no CJK family found; Korean text would show as boxes";
  // Every character of a Korean caption has a glyph in the chosen font.
  HDC dc = ::CreateCompatibleDC(nullptr);
  HGDIOBJ old = ::SelectObject(dc, UiFont(13));
  const std::wstring text = L"원격 지원 접속 요청이 있습니다";
  std::vector<WORD> glyphs(text.size());
  ASSERT_NE(::GetGlyphIndicesW(dc, text.c_str(), int(text.size()), glyphs.data(), GGI_MARK_NONEXISTING_GLYPHS),
            GDI_ERROR);
  ::SelectObject(dc, old);
  ::DeleteDC(dc);
  for (size_t i = 0; i < text.size(); ++i)
    EXPECT_NE(glyphs[i], 0xFFFF) << "no glyph for U+" << std::hex << int(text[i]) << " in " << Utf8FromWide(family);
}

}  // namespace
}  // namespace tlm
