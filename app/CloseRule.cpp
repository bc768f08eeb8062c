#include "app/CloseRule.h"

namespace tlm {

ECloseChoice CloseChoice(bool ATray, bool AUnattended, std::optional<bool> AKeepRunning) {
  if (!ATray) return AUnattended ? ECloseChoice::AskToQuit : ECloseChoice::Quit;
  if (AKeepRunning) return *AKeepRunning ? ECloseChoice::ToTray : ECloseChoice::Quit;
  // Without unattended access the tray still keeps the ID and the consent prompt: no question.
  return AUnattended ? ECloseChoice::AskToTray : ECloseChoice::ToTray;
}

const char* KeepRunningQuestion() {
  return "창을 닫아도 TALMIR Remote는 트레이에서 계속 실행되어, 비밀번호로 이 컴퓨터에 접속할 수 있습니다.\n"
         "계속 실행할까요? (아니요: 프로그램을 종료합니다)";
}

const char* QuitUnattendedQuestion() { return "TALMIR Remote를 종료하면 이 컴퓨터에 무인 접속할 수 없게 됩니다.\n종료할까요?"; }

const char* InTrayNotice() { return "트레이에서 계속 실행 중입니다. 끝내려면 메뉴의 \"종료\"를 고르세요."; }

}  // namespace tlm
