#include "CutJob.h"
#include "TestImages.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

// vantel-cut: its options, its output names, and a batch with a bad file in
// it, run on the person fallback (no network) so it needs no photos.
class TestCut final : public QObject
{
    Q_OBJECT

private slots:
    void parsesOptions()
    {
        QString problem;
        auto ok = CutJob::Options::parse(QStringLiteral("5.5"), QStringLiteral("#FF8000"),
                                         QStringLiteral("2"), false, &problem);
        QVERIFY(ok);
        QCOMPARE(ok->feather, 5.5);
        QCOMPARE(*ok->background, QColor(255, 128, 0));
        QCOMPARE(*ok->subject, int64_t(2));
        const auto clear = CutJob::Options::parse(QStringLiteral("0"), QStringLiteral("clear"), {},
                                                  false, &problem);
        QVERIFY(clear && !clear->background);
        QCOMPARE(*CutJob::Options::parse(QStringLiteral("0"), QStringLiteral("White"), {}, false,
                                         &problem)
                      ->background,
                 QColor(Qt::white));
        for (const char* bad : {"-1", "21", "nan", "x"})
            QVERIFY2(!CutJob::Options::parse(QString::fromLatin1(bad), QStringLiteral("clear"), {},
                                             false, &problem),
                     bad);
        for (const char* bad : {"red", "#12345", "#1234567", "transparent"})
            QVERIFY2(!CutJob::Options::parse(QStringLiteral("0"), QString::fromLatin1(bad), {},
                                             false, &problem),
                     bad);
        for (const char* bad : {"0", "256", "one"})
            QVERIFY2(!CutJob::Options::parse(QStringLiteral("0"), QStringLiteral("clear"),
                                             QString::fromLatin1(bad), false, &problem),
                     bad);
    }

    void sameNamesDoNotOverwriteEachOther()
    {
        CutJob job(CutJob::Options{}, QStringLiteral("/out"), std::nullopt);
        QCOMPARE(job.outputPathFor(QStringLiteral("/a/photo.jpg")),
                 QStringLiteral("/out/photo.png"));
        QCOMPARE(job.outputPathFor(QStringLiteral("/b/photo.png")),
                 QStringLiteral("/out/photo-2.png"));
        QCOMPARE(job.outputPathFor(QStringLiteral("/c/photo.tiff")),
                 QStringLiteral("/out/photo-3.png"));
        QCOMPARE(job.outputPathFor(QStringLiteral("/c/other.jpg")),
                 QStringLiteral("/out/other.png"));
    }

    void batchGoesOnPastAFailure()
    {
        QTemporaryDir dir;
        const QString good = dir.filePath(QStringLiteral("good.png"));
        QImage img(400, 300, QImage::Format_RGBA8888);
        img.fill(Qt::darkYellow);
        QVERIFY(TestImages::writeFile(good, TestImages::encode(img, "png")));
        const QString bad = dir.filePath(QStringLiteral("bad.png"));
        QVERIFY(TestImages::writeFile(bad, "not an image"));
        QDir().mkpath(dir.filePath(QStringLiteral("other")));
        const QString twin = dir.filePath(QStringLiteral("other/good.png"));
        QVERIFY(QFile::copy(good, twin));

        QProcess cut;
        cut.start(QStringLiteral(VANTEL_BINARY_DIR "/src/vantel-cut"),
                  {QStringLiteral("--network"), dir.filePath(QStringLiteral("none.onnx")),
                   QStringLiteral("--background"), QStringLiteral("white"), QStringLiteral("-o"),
                   dir.filePath(QStringLiteral("out")), good, bad, twin});
        QVERIFY(cut.waitForFinished(60000));
        QCOMPARE(cut.exitCode(), 1);
        const QStringList lines = QString::fromUtf8(cut.readAllStandardError())
                                      .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[0].startsWith(QStringLiteral("[1/3]")));
        QVERIFY(lines[1].endsWith(QStringLiteral("Couldn't read that image.")));
        QVERIFY(lines[2].contains(QStringLiteral("good-2.png")));
        const QImage written(dir.filePath(QStringLiteral("out/good.png")));
        QCOMPARE(written.size(), QSize(400, 300));
        QCOMPARE(written.pixelColor(10, 10), QColor(Qt::white)); // no person: all background
        QVERIFY(QFile::exists(dir.filePath(QStringLiteral("out/good-2.png"))));

        QProcess usage;
        usage.start(QStringLiteral(VANTEL_BINARY_DIR "/src/vantel-cut"), {good});
        QVERIFY(usage.waitForFinished(30000));
        QCOMPARE(usage.exitCode(), 2);
    }
};

QTEST_GUILESS_MAIN(TestCut)
#include "tst_cut.moc"
