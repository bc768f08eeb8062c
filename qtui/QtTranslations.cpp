#include "qtui/QtTranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace tlm {

bool InstallKoreanQtTranslations(QCoreApplication& AApp) {
  // Owned by the application: it must live as long as any text is translated.
  auto* translator = new QTranslator(&AApp);
  if (!translator->load(QLocale(QLocale::Korean, QLocale::SouthKorea), QStringLiteral("qtbase"), QStringLiteral("_"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return false;
  }
  return QCoreApplication::installTranslator(translator);
}

}  // namespace tlm
