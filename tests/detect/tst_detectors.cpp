// The NanoDet and MoveNet decoders on made-up network outputs, their input
// blobs, and the installed models on two photos.
#include "ObjectDetector.h"
#include "PoseEstimator.h"
#include "TestImages.h"

#include <QTest>
#include <algorithm>
#include <opencv2/imgcodecs.hpp>

namespace {

cv::Mat zeros(std::vector<int> d)
{
    return cv::Mat(int(d.size()), d.data(), CV_32F, cv::Scalar(0));
}

// NanoDet outputs with nothing in them: scores 0, flat distributions.
ObjectDetector::Heads emptyHeads()
{
    ObjectDetector::Heads h;
    for (size_t i = 0; i < ObjectDetector::strides.size(); ++i) {
        const int side = ObjectDetector::inputSide / ObjectDetector::strides[i];
        h.cls[i] = zeros({1, ObjectDetector::classCount, side * side});
        h.box[i] = zeros({1, 4 * ObjectDetector::binCount, side * side});
    }
    return h;
}

// Class `cls` scoring `score` at cell (x, y) of stride level `level`, its box
// sides (left, top, right, bottom) all certain at the given bins.
void place(ObjectDetector::Heads& h, size_t level, int x, int y, int cls, float score,
           std::array<int, 4> bins)
{
    const int side = ObjectDetector::inputSide / ObjectDetector::strides[level];
    const int cell = y * side + x, cells = side * side;
    h.cls[level].ptr<float>()[cls * cells + cell] = score;
    for (int s = 0; s < 4; ++s)
        h.box[level].ptr<float>()[(s * ObjectDetector::binCount + bins[size_t(s)]) * cells + cell] =
            40.0f;
}

constexpr int G = PoseEstimator::gridSide;

PoseEstimator::Heads emptyPose()
{
    return {zeros({1, 1, G, G}),  zeros({1, 2, G, G}),  zeros({1, 2, G, G}),
            zeros({1, 34, G, G}), zeros({1, 17, G, G}), zeros({1, 34, G, G})};
}

float& at(cv::Mat& head, int channel, int y, int x)
{
    return head.ptr<float>()[(channel * G + y) * G + x];
}

// Whether a rectangle's corners are where they should be, to 0.01 px.
bool near(const cv::Rect2f& box, float left, float top, float right, float bottom,
          float eps = 0.01f)
{
    return std::abs(box.x - left) < eps && std::abs(box.y - top) < eps &&
           std::abs(box.br().x - right) < eps && std::abs(box.br().y - bottom) < eps;
}

} // namespace

class TestDetectors : public QObject
{
    Q_OBJECT

private slots:
    // The box of a certain cell: sides of bins * stride around the cell's
    // centre, scaled from 416 x 416 to the image; a side whose logits are
    // equal at bins 2 and 6 is the expected distance, 4 strides. Overlapping
    // finds of one class are reduced to the best, whatever other classes
    // lie there, and faint ones are left out.
    void objectsFromHeads()
    {
        ObjectDetector::Heads h = emptyHeads();
        place(h, 1, 10, 5, 15, 0.9f, {2, 1, 3, 4}); // a cat, stride 16; centre (168, 88)
        place(h, 2, 0, 0, 0, 0.5f, {0, 0, 0, 1});   // a person, stride 32; centre (16, 16)
        float* right = h.box[2].ptr<float>() + 2 * ObjectDetector::binCount * 13 * 13;
        right[0] = 0;
        right[2 * 13 * 13] = right[6 * 13 * 13] = 40;
        // Two dogs on neighbouring cells with nearly the same box, a cat on
        // the second of them, and a dog too faint to count.
        place(h, 0, 20, 20, 16, 0.8f, {5, 5, 5, 5});
        place(h, 0, 21, 20, 16, 0.7f, {5, 5, 5, 5});
        place(h, 0, 21, 20, 15, 0.6f, {5, 5, 5, 5});
        place(h, 0, 40, 40, 16, 0.1f, {1, 1, 1, 1});
        const auto found = ObjectDetector::decode(h, cv::Size(832, 208));
        QCOMPARE(found.size(), size_t(4));
        QCOMPARE(found[0].className, QStringLiteral("cat"));
        QCOMPARE(found[0].score, 0.9f);
        QVERIFY(near(found[0].box, (168 - 32) * 2.0f, (88 - 16) * 0.5f, (168 + 48) * 2.0f,
                     (88 + 64) * 0.5f));
        QCOMPARE(found[1].score, 0.8f);
        QCOMPARE(found[1].classId, 16);
        QCOMPARE(found[2].classId, 15);
        QCOMPARE(found[3].className, QStringLiteral("person"));
        QVERIFY(std::abs(found[3].box.br().x - (16 + 4 * 32) * 2.0f) < 0.01f);
    }

    // Pure red, read by OpenCV (BGR) or viewed from a QImage (RGBA): NanoDet
    // takes the same planes, B, G, R, from both; MoveNet R, G, B as they are,
    // a wide image padded at the bottom with black.
    void inputBlobs()
    {
        const cv::Mat bgr(100, 400, CV_8UC3, cv::Scalar(0, 0, 255));
        const cv::Mat blob = ObjectDetector::inputBlob(bgr);
        QVERIFY(blob.size[2] == 416 && blob.size[3] == 416);
        QVERIFY(blob.ptr<float>(0, 2)[500] > 1 && blob.ptr<float>(0, 0)[500] < -1);
        const cv::Mat rgba(100, 400, CV_8UC4, cv::Scalar(255, 0, 0, 255));
        QCOMPARE(cv::norm(ObjectDetector::inputBlob(rgba), blob, cv::NORM_INF), 0.0);
        const cv::Mat pose = PoseEstimator::inputBlob(bgr);
        QVERIFY(pose.size[1] == 3 && pose.size[2] == 256);
        QCOMPARE(pose.ptr<float>(0, 0)[10 * 256 + 10], 255.0f);
        QCOMPARE(pose.ptr<float>(0, 2)[10 * 256 + 10], 0.0f);
        QCOMPARE(pose.ptr<float>(0, 0)[200 * 256 + 10], 0.0f);
    }

    // One centre at cell (20, 30); keypoints regressed from it, then moved
    // to where the heat is, plus the offset there.
    void poseFromHeads()
    {
        PoseEstimator::Heads h = emptyPose();
        at(h.center, 0, 20, 30) = 0.9f;
        at(h.center, 0, 21, 30) = 0.5f; // a lesser neighbour: not a second person
        at(h.boxScale, 0, 20, 30) = 20; // height
        at(h.boxScale, 1, 20, 30) = 10; // width
        at(h.boxOffset, 0, 20, 30) = 1;
        at(h.boxOffset, 1, 20, 30) = -0.5f;
        for (int k = 0; k < 17; ++k) {
            at(h.keypointRegress, 2 * k, 20, 30) = float(k % 5) - 2; // dy
            at(h.keypointRegress, 2 * k + 1, 20, 30) = 1;            // dx
        }
        // The nose's heat: strong far away (outside the box), weaker one cell
        // from where the regression puts it (18, 31).
        at(h.keypointHeat, 0, 50, 50) = 0.99f;
        at(h.keypointHeat, 0, 19, 31) = 0.6f;
        at(h.keypointOffset, 0, 19, 31) = 0.25f;
        at(h.keypointOffset, 1, 19, 31) = -0.5f;
        // The left eye's heat right on its regressed cell (19, 31).
        at(h.keypointHeat, 1, 19, 31) = 0.8f;

        const auto people = PoseEstimator::decode(h, cv::Size(512, 384), 0.01f);
        QCOMPARE(people.size(), size_t(1));
        const DetectedPose& p = people[0];
        const float px = 512.0f / 64; // image pixels per cell
        QVERIFY(cv::norm(p.keypoints[0].position - cv::Point2f(30.5f * px, 19.25f * px)) < 1e-3);
        QVERIFY(std::abs(p.keypoints[0].score - 0.6f * std::exp(-1 / 19.203125f)) < 1e-4f);
        QVERIFY(std::abs(p.keypoints[1].score - 0.8f) < 1e-5f);
        // Only those two score above the floor: centre x their mean.
        const float expected = 0.9f * (p.keypoints[0].score + p.keypoints[1].score) / 2;
        QVERIFY(std::abs(p.score - expected) < 1e-5f);
        // Box: centre (21, 29.5) cells, 20 x 10.
        QVERIFY(near(p.box, 24.5f * px, 11 * px, 34.5f * px, 31 * px, 1e-3f));

        QVERIFY(PoseEstimator::decode(h, cv::Size(512, 384), 0.7f).empty());
    }

    // The installed models, which scripts/setup puts in place, on
    // skimage's astronaut (one person) and chelsea (a cat).
    void installedModelsOnPhotos()
    {
        const QString detectorPath = ObjectDetector::defaultPath();
        const QString posePath = PoseEstimator::defaultPath();
        QVERIFY2(!detectorPath.isEmpty() && !posePath.isEmpty(),
                 "nanodet.onnx or movenet-multipose.onnx is not installed (scripts/setup)");
        auto read = [](const char* name) {
            return cv::imread(TestImages::photo(QLatin1String(name)).toStdString());
        };
        const cv::Mat astronaut = read("astronaut.png"), chelsea = read("chelsea.png");
        QVERIFY2(!astronaut.empty() && !chelsea.empty(), "photos missing (scripts/setup)");

        const auto detector = ObjectDetector::load(detectorPath);
        const auto poses = PoseEstimator::load(posePath);

        // The astronaut sits left of centre, filling the height.
        const auto objects = detector->detect(astronaut);
        QVERIFY(!objects.empty());
        QCOMPARE(objects[0].className, QStringLiteral("person"));
        QVERIFY(objects[0].score > 0.5f);
        QVERIFY(objects[0].box.contains(cv::Point2f(180, 200)));
        QVERIFY(objects[0].box.height > 300);

        const auto people = poses->detect(astronaut);
        QCOMPARE(people.size(), size_t(1));
        QVERIFY(people[0].score > 0.3f);
        const cv::Point2f nose = people[0].keypoints[0].position;
        QVERIFY2(cv::Rect(150, 60, 120, 120).contains(nose),
                 qPrintable(QStringLiteral("nose at %1, %2").arg(nose.x).arg(nose.y)));

        // NanoDet on the stretched photo rates the cat's face "person" too.
        const auto found = detector->detect(chelsea);
        const auto cat = std::find_if(found.begin(), found.end(), [](const DetectedObject& o) {
            return o.className == QLatin1String("cat");
        });
        QVERIFY(cat != found.end());
        QVERIFY(cat->score > 0.3f);
        QVERIFY(cat->box.area() > 0.25 * double(chelsea.total()));
    }
};

QTEST_GUILESS_MAIN(TestDetectors)
#include "tst_detectors.moc"
