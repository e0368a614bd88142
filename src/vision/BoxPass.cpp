#include "BoxPass.h"

#include "AreaDownscale.h"
#include "MatView.h"
#include "VisionService.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

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
    regionMatte(inside - region.tl()).copyTo(mask(inside));
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
