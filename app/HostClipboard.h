// The host's clipboard on Qt (plain text): the setter the host agent uses outside a session,
// and the session clipboard the client core makes for each session. Both run on the UI thread,
// where the agent's Sync puts them.
#pragma once

#include "app/ClientApp.h"
#include "host/HostAgent.h"

namespace tlm {

class TQtClipboardSetter final : public IClipboardSetter {
public:
  void SetClipboardText(const std::string& AText) override;
};

// Session clipboards over TClipboardSync: the viewer's text goes onto the clipboard without
// coming back, and text copied here during the session is reported.
TSessionClipboardFactory QtSessionClipboards();

}  // namespace tlm
