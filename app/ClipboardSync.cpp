#include "app/ClipboardSync.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace tlm {

TClipboardSync::TClipboardSync(QClipboard* AClipboard, QObject* AParent)
    : QObject(AParent), FClipboard(AClipboard ? AClipboard : QGuiApplication::clipboard()) {
  connect(FClipboard, &QClipboard::changed, this, [this](QClipboard::Mode AMode) {
    if (AMode == QClipboard::Clipboard) ClipboardChanged();
  });
  FLast = ReadText();
}

TClipboardSync::~TClipboardSync() {
  // Nothing is raised after this point: the connection dies with this object.
  disconnect(FClipboard, nullptr, this, nullptr);
}

QString TClipboardSync::ReadText() const {
  const QMimeData* data = FClipboard->mimeData(QClipboard::Clipboard);
  if (!data || !data->hasText()) return QString();
  return data->text();
}

void TClipboardSync::ClipboardChanged() {
  if (FApplying) {
    // The echo of our own write in ApplyRemote.
    FApplying = false;
    return;
  }
  const QString text = ReadText();
  if (text.isEmpty() || text == FLast) return;
  FLast = text;
  if (OnLocalCopy) OnLocalCopy(text);
}

void TClipboardSync::ApplyRemote(const QString& AText) {
  if (AText == FLast) return;
  FApplying = true;
  FLast = AText;
  auto* data = new QMimeData;
  data->setText(AText);
  FClipboard->setMimeData(data, QClipboard::Clipboard);
}

}  // namespace tlm
