#include "qtui/ClipboardSync.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <atomic>

#include "platform/Clipboard.h"

namespace tlm {

namespace {
std::atomic<ITextClipboard*> GDesktopClipboard{nullptr};
}  // namespace

void TClipboardSync::UseDesktopClipboard(ITextClipboard* AClipboard) { GDesktopClipboard.store(AClipboard); }

TClipboardSync::TClipboardSync(QClipboard* AClipboard, QObject* AParent)
    : QObject(AParent), FClipboard(AClipboard ? AClipboard : QGuiApplication::clipboard()) {
  if (!AClipboard && (FDesktop = GDesktopClipboard.load())) {
    // Reports come on the clipboard's thread; queued to this object, they are dropped with it.
    FDesktopWatch = FDesktop->Watch([this](const std::string& AText) {
      QMetaObject::invokeMethod(this, [this, text = QString::fromStdString(AText)] { DesktopChanged(text); },
                                Qt::QueuedConnection);
    });
    FLast = QString::fromStdString(FDesktop->Text());
    return;
  }
  connect(FClipboard, &QClipboard::changed, this, [this](QClipboard::Mode AMode) {
    if (AMode == QClipboard::Clipboard) ClipboardChanged();
  });
  FLast = ReadText();
}

TClipboardSync::~TClipboardSync() {
  // Nothing is raised after this point: the connection dies with this object.
  if (FDesktop) FDesktop->Unwatch(FDesktopWatch);
  disconnect(FClipboard, nullptr, this, nullptr);
}

void TClipboardSync::DesktopChanged(const QString& AText) {
  if (AText.isEmpty() || AText == FLast) return;
  FLast = AText;
  if (OnLocalCopy) OnLocalCopy(AText);
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
  if (FDesktop) {
    // The desktop clipboard never reports our own text back.
    FLast = AText;
    FDesktop->SetText(AText.toStdString());
    return;
  }
  FApplying = true;
  FLast = AText;
  auto* data = new QMimeData;
  data->setText(AText);
  FClipboard->setMimeData(data, QClipboard::Clipboard);
}

}  // namespace tlm
