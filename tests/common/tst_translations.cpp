#include "TranslationFile.h"
#include "Translations.h"
#include "VantelError.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>
#include <random>

namespace {

// A text the test translation holds, as code asks for it.
struct Lookup
{
    const char* context;
    const char* source;
    const char* comment;
    int n;
};
const Lookup lookups[] = {
    {"Vantel", "Couldn't read that image.", nullptr, -1},
    {"Vantel", "Feather", nullptr, -1},
    {"Vantel", "Clear", "background", -1},
    {"VantelCut", "Images to cut out.", nullptr, -1},
    {"VantelCut", "%n image(s)", nullptr, 1},
    {"VantelCut", "%n image(s)", nullptr, 7},
    {"Elsewhere", "Feather", nullptr, -1},
};

// The test translation as lrelease makes it, plain or compressed (with a
// table of contexts).
QByteArray compiled(bool compressed = false)
{
    QFile file(QStringLiteral(TEST_TRANSLATIONS) +
               (compressed ? QStringLiteral("/compressed") : QString()) +
               QStringLiteral("/vantel_eo.qm"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

quint32 read32(const QByteArray& data, qsizetype at)
{
    const auto* b = reinterpret_cast<const uchar*>(data.constData()) + at;
    return quint32(b[0]) << 24 | quint32(b[1]) << 16 | quint32(b[2]) << 8 | b[3];
}

void write32(QByteArray& data, qsizetype at, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        data[at + i] = char(value >> (24 - 8 * i));
}

// Where the block tagged `tag` starts in a compiled translation (past its
// header), or -1.
qsizetype blockAt(const QByteArray& data, uchar tag)
{
    for (qsizetype at = 16; at + 5 <= data.size(); at += 5 + read32(data, at + 1)) {
        if (uchar(data[at]) == tag)
            return at + 5;
    }
    return -1;
}

} // namespace

// A translation for the user's language, in a folder Vantel looks in, takes
// over its texts; without one the texts stay as written. A damaged
// translation is passed over, never read past its end.
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

    void aSoundTranslationReadsAsWritten()
    {
        QVERIFY(TranslationFile::readable(compiled()));
        QVERIFY(TranslationFile::readable(compiled(true)));
        const auto translator =
            Translations::load(QLocale(QLocale::Esperanto), QStringLiteral("vantel"),
                               QStringLiteral(TEST_TRANSLATIONS));
        QVERIFY(translator);
        QCOMPARE(translator->translate("Vantel", "Clear", "background"),
                 QStringLiteral("Travidebla"));
        QCOMPARE(translator->translate("VantelCut", "%n image(s)", nullptr, 7),
                 QStringLiteral("%n bildoj"));
        // Without its table of contexts, a compressed one finds every text.
        const auto compressed =
            Translations::load(QLocale(QLocale::Esperanto), QStringLiteral("vantel"),
                               QStringLiteral(TEST_TRANSLATIONS "/compressed"));
        QVERIFY(compressed);
        QCOMPARE(compressed->translate("VantelCut", "Images to cut out."),
                 QStringLiteral("Bildoj eltondotaj."));
        QVERIFY(compressed->translate("Elsewhere", "Feather").isEmpty());
        // A regional language falls back to its language.
        QVERIFY(Translations::load(QLocale(QStringLiteral("eo_001")), QStringLiteral("vantel"),
                                   QStringLiteral(TEST_TRANSLATIONS)));
    }

    // Each kind of damage that led Qt's lookups past the file's end (or to a
    // division by zero) before translations were checked.
    void damageThatReadsOutOfBoundsIsRefused()
    {
        const QByteArray sound = compiled(true);
        const qsizetype contexts = blockAt(sound, 0x2f);
        const qsizetype hashes = blockAt(sound, 0x42);
        const qsizetype messages = blockAt(sound, 0x69);
        QVERIFY(contexts > 0 && hashes > 0 && messages > 0);

        // A table of contexts is never read, sound or not.
        QByteArray noBuckets = sound;
        noBuckets[contexts] = noBuckets[contexts + 1] = 0;
        const std::optional<QByteArray> withoutContexts = TranslationFile::readable(noBuckets);
        QVERIFY(withoutContexts);
        QTranslator translator;
        QVERIFY(translator.load(reinterpret_cast<const uchar*>(withoutContexts->constData()),
                                int(withoutContexts->size())));
        QCOMPARE(translator.translate("Vantel", "Feather"), QStringLiteral("Plumo"));
        QVERIFY(translator.translate("Elsewhere", "Feather").isEmpty());

        QByteArray farMessage = sound;
        write32(farMessage, hashes + 4, read32(sound, messages - 4));
        QVERIFY(!TranslationFile::readable(farMessage));

        // The first message's first field is its translation.
        QByteArray longTranslation = sound;
        const qsizetype first = messages + read32(sound, hashes + 4);
        QCOMPARE(int(sound[first]), 3);
        write32(longTranslation, first + 1, 0x7ffffff0u);
        QVERIFY(!TranslationFile::readable(longTranslation));
        write32(longTranslation, first + 1, 0xfffffff0u);
        QVERIFY(!TranslationFile::readable(longTranslation));

        QVERIFY(!TranslationFile::readable(sound.left(messages + 3)));
        QVERIFY(!TranslationFile::readable(sound.left(15)));

        // Another file named from inside this one is never read.
        QByteArray dependent = sound;
        dependent.append(char(0x96)).append(QByteArray("\0\0\0\4\0\0\0\0", 8));
        QVERIFY(!TranslationFile::readable(dependent));
    }

    void randomDamageNeverCrashesALookup_data()
    {
        QTest::addColumn<bool>("compressed");
        QTest::newRow("plain") << false;
        QTest::newRow("compressed") << true;
    }

    // Thousands of files with a few bytes changed at random (a fixed seed;
    // read by Qt unchecked, about one in six of them crashed a lookup):
    // each is refused, or every lookup through it returns.
    void randomDamageNeverCrashesALookup()
    {
        QFETCH(bool, compressed);
        const QByteArray sound = compiled(compressed);
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QString path = folder.filePath(QStringLiteral("vantel_eo.qm"));
        std::mt19937 random(29);
        int refused = 0;
        for (int mutant = 0; mutant < 3000; ++mutant) {
            QByteArray damaged = sound;
            const int changes = 1 + int(random() % 4);
            for (int i = 0; i < changes; ++i)
                damaged[qsizetype(random() % quint32(damaged.size()))] = char(random());
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(damaged);
            file.close();
            const auto translator = Translations::load(QLocale(QLocale::Esperanto),
                                                       QStringLiteral("vantel"), folder.path());
            if (!translator) {
                ++refused;
                continue;
            }
            for (const Lookup& l : lookups)
                translator->translate(l.context, l.source, l.comment, l.n);
        }
        QVERIFY(refused > 0);
    }
};

QTEST_GUILESS_MAIN(TestTranslations)
#include "tst_translations.moc"
