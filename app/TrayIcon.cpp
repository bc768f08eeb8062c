#include "app/TrayIcon.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

namespace tlm {

namespace {

// The installed icon; without one (a build run from its folder) a drawn stand-in, so the tray
// never shows an empty square.
QIcon ProgramIcon() {
  const QIcon installed = QApplication::windowIcon();
  if (!installed.isNull() && !installed.availableSizes().isEmpty()) return installed;
  QPixmap pixmap(64, 64);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(QColor(59, 74, 108));
  painter.setPen(Qt::NoPen);
  painter.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
  painter.setPen(Qt::white);
  QFont font = painter.font();
  font.setPixelSize(40);
  font.setBold(true);
  painter.setFont(font);
  painter.drawText(pixmap.rect(), Qt::AlignCenter, QStringLiteral("T"));
  return QIcon(pixmap);
}

}  // namespace

TTrayIcon::TTrayIcon(QObject* AParent) : QObject(AParent) {
  FIcon = new QSystemTrayIcon(ProgramIcon(), this);
  FMenu = new QMenu;
  FOpen = FMenu->addAction(QStringLiteral("열기"));
  FMenu->addSeparator();
  FQuit = FMenu->addAction(QStringLiteral("종료"));
  FIcon->setContextMenu(FMenu);
  FIcon->setToolTip(QStringLiteral("TALMIR Remote"));
  connect(FOpen, &QAction::triggered, this, [this] {
    if (OnOpen) OnOpen();
  });
  connect(FQuit, &QAction::triggered, this, [this] {
    if (OnQuit) OnQuit();
  });
  connect(FIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason AReason) {
    if ((AReason == QSystemTrayIcon::Trigger || AReason == QSystemTrayIcon::DoubleClick) && OnOpen) OnOpen();
  });
}

TTrayIcon::~TTrayIcon() {
  FIcon->hide();
  delete FMenu;  // a context menu has no parent: the icon does not own it
}

bool TTrayIcon::Available() { return QSystemTrayIcon::isSystemTrayAvailable(); }

void TTrayIcon::Show() { FIcon->show(); }

void TTrayIcon::SetToolTip(const QString& AText) { FIcon->setToolTip(AText); }

void TTrayIcon::Notify(const QString& ATitle, const QString& AText) {
  if (FIcon->isVisible() && QSystemTrayIcon::supportsMessages())
    FIcon->showMessage(ATitle, AText, QSystemTrayIcon::Information, 5000);
}

}  // namespace tlm
