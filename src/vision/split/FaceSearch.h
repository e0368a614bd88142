#pragma once

#include <opencv2/core.hpp>
#include <vector>

// Faces, looked for only inside the subjects that could hold two people,
// on one equalized grey copy of the image at most searchSide long.
class FaceSearch final
{
public:
    explicit FaceSearch(const cv::Mat& rgb);

    // Faces within `box` (working coordinates), in working coordinates. The
    // profile cascade, the costly one, runs only when the frontal one finds
    // exactly one face in a subject wide enough for a second person beside
    // it: a lone portrait does not pay for the search.
    std::vector<cv::Rect> within(const cv::Rect& box) const;

private:
    // Faces are looked for at this longer side at most.
    static constexpr int searchSide = 800;
    // A subject this many faces wide may hold a second person beside the first.
    static constexpr int roomForTwo = 5;

    cv::Mat m_equalized;
    double m_scale = 1.0;
};
