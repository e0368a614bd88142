#include "Translations.h"
#include "VantelError.h"

#include <QTest>

// A translation for the user's language, in a folder Vantel looks in, takes
// over its texts; without one the texts stay as written.
class TestTranslations final : public QObject
{
    Q_OBJECT

private slots:
    void aTranslationInPlaceIsUsed()
    {
        const QString folder = QStringLiteral(TEST_TRANSLATIONS);
        const QString unreadable = QStringLiteral("Couldn't read that image.");
        QVERIFY(!Translations::install(QLocale(QLocale::Esperanto), {QStringLiteral("/nowhere")}));
        QVERIFY(!Translations::install(QLocale(QLocale::Welsh), {folder}));
        QCOMPARE(VantelError::loadFailed().errorDescription(), unreadable);

        QVERIFY(Translations::install(QLocale(QLocale::Esperanto),
                                      {QStringLiteral("/nowhere"), folder}));
        QCOMPARE(VantelError::loadFailed().errorDescription(),
                 QStringLiteral("Ne eblis legi tiun bildon."));
        // What the translation leaves out stays as written.
        QCOMPARE(VantelError::noSubject().errorDescription(),
                 QStringLiteral("No subject was found in this image."));
    }
};

QTEST_GUILESS_MAIN(TestTranslations)
#include "tst_translations.moc"
