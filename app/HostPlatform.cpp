#include "app/HostPlatform.h"

#include "protocol/Error.h"

namespace tlm {

THostPlatform::THostPlatform() {
  try {
    FInput = CreateSystemInjector();
  } catch (const std::exception& e) {
    FProblems = std::string("입력 제어 불가: ") + e.what();
  }
}

THostPlatform::~THostPlatform() = default;

THostServices THostPlatform::Services(IClipboardSetter* AClipboard) {
  THostServices services;
  services.MakeScreen = [] { return std::shared_ptr<IScreen>(CreateSystemScreen()); };
  services.Input = FInput.get();
  services.Clipboard = AClipboard;
  return services;
}

}  // namespace tlm
