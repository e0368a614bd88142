#pragma once

#include "DetectorNetwork.h"

#include <QString>
#include <array>
#include <memory>
#include <opencv2/core.hpp>
#include <vector>

// One object found by ObjectDetector, in the pixels of the image searched.
struct DetectedObject
{
    cv::Rect2f box;
    int classId = 0; // 0..79, COCO's order (0 is "person")
    QString className;
    float score = 0; // 0..1
};

// The 80 COCO classes with NanoDet (416 x 416 input) on OpenCV's DNN module.
// The network was converted from TensorFlow.js by tools/convert-tfjs; its
// outputs per stride s (8, 16, 32) over an n = (416 / s)^2 grid are the class
// scores cls<s> [1, 80, n], already through a sigmoid, and the box side
// distributions box<s> [1, 44, n]: for each side (left, top, right, bottom)
// 11 logits over distances 0..10 strides from the cell's centre.
//
// load(), inputBlob() and decode() are what detect() is made of, so each can
// be tested alone. detect() is thread-safe: one forward pass at a time.
class ObjectDetector final
{
public:
    static constexpr int inputSide = 416;
    static constexpr int classCount = 80;
    static constexpr int binCount = 11;
    static constexpr std::array<int, 3> strides{8, 16, 32};

    // The network's outputs: cls[i] and box[i] for strides[i].
    struct Heads
    {
        std::array<cv::Mat, 3> cls;
        std::array<cv::Mat, 3> box;
    };

    // The installed nanodet.onnx (see ModelFiles), or an empty string.
    // Which engine runs the network.
    QString engine() const { return m_network.engine(); }

    static QString defaultPath();

    // Throws VantelError with a short text when the file is missing or unreadable.
    static std::unique_ptr<ObjectDetector> load(const QString& path);

    // The input blob [1, 3, 416, 416] for an 8-bit image, BGR (3 channels, as
    // OpenCV reads files) or RGBA (4 channels, as Vantel's images are viewed):
    // stretched to 416 x 416, BGR planes of (value - mean) / deviation.
    static cv::Mat inputBlob(const cv::Mat& image);

    // One forward pass; `milliseconds`, when given, receives its duration.
    Heads forward(const cv::Mat& blob, double* milliseconds = nullptr);

    // Objects scoring at least `minScore`, in the pixels of an image of
    // `imageSize`, best first; overlapping finds of one class (IoU above
    // `maxOverlap`) are reduced to the best of them.
    static std::vector<DetectedObject> decode(const Heads& heads, cv::Size imageSize,
                                              float minScore = 0.2f, float maxOverlap = 0.6f);

    std::vector<DetectedObject> detect(const cv::Mat& image, float minScore = 0.2f,
                                       double* forwardMilliseconds = nullptr);

    // COCO's name for a class id ("person", "bicycle", ...), empty when out of range.
    static QString className(int classId);

private:
    explicit ObjectDetector(const QString& path);

    DetectorNetwork m_network;
};
