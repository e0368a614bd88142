#pragma once

#include <opencv2/core.hpp>

// A subject's mask made opaque inside. The segmentation network's doubt
// shows as alpha between the levels: right at an edge that is the soft part
// of hair, fur or motion blur, but deep inside a subject it is a torso or a
// petal the network was less sure of, and it leaves the subject see-through.
//
// A pixel on the subject's side of the middle level is made opaque where it
// lies between sure parts of the subject (inside the sure region closed over
// gaps up to `gapShare` of the shorter side: a ghosted torso between sure
// arms and legs) and farther than a narrow band from the subject's edge; the
// alpha rises smoothly over `riseBands` bands so no step shows. A soft fringe
// along the outside of a subject (fur, hair, blur) is not between sure parts
// and stays soft. Only parts the network is mostly sure of are made solid: a
// part with less than `minSureShare` of its area at the sure level is
// doubtful as a whole (often not a subject at all) and keeps its alpha. No
// pixel crosses the middle level, so what is in and what is out stays the
// same; nothing is ever made more transparent.
class SolidInterior final
{
public:
    SolidInterior() = delete;

    // The level that separates subject from background, and the level a
    // pixel counts as sure at.
    static constexpr int middleLevel = 128;
    static constexpr int sureLevel = 230;
    // The soft band kept at the edge, as a share of the shorter side, and
    // how many such bands the alpha takes to rise to opaque past it.
    static constexpr double bandShare = 0.005;
    static constexpr double riseBands = 3.0;
    // The widest gap between sure parts that is closed, as a share of the
    // shorter side.
    static constexpr double gapShare = 0.06;
    // The least share of a part's area at the sure level for the part to be
    // made solid.
    static constexpr double minSureShare = 0.5;

    // Larger masks are worked on at this shorter side.
    static constexpr int workSide = 1024;

    // The mask (CV_8UC1) with its sure parts' interiors opaque, as a new Mat.
    static cv::Mat solid(const cv::Mat& mask);

    // Width in pixels of the soft band kept in a mask of `size` (at least 1).
    static double bandWidth(cv::Size size);

private:
    // solid() at the mask's own size.
    static cv::Mat raised(const cv::Mat& mask);
};
