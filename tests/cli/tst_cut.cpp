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
    const QString binary = QStringLiteral(VANTEL_BINARY_DIR "/src/vantel-cut");
    const QString installed = QStringLiteral("installed"); // the machine's own networks

    QString path(const QString& name) const { return m_dir.filePath(name); }

    struct Run
    {
        int status = -1;
        QStringList lines; // stderr's
        QStringList out;   // stdout's
        QByteArray bytes;  // stdout as it came
        QString lastFile;  // the last file's line

        // Whether the file failed, its line ending in `why`.
        bool failed(const QString& why) const { return status == 1 && lastFile.endsWith(why); }
    };

    // Runs vantel-cut (or `program`, which finds it as $CUT) with the networks
    // found in the data folder `data`, none by default; `input` goes to its
    // stdin, and `limit` caps the size of the files it may write.
    Run cut(const QStringList& arguments, const QString& data = {}, const QByteArray& input = {},
            rlim_t limit = RLIM_INFINITY, const QString& program = {})
    {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (data != installed) {
            env.insert(QStringLiteral("XDG_DATA_HOME"), data.isEmpty() ? path("nothing") : data);
            env.insert(QStringLiteral("XDG_DATA_DIRS"), path("nothing"));
        }
        env.insert(QStringLiteral("CUT"), binary);
        process.setProcessEnvironment(env);
        const rlimit cap{limit, limit};
        process.setChildProcessModifier([cap] { setrlimit(RLIMIT_FSIZE, &cap); });
        process.start(program.isEmpty() ? binary : program, arguments);
        process.write(input);
        process.closeWriteChannel();
        Run run;
        const bool ended = process.waitForFinished(60000);
        run.status =
            ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.bytes = process.readAllStandardOutput();
        run.lines =
            QString::fromUtf8(process.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
        const QStringList files = run.lines.filter(QRegularExpression(QStringLiteral("^\\[")));
        run.lastFile = files.value(files.size() - 1);
        run.out = QString::fromUtf8(run.bytes).split('\n', Qt::SkipEmptyParts);
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
        m_person = path("person.png");
        QVERIFY(astronaut.scaled(200, 200).save(m_person));
    }

    void parsesOptions()
    {
        auto valid = [](const QString& feather, const QString& background,
                        const std::optional<QString>& subject, const QStringList& at = {},
                        const QStringList& boxes = {}) {
            QString problem;
            return bool(
                CutJob::Options::parse(feather, background, subject, false, &problem, at, boxes));
        };
        QVERIFY(valid("5.5", "#FF8000", "2"));
        QVERIFY(valid("0", "white", {}, {" 100, 60", "5,5"}, {"0,0,10,10", "1,1,1,1"}));
        for (const char* bad : {"-1", "21", "nan", "x"})
            QVERIFY2(!valid(bad, "clear", {}), bad);
        for (const char* bad : {"red", "#12345", "transparent"})
            QVERIFY2(!valid("0", bad, {}), bad);
        for (const char* bad : {"1,2,3", "1,2,0,5", "1,2,3,4,5", "a,b,c,d", "-1,2,3,4"})
            QVERIFY2(!valid("0", "clear", {}, {}, {bad}), bad);
        QVERIFY(!valid("0", "clear", {}, {"5"}));
        QVERIFY(!valid("0", "clear", "1", {"1,2"}));
        QVERIFY(!valid("0", "clear", "1", {}, {"1,2,3,4"}));
    }

    // A usage error ends at once with status 2, writing nothing.
    void usageErrors()
    {
        const QString out = path("unused");
        for (const QStringList& wrong :
             QList<QStringList>{{"--no-such-option"},
                                {m_person},           // no -o
                                {"-o", "", m_person}, // an unset variable in a script is no folder
                                {"--labels", "--mask", "-o", out, m_person},
                                {"--skip-existing", "--overwrite", "-o", out, m_person},
                                {"-o", out, "-", m_person}, // - among other images
                                {"-o", "-", m_person, m_person},
                                {"--list", "-o", "-", m_person}})
            QVERIFY2(cut(wrong).status == 2, qPrintable(wrong.join(' ')));
        QVERIFY(!QFileInfo::exists(out) && !QFileInfo::exists("-"));
    }

    void batchGoesOnPastFailuresSaysWhyAndResumes()
    {
        const QString bad = path("bad.png"), nobody = path("nobody.png"),
                      twin = path("other/person.png");
        QVERIFY(TestImages::writeFile(bad, "not an image"));
        QVERIFY(TestImages::filled(Qt::darkYellow, QSize(300, 200)).save(nobody));
        QVERIFY(QDir().mkpath(path("other")) && QFile::copy(m_person, twin));

        const Run run =
            cut({"--background", "white", "-o", path("out"), m_person, bad, nobody, twin});
        QCOMPARE(run.status, 1);
        // One warning, then one line per file and the summary, and nothing
        // of the libraries'.
        QCOMPARE(run.lines.size(), 6);
        QVERIFY(run.lines[0].contains("no segmentation network is installed"));
        QVERIFY(run.lines[1].contains("-> " + path("out/person.png")));
        QVERIFY(run.lines[2].endsWith("Couldn't read that image."));
        QVERIFY(run.lines[3].endsWith("No subject was found in this image."));
        QVERIFY(run.lines[4].contains("out/person-2.png"));
        QVERIFY2(run.lines[5].startsWith("vantel-cut: 2 cut out, 2 failed, 0 skipped; "),
                 qPrintable(run.lines[5]));
        QCOMPARE(QImage(path("out/person.png")).pixelColor(0, 199), QColor(Qt::white));

        // Run again with --skip-existing it does only what is missing, never
        // writing over a result nor beside it.
        QVERIFY(QFile::copy(m_person, path("again.png")));
        QVERIFY(TestImages::writeFile(path("out/person.png"), "left as it is"));
        const Run resumed =
            cut({"--skip-existing", "-o", path("out"), m_person, path("again.png")});
        QVERIFY(resumed.lines.last().contains("1 cut out, 0 failed, 1 skipped"));
        QCOMPARE(bytesOf(path("out/person.png")), QByteArray("left as it is"));
        QCOMPARE(QDir(path("out")).entryList(QDir::Files).size(), 3);

        // Quiet, only the warning and the failures are said.
        const Run quiet = cut({"--quiet", "-o", path("quiet"), m_person, bad});
        QCOMPARE(quiet.lines.size(), 2);
        QVERIFY(quiet.lines[1].endsWith("Couldn't read that image."));

        // A named network that cannot be loaded.
        const Run missing = cut({"--network", path("none.onnx"), "-o", path("out"), m_person});
        QCOMPARE(missing.status, 1);
        QCOMPARE(missing.lines.size(), 2);
        QVERIFY(missing.lines[1].contains(path("none.onnx")));
    }

    // - reads the image from stdin and -o - writes the result to stdout, the
    // same bytes as into a folder (as stdin.png); nothing else goes there,
    // and a failure writes nothing anywhere.
    void pipesInAndOut()
    {
        const Run piped = cut({"-", "-o", "-"}, {}, bytesOf(m_person));
        QCOMPARE(QImage::fromData(piped.bytes).size(), QSize(200, 200));
        QCOMPARE(cut({"-", "-o", path("piped")}, {}, bytesOf(m_person)).status, 0);
        QCOMPARE(bytesOf(path("piped/stdin.png")), piped.bytes);
        for (const QString& to : {path("failed"), QStringLiteral("-")}) {
            const Run bad = cut({"-", "-o", to}, {}, "not an image");
            QVERIFY(bad.failed("Couldn't read that image.") && bad.bytes.isEmpty());
        }
        QVERIFY(!QFileInfo::exists(path("failed")));
    }

    // --full-size writes at the input's own size, its edges from the
    // photo's; without it the longer side is capped. Past 100 megapixels it
    // says why and writes nothing.
    void fullSizeKeepsTheInputsSize()
    {
        const QString large = path("large.png"), out = path("full");
        QVERIFY(QImage(m_person).scaled(2800, 2800).save(large));
        QCOMPARE(cut({"--full-size", "-o", out, large}).status, 0);
        const QImage written(out + "/large.png");
        QCOMPARE(written.size(), QSize(2800, 2800));
        QCOMPARE(qAlpha(written.pixel(0, 0)), 0);
        QVERIFY(qAlpha(written.pixel(1400, 1820)) > 200);
        QCOMPARE(cut({"--overwrite", "-o", out, large}).status, 0);
        QCOMPARE(QImage(out + "/large.png").size(), QSize(2560, 2560));

        const QString huge = path("huge.png");
        QVERIFY(cv::imwrite(huge.toStdString(), cv::Mat(10001, 10001, CV_8UC1, cv::Scalar(90))));
        QVERIFY(cut({"--full-size", "-o", path("huge"), huge})
                    .failed("--full-size takes images of up to 100 megapixels; this one has 100."));
        QVERIFY(!QFileInfo::exists(path("huge")));
    }

    void manualPageCoversEveryOption()
    {
        // Every option --help lists has its entry in the manual page.
        const Run help = cut({"--help"});
        const QString roff = bytesOf(QStringLiteral(VANTEL_SOURCE_DIR "/src/cli/vantel-cut.1"));
        const QRegularExpression option(QStringLiteral("^\\s+(?:-\\w, )?--([a-z-]+)"));
        int options = 0;
        for (const QString& line : help.out) {
            QString name = option.match(line).captured(1);
            if (name.isEmpty() || name == QLatin1String("help-all"))
                continue;
            ++options;
            // Roff writes every hyphen of an option as \-.
            QVERIFY2(roff.contains("\\-\\-" + name.replace('-', QStringLiteral("\\-"))),
                     qPrintable(name));
        }
        QVERIFY(options >= 10);
    }

    // With the installed network (its loading said first): a click on the
    // person keeps her, a box around her keeps her no farther than the
    // network looked, and subjects are listed in the input's pixels, where a
    // click takes them, even where the image was scaled down for analysis.
    void keepsWhatClicksAndBoxesKeep()
    {
        const QString out = path("picked");
        const Run run =
            cut({"--list", "--mask", "--at", "100,60", "--box", "0,0,10,10", "-o", out, m_person},
                installed);
        QCOMPARE(run.lines.first(), QStringLiteral("vantel-cut: Loading the networks…"));
        QVERIFY(run.lines[1].startsWith("vantel-cut: segmentation network: "));
        const QRegularExpression subject(
            QStringLiteral("\\.png: \\d+ person 0\\.\\d\\d (\\d+),(\\d+) (\\d+)x(\\d+)$"));
        QVERIFY2(!run.out.filter(subject).isEmpty(), qPrintable(run.out.join('\n')));
        QVERIFY(qGray(QImage(out + "/person.png").pixel(100, 60)) > 200);

        cut({"--box", "50,20,100,150", "--mask", "-o", path("boxed"), m_person}, installed);
        const QImage boxed(path("boxed/person.png"));
        QVERIFY(qGray(boxed.pixel(100, 60)) > 200);
        for (const QPoint outside : {QPoint(30, 100), QPoint(170, 100), QPoint(100, 196)})
            QCOMPARE(qGray(boxed.pixel(outside)), 0);

        const QString tall = path("tall.png");
        QVERIFY(QImage(TestImages::photo("astronaut.png")).scaled(2400, 3200).save(tall));
        const QStringList listed = cut({"--list", tall}, installed).out;
        const QRegularExpressionMatch box = subject.match(listed.filter(subject).value(0));
        QVERIFY2(box.hasMatch(), qPrintable(listed.join('\n')));
        QVERIFY(box.captured(2).toInt() + box.captured(4).toInt() > 2560); // not the scaled frame
        const QString centre = QStringLiteral("%1,%2")
                                   .arg(box.captured(1).toInt() + box.captured(3).toInt() / 2)
                                   .arg(box.captured(2).toInt() + box.captured(4).toInt() / 2);
        QCOMPARE(cut({"--at", centre, "--mask", "-o", out, tall}, installed).status, 0);

        // A click on nothing or a box off the image fails its file, and
        // without the network there is nothing to run over a box.
        QVERIFY(cut({"--at", "5,5", "-o", path("none"), m_person})
                    .failed("There is no subject at 5,5."));
        QVERIFY(cut({"--box", "300,0,20,20", "-o", path("none"), m_person})
                    .failed("The box 300,0 20x20 is outside the image (200x200)."));
        QCOMPARE(cut({"--box", "50,20,100,150", "-o", path("none"), m_person}).status, 1);
        QVERIFY(!QFileInfo::exists(path("none")));
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
        const QString models = path("swapped/vantel/models");
        QVERIFY(QDir().mkpath(models));
        QVERIFY(QFile::link(network, models + "/isnet.onnx"));
        QVERIFY(QFile::link(poses, models + "/nanodet.onnx"));
        QVERIFY(QFile::link(objects, models + "/movenet-multipose.onnx"));
        const QByteArray finder = bytesOf(objects);
        for (int round = 0; round < 2; ++round) {
            const Run run = cut({"-o", path("swapped-out"), m_person}, path("swapped"));
            QCOMPARE(run.status, 0);
            QCOMPARE(run.lines.filter("could not be loaded").size(), 1);
            QCOMPARE(run.lines.filter("told apart by the matte alone").size(), 1);
            QVERIFY2(run.lines.filter("ERROR").isEmpty(), qPrintable(run.lines.join('\n')));
            // Next: a finder cut short.
            QFile::remove(models + "/nanodet.onnx");
            QVERIFY(
                TestImages::writeFile(models + "/nanodet.onnx", finder.left(finder.size() / 2)));
            QFile::remove(models + "/movenet-multipose.onnx");
            QVERIFY(QFile::link(poses, models + "/movenet-multipose.onnx"));
        }
    }

    // Into the inputs' own folder: never over the input, nor an earlier
    // result, nor through a link in a result's place, even with --overwrite.
    void neverWritesOverInputsLinksOrExistingFiles()
    {
        QDir().mkpath(path("in"));
        const QString input = path("in/person.png"), taken = path("in/person-2.png");
        QVERIFY(QFile::copy(m_person, input));
        const QByteArray original = bytesOf(input);
        const QStringList into{"-o", path("in"), input};
        QVERIFY(cut(into).lastFile.contains("in/person-2.png (person.png is an input)"));
        QVERIFY(TestImages::writeFile(path("victim.txt"), "precious"));
        QVERIFY(QFile::remove(taken) && QFile::link(path("victim.txt"), taken));
        QVERIFY(cut(into).lastFile.contains(
            "in/person-3.png (person.png is an input, person-2.png exists)"));
        QVERIFY(cut(QStringList{"--overwrite"} + into)
                    .failed("person-2.png is not a regular file; left alone"));
        QCOMPARE(bytesOf(path("victim.txt")), QByteArray("precious"));
        QVERIFY(QFileInfo(taken).isSymLink());

        // Many names in use: the first free one, and a line that names the
        // first few passed over and counts the rest.
        for (int n = 4; n <= 60; ++n)
            QVERIFY(TestImages::writeFile(path(QStringLiteral("in/person-%1.png").arg(n)), "x"));
        const Run run = cut(into);
        QVERIFY2(run.lastFile.contains("in/person-61.png (person.png is an input, person-2.png "
                                       "exists, person-3.png exists, and 57 more)"),
                 qPrintable(run.lastFile));
        QCOMPARE(QDir(path("in")).entryList({".*part*"}, QDir::Files | QDir::Hidden),
                 QStringList());
        QCOMPARE(bytesOf(input), original);
    }

    void aFullDiskIsAFailureAndLeavesNothing()
    {
        // At several sizes the write stops part way: never a success, never
        // a partial file, and the system's own words.
        for (rlim_t limit : {rlim_t(1), rlim_t(4096), rlim_t(20000)}) {
            const QString out = path(QStringLiteral("full%1").arg(limit));
            const Run run = cut({"-o", out, m_person}, {}, {}, limit);
            QVERIFY2(run.failed("File too large"), qPrintable(run.lastFile));
            QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden), QStringList());
        }
    }

    void namesThatAreNotUtf8()
    {
        // QProcess passes arguments as UTF-8: the raw name goes through a shell.
        const QString script =
            QStringLiteral("cp \"$0\" \"$1/caf$(printf '\\351').png\" && "
                           "\"$CUT\" -o \"$1/u8\" \"$1/caf$(printf '\\351').png\"");
        cut({"-c", script, m_person, m_dir.path()}, {}, {}, RLIM_INFINITY, "/bin/sh");
        const QByteArray dir = QFile::encodeName(m_dir.path());
        QVERIFY(::access(dir + "/u8/caf\xe9.png", R_OK) == 0);
        // Qt cannot name these files to remove them with the folder.
        ::unlink(dir + "/u8/caf\xe9.png");
        ::unlink(dir + "/caf\xe9.png");
    }
};

QTEST_GUILESS_MAIN(TestCut)
#include "tst_cut.moc"
