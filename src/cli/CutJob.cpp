#include "CutJob.h"

#include "CutOut.h"
#include "FileCommit.h"
#include "ImageIntake.h"
#include "LocalFile.h"
#include "MaskUpscale.h"
#include "MatView.h"
#include "PngEncoder.h"
#include "SolidInterior.h"
#include "VantelError.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QImageReader>
#include <QRegularExpression>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <opencv2/imgproc.hpp>
#include <sys/stat.h>

namespace {

std::optional<std::pair<quint64, quint64>> identity(const QByteArray& path)
{
    struct stat st
    {
    };
    if (::stat(path.constData(), &st) != 0)
        return std::nullopt;
    return std::make_pair(quint64(st.st_dev), quint64(st.st_ino));
}

// mkdir -p over the file system's bytes: 0, or the errno of the failure.
int makeFolder(const QByteArray& path)
{
    for (qsizetype i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        const QByteArray part = path.left(i);
        if (::mkdir(part.constData(), 0777) != 0 && errno != EEXIST)
            return errno;
    }
    struct stat st
    {
    };
    if (::stat(path.constData(), &st) != 0)
        return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

QString shown(const QByteArray& path)
{
    return QFile::decodeName(path);
}

// The size of the picture a device holds as it is shown: its stored size,
// turned by its orientation. Invalid when the device says nothing.
QSize shownSizeIn(QIODevice* device)
{
    QImageReader reader(device);
    reader.setAutoTransform(true);
    const QSize stored = reader.size();
    return reader.transformation().testFlag(QImageIOHandler::TransformationRotate90)
               ? stored.transposed()
               : stored;
}

// The same for a file, opened by its own bytes: a name that is not UTF-8 is
// found all the same.
QSize shownSize(const QByteArray& path)
{
    const std::unique_ptr<QFile> file = LocalFile::openRegular(path);
    return file ? shownSizeIn(file.get()) : QSize();
}

// The same for encoded bytes (read from standard input).
QSize shownSizeOf(QByteArray bytes)
{
    QBuffer buffer(&bytes);
    return buffer.open(QIODevice::ReadOnly) ? shownSizeIn(&buffer) : QSize();
}

// Subject n's line for --list: its class (or "unnamed" for a part of the
// matte no finder named), the finder's score, and its box in image pixels.
QString describe(const SubjectAnalysis& analysis, int64_t n, QSize image)
{
    const InstanceMask& subjects = *analysis.subjects;
    const SubjectInfo info =
        size_t(n) <= subjects.info.size() ? subjects.info[size_t(n - 1)] : SubjectInfo();
    const double sx = double(image.width()) / subjects.labels.cols;
    const double sy = double(image.height()) / subjects.labels.rows;
    // The matte's own split names nothing and leaves the box to its pixels.
    const cv::Rect box = info.box.empty() ? cv::boundingRect(subjects.owner == int(n)) : info.box;
    return QStringLiteral("%1 %2 %3 %4,%5 %6x%7")
        .arg(n)
        .arg(info.className.isEmpty()
                 ? QStringLiteral("unnamed")
                 : QString(info.className).replace(QLatin1Char(' '), QLatin1Char('_')))
        .arg(double(info.score), 0, 'f', 2)
        .arg(qRound(box.x * sx))
        .arg(qRound(box.y * sy))
        .arg(qRound(box.width * sx))
        .arg(qRound(box.height * sy));
}

} // namespace

std::optional<CutJob::Options>
CutJob::Options::parse(const QString& feather, const QString& background,
                       const std::optional<QString>& subject, bool maskOnly, QString* problem,
                       const QStringList& at, const QStringList& boxes)
{
    Options options;
    options.maskOnly = maskOnly;
    bool ok = false;
    options.feather = feather.toDouble(&ok);
    if (!ok || !std::isfinite(options.feather) || options.feather < 0 || options.feather > 20) {
        *problem = CutJob::tr("--feather takes a number from 0 to 20");
        return std::nullopt;
    }
    const QString bg = background.trimmed().toLower();
    if (bg == QLatin1String("white")) {
        options.background = QColor(Qt::white);
    } else if (bg == QLatin1String("black")) {
        options.background = QColor(Qt::black);
    } else if (bg.startsWith(QLatin1Char('#')) && bg.size() == 7 && QColor::isValidColorName(bg)) {
        options.background = QColor::fromString(bg);
    } else if (bg != QLatin1String("clear")) {
        *problem = CutJob::tr("--background takes clear, white, black or #RRGGBB");
        return std::nullopt;
    }
    if (subject) {
        const qlonglong n = subject->toLongLong(&ok);
        if (!ok || n < 1 || n > InstanceMask::maxLabel) {
            *problem =
                CutJob::tr("--subject takes a number from 1 to %1").arg(InstanceMask::maxLabel);
            return std::nullopt;
        }
        options.subject = n;
    }
    const QRegularExpression number(QStringLiteral("\\s*(\\d{1,9})\\s*"));
    // Whole-number fields separated by commas; none when `text` is not that.
    auto fields = [&number](const QString& text, int count) -> std::optional<QList<int>> {
        const QStringList parts = text.split(QLatin1Char(','));
        if (parts.size() != count)
            return std::nullopt;
        QList<int> values;
        for (const QString& part : parts) {
            const QRegularExpressionMatch m =
                number.match(part, 0, QRegularExpression::NormalMatch,
                             QRegularExpression::AnchorAtOffsetMatchOption);
            if (!m.hasMatch() || m.capturedLength() != part.size())
                return std::nullopt;
            values << m.captured(1).toInt();
        }
        return values;
    };
    for (const QString& point : at) {
        const auto xy = fields(point, 2);
        if (!xy) {
            *problem = CutJob::tr("--at takes a pixel as X,Y");
            return std::nullopt;
        }
        options.at << QPoint(xy->at(0), xy->at(1));
    }
    for (const QString& box : boxes) {
        const auto xywh = fields(box, 4);
        if (!xywh || xywh->at(2) < 1 || xywh->at(3) < 1) {
            *problem = CutJob::tr("--box takes a box as X,Y,W,H (width and height at least 1)");
            return std::nullopt;
        }
        options.boxes << QRect(xywh->at(0), xywh->at(1), xywh->at(2), xywh->at(3));
    }
    if (subject && (!options.at.isEmpty() || !options.boxes.isEmpty())) {
        *problem = CutJob::tr("--at or --box and --subject cannot be given together");
        return std::nullopt;
    }
    return options;
}

CutJob::CutJob(Options options, QByteArray outDir, VisionService& vision, QList<QByteArray> inputs)
    : m_options(std::move(options)), m_outDir(std::move(outDir)), m_vision(vision)
{
    while (m_outDir.size() > 1 && m_outDir.endsWith('/'))
        m_outDir.chop(1);
    for (const QByteArray& input : inputs) {
        if (const auto id = identity(input))
            m_inputFiles.insert(*id);
    }
}

QByteArray CutJob::plainName(const QByteArray& input)
{
    if (input == standardStream)
        return "stdin.png";
    QByteArray base = input.mid(input.lastIndexOf('/') + 1);
    if (base.lastIndexOf('.') > 0)
        base.truncate(base.lastIndexOf('.'));
    return base + ".png";
}

void CutJob::place(const QByteArray& input, const QByteArray& png, Outcome& outcome)
{
    if (m_outDir == standardStream) {
        outcome.png = png;
        outcome.written = tr("standard output");
        return;
    }
    if (const int error = makeFolder(m_outDir)) {
        outcome.error = tr("Couldn't create the folder %1: %2")
                            .arg(shown(m_outDir), QString::fromLocal8Bit(std::strerror(error)));
        return;
    }
    QByteArray base = plainName(input);
    base.chop(4);
    // The names in turn: <base>.png, <base>-2.png, ... Two inputs of the
    // same name (from different folders) never write over each other, and
    // nothing writes over an input.
    int n = 0;
    QByteArray offered;
    // The first few names passed over say why; the rest are counted.
    constexpr int namedAtMost = 3;
    QStringList named;
    int passed = 0;
    auto pass = [&](const QString& why) {
        if (passed++ < namedAtMost)
            named << why;
    };
    auto next = [&]() -> QByteArray {
        if (!offered.isEmpty())
            pass(tr("%1 exists").arg(shown(offered.mid(offered.lastIndexOf('/') + 1))));
        offered.clear();
        while (++n < 10000) {
            const QByteArray name =
                n == 1 ? base + ".png" : base + '-' + QByteArray::number(n) + ".png";
            const QByteArray path = m_outDir + '/' + name;
            if (m_used.contains(name))
                continue;
            const auto id = identity(path);
            if (id && m_inputFiles.count(*id)) {
                pass(tr("%1 is an input").arg(shown(name)));
                continue;
            }
            offered = path;
            return path;
        }
        return {};
    };
    QByteArray taken;
    FileCommit::Result written;
    if (m_options.overwrite) {
        taken = next();
        written = FileCommit::write(taken, png, FileCommit::Replace::regularFile);
    } else {
        // Written once, whatever the number of names already in use.
        written = FileCommit::writeFirstFree(m_outDir, png, next, &taken);
    }
    if (!written) {
        if (written.error == EEXIST && m_options.overwrite)
            outcome.error = tr("%1 is not a regular file; left alone").arg(shown(taken));
        else if (written.error == EEXIST)
            outcome.error = tr("No free name for %1 in %2").arg(shown(base), shown(m_outDir));
        else
            outcome.error = QStringLiteral("%1: %2").arg(shown(taken.isEmpty() ? m_outDir : taken),
                                                         written.text());
        return;
    }
    m_used.insert(taken.mid(taken.lastIndexOf('/') + 1));
    outcome.written = shown(taken);
    if (passed > namedAtMost)
        named << tr("and %1 more").arg(passed - namedAtMost);
    outcome.note = named.join(QStringLiteral(", "));
}

std::optional<QString> CutJob::pick(const QImage& image, const SubjectAnalysis* analysis,
                                    QSize shown, cv::Mat& kept)
{
    const cv::Size size(image.width(), image.height());
    kept = cv::Mat::zeros(size, CV_8UC1);
    const QRect whole(QPoint(0, 0), shown);
    for (const QPoint& at : m_options.at) {
        if (!whole.contains(at))
            return tr("%1,%2 is outside the image (%3x%4).")
                .arg(at.x())
                .arg(at.y())
                .arg(shown.width())
                .arg(shown.height());
        const cv::Mat clicked = CutOut::clickMask(
            *analysis, m_vision,
            QPointF((at.x() + 0.5) / shown.width(), (at.y() + 0.5) / shown.height()));
        if (clicked.empty())
            return tr("There is no subject at %1,%2.").arg(at.x()).arg(at.y());
        cv::max(kept, clicked, kept);
    }
    for (const QRect& box : m_options.boxes) {
        if (!whole.intersects(box))
            return tr("The box %1,%2 %3x%4 is outside the image (%5x%6).")
                .arg(box.x())
                .arg(box.y())
                .arg(box.width())
                .arg(box.height())
                .arg(shown.width())
                .arg(shown.height());
        const QRectF normalized(double(box.x()) / shown.width(), double(box.y()) / shown.height(),
                                double(box.width()) / shown.width(),
                                double(box.height()) / shown.height());
        cv::max(kept, CutOut::boxMask(image, m_vision, normalized), kept);
    }
    return std::nullopt;
}

CutJob::Outcome CutJob::run(const QByteArray& input)
{
    Outcome outcome;
    QElapsedTimer timer;
    timer.start();
    if (m_options.skipExisting && !m_outDir.isEmpty() && m_outDir != standardStream) {
        const QByteArray plain = m_outDir + '/' + plainName(input);
        if (identity(plain)) {
            outcome.skipped = true;
            outcome.summary = tr("%1 exists").arg(shown(plain));
            return outcome;
        }
    }
    // Standard input is read once, whole, to a bound.
    QByteArray piped;
    if (input == standardStream) {
        QFile in;
        if (in.open(stdin, QIODevice::ReadOnly)) {
            // In pieces: a read of the whole bound would reserve all of it.
            constexpr qint64 piece = qint64(1) << 20;
            while (piped.size() <= maxStandardInput) {
                const QByteArray more = in.read(piece);
                if (more.isEmpty())
                    break;
                piped += more;
            }
        }
        if (piped.size() > maxStandardInput)
            piped.clear();
    }
    // At full size the file is read at its own size and the analysis runs
    // on a copy at the usual one.
    const double side = m_options.fullSize ? fullSide : CutOut::maxSide;
    const std::optional<QImage> loaded = input == standardStream
                                             ? ImageIntake::loadData(piped, side)
                                             : ImageIntake::loadFile(input, side);
    if (!loaded) {
        outcome.error = VantelError::loadFailed().errorDescription();
        return outcome;
    }
    if (m_options.fullSize && qint64(loaded->width()) * loaded->height() > maxFullPixels) {
        outcome.error = tr("--full-size takes images of up to %1 megapixels; this one has %2.")
                            .arg(maxFullPixels / 1000000)
                            .arg(qint64(loaded->width()) * loaded->height() / 1000000);
        return outcome;
    }
    const std::optional<QImage> image =
        m_options.fullSize ? ImageIntake::normalize(*loaded, CutOut::maxSide) : loaded;
    if (!image) {
        outcome.error = VantelError::loadFailed().errorDescription();
        return outcome;
    }
    // What is written is at this image's size.
    const QImage& target = m_options.fullSize ? *loaded : *image;
    try {
        // Boxes alone need no analysis of the whole image.
        const bool picks = !m_options.at.isEmpty() || !m_options.boxes.isEmpty();
        const bool analysed = m_options.at.size() > 0 || !picks || m_options.list ||
                              m_options.labels || m_outDir.isEmpty();
        const std::shared_ptr<const SubjectAnalysis> analysis =
            analysed ? CutOut::analyze(*image, m_vision) : nullptr;
        // Boxes and clicks are in the pixels of the file as shown, wherever
        // the image was scaled.
        QSize shown = input == standardStream ? shownSizeOf(piped) : shownSize(input);
        if (!shown.isValid())
            shown = image->size();
        if (m_options.list && analysis->subjects) {
            for (int64_t n : analysis->instances)
                outcome.subjects << describe(*analysis, n, shown);
        }
        const std::optional<int64_t> subject = m_options.subject;
        if (subject && !analysis->instances.count(*subject)) {
            outcome.error = tr("There is no subject %1 (found %2).")
                                .arg(*subject)
                                .arg(analysis->instances.size());
            return outcome;
        }
        // What the clicks and boxes keep, together.
        cv::Mat picked;
        if (picks) {
            const auto problem = pick(*image, analysis.get(), shown, picked);
            if (problem) {
                outcome.error = *problem;
                return outcome;
            }
        }
        if (m_outDir.isEmpty()) {
            outcome.summary = tr("%n subject(s)", nullptr, int(analysis->instances.size()));
            return outcome;
        }
        // A grey image of the mask or the label image (at the image's size,
        // 0 for the background), or the cut-out.
        auto grey = [](const cv::Mat& m) {
            return QImage(m.data, m.cols, m.rows, int(m.step[0]), QImage::Format_Grayscale8).copy();
        };
        // A mask of the analysed image at the written size, following the
        // full-size photo's edges.
        auto sized = [&target](const cv::Mat& mask) {
            if (mask.cols == target.width() && mask.rows == target.height())
                return mask;
            cv::Mat rgb;
            cv::cvtColor(rgbaView(target), rgb, cv::COLOR_RGBA2RGB);
            return MaskUpscale::guided(mask, rgb);
        };
        QImage out;
        if (m_options.labels) {
            cv::Mat labels = cv::Mat::zeros(target.height(), target.width(), CV_8UC1);
            if (analysis->labels)
                cv::resize(analysis->labels->labels, labels, labels.size(), 0, 0,
                           cv::INTER_NEAREST);
            out = grey(labels);
        } else {
            const cv::Mat mask = sized(picks ? picked : analysis->mask(subject));
            out = m_options.maskOnly ? grey(SolidInterior::solid(mask))
                                     : CutOut::composite(target, CutOut::layerOf(target, mask),
                                                         m_options.feather, m_options.background)
                                           .value_or(QImage());
        }
        const QByteArray png = PngEncoder::encode(out);
        if (png.isEmpty()) {
            outcome.error = tr("Couldn't compose the result.");
            return outcome;
        }
        place(input, png, outcome);
        if (!outcome.error.isEmpty())
            return outcome;
        const QString found = !analysis ? tr("%n box(es)", nullptr, int(m_options.boxes.size()))
                              : analysis->subjects
                                  ? tr("%n subject(s)", nullptr, int(analysis->instances.size()))
                                  : tr("person segmentation");
        outcome.summary = QStringLiteral("%1x%2, %3, %4 s")
                              .arg(target.width())
                              .arg(target.height())
                              .arg(found)
                              .arg(timer.elapsed() / 1000.0, 0, 'f', 1);
    } catch (const VantelError& e) {
        outcome.error = e.errorDescription();
    } catch (const std::exception& e) {
        outcome.error = QString::fromUtf8(e.what());
    }
    return outcome;
}
