#pragma once

#include <opencv2/core.hpp>

#include <vector>

// Finds faces (frontal and profile) with OpenCV's cascades from opencv-data.
// Thread-safe; finds nothing where the cascade files are missing.
class FaceDetector final
{
public:
    FaceDetector() = delete;

    // Faces in an 8-bit grey image, in its pixel coordinates, no smaller
    // than `minSide` pixels. Overlapping detections are merged.
    static std::vector<cv::Rect> detect(const cv::Mat& grey, int minSide);
};
