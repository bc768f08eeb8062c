// What every window of the program looks like: the fonts the design names (with fallbacks
// that exist on Linux and carry Korean glyphs), the program's colour, and the conversions
// between the program's UTF-8 texts and Qt's.
#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <QStringList>
#include <string>

class QWidget;

namespace tlm {

// The program's own colour: the main window's header, the viewer's selection.
inline const QColor BrandColor(0x3B, 0x4A, 0x6C);

// Font families for Korean text, the design's first.
QStringList KoreanFamilies();
QFont UiFont(int APixelHeight, bool ABold = false);
QFont MonoFont(int APixelHeight, bool ABold = false);
// ABase with the Korean families (size and weight kept).
QFont KoreanFont(const QFont& ABase);

// The quality presets' names, in preset order (a quality list's items).
QStringList QualityPresetNames();

// Invalid UTF-8 becomes U+FFFD.
inline QString Q(const std::string& AText) {
  return QString::fromUtf8(AText.data(), static_cast<qsizetype>(AText.size()));
}
inline std::string U(const QString& AText) { return AText.toStdString(); }

// Fills AWidget with AColor: its window and its text boxes (list, log) alike; children inherit it.
void SetBackground(QWidget* AWidget, const QColor& AColor);
void SetTextColor(QWidget* AWidget, const QColor& AColor);

}  // namespace tlm
