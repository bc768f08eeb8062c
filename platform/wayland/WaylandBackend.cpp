#include "platform/wayland/WaylandBackend.h"

#include "platform/wayland/WaylandClipboard.h"
#include "platform/wayland/WaylandInput.h"
#include "platform/wayland/WaylandScreen.h"

namespace tlm {

std::unique_ptr<IScreen> CreateWaylandScreen(const std::string& ASocket) {
  return std::make_unique<TWaylandScreen>(ASocket);
}

std::string WaylandScreenProblem(const std::string& ASocket) { return TWaylandScreen(ASocket).Problem(); }

std::unique_ptr<IInputInjector> CreateWaylandInjector(const std::string& ASocket, std::string* AMissing) {
  auto Injector = std::make_unique<TWaylandInputInjector>(ASocket);
  if (AMissing) *AMissing = Injector->Missing();
  return Injector;
}

std::unique_ptr<ITextClipboard> CreateWaylandClipboard(const std::string& ASocket) {
  return std::make_unique<TWaylandClipboard>(ASocket);
}

}  // namespace tlm
