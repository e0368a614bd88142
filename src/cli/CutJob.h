#pragma once

#include <QByteArray>
#include <QColor>
#include <QCoreApplication>
#include <QList>
#include <QPoint>
#include <QRect>
#include <QSet>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>
#include <set>
#include <utility>

class SubjectAnalysis;
class VisionService;
class QImage;

// One batch of cut-outs with fixed settings, written into one folder. Paths
// are the file system's own bytes, so names that are not UTF-8 work too. No
// input of the batch is ever written over, nor an existing file unless the
// options say so (then the next free numbered name is taken).
class CutJob final
{
    Q_DECLARE_TR_FUNCTIONS(CutJob)

public:
    struct Options
    {
        double feather = 0;
        std::optional<QColor> background;
        std::optional<int64_t> subject;
        // Keep what clicks at these pixels of the input keep, and what boxes
        // drawn there keep (X, Y, width, height in the input's pixels), all
        // of it together.
        QList<QPoint> at;
        QList<QRect> boxes;
        bool maskOnly = false;
        bool labels = false; // write the label image instead of the cut-out
        bool list = false;   // list the subjects found
        bool overwrite = false;
        // An input whose output's plain name (<name>.png) exists is skipped.
        bool skipExisting = false;
        // Write at the input's own size (the analysis still runs at the
        // usual one), up to maxFullPixels.
        bool fullSize = false;

        // Parses the command line's texts; none (and a reason) when invalid.
        static std::optional<Options> parse(const QString& feather, const QString& background,
                                            const std::optional<QString>& subject, bool maskOnly,
                                            QString* problem, const QStringList& at = {},
                                            const QStringList& boxes = {});
    };

    struct Outcome
    {
        QString written;      // the file written
        QString note;         // why it has the name it has, when not the plain one
        QString summary;      // what was found, how long it took
        QString error;        // empty on success
        QStringList subjects; // with Options::list, a line per subject
        bool skipped = false; // with Options::skipExisting, left alone
        QByteArray png;       // the result, when it goes to standard output
    };

    // As an input, standard input; as the output folder, standard output.
    static constexpr const char* standardStream = "-";
    // The largest input --full-size takes, and the side it reads files at
    // (no bound of its own: the pixel count is the bound).
    static constexpr qint64 maxFullPixels = 100'000'000;
    static constexpr double fullSide = 1e9;
    // The most read from standard input for one image.
    static constexpr qint64 maxStandardInput = qint64(1) << 30;

    // `vision` must outlive the job; `inputs` are the batch's input files.
    // An empty `outDir` writes nothing (for --list alone); "-" hands the
    // result back in Outcome::png. The input "-" is read from standard input
    // and named "stdin".
    CutJob(Options options, QByteArray outDir, VisionService& vision, QList<QByteArray> inputs);

    Outcome run(const QByteArray& input);

    // The plain name of the output for `input`: <name>.png.
    static QByteArray plainName(const QByteArray& input);

private:
    // What the clicks and boxes of the options keep in `image` (CV_8UC1 of
    // its size) into `kept`; their points and boxes are in `shown` pixels.
    // A reason where one of them keeps nothing that can be kept.
    std::optional<QString> pick(const QImage& image, const SubjectAnalysis* analysis, QSize shown,
                                cv::Mat& kept);

    // Writes the PNG bytes under the first name OUTDIR/<name>[-N].png that
    // is free to take, saying in `outcome` where they went.
    void place(const QByteArray& input, const QByteArray& png, Outcome& outcome);

    Options m_options;
    QByteArray m_outDir;
    VisionService& m_vision;
    std::set<std::pair<quint64, quint64>> m_inputFiles; // device and inode
    QSet<QByteArray> m_used;
};
