#include "CutJob.h"

#include "Compositor.h"
#include "ForegroundEstimate.h"
#include "SubjectAnalysis.h"
#include "VantelError.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImageWriter>
#include <QSaveFile>
#include <QUrl>
#include <cmath>

namespace {

constexpr double maxSide = 2560.0;

QString writePng(const QImage& image, const QString& path)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    QImageWriter writer(&file, "png");
    if (!writer.write(image)) {
        file.cancelWriting();
        return writer.errorString();
    }
    if (!file.commit())
        return file.errorString();
    return {};
}

} // namespace

std::optional<CutJob::Options> CutJob::Options::parse(const QString& feather,
                                                      const QString& background,
                                                      const std::optional<QString>& subject,
                                                      bool maskOnly, QString* problem)
{
    Options options;
    options.maskOnly = maskOnly;
    bool ok = false;
    options.feather = feather.toDouble(&ok);
    if (!ok || !std::isfinite(options.feather) || options.feather < 0 || options.feather > 20) {
        *problem = QStringLiteral("--feather takes a number from 0 to 20");
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
        *problem = QStringLiteral("--background takes clear, white, black or #RRGGBB");
        return std::nullopt;
    }
    if (subject) {
        const qlonglong n = subject->toLongLong(&ok);
        if (!ok || n < 1 || n > 255) {
            *problem = QStringLiteral("--subject takes a number from 1 to 255");
            return std::nullopt;
        }
        options.subject = n;
    }
    return options;
}

CutJob::CutJob(Options options, QString outDir, std::optional<QString> networkPath)
    : m_options(std::move(options)), m_outDir(std::move(outDir))
{
    if (networkPath)
        m_ownVision = std::make_unique<OnDeviceVision>(QFileInfo(*networkPath).absoluteFilePath());
}

VisionService& CutJob::vision()
{
    if (m_ownVision)
        return *m_ownVision;
    return OnDeviceVision::shared();
}

QString CutJob::outputPathFor(const QString& input)
{
    const QString base = QFileInfo(input).completeBaseName();
    QString name = base + QStringLiteral(".png");
    // Two inputs with the same name (from different folders) must not
    // overwrite each other: the later ones get a number.
    for (int n = 2; m_used.contains(name); ++n)
        name = QStringLiteral("%1-%2.png").arg(base).arg(n);
    m_used.insert(name);
    return QDir(m_outDir).filePath(name);
}

CutJob::Outcome CutJob::run(const QString& input)
{
    Outcome outcome;
    QElapsedTimer timer;
    timer.start();
    if (!QDir().mkpath(m_outDir)) {
        outcome.error = QStringLiteral("Couldn't create the folder %1.").arg(m_outDir);
        return outcome;
    }
    const std::optional<QImage> image =
        Compositor::load(QUrl::fromLocalFile(QFileInfo(input).absoluteFilePath()), maxSide);
    if (!image) {
        outcome.error = VantelError::loadFailed().errorDescription();
        return outcome;
    }
    try {
        const auto analysis = SubjectAnalysis::analyze(*image, vision());
        if (m_options.subject && !analysis->instances.count(*m_options.subject)) {
            outcome.error = QStringLiteral("There is no subject %1 (found %2).")
                                .arg(*m_options.subject)
                                .arg(analysis->instances.size());
            return outcome;
        }
        const cv::Mat mask = analysis->mask(m_options.subject);
        QImage out;
        if (m_options.maskOnly) {
            out = QImage(mask.data, mask.cols, mask.rows, int(mask.step[0]),
                         QImage::Format_Grayscale8)
                      .copy();
        } else {
            // The subject's own colour in the soft and feathered edge.
            const cv::Mat foreground = ForegroundEstimate::estimate(*image, mask);
            const std::optional<QImage> composed = Compositor::composite(
                *image, mask, foreground, m_options.feather, m_options.background);
            if (!composed) {
                outcome.error = QStringLiteral("Couldn't compose the result.");
                return outcome;
            }
            out = *composed;
        }
        const QString path = outputPathFor(input);
        const QString writeError = writePng(out, path);
        if (!writeError.isEmpty()) {
            outcome.error = writeError;
            return outcome;
        }
        outcome.written = path;
        const QString found = analysis->observation
                                  ? QStringLiteral("%1 subject(s)").arg(analysis->instances.size())
                                  : QStringLiteral("person segmentation");
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
