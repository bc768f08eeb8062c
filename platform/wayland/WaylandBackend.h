// The Wayland backend's entry points, free of any Wayland type: the program picks this backend
// when the session it runs in is a Wayland one ($WAYLAND_DISPLAY, read at start-up).
#pragma once

#include <memory>
#include <string>

#include "platform/Clipboard.h"
#include "platform/Input.h"
#include "platform/Screen.h"

namespace tlm {

// The compositor's screen (ASocket empty: $WAYLAND_DISPLAY). Never throws: a compositor that
// cannot be reached or offers no screen copy gives no monitors and failed copies.
std::unique_ptr<IScreen> CreateWaylandScreen(const std::string& ASocket = {});
// Why the compositor's screen cannot be captured ("" when it can).
std::string WaylandScreenProblem(const std::string& ASocket = {});

// The compositor's injector. Raises TError when no compositor answers or it offers neither
// virtual pointer nor virtual keyboard; AMissing gets what is missing of the two otherwise.
std::unique_ptr<IInputInjector> CreateWaylandInjector(const std::string& ASocket = {}, std::string* AMissing = nullptr);

// The compositor's clipboard through data control. Raises TError when no compositor answers
// or it offers no data control.
std::unique_ptr<ITextClipboard> CreateWaylandClipboard(const std::string& ASocket = {});

}  // namespace tlm
