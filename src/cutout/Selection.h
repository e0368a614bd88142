#pragma once

#include "InstanceMask.h"

#include <QPointF>
#include <QRectF>
#include <map>
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
    // Where the subjects picked by a click were clicked: what a click keeps
    // is what lies under it (CutOut::clickMask).
    std::map<int64_t, QPointF> clickedAt;

    // Just the one subject `label`.
    static Selection subject(int64_t label) { return Selection{{label}, {}, {}}; }

    // The key of a click's own mask among the pass masks: the empty
    // rectangle at the clicked point.
    static QRectF clickKey(QPointF point) { return QRectF(point, QSizeF(0, 0)); }

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
        return subjects == other.subjects && boxes == other.boxes && clickedAt == other.clickedAt;
    }
    bool operator!=(const Selection& other) const { return !(*this == other); }
};

// The masks boxes and clicks keep (CV_8UC1 of the image's size), by box or
// click key, once made: a pass of the network takes a second, so each is
// made once per image.
using BoxMasks = std::vector<std::pair<QRectF, cv::Mat>>;

// The mask made for `key` (a box, or a click's key), or none yet.
inline const cv::Mat* madeFor(const BoxMasks& masks, const QRectF& key)
{
    for (const auto& [made, mask] : masks) {
        if (made == key)
            return &mask;
    }
    return nullptr;
}
