#include "SeedFlood.h"

#include <algorithm>
#include <array>
#include <opencv2/imgproc.hpp>

cv::Mat SeedFlood::edges(const cv::Mat& rgb)
{
    cv::Mat smooth, grown, shrunk;
    cv::GaussianBlur(rgb, smooth, cv::Size(3, 3), 0);
    const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3));
    cv::dilate(smooth, grown, kernel);
    cv::erode(smooth, shrunk, kernel);
    cv::Mat spread = grown - shrunk;
    std::vector<cv::Mat> channels;
    cv::split(spread, channels);
    cv::Mat edge = channels[0];
    for (size_t c = 1; c < channels.size(); ++c)
        edge = cv::max(edge, channels[c]);
    return edge;
}

// A pixel goes to the first label offered it: later offers come from pixels
// taken at the same level or later, so their priority is never lower, and a
// bucket is taken in the order it was filled. It is labelled there and then,
// and enters a bucket once. An offer of a pixel foreign to the label waits
// instead, and is taken (if no one took the pixel meanwhile) at the top level.
void SeedFlood::grow(cv::Mat& labels, const cv::Mat& domain, const cv::Mat& edge,
                     const std::vector<Reach>& reach)
{
    CV_Assert(labels.isContinuous() && domain.isContinuous() && edge.isContinuous());
    const int w = labels.cols, h = labels.rows;
    uchar* const label = labels.data;
    const uchar* const inside = domain.data;
    const uchar* const height = edge.data;
    std::array<std::vector<uint32_t>, 256> buckets;
    auto allowed = [&](int l, int x, int y) {
        const Reach& r = reach[size_t(l)];
        if (r.box.empty())
            return true;
        if (!r.box.contains(cv::Point(x, y)))
            return false;
        return r.within.empty() || r.within.at<uchar>(y - r.box.y, x - r.box.x) != 0;
    };
    auto isForeign = [&](int l, int x, int y) {
        const Reach& r = reach[size_t(l)];
        return !r.foreign.empty() && r.foreign.at<uchar>(y - r.box.y, x - r.box.x) != 0;
    };
    // Offers of a rival's colours, in the order they came: taken, if still
    // free, once every edge has been climbed.
    std::vector<std::pair<uint32_t, uchar>> deferred;
    auto offer = [&](int x, int y, int l, int level) {
        auto take = [&](int nx, int ny) {
            const int i = ny * w + nx;
            if (label[i] || !inside[i] || !allowed(l, nx, ny))
                return;
            if (level < 255 && isForeign(l, nx, ny)) {
                deferred.push_back({uint32_t(i), uchar(l)});
                return;
            }
            label[i] = uchar(l);
            buckets[size_t(std::max(level, int(height[i])))].push_back(uint32_t(i));
        };
        if (x > 0)
            take(x - 1, y);
        if (x + 1 < w)
            take(x + 1, y);
        if (y > 0)
            take(x, y - 1);
        if (y + 1 < h)
            take(x, y + 1);
    };
    std::vector<uint32_t> seeded;
    for (int i = 0; i < w * h; ++i) {
        if (label[i])
            seeded.push_back(uint32_t(i));
    }
    for (uint32_t i : seeded)
        offer(int(i) % w, int(i) / w, label[i], 0);
    for (int level = 0; level < 256; ++level) {
        std::vector<uint32_t>& bucket = buckets[size_t(level)];
        if (level == 255) {
            for (const auto& [i, l] : deferred) {
                if (!label[i]) {
                    label[i] = l;
                    bucket.push_back(i);
                }
            }
        }
        for (size_t k = 0; k < bucket.size(); ++k) {
            const int i = int(bucket[k]);
            offer(i % w, i / w, label[i], level);
        }
        bucket = std::vector<uint32_t>();
    }
}
