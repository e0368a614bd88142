// vantel-cut: the cut-out engine without the panel, for scripts and batches.
#include "AllocatorTuning.h"
#include "CutJob.h"
#include "OnDeviceVision.h"
#include "Translations.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <csignal>
#include <cstdio>
#include <opencv2/core/utils/logger.hpp>

namespace {

// The texts vantel-cut prints for people, for translators; the lines that
// scripts read (--list) stay as they are.
class VantelCut
{
    Q_DECLARE_TR_FUNCTIONS(VantelCut)
};

// Only vantel-cut's own lines reach stderr: warnings of the image libraries
// (through Qt) are dropped; a fatal message still explains the end.
void quiet(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtFatalMsg)
        std::fprintf(stderr, "vantel-cut: %s\n", qPrintable(text));
}

// One line of vantel-cut's own on stderr.
void say(const QString& text)
{
    std::fprintf(stderr, "vantel-cut: %s\n", qPrintable(text));
}

int usage(const QString& problem)
{
    std::fprintf(stderr, "vantel-cut: %s\n%s\n", qPrintable(problem),
                 qPrintable(VantelCut::tr("Try 'vantel-cut --help'.")));
    return 2;
}

// The command line's words as the file system's bytes: Qt's parser hands
// out text, which cannot carry a name that is not UTF-8. Each value is
// found again among argv, in order.
QList<QByteArray> rawArguments(int argc, char** argv, const QStringList& values, int* from)
{
    QList<QByteArray> raw;
    for (const QString& value : values) {
        QByteArray found = QFile::encodeName(value);
        for (int i = *from; i < argc; ++i) {
            if (QString::fromLocal8Bit(argv[i]) == value) {
                found = argv[i];
                *from = i + 1;
                break;
            }
        }
        raw << found;
    }
    return raw;
}

// The options besides the description; returns --help's.
QCommandLineOption addOptions(QCommandLineParser& parser)
{
    const QCommandLineOption help = parser.addHelpOption();
    parser.addOption(
        {QStringLiteral("feather"),
         VantelCut::tr(
             "Softens the edge by F thousandths of the longer side (0 to 20, default 0)."),
         QStringLiteral("F"), QStringLiteral("0")});
    parser.addOption({QStringLiteral("background"),
                      VantelCut::tr("clear (default), white, black or a colour as #RRGGBB."),
                      QStringLiteral("B"), QStringLiteral("clear")});
    parser.addOption({QStringLiteral("subject"),
                      VantelCut::tr("Keeps only subject N (1 is the largest) instead of all."),
                      QStringLiteral("N")});
    parser.addOption(
        {QStringLiteral("at"),
         VantelCut::tr("Keeps what a click at pixel X,Y of the input keeps (an error where "
                       "there is nothing to keep). May be given again, with --box too: all "
                       "they keep is kept."),
         QStringLiteral("X,Y")});
    parser.addOption(
        {QStringLiteral("box"),
         VantelCut::tr("Keeps the object inside the box X,Y,W,H of the input's pixels, as "
                       "found by the network run again over the box. May be given again."),
         QStringLiteral("X,Y,W,H")});
    parser.addOption(
        {QStringLiteral("list"),
         VantelCut::tr("Prints each subject found to stdout: its number, class, score (0 to 1) "
                       "and box (X,Y WxH in the input's pixels, as --at takes them). Without -o "
                       "nothing is written.")});
    parser.addOption(
        {QStringLiteral("labels"),
         VantelCut::tr("Writes the label image instead of the cut-out: 8-bit grey, 0 for the "
                       "background, N where a click keeps subject N.")});
    parser.addOption(
        {QStringLiteral("mask"),
         VantelCut::tr("Writes the subject mask (grey, white = subject) instead of the cut-out.")});
    parser.addOption({QStringLiteral("overwrite"),
                      VantelCut::tr("Replaces existing files of the same name (never an input).")});
    parser.addOption(
        {QStringLiteral("skip-existing"),
         VantelCut::tr("Skips an IMAGE whose output OUTDIR/<name>.png exists already (to resume "
                       "a batch).")});
    parser.addOption(
        {QStringLiteral("full-size"),
         VantelCut::tr("Writes the result at the input's own size (up to 100 megapixels); the "
                       "analysis still runs at 2560 pixels, its mask brought up along the "
                       "photo's edges.")});
    parser.addOption({{QStringLiteral("q"), QStringLiteral("quiet")},
                      VantelCut::tr("Prints only failures and warnings to stderr.")});
    parser.addOption({QStringLiteral("version"),
                      VantelCut::tr("Prints the version and which engine runs each network.")});
    parser.addOption({QStringLiteral("network"),
                      VantelCut::tr("Uses this network file instead of the installed one."),
                      QStringLiteral("FILE")});
    parser.addOption({{QStringLiteral("o"), QStringLiteral("output")},
                      VantelCut::tr("Folder to write into (created if needed); - writes the "
                                    "one result to stdout."),
                      QStringLiteral("OUTDIR")});
    parser.addPositionalArgument(QStringLiteral("IMAGE"),
                                 VantelCut::tr("Images to cut out; - reads one from stdin."),
                                 QStringLiteral("IMAGE..."));
    return help;
}

// Loads the network: one named on the command line must load; without one,
// the installed network is used where it is there and loads, and people
// alone are found where it is not. False when a named network fails.
bool startVision(OnDeviceVision& vision, const QString& networkPath, bool named)
{
    if (named || !networkPath.isEmpty()) {
        vision.startLoading();
        if (!vision.instanceMasksAvailable()) {
            if (named) {
                std::fprintf(stderr, "vantel-cut: %s: %s\n", qPrintable(networkPath),
                             qPrintable(vision.unavailableReason()));
                return false;
            }
            say(VantelCut::tr("the installed network could not be loaded (%1); finding people "
                              "only. Run scripts/install to reinstall it.")
                    .arg(vision.unavailableReason()));
        } else if (!vision.findersUnavailableReason().isEmpty()) {
            say(VantelCut::tr("%1 Subjects are told apart by the matte alone. Run "
                              "scripts/install to reinstall it.")
                    .arg(vision.findersUnavailableReason()));
        }
    } else {
        say(VantelCut::tr("no segmentation network is installed; finding people only. Run "
                          "scripts/install to install it."));
    }
    return true;
}

// Prints the version and the engine of each network that loads.
int printVersion(const QString& networkPath)
{
    std::printf("vantel-cut %s\n", qPrintable(QCoreApplication::applicationVersion()));
    OnDeviceVision vision(networkPath);
    vision.startLoading();
    const QStringList engines = vision.engines();
    if (engines.isEmpty())
        std::printf("%s\n", qPrintable(VantelCut::tr("segmentation network: not installed (%1)")
                                           .arg(vision.unavailableReason())));
    for (const QString& line : engines)
        std::printf("%s\n", qPrintable(line));
    return 0;
}

// Prints one file's outcome: its subjects or its PNG to stdout, its line to
// stderr (only a failure's when quiet). False when the file failed.
bool report(const CutJob::Outcome& outcome, const QString& input, const QString& prefix, bool quiet)
{
    for (const QString& subject : outcome.subjects)
        std::printf("%s: %s\n", qPrintable(input), qPrintable(subject));
    if (!outcome.png.isEmpty())
        std::fwrite(outcome.png.constData(), 1, size_t(outcome.png.size()), stdout);
    std::fflush(stdout);
    if (!outcome.error.isEmpty()) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(prefix), qPrintable(outcome.error));
        return false;
    }
    if (quiet)
        return true;
    if (outcome.skipped) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(prefix),
                     qPrintable(VantelCut::tr("skipped (%1)").arg(outcome.summary)));
    } else if (outcome.written.isEmpty()) {
        std::fprintf(stderr, "%s (%s)\n", qPrintable(prefix), qPrintable(outcome.summary));
    } else {
        const QString note =
            outcome.note.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(outcome.note);
        std::fprintf(stderr, "%s -> %s%s (%s)\n", qPrintable(prefix), qPrintable(outcome.written),
                     qPrintable(note), qPrintable(outcome.summary));
    }
    return true;
}

// The batch's last line: how many were cut out, failed and skipped, and the
// time each cut-out or failure took on average.
QString summary(int done, int failed, int skipped, double seconds)
{
    QString line = VantelCut::tr("%n cut out", nullptr, done) + QStringLiteral(", ") +
                   VantelCut::tr("%n failed", nullptr, failed) + QStringLiteral(", ") +
                   VantelCut::tr("%n skipped", nullptr, skipped);
    if (done + failed > 0)
        line += QStringLiteral("; ") +
                VantelCut::tr("%1 s per image").arg(seconds / (done + failed), 0, 'f', 1);
    return line;
}

} // namespace

int main(int argc, char** argv)
{
    tuneAllocatorForLargeImages();
    qInstallMessageHandler(quiet);
    // Failures reach the user as one line per file, not as OpenCV's own log.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    // A file size limit makes a write fail with EFBIG, reported per file.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantel-cut"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTEL_VERSION));
    Translations::install();

    QCommandLineParser parser;
    parser.setApplicationDescription(VantelCut::tr(
        "Removes the background from each IMAGE on this machine and writes OUTDIR/<name>.png.\n"
        "Images are scaled down to at most 2560 pixels on their longer side first.\n"
        "An existing file is never replaced (the next free name <name>-2.png, ... is taken)\n"
        "unless --overwrite is given, and an input is never written over.\n"
        "Prints one line per file to stderr and a summary at the end, goes on past\n"
        "files that fail, and exits with status 1 if any did (2 for a usage error)."));
    const QCommandLineOption help = addOptions(parser);
    if (!parser.parse(app.arguments()))
        return usage(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }

    if (parser.isSet(QStringLiteral("version")))
        return printVersion(
            parser.isSet(QStringLiteral("network"))
                ? QFileInfo(parser.value(QStringLiteral("network"))).absoluteFilePath()
                : OnDeviceVision::defaultNetworkPath());

    QString problem;
    std::optional<CutJob::Options> options = CutJob::Options::parse(
        parser.value(QStringLiteral("feather")), parser.value(QStringLiteral("background")),
        parser.isSet(QStringLiteral("subject"))
            ? std::optional(parser.value(QStringLiteral("subject")))
            : std::nullopt,
        parser.isSet(QStringLiteral("mask")), &problem, parser.values(QStringLiteral("at")),
        parser.values(QStringLiteral("box")));
    if (!options)
        return usage(problem);
    options->list = parser.isSet(QStringLiteral("list"));
    options->labels = parser.isSet(QStringLiteral("labels"));
    if (options->labels && options->maskOnly)
        return usage(VantelCut::tr("--labels and --mask cannot be given together"));
    // An unset variable in a script (-o "$OUT") must not pass for a folder.
    if (parser.isSet(QStringLiteral("output")) && parser.value(QStringLiteral("output")).isEmpty())
        return usage(VantelCut::tr("-o needs a folder"));
    if ((!parser.isSet(QStringLiteral("output")) && !options->list) ||
        parser.positionalArguments().isEmpty())
        return usage(VantelCut::tr("needs -o OUTDIR (or --list) and at least one IMAGE"));
    options->overwrite = parser.isSet(QStringLiteral("overwrite"));
    options->skipExisting = parser.isSet(QStringLiteral("skip-existing"));
    options->fullSize = parser.isSet(QStringLiteral("full-size"));
    if (options->overwrite && options->skipExisting)
        return usage(VantelCut::tr("--overwrite and --skip-existing cannot be given together"));
    const QString standard = QString::fromLatin1(CutJob::standardStream);
    const QStringList images = parser.positionalArguments();
    if (images.contains(standard) && images.size() > 1)
        return usage(VantelCut::tr("- (stdin) must be the only IMAGE"));
    if (parser.value(QStringLiteral("output")) == standard) {
        if (images.size() > 1)
            return usage(VantelCut::tr("-o - writes one result: give one IMAGE"));
        if (options->list)
            return usage(VantelCut::tr("--list and -o - cannot be given together"));
    }
    const bool quiet = parser.isSet(QStringLiteral("quiet"));

    const bool named = parser.isSet(QStringLiteral("network"));
    const QString networkPath =
        named ? QFileInfo(parser.value(QStringLiteral("network"))).absoluteFilePath()
              : OnDeviceVision::defaultNetworkPath();
    // Loading takes seconds on a busy machine: say so before it starts.
    if (!quiet && !networkPath.isEmpty())
        say(VantelCut::tr("Loading the networks…"));
    OnDeviceVision vision(networkPath);
    if (!startVision(vision, networkPath, named))
        return 1;
    if (!quiet) {
        for (const QString& line : vision.engines())
            say(line);
    }

    int from = 1;
    const QList<QByteArray> outDir =
        parser.isSet(QStringLiteral("output"))
            ? rawArguments(argc, argv, {parser.value(QStringLiteral("output"))}, &from)
            : QList<QByteArray>{QByteArray()};
    from = 1;
    const QList<QByteArray> inputs = rawArguments(argc, argv, parser.positionalArguments(), &from);
    CutJob job(*options, outDir.first(), vision, inputs);
    int done = 0, failed = 0, skipped = 0;
    double seconds = 0;
    for (qsizetype i = 0; i < inputs.size(); ++i) {
        QElapsedTimer timer;
        timer.start();
        const CutJob::Outcome outcome = job.run(inputs[i]);
        const QString prefix = QStringLiteral("[%1/%2] %3")
                                   .arg(i + 1)
                                   .arg(inputs.size())
                                   .arg(QFile::decodeName(inputs[i]));
        if (!report(outcome, QFile::decodeName(inputs[i]), prefix, quiet))
            ++failed;
        else if (outcome.skipped)
            ++skipped;
        else
            ++done;
        if (!outcome.skipped)
            seconds += timer.elapsed() / 1000.0;
    }
    if (!quiet)
        say(summary(done, failed, skipped, seconds));
    return failed ? 1 : 0;
}
