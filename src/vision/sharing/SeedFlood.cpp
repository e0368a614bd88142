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

namespace {

// One flood over a picture: the labels it writes, where they may go, and the
// buckets of pixels waiting at each edge level.
class Flood final
{
public:
    Flood(cv::Mat& labels, const cv::Mat& domain, const cv::Mat& edge,
          const std::vector<SeedFlood::Reach>& reach)
        : m_w(labels.cols), m_h(labels.rows), m_label(labels.data), m_inside(domain.data),
          m_height(edge.data), m_reach(reach)
    {
    }

    void run()
    {
        std::vector<uint32_t> seeded;
        for (int i = 0; i < m_w * m_h; ++i) {
            if (m_label[i])
                seeded.push_back(uint32_t(i));
        }
        for (uint32_t i : seeded)
            offer(int(i) % m_w, int(i) / m_w, m_label[i], 0);
        for (int level = 0; level < 256; ++level)
            climb(level);
    }

private:
    bool allowed(int l, int x, int y) const
    {
        const SeedFlood::Reach& r = m_reach[size_t(l)];
        if (r.box.empty())
            return true;
        if (!r.box.contains(cv::Point(x, y)))
            return false;
        return r.within.empty() || r.within.at<uchar>(y - r.box.y, x - r.box.x) != 0;
    }

    bool isForeign(int l, int x, int y) const
    {
        const SeedFlood::Reach& r = m_reach[size_t(l)];
        return !r.foreign.empty() && r.foreign.at<uchar>(y - r.box.y, x - r.box.x) != 0;
    }

    void take(int nx, int ny, int l, int level)
    {
        const int i = ny * m_w + nx;
        if (m_label[i] || !m_inside[i] || !allowed(l, nx, ny))
            return;
        if (level < 255 && isForeign(l, nx, ny)) {
            m_deferred.push_back({uint32_t(i), uchar(l)});
            return;
        }
        m_label[i] = uchar(l);
        m_buckets[size_t(std::max(level, int(m_height[i])))].push_back(uint32_t(i));
    }

    void offer(int x, int y, int l, int level)
    {
        if (x > 0)
            take(x - 1, y, l, level);
        if (x + 1 < m_w)
            take(x + 1, y, l, level);
        if (y > 0)
            take(x, y - 1, l, level);
        if (y + 1 < m_h)
            take(x, y + 1, l, level);
    }

    void climb(int level)
    {
        std::vector<uint32_t>& bucket = m_buckets[size_t(level)];
        if (level == 255) {
            for (const auto& [i, l] : m_deferred) {
                if (!m_label[i]) {
                    m_label[i] = l;
                    bucket.push_back(i);
                }
            }
        }
        for (size_t k = 0; k < bucket.size(); ++k) {
            const int i = int(bucket[k]);
            offer(i % m_w, i / m_w, m_label[i], level);
        }
        bucket = std::vector<uint32_t>();
    }

    const int m_w, m_h;
    uchar* const m_label;
    const uchar* const m_inside;
    const uchar* const m_height;
    const std::vector<SeedFlood::Reach>& m_reach;
    std::array<std::vector<uint32_t>, 256> m_buckets;
    // Offers of a rival's colours, in the order they came: taken, if still
    // free, once every edge has been climbed.
    std::vector<std::pair<uint32_t, uchar>> m_deferred;
};

} // namespace

// A pixel goes to the first label offered it: later offers come from pixels
// taken at the same level or later, so their priority is never lower, and a
// bucket is taken in the order it was filled. It is labelled there and then,
// and enters a bucket once. An offer of a pixel foreign to the label waits
// instead, and is taken (if no one took the pixel meanwhile) at the top level.
void SeedFlood::grow(cv::Mat& labels, const cv::Mat& domain, const cv::Mat& edge,
                     const std::vector<Reach>& reach)
{
    CV_Assert(labels.isContinuous() && domain.isContinuous() && edge.isContinuous());
    Flood(labels, domain, edge, reach).run();
}
