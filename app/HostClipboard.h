// The host agent's clipboard setter on QClipboard (plain text). Runs on the UI thread, where
// the agent's Sync puts it.
#pragma once

#include "host/HostAgent.h"

namespace tlm {

class TQtClipboardSetter final : public IClipboardSetter {
public:
  void SetClipboardText(const std::string& AText) override;
};

}  // namespace tlm
