#pragma once

#include "SubjectTuning.h"

#include <atomic>
#include <mutex>
#include <opencv2/core.hpp>
#include <utility>
#include <vector>

// The soft mask of one object that the matte does not make (one it leaves
// out, or covers too little of), cut from the picture by GrabCut in a window
// around the object's box. The box is all the finder says, so the cut starts
// from its shape: the ellipse inscribed in the box likely object, the box's
// corners likely background, its middle (and a person's skeleton) certainly
// object, all beyond the box certainly background; where another subject
// holds the matte it is likely background, where this object does it is
// likely object. The cut runs at most the tuning's workSide pixels across and is brought
// back to working size with a soft edge.
//
// The cut takes 50-300 ms (up to about a second for a box filling a
// cluttered picture), so it is made the first time the mask is asked
// for (alpha() is thread-safe) rather than for every object found.
class OwnMask final
{
public:
    struct Hints
    {
        cv::Mat rgb;  // the picture (CV_8UC3, R, G, B)
        cv::Rect box; // the object, in rgb's pixels
        // Segments certainly on the object (a person's limbs and torso).
        std::vector<std::pair<cv::Point2f, cv::Point2f>> bones;
        float boneWidth = 3;
        // Optional, CV_8UC1 of rgb's size: nonzero where the matte holds
        // this object (likely object) or another subject (likely background).
        cv::Mat mine, others;
        SubjectTuning::OwnCut tuning;
    };

    // `hints` over the window `roi` of the working picture (see window()),
    // in the window's pixels.
    OwnMask(Hints hints, const cv::Rect& roi);

    // Where alpha() lies in the working picture.
    cv::Rect roi() const { return m_roi; }
    // The mask over roi() (CV_8UC1, 0 .. 255), cut on the first call.
    const cv::Mat& alpha() const;
    // Whether alpha() has been cut, so that asking for it is quick.
    bool isCut() const { return m_cut.load(std::memory_order_acquire); }

    // The window the cut looks at: the box and a margin around it for the
    // background's colours, within an image of `size`.
    static cv::Rect window(const cv::Rect& box, cv::Size size, const SubjectTuning::OwnCut& tuning);
    // The cut itself over `hints` whose picture is the window.
    static cv::Mat cut(const Hints& hints);

private:
    Hints m_hints;
    cv::Rect m_roi;
    mutable std::once_flag m_once;
    mutable cv::Mat m_alpha;
    mutable std::atomic<bool> m_cut{false};
};
