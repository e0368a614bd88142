// The sharing of the matte among objects and people, on drawn pictures and
// mattes with made-up finds: who owns what, what gets a mask of its own.
#include "OwnMask.h"
#include "SharingScenes.h"

#include <QTest>
#include <opencv2/imgproc.hpp>

class TestSubjectSharing : public QObject
{
    Q_OBJECT

private slots:
    // Two people in one piece of matte, A's arm held out across B's body.
    // B's skeleton claims the same forearm, bent sharply from a shoulder
    // above: the arm continues A's skeleton straight on, so it is A's. A's
    // fist lies over B's other upper arm, which hangs down behind it.
    void armsGoWithTheSkeletonTheyContinue()
    {
        cv::Mat rgb(480, 640, CV_8UC3, cv::Scalar(128, 128, 128));
        cv::Mat where = cv::Mat::zeros(480, 640, CV_8UC1);
        const cv::Rect bodyA(100, 120, 150, 340), bodyB(330, 100, 150, 360), arm(250, 240, 170, 25),
            fist(380, 237, 66, 30);
        for (const auto& [r, colour] :
             {std::pair(bodyB, cv::Scalar(200, 40, 40)), std::pair(bodyA, cv::Scalar(40, 40, 200)),
              std::pair(arm, cv::Scalar(40, 40, 200)), std::pair(fist, cv::Scalar(40, 40, 200))}) {
            rgb(r).setTo(colour);
            where(r).setTo(255);
        }
        const InstanceMask pieces = matteOf(where);
        QCOMPARE(pieces.count, 1);
        // A tie box drawn over A's plain jacket: no shape of its own there.
        const std::vector<DetectedObject> boxes{object("person", 0.8f, {90, 110, 340, 360}),
                                                object("person", 0.7f, {320, 90, 170, 380}),
                                                object("tie", 0.3f, {130, 250, 60, 150})};
        const std::vector<DetectedPose> people{pose({90, 110, 340, 360}, {{5, {220, 150}},
                                                                          {6, {130, 150}},
                                                                          {7, {300, 252}},
                                                                          {9, {380, 252}},
                                                                          {11, {210, 420}},
                                                                          {12, {140, 420}}}),
                                               pose({320, 90, 170, 380}, {{5, {460, 140}},
                                                                          {6, {350, 140}},
                                                                          {7, {415, 330}},
                                                                          {8, {305, 250}},
                                                                          {10, {385, 255}},
                                                                          {11, {450, 430}},
                                                                          {12, {360, 430}}})};
        const InstanceMask s = SubjectSharing::split(pieces, rgb, boxes, people);
        QCOMPARE(s.count, 3);
        const int a = ownerAt(s, 120, 200), b = ownerAt(s, 440, 380);
        QVERIFY(a > 0 && b > 0 && a != b);
        QCOMPARE(s.info[size_t(a - 1)].className, QStringLiteral("person"));
        QCOMPARE(ownerAt(s, 160, 320), a);
        // The tie keeps a cut of its own, and lying over A's share, it is in
        // front: a click on it keeps the tie, one beside it A.
        const int tie = 6 - a - b;
        QVERIFY(s.info[size_t(tie - 1)].own);
        QCOMPARE(int(s.labels.at<uchar>(320, 160)), tie);
        QCOMPARE(int(s.labels.at<uchar>(320, 120)), a);
        QCOMPARE(ownerAt(s, 400, 252), a); // the hand, in front of B
        QCOMPARE(ownerAt(s, 340, 252), a);
        for (const cv::Point& p : {cv::Point(438, 238), cv::Point(444, 252), cv::Point(438, 266)})
            QCOMPARE(ownerAt(s, p.x, p.y), a); // all of the fist, over B's upper arm
        QCOMPARE(ownerAt(s, 400, 300), b);     // B's body below the arm
        QCOMPARE(ownerAt(s, 400, 200), b);
        QCOMPARE(ownerAt(s, 340, 440), b);
        // Shared out, not cut down: every pixel of the matte has its owner,
        // and nothing picked is the matte itself.
        QCOMPARE(cv::countNonZero((s.owner > 0) != (pieces.matte > 0)), 0);
        QCOMPARE(cv::countNonZero(s.wholeMask(cv::Size()) != pieces.matte), 0);
        const cv::Mat onlyA = s.scaledMask({a}, cv::Size(320, 240));
        QCOMPARE(onlyA.size(), cv::Size(320, 240));
        QCOMPARE(int(onlyA.at<uchar>(150, 85)), 255);
        QCOMPARE(int(onlyA.at<uchar>(190, 220)), 0);
    }

    void objectsInFrontLeftOutAndUnnamed()
    {
        cv::Mat rgb(480, 640, CV_8UC3, cv::Scalar(90, 90, 90));
        cv::Mat where = cv::Mat::zeros(480, 640, CV_8UC1);
        // A white board with a dark square lying on it and a bar held out
        // beyond its box; a yellow block only a faint find names; a green
        // disc the matte leaves out but for the badge printed on it.
        const cv::Rect board(60, 60, 260, 200), square(150, 120, 60, 60), bar(320, 150, 200, 16),
            block(440, 330, 120, 100);
        rgb(board).setTo(cv::Scalar(235, 235, 235));
        rgb(square).setTo(cv::Scalar(30, 60, 30));
        rgb(bar).setTo(cv::Scalar(235, 235, 235));
        rgb(block).setTo(cv::Scalar(230, 220, 40));
        cv::circle(rgb, {150, 380}, 50, cv::Scalar(40, 200, 60), cv::FILLED);
        cv::circle(rgb, {570, 60}, 25, cv::Scalar(40, 220, 220), cv::FILLED);
        const cv::Rect badge(140, 370, 20, 20);
        rgb(badge).setTo(cv::Scalar(250, 250, 250));
        for (const cv::Rect& r : {board, bar, block, badge})
            where(r).setTo(255);
        const InstanceMask pieces = matteOf(where);
        const std::vector<DetectedObject> found{object("dining table", 0.6f, {60, 60, 260, 200}),
                                                object("book", 0.4f, {148, 118, 64, 64}),
                                                object("frisbee", 0.5f, {95, 325, 110, 110}),
                                                object("cat", 0.1f, {440, 330, 120, 100}),
                                                object("kite", 0.15f, {540, 30, 60, 60}),
                                                object("ball", 0.12f, {108, 338, 30, 30}),
                                                object("laptop", 0.12f, {230, 70, 70, 50})};
        const InstanceMask s = SubjectSharing::split(pieces, rgb, found, {});
        // The faint laptop lies wholly on the table's share: nowhere to click
        // it, so it is not offered.
        QCOMPARE(s.count, 6);
        for (const SubjectInfo& info : s.info)
            QVERIFY(info.className != QLatin1String("laptop"));
        const int table = ownerAt(s, 90, 90), book = ownerAt(s, 180, 150);
        const int held = ownerAt(s, 480, 158), cat = ownerAt(s, 500, 380);
        QCOMPARE(s.info[size_t(table - 1)].className, QStringLiteral("dining table"));
        QCOMPARE(s.info[size_t(book - 1)].className, QStringLiteral("book"));
        QVERIFY(held != table && cat != table && held != cat);
        QVERIFY(s.info[size_t(held - 1)].className.isEmpty());
        // A faint find names a part of the matte no sure find reaches; on a
        // sure find's share it adds nothing.
        QCOMPARE(s.info[size_t(cat - 1)].className, QStringLiteral("cat"));
        QVERIFY(!s.info[size_t(cat - 1)].own);
        QCOMPARE(ownerAt(s, 265, 95), table);
        // A faint find the matte leaves out is offered, but takes no click
        // from another subject.
        const int kite = s.labels.at<uchar>(60, 570);
        QVERIFY(kite > 0 && s.info[size_t(kite - 1)].own);
        QCOMPARE(s.info[size_t(kite - 1)].className, QStringLiteral("kite"));
        QCOMPARE(ownerAt(s, 160, 130), book);
        QCOMPARE(ownerAt(s, 145, 185), table);
        cv::Mat lying = cv::Mat::zeros(480, 640, CV_8UC1);
        lying(square).setTo(255);
        QVERIFY(overlap(s.scaledMask({book}, cv::Size()) >= 128, lying) > 0.9);

        // The disc: a subject of its own, found where a click on it lands
        // (its badge too), cut from the picture when first asked for; not
        // part of the whole but for the badge the matte saw.
        const int disc = s.labels.at<uchar>(350, 150);
        QVERIFY(disc > 0);
        QCOMPARE(s.info[size_t(disc - 1)].className, QStringLiteral("frisbee"));
        QVERIFY(s.info[size_t(disc - 1)].own);
        QCOMPARE(int(s.labels.at<uchar>(380, 150)), disc);
        QCOMPARE(int(s.labels.at<uchar>(353, 123)), disc); // under the faint ball
        QCOMPARE(ownerAt(s, 150, 380), disc);
        QCOMPARE(ownerAt(s, 150, 350), 0);
        cv::Mat truth = cv::Mat::zeros(480, 640, CV_8UC1);
        cv::circle(truth, {150, 380}, 50, cv::Scalar(255), cv::FILLED);
        const cv::Mat cut = s.scaledMask({disc}, cv::Size()) >= 128;
        QVERIFY2(overlap(cut, truth) > 0.9, qPrintable(QString::number(overlap(cut, truth))));
        QCOMPARE(cv::countNonZero(s.wholeMask(cv::Size())(cv::Rect(95, 325, 110, 110))),
                 badge.area());
        // Picked with another subject, each keeps its own.
        const cv::Mat both = s.scaledMask({disc, table}, cv::Size()) >= 128;
        QCOMPARE(cv::countNonZero(both & truth), cv::countNonZero(cut & truth));
        QVERIFY(both.at<uchar>(90, 90));
    }

    // A black calf stands before a white sheep, its head just where the
    // middle of the sheep's box is, and the calf's tall box claims all but
    // the edge of the sheep's middle. The place both claim goes by colour to
    // the one whose undisputed seeds have it: the calf keeps its head.
    void disputedSeedsGoByColour()
    {
        cv::Mat rgb(640, 480, CV_8UC3, cv::Scalar(120, 100, 70));
        const cv::Scalar white(235, 235, 230), black(30, 30, 35);
        const std::vector<cv::Rect> sheep{
            {70, 150, 300, 110}, {90, 100, 50, 60}, {300, 260, 25, 200}, {340, 260, 25, 190}};
        const std::vector<cv::Rect> calf{
            {130, 245, 140, 160}, {150, 405, 25, 210}, {230, 405, 25, 200}};
        cv::Mat where = cv::Mat::zeros(640, 480, CV_8UC1), calfArea = where.clone();
        for (const cv::Rect& r : sheep) {
            rgb(r).setTo(white);
            where(r).setTo(255);
        }
        for (const cv::Rect& r : calf) {
            rgb(r).setTo(black);
            where(r).setTo(255);
            calfArea(r).setTo(255);
        }
        const InstanceMask s = SubjectSharing::split(matteOf(where), rgb,
                                                     {object("sheep", 0.46f, {72, 99, 303, 364}),
                                                      object("cow", 0.36f, {111, 197, 235, 422})},
                                                     {});
        const int calfOwner = ownerAt(s, 200, 300), sheepOwner = ownerAt(s, 330, 200);
        QVERIFY(calfOwner > 0 && sheepOwner > 0 && calfOwner != sheepOwner);
        QCOMPARE(s.info[size_t(calfOwner - 1)].className, QStringLiteral("cow"));
        const cv::Mat shared = s.owner == calfOwner;
        QVERIFY2(overlap(shared, calfArea) > 0.9,
                 qPrintable(QString::number(overlap(shared, calfArea))));
    }

    // Two dogs side by side, the black one's head beside the brown one's
    // shoulder and joined to its body only across a bright red collar: the
    // collar's edges are higher than those between the two dogs. Black fur,
    // which the brown dog does not have, is the black dog's, not the first
    // flood's to get there.
    void aRivalsColoursAreNotTakenOverAnEdge()
    {
        cv::Mat rgb(300, 400, CV_8UC3, cv::Scalar(120, 160, 200));
        cv::Mat where = cv::Mat::zeros(rgb.size(), CV_8UC1);
        cv::Mat blackDog = where.clone();
        const cv::Rect brown(40, 40, 160, 240), head(200, 40, 100, 55), collar(200, 95, 160, 10),
            body(200, 105, 160, 175);
        rgb(brown).setTo(cv::Scalar(150, 120, 70));
        rgb(head).setTo(cv::Scalar(25, 25, 30));
        rgb(collar).setTo(cv::Scalar(230, 20, 20));
        rgb(body).setTo(cv::Scalar(25, 25, 30));
        for (const cv::Rect& r : {brown, head, collar, body})
            where(r).setTo(255);
        for (const cv::Rect& r : {head, collar, body})
            blackDog(r).setTo(255);
        const InstanceMask s = SubjectSharing::split(
            matteOf(where), rgb,
            {object("dog", 0.6f, {40, 40, 175, 240}), object("dog", 0.6f, {185, 40, 175, 240})},
            {});
        const int black = ownerAt(s, 300, 200), brownOwner = ownerAt(s, 100, 200);
        QVERIFY(black > 0 && brownOwner > 0 && black != brownOwner);
        QCOMPARE(ownerAt(s, 205, 60), black);
        QVERIFY2(overlap(s.owner == black, blackDog) > 0.95,
                 qPrintable(QString::number(overlap(s.owner == black, blackDog))));
    }

    // A child seen down to the chest behind a red laptop: the pose puts the
    // hidden hips on the laptop. The laptop is the laptop's, the child the
    // child's.
    void hiddenJointsSeedNothing()
    {
        const Blocks b = blocks({640, 480}, cv::Scalar(150, 120, 90),
                                {{{250, 60, 140, 170}, cv::Scalar(60, 90, 170), 255},
                                 {{170, 262, 300, 160}, cv::Scalar(200, 30, 50), 255}});
        const InstanceMask s =
            SubjectSharing::split(b.pieces, b.rgb,
                                  {object("person", 0.7f, {245, 55, 150, 180}),
                                   object("laptop", 0.6f, {165, 258, 310, 170})},
                                  {pose({245, 55, 150, 180}, {{0, {320, 75}},
                                                              {5, {360, 110}},
                                                              {6, {280, 110}},
                                                              {11, {350, 300}},
                                                              {12, {290, 300}}})});
        const int person = ownerAt(s, 320, 150), computer = ownerAt(s, 320, 380);
        QVERIFY(person > 0 && computer > 0 && person != computer);
        QCOMPARE(s.info[size_t(person - 1)].className, QStringLiteral("person"));
        for (const cv::Point& p : {cv::Point(300, 275), cv::Point(350, 300), cv::Point(180, 270)})
            QCOMPARE(ownerAt(s, p.x, p.y), computer);
    }

    // A runner, arms and legs spread, covers too little of his box to share
    // the matte, but the matte's piece fills the box as he does: it is he,
    // named, and not a cut of his box from the picture.
    void aFindAsLargeAsThePictureOwnsNoBackground()
    {
        // Two blocks on a plain ground, and a weak find whose box is the
        // whole picture: it is no subject, and a click on the ground keeps
        // nothing.
        const Blocks b = blocks({640, 480}, cv::Scalar(250, 250, 250),
                                {{{100, 100, 120, 120}, cv::Scalar(40, 40, 200), 255},
                                 {{400, 260, 120, 120}, cv::Scalar(200, 40, 40), 255}});
        const InstanceMask s =
            SubjectSharing::split(b.pieces, b.rgb, {object("cake", 0.29f, {0, 0, 639, 479})}, {});
        QCOMPARE(int(s.labels.at<uchar>(20, 600)), 0);
        QCOMPARE(int(s.labels.at<uchar>(400, 40)), 0);
        for (const SubjectInfo& info : s.info)
            QVERIFY(info.className != QLatin1String("cake") || !info.own);
        QVERIFY(ownerAt(s, 160, 160) > 0 && ownerAt(s, 460, 320) > 0);
    }

    void aPieceFillingALeftOutBoxIsThatObject()
    {
        cv::Mat rgb(400, 400, CV_8UC3, cv::Scalar(120, 120, 120));
        cv::Mat where = cv::Mat::zeros(400, 400, CV_8UC1);
        for (const auto& [a, b] : {std::pair(cv::Point(110, 60), cv::Point(290, 340)),
                                   std::pair(cv::Point(290, 60), cv::Point(110, 340))}) {
            cv::line(rgb, a, b, cv::Scalar(200, 60, 40), 20);
            cv::line(where, a, b, cv::Scalar(255), 20);
        }
        const InstanceMask s = SubjectSharing::split(
            matteOf(where), rgb, {object("person", 0.75f, {100, 50, 200, 300})}, {});
        QCOMPARE(s.count, 1);
        QCOMPARE(s.info[0].className, QStringLiteral("person"));
        QVERIFY(!s.info[0].own);
        QCOMPARE(int(s.labels.at<uchar>(200, 200)), 1);
        QCOMPARE(int(s.labels.at<uchar>(200, 120)), 0); // beside him, nothing
    }

    // A blurred find the matte sees only faintly (above what the labels
    // show, below one half) beside a sharp one: it is in the matte, with a
    // share of its own seeded on the faint matte.
    void aFindSeenFaintlyTakesItsShare()
    {
        const Blocks b = blocks({400, 300}, cv::Scalar(120, 140, 120),
                                {{{40, 100, 140, 120}, cv::Scalar(40, 40, 200), 255},
                                 {{180, 100, 120, 120}, cv::Scalar(200, 200, 60), 90}});
        const InstanceMask s = SubjectSharing::split(b.pieces, b.rgb,
                                                     {object("bicycle", 0.6f, {40, 100, 140, 120}),
                                                      object("dog", 0.3f, {180, 100, 120, 120})},
                                                     {});
        const int bike = ownerAt(s, 100, 160), dog = ownerAt(s, 240, 160);
        QVERIFY(bike > 0 && dog > 0 && bike != dog);
        QCOMPARE(s.info[size_t(dog - 1)].className, QStringLiteral("dog"));
        QVERIFY(!s.info[size_t(dog - 1)].own);
        QCOMPARE(int(s.labels.at<uchar>(110, 290)), dog);
    }

    // A wide box over a cat's faint belly and the desk below: held only
    // faintly, its share is no desk's shape. The belly stays the cat's, and
    // the desk gets a mask of its own.
    void aFaintlyHeldMisfitLeavesTheMatteToOthers()
    {
        const Blocks b = blocks({400, 320}, cv::Scalar(150, 150, 150),
                                {{{60, 60, 280, 100}, cv::Scalar(60, 90, 140), 255},
                                 {{60, 160, 280, 50}, cv::Scalar(70, 100, 150), 90}});
        const InstanceMask s = SubjectSharing::split(
            b.pieces, b.rgb,
            {object("cat", 0.6f, {60, 60, 280, 150}), object("laptop", 0.3f, {20, 150, 360, 140})},
            {});
        const int cat = ownerAt(s, 200, 100);
        QVERIFY(cat > 0);
        QCOMPARE(s.info[size_t(cat - 1)].className, QStringLiteral("cat"));
        QCOMPARE(ownerAt(s, 200, 195), cat);
        QCOMPARE(s.count, 2);
        const int desk = cat == 1 ? 2 : 1;
        QCOMPARE(s.info[size_t(desk - 1)].className, QStringLiteral("laptop"));
        QVERIFY(s.info[size_t(desk - 1)].own);
    }

    // The matte sees a person at the side only at one half, an unnamed
    // piece likewise, and a named ball hardly at all. Picked, the person is
    // whole, with the edge's shape kept and a haze still faint; the piece
    // and the ball stay as the matte says, and so does the whole.
    void aNamedSubjectSeenFaintlyIsWholeWhenPicked()
    {
        InstanceMask m;
        m.matte = cv::Mat(60, 90, CV_8UC1, cv::Scalar(128));
        m.owner = cv::Mat(60, 90, CV_8UC1, cv::Scalar(1));
        m.owner.colRange(30, 60).setTo(2);
        m.owner.colRange(60, 90).setTo(3);
        m.matte.col(0).setTo(64);
        m.matte.col(1).setTo(16); // haze
        m.matte.colRange(60, 90).setTo(80);
        m.labels = m.owner.clone();
        m.count = 3;
        m.info = {{QStringLiteral("person"), 0.7f, {0, 0, 30, 60}, nullptr},
                  {},
                  {QStringLiteral("sports ball"), 0.5f, {60, 0, 30, 60}, nullptr}};
        const cv::Mat person = m.scaledMask({1}, cv::Size());
        QCOMPARE(int(person.at<uchar>(30, 15)), 255);
        QCOMPARE(int(person.at<uchar>(30, 0)), 128);
        QVERIFY(person.at<uchar>(30, 1) <= 20);
        QCOMPARE(int(person.at<uchar>(30, 45)), 0);
        QCOMPARE(int(m.scaledMask({2}, cv::Size()).at<uchar>(30, 45)), 128);
        QCOMPARE(int(m.scaledMask({3}, cv::Size()).at<uchar>(30, 75)), 160);
        QCOMPARE(cv::countNonZero(m.wholeMask(cv::Size()) != m.matte), 0);
    }
};

QTEST_APPLESS_MAIN(TestSubjectSharing)
#include "tst_subjectsharing.moc"
