#include "ForegroundEstimate.h"

#include "MaskScale.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

namespace {

// A level of the pull-push fill keeps its own weighted mean wherever its
// weight (the share of sure pixels under its footprint, 0..1) reaches this,
// and leans on the coarser level below it. Small values keep the colour
// local: a pixel takes the mean of the few sure pixels closest to it rather
// than of a wide neighbourhood that may hold another part of the subject.
constexpr float enough = 0.01f;

// Pixels that are not sure still count a little, so a mask without a single
// 255 (or 0) still gives a colour, but sure pixels win wherever there are any.
constexpr float unsureWeight = 1e-6f;

// Weight, per mask value, of a pixel in one of the pyramids.
using WeightTable = std::array<float, 256>;

// `sure`: the lowest mask value taken as sure subject (255 unless the mask
// never reaches it).
WeightTable subjectWeights(int sure, double power, float soft)
{
    WeightTable t{};
    for (int v = 0; v < 256; ++v)
        t[size_t(v)] = v >= sure ? 1.f : soft * float(std::pow(v / 255.0, power));
    return t;
}

WeightTable backgroundWeights()
{
    WeightTable t{};
    for (int v = 0; v < 256; ++v)
        t[size_t(v)] = v == 0 ? 1.f : unsureWeight * float(std::pow(1.0 - v / 255.0, 4.0));
    return t;
}

// One 2 x 2 block of the image as (w * R, w * G, w * B, w) summed over its
// pixels and divided by 4, into `out`. A four-channel image's alpha scales
// the weights: a transparent pixel's colour means nothing. Blocks under one
// mask value (most of them) are summed once and weighted once.
struct Block
{
    const uchar* px[4];
    uchar m[4];
};

inline void addBlock(const Block& k, const WeightTable& table, bool hasAlpha, float* out)
{
    if (!hasAlpha && k.m[0] == k.m[1] && k.m[0] == k.m[2] && k.m[0] == k.m[3]) {
        const float wt = table[k.m[0]] * 0.25f;
        if (wt == 0.f) {
            out[0] = out[1] = out[2] = out[3] = 0.f;
            return;
        }
        for (int c = 0; c < 3; ++c)
            out[c] = wt * float(int(k.px[0][c]) + k.px[1][c] + k.px[2][c] + k.px[3][c]);
        out[3] = 4.f * wt;
        return;
    }
    float r = 0, g = 0, b = 0, w = 0;
    for (int n = 0; n < 4; ++n) {
        float wt = table[k.m[n]];
        if (hasAlpha)
            wt *= k.px[n][3] * (1.f / 255.f);
        r += wt * k.px[n][0];
        g += wt * k.px[n][1];
        b += wt * k.px[n][2];
        w += wt;
    }
    out[0] = r * 0.25f;
    out[1] = g * 0.25f;
    out[2] = b * 0.25f;
    out[3] = w * 0.25f;
}

// The 2 x 2 block whose top-left pixel is (2i, 2j), edge pixels repeated
// past an odd width or height.
inline Block blockAt(const cv::Mat& image, const cv::Mat& mask, int i, int j)
{
    const int cn = image.channels();
    const int x0 = 2 * i;
    const int x1 = std::min(x0 + 1, image.cols - 1);
    const int y0 = 2 * j;
    const int y1 = std::min(y0 + 1, image.rows - 1);
    const uchar* r0 = image.ptr<uchar>(y0);
    const uchar* r1 = image.ptr<uchar>(y1);
    const uchar* m0 = mask.ptr<uchar>(y0);
    const uchar* m1 = mask.ptr<uchar>(y1);
    return {{r0 + x0 * cn, r0 + x1 * cn, r1 + x0 * cn, r1 + x1 * cn},
            {m0[x0], m0[x1], m1[x0], m1[x1]}};
}

// Pull-push fill, in place: `base` (CV_32FC4, weighted colour sums and
// weight) is reduced level by level to one pixel; on the way back up each
// level keeps its own weighted mean where its weight reaches `enough` and
// blends in the coarser level's colour where it falls short. On return `base`
// holds the filled colour (the fourth channel is not meaningful). `scratch`
// is working memory, reused across calls so large images do not keep
// mapping fresh pages.
void fill(cv::Mat& base, cv::Mat& scratch)
{
    std::vector<cv::Mat> levels{base};
    while (levels.back().cols > 1 || levels.back().rows > 1) {
        const cv::Mat& fine = levels.back();
        cv::Mat coarse;
        cv::pyrDown(fine, coarse, cv::Size((fine.cols + 1) / 2, (fine.rows + 1) / 2));
        levels.push_back(coarse);
    }
    // The top is one pixel: the weighted mean of everything (black if
    // nothing has any weight).
    {
        cv::Vec4f& p = levels.back().at<cv::Vec4f>(0, 0);
        const float w = p[3] > 1e-30f ? p[3] : 1.f;
        p = cv::Vec4f(p[0] / w, p[1] / w, p[2] / w, 0.f);
    }
    if (scratch.rows < base.rows || scratch.cols < base.cols || scratch.type() != CV_32FC4)
        scratch.create(base.size(), CV_32FC4);
    for (int l = int(levels.size()) - 2; l >= 0; --l) {
        cv::Mat& p = levels[size_t(l)];
        cv::Mat up = scratch(cv::Rect(0, 0, p.cols, p.rows));
        cv::pyrUp(levels[size_t(l) + 1], up, p.size());
        cv::parallel_for_(cv::Range(0, p.rows), [&](const cv::Range& rows) {
            for (int y = rows.start; y < rows.end; ++y) {
                float* s = p.ptr<float>(y);
                const float* u = up.ptr<float>(y);
                for (int x = 0; x < p.cols; ++x, s += 4, u += 4) {
                    // w >= enough: s / w, the level's own mean; below it the
                    // own sums plus the coarse colour for the missing weight.
                    const float w = s[3];
                    const float rest = std::max(0.f, enough - w);
                    const float norm = 1.f / std::max(enough, w);
                    s[0] = (s[0] + rest * u[0]) * norm;
                    s[1] = (s[1] + rest * u[1]) * norm;
                    s[2] = (s[2] + rest * u[2]) * norm;
                }
            }
        });
    }
}

inline uchar clampByte(float v)
{
    return uchar(std::clamp(int(v + 0.5f), 0, 255));
}

// Bilinear reads of a half-resolution CV_32FC4 field at full-resolution
// pixels. Half sample i covers pixels 2i and 2i + 1, so its centre is at
// 2i + 0.5 and pixel x sits at (x - 0.5) / 2 on the half grid.
class HalfSampler
{
public:
    HalfSampler(int width, cv::Size half)
        : m_i0(static_cast<size_t>(width)), m_i1(static_cast<size_t>(width)),
          m_fx(static_cast<size_t>(width)), m_rows(half.height)
    {
        for (int x = 0; x < width; ++x) {
            const float u = std::clamp((x - 0.5f) * 0.5f, 0.f, float(half.width - 1));
            const int a = std::min(int(u), std::max(0, half.width - 2));
            m_i0[size_t(x)] = 4 * a;
            m_i1[size_t(x)] = 4 * std::min(a + 1, half.width - 1);
            m_fx[size_t(x)] = u - float(a);
        }
    }

    struct Row
    {
        int j0, j1;
        float fy;
    };

    Row row(int y) const
    {
        const float v = std::clamp((y - 0.5f) * 0.5f, 0.f, float(m_rows - 1));
        const int j0 = std::min(int(v), std::max(0, m_rows - 2));
        return {j0, std::min(j0 + 1, m_rows - 1), v - float(j0)};
    }

    void at(const cv::Mat& field, const Row& r, int x, float* out) const
    {
        const float* r0 = field.ptr<float>(r.j0);
        const float* r1 = field.ptr<float>(r.j1);
        const int a = m_i0[size_t(x)];
        const int b = m_i1[size_t(x)];
        const float f = m_fx[size_t(x)];
        for (int c = 0; c < 3; ++c) {
            const float top = r0[a + c] + f * (r0[b + c] - r0[a + c]);
            const float bottom = r1[a + c] + f * (r1[b + c] - r1[a + c]);
            out[c] = top + r.fy * (bottom - top);
        }
    }

private:
    std::vector<int> m_i0, m_i1;
    std::vector<float> m_fx;
    int m_rows;
};

// Local subject and background colours from the sure pixels alone, at half
// resolution, filled everywhere. `sure`: the lowest mask value taken as sure
// subject.
void sureColours(const cv::Mat& image, const cv::Mat& mask, int sure, cv::Mat& subjectBase,
                 cv::Mat& backgroundBase, cv::Mat& scratch)
{
    const WeightTable sureSubject = subjectWeights(sure, 4.0, unsureWeight);
    const WeightTable sureBackground = backgroundWeights();
    const bool hasAlpha = image.channels() == 4;
    const int halfWidth = (image.cols + 1) / 2;
    const int halfHeight = (image.rows + 1) / 2;
    subjectBase.create(halfHeight, halfWidth, CV_32FC4);
    backgroundBase.create(halfHeight, halfWidth, CV_32FC4);
    cv::parallel_for_(cv::Range(0, halfHeight), [&](const cv::Range& rows) {
        for (int j = rows.start; j < rows.end; ++j) {
            float* s = subjectBase.ptr<float>(j);
            float* b = backgroundBase.ptr<float>(j);
            for (int i = 0; i < halfWidth; ++i) {
                const Block k = blockAt(image, mask, i, j);
                addBlock(k, sureSubject, hasAlpha, s + 4 * i);
                addBlock(k, sureBackground, hasAlpha, b + 4 * i);
            }
        }
    });
    fill(subjectBase, scratch);
    fill(backgroundBase, scratch);
}

// F on and inside the edge. The subject's colour there is what the pixel
// holds once the local background's share is taken out. The correction
// is scaled by a^2 rather than a: where the matte is soft because the
// network is unsure, not because the subject is thin, the pixel often is
// pure background, and a full correction would carry that colour right
// back in. Each pair of rows, once written, also gives its row of the
// second pyramid's base: F with the edge's soft pixels (weight a^4),
// which lie closest to the feathered band and, cleaned, hold the edge's
// own colour. Writes F on and inside the edge into `out` (zero outside it,
// until carryOutward) and returns that second base, not yet filled.
cv::Mat cleanEdge(const cv::Mat& image, const cv::Mat& mask, int sure, const HalfSampler& half,
                  const cv::Mat& subject, const cv::Mat& background, cv::Mat& out)
{
    const WeightTable edgeSubject = subjectWeights(sure, 4.0, 1.f);
    const int cn = image.channels();
    const int width = image.cols;
    const int halfWidth = (image.cols + 1) / 2;
    const int halfHeight = (image.rows + 1) / 2;
    cv::Mat edgeBase(halfHeight, halfWidth, CV_32FC4);
    cv::parallel_for_(cv::Range(0, halfHeight), [&](const cv::Range& rows) {
        for (int j = rows.start; j < rows.end; ++j) {
            for (int y = 2 * j; y < std::min(2 * j + 2, image.rows); ++y) {
                const HalfSampler::Row r = half.row(y);
                const uchar* src = image.ptr<uchar>(y);
                const uchar* m = mask.ptr<uchar>(y);
                uchar* dst = out.ptr<uchar>(y);
                for (int x = 0; x < width; ++x, src += cn, dst += 3) {
                    if (m[x] == 255) {
                        dst[0] = src[0];
                        dst[1] = src[1];
                        dst[2] = src[2];
                        continue;
                    }
                    if (m[x] == 0) {
                        // Filled below; zero until then.
                        dst[0] = dst[1] = dst[2] = 0;
                        continue;
                    }
                    const float a = m[x] * (1.f / 255.f);
                    float f[3], b[3];
                    half.at(subject, r, x, f);
                    half.at(background, r, x, b);
                    for (int c = 0; c < 3; ++c) {
                        const float residual = float(src[c]) - a * f[c] - (1.f - a) * b[c];
                        dst[c] = clampByte(f[c] + a * a * residual);
                    }
                }
            }
            float* e = edgeBase.ptr<float>(j);
            for (int i = 0; i < halfWidth; ++i)
                addBlock(blockAt(out, mask, i, j), edgeSubject, false, e + 4 * i);
        }
    });
    return edgeBase;
}

// Outside the mask: F from `outward`, the edge's colour carried outward.
void carryOutward(const cv::Mat& mask, const HalfSampler& half, const cv::Mat& outward,
                  cv::Mat& out)
{
    const int width = mask.cols;
    cv::parallel_for_(cv::Range(0, mask.rows), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            const HalfSampler::Row r = half.row(y);
            const uchar* m = mask.ptr<uchar>(y);
            uchar* dst = out.ptr<uchar>(y);
            for (int x = 0; x < width; ++x, dst += 3) {
                if (m[x] != 0)
                    continue;
                float f[3];
                half.at(outward, r, x, f);
                dst[0] = clampByte(f[0]);
                dst[1] = clampByte(f[1]);
                dst[2] = clampByte(f[2]);
            }
        }
    });
}

} // namespace

cv::Mat ForegroundEstimate::estimate(const cv::Mat& image, const cv::Mat& mask)
{
    CV_Assert(image.type() == CV_8UC3 || image.type() == CV_8UC4);
    CV_Assert(mask.type() == CV_8UC1 && mask.size() == image.size());
    cv::Mat out(image.size(), CV_8UC3);
    if (image.empty())
        return out;
    double highest = 0;
    cv::minMaxLoc(mask, nullptr, &highest);
    if (highest == 0) {
        // No subject: nothing will be covered, F is the image's colour.
        const int pairs[] = {0, 0, 1, 1, 2, 2};
        cv::mixChannels(&image, 1, &out, 1, pairs, 3);
        return out;
    }
    // A mask that never reaches 255 (a network unsure of the whole subject)
    // takes its most confident pixels as the sure ones.
    const int sure = int(highest);
    cv::Mat subject, background, scratch;
    sureColours(image, mask, sure, subject, background, scratch);
    const HalfSampler half(image.cols, subject.size());
    cv::Mat outward = cleanEdge(image, mask, sure, half, subject, background, out);
    // Outside the mask: the edge's colour carried outward without limit.
    fill(outward, scratch);
    carryOutward(mask, half, outward, out);
    return out;
}

cv::Mat ForegroundEstimate::estimate(const QImage& image, const cv::Mat& mask)
{
    if (image.isNull() || mask.empty() || mask.type() != CV_8UC1)
        return {};
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888);
    const cv::Mat view(rgba.height(), rgba.width(), CV_8UC4, const_cast<uchar*>(rgba.constBits()),
                       size_t(rgba.bytesPerLine()));
    return estimate(view, MaskScale::fitted(mask, view.size()));
}
