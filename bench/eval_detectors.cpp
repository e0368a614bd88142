// Recall of the object detector on ../shared/evaldata/coco_multi: the share
// of annotated objects (one mask each, <id>.<category><nn>.png) that a box
// of the right class covers with IoU >= 0.5 at score >= 0.2. Prints the
// forward times too. Needs the installed nanodet.onnx; not part of CTest.
//
//   eval_detectors [EVALDATA_DIR]
#include "ObjectDetector.h"

#include <QDir>
#include <QRegularExpression>
#include <algorithm>
#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

int main(int argc, char** argv)
{
    const QString root = argc > 1 ? QString::fromLocal8Bit(argv[1])
                                  : QStringLiteral(VANTEL_SOURCE_DIR "/../shared/evaldata");
    const QDir dir(root + QStringLiteral("/coco_multi"));
    const auto detector = ObjectDetector::load(ObjectDetector::defaultPath());
    const QRegularExpression maskName(QStringLiteral("^(\\d+)\\.(.+)(\\d\\d)\\.png$"));

    int objects = 0, found = 0;
    std::vector<double> times;
    for (const QString& jpg : dir.entryList({QStringLiteral("*.jpg")}, QDir::Files, QDir::Name)) {
        const cv::Mat image = cv::imread(dir.filePath(jpg).toStdString());
        double ms = 0;
        const auto boxes = detector->detect(image, 0.2f, &ms);
        times.push_back(ms);
        const QString id = jpg.section(QLatin1Char('.'), 0, 0);
        for (const QString& png : dir.entryList({id + QStringLiteral(".*.png")}, QDir::Files)) {
            const auto m = maskName.match(png);
            if (!m.hasMatch())
                continue;
            const QString category = m.captured(2).replace(QLatin1Char('_'), QLatin1Char(' '));
            const cv::Mat mask = cv::imread(dir.filePath(png).toStdString(), cv::IMREAD_GRAYSCALE);
            const cv::Rect2f truth = cv::boundingRect(mask > 127);
            bool hit = false;
            for (const auto& b : boxes) {
                const float overlap = (b.box & truth).area();
                hit = hit || (b.className == category &&
                              overlap / (b.box.area() + truth.area() - overlap) >= 0.5f);
            }
            ++objects;
            found += hit;
            std::printf("%s %-14s %s\n", qPrintable(id), qPrintable(category),
                        hit ? "found" : "missed");
        }
    }
    std::sort(times.begin(), times.end());
    std::printf("recall %d / %d = %.2f; forward median %.0f ms\n", found, objects,
                objects ? double(found) / objects : 0.0,
                times.empty() ? 0.0 : times[times.size() / 2]);
    return 0;
}
