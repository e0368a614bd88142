#include "PoseEstimator.h"

#include "ModelFiles.h"
#include "VantelError.h"

#include <QCoreApplication>
#include <algorithm>
#include <cmath>
#include <numeric>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

namespace {

constexpr int kGrid = PoseEstimator::gridSide;
constexpr int kCells = kGrid * kGrid;

// A centre counts where it is the largest value of its 5 x 5 neighbourhood
// (to within this much).
constexpr float kPeakTolerance = 1.013279e-06f;
// Keypoints scoring above this count towards the person's score.
constexpr float kKeypointFloor = 0.12695312f;
// The heat of a keypoint is weighted by exp(-d^2 / (64 * kSpread)), d the
// distance in cells to where the centre's regression puts it.
constexpr float kSpread = 0.30004883f;

const float* plane(const cv::Mat& head, int channel)
{
    return head.ptr<float>() + size_t(channel) * kCells;
}

void checkHead(const cv::Mat& head, int channels)
{
    CV_Assert(head.type() == CV_32F && head.isContinuous() &&
              head.total() == size_t(channels) * kCells);
}

} // namespace

QString PoseEstimator::defaultPath()
{
    return ModelFiles::locate(QStringLiteral("movenet-multipose.onnx"));
}

PoseEstimator::PoseEstimator(const QString& path)
    : m_network(path, QCoreApplication::translate("Vantel", "The pose finder is not installed."),
                QCoreApplication::translate("Vantel", "The pose finder could not be loaded."))
{
}

std::unique_ptr<PoseEstimator> PoseEstimator::load(const QString& path)
{
    std::unique_ptr<PoseEstimator> finder(new PoseEstimator(path));
    // A file that loads but is another network (or a damaged one) must not
    // fail every image later: one pass over a blank picture checks the
    // input it takes and the outputs it gives.
    try {
        finder->detect(cv::Mat::zeros(inputSide, inputSide, CV_8UC3));
    } catch (const std::exception&) {
        throw VantelError::platform(
            QCoreApplication::translate("Vantel", "The pose finder could not be loaded."));
    }
    return finder;
}

cv::Mat PoseEstimator::inputBlob(const cv::Mat& image)
{
    CV_Assert(image.depth() == CV_8U && (image.channels() == 3 || image.channels() == 4));
    cv::Mat rgb;
    cv::cvtColor(image, rgb, image.channels() == 4 ? cv::COLOR_RGBA2RGB : cv::COLOR_BGR2RGB);
    // Padding keeps the proportions; at the bottom and right, so a position
    // on the input is the same fraction of the square's side in the image.
    const int side = std::max(rgb.cols, rgb.rows);
    cv::Mat square;
    cv::copyMakeBorder(rgb, square, 0, side - rgb.rows, 0, side - rgb.cols, cv::BORDER_CONSTANT,
                       cv::Scalar::all(0));
    cv::Mat resized;
    cv::resize(square, resized, cv::Size(inputSide, inputSide), 0, 0,
               side > inputSide ? cv::INTER_AREA : cv::INTER_LINEAR);
    return cv::dnn::blobFromImage(resized, 1.0, cv::Size(), cv::Scalar(), false, false, CV_32F);
}

PoseEstimator::Heads PoseEstimator::forward(const cv::Mat& blob, double* milliseconds)
{
    static const std::vector<cv::String> names{"center",      "box_scale",   "box_offset",
                                               "kpt_regress", "kpt_heatmap", "kpt_offset"};
    const std::vector<cv::Mat> outs = m_network.forward(blob, names, milliseconds);
    return {outs[0], outs[1], outs[2], outs[3], outs[4], outs[5]};
}

namespace {

using Heads = PoseEstimator::Heads;
constexpr int kKeypoints = PoseEstimator::keypointCount;

struct Candidate
{
    float centerScore;
    float box[4];                      // top, left, bottom, right in cells, within the grid
    cv::Point2f regressed[kKeypoints]; // (x, y) in cells
};

void checkHeads(const Heads& heads)
{
    checkHead(heads.center, 1);
    checkHead(heads.boxScale, 2);
    checkHead(heads.boxOffset, 2);
    checkHead(heads.keypointRegress, 2 * kKeypoints);
    checkHead(heads.keypointHeat, kKeypoints);
    checkHead(heads.keypointOffset, 2 * kKeypoints);
}

// Per cell, its centre score where it holds the maximum of its 5 x 5
// neighbourhood, else zero.
std::vector<float> centrePeaks(const Heads& heads)
{
    const cv::Mat center(kGrid, kGrid, CV_32F, const_cast<float*>(plane(heads.center, 0)));
    cv::Mat neighbourhood;
    cv::dilate(center, neighbourhood, cv::Mat::ones(5, 5, CV_8U), cv::Point(-1, -1), 1,
               cv::BORDER_CONSTANT, cv::Scalar::all(-1.0));
    std::vector<float> peak(kCells);
    for (int i = 0; i < kCells; ++i) {
        const float c = center.ptr<float>()[i];
        peak[size_t(i)] = std::abs(c - neighbourhood.ptr<float>()[i]) < kPeakTolerance ? c : 0.0f;
    }
    return peak;
}

// The person whose centre is at `cell`: its box, and where the centre's
// regression puts each keypoint.
Candidate candidateAt(const Heads& heads, int cell, float centerScore)
{
    const int cy = cell / kGrid, cx = cell % kGrid;
    Candidate c{};
    c.centerScore = centerScore;
    const float h = std::max(plane(heads.boxScale, 0)[cell], 0.0f);
    const float w = std::max(plane(heads.boxScale, 1)[cell], 0.0f);
    const float y = float(cy) + plane(heads.boxOffset, 0)[cell];
    const float x = float(cx) + plane(heads.boxOffset, 1)[cell];
    c.box[0] = std::clamp(y - h / 2, 0.0f, float(kGrid));
    c.box[1] = std::clamp(x - w / 2, 0.0f, float(kGrid));
    c.box[2] = std::clamp(y + h / 2, 0.0f, float(kGrid));
    c.box[3] = std::clamp(x + w / 2, 0.0f, float(kGrid));
    for (int k = 0; k < kKeypoints; ++k)
        c.regressed[k] = {float(cx) + plane(heads.keypointRegress, 2 * k + 1)[cell],
                          float(cy) + plane(heads.keypointRegress, 2 * k)[cell]};
    return c;
}

// Centres: cells that hold the maximum of their 5 x 5 neighbourhood, the
// six strongest (the earlier cell first among equals).
std::vector<Candidate> candidates(const Heads& heads)
{
    const std::vector<float> peak = centrePeaks(heads);
    std::vector<int> order(kCells);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return peak[size_t(a)] > peak[size_t(b)]; });
    std::vector<Candidate> found;
    for (int n = 0; n < PoseEstimator::maxPeople; ++n) {
        const int cell = order[size_t(n)];
        found.push_back(candidateAt(heads, cell, peak[size_t(cell)]));
    }
    return found;
}

// The heat of keypoint k at a cell, weighted for person p by closeness
// to the regressed keypoint, and zero outside the person's box.
float weightedHeat(const Heads& heads, const Candidate& p, int k, int cell)
{
    const float spread = float(kGrid) * kSpread;
    const int gy = cell / kGrid, gx = cell % kGrid;
    if (gy < p.box[0] || gx < p.box[1] || gy >= p.box[2] || gx >= p.box[3])
        return 0.0f;
    const float dx = float(gx) - p.regressed[k].x, dy = float(gy) - p.regressed[k].y;
    return plane(heads.keypointHeat, k)[cell] * std::exp(-(dx * dx + dy * dy) / spread);
}

// The cell where person p's weighted heat of keypoint k peaks (the first
// such cell).
int hottestCell(const Heads& heads, const Candidate& p, int k)
{
    int best = 0;
    float bestValue = -1;
    for (int cell = 0; cell < kCells; ++cell) {
        const float v = weightedHeat(heads, p, k, cell);
        if (v > bestValue) {
            bestValue = v;
            best = cell;
        }
    }
    return best;
}

// Person p, in the pixels of an image `scale` times the grid, within `frame`.
DetectedPose poseOf(const Heads& heads, const std::vector<Candidate>& all, const Candidate& p,
                    float scale, const cv::Rect2f& frame)
{
    DetectedPose pose;
    float sum = 0;
    int counted = 0;
    for (int k = 0; k < kKeypoints; ++k) {
        // The cell where this person's weighted heat peaks, refined by the
        // offset head there.
        const int best = hottestCell(heads, p, k);
        // Its score: the strongest weighted heat any candidate has there.
        float score = 0;
        for (const Candidate& other : all)
            score = std::max(score, weightedHeat(heads, other, k, best));
        const float y = float(best / kGrid) + plane(heads.keypointOffset, 2 * k)[best];
        const float x = float(best % kGrid) + plane(heads.keypointOffset, 2 * k + 1)[best];
        pose.keypoints[size_t(k)] = {{x * scale, y * scale}, score};
        if (score > kKeypointFloor) {
            sum += score;
            ++counted;
        }
    }
    pose.score = counted ? p.centerScore * sum / float(counted) : 0.0f;
    pose.box = cv::Rect2f(cv::Point2f(p.box[1] * scale, p.box[0] * scale),
                          cv::Point2f(p.box[3] * scale, p.box[2] * scale)) &
               frame;
    return pose;
}

} // namespace

std::vector<DetectedPose> PoseEstimator::decode(const Heads& heads, cv::Size imageSize,
                                                float minScore)
{
    checkHeads(heads);
    const std::vector<Candidate> found = candidates(heads);

    // Input pixels to image pixels: the square the image was padded to.
    const float scale = float(std::max(imageSize.width, imageSize.height)) / float(kGrid);
    const cv::Rect2f frame(0, 0, float(imageSize.width), float(imageSize.height));

    std::vector<DetectedPose> people;
    for (const Candidate& p : found) {
        const DetectedPose pose = poseOf(heads, found, p, scale, frame);
        if (pose.score >= minScore)
            people.push_back(pose);
    }
    std::stable_sort(
        people.begin(), people.end(),
        [](const DetectedPose& a, const DetectedPose& b) { return a.score > b.score; });
    return people;
}

std::vector<DetectedPose> PoseEstimator::detect(const cv::Mat& image, float minScore,
                                                double* forwardMilliseconds)
{
    return decode(forward(inputBlob(image), forwardMilliseconds), image.size(), minScore);
}
