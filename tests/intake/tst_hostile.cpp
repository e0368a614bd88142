#include "AllocatorTuning.h"
#include "ImageIntake.h"
#include "VantelError.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

// Every file scripts/make-hostile-corpus writes goes through the intake in a
// process of its own (this program with --probe), which must end normally
// within 30 s, below 1.5 GiB, with the outcome the corpus's manifest gives
// and nothing on stderr. A FIFO is turned down at once.

// The probe: prints the outcome ("ok WxH" or the error text the user would
// see), then "peak-kib N", the process's peak resident memory. Qt's messages
// are dropped, so anything on stderr came from a library writing past them.
static int probe(const char* path)
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    const std::optional<QImage> image = ImageIntake::loadFile(path, 2560.0);
    if (image)
        std::printf("ok %dx%d\n", image->width(), image->height());
    else
        std::printf("%s\n", qPrintable(VantelError::loadFailed().errorDescription()));
    QFile status(QStringLiteral("/proc/self/status"));
    const QRegularExpressionMatch peak =
        QRegularExpression(QStringLiteral("VmHWM:\\s*(\\d+)"))
            .match(status.open(QIODevice::ReadOnly) ? QString::fromLatin1(status.readAll()) : "");
    std::printf("peak-kib %s\n", peak.hasMatch() ? qPrintable(peak.captured(1)) : "-1");
    return 0;
}

class TestHostile final : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    // Runs the probe on `file`: it must end normally within `ms`, below
    // 1.5 GiB, with `expected` and nothing on stderr.
    static void probe(const QString& file, const QString& expected, int ms)
    {
        QProcess p;
        QElapsedTimer timer;
        timer.start();
        p.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--probe"), file});
        QVERIFY2(p.waitForFinished(30'000) && timer.elapsed() < ms,
                 qPrintable(QStringLiteral("still running after %1 ms").arg(timer.elapsed())));
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0, "the probe crashed");
        const QList<QByteArray> lines = p.readAllStandardOutput().split('\n');
        QCOMPARE(QString::fromUtf8(lines.value(0)), expected);
        const qint64 peakKib =
            lines.value(1).startsWith("peak-kib ") ? lines.value(1).mid(9).toLongLong() : -1;
        QVERIFY2(peakKib > 0 && peakKib < 1536 * 1024,
                 qPrintable(QStringLiteral("peak %1 KiB").arg(peakKib)));
        const QByteArray errors = p.readAllStandardError();
        QVERIFY2(errors.isEmpty(), errors.constData());
    }

    QString corpus() const { return m_dir.filePath(QStringLiteral("corpus")); }

private slots:
    void everyFileGivesItsExpectedOutcome_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("expected");
        QVERIFY(m_dir.isValid());
        QProcess make;
        make.start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral(VANTEL_SOURCE_DIR "/scripts/make-hostile-corpus"), corpus()});
        QVERIFY(make.waitForFinished(120'000));
        QVERIFY2(make.exitCode() == 0, make.readAllStandardError().constData());
        QFile manifest(QDir(corpus()).filePath(QStringLiteral("manifest.tsv")));
        QVERIFY(manifest.open(QIODevice::ReadOnly));
        int files = 0;
        for (const QByteArray& line : manifest.readAll().split('\n')) {
            const QList<QByteArray> fields = line.split('\t');
            if (fields.size() == 2 && ++files)
                QTest::newRow(fields[0].constData())
                    << QDir(corpus()).filePath(QString::fromUtf8(fields[0]))
                    << QString::fromUtf8(fields[1]);
        }
        QVERIFY(files >= 40);
    }

    void everyFileGivesItsExpectedOutcome()
    {
        QFETCH(QString, file);
        QFETCH(QString, expected);
        probe(file, expected, 30'000);
    }

    void fifoIsTurnedDownAtOnce()
    {
        const QByteArray fifo = QFile::encodeName(m_dir.filePath(QStringLiteral("x.png")));
        QVERIFY(::mkfifo(fifo.constData(), 0600) == 0);
        probe(QFile::decodeName(fifo), VantelError::loadFailed().errorDescription(), 5000);
    }
};

int main(int argc, char** argv)
{
    tuneAllocatorForLargeImages(); // as in vantel and vantel-cut
    QCoreApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--probe") == 0)
        return probe(argv[2]);
    TestHostile test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hostile.moc"
