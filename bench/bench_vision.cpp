// Speed and memory of the vision layer, in one process and one run:
// loading the network (and the object and pose finders), whole analyses of
// a large photo (2560 x 1920, an evaluation photo upscaled) and of a video
// frame (854 x 480), the subject split, the finders and the sharing of the
// matte among what they find alone, the plain recipe's forward pass on a
// separately loaded OpenCV net (blobFromImage and forward, no
// post-processing) as the baseline, whichever engine the service runs (the
// header says which; ONEDNN_MAX_CPU_ISA=AVX2 holds oneDNN to AVX2), masks
// made from a finished analysis (the whole, a share of the matte, a cut of
// its own), a box pass (the network again over a drawn box), and the peak
// memory of each analysis.
//
//   build/bench/bench_vision [--runs N]     (default 3 rounds of the passes)
//
// Needs the installed network and ../shared/evaldata; skips without them.
// Peak memory is VmHWM from /proc/self/status, reset before each measured
// step through /proc/self/clear_refs, so each figure is that step's own peak;
// it is measured before the other networks are loaded. The first analysis
// includes the network's set-up (its working buffers stay allocated).
#include "AllocatorTuning.h"
#include "BoxPass.h"
#include "ImageIntake.h"
#include "MatView.h"
#include "MatteSplit.h"
#include "OnDeviceVision.h"
#include "OwnMask.h"
#include "SegmentationNetwork.h"
#include "SubjectAnalysis.h"
#include "SubjectSharing.h"
#include "VantelError.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

namespace {

const QString kEvalDir = QStringLiteral(VANTEL_SOURCE_DIR "/../shared/evaldata");

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// ----- memory -----

// A field of /proc/self/status in MiB; -1 where unreadable.
double statusMiB(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return -1;
}

// Resets VmHWM to the current resident size; false where the kernel does not allow it.
bool resetPeak()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    return refs.open(QIODevice::WriteOnly) && refs.write("5") == 1;
}

struct Memory
{
    QString step;
    double before = -1; // resident MiB before the step
    double peak = -1;   // highest resident MiB during it
    double after = -1;
};

std::vector<Memory> g_memory;
bool g_peakResets = true;

// Runs `step` once, recording its own peak resident size.
void measured(const QString& name, const std::function<void()>& step)
{
    Memory m;
    m.step = name;
    m.before = statusMiB("VmRSS");
    g_peakResets = resetPeak() && g_peakResets;
    step();
    m.peak = statusMiB("VmHWM");
    m.after = statusMiB("VmRSS");
    g_memory.push_back(m);
}

// ----- timing -----

struct Timing
{
    QString what;
    std::vector<double> runs; // seconds
};

std::vector<Timing> g_timings;

void record(const QString& what, std::vector<double> runs)
{
    g_timings.push_back({what, std::move(runs)});
}

std::vector<double> timed(int runs, const std::function<void()>& step)
{
    std::vector<double> out;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        step();
        out.push_back(seconds(start));
    }
    return out;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0.0 : (n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2);
}

std::string formatSeconds(double s)
{
    char buffer[32];
    if (s < 0.1)
        std::snprintf(buffer, sizeof buffer, "%.1f ms", s * 1000);
    else
        std::snprintf(buffer, sizeof buffer, "%.2f s", s);
    return buffer;
}

// ----- inputs -----

QImage upscaled(const QImage& image, QSize size)
{
    QImage out(size, QImage::Format_RGBA8888);
    cv::Mat view(out.height(), out.width(), CV_8UC4, out.bits(), size_t(out.bytesPerLine()));
    cv::resize(rgbaView(image), view, view.size(), 0, 0, cv::INTER_CUBIC);
    return out;
}

// The app's working matte and colours for an image, as OnDeviceVision makes them.
void workingInputs(const QImage& image, const cv::Mat& matte, cv::Mat* workingMatte, cv::Mat* rgb)
{
    const cv::Size working = MatteSplit::workingSize(image.size());
    const bool shrinking = working.width <= matte.cols && working.height <= matte.rows;
    cv::resize(matte, *workingMatte, working, 0, 0, shrinking ? cv::INTER_AREA : cv::INTER_LINEAR);
    cv::Mat small;
    cv::resize(rgbaView(image), small, working, 0, 0, cv::INTER_AREA);
    cv::cvtColor(small, *rgb, cv::COLOR_RGBA2RGB);
}

} // namespace

int main(int argc, char** argv)
{
    tuneAllocatorForLargeImages(); // as the app does
    QCoreApplication app(argc, argv);
    int runs = 3;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--runs") && i + 1 < args.size()) {
            runs = std::max(1, args[++i].toInt());
        } else {
            std::fprintf(stderr, "usage: bench_vision [--runs N]\n");
            return 2;
        }
    }

    const QString networkPath = OnDeviceVision::defaultNetworkPath();
    if (networkPath.isEmpty()) {
        std::printf("bench_vision: skipped, the network is not installed\n");
        return 0;
    }
    const auto small = ImageIntake::load(
        QUrl::fromLocalFile(kEvalDir + QStringLiteral("/davis/images/000.jpg")), 2560);
    const auto source = ImageIntake::load(
        QUrl::fromLocalFile(kEvalDir + QStringLiteral("/grabcut/images/music.jpg")), 2560);
    if (!small || !source) {
        std::printf("bench_vision: skipped, no evaluation photos at %s\n",
                    kEvalDir.toUtf8().constData());
        return 0;
    }
    const QImage large = upscaled(*source, QSize(2560, 1920));
    std::printf("Network %s (%.0f MB), %d threads\n", networkPath.toUtf8().constData(),
                QFileInfo(networkPath).size() / 1e6, cv::getNumThreads());
    std::printf("Large photo: grabcut/music %dx%d upscaled to %dx%d; frame: davis/000 %dx%d\n",
                source->width(), source->height(), large.width(), large.height(), small->width(),
                small->height());
    std::fflush(stdout);

    try {
        // The service as the app uses it: its network loads on a thread of
        // its own; the first analysis waits for it and sets the net up.
        OnDeviceVision vision(networkPath);
        measured(QStringLiteral("network load (OnDeviceVision)"), [&] {
            const auto start = Clock::now();
            vision.startLoading();
            if (!vision.instanceMasksAvailable())
                throw VantelError::platform(vision.unavailableReason());
            record(QStringLiteral("network load (OnDeviceVision, file cached)"), {seconds(start)});
        });

        std::shared_ptr<const SubjectAnalysis> largeAnalysis;
        measured(QStringLiteral("first analysis 2560x1920"), [&] {
            record(QStringLiteral("first analysis 2560x1920 (net set-up)"),
                   timed(1, [&] { largeAnalysis = SubjectAnalysis::analyze(large, vision); }));
        });
        // Each pass once more with its peak memory, then all of them in
        // turns, so the machine's drift (20% and more) falls on each alike.
        std::vector<double> analysisLarge, analysisSmall, forwardOurs, forwardPlain;
        measured(QStringLiteral("analysis 2560x1920"), [&] {
            analysisLarge =
                timed(1, [&] { largeAnalysis = SubjectAnalysis::analyze(large, vision); });
        });
        measured(QStringLiteral("analysis 854x480"), [&] {
            analysisSmall = timed(1, [&] { SubjectAnalysis::analyze(*small, vision); });
        });
        for (const QString& line : vision.engines())
            std::printf("Engine, %s\n", qPrintable(line));
        std::printf("Subjects in the large photo: %zu (finders %s)\n",
                    largeAnalysis->instances.size(),
                    vision.findersAvailable() ? "loaded" : "missing: the matte alone");

        measured(QStringLiteral("mask 2560x1920, all and one"), [&] {
            record(QStringLiteral("mask(all) 2560x1920"),
                   timed(20, [&] { largeAnalysis->mask(std::nullopt); }));
            record(QStringLiteral("mask(1) 2560x1920"), timed(20, [&] { largeAnalysis->mask(1); }));
            // A subject with a cut of its own: the first mask makes it.
            const InstanceMask& subjects = *largeAnalysis->subjects;
            for (size_t i = 0; i < subjects.info.size(); ++i) {
                if (!subjects.info[i].own)
                    continue;
                const int64_t label = int64_t(i + 1);
                record(QStringLiteral("first mask(%1) 2560x1920, cut %2x%3")
                           .arg(label)
                           .arg(subjects.info[i].own->roi().width)
                           .arg(subjects.info[i].own->roi().height),
                       timed(1, [&] { largeAnalysis->mask(label); }));
                record(QStringLiteral("  again"), timed(20, [&] { largeAnalysis->mask(label); }));
                break;
            }
        });
        // A box drawn around a third of the photo: one more pass of the
        // network over it, beside the analysis of the same run above.
        measured(QStringLiteral("box pass 2560x1920"), [&] {
            const cv::Rect box(large.width() / 3, large.height() / 3, large.width() / 3,
                               large.height() / 3);
            record(QStringLiteral("box pass (a third of 2560x1920)"),
                   timed(3, [&] { BoxPass::mask(vision, large, box); }));
        });

        // The network alone, on a SegmentationNetwork of its own.
        std::unique_ptr<SegmentationNetwork> network;
        record(QStringLiteral("SegmentationNetwork::load (file cached)"),
               timed(1, [&] { network = SegmentationNetwork::load(networkPath); }));
        network->matte(large); // set-up pass, not timed
        record(QStringLiteral("SegmentationNetwork::inputBlob 2560x1920"),
               timed(5, [&] { SegmentationNetwork::inputBlob(large); }));

        // The plain recipe on a net of its own: blobFromImage (BGR in,
        // swapped to RGB, (pixel - 128) / 256, bilinear to 1024 x 1024),
        // the forward pass, and the matte resized to the image.
        cv::dnn::Net plain;
        record(QStringLiteral("plain: readNetFromONNX (file cached)"), timed(1, [&] {
                   plain = cv::dnn::readNetFromONNX(networkPath.toStdString());
                   plain.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
                   plain.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
               }));
        cv::Mat bgr;
        cv::cvtColor(rgbaView(large), bgr, cv::COLOR_RGBA2BGR);
        auto plainPass = [&] {
            const cv::Mat blob = cv::dnn::blobFromImage(bgr, 1.0 / 256, cv::Size(1024, 1024),
                                                        cv::Scalar(128, 128, 128), true, false);
            plain.setInput(blob, "input");
            const cv::Mat out = plain.forward("output");
            cv::Mat mask;
            cv::resize(cv::Mat(1024, 1024, CV_32F, const_cast<float*>(out.ptr<float>())), mask,
                       bgr.size(), 0, 0, cv::INTER_LINEAR);
        };
        plainPass(); // set-up pass, not timed

        // Each round times all four once, in turn forwards and backwards so
        // that none is always first after another; the ratio of the large
        // analysis to the plain pass is taken within each round.
        cv::Mat matte;
        std::vector<double> ratios;
        for (int run = 0; run < runs; ++run) {
            double analysis = 0, forward = 0;
            const std::vector<std::function<void()>> passes{
                [&] {
                    analysis = timed(
                        1, [&] { largeAnalysis = SubjectAnalysis::analyze(large, vision); })[0];
                    analysisLarge.push_back(analysis);
                },
                [&] {
                    analysisSmall.push_back(
                        timed(1, [&] { SubjectAnalysis::analyze(*small, vision); })[0]);
                },
                [&] { forwardOurs.push_back(timed(1, [&] { matte = network->matte(large); })[0]); },
                [&] {
                    forward = timed(1, plainPass)[0];
                    forwardPlain.push_back(forward);
                },
            };
            for (size_t i = 0; i < passes.size(); ++i)
                passes[run % 2 ? passes.size() - 1 - i : i]();
            ratios.push_back(analysis / forward);
        }
        record(QStringLiteral("analysis 2560x1920"), analysisLarge);
        record(QStringLiteral("analysis 854x480"), analysisSmall);
        record(QStringLiteral("SegmentationNetwork::matte 2560x1920"), forwardOurs);
        record(QStringLiteral("plain: blob + forward + resize 2560x1920"), forwardPlain);
        const auto [fewest, most] = std::minmax_element(ratios.begin(), ratios.end());
        std::printf("Analysis 2560x1920 / plain pass, within each round: median %.3f (%.3f to "
                    "%.3f, %zu rounds)\n",
                    median(ratios), *fewest, *most, ratios.size());

        // The subject split alone, with and without the face search.
        auto timeSplit = [&](const QImage& image, const cv::Mat& imageMatte) {
            cv::Mat workingMatte, rgb;
            workingInputs(image, imageMatte, &workingMatte, &rgb);
            record(QStringLiteral("MatteSplit::split %1x%2")
                       .arg(workingMatte.cols)
                       .arg(workingMatte.rows),
                   timed(5, [&] { MatteSplit::split(workingMatte, rgb); }));
            record(QStringLiteral("  the same without the face search"),
                   timed(5, [&] { MatteSplit::split(workingMatte, cv::Mat()); }));
        };
        timeSplit(large, matte);
        timeSplit(*small, network->matte(*small));

        // Mattes of many fragments, at working size: isolated pixels two
        // apart (350 000 pieces), and an 8-pixel checkerboard.
        const cv::Size working = MatteSplit::workingSize(large.size());
        cv::Mat dots = cv::Mat::zeros(working, CV_32F);
        cv::Mat checkers = cv::Mat::zeros(working, CV_32F);
        for (int y = 0; y < working.height; ++y) {
            for (int x = 0; x < working.width; ++x) {
                if (x % 2 == 0 && y % 2 == 0)
                    dots.at<float>(y, x) = 1.f;
                if ((x / 8 + y / 8) % 2 == 0)
                    checkers.at<float>(y, x) = 1.f;
            }
        }
        record(QStringLiteral("MatteSplit::split %1x%2, isolated pixels")
                   .arg(working.width)
                   .arg(working.height),
               timed(1, [&] { MatteSplit::split(dots, cv::Mat()); }));
        record(QStringLiteral("  an 8-pixel checkerboard"),
               timed(1, [&] { MatteSplit::split(checkers, cv::Mat()); }));
        // The same dust around one large piece, which each grain may join.
        cv::Mat dusty = dots.clone();
        dusty(
            cv::Rect(working.width / 4, working.height / 4, working.width / 2, working.height / 2))
            .setTo(1.f);
        record(QStringLiteral("  isolated pixels around a large piece"),
               timed(1, [&] { MatteSplit::split(dusty, cv::Mat()); }));

        // The finders on the working-size image, and the sharing of the
        // matte among what they find.
        const QString objectsPath = ObjectDetector::defaultPath();
        const QString posesPath = PoseEstimator::defaultPath();
        if (!objectsPath.isEmpty() && !posesPath.isEmpty()) {
            const auto objects = ObjectDetector::load(objectsPath);
            const auto poses = PoseEstimator::load(posesPath);
            for (const QImage* image : {&large, &*small}) {
                const cv::Mat imageMatte = network->matte(*image);
                cv::Mat workingMatte, rgb;
                workingInputs(*image, imageMatte, &workingMatte, &rgb);
                cv::Mat rgba;
                cv::cvtColor(rgb, rgba, cv::COLOR_RGB2RGBA);
                const QString size = QStringLiteral("%1x%2").arg(rgb.cols).arg(rgb.rows);
                objects->detect(rgba); // set-up passes, not timed
                poses->detect(rgba);
                std::vector<DetectedObject> found;
                std::vector<DetectedPose> people;
                record(QStringLiteral("ObjectDetector::detect %1").arg(size), timed(5, [&] {
                           found = objects->detect(rgba, SubjectTuning{}.scene.minFaintScore);
                       }));
                record(QStringLiteral("PoseEstimator::detect %1").arg(size), timed(5, [&] {
                           people = poses->detect(rgba, SubjectTuning{}.scene.minPoseScore);
                       }));
                const InstanceMask pieces = MatteSplit::split(workingMatte, cv::Mat());
                record(QStringLiteral("SubjectSharing::split %1 (%2 finds, %3 people)")
                           .arg(size)
                           .arg(found.size())
                           .arg(people.size()),
                       timed(5, [&] { SubjectSharing::split(pieces, rgb, found, people); }));
            }
        }
    } catch (const VantelError& e) {
        std::fprintf(stderr, "bench_vision: %s\n", e.what());
        return 1;
    } catch (const cv::Exception& e) {
        std::fprintf(stderr, "bench_vision: %s\n", e.what());
        return 1;
    }

    const std::string line(84, '-');
    std::printf("\n%s\n%-46s %5s %10s %10s %10s\n%s\n", line.c_str(), "time", "runs", "median",
                "min", "max", line.c_str());
    for (const Timing& timing : g_timings) {
        const auto [lo, hi] = std::minmax_element(timing.runs.begin(), timing.runs.end());
        std::printf("%-46s %5zu %10s %10s %10s\n", timing.what.toUtf8().constData(),
                    timing.runs.size(), formatSeconds(median(timing.runs)).c_str(),
                    formatSeconds(*lo).c_str(), formatSeconds(*hi).c_str());
    }
    std::printf("%s\n\n%s\n%-46s %10s %10s %10s\n%s\n", line.c_str(), line.c_str(),
                "memory (resident MiB)", "before", "peak", "peak-bef.", line.c_str());
    for (const Memory& m : g_memory)
        std::printf("%-46s %10.0f %10.0f %10.0f\n", m.step.toUtf8().constData(), m.before, m.peak,
                    m.peak - m.before);
    std::printf("%s\n", line.c_str());
    if (!g_peakResets)
        std::printf("clear_refs was not writable: peaks are the process's peak so far.\n");
    return 0;
}
