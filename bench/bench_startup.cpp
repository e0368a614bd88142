// Where the networks' load goes: reading each ONNX file, building it on
// oneDNN (fusions, primitives, weights reordered), its first pass (the
// working buffer made and touched) against a second, the finders' own
// load (with their check pass), and the whole load as the programs do it.
//
//   build/bench/bench_startup --benchmark_repetitions=3
//
// Needs the installed networks; each benchmark skips without its file.
// The whole process, load and one photo, is bench/startup.py's.
#include "DnnlNetwork.h"
#include "ModelFiles.h"
#include "ObjectDetector.h"
#include "OnDeviceVision.h"
#include "PoseEstimator.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>

namespace {

const char* const kNetworks[] = {"isnet.onnx", "nanodet.onnx", "movenet-multipose.onnx"};

QString networkPath(const benchmark::State& state)
{
    return ModelFiles::locate(QString::fromLatin1(kNetworks[state.range(0)]));
}

void BM_ReadGraph(benchmark::State& state)
{
    const QString path = networkPath(state);
    if (path.isEmpty())
        return state.SkipWithError("network not installed");
    state.SetLabel(kNetworks[state.range(0)]);
    for (auto _ : state)
        benchmark::DoNotOptimize(OnnxGraph::read(path));
}

void BM_BuildNetwork(benchmark::State& state)
{
    const QString path = networkPath(state);
    if (path.isEmpty())
        return state.SkipWithError("network not installed");
    state.SetLabel(kNetworks[state.range(0)]);
    for (auto _ : state) {
        state.PauseTiming();
        OnnxGraph graph = OnnxGraph::read(path);
        state.ResumeTiming();
        benchmark::DoNotOptimize(DnnlNetwork::build(std::move(graph)));
    }
}

// The first pass of a fresh network (range 1 = 0), or a later one (1).
void BM_Pass(benchmark::State& state)
{
    const QString path = networkPath(state);
    if (path.isEmpty())
        return state.SkipWithError("network not installed");
    const bool later = state.range(1) != 0;
    state.SetLabel(std::string(kNetworks[state.range(0)]) +
                   (later ? ", later pass" : ", first pass"));
    for (auto _ : state) {
        state.PauseTiming();
        OnnxGraph graph = OnnxGraph::read(path);
        std::vector<cv::Mat> inputs;
        for (const OnnxGraph::Input& input : graph.inputs) {
            const std::vector<int> sizes(input.dims.begin(), input.dims.end());
            inputs.emplace_back(int(sizes.size()), sizes.data(), CV_32F, cv::Scalar(0.5));
        }
        auto network = DnnlNetwork::build(std::move(graph));
        if (later)
            network->forward(inputs);
        state.ResumeTiming();
        benchmark::DoNotOptimize(network->forward(inputs));
    }
}

void BM_LoadFinders(benchmark::State& state)
{
    if (ObjectDetector::defaultPath().isEmpty() || PoseEstimator::defaultPath().isEmpty())
        return state.SkipWithError("finders not installed");
    for (auto _ : state) {
        benchmark::DoNotOptimize(ObjectDetector::load(ObjectDetector::defaultPath()));
        benchmark::DoNotOptimize(PoseEstimator::load(PoseEstimator::defaultPath()));
    }
}

// All three, as the tray app and vantel-cut load them.
void BM_LoadAll(benchmark::State& state)
{
    if (OnDeviceVision::defaultNetworkPath().isEmpty())
        return state.SkipWithError("network not installed");
    for (auto _ : state) {
        OnDeviceVision vision(OnDeviceVision::defaultNetworkPath());
        vision.startLoading();
        vision.waitForLoading();
    }
}

BENCHMARK(BM_ReadGraph)->DenseRange(0, 2)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BuildNetwork)->DenseRange(0, 2)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pass)->ArgsProduct({{0, 1, 2}, {0, 1}})->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadFinders)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadAll)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
