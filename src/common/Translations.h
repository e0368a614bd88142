#pragma once

#include <QLocale>
#include <QStringList>
#include <memory>

class QTranslator;

// The texts in the user's language, where a translation is installed:
// Vantel's own (vantel_<language>.qm) and Qt's (its dialogs' buttons).
// Translations are read only from where Vantel and Qt are installed, and
// each is checked before use: a damaged file is passed over, never trusted.
namespace Translations {

// Where Vantel's translations are looked for, in order: the one beside the
// running program (<prefix>/share/vantel/translations) and the build tree's
// translations/.
QStringList folders();

// The sound translation `name`_<language>.qm in `folder` for the first of
// `locale`'s languages that has one (de_AT falls back to de); null where
// there is none, or none that reads soundly.
std::unique_ptr<QTranslator> load(const QLocale& locale, const QString& name,
                                  const QString& folder);

// Installs on the running application the first of Vantel's translations
// for `locale` found in `where`, and Qt's own; whether Vantel's was found.
bool install(const QLocale& locale = QLocale(), const QStringList& where = folders());

} // namespace Translations
