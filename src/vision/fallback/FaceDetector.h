#pragma once

#include <opencv2/core.hpp>
#include <vector>

// Finds faces (frontal and profile) with OpenCV's cascades from opencv-data.
// Thread-safe; finds nothing where the cascade files are missing.
class FaceDetector final
{
public:
    FaceDetector() = delete;

    // All faces in an 8-bit grey image (equalized here), in its pixel
    // coordinates, no smaller than `minSide`. Overlapping finds are merged.
    static std::vector<cv::Rect> detect(const cv::Mat& grey, int minSide);

    // The two halves of detect() on an already equalized image: the frontal
    // cascade is the cheap one; the profile cascade runs twice (mirrored),
    // so callers run it only where frontal faces leave a question open.
    static std::vector<cv::Rect> frontal(const cv::Mat& equalized, int minSide);
    static std::vector<cv::Rect> profiles(const cv::Mat& equalized, int minSide);

    // Adds `face` unless it mostly overlaps one already in `faces`.
    static void merge(std::vector<cv::Rect>& faces, const cv::Rect& face);
};
