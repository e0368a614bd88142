// Quality of the vision layer on the shared evaluation photos
// (../shared/evaldata next to the repository).
//
//   build/bench/eval_vision [--quick] [--out DIR] [--tune NAME=VALUE ...]
//
// Every grabcut and davis photo goes through one forward pass of the
// network. From that matte come the app's mask of all subjects (the very
// split OnDeviceVision runs) and the plain recipe (the matte resized
// bilinearly to the image, nothing else), each scored against the ground
// truth: IoU of the mask at one half, and the mean absolute error of the soft
// mask; grabcut's uncertain band (128) is left out. Single-subject davis
// frames must not come apart (the over-split rate). A picture of each
// photo's subjects goes to DIR (/tmp/vantel-eval). --quick: a few photos.
// --tune sets one of SubjectTuning's values by name (split.gapShare=0.02),
// so a rule's number can be tried without a rebuild.
//
// Every forward pass takes seconds: this is a bench command, not a test.
#include "AllocatorTuning.h"
#include "ImageIntake.h"
#include "OnDeviceVision.h"
#include "SegmentationNetwork.h"
#include "VantelError.h"

#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

const QString kEvalDir = QStringLiteral(VANTEL_SOURCE_DIR "/../shared/evaldata");

struct Quality
{
    double iou = 0;
    double mae = 0;
};

// `soft`: CV_8U mask, 255 subject. `truth`: 0 / 255, 128 left out.
Quality score(const cv::Mat& soft, const cv::Mat& truth)
{
    const cv::Mat counted = truth != 128;
    const cv::Mat subject = (truth > 128) & counted;
    const cv::Mat ours = (soft >= 128) & counted;
    cv::Mat error;
    cv::absdiff(soft, subject, error);
    const double n = std::max(1, cv::countNonZero(counted));
    const int either = cv::countNonZero(subject | ours);
    return {either ? cv::countNonZero(subject & ours) / double(either) : 1.0,
            cv::sum(error)[0] / 255.0 / n};
}

// The subjects over the dimmed photo, each in a colour of its own.
cv::Mat picture(const cv::Mat& bgr, const InstanceMask& subjects)
{
    cv::Mat labels, out;
    cv::resize(subjects.labels, labels, bgr.size(), 0, 0, cv::INTER_NEAREST);
    out = bgr * 0.4;
    for (int label = 1; label <= subjects.count; ++label) {
        const cv::Scalar colour((label * 97) % 256, (label * 57 + 80) % 256,
                                (label * 37 + 160) % 256);
        cv::Mat layer(bgr.size(), bgr.type(), colour);
        cv::addWeighted(out, 0.3, layer, 0.7, 0, layer);
        layer.copyTo(out, labels == label);
    }
    return out;
}

struct Totals
{
    Quality ours, plain;
    double forward = 0, split = 0;
    int photos = 0;
};

} // namespace

int main(int argc, char** argv)
{
    tuneAllocatorForLargeImages();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    bool quick = false;
    SubjectTuning tuning;
    QString outDir = QStringLiteral("/tmp/vantel-eval");
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--quick")) {
            quick = true;
        } else if (args[i] == QLatin1String("--out") && i + 1 < args.size()) {
            outDir = args[++i];
        } else if (args[i] == QLatin1String("--tune") && i + 1 < args.size()) {
            const QStringList nameValue = args[++i].split(QLatin1Char('='));
            bool number = false;
            const double value = nameValue.value(1).toDouble(&number);
            if (nameValue.size() != 2 || !number ||
                !tuning.set(nameValue[0].toStdString(), value)) {
                std::fprintf(stderr, "eval_vision: no tuning value %s; there are:\n",
                             qPrintable(args[i]));
                for (const std::string& name : SubjectTuning::names())
                    std::fprintf(stderr, "  %s\n", name.c_str());
                return 2;
            }
        } else {
            std::fprintf(stderr,
                         "usage: eval_vision [--quick] [--out DIR] [--tune NAME=VALUE ...]\n");
            return 2;
        }
    }
    if (!QFileInfo(kEvalDir).isDir()) {
        std::fprintf(stderr, "eval_vision: no evaluation photos at %s\n", qPrintable(kEvalDir));
        return 1;
    }
    std::unique_ptr<SegmentationNetwork> network;
    try {
        network = SegmentationNetwork::load(OnDeviceVision::defaultNetworkPath());
    } catch (const VantelError& e) {
        std::fprintf(stderr, "eval_vision: %s (run scripts/setup)\n", e.what());
        return 1;
    }
    QDir().mkpath(outDir);

    int singleFrames = 0, overSplit = 0;
    for (const QString& set : {QStringLiteral("grabcut"), QStringLiteral("davis")}) {
        Totals totals;
        const QDir images(kEvalDir + QLatin1Char('/') + set + QStringLiteral("/images"));
        QStringList files = images.entryList(QDir::Files, QDir::Name);
        if (quick)
            files = files.mid(0, 3);
        for (const QString& file : files) {
            const QString id = QFileInfo(file).completeBaseName();
            const auto image = ImageIntake::load(QUrl::fromLocalFile(images.filePath(file)), 2560);
            const cv::Mat truth =
                cv::imread(qPrintable(kEvalDir + QStringLiteral("/%1/masks/%2.png").arg(set, id)),
                           cv::IMREAD_GRAYSCALE);
            if (!image || truth.empty() || truth.cols != image->width() ||
                truth.rows != image->height()) {
                std::printf("%s/%s: photo and mask do not match, left out\n", qPrintable(set),
                            qPrintable(id));
                continue;
            }
            QElapsedTimer timer;
            timer.start();
            const cv::Mat matte = network->matte(*image);
            const double forward = timer.nsecsElapsed() / 1e9;
            timer.restart();
            const InstanceMask subjects =
                OnDeviceVision::subjectsIn(*image, matte, nullptr, nullptr, tuning);
            const cv::Mat ours = subjects.scaledMask(subjects.allInstances(), truth.size());
            const double split = timer.nsecsElapsed() / 1e9;

            cv::Mat plain;
            cv::resize(matte, plain, truth.size(), 0, 0, cv::INTER_LINEAR);
            plain.convertTo(plain, CV_8U, 255.0);
            const Quality q = score(ours, truth), p = score(plain, truth);
            totals.ours.iou += q.iou;
            totals.ours.mae += q.mae;
            totals.plain.iou += p.iou;
            totals.plain.mae += p.mae;
            totals.forward += forward;
            totals.split += split;
            ++totals.photos;
            std::printf("%s/%-16s IoU %.3f (plain %.3f)  MAE %.4f (plain %.4f)  %d subject(s)\n",
                        qPrintable(set), qPrintable(id), q.iou, p.iou, q.mae, p.mae,
                        subjects.count);

            const cv::Mat instances = cv::imread(
                qPrintable(kEvalDir + QStringLiteral("/%1/instances/%2.png").arg(set, id)),
                cv::IMREAD_GRAYSCALE);
            if (!instances.empty()) {
                double most = 0;
                cv::minMaxLoc(instances, nullptr, &most);
                if (most == 1) {
                    ++singleFrames;
                    overSplit += subjects.count > 1;
                }
            }
            const cv::Mat bgr = cv::imread(qPrintable(images.filePath(file)), cv::IMREAD_COLOR);
            if (!bgr.empty())
                cv::imwrite(qPrintable(QDir(outDir).filePath(set + QLatin1Char('_') + id +
                                                             QStringLiteral(".labels.png"))),
                            picture(bgr, subjects));
        }
        const double n = std::max(1, totals.photos);
        std::printf("== %s, %d photos: IoU %.4f (plain %.4f)  MAE %.4f (plain %.4f)  "
                    "forward %.2f s, split %.3f s a photo\n",
                    qPrintable(set), totals.photos, totals.ours.iou / n, totals.plain.iou / n,
                    totals.ours.mae / n, totals.plain.mae / n, totals.forward / n,
                    totals.split / n);
    }
    std::printf("== single-subject davis frames split apart: %d of %d\nPictures in %s\n", overSplit,
                singleFrames, qPrintable(outDir));
    return 0;
}
