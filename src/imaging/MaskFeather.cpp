#include "MaskFeather.h"

#include <QtGlobal>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

// Masks are mostly 0 and 255 with a band between, and a blur changes nothing
// farther than its reach from that band. The mask is cut into tiles, each
// found to be all 0, all 255 or mixed; every output tile whose inputs within
// the reach are one flat value is written as that value, and the work is done
// only for the rest. The result is the same as computing everywhere.
//
// Narrow blurs run OpenCV's fixed-point Gaussian on the rectangles that need
// it (it reads the pixels around a rectangle from the whole mask, so the
// seams are exact). Wider ones take the sampled path below.
//
// The sampled path samples the mask every k pixels through a triangle filter,
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
// Blurs narrower than this run directly on the mask's tiles near an edge
// (at 2560 pixels: Feather up to 3); past it the sampled path is cheaper.
constexpr double directBelow = 10.0;
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

constexpr int tileSide = 32;

// Which tiles of the mask are flat: 0 all zero, 1 all 255, 2 mixed.
class TileMap
{
public:
    explicit TileMap(const cv::Mat& mask)
        : tilesX((mask.cols + tileSide - 1) / tileSide),
          tilesY((mask.rows + tileSide - 1) / tileSide), m_w(mask.cols), m_h(mask.rows),
          m_state(tilesY, tilesX, CV_8UC1)
    {
        // Each tile's bytes OR-ed and AND-ed a word at a time.
        cv::parallel_for_(cv::Range(0, tilesY), [&](const cv::Range& range) {
            std::vector<quint64> any(static_cast<size_t>(tilesX));
            std::vector<quint64> all(static_cast<size_t>(tilesX));
            for (int ty = range.start; ty < range.end; ++ty) {
                std::fill(any.begin(), any.end(), quint64(0));
                std::fill(all.begin(), all.end(), ~quint64(0));
                for (int y = ty * tileSide; y < std::min(m_h, (ty + 1) * tileSide); ++y) {
                    const uchar* row = mask.ptr<uchar>(y);
                    for (int tx = 0; tx < tilesX; ++tx) {
                        const int x1 = std::min(m_w, (tx + 1) * tileSide);
                        quint64 o = any[size_t(tx)];
                        quint64 a = all[size_t(tx)];
                        int x = tx * tileSide;
                        for (; x + 8 <= x1; x += 8) {
                            quint64 v;
                            std::memcpy(&v, row + x, 8);
                            o |= v;
                            a &= v;
                        }
                        for (; x < x1; ++x) {
                            o |= row[x];
                            a &= row[x] | ~quint64(0xFF);
                        }
                        any[size_t(tx)] = o;
                        all[size_t(tx)] = a;
                    }
                }
                uchar* st = m_state.ptr<uchar>(ty);
                for (int tx = 0; tx < tilesX; ++tx)
                    st[tx] = any[size_t(tx)] == 0 ? 0 : all[size_t(tx)] == ~quint64(0) ? 1 : 2;
            }
        });
    }

    // 0 or 255 when every pixel of rows y0..y1 and columns x0..x1 (inclusive,
    // clamped to the mask) has that value; -1 otherwise.
    int flatValue(int x0, int y0, int x1, int y1) const
    {
        const int la = std::clamp(x0, 0, m_w - 1) / tileSide;
        const int lb = std::clamp(x1, 0, m_w - 1) / tileSide;
        const int ta = std::clamp(y0, 0, m_h - 1) / tileSide;
        const int tb = std::clamp(y1, 0, m_h - 1) / tileSide;
        const uchar first = m_state.at<uchar>(ta, la);
        if (first == 2)
            return -1;
        for (int ty = ta; ty <= tb; ++ty) {
            const uchar* st = m_state.ptr<uchar>(ty);
            for (int tx = la; tx <= lb; ++tx)
                if (st[tx] != first)
                    return -1;
        }
        return first ? 255 : 0;
    }

    // Per tile: the value (0 or 255) it takes under a blur whose output at a
    // pixel depends only on the mask within `reach` pixels, or -1 where it
    // has to be computed. CV_32S, tilesY x tilesX. Tiles within ceil(reach /
    // tileSide) tiles count as within reach.
    cv::Mat outcomes(int reach) const
    {
        const int r = (reach + tileSide - 1) / tileSide;
        const cv::Mat kernel = cv::Mat::ones(2 * r + 1, 2 * r + 1, CV_8UC1);
        // Whether any tile within reach is not all zero, or not all 255.
        cv::Mat notZero = m_state != 0;
        cv::Mat notFull = m_state != 1;
        cv::dilate(notZero, notZero, kernel, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT, 0);
        cv::dilate(notFull, notFull, kernel, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT, 0);
        cv::Mat out(tilesY, tilesX, CV_32S);
        for (int ty = 0; ty < tilesY; ++ty) {
            const uchar* nz = notZero.ptr<uchar>(ty);
            const uchar* nf = notFull.ptr<uchar>(ty);
            int* o = out.ptr<int>(ty);
            for (int tx = 0; tx < tilesX; ++tx)
                o[tx] = !nz[tx] ? 0 : !nf[tx] ? 255 : -1;
        }
        return out;
    }

    // Calls fn(x0, x1, value) for each run of equal outcomes along tile row
    // ty, in pixel columns [x0, x1).
    template <typename Fn> void runs(const cv::Mat& outcomes, int ty, Fn fn) const
    {
        const int* o = outcomes.ptr<int>(ty);
        for (int tx = 0; tx < tilesX;) {
            int end = tx + 1;
            while (end < tilesX && o[end] == o[tx])
                ++end;
            fn(tx * tileSide, std::min(m_w, end * tileSide), o[tx]);
            tx = end;
        }
    }

    const int tilesX;
    const int tilesY;

private:
    const int m_w;
    const int m_h;
    cv::Mat m_state;
};

cv::Mat sparseDirect(const cv::Mat& mask, const TileMap& tiles, double sigma)
{
    const int r = kernelRadius(sigma);
    const cv::Size kernel(2 * r + 1, 2 * r + 1);
    const cv::Mat outcomes = tiles.outcomes(r);
    cv::Mat out(mask.size(), CV_8UC1);
    cv::parallel_for_(cv::Range(0, tiles.tilesY), [&](const cv::Range& range) {
        for (int ty = range.start; ty < range.end; ++ty) {
            const int y0 = ty * tileSide;
            const int y1 = std::min(mask.rows, y0 + tileSide);
            tiles.runs(outcomes, ty, [&](int x0, int x1, int value) {
                const cv::Rect rect(x0, y0, x1 - x0, y1 - y0);
                if (value < 0)
                    cv::GaussianBlur(mask(rect), out(rect), kernel, sigma, sigma,
                                     cv::BORDER_REPLICATE);
                else
                    out(rect).setTo(value);
            });
        }
    });
    return out;
}

// Vertical pass: for each grid row, the triangle-weighted sum over mask rows
// of every column, scaled by 2k (integers, exact). Out: samples x width.
// Where the mask rows a sample covers are one flat value v, the sum is
// 2k^2 v without reading them.
cv::Mat sampleRows(const cv::Mat& mask, const Grid& g, const TileMap& tiles)
{
    const int w = mask.cols;
    const int h = mask.rows;
    cv::Mat out(g.samples, w, CV_32S);
    cv::parallel_for_(cv::Range(0, g.samples), [&](const cv::Range& range) {
        std::vector<int> s0(static_cast<size_t>(w)), s1(static_cast<size_t>(w));
        std::vector<int> p0(static_cast<size_t>(w)), p1(static_cast<size_t>(w));
        auto accumulate = [&](int block, int x0, int x1, int* a0, int* a1) {
            std::fill(a0 + x0, a0 + x1, 0);
            std::fill(a1 + x0, a1 + x1, 0);
            const int start = g.blockStart(block);
            for (int r = 0; r < g.k; ++r) {
                const uchar* row = mask.ptr<uchar>(std::clamp(start + r, 0, h - 1));
                for (int x = x0; x < x1; ++x) {
                    a0[x] += row[x];
                    a1[x] += r * row[x];
                }
            }
        };
        const int twoKMinusOne = 2 * g.k - 1;
        const int flatScale = 2 * g.k * g.k;
        for (int i = range.start; i < range.end; ++i) {
            int* dst = out.ptr<int>(i);
            const int top = g.blockStart(i);
            const int bottom = g.blockStart(i + 2) - 1;
            int x = 0;
            while (x < w) {
                // Runs of whole tiles that are flat (or not) over these rows.
                const int tx = x / tileSide;
                const int value = tiles.flatValue(x, top, x, bottom);
                int end = std::min(w, (tx + 1) * tileSide);
                while (end < w && tiles.flatValue(end, top, end, bottom) == value)
                    end = std::min(w, end + tileSide);
                if (value >= 0) {
                    std::fill(dst + x, dst + end, flatScale * value);
                } else {
                    accumulate(i, x, end, p0.data(), p1.data());
                    accumulate(i + 1, x, end, s0.data(), s1.data());
                    for (int c = x; c < end; ++c)
                        dst[c] = p0[size_t(c)] + 2 * p1[size_t(c)] + twoKMinusOne * s0[size_t(c)] -
                                 2 * s1[size_t(c)];
                }
                x = end;
            }
        }
    });
    return out;
}

// Horizontal pass over the vertical samples; normalises to mask units.
cv::Mat sampleColumns(const cv::Mat& rows, const Grid& gx)
{
    const int w = rows.cols;
    cv::Mat out(rows.rows, gx.samples, CV_32F);
    const double scale = 1.0 / (4.0 * gx.k * gx.k * gx.k * gx.k);
    const long long twoKMinusOne = 2 * gx.k - 1;
    cv::parallel_for_(cv::Range(0, rows.rows), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y) {
            const int* src = rows.ptr<int>(y);
            float* dst = out.ptr<float>(y);
            long long prev0 = 0, prev1 = 0;
            for (int i = 0; i <= gx.samples; ++i) {
                long long s0 = 0, s1 = 0;
                const int start = gx.blockStart(i);
                if (start >= 0 && start + gx.k <= w) {
                    const int* v = src + start;
                    for (int r = 0; r < gx.k; ++r) {
                        s0 += v[r];
                        s1 += r * (long long)v[r];
                    }
                } else {
                    for (int r = 0; r < gx.k; ++r) {
                        const long long v = src[std::clamp(start + r, 0, w - 1)];
                        s0 += v;
                        s1 += r * v;
                    }
                }
                if (i > 0)
                    dst[i - 1] =
                        float(double(prev0 + 2 * prev1 + twoKMinusOne * s0 - 2 * s1) * scale);
                prev0 = s0;
                prev1 = s1;
            }
        }
    });
    return out;
}

// Linear interpolation of the blurred grid back to the mask's size:
// horizontally on the few grid rows first, then vertically per output row;
// tiles known to be flat are written without it.
cv::Mat interpolate(const cv::Mat& grid, const Grid& gx, const Grid& gy, cv::Size size,
                    const TileMap& tiles, const cv::Mat& outcomes)
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
    cv::parallel_for_(cv::Range(0, grid.rows), [&](const cv::Range& range) {
        for (int r = range.start; r < range.end; ++r) {
            const float* src = grid.ptr<float>(r);
            float* dst = wide.ptr<float>(r);
            for (int x = 0; x < w; ++x) {
                const float a = src[index[size_t(x)]];
                const float b = src[index[size_t(x)] + 1];
                dst[x] = a + frac[size_t(x)] * (b - a);
            }
        }
    });

    cv::Mat out(h, w, CV_8UC1);
    cv::parallel_for_(cv::Range(0, h), [&](const cv::Range& range) {
        for (int y = range.start; y < range.end; ++y) {
            const double v = gy.position(y);
            const int j = int(std::floor(v));
            const float f = float(v - j);
            const float* a = wide.ptr<float>(j);
            const float* b = wide.ptr<float>(j + 1);
            uchar* dst = out.ptr<uchar>(y);
            tiles.runs(outcomes, y / tileSide, [&](int x0, int x1, int value) {
                if (value >= 0) {
                    std::memset(dst + x0, value, size_t(x1 - x0));
                    return;
                }
                for (int x = x0; x < x1; ++x) {
                    // Grid values are weighted means of 0..255, so the
                    // rounded value is always in range.
                    dst[x] = uchar(int(a[x] + f * (b[x] - a[x]) + 0.5f));
                }
            });
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

    const TileMap tiles(mask);
    const int k = blockSize(sigma);
    if (k == 1) {
        // Narrow blurs: OpenCV's fixed-point 8-bit Gaussian is fast and
        // accurate to about 1/255 here.
        return sparseDirect(mask, tiles, sigma);
    }
    const Grid gx(mask.cols, k);
    const Grid gy(mask.rows, k);
    const cv::Mat grid = sampleColumns(sampleRows(mask, gy, tiles), gx);

    // What the sampling triangles and the interpolation already spread is
    // taken off the grid's own blur.
    const double spread = 2.0 * triangleVariance(k) + k * k / 6.0;
    const double gridVariance = std::max(0.0, sigma * sigma - spread) / (double(k) * k);
    // A pixel's value depends on grid samples up to the grid blur's radius
    // (plus the sample and its neighbour on each side), each of which reads
    // two blocks of k pixels.
    const double sigmaGrid = gridVariance > 0.0 ? std::sqrt(gridVariance) : 0.0;
    const int r = gridVariance > 0.0 ? kernelRadius(sigmaGrid) : 0;
    const cv::Mat outcomes = tiles.outcomes((r + 4) * k);
    if (gridVariance <= 0.0)
        return interpolate(grid, gx, gy, mask.size(), tiles, outcomes);
    cv::Mat blurredGrid;
    cv::GaussianBlur(grid, blurredGrid, cv::Size(2 * r + 1, 2 * r + 1), sigmaGrid, sigmaGrid,
                     cv::BORDER_REPLICATE);
    return interpolate(blurredGrid, gx, gy, mask.size(), tiles, outcomes);
}
