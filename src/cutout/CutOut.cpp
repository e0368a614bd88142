#include "CutOut.h"

#include "BoxPass.h"
#include "Compositor.h"
#include "ForegroundEstimate.h"
#include "VantelError.h"

#include <algorithm>
#include <cmath>

std::shared_ptr<const SubjectAnalysis> CutOut::analyze(const QImage& image, VisionService& vision)
{
    return SubjectAnalysis::analyze(image, vision);
}

CutOut::Layer CutOut::layer(const SubjectAnalysis& analysis, std::optional<int64_t> selection)
{
    return layerOf(analysis.cg, analysis.mask(selection));
}

CutOut::Layer CutOut::layerOf(const QImage& image, cv::Mat mask)
{
    Layer layer;
    layer.foreground = ForegroundEstimate::estimate(image, mask);
    layer.mask = std::move(mask);
    return layer;
}

std::optional<QImage> CutOut::composite(const QImage& image, const Layer& layer, double feather,
                                        const std::optional<QColor>& background)
{
    return Compositor::composite(image, layer.mask, layer.foreground, feather, background);
}

cv::Mat CutOut::boxMask(const SubjectAnalysis& analysis, VisionService& vision, const QRectF& box)
{
    const double w = analysis.cg.width(), h = analysis.cg.height();
    // Every pixel the box touches.
    const int x0 = int(std::floor(box.left() * w)), y0 = int(std::floor(box.top() * h));
    const int x1 = int(std::ceil(box.right() * w)), y1 = int(std::ceil(box.bottom() * h));
    return BoxPass::mask(vision, analysis.cg, cv::Rect(x0, y0, x1 - x0, y1 - y0));
}

cv::Mat CutOut::selectionMask(const SubjectAnalysis& analysis, const Selection& selection,
                              const BoxMasks& boxMasks)
{
    if (selection.keepsAll())
        return analysis.mask(std::nullopt);
    const QSize size = analysis.cg.size();
    cv::Mat mask = cv::Mat::zeros(size.height(), size.width(), CV_8UC1);
    for (int64_t label : selection.subjects)
        cv::max(mask, analysis.mask(label), mask);
    for (const QRectF& box : selection.boxes) {
        const auto made = std::find_if(boxMasks.begin(), boxMasks.end(),
                                       [&box](const auto& known) { return known.first == box; });
        if (made == boxMasks.end() || made->second.size() != mask.size())
            throw VantelError::noSubject();
        cv::max(mask, made->second, mask);
    }
    return mask;
}
