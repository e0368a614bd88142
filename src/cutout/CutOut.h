#pragma once

#include "Selection.h"
#include "SubjectAnalysis.h"

#include <QColor>
#include <QImage>
#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <optional>

class VisionService;

// The way from an image to its cut-out, the same for the editor and for
// vantel-cut: the image's analysis, the mask of what is kept with the
// subject's own colour under it, and the finished composite. Stateless; each
// step is a function of its inputs, safe to run on any thread.
class CutOut final
{
public:
    CutOut() = delete;

    // Longest side every image is scaled to on entry.
    static constexpr double maxSide = 2560.0;

    // What is kept, lifted off the image: its mask and the subject's own
    // colour under the soft and feathered edge. Made together, kept together.
    struct Layer
    {
        cv::Mat mask;       // CV_8UC1 of the image's size
        cv::Mat foreground; // CV_8UC3, R, G, B
    };

    // The subjects in an RGBA8888 image. Throws VantelError::noSubject or
    // the service's error.
    static std::shared_ptr<const SubjectAnalysis> analyze(const QImage& image,
                                                          VisionService& vision);

    // The layer of one subject, or of all when none is selected. A subject
    // with a mask of its own may take a moment the first time. Throws
    // VantelError::noSubject.
    static Layer layer(const SubjectAnalysis& analysis, std::optional<int64_t> selection);

    // What a box drawn at `box` (normalized) keeps in an RGBA8888 image: the
    // object the segmentation network finds inside it, run again over the
    // box (CV_8UC1 of the image's size). Throws VantelError where there is
    // no network.
    static cv::Mat boxMask(const QImage& image, VisionService& vision, const QRectF& box);

    // What a click at `point` (normalized) keeps (CV_8UC1 of the image's
    // size): the subject there, where its mask holds the clicked pixel.
    // Where it does not, the segmentation network runs again over the
    // smallest box a finder drew around the point, and the part of what it
    // finds under the click is kept. Empty where there is no subject at the
    // point. `ranAPass`, where given, says whether the network ran. Throws
    // VantelError.
    static cv::Mat clickMask(const SubjectAnalysis& analysis, VisionService& vision, QPointF point,
                             bool* ranAPass = nullptr);

    // The mask of all that `selection` keeps: its subjects' and its boxes'
    // (the boxes' from `boxMasks`, which must hold each of them; a clicked
    // subject's click mask from there too, where it is made). Throws
    // VantelError::noSubject.
    static cv::Mat selectionMask(const SubjectAnalysis& analysis, const Selection& selection,
                                 const BoxMasks& boxMasks);

    // The layer of `mask` (CV_8UC1 of the image's size) in an RGBA8888 image,
    // the mask's sure parts made opaque inside (SolidInterior).
    static Layer layerOf(const QImage& image, const cv::Mat& mask);

    // The layer laid over the background, its edge feathered by `feather`
    // thousandths of the longer side; no background means transparent. None
    // when the image or the layer is unusable.
    static std::optional<QImage> composite(const QImage& image, const Layer& layer, double feather,
                                           const std::optional<QColor>& background);
};
