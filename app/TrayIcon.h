// TTrayIcon: the program's icon in the desktop's tray, where the desktop has one. Its menu opens
// the main window ("열기") and ends the program ("종료"); a click on the icon opens the window
// too. The tooltip says the ID and the host's state.
//
// Created, used and destroyed on the user-interface thread; it shows nothing until Show.
#pragma once

#include <QObject>
#include <QString>
#include <functional>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace tlm {

class TTrayIcon final : public QObject {
  Q_OBJECT
public:
  explicit TTrayIcon(QObject* AParent = nullptr);
  ~TTrayIcon() override;

  // The desktop shows tray icons now.
  static bool Available();
  void Show();
  void SetToolTip(const QString& AText);
  // A short notice beside the icon (the window went to the tray, say).
  void Notify(const QString& ATitle, const QString& AText);

  std::function<void()> OnOpen;
  std::function<void()> OnQuit;

  QAction* OpenAction() const { return FOpen; }
  QAction* QuitAction() const { return FQuit; }

private:
  QSystemTrayIcon* FIcon = nullptr;
  QMenu* FMenu = nullptr;
  QAction* FOpen = nullptr;
  QAction* FQuit = nullptr;
};

}  // namespace tlm
