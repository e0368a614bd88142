// Compositing speed: the Feather slider recomposites on every movement, so
// one composite of the largest image intake allows must fit in a frame
// (16 ms), at every Feather value and over every background, with the
// subject's own colour in the edge (BM_CompositeWithForeground). The
// foreground estimate itself runs once per mask, in the mask job.
// Run: build/bench/bench_compositor --benchmark_repetitions=9
//          --benchmark_report_aggregates_only=true
#include "AllocatorTuning.h"
#include "Compositor.h"
#include "ForegroundEstimate.h"
#include "ImageIntake.h"
#include "MaskBlend.h"
#include "MaskFeather.h"
#include "SolidInterior.h"

#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>
#include <benchmark/benchmark.h>
#include <opencv2/imgproc.hpp>

namespace {

const QSize kSize(2560, 1920);

const QImage& photo()
{
    static const QImage image = [] {
        QImage img(kSize, QImage::Format_RGBA8888);
        QPainter p(&img);
        QLinearGradient g(0, 0, kSize.width(), kSize.height());
        g.setColorAt(0, QColor(30, 60, 200));
        g.setColorAt(1, QColor(240, 180, 40));
        p.fillRect(img.rect(), g);
        return img;
    }();
    return image;
}

// A subject-like mask: two overlapping blobs with a slightly soft edge.
const cv::Mat& subjectMask()
{
    static const cv::Mat mask = [] {
        cv::Mat m(kSize.height(), kSize.width(), CV_8UC1, cv::Scalar(0));
        cv::ellipse(m, cv::Point(1100, 1000), cv::Size(500, 800), 10, 0, 360, cv::Scalar(255),
                    cv::FILLED);
        cv::circle(m, cv::Point(1700, 700), 380, cv::Scalar(255), cv::FILLED);
        cv::GaussianBlur(m, m, cv::Size(5, 5), 1.0);
        return m;
    }();
    return mask;
}

std::optional<QColor> background(int index)
{
    switch (index) {
    case 1:
        return QColor(Qt::white);
    case 2:
        return QColor(Qt::black);
    case 3:
        return QColor(52, 199, 89);
    default:
        return std::nullopt;
    }
}

// The subject's own colour for the photo and mask, made once as the mask job
// would make it.
const cv::Mat& foreground()
{
    static const cv::Mat f = ForegroundEstimate::estimate(photo(), subjectMask());
    return f;
}

// What a Feather drag or a background change costs: the composite with the
// subject's colour in the edge, over every background.
void BM_CompositeWithForeground(benchmark::State& state)
{
    const double feather = double(state.range(0));
    const std::optional<QColor> bg = background(int(state.range(1)));
    const cv::Mat& f = foreground();
    for (auto _ : state) {
        std::optional<QImage> out = Compositor::composite(photo(), subjectMask(), f, feather, bg);
        benchmark::DoNotOptimize(out);
    }
    state.SetLabel(bg ? bg->name().toStdString() : "clear");
}

// The estimate itself, once per mask in the mask job: at the full 2560 x 1920
// and at the subject analysis's working size (shorter side 1024).
void BM_ForegroundEstimate(benchmark::State& state)
{
    const cv::Size size(int(state.range(0)), int(state.range(1)));
    QImage image = photo();
    cv::Mat mask = subjectMask();
    if (size != mask.size()) {
        image =
            image.scaled(size.width, size.height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        cv::resize(subjectMask(), mask, size, 0, 0, cv::INTER_AREA);
    }
    for (auto _ : state) {
        cv::Mat f = ForegroundEstimate::estimate(image, mask);
        benchmark::DoNotOptimize(f.data);
    }
}

// Making a kept mask solid inside, once per mask in the mask job beside the
// estimate: a subject whose middle the network doubted (a ghosted band
// between sure parts).
void BM_SolidInterior(benchmark::State& state)
{
    cv::Mat mask = subjectMask().clone();
    cv::Mat doubted = mask(cv::Rect(700, 900, 1200, 300));
    doubted.setTo(170, doubted > 200);
    for (auto _ : state) {
        cv::Mat solid = SolidInterior::solid(mask);
        benchmark::DoNotOptimize(solid.data);
    }
}

void BM_Composite(benchmark::State& state)
{
    const double feather = double(state.range(0));
    const std::optional<QColor> bg = background(int(state.range(1)));
    for (auto _ : state) {
        std::optional<QImage> out = Compositor::composite(photo(), subjectMask(), feather, bg);
        benchmark::DoNotOptimize(out);
    }
    state.SetLabel(bg ? bg->name().toStdString() : "clear");
}

// The baseline: the exact Gaussian from OpenCV (edges replicated), then the
// same blend.
void BM_CompositeWithExactGaussian(benchmark::State& state)
{
    const double sigma = Compositor::featherSigma(kSize, double(state.range(0)));
    for (auto _ : state) {
        cv::Mat blurred;
        cv::GaussianBlur(subjectMask(), blurred, cv::Size(0, 0), sigma, sigma,
                         cv::BORDER_REPLICATE);
        QImage out = MaskBlend::blend(photo(), blurred, std::nullopt);
        benchmark::DoNotOptimize(out);
    }
}

void BM_FeatherOnly(benchmark::State& state)
{
    const double sigma = Compositor::featherSigma(kSize, double(state.range(0)));
    for (auto _ : state) {
        cv::Mat out = MaskFeather::blurred(subjectMask(), sigma);
        benchmark::DoNotOptimize(out.data);
    }
}

void BM_ExactGaussianOnly(benchmark::State& state)
{
    const double sigma = Compositor::featherSigma(kSize, double(state.range(0)));
    for (auto _ : state) {
        cv::Mat out;
        cv::GaussianBlur(subjectMask(), out, cv::Size(0, 0), sigma, sigma, cv::BORDER_REPLICATE);
        benchmark::DoNotOptimize(out.data);
    }
}

const QByteArray& photoJpeg4000()
{
    static const QByteArray bytes = [] {
        QImage img(4000, 3000, QImage::Format_RGB32);
        QPainter p(&img);
        QRadialGradient g(2000, 1500, 2200);
        g.setColorAt(0, QColor(250, 220, 180));
        g.setColorAt(0.6, QColor(40, 120, 60));
        g.setColorAt(1, QColor(10, 20, 90));
        p.fillRect(img.rect(), g);
        for (int i = 0; i < 400; ++i)
            p.fillRect(QRect((i * 7919) % 4000, (i * 104729) % 3000, 60, 40),
                       QColor::fromHsv((i * 37) % 360, 200, 200));
        p.end();
        QByteArray out;
        QBuffer buffer(&out);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "jpeg");
        writer.setQuality(90);
        writer.write(img);
        return out;
    }();
    return bytes;
}

void BM_Load4000x3000Jpeg(benchmark::State& state)
{
    const QByteArray& bytes = photoJpeg4000();
    for (auto _ : state) {
        std::optional<QImage> img = ImageIntake::loadData(bytes, 2560.0);
        benchmark::DoNotOptimize(img);
    }
}

void BM_PlainDecode4000x3000Jpeg(benchmark::State& state)
{
    const QByteArray& bytes = photoJpeg4000();
    for (auto _ : state) {
        QImage img = QImage::fromData(bytes, "jpeg");
        benchmark::DoNotOptimize(img);
    }
}

} // namespace

BENCHMARK(BM_CompositeWithForeground)
    ->ArgsProduct({{0, 1, 2, 3, 5, 10, 20}, {0, 1, 2, 3}})
    ->ArgNames({"feather", "bg"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ForegroundEstimate)
    ->Args({2560, 1920})
    ->Args({1365, 1024})
    ->ArgNames({"w", "h"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_SolidInterior)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Composite)
    ->ArgsProduct({{0, 1, 2, 3, 5, 10, 20}, {0, 1, 2, 3}})
    ->ArgNames({"feather", "bg"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_CompositeWithExactGaussian)
    ->Arg(5)
    ->Arg(20)
    ->ArgName("feather")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_FeatherOnly)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Arg(3)
    ->Arg(5)
    ->Arg(10)
    ->Arg(20)
    ->ArgName("feather")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ExactGaussianOnly)
    ->Arg(5)
    ->Arg(20)
    ->ArgName("feather")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Load4000x3000Jpeg)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainDecode4000x3000Jpeg)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv)
{
    // As the application does: see AllocatorTuning.h.
    tuneAllocatorForLargeImages();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
