#include "TranslationFile.h"
#include "Translations.h"
#include "VantelError.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>
#include <QtEndian>
#include <random>

namespace {

// Texts the test translation holds, as code asks for them, and what they
// read as; the last is in no context the translation has.
struct Lookup
{
    const char* context;
    const char* source;
    const char* comment;
    int n;
    const char* reads;
};
const Lookup lookups[] = {
    {"Vantel", "Clear", "background", -1, "Travidebla"},
    {"VantelCut", "Images to cut out.", nullptr, -1, "Bildoj eltondotaj."},
    {"VantelCut", "%n image(s)", nullptr, 1, "%n bildo"},
    {"VantelCut", "%n image(s)", nullptr, 7, "%n bildoj"},
    {"Elsewhere", "Feather", nullptr, -1, ""},
};

// The test translations as lrelease makes them: plain, and compressed (with
// a table of contexts).
const QString folders[] = {QStringLiteral(TEST_TRANSLATIONS),
                           QStringLiteral(TEST_TRANSLATIONS "/compressed")};

QByteArray compiled(const QString& folder)
{
    QFile file(folder + QStringLiteral("/vantel_eo.qm"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

quint32 read32(const QByteArray& data, qsizetype at)
{
    return qFromBigEndian<quint32>(data.constData() + at);
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
        const QString unreadable = QStringLiteral("Couldn't read that image.");
        QVERIFY(!Translations::install(QLocale(QLocale::Esperanto), {QStringLiteral("/nowhere")}));
        QVERIFY(!Translations::install(QLocale(QLocale::Welsh), {folders[0]}));
        QCOMPARE(VantelError::loadFailed().errorDescription(), unreadable);

        QVERIFY(Translations::install(QLocale(QLocale::Esperanto),
                                      {QStringLiteral("/nowhere"), folders[0]}));
        QCOMPARE(VantelError::loadFailed().errorDescription(),
                 QStringLiteral("Ne eblis legi tiun bildon."));
        // What the translation leaves out stays as written.
        QCOMPARE(VantelError::noSubject().errorDescription(),
                 QStringLiteral("No subject was found in this image."));
    }

    // Plain or compressed (its table of contexts left out), a sound
    // translation finds every text; a regional language falls back to its
    // language.
    void aSoundTranslationReadsAsWritten()
    {
        for (const QString& folder : folders) {
            const auto translator = Translations::load(QLocale(QStringLiteral("eo_001")),
                                                       QStringLiteral("vantel"), folder);
            QVERIFY2(translator, qPrintable(folder));
            for (const Lookup& l : lookups)
                QCOMPARE(translator->translate(l.context, l.source, l.comment, l.n),
                         QString::fromUtf8(l.reads));
        }
    }

    // Each kind of damage that led Qt's lookups past the file's end (or to a
    // division by zero) before translations were checked.
    void damageThatReadsOutOfBoundsIsRefused()
    {
        const QByteArray sound = compiled(folders[1]);
        const qsizetype contexts = blockAt(sound, 0x2f);
        const qsizetype hashes = blockAt(sound, 0x42);
        const qsizetype messages = blockAt(sound, 0x69);
        QVERIFY(contexts > 0 && hashes > 0 && messages > 0);
        auto with32 = [&](qsizetype at, quint32 value) {
            QByteArray damaged = sound;
            qToBigEndian(value, damaged.data() + at);
            return damaged;
        };

        // A table of contexts is never read, sound or not.
        QByteArray noBuckets = sound;
        noBuckets[contexts] = noBuckets[contexts + 1] = 0;
        const auto withoutContexts = TranslationFile::readable(noBuckets);
        QVERIFY(withoutContexts);
        QTranslator translator;
        QVERIFY(translator.load(reinterpret_cast<const uchar*>(withoutContexts->constData()),
                                int(withoutContexts->size())));
        QCOMPARE(translator.translate("Vantel", "Feather"), QStringLiteral("Plumo"));
        QVERIFY(translator.translate("Elsewhere", "Feather").isEmpty());

        QVERIFY(!TranslationFile::readable(with32(hashes + 4, read32(sound, messages - 4))));
        // The first message's first field is its translation.
        const qsizetype first = messages + read32(sound, hashes + 4);
        QCOMPARE(int(sound[first]), 3);
        QVERIFY(!TranslationFile::readable(with32(first + 1, 0x7ffffff0u)));
        QVERIFY(!TranslationFile::readable(with32(first + 1, 0xfffffff0u)));
        QVERIFY(!TranslationFile::readable(sound.left(messages + 3)));
        QVERIFY(!TranslationFile::readable(sound.left(15)));

        // Another file named from inside this one is never read.
        QVERIFY(!TranslationFile::readable(sound + QByteArray("\x96\0\0\0\4\0\0\0\0", 9)));
    }

    // Thousands of files with a few bytes changed at random (a fixed seed;
    // read by Qt unchecked, about one in six of them crashed a lookup):
    // each is refused, or every lookup through it returns.
    void randomDamageNeverCrashesALookup()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        for (const QString& from : folders) {
            std::mt19937 random(29);
            const QByteArray sound = compiled(from);
            int refused = 0;
            for (int mutant = 0; mutant < 3000; ++mutant) {
                QByteArray damaged = sound;
                const int changes = 1 + int(random() % 4);
                for (int i = 0; i < changes; ++i)
                    damaged[qsizetype(random() % quint32(damaged.size()))] = char(random());
                QFile file(folder.filePath(QStringLiteral("vantel_eo.qm")));
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
    }
};

QTEST_GUILESS_MAIN(TestTranslations)
#include "tst_translations.moc"
