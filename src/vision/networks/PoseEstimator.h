#pragma once

#include "DetectorNetwork.h"

#include <QString>
#include <array>
#include <memory>
#include <opencv2/core.hpp>
#include <vector>

// One person found by PoseEstimator, in the pixels of the image searched.
struct DetectedPose
{
    struct Keypoint
    {
        cv::Point2f position;
        float score = 0;
    };
    // COCO's order: nose, left eye, right eye, left ear, right ear, left
    // shoulder, right shoulder, left elbow, right elbow, left wrist, right
    // wrist, left hip, right hip, left knee, right knee, left ankle, right ankle.
    std::array<Keypoint, 17> keypoints;
    cv::Rect2f box;
    float score = 0;
};

// Up to six people with MoveNet multipose (256 x 256 input) on OpenCV's DNN
// module. The network was converted from TensorFlow.js by tools/convert-tfjs
// and cut at its six heads, each [1, C, 64, 64] over a grid of 4-pixel cells:
//   center       1 channel, a sigmoid: how likely a person's centre is here
//   box_scale    2 (height, width) of that person's box, in cells
//   box_offset   2 (dy, dx) from the cell to the box's centre
//   kpt_regress  34: (dy, dx) per keypoint, from the centre cell
//   kpt_heatmap  17, a sigmoid per keypoint
//   kpt_offset   34: (dy, dx) per keypoint, from a heat-map cell
// decode() does what the original graph does after its heads.
//
// load(), inputBlob() and decode() are what detect() is made of, so each can
// be tested alone. detect() is thread-safe: one forward pass at a time.
class PoseEstimator final
{
public:
    static constexpr int inputSide = 256;
    static constexpr int gridSide = 64;
    static constexpr int keypointCount = 17;
    static constexpr int maxPeople = 6;

    struct Heads
    {
        cv::Mat center, boxScale, boxOffset, keypointRegress, keypointHeat, keypointOffset;
    };

    // The installed movenet-multipose.onnx (see ModelFiles), or an empty
    // string.
    // Which engine runs the network.
    QString engine() const { return m_network.engine(); }

    static QString defaultPath();

    // Throws VantelError with a short text when the file is missing or unreadable.
    static std::unique_ptr<PoseEstimator> load(const QString& path);

    // The input blob [1, 3, 256, 256] for an 8-bit BGR (3 channels) or RGBA
    // (4 channels) image: padded at the bottom or right to a square with
    // black, resized, RGB planes of 0..255.
    static cv::Mat inputBlob(const cv::Mat& image);

    // One forward pass; `milliseconds`, when given, receives its duration.
    Heads forward(const cv::Mat& blob, double* milliseconds = nullptr);

    // People scoring at least `minScore`, in the pixels of an image of
    // `imageSize`, best first.
    static std::vector<DetectedPose> decode(const Heads& heads, cv::Size imageSize,
                                            float minScore = 0.2f);

    std::vector<DetectedPose> detect(const cv::Mat& image, float minScore = 0.2f,
                                     double* forwardMilliseconds = nullptr);

private:
    explicit PoseEstimator(const QString& path);

    DetectorNetwork m_network;
};
