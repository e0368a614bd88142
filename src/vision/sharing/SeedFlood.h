#pragma once

#include <opencv2/core.hpp>
#include <vector>

// Grows labelled seeds over a picture along its colours: a watershed that
// climbs the lowest colour edges first, each label within its own reach.
class SeedFlood final
{
public:
    SeedFlood() = delete;

    // Where a label may grow: a box (empty: anywhere), and within it a mask
    // (empty: all of the box). Where `foreign` (over the box; empty: nowhere)
    // is set the label is offered a pixel only after every edge has been
    // climbed: colours that belong to a rival there.
    struct Reach
    {
        cv::Rect box;
        cv::Mat within;
        cv::Mat foreign;
    };

    // The colour edges the flood climbs (CV_8UC1): the largest per-channel
    // change across each pixel's neighbourhood, after a light blur against
    // noise. `rgb` is CV_8UC3.
    static cv::Mat edges(const cv::Mat& rgb);

    // Grows `labels` (CV_8UC1, 0 unlabelled) over the unlabelled pixels of
    // `domain` (CV_8UC1, non-zero where labels may go), lowest `edge` first;
    // label L only within reach[L]. All three are continuous and of one size.
    static void grow(cv::Mat& labels, const cv::Mat& domain, const cv::Mat& edge,
                     const std::vector<Reach>& reach);
};
