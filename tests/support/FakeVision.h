#pragma once

#include "VantelError.h"
#include "VisionService.h"

#include <opencv2/core.hpp>
#include <optional>
#include <vector>

// A vision service whose answers the test sets.
class FakeVision final : public VisionService
{
public:
    bool available = true;
    std::optional<InstanceMask> instanceResult;
    cv::Mat personResult;
    std::optional<VantelError> error;

    bool instanceMasksAvailable() override { return available; }
    std::optional<InstanceMask> generateForegroundInstanceMask(const QImage&) override
    {
        if (error)
            throw *error;
        return instanceResult;
    }
    // The region pass sees the matte `regionResult` over the whole image
    // (CV_8UC1 of the image's size) through the region asked for.
    cv::Mat regionResult;
    std::vector<cv::Rect> regionsAsked;
    cv::Mat generateRegionMatte(const QImage&, const cv::Rect& region) override
    {
        if (error)
            throw *error;
        regionsAsked.push_back(region);
        return regionResult(region).clone();
    }
    cv::Mat generatePersonSegmentation(const QImage&) override
    {
        if (error)
            throw *error;
        return personResult;
    }
    // What readied and let go of: how often, and whether buffers are kept.
    int prepared = 0;
    int released = 0;
    bool keepsWorkingMemory = true;
    void prepare() override { ++prepared; }
    bool release() override
    {
        ++released;
        return true;
    }
    void keepWorkingMemory(bool keep) override { keepsWorkingMemory = keep; }
};

// Subjects over a w x h working size: a background strip across the top,
// then subject 1 on the left half and subject 2 on the right, fully opaque.
inline InstanceMask twoSubjects(int w, int h)
{
    InstanceMask m;
    m.count = 2;
    m.owner = cv::Mat::zeros(h, w, CV_8UC1);
    m.owner(cv::Rect(0, h / 4, w / 2, h - h / 4)).setTo(1);
    m.owner(cv::Rect(w / 2, h / 4, w - w / 2, h - h / 4)).setTo(2);
    m.matte = cv::Mat(h, w, CV_8UC1, cv::Scalar(0));
    m.matte.setTo(255, m.owner > 0);
    m.labels = m.owner.clone();
    return m;
}
