#include "MaskFeather.h"

#include <algorithm>
#include <cmath>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

// The fast path samples the mask every k pixels through a triangle filter,
// blurs the small sample grid with a Gaussian, and interpolates back. The
// triangle (two boxes of k) has zeros at every multiple of the sampling rate,
// so fine detail does not alias into the samples; the three stages' variances
// add up to sigma squared.
//
// Samples sit on block boundaries: sample b at position b*k - 0.5, between
// blocks b-1 and b (block b covers pixels [b*k, b*k + k)). Its triangle then
// covers exactly those two blocks with a weight that is linear in each, so a
// sample is a combination of per-block sums and first moments, which are
// cheap to accumulate. The grid runs `margin` blocks past each edge, where
// the mask's edge pixels are repeated.

namespace {

// Sigma of the sample grid's own blur: large enough that linear
// interpolation back to full size stays accurate.
constexpr double gridSigma = 4.0;
// Blurs narrower than this run directly on the mask.
constexpr double directBelow = 4.0;
constexpr int margin = 3;

int kernelRadius(double sigma)
{
    return std::max(1, int(std::ceil(4.0 * sigma)));
}

// Variance, in pixels squared, of the triangle that makes one sample.
double triangleVariance(int k)
{
    double weight = 0, moment = 0;
    for (int r = 0; r < k; ++r) {
        const double d = r + 0.5; // distance from the boundary, either side
        const double w = 1.0 - d / k;
        weight += 2 * w;
        moment += 2 * w * d * d;
    }
    return moment / weight;
}

struct Grid
{
    int k = 1;
    int blocks = 0;  // blocks covering the image along the axis
    int samples = 0; // grid samples along the axis, margins included

    Grid(int length, int blockSize)
        : k(blockSize), blocks((length + blockSize - 1) / blockSize),
          samples(blocks + 2 * margin - 1)
    {
    }
    // First pixel of extended block `i` (i = 0 is `margin` blocks before 0).
    int blockStart(int i) const { return (i - margin) * k; }
    // Grid coordinate of pixel x: sample i sits at blockStart(i + 1) - 0.5.
    double position(int x) const { return (x + 0.5) / k + margin - 1; }
};

// Vertical pass: for each grid row, the triangle-weighted sum over mask rows
// of every column, scaled by 2k (integers, exact). Out: samples x width.
cv::Mat sampleRows(const cv::Mat& mask, const Grid& g)
{
    const int w = mask.cols;
    const int h = mask.rows;
    cv::Mat out(g.samples, w, CV_32S);
    // Each stripe accumulates one block more than it emits: keep stripes few.
    const double stripes = std::max(1, cv::getNumThreads());
    cv::parallel_for_(
        cv::Range(0, g.samples),
        [&](const cv::Range& range) {
            std::vector<int> s0(static_cast<size_t>(w)), s1(static_cast<size_t>(w));
            std::vector<int> p0(static_cast<size_t>(w)), p1(static_cast<size_t>(w));
            auto accumulate = [&](int block, std::vector<int>& a0, std::vector<int>& a1) {
                std::fill(a0.begin(), a0.end(), 0);
                std::fill(a1.begin(), a1.end(), 0);
                const int start = g.blockStart(block);
                for (int r = 0; r < g.k; ++r) {
                    const uchar* row = mask.ptr<uchar>(std::clamp(start + r, 0, h - 1));
                    int* a0p = a0.data();
                    int* a1p = a1.data();
                    for (int x = 0; x < w; ++x) {
                        a0p[x] += row[x];
                        a1p[x] += r * row[x];
                    }
                }
            };
            accumulate(range.start, p0, p1);
            const int twoKMinusOne = 2 * g.k - 1;
            for (int i = range.start; i < range.end; ++i) {
                accumulate(i + 1, s0, s1);
                int* dst = out.ptr<int>(i);
                for (int x = 0; x < w; ++x)
                    dst[x] = p0[size_t(x)] + 2 * p1[size_t(x)] + twoKMinusOne * s0[size_t(x)] -
                             2 * s1[size_t(x)];
                std::swap(p0, s0);
                std::swap(p1, s1);
            }
        },
        stripes);
    return out;
}

// Horizontal pass over the vertical samples; normalises to mask units.
cv::Mat sampleColumns(const cv::Mat& rows, const Grid& gx)
{
    const int w = rows.cols;
    cv::Mat out(rows.rows, gx.samples, CV_32F);
    const double scale = 1.0 / (4.0 * gx.k * gx.k * gx.k * gx.k);
    const long long twoKMinusOne = 2 * gx.k - 1;
    for (int y = 0; y < rows.rows; ++y) {
        const int* src = rows.ptr<int>(y);
        float* dst = out.ptr<float>(y);
        long long prev0 = 0, prev1 = 0;
        for (int i = 0; i <= gx.samples; ++i) {
            long long s0 = 0, s1 = 0;
            const int start = gx.blockStart(i);
            for (int r = 0; r < gx.k; ++r) {
                const long long v = src[std::clamp(start + r, 0, w - 1)];
                s0 += v;
                s1 += r * v;
            }
            if (i > 0)
                dst[i - 1] = float(double(prev0 + 2 * prev1 + twoKMinusOne * s0 - 2 * s1) * scale);
            prev0 = s0;
            prev1 = s1;
        }
    }
    return out;
}

// Linear interpolation of the blurred grid back to the mask's size:
// horizontally on the few grid rows first, then vertically per output row.
cv::Mat interpolate(const cv::Mat& grid, const Grid& gx, const Grid& gy, cv::Size size)
{
    const int w = size.width;
    const int h = size.height;
    cv::Mat wide(grid.rows, w, CV_32F);
    std::vector<int> index(static_cast<size_t>(w));
    std::vector<float> frac(static_cast<size_t>(w));
    for (int x = 0; x < w; ++x) {
        const double u = gx.position(x);
        index[size_t(x)] = int(std::floor(u));
        frac[size_t(x)] = float(u - std::floor(u));
    }
    for (int r = 0; r < grid.rows; ++r) {
        const float* src = grid.ptr<float>(r);
        float* dst = wide.ptr<float>(r);
        for (int x = 0; x < w; ++x) {
            const float a = src[index[size_t(x)]];
            const float b = src[index[size_t(x)] + 1];
            dst[x] = a + frac[size_t(x)] * (b - a);
        }
    }

    cv::Mat out(h, w, CV_8UC1);
    cv::parallel_for_(cv::Range(0, h), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y) {
            const double v = gy.position(y);
            const int j = int(std::floor(v));
            const float f = float(v - j);
            const float* a = wide.ptr<float>(j);
            const float* b = wide.ptr<float>(j + 1);
            uchar* dst = out.ptr<uchar>(y);
            for (int x = 0; x < w; ++x) {
                // Grid values are weighted means of 0..255, so the rounded
                // value is always in range.
                dst[x] = uchar(int(a[x] + f * (b[x] - a[x]) + 0.5f));
            }
        }
    });
    return out;
}

} // namespace

int MaskFeather::blockSize(double sigma)
{
    if (!(sigma >= directBelow))
        return 1;
    return std::max(2, int(std::floor(sigma / gridSigma)));
}

cv::Mat MaskFeather::exact(const cv::Mat& mask, double sigma)
{
    cv::Mat source;
    mask.convertTo(source, CV_32F);
    const int r = kernelRadius(sigma);
    cv::Mat out;
    cv::GaussianBlur(source, out, cv::Size(2 * r + 1, 2 * r + 1), sigma, sigma,
                     cv::BORDER_REPLICATE);
    return out;
}

cv::Mat MaskFeather::blurred(const cv::Mat& mask, double sigma)
{
    CV_Assert(mask.type() == CV_8UC1);
    if (!(sigma > minimumSigma) || mask.empty())
        return mask;
    // Past a few times the image's size a wider blur changes nothing visible;
    // the bound keeps the work finite for any input.
    sigma = std::min(sigma, 4.0 * std::max(mask.cols, mask.rows));

    const int k = blockSize(sigma);
    if (k == 1) {
        // Narrow blurs: OpenCV's fixed-point 8-bit Gaussian is fast and
        // accurate to about 1/255 here.
        const int r = kernelRadius(sigma);
        cv::Mat out;
        cv::GaussianBlur(mask, out, cv::Size(2 * r + 1, 2 * r + 1), sigma, sigma,
                         cv::BORDER_REPLICATE);
        return out;
    }
    const Grid gx(mask.cols, k);
    const Grid gy(mask.rows, k);
    const cv::Mat grid = sampleColumns(sampleRows(mask, gy), gx);

    // What the sampling triangles and the interpolation already spread is
    // taken off the grid's own blur.
    const double spread = 2.0 * triangleVariance(k) + k * k / 6.0;
    const double gridVariance = std::max(0.0, sigma * sigma - spread) / (double(k) * k);
    if (gridVariance <= 0.0)
        return interpolate(grid, gx, gy, mask.size());
    const double sigmaGrid = std::sqrt(gridVariance);
    const int r = kernelRadius(sigmaGrid);
    cv::Mat blurredGrid;
    cv::GaussianBlur(grid, blurredGrid, cv::Size(2 * r + 1, 2 * r + 1), sigmaGrid, sigmaGrid,
                     cv::BORDER_REPLICATE);
    return interpolate(blurredGrid, gx, gy, mask.size());
}
