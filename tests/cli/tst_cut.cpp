#include "CutJob.h"
#include "ModelFiles.h"
#include "TestImages.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <opencv2/imgcodecs.hpp>
#include <sys/resource.h>
#include <unistd.h>

// vantel-cut as a user runs it, on the person fallback (no network installed
// where it looks) so each file takes moments: what it writes where, what it
// never writes over, and what it says.
class TestCut final : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_person; // a small photo of a person

    QString path(const QString& name) const { return m_dir.filePath(name); }

    struct Run
    {
        int status = -1;
        QStringList lines;
        QStringList out;  // stdout's lines
        QByteArray bytes; // stdout as it came
        QString lastFile; // the last file's line
    };

    // Runs vantel-cut without an installed network (or with the installed
    // one); `limit` caps the size of the files it may write (RLIMIT_FSIZE),
    // 0 for none.
    // `models`, when given, is the data folder the networks are found in.
    Run cut(const QStringList& arguments, rlim_t limit = 0, bool network = false,
            const QString& models = {}, const QByteArray& input = {})
    {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (!network || !models.isEmpty()) {
            env.insert(QStringLiteral("XDG_DATA_HOME"),
                       models.isEmpty() ? path(QStringLiteral("nothing")) : models);
            env.insert(QStringLiteral("XDG_DATA_DIRS"), path(QStringLiteral("nothing")));
        }
        process.setProcessEnvironment(env);
        process.setChildProcessModifier([limit] {
            if (limit) {
                const rlimit small{limit, limit};
                setrlimit(RLIMIT_FSIZE, &small);
            }
        });
        process.start(QStringLiteral(VANTEL_BINARY_DIR "/src/vantel-cut"), arguments);
        process.write(input);
        process.closeWriteChannel();
        Run run;
        if (!process.waitForFinished(60000))
            return run;
        run.bytes = process.readAllStandardOutput();
        run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.lines = QString::fromUtf8(process.readAllStandardError())
                        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString& line : run.lines) {
            if (line.startsWith(QLatin1Char('[')))
                run.lastFile = line;
        }
        run.out = QString::fromUtf8(run.bytes).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        return run;
    }

    static QByteArray bytesOf(const QString& file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private slots:
    void initTestCase()
    {
        const QImage astronaut(TestImages::photo(QStringLiteral("astronaut.png")));
        QVERIFY2(!astronaut.isNull(), "astronaut.png is missing: run scripts/setup");
        m_person = path(QStringLiteral("person.png"));
        QVERIFY(astronaut.scaled(200, 200).save(m_person));
    }

    void parsesOptions()
    {
        QString problem;
        auto ok = CutJob::Options::parse(QStringLiteral("5.5"), QStringLiteral("#FF8000"),
                                         QStringLiteral("2"), false, &problem);
        QVERIFY(ok);
        QCOMPARE(ok->feather, 5.5);
        QCOMPARE(*ok->background, QColor(255, 128, 0));
        QCOMPARE(*ok->subject, int64_t(2));
        for (const char* bad : {"-1", "21", "nan", "x"})
            QVERIFY2(!CutJob::Options::parse(QString::fromLatin1(bad), QStringLiteral("clear"), {},
                                             false, &problem),
                     bad);
        for (const char* bad : {"red", "#12345", "transparent"})
            QVERIFY2(!CutJob::Options::parse(QStringLiteral("0"), QString::fromLatin1(bad), {},
                                             false, &problem),
                     bad);
    }

    void batchGoesOnPastFailuresAndSaysWhy()
    {
        const QString bad = path(QStringLiteral("bad.png"));
        QVERIFY(TestImages::writeFile(bad, "not an image"));
        QImage empty(300, 200, QImage::Format_RGBA8888);
        empty.fill(Qt::darkYellow);
        const QString nobody = path(QStringLiteral("nobody.png"));
        QVERIFY(empty.save(nobody));
        QDir().mkpath(path(QStringLiteral("other")));
        const QString twin = path(QStringLiteral("other/person.png"));
        QVERIFY(QFile::copy(m_person, twin));

        const Run run =
            cut({QStringLiteral("--background"), QStringLiteral("white"), QStringLiteral("-o"),
                 path(QStringLiteral("out")), m_person, bad, nobody, twin});
        QCOMPARE(run.status, 1);
        // One warning, then one line per file and the summary, and nothing
        // of the libraries'.
        QCOMPARE(run.lines.size(), 6);
        QVERIFY2(
            run.lines[5].startsWith(QStringLiteral("vantel-cut: 2 cut out, 2 failed, 0 skipped; ")),
            qPrintable(run.lines[5]));
        QVERIFY(run.lines[0].contains(QStringLiteral("no segmentation network is installed")));
        QVERIFY(
            run.lines[1].contains(QStringLiteral("-> ") + path(QStringLiteral("out/person.png"))));
        QVERIFY(run.lines[2].endsWith(QStringLiteral("Couldn't read that image.")));
        QVERIFY(run.lines[3].endsWith(QStringLiteral("No subject was found in this image.")));
        QVERIFY(run.lines[4].contains(QStringLiteral("out/person-2.png")));
        const QImage written(path(QStringLiteral("out/person.png")));
        QCOMPARE(written.size(), QSize(200, 200));
        QCOMPARE(written.pixelColor(0, 199), QColor(Qt::white));

        // Quiet, only the failures are said.
        const Run quiet = cut({QStringLiteral("--quiet"), QStringLiteral("-o"),
                               path(QStringLiteral("quiet")), m_person, bad});
        QCOMPARE(quiet.status, 1);
        QCOMPARE(quiet.lines.size(), 2);
        QVERIFY(quiet.lines[0].contains(QStringLiteral("no segmentation network is installed")));
        QVERIFY(quiet.lines[1].endsWith(QStringLiteral("Couldn't read that image.")));

        // Usage errors, and a named network that cannot be loaded.
        QCOMPARE(cut({QStringLiteral("--no-such-option")}).status, 2);
        QCOMPARE(cut({m_person}).status, 2);
        const Run missing = cut({QStringLiteral("--network"), path(QStringLiteral("none.onnx")),
                                 QStringLiteral("-o"), path(QStringLiteral("out")), m_person});
        QCOMPARE(missing.status, 1);
        QCOMPARE(missing.lines.size(), 2);
        QVERIFY(missing.lines[1].contains(path(QStringLiteral("none.onnx"))));
    }

    // A batch run again with --skip-existing does only what is missing,
    // never writes over a result nor beside it.
    void skipExistingResumesABatch()
    {
        QStringList inputs;
        for (int i = 0; i < 4; ++i) {
            inputs << path(QStringLiteral("resume%1.png").arg(i));
            QVERIFY(QFile::copy(m_person, inputs.last()));
        }
        const QString out = path(QStringLiteral("resumed"));
        QCOMPARE(cut({QStringLiteral("-o"), out, inputs[0], inputs[2]}).status, 0);
        const QByteArray first = bytesOf(out + QStringLiteral("/resume0.png"));
        QVERIFY(!first.isEmpty());
        QVERIFY(TestImages::writeFile(out + QStringLiteral("/resume2.png"), "left as it is"));

        const Run again =
            cut(QStringList{QStringLiteral("--skip-existing"), QStringLiteral("-o"), out} + inputs);
        QCOMPARE(again.status, 0);
        QVERIFY(again.lines[1].contains(QStringLiteral("skipped")));
        QVERIFY(again.lines[2].contains(QStringLiteral("-> ")));
        QVERIFY(again.lines.last().contains(QStringLiteral("2 cut out, 0 failed, 2 skipped")));
        QCOMPARE(bytesOf(out + QStringLiteral("/resume0.png")), first);
        QCOMPARE(bytesOf(out + QStringLiteral("/resume2.png")), QByteArray("left as it is"));
        QCOMPARE(QDir(out).entryList(QDir::Files).size(), 4);
        QCOMPARE(cut({QStringLiteral("--skip-existing"), QStringLiteral("--overwrite"),
                      QStringLiteral("-o"), out, inputs[0]})
                     .status,
                 2);
    }

    // - reads the image from stdin and -o - writes the result to stdout, the
    // same bytes as into a folder; nothing else goes there, and a failure
    // writes nothing anywhere.
    void pipesInAndOut()
    {
        const QString out = path(QStringLiteral("piped"));
        QCOMPARE(cut({QStringLiteral("-o"), out, m_person}).status, 0);
        const Run piped = cut({QStringLiteral("-"), QStringLiteral("-o"), QStringLiteral("-")}, 0,
                              false, {}, bytesOf(m_person));
        QCOMPARE(piped.status, 0);
        QCOMPARE(piped.bytes, bytesOf(out + QStringLiteral("/person.png")));
        // From stdin into a folder it is named stdin.png.
        QCOMPARE(
            cut({QStringLiteral("-"), QStringLiteral("-o"), out}, 0, false, {}, bytesOf(m_person))
                .status,
            0);
        QCOMPARE(bytesOf(out + QStringLiteral("/stdin.png")), piped.bytes);

        const Run bad = cut({QStringLiteral("-"), QStringLiteral("-o"), path(QStringLiteral("no"))},
                            0, false, {}, "not an image");
        QCOMPARE(bad.status, 1);
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("no"))));
        const Run badOut = cut({QStringLiteral("-"), QStringLiteral("-o"), QStringLiteral("-")}, 0,
                               false, {}, "not an image");
        QCOMPARE(badOut.status, 1);
        QVERIFY(badOut.bytes.isEmpty());

        // Usage errors: - among other images, -o - for several, or with --list.
        QCOMPARE(cut({QStringLiteral("-o"), out, QStringLiteral("-"), m_person}).status, 2);
        QCOMPARE(cut({QStringLiteral("-o"), QStringLiteral("-"), m_person, m_person}).status, 2);
        QCOMPARE(
            cut({QStringLiteral("--list"), QStringLiteral("-o"), QStringLiteral("-"), m_person})
                .status,
            2);
        QVERIFY(!QFileInfo::exists(QStringLiteral("-")));
    }

    // --full-size writes at the input's own size, its edges from the
    // photo's; without it the longer side is capped. Past 100 megapixels it
    // says why and writes nothing.
    void fullSizeKeepsTheInputsSize()
    {
        const QString large = path(QStringLiteral("large.png"));
        QVERIFY(QImage(m_person).scaled(2800, 2800).save(large));
        const QString out = path(QStringLiteral("full"));
        const Run full = cut({QStringLiteral("--full-size"), QStringLiteral("-o"), out, large});
        QCOMPARE(full.status, 0);
        const QImage written(out + QStringLiteral("/large.png"));
        QCOMPARE(written.size(), QSize(2800, 2800));
        QCOMPARE(qAlpha(written.pixel(0, 0)), 0);
        QVERIFY(qAlpha(written.pixel(1400, 1820)) > 200);
        QCOMPARE(cut({QStringLiteral("--overwrite"), QStringLiteral("-o"), out, large}).status, 0);
        QCOMPARE(QImage(out + QStringLiteral("/large.png")).size(), QSize(2560, 2560));

        const QString huge = path(QStringLiteral("huge.png"));
        QVERIFY(cv::imwrite(huge.toStdString(), cv::Mat(10001, 10001, CV_8UC1, cv::Scalar(90))));
        const Run refused = cut({QStringLiteral("--full-size"), QStringLiteral("-o"),
                                 path(QStringLiteral("huge")), huge});
        QCOMPARE(refused.status, 1);
        QVERIFY2(refused.lastFile.endsWith(QStringLiteral(
                     "--full-size takes images of up to 100 megapixels; this one has 100.")),
                 qPrintable(refused.lastFile));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("huge"))));
        QFile::remove(huge);
    }

    void manualPageCoversEveryOption()
    {
        // Every option --help lists has its entry in the manual page.
        const Run help = cut({QStringLiteral("--help")});
        QCOMPARE(help.status, 0);
        QFile page(QStringLiteral(VANTEL_SOURCE_DIR "/src/cli/vantel-cut.1"));
        QVERIFY(page.open(QIODevice::ReadOnly));
        const QString roff = QString::fromUtf8(page.readAll());
        const QRegularExpression option(QStringLiteral("^\\s+(?:-\\w, )?--([a-z-]+)"));
        int options = 0;
        for (const QString& line : help.out) {
            const QRegularExpressionMatch m = option.match(line);
            if (!m.hasMatch() || m.captured(1) == QLatin1String("help-all"))
                continue;
            ++options;
            // Roff writes every hyphen of an option as \-.
            const QString name = m.captured(1);
            QVERIFY2(roff.contains(QStringLiteral("\\-\\-") +
                                   QString(name).replace(QLatin1Char('-'), QStringLiteral("\\-"))),
                     qPrintable(name));
        }
        QVERIFY(options >= 10);
    }

    // A click on the person with the installed network keeps her, and the
    // subjects are listed; without the network there is nothing to click.
    void keepsWhatAClickKeeps()
    {
        const Run run = cut({QStringLiteral("--list"), QStringLiteral("--mask"),
                             QStringLiteral("--at"), QStringLiteral("100,60"), QStringLiteral("-o"),
                             path(QStringLiteral("at")), m_person},
                            0, true);
        QCOMPARE(run.status, 0);
        // Loading is said before it starts, and the engines once loaded.
        QCOMPARE(run.lines.first(), QStringLiteral("vantel-cut: Loading the networks…"));
        QVERIFY(run.lines[1].startsWith(QStringLiteral("vantel-cut: segmentation network: ")));
        QVERIFY2(!run.out
                      .filter(QRegularExpression(QStringLiteral(
                          "person.png: \\d+ person 0\\.\\d\\d \\d+,\\d+ \\d+x\\d+$")))
                      .isEmpty(),
                 qPrintable(run.out.join(QLatin1Char('\n'))));
        const QImage mask(path(QStringLiteral("at/person.png")));
        QVERIFY(qGray(mask.pixel(100, 60)) > 200);

        const Run none = cut({QStringLiteral("--at"), QStringLiteral("5,5"), QStringLiteral("-o"),
                              path(QStringLiteral("at")), m_person});
        QCOMPARE(none.status, 1);
        QVERIFY(none.lastFile.endsWith(QStringLiteral("There is no subject at 5,5.")));
        // A listed box and a click are in the same pixels, the input's, even
        // where the image was scaled down for the analysis.
        const QString tall = path(QStringLiteral("tall.png"));
        QVERIFY(QImage(TestImages::photo(QStringLiteral("astronaut.png")))
                    .scaled(2400, 3200)
                    .save(tall));
        const Run listed = cut({QStringLiteral("--list"), tall}, 0, true);
        const QRegularExpressionMatch box =
            QRegularExpression(QStringLiteral(" person 0\\.\\d\\d (\\d+),(\\d+) (\\d+)x(\\d+)$"))
                .match(listed.out.filter(QStringLiteral(" person ")).value(0));
        QVERIFY2(box.hasMatch(), qPrintable(listed.out.join(QLatin1Char('\n'))));
        QVERIFY(box.captured(2).toInt() + box.captured(4).toInt() > 2560); // not the scaled frame
        const QString centre = QStringLiteral("%1,%2")
                                   .arg(box.captured(1).toInt() + box.captured(3).toInt() / 2)
                                   .arg(box.captured(2).toInt() + box.captured(4).toInt() / 2);
        QCOMPARE(cut({QStringLiteral("--at"), centre, QStringLiteral("--mask"),
                      QStringLiteral("-o"), path(QStringLiteral("at")), tall},
                     0, true)
                     .status,
                 0);

        for (const QStringList& wrong :
             {QStringList{QStringLiteral("--at"), QStringLiteral("5")},
              QStringList{QStringLiteral("--at"), QStringLiteral("1,2"),
                          QStringLiteral("--subject"), QStringLiteral("1")},
              QStringList{QStringLiteral("--labels"), QStringLiteral("--mask")}})
            QCOMPARE(
                cut(wrong + QStringList{QStringLiteral("-o"), path(QStringLiteral("at")), m_person})
                    .status,
                2);
        // An empty folder (an unset variable in a script) is no folder.
        QCOMPARE(cut({QStringLiteral("-o"), QString(), m_person}).status, 2);
    }

    // A box around the person keeps her, past the box's sides no farther than
    // the network looked (15% of the box around it); boxes
    // and clicks together keep all they each keep; a box must lie on the
    // image, and without the network there is nothing to run over it.
    void keepsWhatABoxKeeps()
    {
        const QString out = path(QStringLiteral("box"));
        auto maskOf = [&](const QStringList& picks) {
            QDir(out).removeRecursively();
            const Run run = cut(
                picks + QStringList{QStringLiteral("--mask"), QStringLiteral("-o"), out, m_person},
                0, true);
            return run.status == 0 ? QImage(out + QStringLiteral("/person.png")) : QImage();
        };
        const QImage box = maskOf({QStringLiteral("--box"), QStringLiteral("50,20,100,150")});
        QVERIFY(!box.isNull());
        QVERIFY(qGray(box.pixel(100, 60)) > 200);
        for (const QPoint outside : {QPoint(30, 100), QPoint(170, 100), QPoint(100, 196)})
            QCOMPARE(qGray(box.pixel(outside)), 0);

        // A click on her and a box in a corner: her mask and the box's.
        const QImage both = maskOf({QStringLiteral("--at"), QStringLiteral("100,60"),
                                    QStringLiteral("--box"), QStringLiteral("0,0,10,10")});
        QVERIFY(!both.isNull());
        QVERIFY(qGray(both.pixel(100, 60)) > 200);

        const Run outside = cut({QStringLiteral("--box"), QStringLiteral("300,0,20,20"),
                                 QStringLiteral("-o"), out, m_person},
                                0, true);
        QCOMPARE(outside.status, 1);
        QVERIFY(outside.lastFile.endsWith(
            QStringLiteral("The box 300,0 20x20 is outside the image (200x200).")));
        QDir(out).removeRecursively();
        const Run unavailable = cut({QStringLiteral("--box"), QStringLiteral("50,20,100,150"),
                                     QStringLiteral("-o"), out, m_person});
        QCOMPARE(unavailable.status, 1);
        QVERIFY(!QFile::exists(out + QStringLiteral("/person.png")));

        for (const char* wrong : {"1,2,3", "1,2,0,5", "1,2,3,4,5", "a,b,c,d", "-1,2,3,4"})
            QCOMPARE(cut({QStringLiteral("--box"), QString::fromLatin1(wrong), QStringLiteral("-o"),
                          out, m_person})
                         .status,
                     2);
        QCOMPARE(
            cut({QStringLiteral("--box"), QStringLiteral("1,2,3,4"), QStringLiteral("--subject"),
                 QStringLiteral("1"), QStringLiteral("-o"), out, m_person})
                .status,
            2);
    }

    void aFinderThatDoesNotFitIsLeftOutWithANotice()
    {
        // The two finders' files swapped, then one cut short: every image is
        // still cut out, by the matte's own split, and one line says why.
        const QString network = ModelFiles::locate(QStringLiteral("isnet.onnx"));
        const QString objects = ModelFiles::locate(QStringLiteral("nanodet.onnx"));
        const QString poses = ModelFiles::locate(QStringLiteral("movenet-multipose.onnx"));
        QVERIFY2(!network.isEmpty() && !objects.isEmpty() && !poses.isEmpty(),
                 "the networks are missing: run scripts/setup");
        const QString models = path(QStringLiteral("swapped/vantel/models"));
        QVERIFY(QDir().mkpath(models));
        QVERIFY(QFile::link(network, models + QStringLiteral("/isnet.onnx")));
        QVERIFY(QFile::link(poses, models + QStringLiteral("/nanodet.onnx")));
        QVERIFY(QFile::link(objects, models + QStringLiteral("/movenet-multipose.onnx")));
        for (int round = 0; round < 2; ++round) {
            const Run run =
                cut({QStringLiteral("-o"), path(QStringLiteral("swapped-out")), m_person}, 0, true,
                    path(QStringLiteral("swapped")));
            QCOMPARE(run.status, 0);
            QCOMPARE(run.lines.filter(QStringLiteral("could not be loaded")).size(), 1);
            QVERIFY(run.lines.filter(QStringLiteral("told apart by the matte alone")).size() == 1);
            QVERIFY2(run.lines.filter(QStringLiteral("ERROR")).isEmpty(),
                     qPrintable(run.lines.join(QLatin1Char('\n'))));
            // Next: a finder cut short.
            QFile::remove(models + QStringLiteral("/nanodet.onnx"));
            QFile whole(objects);
            QVERIFY(whole.open(QIODevice::ReadOnly));
            QVERIFY(TestImages::writeFile(models + QStringLiteral("/nanodet.onnx"),
                                          whole.read(whole.size() / 2)));
            QFile::remove(models + QStringLiteral("/movenet-multipose.onnx"));
            QVERIFY(QFile::link(poses, models + QStringLiteral("/movenet-multipose.onnx")));
        }
    }

    void neverWritesOverInputsOrExistingFiles()
    {
        QDir().mkpath(path(QStringLiteral("in")));
        const QString input = path(QStringLiteral("in/person.png"));
        QVERIFY(QFile::copy(m_person, input));
        const QByteArray original = bytesOf(input);

        // Into the inputs' own folder: the input stays as it was.
        Run run = cut({QStringLiteral("-o"), path(QStringLiteral("in")), input});
        QCOMPARE(run.status, 0);
        QVERIFY(run.lastFile.contains(QStringLiteral("in/person-2.png (person.png is an input)")));
        QCOMPARE(bytesOf(input), original);

        // Again: an earlier result is not replaced ...
        const QByteArray first = bytesOf(path(QStringLiteral("in/person-2.png")));
        run = cut({QStringLiteral("-o"), path(QStringLiteral("in")), input});
        QVERIFY(run.lastFile.contains(QStringLiteral("person-3.png")));
        QVERIFY(run.lastFile.contains(QStringLiteral("person-2.png exists")));
        // ... unless asked, and even then never the input.
        run = cut({QStringLiteral("--overwrite"), QStringLiteral("-o"), path(QStringLiteral("in")),
                   input});
        QVERIFY(run.lastFile.contains(QStringLiteral("in/person-2.png")));
        QCOMPARE(bytesOf(input), original);
        QCOMPARE(bytesOf(path(QStringLiteral("in/person-2.png"))), first);

        // Many names in use: the first free one, and a line that names the
        // first few passed over and counts the rest.
        for (int n = 4; n <= 60; ++n)
            QVERIFY(TestImages::writeFile(path(QStringLiteral("in/person-%1.png").arg(n)), "x"));
        run = cut({QStringLiteral("-o"), path(QStringLiteral("in")), input});
        QCOMPARE(run.status, 0);
        QVERIFY2(run.lastFile.contains(
                     QStringLiteral("in/person-61.png (person.png is an input, person-2.png "
                                    "exists, person-3.png exists, and 57 more)")),
                 qPrintable(run.lastFile));
        QCOMPARE(QDir(path(QStringLiteral("in")))
                     .entryList({QStringLiteral(".*part*")}, QDir::Files | QDir::Hidden),
                 QStringList());
    }

    void neverFollowsALink()
    {
        const QString victim = path(QStringLiteral("victim.txt"));
        QVERIFY(TestImages::writeFile(victim, "precious"));
        QDir().mkpath(path(QStringLiteral("shared")));
        QVERIFY(QFile::link(victim, path(QStringLiteral("shared/person.png"))));
        for (const QString& overwrite : {QString(), QStringLiteral("--overwrite")}) {
            QStringList arguments{QStringLiteral("-o"), path(QStringLiteral("shared")), m_person};
            if (!overwrite.isEmpty())
                arguments.prepend(overwrite);
            cut(arguments);
            QCOMPARE(bytesOf(victim), QByteArray("precious"));
            QVERIFY(QFileInfo(path(QStringLiteral("shared/person.png"))).isSymLink());
        }
        QVERIFY(QFileInfo::exists(path(QStringLiteral("shared/person-2.png"))));
    }

    void aFullDiskIsAFailureAndLeavesNothing()
    {
        // At several sizes the write stops part way: never a success, never
        // a partial file, and the system's own words.
        for (rlim_t limit : {rlim_t(1), rlim_t(4096), rlim_t(20000)}) {
            const QString out = path(QStringLiteral("full%1").arg(limit));
            const Run run = cut({QStringLiteral("-o"), out, m_person}, limit);
            QCOMPARE(run.status, 1);
            QVERIFY2(run.lastFile.endsWith(QStringLiteral("File too large")),
                     qPrintable(run.lastFile));
            QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden), QStringList());
        }
    }

    void namesThatAreNotUtf8()
    {
        const QByteArray name = QFile::encodeName(m_dir.path()) + "/caf\xe9.png";
        QFile source(m_person);
        QVERIFY(source.open(QIODevice::ReadOnly));
        const QByteArray bytes = source.readAll();
        FILE* f = std::fopen(name.constData(), "wb");
        QVERIFY(f);
        QCOMPARE(std::fwrite(bytes.constData(), 1, size_t(bytes.size()), f), size_t(bytes.size()));
        std::fclose(f);
        // QProcess passes arguments as UTF-8: the raw name goes through a shell.
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral("nothing")));
        env.insert(QStringLiteral("XDG_DATA_DIRS"), path(QStringLiteral("nothing")));
        env.insert(QStringLiteral("CUT"), QStringLiteral(VANTEL_BINARY_DIR "/src/vantel-cut"));
        env.insert(QStringLiteral("DIR"), m_dir.path());
        process.setProcessEnvironment(env);
        process.start(
            QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"),
             QStringLiteral("\"$CUT\" -o \"$DIR/u8\" \"$DIR\"/caf$(printf '\\351').png")});
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitCode(), 0);
        const QByteArray written = QFile::encodeName(m_dir.path()) + "/u8/caf\xe9.png";
        QVERIFY(::access(written.constData(), R_OK) == 0);
        // Qt cannot name these files to remove them with the folder.
        ::unlink(written.constData());
        ::unlink(name.constData());
    }
};

QTEST_GUILESS_MAIN(TestCut)
#include "tst_cut.moc"
