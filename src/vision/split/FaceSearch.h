#pragma once

#include "SubjectTuning.h"

#include <opencv2/core.hpp>
#include <vector>

// Faces, looked for only inside the subjects that could hold two people,
// on one equalized grey copy of the image at most the tuning's searchSide
// long.
class FaceSearch final
{
public:
    FaceSearch(const cv::Mat& rgb, const SubjectTuning::Split& tuning);

    // Faces within `box` (working coordinates), in working coordinates. The
    // profile cascade, the costly one, runs only when the frontal one finds
    // exactly one face in a subject wide enough for a second person beside
    // it: a lone portrait does not pay for the search.
    std::vector<cv::Rect> within(const cv::Rect& box) const;

private:
    SubjectTuning::Split m_tuning;
    cv::Mat m_equalized;
    double m_scale = 1.0;
};
