// Slivers: shares of the matte no object accounts for that are too small or
// too thin to be an object go to the subject they border; a share with
// nothing a click could find is no subject at all.
#include "SharingScenes.h"

#include <QTest>
#include <set>

namespace {

// The subjects a click can reach: the labels present in the label image.
std::set<int> clickable(const InstanceMask& s)
{
    std::set<int> found;
    for (int y = 0; y < s.labels.rows; ++y) {
        for (int x = 0; x < s.labels.cols; ++x) {
            if (s.labels.at<uchar>(y, x))
                found.insert(s.labels.at<uchar>(y, x));
        }
    }
    return found;
}

// A board a finder names, and beyond its box, joined to it, a knob too small
// to be anything and a wire too thin; far off, a small stone no finder names.
struct Board
{
    Blocks scene = blocks({640, 480}, cv::Scalar(120, 140, 160),
                          {{{100, 100, 100, 100}, cv::Scalar(40, 40, 200), 255},
                           {{200, 141, 32, 18}, cv::Scalar(200, 200, 200), 255},
                           {{130, 200, 3, 150}, cv::Scalar(200, 200, 200), 255},
                           {{500, 380, 20, 20}, cv::Scalar(30, 30, 30), 255}});
    std::vector<DetectedObject> found{object("skateboard", 0.6f, {100, 100, 100, 100})};
};

} // namespace

class TestSliverStage : public QObject
{
    Q_OBJECT

private slots:
    void aSliverGoesToTheSubjectItBorders()
    {
        const Board b;
        const InstanceMask s = SubjectSharing::split(b.scene.pieces, b.scene.rgb, b.found, {});
        const int board = ownerAt(s, 150, 150);
        QVERIFY(board > 0);
        QCOMPARE(s.info[size_t(board - 1)].className, QStringLiteral("skateboard"));
        // A click on the knob or the wire keeps the board.
        QCOMPARE(int(s.labels.at<uchar>(150, 225)), board);
        QCOMPARE(int(s.labels.at<uchar>(330, 131)), board);
        QCOMPARE(ownerAt(s, 225, 150), board);
        // The stone, apart from everything, is something of its own.
        const int stone = s.labels.at<uchar>(390, 510);
        QVERIFY(stone > 0 && stone != board);
        QCOMPARE(s.count, 2);
    }

    // The same scene with slivers let be: the knob and the wire are subjects
    // of their own, so the rule, not the flood, is what gives them away.
    void sliversAreAsTheTuningSays()
    {
        const Board b;
        SubjectTuning letBe;
        QVERIFY(letBe.set("sharing.sliverShare", 0) && letBe.set("sharing.sliverWidth", 0));
        QCOMPARE(letBe.sharing.sliverShare, 0.0);
        QVERIFY(!letBe.set("sharing.sliver", 0));
        const InstanceMask s =
            SubjectSharing::split(b.scene.pieces, b.scene.rgb, b.found, {}, letBe);
        QCOMPARE(s.count, 4);
        const int board = ownerAt(s, 150, 150);
        QVERIFY(int(s.labels.at<uchar>(150, 225)) != board);
        QVERIFY(int(s.labels.at<uchar>(330, 131)) != board);
    }

    // A haze the matte holds apart from everything, never reaching the level
    // a click finds: listed, it would cut to nothing. It is no subject, and
    // the whole matte is still the cut-out with nothing picked.
    void aShareWithNothingShownIsNoSubject()
    {
        cv::Mat rgb(480, 640, CV_8UC3, cv::Scalar(120, 140, 160));
        cv::Mat where = cv::Mat::zeros(480, 640, CV_8UC1);
        rgb(cv::Rect(100, 100, 150, 150)).setTo(cv::Scalar(40, 40, 200));
        where(cv::Rect(100, 100, 150, 150)).setTo(255);
        cv::circle(where, {500, 300}, 30, cv::Scalar(20), cv::FILLED);
        const InstanceMask pieces = matteOf(where);
        const InstanceMask s =
            SubjectSharing::split(pieces, rgb, {object("book", 0.6f, {100, 100, 150, 150})}, {});
        QCOMPARE(s.count, 1);
        QCOMPARE(clickable(s), std::set<int>{1});
        QCOMPARE(cv::countNonZero(s.wholeMask(cv::Size()) != pieces.matte), 0);
    }

    // Every subject listed can be clicked, in every scene above.
    void everyListedSubjectCanBeClicked()
    {
        const Board b;
        for (const SubjectTuning& tuning : {SubjectTuning{}, [] {
                                                SubjectTuning t;
                                                t.sharing.sliverShare = 0;
                                                return t;
                                            }()}) {
            const InstanceMask s =
                SubjectSharing::split(b.scene.pieces, b.scene.rgb, b.found, {}, tuning);
            std::set<int> all;
            for (int n = 1; n <= s.count; ++n)
                all.insert(n);
            QCOMPARE(clickable(s), all);
        }
    }
};

QTEST_APPLESS_MAIN(TestSliverStage)
#include "tst_sliverstage.moc"
