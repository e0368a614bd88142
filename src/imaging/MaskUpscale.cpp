#include "MaskUpscale.h"

#include "AreaDownscale.h"

#include <opencv2/imgproc.hpp>

namespace {

// The image's grey as float in 0 .. 1.
cv::Mat greyOf(const cv::Mat& rgb)
{
    cv::Mat grey;
    cv::cvtColor(rgb, grey, cv::COLOR_RGB2GRAY);
    grey.convertTo(grey, CV_32F, 1.0 / 255.0);
    return grey;
}

cv::Mat mean(const cv::Mat& m, int radius)
{
    cv::Mat out;
    cv::boxFilter(m, out, CV_32F, cv::Size(2 * radius + 1, 2 * radius + 1), cv::Point(-1, -1), true,
                  cv::BORDER_REPLICATE);
    return out;
}

} // namespace

cv::Mat MaskUpscale::guided(const cv::Mat& mask, const cv::Mat& image)
{
    CV_Assert(mask.type() == CV_8UC1 && image.type() == CV_8UC3);
    if (mask.size() == image.size() || mask.empty())
        return mask.clone();

    // The fit at the mask's size.
    const cv::Mat guide = greyOf(AreaDownscale::resized(image, mask.size()));
    cv::Mat p;
    mask.convertTo(p, CV_32F, 1.0 / 255.0);
    const cv::Mat meanI = mean(guide, radius);
    const cv::Mat meanP = mean(p, radius);
    const cv::Mat varI = mean(guide.mul(guide), radius) - meanI.mul(meanI);
    const cv::Mat covIP = mean(guide.mul(p), radius) - meanI.mul(meanP);
    cv::Mat a = covIP / (varI + eps);
    cv::Mat b = meanP - a.mul(meanI);
    a = mean(a, radius);
    b = mean(b, radius);

    // Applied at full size, row by row into the 8-bit result.
    cv::resize(a, a, image.size(), 0, 0, cv::INTER_LINEAR);
    cv::resize(b, b, image.size(), 0, 0, cv::INTER_LINEAR);
    cv::Mat out(image.size(), CV_8UC1);
    for (int y = 0; y < image.rows; ++y) {
        const cv::Vec3b* px = image.ptr<cv::Vec3b>(y);
        const float* ay = a.ptr<float>(y);
        const float* by = b.ptr<float>(y);
        uchar* o = out.ptr<uchar>(y);
        for (int x = 0; x < image.cols; ++x) {
            // The same weights as cvtColor's RGB to grey.
            const float grey = (0.299f * px[x][0] + 0.587f * px[x][1] + 0.114f * px[x][2]) / 255.f;
            o[x] = cv::saturate_cast<uchar>(255.f * (ay[x] * grey + by[x]));
        }
    }
    return out;
}
