// TConsentPrompt: the question whether a viewer may see and control this computer. A window of
// its own, in front of everything, with "허용", "보기만 허용" and "거절" and a countdown: left unanswered it
// declines by itself when the countdown ends. Withdraw closes it without an answer (the request
// was withdrawn or lapsed at the host agent).
//
// Contract: user-interface thread only. OnAnswer is raised at most once per prompt, after the
// window is gone: AAllow for "허용" and for "보기만 허용" (then with AViewOnly: the viewer watches,
// its input is dropped); closing the window any other way is "거절".
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace tlm {

class TConsentPrompt {
public:
  // AText (UTF-8): the question as the user reads it; ASeconds: the countdown. AGraceSeconds:
  // how long after the countdown's end the prompt still waits before it declines itself, for an
  // owner whose own deadline (the host agent's) is the one that should end the question.
  TConsentPrompt(HWND AOwner, const std::string& AText, int ASeconds,
                 std::function<void(bool AAllow, bool AViewOnly)> AOnAnswer, int AGraceSeconds = 0);
  ~TConsentPrompt();
  TConsentPrompt(const TConsentPrompt&) = delete;
  TConsentPrompt& operator=(const TConsentPrompt&) = delete;

  // Closes the window without raising OnAnswer.
  void Withdraw();
  bool Open() const { return FWnd != nullptr; }
  HWND Handle() const { return FWnd; }
  int SecondsLeft() const { return FLeft; }
  // What the buttons do, for tests driving the window.
  void Answer(bool AAllow, bool AViewOnly = false);

private:
  static LRESULT CALLBACK WndProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL);
  LRESULT OnMessage(UINT AMsg, WPARAM AW, LPARAM AL);
  void ShowCountdown();
  void CloseWindow();

  HWND FWnd = nullptr;
  HWND FCountdown = nullptr;
  int FLeft = 0;
  int FGrace = 0;
  std::function<void(bool, bool)> FOnAnswer;
};

}  // namespace tlm
