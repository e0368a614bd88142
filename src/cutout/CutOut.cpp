#include "CutOut.h"

#include "Compositor.h"
#include "ForegroundEstimate.h"

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
