#pragma once

#include "InstanceMask.h"
#include "LabelMap.h"

#include <QImage>
#include <QPointF>
#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <optional>

class VisionService;

// One run of the vision service over one image: the subjects it found, their
// label map, and masks for all of them or one, at the image's pixel size.
// Filled by analyze() and never modified after; shared read-only between the
// editor model and its background jobs.
class SubjectAnalysis final
{
public:
    explicit SubjectAnalysis(QImage cg);

    // Analyzes an RGBA8888 image with the given service. Throws
    // VantelError::noSubject or the service's error.
    static std::shared_ptr<const SubjectAnalysis> analyze(const QImage& cg, VisionService& vision);

    // The mask of one subject, or of all when none is given (the whole
    // matte, as the network saw the picture, and what MissedSubjects adds),
    // as CV_8UC1 of the image's size. A subject with a mask of its own may take a moment the first
    // time. Throws VantelError::noSubject.
    cv::Mat mask(std::optional<int64_t> selected) const;
    // Whether mask(selected) will take that moment.
    bool maskTakesAMoment(std::optional<int64_t> selected) const;

    // Whether a click on subject `label` at a normalized point seems to miss
    // its mask (the matte there is below half, at the working size): then
    // what the click keeps takes a pass of the network (CutOut::clickMask).
    bool clickMissesAt(int64_t label, QPointF point) const;

    // The label under a normalized point; 0 for background and without a map.
    int64_t labelAtNormalized(QPointF point) const;

    const QImage cg;
    std::optional<InstanceMask> subjects;
    InstanceSet instances;
    std::optional<LabelMap> labels;
    // A point deep inside each subject a click finds (LabelMap::innerPoints).
    std::vector<std::pair<int64_t, QPointF>> subjectPoints;
    std::optional<cv::Mat> personMask;
    // Large sure finds the matte left out, at the image's size (empty:
    // none); part of the mask of all.
    cv::Mat missed;
};
