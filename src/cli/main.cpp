// vantel-cut: the cut-out engine without the panel, for scripts and batches.
#include "AllocatorTuning.h"
#include "CutJob.h"
#include "OnDeviceVision.h"
#include "Translations.h"

#include <QCommandLineParser>
#include <QCoreApplication>
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
    parser.addOption({QStringLiteral("version"),
                      VantelCut::tr("Prints the version and which engine runs each network.")});
    parser.addOption({QStringLiteral("network"),
                      VantelCut::tr("Uses this network file instead of the installed one."),
                      QStringLiteral("FILE")});
    parser.addOption({{QStringLiteral("o"), QStringLiteral("output")},
                      VantelCut::tr("Folder to write into (created if needed)."),
                      QStringLiteral("OUTDIR")});
    parser.addPositionalArgument(QStringLiteral("IMAGE"), VantelCut::tr("Images to cut out."),
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

// Prints one file's outcome: its subjects to stdout, its line to stderr.
// False when the file failed.
bool report(const CutJob::Outcome& outcome, const QString& input, const QString& prefix)
{
    for (const QString& subject : outcome.subjects)
        std::printf("%s: %s\n", qPrintable(input), qPrintable(subject));
    std::fflush(stdout);
    if (!outcome.error.isEmpty()) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(prefix), qPrintable(outcome.error));
        return false;
    }
    if (outcome.written.isEmpty()) {
        std::fprintf(stderr, "%s (%s)\n", qPrintable(prefix), qPrintable(outcome.summary));
    } else {
        const QString note =
            outcome.note.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(outcome.note);
        std::fprintf(stderr, "%s -> %s%s (%s)\n", qPrintable(prefix), qPrintable(outcome.written),
                     qPrintable(note), qPrintable(outcome.summary));
    }
    return true;
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
        "Prints one line per file to stderr, goes on past files that fail, and exits\n"
        "with status 1 if any did (2 for a usage error)."));
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

    const bool named = parser.isSet(QStringLiteral("network"));
    const QString networkPath =
        named ? QFileInfo(parser.value(QStringLiteral("network"))).absoluteFilePath()
              : OnDeviceVision::defaultNetworkPath();
    OnDeviceVision vision(networkPath);
    if (!startVision(vision, networkPath, named))
        return 1;
    if (options->list) {
        for (const QString& line : vision.engines())
            std::fprintf(stderr, "vantel-cut: %s\n", qPrintable(line));
    }

    int from = 1;
    const QList<QByteArray> outDir =
        parser.isSet(QStringLiteral("output"))
            ? rawArguments(argc, argv, {parser.value(QStringLiteral("output"))}, &from)
            : QList<QByteArray>{QByteArray()};
    from = 1;
    const QList<QByteArray> inputs = rawArguments(argc, argv, parser.positionalArguments(), &from);
    CutJob job(*options, outDir.first(), vision, inputs);
    int failed = 0;
    for (qsizetype i = 0; i < inputs.size(); ++i) {
        const CutJob::Outcome outcome = job.run(inputs[i]);
        const QString prefix = QStringLiteral("[%1/%2] %3")
                                   .arg(i + 1)
                                   .arg(inputs.size())
                                   .arg(QFile::decodeName(inputs[i]));
        if (!report(outcome, QFile::decodeName(inputs[i]), prefix))
            ++failed;
    }
    return failed ? 1 : 0;
}
