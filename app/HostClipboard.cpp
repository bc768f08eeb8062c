#include "app/HostClipboard.h"

#include <QClipboard>
#include <QGuiApplication>

#include "protocol/Error.h"
#include "qtui/ClipboardSync.h"
#include "qtui/QtLook.h"

namespace tlm {

namespace {

class TQtSessionClipboard final : public ISessionClipboard {
public:
  explicit TQtSessionClipboard(std::function<void(const std::string&)> AOnLocalCopy) {
    FSync.OnLocalCopy = [report = std::move(AOnLocalCopy)](const QString& AText) {
      if (report) report(U(AText));
    };
  }
  void ApplyRemote(const std::string& AText) override { FSync.ApplyRemote(Q(AText)); }

private:
  TClipboardSync FSync;
};

}  // namespace

void TQtClipboardSetter::SetClipboardText(const std::string& AText) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (!clipboard) throw TError("No clipboard");
  clipboard->setText(Q(AText), QClipboard::Clipboard);
}

TSessionClipboardFactory QtSessionClipboards() {
  return [](std::function<void(const std::string&)> AOnLocalCopy) -> std::unique_ptr<ISessionClipboard> {
    return std::make_unique<TQtSessionClipboard>(std::move(AOnLocalCopy));
  };
}

}  // namespace tlm
