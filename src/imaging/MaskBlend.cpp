#include "MaskBlend.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <opencv2/core/utility.hpp>

namespace {

struct Rgba
{
    int r = 0, g = 0, b = 0, a = 0;
};

inline uchar div255(unsigned v)
{
    return uchar((v + 127u) / 255u);
}

// Little-endian words of RGBA8888 pixels carry alpha in their top byte.
constexpr quint32 alphaBits = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? 0xFF000000u : 0x000000FFu;

// A partly covered pixel with no background: the colour (the subject's own
// where one is given) at the source's alpha times the mask.
inline void overNothing(const uchar* src, const uchar* colour, unsigned keep, uchar* dst)
{
    const uchar alpha = div255(unsigned(src[3]) * keep);
    const uchar on = alpha ? 0xFF : 0x00;
    dst[0] = colour[0] & on;
    dst[1] = colour[1] & on;
    dst[2] = colour[2] & on;
    dst[3] = alpha;
}

// General mix on premultiplied values; the opaque-over-opaque case, by far the
// most common, stays in integers.
inline void overColour(const uchar* colour, unsigned srcAlpha, unsigned keep, uchar* dst,
                       const Rgba& bg)
{
    const unsigned drop = 255u - keep;
    if (bg.a == 255 && srcAlpha == 255) {
        dst[0] = div255(colour[0] * keep + unsigned(bg.r) * drop);
        dst[1] = div255(colour[1] * keep + unsigned(bg.g) * drop);
        dst[2] = div255(colour[2] * keep + unsigned(bg.b) * drop);
        dst[3] = 255;
        return;
    }
    // Alpha and premultiplied colour, both scaled by 255 * 255.
    const double alpha = double(srcAlpha) * keep + double(bg.a) * drop;
    if (alpha <= 0.0) {
        dst[0] = dst[1] = dst[2] = dst[3] = 0;
        return;
    }
    const double sa = double(srcAlpha) * keep;
    const double ba = double(bg.a) * drop;
    dst[0] = uchar(std::lround((colour[0] * sa + bg.r * ba) / alpha));
    dst[1] = uchar(std::lround((colour[1] * sa + bg.g * ba) / alpha));
    dst[2] = uchar(std::lround((colour[2] * sa + bg.b * ba) / alpha));
    dst[3] = uchar(std::lround(alpha / 255.0));
}

// Pixels the mask covers fully are the source's own, over any background
// (transparent black where the source itself is transparent).
inline void copySource(const quint32* __restrict src, quint32* __restrict dst, int n)
{
    for (int i = 0; i < n; ++i)
        dst[i] = (src[i] & alphaBits) ? src[i] : 0u;
}

inline void fillWord(quint32* __restrict dst, quint32 word, int n)
{
    for (int i = 0; i < n; ++i)
        dst[i] = word;
}

// Mask bytes from x on equal to `word`'s, counted in whole 8-byte words.
inline int flatRun(const uchar* m, int x, int width, quint64 word)
{
    int n = x;
    while (n + 8 <= width) {
        quint64 v;
        std::memcpy(&v, m + n, 8);
        if (v != word)
            break;
        n += 8;
    }
    return n - x;
}

struct Row
{
    const uchar* src; // RGBA8888
    const uchar* fg;  // R G B, or null for the source's own colour
    const uchar* mask;
    uchar* dst; // RGBA8888
};

// Masks are mostly 0 and 255 with a thin band between, so whole runs of
// either are laid down as words; only the band is mixed pixel by pixel.
void blendRow(const Row& row, int width, bool clear, const Rgba& bg, quint32 uncovered)
{
    const quint32* src32 = reinterpret_cast<const quint32*>(row.src);
    quint32* dst32 = reinterpret_cast<quint32*>(row.dst);
    int x = 0;
    while (x < width) {
        int run = flatRun(row.mask, x, width, ~quint64(0));
        if (run > 0) {
            copySource(src32 + x, dst32 + x, run);
            x += run;
            continue;
        }
        run = flatRun(row.mask, x, width, 0);
        if (run > 0) {
            fillWord(dst32 + x, uncovered, run);
            x += run;
            continue;
        }
        for (const int end = std::min(width, x + 8); x < end; ++x) {
            const unsigned keep = row.mask[x];
            if (keep == 255) {
                copySource(src32 + x, dst32 + x, 1);
                continue;
            }
            if (keep == 0) {
                dst32[x] = uncovered;
                continue;
            }
            const uchar* src = row.src + 4 * x;
            const uchar* colour = row.fg ? row.fg + 3 * x : src;
            if (clear)
                overNothing(src, colour, keep, row.dst + 4 * x);
            else
                overColour(colour, src[3], keep, row.dst + 4 * x, bg);
        }
    }
}

} // namespace

QImage MaskBlend::blend(const QImage& source, const cv::Mat& mask,
                        const std::optional<QColor>& background)
{
    return blend(source, mask, cv::Mat(), background);
}

QImage MaskBlend::blend(const QImage& source, const cv::Mat& mask, const cv::Mat& foreground,
                        const std::optional<QColor>& background)
{
    Q_ASSERT(source.format() == QImage::Format_RGBA8888);
    Q_ASSERT(mask.type() == CV_8UC1 && mask.cols == source.width() && mask.rows == source.height());
    Q_ASSERT(foreground.empty() ||
             (foreground.type() == CV_8UC3 && foreground.cols == source.width() &&
              foreground.rows == source.height()));
    QImage out(source.size(), QImage::Format_RGBA8888);
    if (out.isNull())
        return out;
    Rgba bg;
    if (background) {
        const QColor c = background->toRgb();
        bg = {c.red(), c.green(), c.blue(), c.alpha()};
    }
    const bool clear = !background || bg.a == 0;
    // What an uncovered pixel becomes: the background, or transparent black.
    quint32 uncovered = 0;
    if (!clear) {
        const uchar bytes[4] = {uchar(bg.r), uchar(bg.g), uchar(bg.b), uchar(bg.a)};
        std::memcpy(&uncovered, bytes, 4);
    }
    const int width = source.width();
    const uchar* srcBits = source.constBits();
    uchar* dstBits = out.bits();
    const qsizetype srcStride = source.bytesPerLine();
    const qsizetype dstStride = out.bytesPerLine();
    cv::parallel_for_(cv::Range(0, source.height()), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            const Row row{srcBits + y * srcStride,
                          foreground.empty() ? nullptr : foreground.ptr<uchar>(y),
                          mask.ptr<uchar>(y), dstBits + y * dstStride};
            blendRow(row, width, clear, bg, uncovered);
        }
    });
    return out;
}
