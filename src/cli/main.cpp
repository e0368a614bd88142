// vantel-cut: the cut-out engine without the panel, for scripts and batches.
#include "AllocatorTuning.h"
#include "CutJob.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv)
{
    tuneAllocatorForLargeImages();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantel-cut"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Removes the background from each IMAGE on this machine and writes OUTDIR/<name>.png.\n"
        "Images are scaled down to at most 2560 pixels on their longer side first.\n"
        "Prints one line per file to stderr, goes on past files that fail, and exits\n"
        "with status 1 if any did (2 for a usage error)."));
    parser.addHelpOption();
    parser.addOption(
        {QStringLiteral("feather"),
         QStringLiteral(
             "Softens the edge by F thousandths of the longer side (0 to 20, default 0)."),
         QStringLiteral("F"), QStringLiteral("0")});
    parser.addOption({QStringLiteral("background"),
                      QStringLiteral("clear (default), white, black or a colour as #RRGGBB."),
                      QStringLiteral("B"), QStringLiteral("clear")});
    parser.addOption({QStringLiteral("subject"),
                      QStringLiteral("Keeps only subject N (1 is the largest) instead of all."),
                      QStringLiteral("N")});
    parser.addOption(
        {QStringLiteral("mask"),
         QStringLiteral(
             "Writes the subject mask (grey, white = subject) instead of the cut-out.")});
    parser.addOption({QStringLiteral("network"),
                      QStringLiteral("Uses this network file instead of the installed one."),
                      QStringLiteral("FILE")});
    parser.addOption({{QStringLiteral("o"), QStringLiteral("output")},
                      QStringLiteral("Folder to write into (created if needed)."),
                      QStringLiteral("OUTDIR")});
    parser.addPositionalArgument(QStringLiteral("IMAGE"), QStringLiteral("Images to cut out."),
                                 QStringLiteral("IMAGE..."));
    parser.process(app);

    QString problem;
    const std::optional<CutJob::Options> options = CutJob::Options::parse(
        parser.value(QStringLiteral("feather")), parser.value(QStringLiteral("background")),
        parser.isSet(QStringLiteral("subject"))
            ? std::optional(parser.value(QStringLiteral("subject")))
            : std::nullopt,
        parser.isSet(QStringLiteral("mask")), &problem);
    if (!options || !parser.isSet(QStringLiteral("output")) ||
        parser.positionalArguments().isEmpty()) {
        if (problem.isEmpty())
            problem = QStringLiteral("needs -o OUTDIR and at least one IMAGE");
        std::fprintf(stderr, "vantel-cut: %s\nTry 'vantel-cut --help'.\n", qPrintable(problem));
        return 2;
    }

    CutJob job(*options, parser.value(QStringLiteral("output")),
               parser.isSet(QStringLiteral("network"))
                   ? std::optional(parser.value(QStringLiteral("network")))
                   : std::nullopt);
    const QStringList inputs = parser.positionalArguments();
    int failed = 0;
    for (int i = 0; i < inputs.size(); ++i) {
        const CutJob::Outcome outcome = job.run(inputs[i]);
        const QString prefix =
            QStringLiteral("[%1/%2] %3").arg(i + 1).arg(inputs.size()).arg(inputs[i]);
        if (outcome.error.isEmpty()) {
            std::fprintf(stderr, "%s -> %s (%s)\n", qPrintable(prefix), qPrintable(outcome.written),
                         qPrintable(outcome.summary));
        } else {
            ++failed;
            std::fprintf(stderr, "%s: %s\n", qPrintable(prefix), qPrintable(outcome.error));
        }
    }
    return failed ? 1 : 0;
}
