#include "ObjectDetector.h"

#include "ModelFiles.h"
#include "VantelError.h"

#include <QCoreApplication>
#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace {

const char* const kClassNames[ObjectDetector::classCount] = {
    "person",        "bicycle",      "car",
    "motorcycle",    "airplane",     "bus",
    "train",         "truck",        "boat",
    "traffic light", "fire hydrant", "stop sign",
    "parking meter", "bench",        "bird",
    "cat",           "dog",          "horse",
    "sheep",         "cow",          "elephant",
    "bear",          "zebra",        "giraffe",
    "backpack",      "umbrella",     "handbag",
    "tie",           "suitcase",     "frisbee",
    "skis",          "snowboard",    "sports ball",
    "kite",          "baseball bat", "baseball glove",
    "skateboard",    "surfboard",    "tennis racket",
    "bottle",        "wine glass",   "cup",
    "fork",          "knife",        "spoon",
    "bowl",          "banana",       "apple",
    "sandwich",      "orange",       "broccoli",
    "carrot",        "hot dog",      "pizza",
    "donut",         "cake",         "chair",
    "couch",         "potted plant", "bed",
    "dining table",  "toilet",       "tv",
    "laptop",        "mouse",        "remote",
    "keyboard",      "cell phone",   "microwave",
    "oven",          "toaster",      "sink",
    "refrigerator",  "book",         "clock",
    "vase",          "scissors",     "teddy bear",
    "hair drier",    "toothbrush"};

const char* const kClsNames[] = {"cls8", "cls16", "cls32"};
const char* const kBoxNames[] = {"box8", "box16", "box32"};

float iou(const cv::Rect2f& a, const cv::Rect2f& b)
{
    const float overlap = (a & b).area();
    const float joined = a.area() + b.area() - overlap;
    return joined > 0 ? overlap / joined : 0.0f;
}

// The expected distance, in bins, of one side's softmax over binCount logits
// read `step` floats apart.
float expectedBin(const float* logits, size_t step)
{
    float top = logits[0];
    for (int b = 1; b < ObjectDetector::binCount; ++b)
        top = std::max(top, logits[b * step]);
    float sum = 0, weighted = 0;
    for (int b = 0; b < ObjectDetector::binCount; ++b) {
        const float e = std::exp(logits[b * step] - top);
        sum += e;
        weighted += e * float(b);
    }
    return weighted / sum;
}

} // namespace

QString ObjectDetector::className(int classId)
{
    if (classId < 0 || classId >= classCount)
        return {};
    return QString::fromLatin1(kClassNames[classId]);
}

QString ObjectDetector::defaultPath()
{
    return ModelFiles::locate(QStringLiteral("nanodet.onnx"));
}

ObjectDetector::ObjectDetector(const QString& path)
    : m_network(path, QCoreApplication::translate("Vantel", "The object finder is not installed."),
                QCoreApplication::translate("Vantel", "The object finder could not be loaded."))
{
}

std::unique_ptr<ObjectDetector> ObjectDetector::load(const QString& path)
{
    std::unique_ptr<ObjectDetector> finder(new ObjectDetector(path));
    // A file that loads but is another network (or a damaged one) must not
    // fail every image later: one pass over a blank picture checks the
    // input it takes and the outputs it gives.
    try {
        finder->detect(cv::Mat::zeros(inputSide, inputSide, CV_8UC3));
    } catch (const std::exception&) {
        throw VantelError::platform(
            QCoreApplication::translate("Vantel", "The object finder could not be loaded."));
    }
    return finder;
}

cv::Mat ObjectDetector::inputBlob(const cv::Mat& image)
{
    CV_Assert(image.depth() == CV_8U && (image.channels() == 3 || image.channels() == 4));
    cv::Mat bgr;
    if (image.channels() == 4)
        cv::cvtColor(image, bgr, cv::COLOR_RGBA2BGR);
    else
        bgr = image;
    cv::Mat resized;
    cv::resize(bgr, resized, cv::Size(inputSide, inputSide), 0, 0, cv::INTER_LINEAR);

    // The network was trained on BGR with ImageNet's statistics, on the 0..255 scale.
    static const float mean[3] = {103.53f, 116.28f, 123.675f};
    static const float deviation[3] = {57.375f, 57.12f, 58.395f};
    const int sizes[] = {1, 3, inputSide, inputSide};
    cv::Mat blob(4, sizes, CV_32F);
    for (int c = 0; c < 3; ++c) {
        float* plane = blob.ptr<float>(0, c);
        for (int y = 0; y < inputSide; ++y) {
            const uchar* px = resized.ptr<uchar>(y) + c;
            float* row = plane + size_t(y) * inputSide;
            for (int x = 0; x < inputSide; ++x, px += 3)
                row[x] = (float(*px) - mean[c]) / deviation[c];
        }
    }
    return blob;
}

ObjectDetector::Heads ObjectDetector::forward(const cv::Mat& blob, double* milliseconds)
{
    std::vector<cv::String> names;
    for (size_t i = 0; i < strides.size(); ++i) {
        names.emplace_back(kClsNames[i]);
        names.emplace_back(kBoxNames[i]);
    }
    const std::vector<cv::Mat> outs = m_network.forward(blob, names, milliseconds);
    Heads heads;
    for (size_t i = 0; i < strides.size(); ++i) {
        heads.cls[i] = outs[2 * i];
        heads.box[i] = outs[2 * i + 1];
    }
    return heads;
}

namespace {

// From the network's input to the image searched: the scale on each axis,
// and the image's frame that boxes are kept within.
struct InputToImage
{
    float sx, sy;
    cv::Rect2f frame;
};

// The box of cell `i` on a grid `side` cells across: each side is the
// expected bin of its distribution, in strides from the cell's centre.
cv::Rect2f cellBox(const float* logits, size_t cells, size_t i, int side, int stride,
                   const InputToImage& to)
{
    float d[4];
    for (int s = 0; s < 4; ++s)
        d[s] = expectedBin(logits + size_t(s * ObjectDetector::binCount) * cells + i, cells) *
               float(stride);
    const float cx = (float(i % size_t(side)) + 0.5f) * float(stride);
    const float cy = (float(i / size_t(side)) + 0.5f) * float(stride);
    const float x0 = (cx - d[0]) * to.sx, y0 = (cy - d[1]) * to.sy;
    const float x1 = (cx + d[2]) * to.sx, y1 = (cy + d[3]) * to.sy;
    return cv::Rect2f(x0, y0, x1 - x0, y1 - y0) & to.frame;
}

// The finds of one stride's heads: a box per cell and class scoring at least
// `minScore`, in cell order.
std::vector<DetectedObject> levelFinds(const cv::Mat& cls, const cv::Mat& box, int stride,
                                       const InputToImage& to, float minScore)
{
    constexpr int classCount = ObjectDetector::classCount;
    const int side = (ObjectDetector::inputSide + stride - 1) / stride;
    const size_t cells = size_t(side) * size_t(side);
    CV_Assert(cls.type() == CV_32F && box.type() == CV_32F && cls.isContinuous() &&
              box.isContinuous() && cls.total() == cells * classCount &&
              box.total() == cells * 4 * ObjectDetector::binCount);
    const float* scores = cls.ptr<float>();
    const float* logits = box.ptr<float>();

    std::vector<DetectedObject> found;
    for (size_t i = 0; i < cells; ++i) {
        cv::Rect2f rect;
        bool placed = false;
        for (int c = 0; c < classCount; ++c) {
            const float score = scores[size_t(c) * cells + i];
            if (score < minScore)
                continue;
            if (!placed) {
                rect = cellBox(logits, cells, i, side, stride, to);
                placed = true;
            }
            if (rect.area() > 0)
                found.push_back({rect, c, QString(), score});
        }
    }
    return found;
}

// Greedy suppression within each class, best first.
std::vector<DetectedObject> suppressed(std::vector<DetectedObject> found, float maxOverlap)
{
    std::stable_sort(
        found.begin(), found.end(),
        [](const DetectedObject& a, const DetectedObject& b) { return a.score > b.score; });
    std::vector<DetectedObject> kept;
    for (const DetectedObject& candidate : found) {
        const bool covered = std::any_of(kept.begin(), kept.end(), [&](const DetectedObject& k) {
            return k.classId == candidate.classId && iou(k.box, candidate.box) > maxOverlap;
        });
        if (!covered) {
            kept.push_back(candidate);
            kept.back().className = ObjectDetector::className(candidate.classId);
        }
    }
    return kept;
}

} // namespace

std::vector<DetectedObject> ObjectDetector::decode(const Heads& heads, cv::Size imageSize,
                                                   float minScore, float maxOverlap)
{
    const InputToImage to{float(imageSize.width) / inputSide, float(imageSize.height) / inputSide,
                          cv::Rect2f(0, 0, float(imageSize.width), float(imageSize.height))};
    std::vector<DetectedObject> found;
    for (size_t level = 0; level < strides.size(); ++level) {
        const std::vector<DetectedObject> finds =
            levelFinds(heads.cls[level], heads.box[level], strides[level], to, minScore);
        found.insert(found.end(), finds.begin(), finds.end());
    }
    return suppressed(std::move(found), maxOverlap);
}

std::vector<DetectedObject> ObjectDetector::detect(const cv::Mat& image, float minScore,
                                                   double* forwardMilliseconds)
{
    return decode(forward(inputBlob(image), forwardMilliseconds), image.size(), minScore);
}
