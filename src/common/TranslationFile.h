#pragma once

#include <QByteArray>
#include <optional>

// A compiled translation (.qm) that Qt's translator can look texts up in
// without reading past its end. Qt trusts the offsets and lengths such a
// file holds, so a damaged one crashes the first lookup that reaches the
// damage; every offset and length is followed here first, as a lookup would.
namespace TranslationFile {

// Larger than any translation Vantel will have by far.
constexpr qsizetype maxBytes = 8 * 1024 * 1024;

// The bytes of `data` as Qt's translator may read them: every offset and
// length inside the file, in the form Qt reads, and the table of contexts
// (which Qt may read past) left out. None where the file is not sound, or
// depends on other files: Vantel's translations stand alone.
std::optional<QByteArray> readable(const QByteArray& data);

} // namespace TranslationFile
