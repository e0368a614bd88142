#include "BackgroundChoice.h"
#include "VantelError.h"

#include <QSet>
#include <QTest>

#include <unordered_set>

class TestCommon final : public QObject
{
    Q_OBJECT

private slots:
    void backgroundCasesInPickerOrder()
    {
        QStringList raw;
        for (const BackgroundChoice& c : BackgroundChoice::allCases())
            raw << c.rawValue();
        QCOMPARE(raw, QStringList({"Clear", "White", "Black", "Custom"}));
        QCOMPARE(BackgroundChoice().value(), BackgroundChoice::transparent);
        QCOMPARE(BackgroundChoice(BackgroundChoice::black).id(), QStringLiteral("Black"));
    }

    void backgroundFromRawValueIsExact()
    {
        for (const BackgroundChoice& c : BackgroundChoice::allCases())
            QCOMPARE(BackgroundChoice::fromRawValue(c.rawValue()), std::optional(c));
        for (const char* bad : {"clear", "WHITE", " Black", "Custom ", "", "Transparent", "Whit"})
            QVERIFY2(!BackgroundChoice::fromRawValue(QString::fromLatin1(bad)), bad);
    }

    void backgroundEqualityAndHashing()
    {
        QSet<BackgroundChoice> set;
        std::unordered_set<BackgroundChoice> stdSet;
        for (int round = 0; round < 2; ++round) {
            for (const BackgroundChoice& c : BackgroundChoice::allCases()) {
                set.insert(c);
                stdSet.insert(c);
            }
        }
        QCOMPARE(set.size(), 4);
        QCOMPARE(stdSet.size(), size_t(4));
        QVERIFY(BackgroundChoice(BackgroundChoice::white) != BackgroundChoice::black);
        QCOMPARE(qHash(BackgroundChoice(BackgroundChoice::custom)),
                 qHash(QStringLiteral("Custom")));
    }

    void errorTexts()
    {
        QCOMPARE(VantelError::noSubject().errorDescription(),
                 QStringLiteral("No subject was found in this image."));
        QCOMPARE(VantelError::loadFailed().errorDescription(),
                 QStringLiteral("Couldn't read that image."));
        QCOMPARE(VantelError::failed(QStringLiteral("No image found on the clipboard."))
                     .errorDescription(),
                 QStringLiteral("No image found on the clipboard."));
        // A platform's text passes through unchanged, and what() agrees.
        const VantelError platform = VantelError::platform(QStringLiteral("Disk full – ünicode"));
        QCOMPARE(platform.errorDescription(), QStringLiteral("Disk full – ünicode"));
        QCOMPARE(QString::fromUtf8(platform.what()), platform.errorDescription());
        QCOMPARE(platform.kind(), VantelError::Kind::platform);
    }
};

QTEST_GUILESS_MAIN(TestCommon)
#include "tst_common.moc"
