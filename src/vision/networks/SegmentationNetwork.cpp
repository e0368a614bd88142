#include "SegmentationNetwork.h"

#include "AreaDownscale.h"
#include "MatView.h"
#include "NetworkRunner.h"
#include "VantelError.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <opencv2/imgproc.hpp>

namespace {

QString shortText(const cv::Exception& e)
{
    QString detail = QString::fromStdString(e.err).section(QLatin1Char('\n'), 0, 0).trimmed();
    if (detail.size() > 100)
        detail = detail.left(97) + QStringLiteral("...");
    if (detail.isEmpty())
        return QCoreApplication::translate("Vantel", "The subject finder failed on this image.");
    return QCoreApplication::translate("Vantel", "The subject finder failed on this image (%1).")
        .arg(detail);
}

} // namespace

// OpenCV's messages span several lines with file names and expressions; the
// user gets one short sentence, with OpenCV's own summary where it has one.
VantelError SegmentationNetwork::errorFor(const cv::Exception& e)
{
    return VantelError::platform(shortText(e));
}

VantelError SegmentationNetwork::outOfMemory()
{
    return VantelError::platform(
        QCoreApplication::translate("Vantel", "There is not enough memory to analyze this image."));
}

SegmentationNetwork::~SegmentationNetwork() = default;

std::unique_ptr<SegmentationNetwork> SegmentationNetwork::load(const QString& path)
{
    if (path.isEmpty() || !QFileInfo(path).isFile())
        throw VantelError::platform(
            QCoreApplication::translate("Vantel", "The subject finder is not installed."));
    std::unique_ptr<SegmentationNetwork> network(new SegmentationNetwork);
    try {
        network->m_runner = NetworkRunner::load(path);
        return network;
    } catch (const std::bad_alloc&) {
        throw outOfMemory();
    } catch (const std::exception&) {
        throw VantelError::platform(
            QCoreApplication::translate("Vantel", "The subject finder could not be loaded."));
    }
}

QString SegmentationNetwork::engine() const
{
    return m_runner->engine();
}

cv::Mat SegmentationNetwork::inputBlob(const QImage& image)
{
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888);
    const cv::Mat view = rgbaView(rgba);
    // Sides longer than the input are reduced by area averaging, shorter ones
    // stretched bilinearly: a 2560 x 800 panorama is not point-sampled across.
    const cv::Mat resized = AreaDownscale::resized(view, cv::Size(inputSide, inputSide));

    const int sizes[] = {1, 3, inputSide, inputSide};
    cv::Mat blob(4, sizes, CV_32F);
    float* r = blob.ptr<float>(0, 0);
    float* g = blob.ptr<float>(0, 1);
    float* b = blob.ptr<float>(0, 2);
    for (int y = 0; y < inputSide; ++y) {
        const uchar* px = resized.ptr<uchar>(y);
        const size_t row = size_t(y) * inputSide;
        for (int x = 0; x < inputSide; ++x, px += 4) {
            // Bytes are R, G, B, A. Transparent parts read as grey 128 (0).
            const float a = px[3] / 255.0f;
            r[row + x] = (px[0] - 128.0f) * a / 256.0f;
            g[row + x] = (px[1] - 128.0f) * a / 256.0f;
            b[row + x] = (px[2] - 128.0f) * a / 256.0f;
        }
    }
    return blob;
}

cv::Mat SegmentationNetwork::matte(const QImage& image)
{
    try {
        const cv::Mat blob = inputBlob(image);
        const std::vector<cv::Mat> outs = m_runner->forward(blob, {"output"});
        NetworkRunner::checkFinite(outs);
        const cv::Mat out = outs.at(0);
        if (out.dims != 4 || out.size[2] != inputSide || out.size[3] != inputSide)
            throw VantelError::platform(QCoreApplication::translate(
                "Vantel", "The subject finder gave an unexpected result."));
        return cv::Mat(inputSide, inputSide, CV_32F, const_cast<float*>(out.ptr<float>())).clone();
    } catch (const cv::Exception& e) {
        throw errorFor(e);
    } catch (const std::bad_alloc&) {
        throw outOfMemory();
    } catch (const std::runtime_error& e) {
        throw VantelError::platform(
            QCoreApplication::translate("Vantel", "The subject finder failed on this image (%1).")
                .arg(QString::fromStdString(e.what()).section(QLatin1Char('\n'), 0, 0).left(100)));
    }
}
