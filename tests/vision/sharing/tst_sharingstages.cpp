// The stages the matte is shared out in, each on its own, over small mattes
// drawn by hand: what the matte holds, where the seeds lie, how the flood
// spreads them, whose each share is, and the subjects a click finds.
#include "OwnMask.h"
#include "SharingScenes.h"
#include "SharingStages.h"

#include <QTest>
#include <algorithm>
#include <set>

using namespace Sharing;

namespace {

const cv::Size picture(200, 120);
const SubjectTuning tuning;

// The matte's split drawn by hand: rectangles of matte, each at its level,
// each part of the matte's subject given.
InstanceMask drawnMatte(std::initializer_list<std::tuple<cv::Rect, int, int>> parts)
{
    InstanceMask m;
    m.matte = cv::Mat::zeros(picture, CV_8UC1);
    m.owner = cv::Mat::zeros(picture, CV_8UC1);
    for (const auto& [r, level, subject] : parts) {
        m.matte(r).setTo(level);
        m.owner(r).setTo(subject);
        m.count = std::max(m.count, subject);
    }
    m.labels = m.owner.clone();
    m.labels.setTo(0, m.matte < tuning.levels.shown);
    return m;
}

// A find, and a person with the given joints (COCO's numbering) sure, as
// the scene gathers each on its own.
SceneObject thing(const char* name, cv::Rect box, bool faint = false)
{
    return SceneObjects::gather({object(name, faint ? 0.15f : 0.6f, box)}, {}, picture, tuning)
        .front();
}

SceneObject person(cv::Rect box, std::initializer_list<std::pair<int, cv::Point2f>> joints)
{
    return SceneObjects::gather({object("person", 0.6f, box)}, {pose(box, joints)}, picture, tuning)
        .front();
}

cv::Mat grey()
{
    return cv::Mat(picture, CV_8UC3, cv::Scalar(120, 120, 120));
}

Held holdOf(const InstanceMask& m, const std::vector<SceneObject>& found,
            std::vector<bool> notHeld = {})
{
    notHeld.resize(found.size(), false);
    return hold(m, grey(), found, notHeld, tuning);
}

int at(const cv::Mat& labels, int x, int y)
{
    return labels.at<uchar>(y, x);
}

cv::Mat blank()
{
    return cv::Mat::zeros(picture, CV_8UC1);
}

const Subject& subjectOfObject(const Shares& s, int object)
{
    static const Subject none{0, -2, false, 0, {}};
    const auto found = std::find_if(s.subjects.begin(), s.subjects.end(),
                                    [&](const Subject& e) { return e.object == object; });
    return found == s.subjects.end() ? none : *found;
}

} // namespace

Q_DECLARE_METATYPE(cv::Rect)

class TestSharingStages : public QObject
{
    Q_OBJECT

private slots:
    // A 40-pixel box with matte drawn over the left `width` columns of it.
    void heldByWhatTheMatteCovers_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<int>("width");
        QTest::addColumn<bool>("faint");
        QTest::addColumn<bool>("notHeld");
        QTest::addColumn<bool>("held");
        QTest::addColumn<bool>("faintly");
        QTest::newRow("sure over all of it") << 255 << 40 << false << false << true << false;
        QTest::newRow("sure over a third") << 255 << 14 << false << false << true << false;
        QTest::newRow("sure over a quarter") << 255 << 10 << false << false << false << false;
        QTest::newRow("shown only: a blurred rider") << 100 << 40 << false << false << true << true;
        QTest::newRow("shown only, a faint find") << 100 << 40 << true << false << false << false;
        QTest::newRow("below the shown level") << 40 << 40 << false << false << false << false;
        QTest::newRow("left out on purpose") << 255 << 40 << false << true << false << false;
    }
    void heldByWhatTheMatteCovers()
    {
        QFETCH(int, level);
        QFETCH(int, width);
        QFETCH(bool, faint);
        QFETCH(bool, notHeld);
        QFETCH(bool, held);
        QFETCH(bool, faintly);
        const Held h = holdOf(drawnMatte({{{80, 40, width, 40}, level, 1}}),
                              {thing("cat", {80, 40, 40, 40}, faint)}, {notHeld});
        QCOMPARE(h.inMatte.size(), size_t(held));
        QCOMPARE(h.objects[0].label, held ? 1 : 0);
        QCOMPARE(h.objects[0].faintlyHeld, faintly);
        if (held)
            QCOMPARE(h.objects[0].cover, faintly ? 1.0 : width / 40.0);
    }

    // A faint cat on a part of the matte no sure find reaches names it; a
    // faint bowl on the dog's share does not. A bench the matte leaves out
    // reaches the cat unless the cat lies in front of it.
    void aFaintFindNamesWhatNoSureFindReaches_data()
    {
        QTest::addColumn<cv::Rect>("bench");
        QTest::addColumn<bool>("named");
        QTest::newRow("no bench") << cv::Rect() << true;
        QTest::newRow("the cat in front of the bench") << cv::Rect(110, 0, 90, 120) << true;
        QTest::newRow("the bench beside the cat") << cv::Rect(150, 0, 50, 120) << false;
    }
    void aFaintFindNamesWhatNoSureFindReaches()
    {
        QFETCH(cv::Rect, bench);
        QFETCH(bool, named);
        std::vector<SceneObject> found{thing("dog", {10, 20, 80, 80}),
                                       thing("cat", {130, 30, 50, 50}, true),
                                       thing("bowl", {30, 40, 30, 30}, true)};
        if (!bench.empty())
            found.push_back(thing("bench", bench));
        const Held h =
            holdOf(drawnMatte({{{10, 20, 80, 80}, 255, 1}, {{130, 30, 50, 50}, 255, 2}}), found);
        QCOMPARE(h.objects[1].named, named);
        QCOMPARE(h.objects[1].faint, !named);
        QCOMPARE(h.objects[1].label, named ? 2 : 0);
        QVERIFY(!h.objects[2].named && h.objects[2].label == 0);
    }

    // A book lying on a table, a shown-only strip across the table's middle.
    // Flood labels go to the objects the matte holds, larger ones first.
    void seedsLieInTheMiddleOfBoxesOnSureMatte()
    {
        const cv::Rect table(20, 10, 160, 100), book(80, 40, 40, 30);
        const Held h = holdOf(drawnMatte({{table, 255, 1}, {{125, 10, 10, 100}, 100, 1}}),
                              {thing("book", book), thing("table", table)});
        QCOMPARE(h.inMatte, (std::vector<size_t>{1, 0}));
        QVERIFY(h.ofLabel(1) == &h.objects[1] && h.ofLabel(2) == &h.objects[0] && !h.ofLabel(3));
        const Seeds s = seed(h, tuning);
        QCOMPARE(at(s.labels, 70, 60), 1);
        QCOMPARE(at(s.labels, 110, 80), 1);
        QCOMPARE(at(s.labels, 100, 55), 2);
        QCOMPARE(at(s.labels, 30, 20), 0);  // outside the middle of the box
        QCOMPARE(at(s.labels, 130, 60), 0); // not sure matte
        // Behind the book in front nothing of the table's box is sure.
        QCOMPARE(cv::countNonZero(s.labels(book) == 1), 0);
        QCOMPARE(at(s.labels, 85, 45), 0);
        QCOMPARE(s.reach.size(), size_t(3));
        QCOMPARE(s.reach[1].box, h.objects[1].reach);
    }

    // A person's seeds are the skeleton, and the flood keeps near it.
    void aPersonSeedsAlongTheSkeleton()
    {
        const SceneObject p = person(
            {60, 5, 80, 110},
            {{0, {100, 12}}, {5, {120, 25}}, {6, {80, 25}}, {11, {115, 90}}, {12, {85, 90}}});
        const Held h = holdOf(drawnMatte({{{70, 10, 60, 100}, 255, 1}}), {p});
        const Seeds s = seed(h, tuning);
        QCOMPARE(at(s.labels, 100, 60), 1); // the torso
        QCOMPARE(at(s.labels, 100, 16), 1); // the neck
        QCOMPARE(at(s.labels, 72, 105), 0); // matte in the box, away from the bones
        const SeedFlood::Reach& r = s.reach[1];
        QCOMPARE(r.within.size(), r.box.size());
        QVERIFY(r.within.at<uchar>(60 - r.box.y, 100 - r.box.x));
        QVERIFY(!r.within.at<uchar>(0, 0));
    }

    // Beyond the block's reach: a stick held out on either side (each a
    // subject of its own), a stone no finder named, a speck and a haze.
    void partsOutsideEveryBoxAreSeedsOfTheirOwn()
    {
        const cv::Rect block(60, 20, 60, 60);
        const Held h = holdOf(drawnMatte({{block, 255, 1},
                                          {{0, 45, 60, 10}, 255, 1},
                                          {{120, 45, 70, 10}, 255, 1},
                                          {{150, 95, 20, 20}, 255, 2},
                                          {{5, 100, 3, 3}, 255, 3},
                                          {{100, 100, 30, 15}, 100, 4}}),
                              {thing("box", block)});
        const Seeds s = seed(h, tuning);
        QCOMPARE(s.reach.size(), size_t(5));
        const int left = at(s.labels, 20, 50), right = at(s.labels, 170, 50),
                  stone = at(s.labels, 160, 105);
        QCOMPARE(std::set<int>({left, right, stone}), std::set<int>({2, 3, 4}));
        QCOMPARE(s.reach[size_t(left)].box, cv::Rect(cv::Point(), picture));
        QCOMPARE(at(s.labels, 6, 101), 0);   // the speck
        QCOMPARE(at(s.labels, 115, 107), 0); // a haze, nowhere sure
        QCOMPARE(at(s.labels, 125, 50), 0);  // the stick within the block's reach
    }

    // One piece of matte, red on the left and blue on the right, a seed in
    // each half; two more pieces no seed lies in.
    void floodFollowsColoursWithinReach_data()
    {
        QTest::addColumn<int>("reachWidth"); // of the red seed's reach, from the left
        QTest::addColumn<bool>("blueSeed");
        QTest::addColumn<int>("inRed"); // label at x = 60, red
        QTest::addColumn<int>("inBlue");
        QTest::newRow("the colour edge parts them") << 200 << true << 1 << 2;
        QTest::newRow("the reach stops the red seed") << 50 << true << 2 << 2;
        QTest::newRow("what no reach took goes on") << 50 << false << 1 << 1;
    }
    void floodFollowsColoursWithinReach()
    {
        QFETCH(int, reachWidth);
        QFETCH(bool, blueSeed);
        QFETCH(int, inRed);
        QFETCH(int, inBlue);
        cv::Mat rgb = grey();
        rgb(cv::Rect(10, 20, 60, 80)).setTo(cv::Scalar(200, 30, 30));
        rgb(cv::Rect(70, 20, 60, 80)).setTo(cv::Scalar(30, 30, 200));
        const InstanceMask m = drawnMatte({{{10, 20, 120, 80}, 255, 1},
                                           {{150, 20, 30, 30}, 255, 2},
                                           {{150, 70, 30, 30}, 255, 3}});
        const Held h = hold(m, rgb, {}, {}, tuning);
        Seeds s{blank(), std::vector<SeedFlood::Reach>(3)};
        s.labels(cv::Rect(15, 50, 10, 10)).setTo(1);
        if (blueSeed)
            s.labels(cv::Rect(115, 50, 10, 10)).setTo(2);
        s.reach[1].box = cv::Rect(0, 0, reachWidth, 120);
        const Flood f = flood(h, s);
        QCOMPARE(at(f.labels, 60, 50), inRed);
        QCOMPARE(at(f.labels, 100, 50), inBlue);
        // Each piece without a seed stays one subject, labelled after the seeds.
        QCOMPARE(f.labelCount, 5);
        const int a = at(f.labels, 165, 35), b = at(f.labels, 165, 85);
        QVERIFY(a >= 3 && b >= 3 && a != b);
        QCOMPARE(cv::countNonZero(f.labels(cv::Rect(150, 20, 30, 30)) != a), 0);
        // Every pixel of the matte has a label, and nothing else has.
        QCOMPARE(cv::countNonZero((f.labels > 0) != h.domain), 0);
    }

    // A rug whose share is drawn by hand: the matte under `matte`, its flood
    // label over `share`, any matte beyond a part of its own.
    void aShareMakesItsObjectsShapeOrItGetsAMask_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<cv::Rect>("matte");
        QTest::addColumn<cv::Rect>("share");
        QTest::addColumn<bool>("own");
        QTest::addColumn<bool>("misfit");
        const cv::Rect box(20, 20, 80, 60), strip(20, 20, 80, 24);
        QTest::newRow("fills its box") << 255 << box << box << false << false;
        QTest::newRow("a strip of its box") << 255 << strip << strip << true << false;
        QTest::newRow("cut off where its reach ends, the matte going on")
            << 255 << cv::Rect(20, 20, 170, 60) << cv::Rect(20, 20, 90, 60) << true << false;
        QTest::newRow("held faintly, fills its box") << 100 << box << box << false << false;
        QTest::newRow("held faintly, a strip") << 100 << strip << strip << true << true;
    }
    void aShareMakesItsObjectsShapeOrItGetsAMask()
    {
        QFETCH(int, level);
        QFETCH(cv::Rect, matte);
        QFETCH(cv::Rect, share);
        QFETCH(bool, own);
        QFETCH(bool, misfit);
        const cv::Rect box(20, 20, 80, 60);
        const Held h = holdOf(drawnMatte({{matte, level, 1}}), {thing("rug", box)});
        cv::Mat labels = blank();
        labels(matte).setTo(2);
        labels(share).setTo(1);
        const Shares s = Sharing::share(h, Flood{labels, 3}, tuning);
        const Subject& rug = s.subjects.front();
        QCOMPARE(rug.object, 0);
        QCOMPARE(rug.label, 1);
        QCOMPARE(rug.own, own);
        QCOMPARE(rug.box, box);
        QCOMPARE(faintMisfits(h, s), std::vector<bool>{misfit});
    }

    // A keyboard the matte sees only the lettering of, one piece too large to
    // be lettering, a bottle seen as its outline, a ball on bare ground, a
    // faint speck of a bird and a wall as large as the picture.
    void objectsTheMatteLeavesOutTakeTheirPieces()
    {
        const cv::Rect keyboard(20, 20, 140, 80), bottle(170, 10, 20, 100);
        const cv::Rect p1(50, 40, 20, 10), p2(110, 40, 20, 10), large(60, 60, 50, 36);
        InstanceMask m = drawnMatte({{p1, 255, 1}, {p2, 255, 2}, {large, 255, 3}});
        cv::rectangle(m.matte, bottle, cv::Scalar(255));
        cv::rectangle(m.owner, bottle, cv::Scalar(4));
        m.count = 4;
        const Held h = holdOf(
            m, {thing("keyboard", keyboard), thing("bottle", bottle), thing("ball", {2, 2, 15, 15}),
                thing("bird", {2, 100, 8, 8}, true), thing("wall", {0, 0, 200, 120})});
        cv::Mat labels = blank();
        labels(p1).setTo(1);
        labels(p2).setTo(2);
        labels(large).setTo(3);
        cv::rectangle(labels, bottle, cv::Scalar(4));
        const Shares s = share(h, Flood{labels, 5}, tuning);
        QCOMPARE(s.subjects.size(), size_t(4));
        QCOMPARE(s.subjects[0].object, 0); // listed larger first, as the keyboard's box
        QCOMPARE(s.subjects[3].object, 2);
        // The lettering, both pieces as one, is the keyboard's, cut on its own.
        const Subject& k = subjectOfObject(s, 0);
        QVERIFY(k.own);
        QCOMPARE(k.label, 1);
        QCOMPARE(at(s.labels, 115, 45), 1);
        // The outline fills the bottle's box as a bottle would: it is the bottle.
        const Subject& b = subjectOfObject(s, 1);
        QVERIFY(!b.own);
        QCOMPARE(b.label, 4);
        QCOMPARE(subjectOfObject(s, -1).label, 3);
        const Subject& ball = subjectOfObject(s, 2);
        QVERIFY(ball.own);
        QCOMPARE(ball.label, 0);
    }

    // A tie box drawn over a person's jacket, its share too small for its
    // shape: it gives the share to the person, whose share stands however
    // the box was drawn. Without a pose, it is no person's to take.
    void aTieGivesItsShareBackToThePerson_data()
    {
        QTest::addColumn<bool>("posed");
        QTest::newRow("posed") << true;
        QTest::newRow("no pose") << false;
    }
    void aTieGivesItsShareBackToThePerson()
    {
        QFETCH(bool, posed);
        const cv::Rect box(20, 5, 120, 110), body(45, 10, 70, 100);
        const SceneObject p =
            posed ? person(box, {{5, {100, 25}}, {6, {60, 25}}, {11, {95, 90}}, {12, {65, 90}}})
                  : thing("person", box);
        const Held h = holdOf(drawnMatte({{body, 255, 1}}), {p, thing("tie", {70, 30, 20, 50})});
        cv::Mat labels = blank();
        labels(body).setTo(1);
        labels(cv::Rect(75, 40, 10, 20)).setTo(2);
        const Shares s = share(h, Flood{labels, 3}, tuning);
        QCOMPARE(subjectOfObject(s, 0).own, !posed);
        QVERIFY(subjectOfObject(s, 1).own);
        QCOMPARE(subjectOfObject(s, 1).label, posed ? 0 : 2);
        QCOMPARE(at(s.labels, 80, 50), posed ? 1 : 2);
    }

    // A dog's share with a haze below it, a part of the matte no finder
    // named, a ball beside the dog the matte left out, and a cup on a table
    // both left out.
    void subjectsAreTheSharesAndTheirClickAreas()
    {
        const cv::Rect dog(10, 10, 80, 60), stray(120, 85, 30, 20), ball(85, 20, 30, 30),
            table(125, 10, 70, 60), cup(127, 12, 20, 20);
        const Held h = holdOf(
            drawnMatte({{dog, 255, 1}, {{10, 70, 80, 6}, 40, 1}, {stray, 255, 2}}),
            {thing("dog", dog), thing("ball", ball), thing("table", table), thing("cup", cup)});
        Shares s{blank(), 3, {}};
        s.labels(cv::Rect(10, 10, 80, 66)).setTo(1);
        s.labels(stray).setTo(2);
        s.subjects = {{1, 0, false, 5280, dog},
                      {0, 2, true, 2100, table},
                      {2, -1, false, 600, stray},
                      {0, 1, true, 450, ball},
                      {0, 3, true, 200, cup}};
        const InstanceMask out = subjectsOf(h, s, tuning);
        QCOMPARE(out.count, 5);
        QCOMPARE(ownerAt(out, 50, 72), 1);   // the haze is the dog's ...
        QCOMPARE(at(out.labels, 50, 72), 0); // ... but no click finds it
        QCOMPARE(ownerAt(out, 135, 95), 3);
        QCOMPARE(out.info[0].className, QStringLiteral("dog"));
        QVERIFY(!out.info[0].own);
        QVERIFY(out.info[2].className.isEmpty() && !out.info[2].own);
        // The ball's mask of its own is cut from around its box when asked for.
        QVERIFY(out.info[3].own && !out.info[3].own->isCut());
        QCOMPARE(out.info[3].own->roi() & ball, ball);
        // The ball's click area: the ellipse in its box, not over the dog.
        QCOMPARE(at(out.labels, 100, 35), 4);
        QCOMPARE(at(out.labels, 87, 35), 1);
        QCOMPARE(at(out.labels, 113, 21), 0); // outside the ellipse
        // The cup's is drawn over the table's, whose box holds it.
        QCOMPARE(at(out.labels, 135, 40), 2);
        QCOMPARE(at(out.labels, 137, 22), 5);
    }

    // A tie with a mask of its own lying wholly on the dog's share: a sure
    // find is in front and keeps its click area; a faint one is not offered,
    // and the subjects after it move up.
    void aFindWhollyOverASharesIsInFrontOnlyWhenSure_data()
    {
        QTest::addColumn<bool>("faint");
        QTest::newRow("sure") << false;
        QTest::newRow("faint") << true;
    }
    void aFindWhollyOverASharesIsInFrontOnlyWhenSure()
    {
        QFETCH(bool, faint);
        const cv::Rect dog(10, 10, 80, 60), tie(30, 25, 20, 20), stray(120, 85, 10, 10);
        const Held h = holdOf(drawnMatte({{dog, 255, 1}, {stray, 255, 2}}),
                              {thing("dog", dog), thing("tie", tie, faint)}, {false, true});
        Shares s{blank(), 3, {}};
        s.labels(dog).setTo(1);
        s.labels(stray).setTo(2);
        s.subjects = {{1, 0, false, 4800, dog}, {0, 1, true, 200, tie}, {2, -1, false, 100, stray}};
        const InstanceMask out = subjectsOf(h, s, tuning);
        QCOMPARE(out.count, faint ? 2 : 3);
        QCOMPARE(at(out.labels, 40, 35), faint ? 1 : 2);
        QCOMPARE(ownerAt(out, 40, 35), 1);
        QCOMPARE(ownerAt(out, 125, 90), faint ? 2 : 3);
        QCOMPARE(at(out.labels, 125, 90), faint ? 2 : 3);
    }
};

QTEST_APPLESS_MAIN(TestSharingStages)
#include "tst_sharingstages.moc"
