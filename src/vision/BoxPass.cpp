#include "BoxPass.h"

#include "VisionService.h"

#include <cmath>

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

cv::Mat BoxPass::mask(VisionService& vision, const QImage& image, const cv::Rect& box)
{
    const cv::Size size(image.width(), image.height());
    const cv::Rect region = regionFor(box, size);
    if (region.empty())
        return cv::Mat::zeros(size, CV_8UC1);
    return kept(vision.generateRegionMatte(image, region), region, box, size);
}
