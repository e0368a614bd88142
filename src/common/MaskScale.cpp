#include "MaskScale.h"

#include <opencv2/imgproc.hpp>

cv::Mat MaskScale::fitted(const cv::Mat& mask, cv::Size size)
{
    if (mask.empty() || size.empty() || mask.size() == size)
        return mask;
    cv::Mat out;
    cv::resize(mask, out, size, 0, 0, cv::INTER_LINEAR);
    return out;
}
