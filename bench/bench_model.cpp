// Export and selection speed, as the user feels them.
//
//   build/bench/bench_model --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//
// PNG encoding of a 2560 x 1920 result (ours against Qt's default writer),
// and the time from a click on a subject to the new result, with the real
// network's analysis of a 2560 x 1920 photo (needs ../shared/evaldata and the
// installed network; skipped otherwise).
#include "AllocatorTuning.h"
#include "Compositor.h"
#include "ForegroundEstimate.h"
#include "JobScheduler.h"
#include "OnDeviceVision.h"
#include "PngEncoder.h"
#include "SubjectAnalysis.h"
#include "VantelModel.h"

#include <QBuffer>
#include <QDir>
#include <QEventLoop>
#include <QGuiApplication>
#include <QImageWriter>
#include <QTimer>
#include <benchmark/benchmark.h>
#include <opencv2/imgproc.hpp>

namespace {

QString photoPath()
{
    const QString path =
        QStringLiteral(VANTEL_SOURCE_DIR "/../shared/evaldata/multi/yolov5_zidane.jpg");
    return QFile::exists(path) ? path : QString();
}

// A 2560 x 1920 photo of two people.
const QImage& photo()
{
    static const QImage image = [] {
        QImage img(photoPath());
        if (img.isNull()) {
            img = QImage(2560, 1920, QImage::Format_RGBA8888);
            img.fill(Qt::darkGreen);
        }
        return img.convertToFormat(QImage::Format_RGBA8888)
            .scaled(2560, 1920, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }();
    return image;
}

OnDeviceVision& vision()
{
    static OnDeviceVision service(OnDeviceVision::defaultNetworkPath());
    return service;
}

std::shared_ptr<const SubjectAnalysis> analysis()
{
    static const std::shared_ptr<const SubjectAnalysis> a =
        []() -> std::shared_ptr<const SubjectAnalysis> {
        if (photoPath().isEmpty() || !vision().instanceMasksAvailable())
            return nullptr;
        return SubjectAnalysis::analyze(photo(), vision());
    }();
    return a;
}

// The result the user exports: the subjects over nothing, from the real
// network's mask where it is available.
const QImage& result()
{
    static const QImage image = [] {
        cv::Mat mask;
        if (const auto a = analysis()) {
            mask = a->mask(std::nullopt);
        } else {
            mask = cv::Mat(1920, 2560, CV_8UC1, cv::Scalar(0));
            mask(cv::Rect(600, 200, 1400, 1720)).setTo(255);
        }
        return *Compositor::composite(photo(), mask, 2.0, std::nullopt);
    }();
    return image;
}

void BM_EncodePng(benchmark::State& state)
{
    const QImage& image = result(); // made once, outside the timing
    size_t size = 0;
    for (auto _ : state) {
        const QByteArray bytes = PngEncoder::encode(image);
        size = size_t(bytes.size());
    }
    state.counters["bytes"] = double(size);
}

void BM_EncodePngQtDefault(benchmark::State& state)
{
    const QImage& image = result();
    size_t size = 0;
    for (auto _ : state) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter(&buffer, "png").write(image);
        size = size_t(bytes.size());
    }
    state.counters["bytes"] = double(size);
}

// What a click costs in the background job and on the GUI thread: the
// selected subject's mask at full size, then the composite.
void BM_ClickMaskAndComposite(benchmark::State& state)
{
    const auto a = analysis();
    if (!a) {
        state.SkipWithError("needs ../shared/evaldata and the installed network");
        return;
    }
    int64_t label = 1;
    for (auto _ : state) {
        const cv::Mat mask = a->mask(label);
        auto out = Compositor::composite(photo(), mask, 0.0, std::nullopt);
        benchmark::DoNotOptimize(out);
        label = label == 1 ? 2 : 1;
    }
}

void BM_MaskOnly(benchmark::State& state)
{
    const auto a = analysis();
    if (!a) {
        state.SkipWithError("needs ../shared/evaldata and the installed network");
        return;
    }
    const std::optional<int64_t> selection =
        state.range(0) ? std::optional<int64_t>(1) : std::nullopt;
    for (auto _ : state) {
        cv::Mat mask = a->mask(selection);
        benchmark::DoNotOptimize(mask.data);
    }
    state.SetLabel(selection ? "one subject" : "all subjects");
}

// The mask job after a click: the selected subject's mask at full size and
// the subject's own colour under it, which the job makes and caches.
void BM_MaskJob(benchmark::State& state)
{
    const auto a = analysis();
    if (!a || a->instances.size() < 2) {
        state.SkipWithError("needs ../shared/evaldata and the installed network");
        return;
    }
    int64_t label = 1;
    for (auto _ : state) {
        const cv::Mat mask = a->mask(label);
        const cv::Mat foreground = ForegroundEstimate::estimate(photo(), mask);
        benchmark::DoNotOptimize(foreground.data);
        label = label == 1 ? 2 : 1;
    }
}

// The whole way through the model: tap() to the new result, the mask job on
// the global thread pool and its outcome back through the event loop.
void BM_ClickToNewResult(benchmark::State& state)
{
    const auto a = analysis();
    if (!a || a->instances.size() < 2) {
        state.SkipWithError("needs ../shared/evaldata and the installed network");
        return;
    }
    VantelModel::Dependencies dependencies;
    dependencies.vision = &vision();
    VantelModel model(dependencies);
    model.open(photo());
    {
        QEventLoop loop;
        QObject::connect(&model, &VantelModel::isProcessingChanged, &loop, [&] {
            if (!model.isProcessing())
                loop.quit();
        });
        loop.exec();
    }
    // Points well inside each subject, from the label map.
    std::vector<QPointF> points;
    const cv::Mat& labels = model.analysis()->labels->labels;
    for (int label : {1, 2}) {
        cv::Mat distance;
        cv::distanceTransform(labels == label, distance, cv::DIST_L2, 3);
        cv::Point inside;
        cv::minMaxLoc(distance, nullptr, nullptr, nullptr, &inside);
        points.emplace_back((inside.x + 0.5) / labels.cols, (inside.y + 0.5) / labels.rows);
    }
    size_t k = 0;
    for (auto _ : state) {
        QEventLoop loop;
        QObject::connect(&model, &VantelModel::resultChanged, &loop, &QEventLoop::quit);
        model.tap(points[k++ % points.size()]);
        loop.exec();
    }
}

} // namespace

BENCHMARK(BM_EncodePng)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EncodePngQtDefault)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MaskOnly)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MaskJob)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ClickMaskAndComposite)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ClickToNewResult)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv)
{
    tuneAllocatorForLargeImages();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    vision().startLoading();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
