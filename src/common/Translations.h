#pragma once

#include <QLocale>
#include <QStringList>

// The texts in the user's language, where a translation is installed:
// Vantel's own (vantel_<language>.qm) and Qt's (its dialogs' buttons).
namespace Translations {

// Where Vantel's translations are looked for, in order: the data folders'
// vantel/translations (~/.local/share, /usr/local/share, /usr/share), the
// one beside the running program (<prefix>/share/vantel/translations), and
// the build tree's translations/.
QStringList folders();

// Installs on the running application the first of Vantel's translations
// for `locale` found in `where`, and Qt's own; whether Vantel's was found.
bool install(const QLocale& locale = QLocale(), const QStringList& where = folders());

} // namespace Translations
