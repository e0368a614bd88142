#pragma once

#include <QImage>
#include <opencv2/core.hpp>

class VisionService;

// What a box drawn around an object keeps: the segmentation network run
// again over the box and a margin around it, so that the object fills its
// input, and of that matte the objects that lie mostly inside the box, whole
// (a box drawn a little inside an object's edge keeps all of it). The box is the user's
// word for where the object is, which a click cannot give: where the network
// sees next to nothing in it (a blurred, faint or see-through object), a
// model of the colours inside the box against those around it finds the
// object instead (OpenCV's GrabCut).
class BoxPass final
{
public:
    BoxPass() = delete;

    // How far the network looks past each side of the box, as a share of
    // the box's width or height: enough for it to see the object's edge
    // against what is around it.
    static constexpr double margin = 0.15;

    // An object the network finds is kept when this share of it lies in
    // the box; the soft values within softReach of the box's shorter side
    // around it go with it.
    static constexpr double keptShare = 0.5;
    static constexpr double softReach = 0.03;

    // Below this share of the box kept, the network saw next to nothing.
    static constexpr double emptyShare = 0.05;
    // The colour model works on the image brought down to this longer side.
    static constexpr int colourSide = 640;

    // The part of an image of `image` size the network runs over for `box`:
    // the box grown by the margin, inside the image. Empty where the box
    // misses the image.
    static cv::Rect regionFor(const cv::Rect& box, cv::Size image);

    // The mask the box keeps (CV_8UC1 of `image` size) of the region's matte
    // (CV_8UC1 of the region's size) placed at `region`: the objects mostly
    // inside `box`, whole within the region, and the soft values in the box
    // that belong to no other object.
    static cv::Mat kept(const cv::Mat& regionMatte, const cv::Rect& region, const cv::Rect& box,
                        cv::Size image);

    // The object in `box` by its colours against those around it, in an
    // RGBA8888 image (CV_8UC1 of the image's size, the box's inside only);
    // empty where the box leaves no room around it to learn from.
    static cv::Mat byColour(const QImage& image, const cv::Rect& box);

    // What one pass of `vision`'s network over the region of `box` finds
    // inside the box of an RGBA8888 image (CV_8UC1 of the image's size).
    // Throws VantelError where the pass cannot run.
    static cv::Mat byNetwork(VisionService& vision, const QImage& image, const cv::Rect& box);

    // Whether the network saw next to nothing of `found` in `box`.
    static bool nearlyEmpty(const cv::Mat& found, const cv::Rect& box);

    // The mask `box` keeps in an RGBA8888 image, by one pass of `vision`'s
    // network, or by colour where that finds next to nothing. Throws
    // VantelError where the pass cannot run.
    static cv::Mat mask(VisionService& vision, const QImage& image, const cv::Rect& box);
};
