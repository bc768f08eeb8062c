#include "app/HostPlatform.h"

#include "platform/wayland/WaylandBackend.h"
#include "protocol/Error.h"

namespace tlm {

std::unique_ptr<ITextClipboard> CreateDesktopClipboard(const std::string& AWaylandDisplay, std::string& AProblem) {
  if (AWaylandDisplay.empty()) return nullptr;
  try {
    return CreateWaylandClipboard();
  } catch (const std::exception& e) {
    AProblem = std::string("클립보드 공유 불가: ") + e.what();
    return nullptr;
  }
}

THostPlatform::THostPlatform(const std::string& AWaylandDisplay) : FWayland(!AWaylandDisplay.empty()) {
  if (!FWayland) {
    try {
      FInput = CreateSystemInjector();
    } catch (const std::exception& e) {
      AddProblem(std::string("입력 제어 불가: ") + e.what());
    }
    return;
  }
  const std::string Screen = WaylandScreenProblem();
  if (!Screen.empty()) AddProblem("화면 캡처 불가: " + Screen);
  try {
    std::string Missing;
    FInput = CreateWaylandInjector({}, &Missing);
    if (!Missing.empty()) AddProblem("입력 제어 일부 불가: " + Missing);
  } catch (const std::exception& e) {
    AddProblem(std::string("입력 제어 불가: ") + e.what());
  }
}

THostPlatform::~THostPlatform() = default;

void THostPlatform::AddProblem(const std::string& AText) {
  if (!FProblems.empty()) FProblems += "\n";
  FProblems += AText;
}

std::vector<std::string> THostPlatform::LogLines() const {
  std::vector<std::string> Lines{FWayland ? "화면·입력: Wayland" : "화면·입력: X11"};
  size_t Start = 0;
  while (Start < FProblems.size()) {
    const size_t End = FProblems.find('\n', Start);
    Lines.push_back(FProblems.substr(Start, End == std::string::npos ? std::string::npos : End - Start));
    if (End == std::string::npos) break;
    Start = End + 1;
  }
  return Lines;
}

THostServices THostPlatform::Services(IClipboardSetter* AClipboard) {
  THostServices services;
  if (FWayland)
    services.MakeScreen = [] { return std::shared_ptr<IScreen>(CreateWaylandScreen()); };
  else
    services.MakeScreen = [] { return std::shared_ptr<IScreen>(CreateSystemScreen()); };
  services.Input = FInput.get();
  services.Clipboard = AClipboard;
  return services;
}

}  // namespace tlm
