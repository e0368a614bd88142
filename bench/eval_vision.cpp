// Quality and subject evaluation of the vision layer on the shared evaluation
// photos (../shared/evaldata next to the repository; skipped when absent).
//
//   build/bench/eval_vision [--quick] [--pre-resize] [--out DIR]
//
// Quality: every grabcut and davis photo goes through the pipeline the app
// uses (SubjectAnalysis over the network and MatteSubjects, then the mask of
// all subjects) and through the plain recipe (the network's 1024 x 1024 matte
// resized bilinearly to the image, nothing else). Both come from the same
// forward pass; a check at the start makes sure the replayed pipeline gives
// what OnDeviceVision itself gives. Scores: IoU of the mask at one half, and
// the mean absolute error of the soft mask; grabcut's uncertain band (128)
// is left out.
//
// Subjects: single-subject davis frames must not come apart (over-split
// rate); annotated subjects that stand apart must get different labels at a
// point well inside each. Few annotated pairs stand apart in the network's
// matte, so made-up groups add some: photos the network gets right, each
// beside smaller mirrored copies of itself a few pixels away. Label pictures
// go to DIR (/tmp/vantel-eval).
//
// --pre-resize: also compares the network input's resize from large photos
// (area averaging, as the app does, against bilinear), on the quality photos
// upscaled so both sides exceed 1024. Two more forward passes per photo.
// --quick: a few photos only, for a smoke run.
//
// Every forward pass takes seconds: this is a bench command, not a test.
#include "AllocatorTuning.h"
#include "Compositor.h"
#include "MatView.h"
#include "MatteObservation.h"
#include "MatteSubjects.h"
#include "OnDeviceVision.h"
#include "SegmentationNetwork.h"
#include "SubjectAnalysis.h"
#include "VantelError.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPainter>
#include <QRegularExpression>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

namespace {

const QString kEvalDir = QStringLiteral(VANTEL_SOURCE_DIR "/../shared/evaldata");
constexpr double kMaxSide = 2560.0;

// ---------------------------------------------------------------------------
// The pipeline, replayed so the network's matte can be kept for the plain
// recipe. Everything after the forward pass is what OnDeviceVision does.

class RecordingVision final : public VisionService
{
public:
    explicit RecordingVision(std::shared_ptr<SegmentationNetwork> network)
        : m_network(std::move(network))
    {
    }

    // When set, the image is brought to the network's 1024 x 1024 with this
    // interpolation first (the network's own resize then has nothing to do).
    int inputResize = -1;

    cv::Mat lastMatte; // CV_32F, 1024 x 1024, of the last image
    double forwardSeconds = 0;
    double splitSeconds = 0;

    bool instanceMasksAvailable() override { return true; }

    std::vector<std::shared_ptr<const InstanceMaskObservation>>
    generateForegroundInstanceMask(const QImage& image) override
    {
        const QImage rgba = image.format() == QImage::Format_RGBA8888
                                ? image
                                : image.convertToFormat(QImage::Format_RGBA8888);
        const cv::Mat view(rgba.height(), rgba.width(), CV_8UC4,
                           const_cast<uchar*>(rgba.constBits()), size_t(rgba.bytesPerLine()));
        QElapsedTimer timer;
        timer.start();
        if (inputResize >= 0) {
            const int side = SegmentationNetwork::inputSide;
            QImage input(side, side, QImage::Format_RGBA8888);
            cv::Mat out(side, side, CV_8UC4, input.bits(), size_t(input.bytesPerLine()));
            cv::resize(view, out, out.size(), 0, 0, inputResize);
            lastMatte = m_network->matte(input);
        } else {
            lastMatte = m_network->matte(rgba);
        }
        forwardSeconds = timer.nsecsElapsed() / 1e9;
        timer.restart();

        auto observation = OnDeviceVision::subjectsIn(rgba, lastMatte);
        splitSeconds = timer.nsecsElapsed() / 1e9;
        return {observation};
    }

    std::vector<cv::Mat> generatePersonSegmentation(const QImage&) override
    {
        throw VantelError::platform(QStringLiteral("person segmentation is not evaluated"));
    }

private:
    std::shared_ptr<SegmentationNetwork> m_network;
};

// ---------------------------------------------------------------------------
// Reading ground truth.

cv::Mat toMat(const QImage& grey)
{
    cv::Mat out(grey.height(), grey.width(), CV_8UC1);
    for (int y = 0; y < grey.height(); ++y)
        std::copy_n(grey.constScanLine(y), grey.width(), out.ptr<uchar>(y));
    return out;
}

// A grey mask (0, 255, and 128 for grabcut's uncertain band); empty if unreadable.
cv::Mat readMask(const QString& path)
{
    const QImage image(path);
    if (image.isNull())
        return {};
    return toMat(image.convertToFormat(QImage::Format_Grayscale8));
}

// An id map: palette indices where the file has a palette, grey values otherwise.
cv::Mat readIds(const QString& path)
{
    const QImage image(path);
    if (image.isNull())
        return {};
    if (image.format() == QImage::Format_Indexed8)
        return toMat(image);
    return toMat(image.convertToFormat(QImage::Format_Grayscale8));
}

// ---------------------------------------------------------------------------
// Scores.

struct Quality
{
    double iou = 0;
    double mae = 0;
};

// `soft`: CV_8U mask, 255 subject. `truth`: 0 / 255, 128 left out.
Quality score(const cv::Mat& soft, const cv::Mat& truth)
{
    CV_Assert(soft.size() == truth.size() && soft.type() == CV_8UC1 && truth.type() == CV_8UC1);
    int64_t both = 0, either = 0, counted = 0;
    double error = 0;
    for (int y = 0; y < soft.rows; ++y) {
        const uchar* s = soft.ptr<uchar>(y);
        const uchar* t = truth.ptr<uchar>(y);
        for (int x = 0; x < soft.cols; ++x) {
            if (t[x] == 128)
                continue;
            const bool subject = t[x] > 128;
            const bool ours = s[x] >= 128;
            both += subject && ours;
            either += subject || ours;
            error += std::abs(s[x] / 255.0 - (subject ? 1.0 : 0.0));
            ++counted;
        }
    }
    Quality q;
    q.iou = either ? double(both) / double(either) : 1.0;
    q.mae = counted ? error / double(counted) : 0.0;
    return q;
}

// The plain recipe: the network's matte straight to the image's size.
cv::Mat plainMask(const cv::Mat& matte, cv::Size size)
{
    cv::Mat resized, out;
    cv::resize(matte, resized, size, 0, 0, cv::INTER_LINEAR);
    resized.convertTo(out, CV_8U, 255.0);
    return out;
}

// ---------------------------------------------------------------------------
// Subjects.

struct Annotated
{
    QString name;
    cv::Mat mask; // CV_8U, 255 inside
};

std::vector<Annotated> subjectsFromIds(const cv::Mat& ids)
{
    std::vector<Annotated> out;
    for (int id = 1; id < 256; ++id) {
        const cv::Mat mask = ids == id;
        if (cv::countNonZero(mask) > 0)
            out.push_back({QString::number(id), mask});
    }
    return out;
}

// A point well inside a mask: where it is farthest from its edge (the frame
// counts as an edge).
cv::Point innerPoint(const cv::Mat& mask)
{
    cv::Mat padded, distance;
    cv::copyMakeBorder(mask, padded, 1, 1, 1, 1, cv::BORDER_CONSTANT, cv::Scalar(0));
    cv::distanceTransform(padded, distance, cv::DIST_L2, cv::DIST_MASK_5);
    cv::Point best;
    cv::minMaxLoc(distance, nullptr, nullptr, nullptr, &best);
    return best - cv::Point(1, 1);
}

// Subjects whose masks, each grown by this many pixels, meet.
constexpr int kTouchRadius = 3;

bool touching(const cv::Mat& a, const cv::Mat& b)
{
    const cv::Mat kernel = cv::getStructuringElement(
        cv::MORPH_ELLIPSE, cv::Size(2 * kTouchRadius + 1, 2 * kTouchRadius + 1));
    cv::Mat ga, gb;
    cv::dilate(a, ga, kernel);
    cv::dilate(b, gb, kernel);
    return cv::countNonZero(ga & gb) > 0;
}

struct PairResult
{
    QString a, b;
    bool touch = false;
    // Both inner points in one confident piece of the network's matte: the
    // matte itself joins them (through another subject, say), so only the
    // split between people could part them.
    bool onePiece = false;
    // Whether the network's own matte is at least one half at each point.
    bool coveredA = true, coveredB = true;
    int64_t labelA = 0, labelB = 0;
    bool apartOk() const { return labelA != 0 && labelB != 0 && labelA != labelB; }
    // A point reads background because the network's matte misses it.
    bool networkMissed() const { return (labelA == 0 && !coveredA) || (labelB == 0 && !coveredB); }
    QString text() const
    {
        QString outcome;
        if (labelA == 0 || labelB == 0) {
            outcome = networkMissed() ? QStringLiteral("missed(net)") : QStringLiteral("missed");
        } else if (labelA == labelB)
            outcome = QStringLiteral("same");
        else
            outcome = QStringLiteral("different");
        if (!touch) {
            outcome = apartOk() ? QStringLiteral("ok") : QStringLiteral("FAIL:") + outcome;
            if (onePiece)
                outcome += QStringLiteral("(one piece)");
        }
        return QStringLiteral("%1-%2 %3 %4|%5 %6")
            .arg(a, b, touch ? QStringLiteral("touch") : QStringLiteral("apart"))
            .arg(labelA)
            .arg(labelB)
            .arg(outcome);
    }
};

struct SubjectRow
{
    QString name;
    int annotated = -1; // -1: no annotation
    int found = 0;
    MatteSubjects::Report report;
    std::vector<PairResult> pairs;
};

// `plain`: the plain recipe's mask at the image's size.
std::vector<PairResult> checkPairs(const SubjectAnalysis& analysis, const cv::Mat& plain,
                                   const std::vector<Annotated>& subjects)
{
    std::vector<PairResult> pairs;
    cv::Mat pieces;
    cv::connectedComponents(plain >= 128, pieces, 8, CV_32S);
    std::vector<cv::Point> points;
    for (const Annotated& s : subjects)
        points.push_back(innerPoint(s.mask));
    for (size_t i = 0; i < subjects.size(); ++i) {
        for (size_t j = i + 1; j < subjects.size(); ++j) {
            PairResult pair;
            pair.a = subjects[i].name;
            pair.b = subjects[j].name;
            pair.touch = touching(subjects[i].mask, subjects[j].mask);
            const int pieceA = pieces.at<int>(points[i]), pieceB = pieces.at<int>(points[j]);
            pair.onePiece = pieceA != 0 && pieceA == pieceB;
            pair.coveredA = plain.at<uchar>(points[i]) >= 128;
            pair.coveredB = plain.at<uchar>(points[j]) >= 128;
            const double w = subjects[i].mask.cols, h = subjects[i].mask.rows;
            pair.labelA = analysis.labelAtNormalized(
                QPointF((points[i].x + 0.5) / w, (points[i].y + 0.5) / h));
            pair.labelB = analysis.labelAtNormalized(
                QPointF((points[j].x + 0.5) / w, (points[j].y + 0.5) / h));
            pairs.push_back(pair);
        }
    }
    return pairs;
}

const MatteSubjects::Report& reportOf(const SubjectAnalysis& analysis)
{
    static const MatteSubjects::Report none;
    const auto* matte = dynamic_cast<const MatteObservation*>(analysis.observation.get());
    return matte ? matte->split().report : none;
}

// The image dimmed, each subject in its own colour with its number, and the
// annotated subjects' inner points as rings.
QImage labelPicture(const QImage& image, const SubjectAnalysis& analysis,
                    const std::vector<Annotated>& annotated)
{
    static const QColor palette[] = {
        QColor(230, 25, 75),   QColor(60, 180, 75),  QColor(0, 130, 200),  QColor(245, 130, 48),
        QColor(145, 30, 180),  QColor(70, 240, 240), QColor(240, 50, 230), QColor(210, 245, 60),
        QColor(250, 190, 190), QColor(0, 128, 128),  QColor(170, 110, 40), QColor(255, 225, 25)};
    QImage out = image.convertToFormat(QImage::Format_RGBA8888);
    const int w = out.width(), h = out.height();
    cv::Mat labels(h, w, CV_8UC1);
    for (int y = 0; y < h; ++y) {
        uchar* px = out.scanLine(y);
        for (int x = 0; x < w; ++x, px += 4) {
            const int64_t label = analysis.labelAtNormalized(QPointF((x + 0.5) / w, (y + 0.5) / h));
            labels.at<uchar>(y, x) = uchar(label);
            if (label == 0) {
                for (int c = 0; c < 3; ++c)
                    px[c] = uchar(px[c] * 0.3);
                continue;
            }
            const QColor& colour = palette[size_t(label - 1) % std::size(palette)];
            const int rgb[] = {colour.red(), colour.green(), colour.blue()};
            for (int c = 0; c < 3; ++c)
                px[c] = uchar(px[c] * 0.45 + rgb[c] * 0.55);
        }
    }
    QPainter painter(&out);
    QFont font = painter.font();
    font.setPixelSize(std::max(14, std::min(w, h) / 18));
    font.setBold(true);
    painter.setFont(font);
    for (int64_t label : analysis.instances) {
        const cv::Mat mask = labels == int(label);
        if (cv::countNonZero(mask) == 0)
            continue;
        const cv::Point p = innerPoint(mask);
        painter.setPen(Qt::black);
        painter.drawText(QPoint(p.x + 1, p.y + 1), QString::number(label));
        painter.setPen(Qt::white);
        painter.drawText(QPoint(p.x, p.y), QString::number(label));
    }
    painter.setPen(QPen(Qt::yellow, 2));
    for (const Annotated& s : annotated) {
        const cv::Point p = innerPoint(s.mask);
        painter.drawEllipse(QPoint(p.x, p.y), 6, 6);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Listing photos.

struct Photo
{
    QString set;
    QString id;
    QString image;
};

std::vector<Photo> photosIn(const QString& set)
{
    std::vector<Photo> photos;
    const QDir dir(kEvalDir + QLatin1Char('/') + set + QStringLiteral("/images"));
    for (const QFileInfo& f : dir.entryInfoList(QDir::Files, QDir::Name))
        photos.push_back({set, f.completeBaseName(), f.absoluteFilePath()});
    return photos;
}

std::vector<Photo> multiPhotos()
{
    std::vector<Photo> photos;
    const QDir dir(kEvalDir + QStringLiteral("/multi"));
    for (const QFileInfo& f : dir.entryInfoList({QStringLiteral("*.jpg")}, QDir::Files, QDir::Name))
        photos.push_back({QStringLiteral("multi"), f.completeBaseName(), f.absoluteFilePath()});
    return photos;
}

// The annotated subjects of a multi photo: one mask per subject, an id map,
// or the connected parts of an all-people mask. Sets `how` to what was used.
std::vector<Annotated> multiAnnotations(const QString& id, QString* how)
{
    const QDir dir(kEvalDir + QStringLiteral("/multi"));
    std::vector<Annotated> subjects;
    QFileInfoList singles;
    const QRegularExpression single(
        QStringLiteral("^%1\\.inst\\d+_.*\\.png$").arg(QRegularExpression::escape(id)));
    for (const QFileInfo& f :
         dir.entryInfoList({id + QStringLiteral(".inst*.png")}, QDir::Files, QDir::Name)) {
        if (single.match(f.fileName()).hasMatch())
            singles.push_back(f);
    }
    if (!singles.isEmpty()) {
        *how = QStringLiteral("one mask each");
        for (const QFileInfo& f : singles) {
            const cv::Mat mask = readMask(f.absoluteFilePath()) >= 128;
            const QString name =
                f.completeBaseName().section(QLatin1Char('.'), 1).section(QLatin1Char('_'), 1);
            subjects.push_back({name, mask});
        }
        return subjects;
    }
    const QString ids = dir.filePath(id + QStringLiteral(".instances.png"));
    if (QFileInfo::exists(ids)) {
        *how = QStringLiteral("id map");
        return subjectsFromIds(readIds(ids));
    }
    const QString people = dir.filePath(id + QStringLiteral(".person_mask.png"));
    if (QFileInfo::exists(people)) {
        *how = QStringLiteral("parts of the people mask");
        cv::Mat components;
        const int n = cv::connectedComponents(readMask(people) >= 128, components, 8, CV_32S);
        for (int i = 1; i < n; ++i) {
            const cv::Mat mask = components == i;
            if (cv::countNonZero(mask) >= int(mask.total() / 1000))
                subjects.push_back({QStringLiteral("p%1").arg(i), mask});
        }
        return subjects;
    }
    *how = QStringLiteral("none");
    return subjects;
}

// Columns between the subject and the photo's right edge.
int rightMargin(const cv::Mat& truth)
{
    const cv::Mat subject = truth > 128;
    for (int x = subject.cols - 1; x >= 0; --x) {
        if (cv::countNonZero(subject.col(x)) > 0)
            return subject.cols - 1 - x;
    }
    return subject.cols;
}

// The gap in made-up groups: 1% of the photo's width, at least 6 pixels,
// within the distance at which the old rules took a small piece for a
// fragment of a large one.
int groupGap(int width)
{
    return std::max(6, width / 100);
}

// A made-up group: the photo cut off a few pixels right of its subject, and
// beside it `copies` copies of it mirrored and scaled to 1/copies, stacked.
// The copies face the original across the seam, `gap` pixels from it, each
// 1/copies^2 of its size: a small subject standing near a large one, which
// must not be taken for a fragment of it.
struct Group
{
    QImage image;
    std::vector<Annotated> subjects;
};

Group makeGroup(const QImage& photo, const cv::Mat& truth, int copies, int gap)
{
    const cv::Mat subject0 = truth > 128;
    // Keep gap / (1 + 1/copies) columns right of the subject.
    const int keep = gap * copies / (copies + 1);
    const int right = subject0.cols - rightMargin(truth);
    const int w = std::min(subject0.cols, right + keep) / copies * copies;
    const int h = photo.height() / copies * copies;
    const int sw = w / copies, sh = h / copies;
    const cv::Rect crop(0, 0, w, h);
    Group group;
    group.image = QImage(w + sw, h, QImage::Format_RGBA8888);
    cv::Mat canvas(h, w + sw, CV_8UC4, group.image.bits(), size_t(group.image.bytesPerLine()));
    rgbaView(photo)(crop).copyTo(canvas(crop));
    cv::Mat mirrored, small;
    cv::flip(rgbaView(photo)(crop), mirrored, 1);
    cv::resize(mirrored, small, cv::Size(sw, sh), 0, 0, cv::INTER_AREA);
    const cv::Mat subject = subject0(crop);
    cv::Mat flipped, smallMask;
    cv::flip(subject, flipped, 1);
    cv::resize(flipped, smallMask, cv::Size(sw, sh), 0, 0, cv::INTER_AREA);
    smallMask = smallMask >= 128;

    cv::Mat large = cv::Mat::zeros(h, w + sw, CV_8UC1);
    subject.copyTo(large(crop));
    group.subjects.push_back({QStringLiteral("L"), large});
    for (int k = 0; k < copies; ++k) {
        const cv::Rect place(w, k * sh, sw, sh);
        small.copyTo(canvas(place));
        cv::Mat mask = cv::Mat::zeros(h, w + sw, CV_8UC1);
        smallMask.copyTo(mask(place));
        group.subjects.push_back({QStringLiteral("s%1").arg(k + 1), mask});
    }
    return group;
}

// ---------------------------------------------------------------------------
// Output.

void rule(int width = 100)
{
    std::printf("%s\n", std::string(size_t(width), '-').c_str());
}

double mean(const std::vector<double>& v)
{
    double sum = 0;
    for (double x : v)
        sum += x;
    return v.empty() ? 0.0 : sum / double(v.size());
}

std::string utf8(const QString& s)
{
    return s.toStdString();
}

struct QualityRow
{
    Photo photo;
    QSize size;
    Quality ours, plain;
    int subjects = 0;
    double forward = 0, split = 0;
};

void printQuality(const QString& set, const std::vector<QualityRow>& rows)
{
    if (rows.empty())
        return;
    std::printf("\n%s: %zu photos\n", utf8(set).c_str(), rows.size());
    rule(92);
    std::printf("%-10s %-9s %9s %9s %9s %9s %9s %5s %6s %6s\n", "photo", "size", "IoU ours",
                "IoU plain", "dIoU", "MAE ours", "MAE plain", "subj", "fwd s", "split s");
    rule(92);
    std::vector<double> io, ip, mo, mp;
    for (const QualityRow& r : rows) {
        const QString size = QStringLiteral("%1x%2").arg(r.size.width()).arg(r.size.height());
        std::printf("%-10s %-9s %9.4f %9.4f %+9.4f %9.4f %9.4f %5d %6.2f %6.3f\n",
                    utf8(r.photo.id).c_str(), utf8(size).c_str(), r.ours.iou, r.plain.iou,
                    r.ours.iou - r.plain.iou, r.ours.mae, r.plain.mae, r.subjects, r.forward,
                    r.split);
        io.push_back(r.ours.iou);
        ip.push_back(r.plain.iou);
        mo.push_back(r.ours.mae);
        mp.push_back(r.plain.mae);
    }
    rule(92);
    std::printf("%-10s %-9s %9.4f %9.4f %+9.4f %9.4f %9.4f\n", "mean", "", mean(io), mean(ip),
                mean(io) - mean(ip), mean(mo), mean(mp));
}

// The subjects table, and how the annotated pairs came out.
void printSubjects(const std::vector<SubjectRow>& rows)
{
    int apart = 0, apartOk = 0, apartOnePiece = 0, apartMissed = 0, touch = 0, touchSeparated = 0;
    rule(100);
    std::printf("%-28s %5s %5s %5s %5s %5s  %s\n", "photo", "annot", "found", "faces", "tried",
                "kept", "pairs (inner-point labels)");
    rule(100);
    for (const SubjectRow& r : rows) {
        QString pairs;
        for (const PairResult& p : r.pairs) {
            pairs += (pairs.isEmpty() ? QString() : QStringLiteral("; ")) + p.text();
            if (p.touch) {
                ++touch;
                touchSeparated += p.labelA != 0 && p.labelB != 0 && p.labelA != p.labelB;
            } else {
                ++apart;
                apartOk += p.apartOk();
                apartOnePiece += !p.apartOk() && p.onePiece;
                apartMissed += !p.apartOk() && !p.onePiece && p.networkMissed();
            }
        }
        std::printf("%-28s %5s %5d %5d %5d %5d  %s\n", utf8(r.name).c_str(),
                    r.annotated < 0 ? "-" : std::to_string(r.annotated).c_str(), r.found,
                    r.report.faces, r.report.splitsTried, r.report.splitsKept, utf8(pairs).c_str());
    }
    rule(100);
    std::printf("Pairs apart: %d of %d separated; of the others %d in one piece of the network's\n"
                "matte, %d missed by it, %d our own. Pairs touching: %d of %d separated.\n",
                apartOk, apart, apartOnePiece, apartMissed,
                apart - apartOk - apartOnePiece - apartMissed, touchSeparated, touch);
}

struct Options
{
    bool quick = false;
    bool preResize = false;
    QString out = QStringLiteral("/tmp/vantel-eval");
};

template <typename T> std::vector<T> firstFew(std::vector<T> v, bool quick, size_t n)
{
    if (quick && v.size() > n)
        v.resize(n);
    return v;
}

// Makes sure the replayed pipeline is the app's: one photo through a real
// OnDeviceVision, compared with the replay's mask and labels.
bool checkReplay(const QString& networkPath, RecordingVision& replay, const QImage& image)
{
    OnDeviceVision vision(networkPath);
    const auto real = SubjectAnalysis::analyze(image, vision);
    const auto ours = SubjectAnalysis::analyze(image, replay);
    const cv::Mat a = real->mask(std::nullopt), b = ours->mask(std::nullopt);
    const double maskDiff = cv::norm(a, b, cv::NORM_INF);
    const bool labelsSame = real->labels && ours->labels && *real->labels == *ours->labels;
    std::printf(
        "Replay check (%dx%d photo): mask max difference %.0f, labels %s, subjects %zu/%zu\n",
        image.width(), image.height(), maskDiff, labelsSame ? "identical" : "DIFFERENT",
        real->instances.size(), ours->instances.size());
    return maskDiff <= 1 && labelsSame;
}

} // namespace

int main(int argc, char** argv)
{
    tuneAllocatorForLargeImages();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    Options options;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--quick")) {
            options.quick = true;
        } else if (args[i] == QLatin1String("--pre-resize")) {
            options.preResize = true;
        } else if (args[i] == QLatin1String("--out") && i + 1 < args.size()) {
            options.out = args[++i];
        } else {
            std::fprintf(stderr, "usage: eval_vision [--quick] [--pre-resize] [--out DIR]\n");
            return 2;
        }
    }

    if (!QFileInfo(kEvalDir).isDir()) {
        std::printf("eval_vision: skipped, no evaluation photos at %s\n", utf8(kEvalDir).c_str());
        return 0;
    }
    const QString networkPath = OnDeviceVision::defaultNetworkPath();
    if (networkPath.isEmpty()) {
        std::printf("eval_vision: skipped, the network is not installed\n");
        return 0;
    }
    QDir().mkpath(options.out);
    // Pictures of an earlier run would pass for this one's.
    QDir outDir(options.out);
    for (const QString& old : outDir.entryList({QStringLiteral("*.labels.png")}, QDir::Files))
        outDir.remove(old);

    QElapsedTimer total;
    total.start();
    std::shared_ptr<SegmentationNetwork> network;
    try {
        network = SegmentationNetwork::load(networkPath);
    } catch (const VantelError& e) {
        std::fprintf(stderr, "eval_vision: %s\n", e.what());
        return 1;
    }
    RecordingVision replay(network);
    std::printf("Network %s, %d threads\nPhotos %s\n", utf8(networkPath).c_str(),
                cv::getNumThreads(), utf8(QDir::cleanPath(kEvalDir)).c_str());

    const std::vector<Photo> grabcut =
        firstFew(photosIn(QStringLiteral("grabcut")), options.quick, 2);
    const std::vector<Photo> davis = firstFew(photosIn(QStringLiteral("davis")), options.quick, 3);
    std::vector<Photo> multi = multiPhotos();
    if (options.quick) {
        std::vector<Photo> few;
        for (const Photo& p : multi) {
            if (p.id.startsWith(QLatin1String("coco_cow")) ||
                p.id.startsWith(QLatin1String("davis_")))
                few.push_back(p);
        }
        multi = few;
    }

    bool replayOk = true;
    if (!davis.empty()) {
        if (const auto image = Compositor::load(QUrl::fromLocalFile(davis.front().image), kMaxSide))
            replayOk = checkReplay(networkPath, replay, *image);
    }

    // Quality, and the subjects of the davis frames from the same analyses.
    std::map<QString, std::vector<QualityRow>> quality;
    std::vector<SubjectRow> subjectRows;
    int singleFrames = 0, overSplit = 0;
    std::vector<QString> overSplitNames;
    for (const std::vector<Photo>* set : {&grabcut, &davis}) {
        for (const Photo& photo : *set) {
            const auto image = Compositor::load(QUrl::fromLocalFile(photo.image), kMaxSide);
            const cv::Mat truth =
                readMask(kEvalDir + QStringLiteral("/%1/masks/%2.png").arg(photo.set, photo.id));
            if (!image || truth.empty()) {
                std::printf("%s/%s: cannot read the photo or its mask, left out\n",
                            utf8(photo.set).c_str(), utf8(photo.id).c_str());
                continue;
            }
            const cv::Size size(image->width(), image->height());
            if (truth.size() != size) {
                std::printf("%s/%s: mask is %dx%d, photo %dx%d, left out\n",
                            utf8(photo.set).c_str(), utf8(photo.id).c_str(), truth.cols, truth.rows,
                            size.width, size.height);
                continue;
            }
            QualityRow row;
            row.photo = photo;
            row.size = image->size();
            std::shared_ptr<const SubjectAnalysis> analysis;
            try {
                analysis = SubjectAnalysis::analyze(*image, replay);
                row.ours = score(analysis->mask(std::nullopt), truth);
                row.subjects = int(analysis->instances.size());
            } catch (const VantelError& e) {
                // No subject at all: an empty mask.
                std::printf("%s/%s: %s\n", utf8(photo.set).c_str(), utf8(photo.id).c_str(),
                            e.what());
                row.ours = score(cv::Mat::zeros(truth.size(), CV_8UC1), truth);
            }
            row.plain = score(plainMask(replay.lastMatte, size), truth);
            row.forward = replay.forwardSeconds;
            row.split = replay.splitSeconds;
            quality[photo.set].push_back(row);
            std::fprintf(stderr, "  %s/%s %.2f s\n", utf8(photo.set).c_str(),
                         utf8(photo.id).c_str(), row.forward + row.split);

            if (photo.set != QLatin1String("davis") || !analysis)
                continue;
            const std::vector<Annotated> annotated = subjectsFromIds(
                readIds(kEvalDir + QStringLiteral("/davis/instances/%1.png").arg(photo.id)));
            SubjectRow srow;
            srow.name = QStringLiteral("davis/") + photo.id;
            srow.annotated = int(annotated.size());
            srow.found = int(analysis->instances.size());
            srow.report = reportOf(*analysis);
            if (annotated.size() == 1) {
                ++singleFrames;
                if (srow.found > 1) {
                    ++overSplit;
                    overSplitNames.push_back(photo.id);
                }
            }
            srow.pairs = checkPairs(*analysis, plainMask(replay.lastMatte, size), annotated);
            if (annotated.size() > 1 || srow.found > 1)
                labelPicture(*image, *analysis, annotated)
                    .save(QDir(options.out)
                              .filePath(QStringLiteral("davis_%1.labels.png").arg(photo.id)));
            subjectRows.push_back(srow);
        }
    }

    // The multi-subject photos.
    for (const Photo& photo : multi) {
        const auto image = Compositor::load(QUrl::fromLocalFile(photo.image), kMaxSide);
        if (!image)
            continue;
        QString how;
        std::vector<Annotated> annotated = multiAnnotations(photo.id, &how);
        SubjectRow srow;
        srow.name = QStringLiteral("multi/") + photo.id;
        std::shared_ptr<const SubjectAnalysis> analysis;
        try {
            analysis = SubjectAnalysis::analyze(*image, replay);
        } catch (const VantelError& e) {
            std::printf("%s: %s\n", utf8(srow.name).c_str(), e.what());
            continue;
        }
        std::fprintf(stderr, "  %s %.2f s\n", utf8(srow.name).c_str(),
                     replay.forwardSeconds + replay.splitSeconds);
        for (Annotated& a : annotated) {
            if (a.mask.size() != cv::Size(image->width(), image->height()))
                cv::resize(a.mask, a.mask, cv::Size(image->width(), image->height()), 0, 0,
                           cv::INTER_NEAREST);
        }
        srow.annotated = how == QLatin1String("none") ? -1 : int(annotated.size());
        srow.found = int(analysis->instances.size());
        srow.report = reportOf(*analysis);
        srow.pairs = checkPairs(
            *analysis, plainMask(replay.lastMatte, cv::Size(image->width(), image->height())),
            annotated);
        labelPicture(*image, *analysis, annotated)
            .save(QDir(options.out).filePath(photo.id + QStringLiteral(".labels.png")));
        subjectRows.push_back(srow);
    }

    // Made-up groups, from the photos the network gets best whose subject
    // stands clear of the right edge: with two half-size and four
    // quarter-size copies.
    std::vector<std::pair<double, Photo>> candidates;
    for (const auto& [set, rows] : quality) {
        for (const QualityRow& r : rows) {
            const cv::Mat truth = readMask(
                kEvalDir + QStringLiteral("/%1/masks/%2.png").arg(r.photo.set, r.photo.id));
            if (r.ours.iou >= 0.9 && rightMargin(truth) >= groupGap(truth.cols))
                candidates.emplace_back(r.ours.iou, r.photo);
        }
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    candidates.resize(std::min(candidates.size(), size_t(options.quick ? 1 : 5)));
    std::vector<SubjectRow> groupRows;
    for (const auto& candidate : candidates) {
        const Photo& photo = candidate.second;
        const auto image = Compositor::load(QUrl::fromLocalFile(photo.image), kMaxSide);
        const cv::Mat truth =
            readMask(kEvalDir + QStringLiteral("/%1/masks/%2.png").arg(photo.set, photo.id));
        if (!image || truth.empty())
            continue;
        for (int copies : {2, 4}) {
            const int gap = groupGap(truth.cols);
            const Group group = makeGroup(*image, truth, copies, gap);
            SubjectRow row;
            row.name =
                QStringLiteral("%1/%2 1+%3 gap %4").arg(photo.set, photo.id).arg(copies).arg(gap);
            row.annotated = int(group.subjects.size());
            try {
                const auto analysis = SubjectAnalysis::analyze(group.image, replay);
                row.found = int(analysis->instances.size());
                row.report = reportOf(*analysis);
                row.pairs = checkPairs(*analysis,
                                       plainMask(replay.lastMatte, cv::Size(group.image.width(),
                                                                            group.image.height())),
                                       group.subjects);
                labelPicture(group.image, *analysis, group.subjects)
                    .save(QDir(options.out)
                              .filePath(QStringLiteral("group%1_%2_%3.labels.png")
                                            .arg(copies)
                                            .arg(photo.set, photo.id)));
            } catch (const VantelError& e) {
                std::printf("%s: %s\n", utf8(row.name).c_str(), e.what());
            }
            std::fprintf(stderr, "  group %s\n", utf8(row.name).c_str());
            groupRows.push_back(row);
        }
    }

    // The network's input resize from large photos.
    std::vector<QualityRow> resizeRows[2];
    if (options.preResize) {
        const int flags[2] = {cv::INTER_AREA, cv::INTER_LINEAR};
        for (const std::vector<Photo>* set : {&grabcut, &davis}) {
            for (const Photo& photo : *set) {
                const auto image = Compositor::load(QUrl::fromLocalFile(photo.image), kMaxSide);
                const cv::Mat truth = readMask(
                    kEvalDir + QStringLiteral("/%1/masks/%2.png").arg(photo.set, photo.id));
                if (!image || truth.empty() || truth.cols != image->width() ||
                    truth.rows != image->height())
                    continue;
                // Both sides above 1024, so the app's input resize shrinks.
                const double scale = std::min(kMaxSide / std::max(image->width(), image->height()),
                                              1100.0 / std::min(image->width(), image->height()));
                const cv::Size large(cvRound(image->width() * scale),
                                     cvRound(image->height() * scale));
                QImage big(large.width, large.height, QImage::Format_RGBA8888);
                cv::Mat bigView(big.height(), big.width(), CV_8UC4, big.bits(),
                                size_t(big.bytesPerLine()));
                cv::resize(rgbaView(*image), bigView, large, 0, 0, cv::INTER_CUBIC);
                for (int k = 0; k < 2; ++k) {
                    replay.inputResize = flags[k];
                    QualityRow row;
                    row.photo = photo;
                    row.size = big.size();
                    try {
                        const auto analysis = SubjectAnalysis::analyze(big, replay);
                        cv::Mat back;
                        cv::resize(analysis->mask(std::nullopt), back, truth.size(), 0, 0,
                                   cv::INTER_AREA);
                        row.ours = score(back, truth);
                        row.subjects = int(analysis->instances.size());
                    } catch (const VantelError&) {
                        row.ours = score(cv::Mat::zeros(truth.size(), CV_8UC1), truth);
                    }
                    row.plain = score(plainMask(replay.lastMatte, truth.size()), truth);
                    row.forward = replay.forwardSeconds;
                    row.split = replay.splitSeconds;
                    resizeRows[k].push_back(row);
                }
                std::fprintf(stderr, "  pre-resize %s/%s\n", utf8(photo.set).c_str(),
                             utf8(photo.id).c_str());
            }
        }
        replay.inputResize = -1;
    }

    // ----- Report -----
    std::printf(
        "\n=== Quality: ours (pipeline) against the plain recipe (1024 matte, bilinear) ===\n");
    std::printf(
        "IoU at alpha >= 0.5; MAE of the soft mask in 0..1; grabcut's band (128) left out.\n");
    for (const auto& [set, rows] : quality)
        printQuality(set, rows);

    std::printf("\n=== Quality summary ===\n");
    rule(78);
    std::printf("%-8s %6s %9s %9s %9s %9s %8s %8s\n", "set", "photos", "IoU ours", "IoU plain",
                "MAE ours", "MAE plain", "IoU <", "MAE >");
    rule(78);
    for (const auto& [set, rows] : quality) {
        std::vector<double> io, ip, mo, mp;
        int worseIou = 0, worseMae = 0;
        for (const QualityRow& r : rows) {
            io.push_back(r.ours.iou);
            ip.push_back(r.plain.iou);
            mo.push_back(r.ours.mae);
            mp.push_back(r.plain.mae);
            worseIou += r.ours.iou < r.plain.iou - 1e-4;
            worseMae += r.ours.mae > r.plain.mae + 1e-4;
        }
        std::printf("%-8s %6zu %9.5f %9.5f %9.5f %9.5f %8d %8d\n", utf8(set).c_str(), rows.size(),
                    mean(io), mean(ip), mean(mo), mean(mp), worseIou, worseMae);
    }
    rule(78);
    std::printf(
        "IoU < / MAE >: photos where ours is worse than the plain recipe by more than 1e-4.\n");

    std::printf("\n=== Subjects ===\n");
    if (singleFrames > 0) {
        QString names;
        for (const QString& n : overSplitNames)
            names += (names.isEmpty() ? QString() : QStringLiteral(", ")) + n;
        std::printf("Over-split: %d of %d single-subject davis frames (%.1f%%)%s%s\n", overSplit,
                    singleFrames, 100.0 * overSplit / singleFrames, names.isEmpty() ? "" : ": ",
                    utf8(names).c_str());
    }
    printSubjects(subjectRows);
    if (!groupRows.empty()) {
        std::printf(
            "\nMade-up groups: each photo (L) beside 2 or 4 copies of it (s1...), mirrored and\n"
            "scaled to 1/2 or 1/4, stacked; gap: pixels between L and the copies.\n");
        printSubjects(groupRows);
    }
    std::printf("apart/touch: annotated masks grown by %d px meet or not; labels at the point\n"
                "farthest inside each; missed: a point reads background; (net): the network's\n"
                "own matte is below one half there.\n",
                kTouchRadius);
    std::printf("Label pictures: %s\n", utf8(options.out).c_str());

    if (options.preResize) {
        std::printf(
            "\n=== Network input resize from large photos (upscaled, both sides > 1024) ===\n");
        std::printf("Scored at the original size. area = the app's resize; linear = bilinear.\n");
        rule(72);
        std::printf("%-8s %-7s %9s %9s %9s %9s\n", "set", "resize", "IoU ours", "MAE ours",
                    "IoU plain", "MAE plain");
        rule(72);
        for (const QString& set : {QStringLiteral("grabcut"), QStringLiteral("davis")}) {
            for (int k = 0; k < 2; ++k) {
                std::vector<double> io, mo, ip, mp;
                for (const QualityRow& r : resizeRows[k]) {
                    if (r.photo.set != set)
                        continue;
                    io.push_back(r.ours.iou);
                    mo.push_back(r.ours.mae);
                    ip.push_back(r.plain.iou);
                    mp.push_back(r.plain.mae);
                }
                if (!io.empty())
                    std::printf("%-8s %-7s %9.4f %9.4f %9.4f %9.4f\n", utf8(set).c_str(),
                                k == 0 ? "area" : "linear", mean(io), mean(mo), mean(ip), mean(mp));
            }
        }
        rule(72);
    }

    std::printf("\nTotal %.0f s.%s\n", total.elapsed() / 1000.0,
                replayOk ? "" : " The replayed pipeline differs from OnDeviceVision: see above.");
    return replayOk ? 0 : 1;
}
