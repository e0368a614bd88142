#include "AreaAverager.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <opencv2/imgproc.hpp>

// The weights are OpenCV's (computeResizeAreaTab in imgproc's resize.cpp):
// every target cell covers `scale` source pixels, and a pixel only partly
// inside it counts by the part that is.
std::vector<AreaAverager::Weight> AreaAverager::weights(int sourceSize, int targetSize,
                                                        int channels, double scale)
{
    std::vector<Weight> tab;
    tab.reserve(size_t(sourceSize) * 2);
    for (int d = 0; d < targetSize; ++d) {
        const double from = d * scale;
        const double to = from + scale;
        const double cell = std::min(scale, sourceSize - from);
        int first = cvCeil(from);
        int last = cvFloor(to);
        last = std::min(last, sourceSize - 1);
        first = std::min(first, last);
        if (first - from > 1e-3)
            tab.push_back({(first - 1) * channels, d * channels, float((first - from) / cell)});
        for (int s = first; s < last; ++s)
            tab.push_back({s * channels, d * channels, float(1.0 / cell)});
        if (to - last > 1e-3)
            tab.push_back(
                {last * channels, d * channels, float(std::min(std::min(to - last, 1.), cell) / cell)});
    }
    return tab;
}

AreaAverager::AreaAverager(cv::Size source, cv::Mat dst) : m_source(source), m_dst(std::move(dst))
{
    CV_Assert(m_dst.depth() == CV_8U || m_dst.depth() == CV_16U);
    CV_Assert(m_dst.channels() <= 4 && m_dst.cols > 0 && m_dst.rows > 0);
    CV_Assert(m_dst.cols <= source.width && m_dst.rows <= source.height);
    // The scale arithmetic of cv::resize, so that the same method is chosen.
    const double scaleX = 1. / (double(m_dst.cols) / source.width);
    const double scaleY = 1. / (double(m_dst.rows) / source.height);
    const int wholeX = cv::saturate_cast<int>(scaleX);
    const int wholeY = cv::saturate_cast<int>(scaleY);
    m_integerRatio =
        std::abs(scaleX - wholeX) < DBL_EPSILON && std::abs(scaleY - wholeY) < DBL_EPSILON;
    if (m_integerRatio) {
        m_scaleX = wholeX;
        m_scaleY = wholeY;
        return;
    }
    m_xtab = weights(source.width, m_dst.cols, m_dst.channels(), scaleX);
    m_ytab = weights(source.height, m_dst.rows, 1, scaleY);
    m_sum.assign(size_t(m_dst.cols) * m_dst.channels(), 0.f);
    m_pendingRow = m_ytab.front().di;
}

cv::Size AreaAverager::tileSize(size_t elements) const
{
    const size_t channels = size_t(m_dst.channels());
    const size_t blockRows = size_t(m_scaleY);
    const size_t blockCols = size_t(m_scaleX);
    const size_t rowElements = size_t(m_source.width) * channels;
    if (rowElements * blockRows <= elements) {
        const size_t bands = elements / (rowElements * blockRows);
        const size_t rows = std::min(bands * blockRows, size_t(m_source.height));
        return {m_source.width, int(rows)};
    }
    const size_t blocks = std::max<size_t>(1, elements / (blockRows * blockCols * channels));
    const size_t cols = std::min(blocks * blockCols, size_t(m_source.width));
    return {int(cols), int(blockRows)};
}

void AreaAverager::add(const cv::Mat& tile, int x, int y)
{
    CV_Assert(tile.type() == m_dst.type());
    if (m_integerRatio) {
        const cv::Rect target(x / m_scaleX, y / m_scaleY, tile.cols / m_scaleX,
                              tile.rows / m_scaleY);
        cv::Mat out = m_dst(target);
        cv::resize(tile, out, target.size(), 0, 0, cv::INTER_AREA);
        return;
    }
    if (m_dst.depth() == CV_8U)
        accumulate<uchar>(tile, x, y);
    else
        accumulate<ushort>(tile, x, y);
}

template <typename T>
void AreaAverager::accumulate(const cv::Mat& tile, int x, int y)
{
    if (x == 0)
        m_rowSums.assign(m_sum.size() * size_t(tile.rows), 0.f);
    switch (m_dst.channels()) {
    case 1:
        sumRows<T, 1>(tile, x);
        break;
    case 2:
        sumRows<T, 2>(tile, x);
        break;
    case 3:
        sumRows<T, 3>(tile, x);
        break;
    default:
        sumRows<T, 4>(tile, x);
        break;
    }
    if (x + tile.cols >= m_source.width)
        finishRows<T>(y, tile.rows);
}

// The horizontal sums, in OpenCV's order: weight by weight along the row.
template <typename T, int Channels>
void AreaAverager::sumRows(const cv::Mat& tile, int x)
{
    const size_t width = m_sum.size();
    const int begin = x * Channels;
    const int end = (x + tile.cols) * Channels;
    const auto first = std::lower_bound(m_xtab.begin(), m_xtab.end(), begin,
                                        [](const Weight& w, int si) { return w.si < si; });
    for (int r = 0; r < tile.rows; ++r) {
        const T* row = tile.ptr<T>(r);
        float* sums = &m_rowSums[width * size_t(r)];
        for (auto w = first; w != m_xtab.end() && w->si < end; ++w) {
            const T* s = row + (w->si - begin);
            float* d = sums + w->di;
            for (int c = 0; c < Channels; ++c)
                d[c] += s[c] * w->alpha;
        }
    }
}

template <typename T>
void AreaAverager::finishRows(int y, int rows)
{
    const size_t width = m_sum.size();
    for (int r = 0; r < rows; ++r) {
        const float* sums = &m_rowSums[width * size_t(r)];
        while (m_nextWeight < m_ytab.size() && m_ytab[m_nextWeight].si == y + r) {
            const Weight& w = m_ytab[m_nextWeight++];
            const float beta = w.alpha;
            if (w.di != m_pendingRow) {
                T* out = m_dst.ptr<T>(m_pendingRow);
                for (size_t i = 0; i < width; ++i) {
                    out[i] = cv::saturate_cast<T>(m_sum[i]);
                    m_sum[i] = beta * sums[i];
                }
                m_pendingRow = w.di;
            } else {
                for (size_t i = 0; i < width; ++i)
                    m_sum[i] += beta * sums[i];
            }
        }
    }
    if (m_nextWeight == m_ytab.size()) {
        T* out = m_dst.ptr<T>(m_pendingRow);
        for (size_t i = 0; i < width; ++i)
            out[i] = cv::saturate_cast<T>(m_sum[i]);
        ++m_nextWeight;
    }
}
