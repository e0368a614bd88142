#include "Translations.h"

#include "TranslationFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QTranslator>
#include <utility>

QStringList Translations::folders()
{
    QStringList found;
    if (QCoreApplication::instance())
        found << QDir::cleanPath(QCoreApplication::applicationDirPath() +
                                 QStringLiteral("/../share/vantel/translations"));
    found << QStringLiteral(VANTEL_BINARY_DIR "/translations");
    return found;
}

namespace {

// Qt's translator reads the bytes it is given in place: they live as long
// as it does.
class CheckedTranslator final : public QTranslator
{
public:
    explicit CheckedTranslator(QByteArray data) : m_data(std::move(data)) {}

    bool loadData()
    {
        return load(reinterpret_cast<const uchar*>(m_data.constData()), int(m_data.size()));
    }

private:
    QByteArray m_data;
};

// The file's bytes as Qt may read them, where it is a sound translation;
// empty otherwise.
QByteArray soundContents(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > TranslationFile::maxBytes)
        return {};
    return TranslationFile::readable(file.read(TranslationFile::maxBytes + 1))
        .value_or(QByteArray());
}

// The languages to try, most wanted first: each of the user's languages,
// then its shorter forms (pt_BR, then pt).
QStringList languagesOf(const QLocale& locale)
{
    QStringList languages;
    for (QString language : locale.uiLanguages()) {
        language.replace(QLatin1Char('-'), QLatin1Char('_'));
        for (;;) {
            if (!languages.contains(language))
                languages << language;
            const QString lower = language.toLower();
            if (!languages.contains(lower))
                languages << lower;
            const qsizetype cut = language.lastIndexOf(QLatin1Char('_'));
            if (cut <= 0)
                break;
            language.truncate(cut);
        }
    }
    return languages;
}

bool installOne(const QLocale& locale, const QString& name, const QString& folder)
{
    std::unique_ptr<QTranslator> translator = Translations::load(locale, name, folder);
    if (!translator || !QCoreApplication::installTranslator(translator.get()))
        return false;
    translator.release()->setParent(QCoreApplication::instance());
    return true;
}

} // namespace

std::unique_ptr<QTranslator> Translations::load(const QLocale& locale, const QString& name,
                                                const QString& folder)
{
    for (const QString& language : languagesOf(locale)) {
        const QString path =
            folder + QLatin1Char('/') + name + QLatin1Char('_') + language + QStringLiteral(".qm");
        QByteArray data = soundContents(path);
        if (data.isEmpty())
            continue;
        auto translator = std::make_unique<CheckedTranslator>(std::move(data));
        if (translator->loadData())
            return translator;
    }
    return nullptr;
}

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
