// Connects the local clipboard (plain text only) with one viewer session.
//
// Contract: created, used and destroyed on the user-interface thread (the QClipboard
// thread). OnLocalCopy is raised, on that thread, when the local clipboard receives text
// that differs from the last text this instance knows (FLast); ApplyRemote puts a partner's
// text on the clipboard unless it equals FLast. The one change notification that each own
// write causes is consumed (FApplying), so a partner's text is never reported back.
// Text already on the clipboard at creation is never reported.
//
// Where the toolkit's clipboard works only while a window of ours has the focus (Wayland), the
// program installs the desktop's own clipboard (UseDesktopClipboard) before any instance is
// made; instances made without a QClipboard then watch and write that one, its reports
// carried over to this thread.
#pragma once

#include <QObject>
#include <QString>
#include <functional>

class QClipboard;

namespace tlm {

class ITextClipboard;

using TClipTextEvent = std::function<void(const QString& AText)>;

class TClipboardSync final : public QObject {
  Q_OBJECT
public:
  // AClipboard: the application's clipboard when null.
  explicit TClipboardSync(QClipboard* AClipboard = nullptr, QObject* AParent = nullptr);
  ~TClipboardSync() override;

  // The desktop clipboard instances without a QClipboard use from now on (null: the
  // application's QClipboard again). It must outlive every instance made while it is set.
  static void UseDesktopClipboard(ITextClipboard* AClipboard);

  void ApplyRemote(const QString& AText);

  TClipTextEvent OnLocalCopy;

  // Last text reported or applied (for tests and diagnostics).
  const QString& Last() const { return FLast; }

private:
  QString ReadText() const;
  void ClipboardChanged();

  void DesktopChanged(const QString& AText);

  QClipboard* FClipboard;
  ITextClipboard* FDesktop = nullptr;
  int FDesktopWatch = 0;
  QString FLast;
  bool FApplying = false;
};

}  // namespace tlm
