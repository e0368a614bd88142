// The mask job after a click, with the subject's own colour: the selected
// subject's mask at 2560 x 1920 from the real network's analysis, then its
// foreground estimate, as the job makes and caches them. Needs
// ../shared/evaldata and the installed network (skipped otherwise).
//
//   build/bench/bench_foreground --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include "AllocatorTuning.h"
#include "ForegroundEstimate.h"
#include "OnDeviceVision.h"
#include "SubjectAnalysis.h"

#include <QFile>
#include <benchmark/benchmark.h>

namespace {

QString photoPath()
{
    const QString path =
        QStringLiteral(VANTEL_SOURCE_DIR "/../shared/evaldata/multi/yolov5_zidane.jpg");
    return QFile::exists(path) ? path : QString();
}

const QImage& photo()
{
    static const QImage image =
        QImage(photoPath())
            .convertToFormat(QImage::Format_RGBA8888)
            .scaled(2560, 1920, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image;
}

std::shared_ptr<const SubjectAnalysis> analysis()
{
    static const std::shared_ptr<const SubjectAnalysis> a =
        []() -> std::shared_ptr<const SubjectAnalysis> {
        if (photoPath().isEmpty() || !OnDeviceVision::shared().instanceMasksAvailable())
            return nullptr;
        return SubjectAnalysis::analyze(photo());
    }();
    return a;
}

// range(0): 0 the mask alone (today's job), 1 the mask and its estimate.
void BM_MaskJob(benchmark::State& state)
{
    const auto a = analysis();
    if (!a) {
        state.SkipWithError("needs ../shared/evaldata and the installed network");
        return;
    }
    const bool withForeground = state.range(0) != 0;
    int64_t label = 1;
    for (auto _ : state) {
        const cv::Mat mask = a->mask(label);
        cv::Mat foreground;
        if (withForeground)
            foreground = ForegroundEstimate::estimate(photo(), mask);
        benchmark::DoNotOptimize(foreground.data);
        label = label == 1 ? 2 : 1;
    }
    state.SetLabel(withForeground ? "mask and foreground" : "mask");
}

} // namespace

BENCHMARK(BM_MaskJob)->Arg(0)->Arg(1)->ArgName("foreground")->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv)
{
    tuneAllocatorForLargeImages();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
