#include "BoxPass.h"

#include "AreaDownscale.h"
#include "MatView.h"
#include "VisionService.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <vector>

cv::Rect BoxPass::regionFor(const cv::Rect& box, cv::Size image)
{
    const cv::Rect bounds(cv::Point(0, 0), image);
    if ((box & bounds).empty())
        return {};
    const int dx = int(std::lround(box.width * margin));
    const int dy = int(std::lround(box.height * margin));
    return cv::Rect(box.x - dx, box.y - dy, box.width + 2 * dx, box.height + 2 * dy) & bounds;
}

cv::Mat BoxPass::kept(const cv::Mat& regionMatte, const cv::Rect& region, const cv::Rect& box,
                      cv::Size image)
{
    cv::Mat mask = cv::Mat::zeros(image, CV_8UC1);
    const cv::Rect inside = region & box & cv::Rect(cv::Point(0, 0), image);
    if (inside.empty() || regionMatte.size() != region.size())
        return mask;
    const cv::Rect boxHere = inside - region.tl();

    // The objects the network found (its matte from the middle up, in
    // 8-connected parts), each kept whole within the region when most of
    // it lies in the box: a box drawn a little inside an object's edge
    // still keeps all of it, and a neighbour reaching into the box is not
    // kept.
    const cv::Mat solid = regionMatte >= 128;
    cv::Mat parts, stats, centroids;
    const int count = cv::connectedComponentsWithStats(solid, parts, stats, centroids, 8, CV_32S);
    std::vector<int> inBox(size_t(count), 0);
    for (int y = boxHere.y; y < boxHere.br().y; ++y) {
        const int* p = parts.ptr<int>(y);
        for (int x = boxHere.x; x < boxHere.br().x; ++x)
            ++inBox[size_t(p[x])];
    }
    cv::Mat keptParts = cv::Mat::zeros(region.size(), CV_8UC1);
    cv::Mat droppedParts = cv::Mat::zeros(region.size(), CV_8UC1);
    for (int y = 0; y < parts.rows; ++y) {
        const int* p = parts.ptr<int>(y);
        uchar* k = keptParts.ptr<uchar>(y);
        uchar* d = droppedParts.ptr<uchar>(y);
        for (int x = 0; x < parts.cols; ++x) {
            if (p[x] == 0)
                continue;
            const bool mostlyIn =
                inBox[size_t(p[x])] >= keptShare * stats.at<int>(p[x], cv::CC_STAT_AREA);
            (mostlyIn ? k : d)[x] = 255;
        }
    }
    // The soft values around kept objects go with them; elsewhere in the
    // box those that belong to no dropped object stay as they are.
    const int reach = std::max(2, int(std::lround(softReach * std::min(box.width, box.height))));
    cv::Mat near;
    cv::dilate(
        keptParts, near,
        cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * reach + 1, 2 * reach + 1)));
    near(boxHere).setTo(255);
    near.setTo(0, droppedParts);
    regionMatte.copyTo(mask(region), near);
    return mask;
}

cv::Mat BoxPass::byColour(const QImage& image, const cv::Rect& box)
{
    const cv::Size size(image.width(), image.height());
    const cv::Rect inside = box & cv::Rect(cv::Point(0, 0), size);
    if (inside.empty())
        return {};
    const double scale = std::min(1.0, double(colourSide) / std::max(size.width, size.height));
    const cv::Size small(std::max(1, int(std::lround(size.width * scale))),
                         std::max(1, int(std::lround(size.height * scale))));
    const cv::Rect smallBox =
        cv::Rect(int(std::floor(inside.x * scale)), int(std::floor(inside.y * scale)),
                 int(std::ceil(inside.width * scale)), int(std::ceil(inside.height * scale))) &
        cv::Rect(cv::Point(0, 0), small);
    // GrabCut needs pixels on both sides of the box to learn from.
    if (smallBox.width < 2 || smallBox.height < 2 || smallBox.area() >= small.area())
        return {};
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888);
    cv::Mat rgb;
    cv::cvtColor(AreaDownscale::resized(rgbaView(rgba), small), rgb, cv::COLOR_RGBA2RGB);
    cv::Mat labels, background, foreground;
    try {
        cv::grabCut(rgb, labels, smallBox, background, foreground, 4, cv::GC_INIT_WITH_RECT);
    } catch (const cv::Exception&) {
        return {};
    }
    cv::Mat object = (labels == cv::GC_FGD) | (labels == cv::GC_PR_FGD);
    cv::Mat full;
    cv::resize(object, full, size, 0, 0, cv::INTER_LINEAR);
    cv::Mat mask = cv::Mat::zeros(size, CV_8UC1);
    full(inside).copyTo(mask(inside));
    return mask;
}

cv::Mat BoxPass::byNetwork(VisionService& vision, const QImage& image, const cv::Rect& box)
{
    const cv::Size size(image.width(), image.height());
    const cv::Rect region = regionFor(box, size);
    if (region.empty())
        return cv::Mat::zeros(size, CV_8UC1);
    return kept(vision.generateRegionMatte(image, region), region, box, size);
}

bool BoxPass::nearlyEmpty(const cv::Mat& found, const cv::Rect& box)
{
    const cv::Rect inside = box & cv::Rect(cv::Point(0, 0), found.size());
    return inside.empty() || cv::countNonZero(found(inside) >= 128) < emptyShare * inside.area();
}

cv::Mat BoxPass::mask(VisionService& vision, const QImage& image, const cv::Rect& box)
{
    cv::Mat found = byNetwork(vision, image, box);
    if (nearlyEmpty(found, box)) {
        cv::Mat coloured = byColour(image, box);
        if (!coloured.empty())
            found = coloured;
    }
    return found;
}
