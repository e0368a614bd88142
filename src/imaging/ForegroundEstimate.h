#pragma once

#include <QImage>
#include <opencv2/core.hpp>

// The subject's own colour (F) under a mask, for every pixel, so that a soft
// or feathered edge can be laid down as alpha * F + (1 - alpha) * background
// without the old background showing through.
//
// Where the mask is 255, F is the image's pixel, untouched. Outside the mask F
// is the colour of the nearest subject, carried outward without limit, so any
// feather can spread the edge as far as it likes. Where the mask is soft the
// pixel is a mix of subject and old background; F is what remains once a
// local estimate of that background is taken out.
//
// How: colour pyramids filled by pull-push. The sure subject pixels and the
// sure background pixels, each with weight 1, are pulled down to a single
// pixel and pushed back up; on the way up a pixel keeps its own level's
// weighted mean where it has sure pixels close by and takes the coarser
// level's elsewhere. That gives everywhere a local subject colour F0 and
// background colour B0 from the sure pixels nearest at the finest scale that
// has any. A soft pixel (mask a, colour I) gets F = F0 + a^2 * (I - a * F0 -
// (1 - a) * B0), clamped. A second pull-push of that F (soft pixels weighted
// by a^4) carries the edge's colour outward past the mask. Both start at
// half resolution, so the work at full resolution is one read of image and
// mask and two passes over F. A mask that never reaches 255 takes its
// highest value as sure.
class ForegroundEstimate final
{
public:
    ForegroundEstimate() = delete;

    // F for `image` (CV_8UC3, or CV_8UC4 whose transparent pixels count for
    // nothing) under `mask` (CV_8UC1 of the same size): CV_8UC3 in the
    // image's own channel order. An empty mask (all zero) leaves F equal to
    // the image's colour.
    static cv::Mat estimate(const cv::Mat& image, const cv::Mat& mask);

    // The same for a QImage of any format (read as RGBA8888, so F is R, G, B)
    // and a mask of any size, brought to the image's size the way
    // Compositor::composite brings it. Empty Mat on a null image or a mask
    // that is not CV_8UC1.
    static cv::Mat estimate(const QImage& image, const cv::Mat& mask);
};
