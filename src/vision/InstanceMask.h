#pragma once

#include "SubjectTuning.h"

#include <QString>
#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <set>
#include <vector>

using InstanceSet = std::set<int64_t>;

class OwnMask;

// What is known of one subject beyond its pixels: the class the object
// finder gave it and how sure it was, and where it is (working size). A
// subject no finder accounts for (a part of the matte of its own) has no
// class name and score 0.
struct SubjectInfo
{
    QString className;
    float score = 0;
    cv::Rect box;
    // The subject's own soft mask where the matte does not make it (an
    // object the matte leaves out, or covers too little of); null where the
    // subject is the matte's pixels it owns.
    std::shared_ptr<const OwnMask> own;
};

// The subjects one network pass found, as OpenCV values at the working size
// the split ran at: the soft matte, which subject owns each pixel it covers,
// and the label image a click is looked up in. Immutable once handed out
// (the Mats are never written again) and shared by several threads.
struct InstanceMask
{
    // Labels are bytes: subjects 1 ... maxLabel at the most.
    static constexpr int maxLabel = 255;

    cv::Mat matte;  // CV_8UC1, 0 background .. 255 subject
    cv::Mat owner;  // CV_8UC1, the subject of every pixel the matte covers
    cv::Mat labels; // CV_8UC1, owner where the matte is shown, else 0,
                    // and where a subject has a mask of its own, its area
    int count = 0;  // subjects 1 ... count
    // Subject n's details at n - 1; may be empty (nothing known but pixels).
    std::vector<SubjectInfo> info;
    // How a pick lifts a named subject the matte saw faintly: from the shown
    // level up, at most maxLift; as the split was tuned.
    int shownLevel = SubjectTuning{}.levels.shown;
    float maxLift = SubjectTuning{}.maxLift;

    InstanceSet allInstances() const;

    // The soft mask of the union of `instances` (labels outside 1 ... count
    // select nothing) at `size`, brought there in one bilinear resize so its
    // edges keep their soft values. An empty size means the working size. A
    // subject with a mask of its own gives that mask (made the first time
    // it is asked for, which may take a moment). A share of the matte a
    // finder names is lifted (up to twice) so that its middle level is
    // whole: the matte may see a named object only faintly.
    cv::Mat scaledMask(const InstanceSet& instances, cv::Size size) const;
    // Whether scaledMask() for `instances` must first cut a subject's own
    // mask (the slow part of a pick).
    bool needsCut(const InstanceSet& instances) const;

    // The mask with nothing picked: the whole matte, as the network saw the
    // picture, whatever subjects it was shared among.
    cv::Mat wholeMask(cv::Size size) const;
};
