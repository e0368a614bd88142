#pragma once

#include "PoseEstimator.h"
#include "SubjectTuning.h"

#include <opencv2/core.hpp>
#include <vector>

// What of a person is certainly the person, from their pose: the torso, the
// head and neck, and the limbs (with the hand beyond the wrist), in image
// pixels.
class PersonSkeleton final
{
public:
    using Keypoints = std::array<DetectedPose::Keypoint, 17>;
    struct Segment
    {
        cv::Point2f a, b;
    };

    // The skeleton of the person with pose `k` and box `box`.
    static PersonSkeleton of(const Keypoints& k, const cv::Rect& box,
                             const SubjectTuning::Person& tuning);

    // Where two people's skeletons put an arm or a leg in the same place
    // (the middle joints and the ends close together), the lower part is one
    // and goes with the person it continues more straightly; the other keeps
    // the upper part, up to the joint where both meet. The winner keeps the
    // surer of the two ends.
    static void settleLimbs(const std::vector<Keypoints*>& people,
                            const SubjectTuning::Person& tuning);

    // Draws the skeleton into `m` (CV_8UC1) at 255, its origin at `origin`
    // of the image, with segments `lineWidth` wide.
    void draw(cv::Mat& m, cv::Point2f origin, double lineWidth) const;
    // The torso drawn as large as a body's around its joints, in image
    // pixels; empty without a torso.
    std::vector<cv::Point> bodyTorso() const;
    // Where the person's body may lie within `reach` (a mask of its size):
    // no further from the skeleton than a body could be.
    cv::Mat body(const cv::Rect& reach) const;

    std::vector<cv::Point> torso; // drawn a little out from the joints
    std::vector<Segment> trunk;   // head and neck
    std::vector<Segment> limbs;
    float width = 2;  // of the drawn segments
    double scale = 4; // the person's size: shoulders' width or its stand-in

private:
    SubjectTuning::Person m_tuning;
    std::vector<cv::Point> wideTorso(double factor) const;
};
