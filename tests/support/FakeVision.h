#pragma once

#include "VantelError.h"
#include "VisionService.h"

#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <optional>
#include <vector>

// An instance observation with a label buffer laid out as the test wants,
// that records which instance sets were asked for.
class FakeObservation final : public InstanceMaskObservation
{
public:
    InstanceSet instances;
    int width = 0, height = 0;
    qsizetype bytesPerRow = 0;
    std::vector<uint8_t> bytes; // bytesPerRow * height
    bool noMemory = false;
    std::optional<VantelError> maskError;
    cv::Size maskSize{8, 6}; // size the scaled masks come out at
    mutable std::mutex lock;
    mutable std::vector<InstanceSet> asked;

    // An observation finding `found`, over a w x h label buffer of `stride`
    // bytes per row, every byte `fill`.
    static std::shared_ptr<FakeObservation> make(InstanceSet found, int w, int h, qsizetype stride,
                                                 uint8_t fill = 0)
    {
        auto o = std::make_shared<FakeObservation>();
        o->instances = std::move(found);
        o->width = w;
        o->height = h;
        o->bytesPerRow = stride;
        o->bytes.assign(size_t(stride * h), fill);
        return o;
    }
    uint8_t& labelAt(int x, int y) { return bytes[size_t(y * bytesPerRow + x)]; }

    InstanceSet allInstances() const override { return instances; }
    LabelBuffer instanceMask() const override
    {
        LabelBuffer b;
        b.width = width;
        b.height = height;
        b.bytesPerRow = bytesPerRow;
        b.base = noMemory ? nullptr : bytes.data();
        return b;
    }
    cv::Mat generateScaledMask(const InstanceSet& set, QSize) const override
    {
        std::lock_guard<std::mutex> guard(lock);
        asked.push_back(set);
        if (maskError)
            throw *maskError;
        // All subjects read 255; one subject reads ten times its label.
        const int value = set.size() == 1 ? int(*set.begin()) * 10 : 255;
        return cv::Mat(maskSize, CV_8UC1, cv::Scalar(value));
    }
};

// A vision service whose answers the test sets.
class FakeVision final : public VisionService
{
public:
    bool available = true;
    std::vector<std::shared_ptr<const InstanceMaskObservation>> instanceResults;
    std::vector<cv::Mat> personResults;
    std::optional<VantelError> error;

    bool instanceMasksAvailable() override { return available; }
    std::vector<std::shared_ptr<const InstanceMaskObservation>>
    generateForegroundInstanceMask(const QImage&) override
    {
        if (error)
            throw *error;
        return instanceResults;
    }
    std::vector<cv::Mat> generatePersonSegmentation(const QImage&) override
    {
        if (error)
            throw *error;
        return personResults;
    }
};
