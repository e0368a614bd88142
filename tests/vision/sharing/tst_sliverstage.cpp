// Slivers: shares of the matte no object accounts for that are too small or
// too thin to be an object go to the subject they border; a share with
// nothing a click could find is no subject at all.
#include "SharingScenes.h"

#include <QTest>

class TestSliverStage : public QObject
{
    Q_OBJECT

private slots:
    // A board a finder names, and beyond its box, joined to it, a knob too
    // small to be anything and a wire too thin; far off, a small stone no
    // finder names. Each rule let be, what it gave away is a subject again:
    // the rule, not the flood, gives the knob and the wire to the board.
    void aSliverGoesToTheSubjectItBorders_data()
    {
        QTest::addColumn<double>("share");
        QTest::addColumn<double>("width");
        QTest::addColumn<int>("subjects");
        QTest::newRow("as tuned") << 0.002 << 0.008 << 2;
        QTest::newRow("small shares let be") << 0.0 << 0.008 << 3;
        QTest::newRow("thin ones too") << 0.0 << 0.0 << 4;
    }
    void aSliverGoesToTheSubjectItBorders()
    {
        QFETCH(double, share);
        QFETCH(double, width);
        QFETCH(int, subjects);
        SubjectTuning tuning;
        QVERIFY(tuning.set("sharing.sliverShare", share) &&
                tuning.set("sharing.sliverWidth", width));
        const InstanceMask s =
            Scene({640, 480}, cv::Scalar(120, 140, 160))
                .add({{100, 100, 100, 100}}, cv::Scalar(40, 40, 200))
                .add({{200, 141, 32, 18}, {130, 200, 3, 150}}, cv::Scalar(200, 200, 200))
                .add({{500, 380, 20, 20}}, cv::Scalar(30, 30, 30))
                .split({object("skateboard", 0.6f, {100, 100, 100, 100})}, {}, tuning);
        QCOMPARE(s.count, subjects);
        const int board = at(s.owner, 150, 150);
        QCOMPARE(infoOf(s, board).className, QStringLiteral("skateboard"));
        // A click on the knob or the wire keeps the board while it is a sliver.
        const std::vector<int> knobAndWire = valuesAt(s.labels, {{225, 150}, {131, 330}});
        QCOMPARE(knobAndWire[0] == board, share > 0);
        QCOMPARE(knobAndWire[1] == board, width > 0);
        // The stone, apart from everything, is something of its own.
        const int stone = at(s.labels, 510, 390);
        QVERIFY(stone > 0 && stone != board);
        QVERIFY(allClickable(s));
    }

    // A haze the matte holds apart from everything, never reaching the level
    // a click finds: listed, it would cut to nothing. It is no subject, and
    // the whole matte is still the cut-out with nothing picked.
    void aShareWithNothingShownIsNoSubject()
    {
        Scene scene({640, 480}, cv::Scalar(120, 140, 160));
        scene.add({{100, 100, 150, 150}}, cv::Scalar(40, 40, 200));
        cv::circle(scene.where, {500, 300}, 30, cv::Scalar(20), cv::FILLED);
        const InstanceMask pieces = scene.pieces();
        const InstanceMask s = SubjectSharing::split(
            pieces, scene.rgb, {object("book", 0.6f, {100, 100, 150, 150})}, {});
        QCOMPARE(s.count, 1);
        QVERIFY(allClickable(s));
        QCOMPARE(cv::countNonZero(s.wholeMask(cv::Size()) != pieces.matte), 0);
    }
};

QTEST_APPLESS_MAIN(TestSliverStage)
#include "tst_sliverstage.moc"
