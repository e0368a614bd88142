#include "VantelError.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Every file scripts/make-hostile-corpus writes goes through the intake in a
// process of its own (intake_probe), which must end normally within 30 s,
// below 1.5 GiB, with the outcome the corpus's manifest gives and nothing
// on stderr.
class TestHostile final : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QList<QPair<QString, QString>> m_manifest;

    struct Outcome
    {
        bool finished = false;
        bool crashed = false;
        QString result;
        qint64 peakKib = -1;
        QByteArray errors;
        qint64 ms = 0;
    };

    static Outcome probe(const QStringList& arguments)
    {
        Outcome out;
        QProcess p;
        QElapsedTimer timer;
        timer.start();
        p.start(QStringLiteral(INTAKE_PROBE), arguments);
        out.finished = p.waitForFinished(30'000);
        out.ms = timer.elapsed();
        if (!out.finished)
            return out; // QProcess kills it
        out.crashed = p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0;
        const QList<QByteArray> lines = p.readAllStandardOutput().split('\n');
        out.result = QString::fromUtf8(lines.value(0));
        if (lines.value(1).startsWith("peak-kib "))
            out.peakKib = lines.value(1).mid(9).toLongLong();
        out.errors = p.readAllStandardError();
        return out;
    }

    QString corpus() const { return m_dir.filePath(QStringLiteral("corpus")); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QProcess make;
        make.start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral(VANTEL_SOURCE_DIR "/scripts/make-hostile-corpus"), corpus()});
        QVERIFY(make.waitForFinished(120'000));
        QVERIFY2(make.exitCode() == 0, make.readAllStandardError().constData());
        QFile manifest(QDir(corpus()).filePath(QStringLiteral("manifest.tsv")));
        QVERIFY(manifest.open(QIODevice::ReadOnly));
        for (const QByteArray& line : manifest.readAll().split('\n')) {
            const QList<QByteArray> fields = line.split('\t');
            if (fields.size() == 2)
                m_manifest.append({QString::fromUtf8(fields[0]), QString::fromUtf8(fields[1])});
        }
        QVERIFY(m_manifest.size() >= 40);
    }

    void everyFileGivesItsExpectedOutcome_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("expected");
        for (const auto& [file, expected] : m_manifest)
            QTest::newRow(qPrintable(file)) << file << expected;
    }

    void everyFileGivesItsExpectedOutcome()
    {
        QFETCH(QString, file);
        QFETCH(QString, expected);
        const Outcome out = probe({QDir(corpus()).filePath(file)});
        QVERIFY2(out.finished, "still running after 30 s");
        QVERIFY2(!out.crashed, "the probe crashed");
        QCOMPARE(out.result, expected);
        QVERIFY(out.peakKib > 0);
        QVERIFY2(out.peakKib < 1536 * 1024,
                 qPrintable(QStringLiteral("peak %1 MiB").arg(out.peakKib / 1024)));
        QVERIFY2(out.errors.isEmpty(), out.errors.constData());
    }

    void fifoIsTurnedDownAtOnce()
    {
        const QByteArray fifo = QFile::encodeName(m_dir.filePath(QStringLiteral("x.png")));
        QVERIFY(::mkfifo(fifo.constData(), 0600) == 0);
        const Outcome out = probe({QFile::decodeName(fifo)});
        QVERIFY2(out.finished && out.ms < 5000, qPrintable(QString::number(out.ms)));
        QCOMPARE(out.result, VantelError::loadFailed().errorDescription());
    }
};

QTEST_GUILESS_MAIN(TestHostile)
#include "tst_hostile.moc"
