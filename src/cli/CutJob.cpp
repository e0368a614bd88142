#include "CutJob.h"

#include "CutOut.h"
#include "FileCommit.h"
#include "ImageIntake.h"
#include "LocalFile.h"
#include "PngEncoder.h"
#include "VantelError.h"

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

// The size of the picture in a file as it is shown: its stored size, turned
// by its orientation. Invalid when the file says nothing. The file is opened
// by its own bytes: a name that is not UTF-8 is found all the same.
QSize shownSize(const QByteArray& path)
{
    const std::unique_ptr<QFile> file = LocalFile::openRegular(path);
    if (!file)
        return {};
    QImageReader reader(file.get());
    reader.setAutoTransform(true);
    const QSize stored = reader.size();
    return reader.transformation().testFlag(QImageIOHandler::TransformationRotate90)
               ? stored.transposed()
               : stored;
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

std::optional<CutJob::Options> CutJob::Options::parse(const QString& feather,
                                                      const QString& background,
                                                      const std::optional<QString>& subject,
                                                      bool maskOnly, QString* problem,
                                                      const std::optional<QString>& at)
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
        if (!ok || n < 1 || n > 255) {
            *problem = CutJob::tr("--subject takes a number from 1 to 255");
            return std::nullopt;
        }
        options.subject = n;
    }
    if (at) {
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("^\\s*(\\d{1,9})\\s*,\\s*(\\d{1,9})\\s*$"))
                .match(*at);
        if (!m.hasMatch()) {
            *problem = CutJob::tr("--at takes a pixel as X,Y");
            return std::nullopt;
        }
        if (subject) {
            *problem = CutJob::tr("--at and --subject cannot be given together");
            return std::nullopt;
        }
        options.at = QPoint(m.captured(1).toInt(), m.captured(2).toInt());
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

void CutJob::place(const QByteArray& input, const QByteArray& png, Outcome& outcome)
{
    QByteArray base = input.mid(input.lastIndexOf('/') + 1);
    if (base.lastIndexOf('.') > 0)
        base.truncate(base.lastIndexOf('.'));
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

CutJob::Outcome CutJob::run(const QByteArray& input)
{
    Outcome outcome;
    QElapsedTimer timer;
    timer.start();
    if (const int error = m_outDir.isEmpty() ? 0 : makeFolder(m_outDir)) {
        outcome.error = tr("Couldn't create the folder %1: %2")
                            .arg(shown(m_outDir), QString::fromLocal8Bit(std::strerror(error)));
        return outcome;
    }
    const std::optional<QImage> image = ImageIntake::loadFile(input, CutOut::maxSide);
    if (!image) {
        outcome.error = VantelError::loadFailed().errorDescription();
        return outcome;
    }
    try {
        const auto analysis = CutOut::analyze(*image, m_vision);
        // Boxes and clicks are in the pixels of the file as shown, wherever
        // the image was scaled.
        QSize shown = shownSize(input);
        if (!shown.isValid())
            shown = image->size();
        if (m_options.list && analysis->subjects) {
            for (int64_t n : analysis->instances)
                outcome.subjects << describe(*analysis, n, shown);
        }
        std::optional<int64_t> subject = m_options.subject;
        if (m_options.at) {
            const QPoint at = *m_options.at;
            if (at.x() >= shown.width() || at.y() >= shown.height()) {
                outcome.error = tr("%1,%2 is outside the image (%3x%4).")
                                    .arg(at.x())
                                    .arg(at.y())
                                    .arg(shown.width())
                                    .arg(shown.height());
                return outcome;
            }
            const int64_t label = analysis->labelAtNormalized(
                QPointF((at.x() + 0.5) / shown.width(), (at.y() + 0.5) / shown.height()));
            if (label < 1) {
                outcome.error = tr("There is no subject at %1,%2.").arg(at.x()).arg(at.y());
                return outcome;
            }
            subject = label;
        }
        if (subject && !analysis->instances.count(*subject)) {
            outcome.error = tr("There is no subject %1 (found %2).")
                                .arg(*subject)
                                .arg(analysis->instances.size());
            return outcome;
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
        QImage out;
        if (m_options.labels) {
            cv::Mat labels = cv::Mat::zeros(image->height(), image->width(), CV_8UC1);
            if (analysis->labels)
                cv::resize(analysis->labels->labels, labels, labels.size(), 0, 0,
                           cv::INTER_NEAREST);
            out = grey(labels);
        } else if (m_options.maskOnly) {
            out = grey(analysis->mask(subject));
        } else {
            out = CutOut::composite(*image, CutOut::layer(*analysis, subject), m_options.feather,
                                    m_options.background)
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
        const QString found = analysis->subjects
                                  ? tr("%n subject(s)", nullptr, int(analysis->instances.size()))
                                  : tr("person segmentation");
        outcome.summary = QStringLiteral("%1x%2, %3, %4 s")
                              .arg(image->width())
                              .arg(image->height())
                              .arg(found)
                              .arg(timer.elapsed() / 1000.0, 0, 'f', 1);
    } catch (const VantelError& e) {
        outcome.error = e.errorDescription();
    } catch (const std::exception& e) {
        outcome.error = QString::fromUtf8(e.what());
    }
    return outcome;
}
