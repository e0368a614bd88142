#pragma once

#include "InstanceMask.h"

#include <QRectF>
#include <opencv2/core.hpp>
#include <utility>
#include <vector>

// What the user keeps of an image: subjects picked by a click (their
// labels) and boxes drawn around objects (in the image's normalized
// coordinates, as the preview gives them). Nothing picked keeps all
// subjects.
struct Selection
{
    InstanceSet subjects;
    std::vector<QRectF> boxes;

    // Just the one subject `label`.
    static Selection subject(int64_t label) { return Selection{{label}, {}}; }
    static Selection box(const QRectF& box) { return Selection{{}, {box}}; }

    bool keepsAll() const { return subjects.empty() && boxes.empty(); }
    // How many subjects and boxes are kept.
    int count() const { return int(subjects.size() + boxes.size()); }
    // The one subject kept where that is all that is kept.
    std::optional<int64_t> onlySubject() const
    {
        return subjects.size() == 1 && boxes.empty() ? std::optional(*subjects.begin())
                                                     : std::nullopt;
    }

    bool operator==(const Selection& other) const
    {
        return subjects == other.subjects && boxes == other.boxes;
    }
    bool operator!=(const Selection& other) const { return !(*this == other); }
};

// The masks boxes keep (CV_8UC1 of the image's size), by box, once made: a
// box pass takes a second, so each is made once per image.
using BoxMasks = std::vector<std::pair<QRectF, cv::Mat>>;
