#include "qtui/QtLook.h"

#include <QPalette>
#include <QWidget>

#include "protocol/Messages.h"

namespace tlm {

QStringList KoreanFamilies() {
  return {QStringLiteral("Malgun Gothic"), QStringLiteral("Noto Sans CJK KR"), QStringLiteral("Noto Sans KR"),
          QStringLiteral("DejaVu Sans")};
}

QFont UiFont(int APixelHeight, bool ABold) {
  QFont f;
  f.setFamilies(KoreanFamilies());
  f.setPixelSize(APixelHeight);
  f.setBold(ABold);
  return f;
}

QFont MonoFont(int APixelHeight, bool ABold) {
  QFont f;
  f.setFamilies({QStringLiteral("Consolas"), QStringLiteral("DejaVu Sans Mono"), QStringLiteral("Noto Sans Mono CJK KR"),
                 QStringLiteral("Noto Sans CJK KR")});
  f.setStyleHint(QFont::Monospace);
  f.setPixelSize(APixelHeight);
  f.setBold(ABold);
  return f;
}

QFont KoreanFont(const QFont& ABase) {
  QFont f = ABase;
  f.setFamilies(KoreanFamilies());
  return f;
}

QStringList QualityPresetNames() {
  QStringList names;
  for (const TQualityPreset& preset : QualityPresets) names << QString::fromUtf8(preset.Name);
  return names;
}

void SetBackground(QWidget* AWidget, const QColor& AColor) {
  AWidget->setAutoFillBackground(true);
  QPalette pal = AWidget->palette();
  pal.setColor(QPalette::Window, AColor);
  pal.setColor(QPalette::Base, AColor);
  AWidget->setPalette(pal);
}

void SetTextColor(QWidget* AWidget, const QColor& AColor) {
  QPalette pal = AWidget->palette();
  pal.setColor(QPalette::WindowText, AColor);
  pal.setColor(QPalette::Text, AColor);
  pal.setColor(QPalette::ButtonText, AColor);
  AWidget->setPalette(pal);
}

}  // namespace tlm
