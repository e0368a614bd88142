#include "MatteObservation.h"

#include <array>
#include <opencv2/imgproc.hpp>

MatteObservation::MatteObservation(MatteSubjects::Result split) : m_split(std::move(split)) {}

InstanceSet MatteObservation::allInstances() const
{
    InstanceSet set;
    for (int label = 1; label <= m_split.count; ++label)
        set.insert(label);
    return set;
}

LabelBuffer MatteObservation::instanceMask() const
{
    LabelBuffer buffer;
    buffer.width = m_split.labels.cols;
    buffer.height = m_split.labels.rows;
    buffer.bytesPerRow = qsizetype(m_split.labels.step[0]);
    buffer.base = m_split.labels.ptr<uint8_t>();
    // The Mat header shares (and so keeps) the pixels.
    buffer.owner = std::make_shared<cv::Mat>(m_split.labels);
    return buffer;
}

cv::Mat MatteObservation::generateScaledMask(const InstanceSet& instances, QSize imageSize) const
{
    std::array<uchar, 256> keep{};
    for (int64_t label : instances) {
        if (label >= 1 && label <= 255)
            keep[size_t(label)] = 255;
    }
    // The soft matte of the chosen subjects, then scaled bilinearly: the
    // edges keep their soft values at any size.
    cv::Mat chosen(m_split.matte.size(), CV_8UC1);
    for (int y = 0; y < chosen.rows; ++y) {
        const uchar* owner = m_split.owner.ptr<uchar>(y);
        const uchar* matte = m_split.matte.ptr<uchar>(y);
        uchar* out = chosen.ptr<uchar>(y);
        for (int x = 0; x < chosen.cols; ++x)
            out[x] = matte[x] & keep[owner[x]];
    }
    if (imageSize.isEmpty() ||
        (imageSize.width() == chosen.cols && imageSize.height() == chosen.rows))
        return chosen;
    cv::Mat scaled;
    cv::resize(chosen, scaled, cv::Size(imageSize.width(), imageSize.height()), 0, 0,
               cv::INTER_LINEAR);
    return scaled;
}
