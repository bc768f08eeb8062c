// Qt's own texts (standard buttons, file dialogs) in Korean, like the rest of the program.
#pragma once

class QCoreApplication;

namespace tlm {

// Installs Qt's Korean translations (Debian: qt6-translations-l10n) on AApp. False when they
// are not installed; the standard texts then stay English.
bool InstallKoreanQtTranslations(QCoreApplication& AApp);

}  // namespace tlm
