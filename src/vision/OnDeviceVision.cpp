#include "OnDeviceVision.h"

#include "MatteObservation.h"
#include "MatteSubjects.h"
#include "PersonSegmenter.h"
#include "VantelError.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <opencv2/imgproc.hpp>

#include <chrono>

OnDeviceVision& OnDeviceVision::shared()
{
    static OnDeviceVision* vision = new OnDeviceVision(defaultNetworkPath());
    return *vision;
}

OnDeviceVision::OnDeviceVision(QString networkPath) : m_path(std::move(networkPath)) {}

OnDeviceVision::~OnDeviceVision()
{
    if (m_loading.valid())
        m_loading.wait();
}

QString OnDeviceVision::defaultNetworkPath()
{
    const QString relative = QStringLiteral("vantel/models/isnet.onnx");
    const QString installed = QStandardPaths::locate(QStandardPaths::GenericDataLocation, relative);
    if (!installed.isEmpty())
        return installed;
    const QString built = QDir(QStringLiteral(VANTEL_BINARY_DIR)).filePath(QStringLiteral("models/isnet.onnx"));
    return QFileInfo::exists(built) ? built : QString();
}

void OnDeviceVision::startLoading()
{
    std::call_once(m_start, [this] {
        const QString path = m_path;
        m_loading = std::async(std::launch::async, [path] {
                        Loaded result;
                        try {
                            result.network = SegmentationNetwork::load(path);
                        } catch (const VantelError& e) {
                            result.error = e.errorDescription();
                        } catch (const std::exception& e) {
                            result.error = QString::fromUtf8(e.what());
                        }
                        return result;
                    }).share();
    });
}

bool OnDeviceVision::loadingFinished() const
{
    return m_loading.valid() &&
           m_loading.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

void OnDeviceVision::waitForLoading() const
{
    if (m_loading.valid())
        m_loading.wait();
}

const OnDeviceVision::Loaded& OnDeviceVision::loaded()
{
    startLoading();
    return m_loading.get();
}

QString OnDeviceVision::unavailableReason()
{
    return loaded().error;
}

bool OnDeviceVision::instanceMasksAvailable()
{
    return loaded().network != nullptr;
}

std::vector<std::shared_ptr<const InstanceMaskObservation>>
OnDeviceVision::generateForegroundInstanceMask(const QImage& image)
{
    const std::shared_ptr<SegmentationNetwork> network = loaded().network;
    if (!network)
        throw VantelError::platform(loaded().error);
    const QImage rgba = image.format() == QImage::Format_RGBA8888
                            ? image
                            : image.convertToFormat(QImage::Format_RGBA8888);
    const cv::Mat matte = network->matte(rgba);

    // The split works at the image's aspect, no finer than the network saw it.
    const cv::Size working = MatteSubjects::workingSize(rgba.size());
    cv::Mat workingMatte;
    const bool shrinking = working.width <= matte.cols && working.height <= matte.rows;
    cv::resize(matte, workingMatte, working, 0, 0, shrinking ? cv::INTER_AREA : cv::INTER_LINEAR);
    const cv::Mat view(rgba.height(), rgba.width(), CV_8UC4, const_cast<uchar*>(rgba.constBits()),
                       size_t(rgba.bytesPerLine()));
    cv::Mat rgb;
    if (working == view.size()) {
        cv::cvtColor(view, rgb, cv::COLOR_RGBA2RGB);
    } else {
        cv::Mat small;
        cv::resize(view, small, working, 0, 0, cv::INTER_AREA);
        cv::cvtColor(small, rgb, cv::COLOR_RGBA2RGB);
    }
    auto observation = std::make_shared<MatteObservation>(MatteSubjects::split(workingMatte, rgb));
    return {observation};
}

std::vector<cv::Mat> OnDeviceVision::generatePersonSegmentation(const QImage& image)
{
    try {
        return {PersonSegmenter::segment(image)};
    } catch (const cv::Exception& e) {
        throw VantelError::platform(QString::fromStdString(e.err).section(QLatin1Char('\n'), 0, 0));
    }
}
