#include "CutOut.h"
#include "FakeVision.h"

#include <QPainter>
#include <QTest>

// The whole way from an image to its cut-out, on a scene whose subjects a
// fake service reports: a green strip across the top, subject 1 red on the
// left, subject 2 blue on the right, masks at half the image's size.
class TestCutOut final : public QObject
{
    Q_OBJECT

    static QImage scene()
    {
        QImage image(40, 32, QImage::Format_RGBA8888);
        image.fill(QColor(0, 160, 0));
        QPainter painter(&image);
        painter.fillRect(0, 8, 20, 24, Qt::red);
        painter.fillRect(20, 8, 20, 24, Qt::blue);
        return image;
    }

    static QImage cut(std::optional<int64_t> selection, const std::optional<QColor>& background)
    {
        FakeVision vision;
        vision.instanceResult = twoSubjects(20, 16);
        const QImage image = scene();
        const auto analysis = CutOut::analyze(image, vision);
        return CutOut::composite(image, CutOut::layer(*analysis, selection), 0, background)
            .value_or(QImage());
    }

private slots:
    // The colours of subject 1, subject 2 and the strip above them.
    static QList<QColor> samples(const QImage& image)
    {
        return {image.pixelColor(4, 28), image.pixelColor(36, 28), image.pixelColor(20, 2)};
    }

    void keepsTheSelectionOverTheBackground()
    {
        const QColor clear(0, 0, 0, 0), red(Qt::red), white(Qt::white);
        const QImage one = cut(1, std::nullopt);
        QCOMPARE(one.size(), QSize(40, 32));
        QCOMPARE(samples(one), (QList<QColor>{red, clear, clear}));
        // A label that was not found keeps nothing.
        QCOMPARE(samples(cut(3, std::nullopt)), (QList<QColor>{clear, clear, clear}));
        const QImage overWhite = cut(1, white);
        QCOMPARE(samples(overWhite), (QList<QColor>{red, white, white}));
        // Nothing selected keeps every subject.
        QCOMPARE(samples(cut(std::nullopt, QColor(Qt::black))),
                 (QList<QColor>{red, QColor(Qt::blue), QColor(Qt::black)}));
        // Row 7 is green in the image but a quarter subject in the mask
        // scaled to the image: over white the soft edge is a light red, not
        // the old green.
        const QColor edge = overWhite.pixelColor(4, 7);
        QVERIFY2(edge.red() > 240 && edge.green() < 210 && edge.blue() < 210,
                 qPrintable(edge.name()));
    }

    // A click keeps the subject under it, where that subject's mask holds
    // the clicked pixel; where it does not, the network runs again over the
    // smallest finder box around the click, and the part under the click is
    // kept; a click on the background keeps nothing.
    void aClickKeepsWhatIsUnderIt()
    {
        FakeVision vision;
        InstanceMask subjects = twoSubjects(20, 16);
        // Subject 1's share of the matte misses its lower left corner,
        // which the label map still gives to it.
        subjects.matte(cv::Rect(0, 12, 6, 4)).setTo(0);
        subjects.info.resize(2);
        subjects.info[0].box = cv::Rect(0, 4, 10, 12); // the whole subject
        subjects.info[1].box = cv::Rect(0, 10, 8, 6);  // a smaller box around the corner
        vision.instanceResult = subjects;
        // What the network finds when it looks again: the corner, and a
        // dot apart from it.
        vision.regionResult = cv::Mat::zeros(32, 40, CV_8UC1);
        vision.regionResult(cv::Rect(0, 24, 12, 8)).setTo(255);
        vision.regionResult(cv::Rect(14, 20, 1, 1)).setTo(255);
        const auto analysis = CutOut::analyze(scene(), vision);

        const cv::Mat held = CutOut::clickMask(*analysis, vision, {0.25, 0.5});
        QCOMPARE(cv::countNonZero(held != analysis->mask(1)), 0);
        QVERIFY(vision.regionsAsked.empty());

        const cv::Mat corner = CutOut::clickMask(*analysis, vision, {0.05, 0.9});
        QCOMPARE(vision.regionsAsked.size(), size_t(1));
        QVERIFY(vision.regionsAsked.front().contains(cv::Point(0, 20)));
        QVERIFY(vision.regionsAsked.front().width < 20); // the smaller box's
        QCOMPARE(int(corner.at<uchar>(28, 2)), 255);
        QCOMPARE(int(corner.at<uchar>(20, 14)), 0); // the dot is apart
        QCOMPARE(int(corner.at<uchar>(10, 10)), 0); // the rest of subject 1 is not under it

        // Without a finder's box around the click, the subject's mask stands.
        subjects.info.clear();
        vision.instanceResult = subjects;
        const auto plain = CutOut::analyze(scene(), vision);
        QCOMPARE(cv::countNonZero(CutOut::clickMask(*plain, vision, {0.05, 0.9}) != plain->mask(1)),
                 0);
        QVERIFY(CutOut::clickMask(*plain, vision, {0.5, 0.05}).empty());
    }
};

QTEST_GUILESS_MAIN(TestCutOut)
#include "tst_cutout.moc"
