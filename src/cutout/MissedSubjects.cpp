#include "MissedSubjects.h"

#include "BoxPass.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace {

// The largest bounding box of a part (8-connected) the matte shows.
int largestShownPart(const InstanceMask& found)
{
    cv::Mat parts, stats, centroids;
    const int count = cv::connectedComponentsWithStats(found.matte >= found.shownLevel, parts,
                                                       stats, centroids, 8, CV_32S);
    int largest = 0;
    for (int k = 1; k < count; ++k)
        largest = std::max(largest, stats.at<int>(k, cv::CC_STAT_WIDTH) *
                                        stats.at<int>(k, cv::CC_STAT_HEIGHT));
    return largest;
}

} // namespace

std::vector<int> MissedSubjects::candidates(const InstanceMask& found)
{
    if (found.matte.empty())
        return {};
    const int largest = largestShownPart(found);
    const cv::Rect picture(cv::Point(0, 0), found.matte.size());
    const float sure = SubjectTuning{}.scene.minScore;
    std::vector<int> labels;
    for (int label = 1; label <= found.count && size_t(label) <= found.info.size(); ++label) {
        const SubjectInfo& s = found.info[size_t(label - 1)];
        const cv::Rect box = s.box & picture;
        if (s.className.isEmpty() || s.score < sure || box.area() <= largest ||
            box.width >= spanShare * picture.width || box.height >= spanShare * picture.height)
            continue;
        const int shownInBox = cv::countNonZero(found.matte(box) >= 128);
        if (shownInBox < maxShownShare * box.area())
            labels.push_back(label);
    }
    std::stable_sort(labels.begin(), labels.end(), [&found](int a, int b) {
        return found.info[size_t(a - 1)].box.area() > found.info[size_t(b - 1)].box.area();
    });
    if (labels.size() > size_t(maxPasses))
        labels.resize(size_t(maxPasses));
    return labels;
}

cv::Mat MissedSubjects::added(const InstanceMask& found, const QImage& image, VisionService& vision)
{
    const std::vector<int> labels = candidates(found);
    if (labels.empty())
        return {};
    const cv::Mat whole = found.wholeMask(cv::Size(image.width(), image.height()));
    const double sx = double(image.width()) / found.matte.cols;
    const double sy = double(image.height()) / found.matte.rows;
    cv::Mat added;
    for (int label : labels) {
        const cv::Rect b = found.info[size_t(label - 1)].box;
        const int x0 = int(std::floor(b.x * sx)), y0 = int(std::floor(b.y * sy));
        const int x1 = int(std::ceil(b.br().x * sx)), y1 = int(std::ceil(b.br().y * sy));
        const cv::Rect box(x0, y0, x1 - x0, y1 - y0);
        const cv::Mat object = BoxPass::byNetwork(vision, image, box);
        // The pass must find an object of its own there, not the matte's
        // subjects again with a few pixels around them.
        const cv::Rect inside = box & cv::Rect(0, 0, image.width(), image.height());
        if (inside.empty())
            continue;
        const cv::Mat fresh = (object(inside) >= 128) & (whole(inside) < 128);
        if (cv::countNonZero(fresh) < minNewShare * inside.area())
            continue;
        if (added.empty())
            added = object;
        else
            cv::max(added, object, added);
    }
    return added;
}
