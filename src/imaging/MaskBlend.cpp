#include "MaskBlend.h"

#include <cmath>
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

void overNothing(const uchar* src, const uchar* fg, const uchar* m, uchar* dst, int width)
{
    for (int x = 0; x < width; ++x, src += 4, dst += 4) {
        const uchar alpha = div255(unsigned(src[3]) * m[x]);
        const uchar keep = alpha ? 0xFF : 0x00;
        const uchar* c = (fg && m[x] != 255) ? fg + 3 * x : src;
        dst[0] = c[0] & keep;
        dst[1] = c[1] & keep;
        dst[2] = c[2] & keep;
        dst[3] = alpha;
    }
}

// General mix on premultiplied values; the opaque-over-opaque case, by far the
// most common, stays in integers.
void overColour(const uchar* src0, const uchar* fg, const uchar* m, uchar* dst, int width,
                const Rgba& bg)
{
    const bool opaqueBackground = bg.a == 255;
    uchar px[4];
    for (int x = 0; x < width; ++x, src0 += 4, dst += 4) {
        const unsigned keep = m[x];
        const uchar* src = src0;
        if (fg && keep != 255) {
            px[0] = fg[3 * x];
            px[1] = fg[3 * x + 1];
            px[2] = fg[3 * x + 2];
            px[3] = src0[3];
            src = px;
        }
        const unsigned drop = 255u - keep;
        if (opaqueBackground && src[3] == 255) {
            dst[0] = div255(src[0] * keep + unsigned(bg.r) * drop);
            dst[1] = div255(src[1] * keep + unsigned(bg.g) * drop);
            dst[2] = div255(src[2] * keep + unsigned(bg.b) * drop);
            dst[3] = 255;
            continue;
        }
        // Alpha and premultiplied colour, both scaled by 255 * 255.
        const double alpha = double(src[3]) * keep + double(bg.a) * drop;
        if (alpha <= 0.0) {
            dst[0] = dst[1] = dst[2] = dst[3] = 0;
            continue;
        }
        const double sa = double(src[3]) * keep;
        const double ba = double(bg.a) * drop;
        dst[0] = uchar(std::lround((src[0] * sa + bg.r * ba) / alpha));
        dst[1] = uchar(std::lround((src[1] * sa + bg.g * ba) / alpha));
        dst[2] = uchar(std::lround((src[2] * sa + bg.b * ba) / alpha));
        dst[3] = uchar(std::lround(alpha / 255.0));
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
    QImage out(source.size(), QImage::Format_RGBA8888);
    if (out.isNull())
        return out;
    Rgba bg;
    if (background) {
        const QColor c = background->toRgb();
        bg = {c.red(), c.green(), c.blue(), c.alpha()};
    }
    const bool clear = !background || bg.a == 0;
    const int width = source.width();
    const uchar* srcBits = source.constBits();
    uchar* dstBits = out.bits();
    const qsizetype srcStride = source.bytesPerLine();
    const qsizetype dstStride = out.bytesPerLine();
    cv::parallel_for_(cv::Range(0, source.height()), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            const uchar* src = srcBits + y * srcStride;
            const uchar* m = mask.ptr<uchar>(y);
            uchar* dst = dstBits + y * dstStride;
            const uchar* fg = foreground.empty() ? nullptr : foreground.ptr<uchar>(y);
            if (clear)
                overNothing(src, fg, m, dst, width);
            else
                overColour(src, fg, m, dst, width, bg);
        }
    });
    return out;
}
