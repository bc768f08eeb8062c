#include "app/HostClipboard.h"

#include <QClipboard>
#include <QGuiApplication>

#include "protocol/Error.h"

namespace tlm {

void TQtClipboardSetter::SetClipboardText(const std::string& AText) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (!clipboard) throw TError("No clipboard");
  clipboard->setText(QString::fromStdString(AText), QClipboard::Clipboard);
}

}  // namespace tlm
