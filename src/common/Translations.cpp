#include "Translations.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QStandardPaths>
#include <QTranslator>

QStringList Translations::folders()
{
    const QString relative = QStringLiteral("vantel/translations");
    QStringList found = QStandardPaths::locateAll(QStandardPaths::GenericDataLocation, relative,
                                                  QStandardPaths::LocateDirectory);
    if (QCoreApplication::instance())
        found << QDir::cleanPath(QCoreApplication::applicationDirPath() +
                                 QStringLiteral("/../share/") + relative);
    found << QStringLiteral(VANTEL_BINARY_DIR "/translations");
    return found;
}

namespace {

// Loads `name`_<language>.qm from `folder` and installs it; false, and
// nothing installed, where there is none.
bool installOne(const QLocale& locale, const QString& name, const QString& folder)
{
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (translator->load(locale, name, QStringLiteral("_"), folder) &&
        QCoreApplication::installTranslator(translator))
        return true;
    delete translator;
    return false;
}

} // namespace

bool Translations::install(const QLocale& locale, const QStringList& where)
{
    installOne(locale, QStringLiteral("qtbase"),
               QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    for (const QString& folder : where) {
        if (installOne(locale, QStringLiteral("vantel"), folder))
            return true;
    }
    return false;
}
