#include "CutOut.h"

#include "BoxPass.h"
#include "Compositor.h"
#include "ForegroundEstimate.h"
#include "SolidInterior.h"
#include "VantelError.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

std::shared_ptr<const SubjectAnalysis> CutOut::analyze(const QImage& image, VisionService& vision)
{
    return SubjectAnalysis::analyze(image, vision);
}

CutOut::Layer CutOut::layer(const SubjectAnalysis& analysis, std::optional<int64_t> selection)
{
    return layerOf(analysis.cg, analysis.mask(selection));
}

CutOut::Layer CutOut::layerOf(const QImage& image, const cv::Mat& mask)
{
    Layer layer;
    layer.mask = SolidInterior::solid(mask);
    layer.foreground = ForegroundEstimate::estimate(image, layer.mask);
    return layer;
}

std::optional<QImage> CutOut::composite(const QImage& image, const Layer& layer, double feather,
                                        const std::optional<QColor>& background)
{
    return Compositor::composite(image, layer.mask, layer.foreground, feather, background);
}

cv::Mat CutOut::boxMask(const QImage& image, VisionService& vision, const QRectF& box)
{
    const double w = image.width(), h = image.height();
    // Every pixel the box touches; a side that falls on a pixel's edge (up
    // to rounding in the normalizing) stays there.
    constexpr double edge = 1e-6;
    const int x0 = int(std::floor(box.left() * w + edge)),
              y0 = int(std::floor(box.top() * h + edge));
    const int x1 = int(std::ceil(box.right() * w - edge));
    const int y1 = int(std::ceil(box.bottom() * h - edge));
    return BoxPass::mask(vision, image, cv::Rect(x0, y0, x1 - x0, y1 - y0));
}

cv::Mat CutOut::selectionMask(const SubjectAnalysis& analysis, const Selection& selection,
                              const BoxMasks& boxMasks)
{
    if (selection.keepsAll())
        return analysis.mask(std::nullopt);
    const QSize size = analysis.cg.size();
    cv::Mat mask = cv::Mat::zeros(size.height(), size.width(), CV_8UC1);
    // A mask made for another image size is not this image's.
    auto made = [&boxMasks, &mask](const QRectF& key) -> const cv::Mat* {
        const cv::Mat* found = madeFor(boxMasks, key);
        return found && found->size() == mask.size() ? found : nullptr;
    };
    for (int64_t label : selection.subjects) {
        const auto click = selection.clickedAt.find(label);
        const cv::Mat* clicked =
            click != selection.clickedAt.end() ? made(Selection::clickKey(click->second)) : nullptr;
        cv::max(mask, clicked ? *clicked : analysis.mask(label), mask);
    }
    for (const QRectF& box : selection.boxes) {
        const cv::Mat* boxed = made(box);
        if (!boxed)
            throw VantelError::noSubject();
        cv::max(mask, *boxed, mask);
    }
    return mask;
}

namespace {

// The pixel of a normalized point in an image of `size`, inside it.
cv::Point pixelAt(QPointF point, cv::Size size)
{
    return {std::clamp(int(point.x() * size.width), 0, size.width - 1),
            std::clamp(int(point.y() * size.height), 0, size.height - 1)};
}

// The part of `mask` connected to `at` among its pixels of at least half
// strength, with the soft edge around it; empty where `at` is not in it.
cv::Mat partUnder(const cv::Mat& mask, cv::Point at)
{
    if (mask.at<uchar>(at) < 128)
        return {};
    cv::Mat parts;
    cv::connectedComponents(mask >= 128, parts, 8, CV_32S);
    const int part = parts.at<int>(at);
    // The soft edge is the pixels within a few of the part's.
    cv::Mat near;
    cv::dilate(parts == part, near, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(7, 7)));
    cv::Mat kept = cv::Mat::zeros(mask.size(), CV_8UC1);
    mask.copyTo(kept, near);
    return kept;
}

} // namespace

cv::Mat CutOut::clickMask(const SubjectAnalysis& analysis, VisionService& vision, QPointF point,
                          bool* ranAPass)
{
    if (ranAPass)
        *ranAPass = false;
    const cv::Size size(analysis.cg.width(), analysis.cg.height());
    const cv::Point at = pixelAt(point, size);
    const int64_t label = analysis.labelAtNormalized(point);
    if (label < 1)
        return {};
    cv::Mat mask = analysis.mask(label);
    if (mask.at<uchar>(at) >= 128 || !analysis.subjects)
        return mask;
    // The smallest box a finder drew that holds the click, in the image's
    // pixels.
    const InstanceMask& subjects = *analysis.subjects;
    const double sx = double(size.width) / subjects.labels.cols;
    const double sy = double(size.height) / subjects.labels.rows;
    std::optional<cv::Rect> smallest;
    for (const SubjectInfo& info : subjects.info) {
        if (info.box.empty())
            continue;
        const cv::Rect box(int(std::floor(info.box.x * sx)), int(std::floor(info.box.y * sy)),
                           int(std::ceil(info.box.width * sx)),
                           int(std::ceil(info.box.height * sy)));
        if (box.contains(at) && (!smallest || box.area() < smallest->area()))
            smallest = box;
    }
    if (!smallest)
        return mask;
    if (ranAPass)
        *ranAPass = true;
    cv::Mat part = partUnder(BoxPass::mask(vision, analysis.cg, *smallest), at);
    return part.empty() ? mask : part;
}
