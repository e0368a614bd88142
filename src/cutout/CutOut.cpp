#include "CutOut.h"

#include "Compositor.h"
#include "ForegroundEstimate.h"

std::shared_ptr<const SubjectAnalysis> CutOut::analyze(const QImage& image, VisionService& vision)
{
    return SubjectAnalysis::analyze(image, vision);
}

CutOut::Layer CutOut::layer(const SubjectAnalysis& analysis, std::optional<int64_t> selection)
{
    Layer layer;
    layer.mask = analysis.mask(selection);
    layer.foreground = ForegroundEstimate::estimate(analysis.cg, layer.mask);
    return layer;
}

std::optional<QImage> CutOut::composite(const QImage& image, const Layer& layer, double feather,
                                        const std::optional<QColor>& background)
{
    return Compositor::composite(image, layer.mask, layer.foreground, feather, background);
}
