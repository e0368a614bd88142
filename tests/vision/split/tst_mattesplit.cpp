// The subject split's rules on drawn mattes: what joins, what stays apart,
// what is dropped.
#include "MatteSplit.h"

#include <QTest>
#include <opencv2/imgproc.hpp>

class TestMatteSplit : public QObject
{
    Q_OBJECT

private:
    // A 640 x 480 matte, background 0.
    static cv::Mat blank() { return cv::Mat::zeros(480, 640, CV_32F); }
    static void box(cv::Mat& m, cv::Rect r, float value) { m(r).setTo(value); }
    static int ownerAt(const MatteSplit::Result& r, int x, int y)
    {
        return r.owner.at<uchar>(y, x);
    }

private slots:
    void joinsAndSeparations_data()
    {
        QTest::addColumn<cv::Mat>("matte");
        QTest::addColumn<int>("subjects");

        // A subject a sixteenth of another's size, 6 px away across
        // background: two subjects, though it is close and much smaller.
        cv::Mat apart = blank();
        box(apart, {100, 100, 240, 240}, 1.0f);
        box(apart, {346, 280, 60, 60}, 1.0f);
        QTest::newRow("small subject near a large one") << apart << 2;

        // A quarter-size part 40 px away, linked by matte at 0.4 (a face
        // under a helmet): one subject.
        cv::Mat linked = blank();
        box(linked, {100, 100, 200, 200}, 1.0f);
        box(linked, {340, 150, 100, 100}, 1.0f);
        box(linked, {300, 180, 40, 40}, 0.4f);
        QTest::newRow("part linked by a soft bridge") << linked << 1;

        // Two of a size linked the same way stay two.
        cv::Mat equals = blank();
        box(equals, {60, 100, 200, 200}, 1.0f);
        box(equals, {300, 100, 200, 200}, 1.0f);
        box(equals, {260, 180, 40, 40}, 0.4f);
        QTest::newRow("equal pieces on a soft bridge") << equals << 2;

        // A bridge below 0.3 does not link, and 30 px is beyond the reach
        // of the fragment rule: the small piece stays its own subject.
        cv::Mat weak = blank();
        box(weak, {100, 100, 200, 200}, 1.0f);
        box(weak, {330, 150, 100, 100}, 1.0f);
        box(weak, {300, 180, 30, 40}, 0.2f);
        QTest::newRow("weak bridge") << weak << 2;

        // A small piece 4 px from a large one, faint matte between: a
        // fragment (a hand), one subject.
        cv::Mat fragment = blank();
        box(fragment, {100, 100, 240, 240}, 1.0f);
        box(fragment, {340, 200, 4, 40}, 0.15f);
        box(fragment, {344, 200, 40, 40}, 1.0f);
        QTest::newRow("close fragment over a faint seam") << fragment << 1;
    }

    void joinsAndSeparations()
    {
        QFETCH(cv::Mat, matte);
        QFETCH(int, subjects);
        const MatteSplit::Result r = MatteSplit::split(matte, cv::Mat());
        QCOMPARE(r.count, subjects);
    }

    void specksAndHazeAreDropped()
    {
        cv::Mat m = blank();
        box(m, {100, 100, 200, 200}, 1.0f);
        box(m, {500, 400, 3, 3}, 1.0f);    // a speck on its own
        box(m, {450, 60, 120, 80}, 0.35f); // haze without any confident part
        const MatteSplit::Result r = MatteSplit::split(m, cv::Mat());
        QCOMPARE(r.count, 1);
        QCOMPARE(ownerAt(r, 200, 200), 1);
        QCOMPARE(ownerAt(r, 501, 401), 0);
        QCOMPARE(r.matte.at<uchar>(401, 501), uchar(0));
        // No ghost of the haze in the subject's mask.
        QCOMPARE(ownerAt(r, 500, 100), 0);
        QCOMPARE(r.matte.at<uchar>(100, 500), uchar(0));
    }

    void softEdgeStaysWithItsSubject()
    {
        cv::Mat m = blank();
        box(m, {100, 100, 200, 200}, 1.0f);
        box(m, {300, 100, 10, 200}, 0.3f); // the subject's own soft edge
        const MatteSplit::Result r = MatteSplit::split(m, cv::Mat());
        QCOMPARE(r.count, 1);
        QCOMPARE(ownerAt(r, 305, 200), 1);
        QCOMPARE(r.matte.at<uchar>(200, 305), uchar(cvRound(0.3 * 255)));
        // Labels cover the soft edge from a quarter up.
        QCOMPARE(r.labels.at<uchar>(200, 305), uchar(1));
    }

    void noSubjectIsLostPastTheLastLabel()
    {
        // 324 squares apart: the smallest share the last label, and every
        // one of them stays in the matte.
        cv::Mat m = cv::Mat::zeros(1000, 1000, CV_32F);
        std::vector<cv::Point> centres;
        for (int y = 10; y + 24 <= 1000; y += 54) {
            for (int x = 10; x + 24 <= 1000; x += 54) {
                box(m, {x, y, 24, 24}, 1.0f);
                centres.emplace_back(x + 12, y + 12);
            }
        }
        const MatteSplit::Result r = MatteSplit::split(m, cv::Mat());
        QCOMPARE(r.count, MatteSplit::maxSubjects);
        for (const cv::Point& c : centres) {
            QVERIFY(r.matte.at<uchar>(c) > 0);
            QVERIFY(ownerAt(r, c.x, c.y) >= 1 && ownerAt(r, c.x, c.y) <= r.count);
        }
    }

    void numbersBySize()
    {
        cv::Mat m = blank();
        box(m, {20, 20, 100, 100}, 1.0f);
        box(m, {300, 100, 250, 250}, 1.0f);
        const MatteSplit::Result r = MatteSplit::split(m, cv::Mat());
        QCOMPARE(r.count, 2);
        QCOMPARE(ownerAt(r, 400, 200), 1);
        QCOMPARE(ownerAt(r, 50, 50), 2);

        // Masks from the split: each subject with its own soft edge, none of
        // the other's, at any size; a label that does not exist gives nothing.
        cv::Mat soft;
        cv::GaussianBlur(m, soft, cv::Size(0, 0), 2.0);
        const InstanceMask o = MatteSplit::split(soft, cv::Mat());
        const cv::Mat two = o.scaledMask({2}, cv::Size(640, 480));
        const cv::Mat one = o.scaledMask({1}, cv::Size(640, 480));
        QVERIFY(two.at<uchar>(70, 122) > 0 && two.at<uchar>(70, 122) < 128);
        QCOMPARE(int(one.at<uchar>(70, 122)), 0);
        QCOMPARE(int(two.at<uchar>(200, 400)), 0);
        const cv::Mat all = o.scaledMask({1, 2}, cv::Size(1280, 960));
        QVERIFY(all.at<uchar>(400, 800) > 250 && all.at<uchar>(140, 140) > 250);
        QCOMPARE(cv::countNonZero(o.scaledMask({3}, cv::Size(640, 480))), 0);
    }
};

QTEST_APPLESS_MAIN(TestMatteSplit)
#include "tst_mattesplit.moc"
