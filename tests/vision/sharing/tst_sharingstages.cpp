// The stages the matte is shared out in, each on its own, over small mattes
// drawn by hand: what the matte holds, where the seeds lie, how the flood
// spreads them, whose each share is, and the subjects a click finds.
#include "OwnMask.h"
#include "SharingScenes.h"
#include "SharingStages.h"

#include <QTest>
#include <set>

using namespace Sharing;

namespace {

const cv::Size picture(200, 120);
const SubjectTuning tuning;

// Labels drawn by hand: each rectangle set to its value, in turn.
cv::Mat drawn(std::initializer_list<std::pair<cv::Rect, int>> rects)
{
    cv::Mat m = cv::Mat::zeros(picture, CV_8UC1);
    for (const auto& [r, value] : rects)
        m(r).setTo(value);
    return m;
}

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

// A find (a person with a pose when given joints, see pose()), as the scene
// gathers each on its own.
SceneObject thing(const char* name, cv::Rect box, bool faint = false,
                  std::initializer_list<float> joints = {})
{
    std::vector<DetectedPose> people;
    if (joints.size())
        people.push_back(pose(box, joints));
    return SceneObjects::gather({object(name, faint ? 0.15f : 0.6f, box)}, people, picture, tuning)
        .front();
}

Held holdOf(const InstanceMask& m, const std::vector<SceneObject>& found,
            std::vector<bool> notHeld = {})
{
    notHeld.resize(found.size(), false);
    return hold(m, cv::Mat(picture, CV_8UC3, cv::Scalar::all(120)), found, notHeld, tuning);
}

// The flood label of object `object`'s subject (-1 for a part of the matte)
// and whether it has a mask of its own; -1 and false when it has none.
std::pair<int, bool> shareOf(const Shares& s, int object)
{
    for (const Subject& e : s.subjects) {
        if (e.object == object)
            return {e.label, e.own};
    }
    return {-1, false};
}

} // namespace

Q_DECLARE_METATYPE(cv::Rect)

class TestSharingStages : public QObject
{
    Q_OBJECT

private slots:
    // A 40-pixel box with matte drawn over the left `width` columns of it:
    // not held, held, or held faintly.
    void heldByWhatTheMatteCovers_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<int>("width");
        QTest::addColumn<bool>("faint");
        QTest::addColumn<int>("held");
        QTest::newRow("sure over a third") << 255 << 14 << false << 1;
        QTest::newRow("sure over a quarter") << 255 << 10 << false << 0;
        QTest::newRow("shown only: a blurred rider") << 100 << 40 << false << 2;
        QTest::newRow("shown only, a faint find") << 100 << 40 << true << 0;
        QTest::newRow("below the shown level") << 40 << 40 << false << 0;
    }
    void heldByWhatTheMatteCovers()
    {
        QFETCH(int, level);
        QFETCH(int, width);
        QFETCH(bool, faint);
        QFETCH(int, held);
        const Held h = holdOf(drawnMatte({{{80, 40, width, 40}, level, 1}}),
                              {thing("cat", {80, 40, 40, 40}, faint)});
        QCOMPARE(h.objects[0].label, held > 0 ? 1 : 0);
        QCOMPARE(h.objects[0].faintlyHeld, held == 2);
        if (held)
            QCOMPARE(h.objects[0].cover, held == 2 ? 1.0 : width / 40.0);
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
        QCOMPARE(std::pair(h.objects[1].named, h.objects[1].label),
                 std::pair(named, named ? 2 : 0));
        QCOMPARE(std::pair(h.objects[2].named, h.objects[2].label), std::pair(false, 0));
    }

    // A book lying on a table, a shown-only strip across the table's middle.
    // Flood labels go to the objects the matte holds, larger ones first.
    // Seeds lie in the middle of each box (the table's at (70, 60) and
    // (110, 80), the book's at (100, 55)), not near a box's edge (30, 20),
    // nor off sure matte (130, 60), nor behind the book in front.
    void seedsLieInTheMiddleOfBoxesOnSureMatte()
    {
        const cv::Rect table(20, 10, 160, 100), book(80, 40, 40, 30);
        const Held h = holdOf(drawnMatte({{table, 255, 1}, {{125, 10, 10, 100}, 100, 1}}),
                              {thing("book", book), thing("table", table)});
        QCOMPARE(h.inMatte, (std::vector<size_t>{1, 0}));
        const Seeds s = seed(h, tuning);
        QCOMPARE(valuesAt(s.labels, {{70, 60}, {110, 80}, {100, 55}, {30, 20}, {130, 60}}),
                 (std::vector<int>{1, 1, 2, 0, 0}));
        QCOMPARE(cv::countNonZero(s.labels(book) == 1), 0);
    }

    // A person's seeds are the skeleton (the torso, the neck), not matte in
    // the box away from the bones; and the flood keeps near it.
    void aPersonSeedsAlongTheSkeleton()
    {
        const Held h =
            holdOf(drawnMatte({{{70, 10, 60, 100}, 255, 1}}),
                   {thing("person", {60, 5, 80, 110}, false,
                          {0, 100, 12, 5, 120, 25, 6, 80, 25, 11, 115, 90, 12, 85, 90})});
        const Seeds s = seed(h, tuning);
        QCOMPARE(valuesAt(s.labels, {{100, 60}, {100, 16}, {72, 105}}),
                 (std::vector<int>{1, 1, 0}));
        const SeedFlood::Reach& r = s.reach[1];
        QVERIFY(r.within.at<uchar>(60 - r.box.y, 100 - r.box.x) && !r.within.at<uchar>(0, 0));
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
        const std::vector<int> parts = valuesAt(s.labels, {{20, 50}, {170, 50}, {160, 105}});
        QCOMPARE(std::set<int>(parts.begin(), parts.end()), std::set<int>({2, 3, 4}));
        // No seed on the speck, on the haze (nowhere sure), or on the stick
        // within the block's reach.
        QCOMPARE(valuesAt(s.labels, {{6, 101}, {115, 107}, {125, 50}}), std::vector<int>(3, 0));
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
        cv::Mat rgb(picture, CV_8UC3, cv::Scalar::all(120));
        rgb(cv::Rect(10, 20, 60, 80)).setTo(cv::Scalar(200, 30, 30));
        rgb(cv::Rect(70, 20, 60, 80)).setTo(cv::Scalar(30, 30, 200));
        const Held h = hold(drawnMatte({{{10, 20, 120, 80}, 255, 1},
                                        {{150, 20, 30, 30}, 255, 2},
                                        {{150, 70, 30, 30}, 255, 3}}),
                            rgb, {}, {}, tuning);
        Seeds s{drawn({{{15, 50, 10, 10}, 1}, {{115, 50, 10, 10}, blueSeed ? 2 : 0}}),
                std::vector<SeedFlood::Reach>(3)};
        s.reach[1].box = cv::Rect(0, 0, reachWidth, 120);
        const Flood f = flood(h, s);
        QCOMPARE(valuesAt(f.labels, {{60, 50}, {100, 50}}), (std::vector<int>{inRed, inBlue}));
        // Each piece without a seed stays one subject, labelled after the seeds.
        QCOMPARE(f.labelCount, 5);
        QCOMPARE(cv::countNonZero(f.labels(cv::Rect(150, 20, 30, 30)) != 3), 0);
        QCOMPARE(cv::countNonZero(f.labels(cv::Rect(150, 70, 30, 30)) != 4), 0);
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
        const Held h = holdOf(drawnMatte({{matte, level, 1}}), {thing("rug", {20, 20, 80, 60})});
        const Shares s = Sharing::share(h, Flood{drawn({{matte, 2}, {share, 1}}), 3}, tuning);
        QCOMPARE(shareOf(s, 0), std::pair(1, own));
        QCOMPARE(faintMisfits(h, s), std::vector<bool>{misfit});
    }

    // A keyboard the matte sees only the lettering of, one piece too large to
    // be lettering, a bottle seen as its outline (as a runner, arms and legs
    // spread, fills his box), a ball on bare ground, a faint speck of a bird,
    // and a wall as large as the picture (a weak "cake" over a table top):
    // neither the bird nor the wall gets anything.
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
        cv::Mat labels = drawn({{p1, 1}, {p2, 2}, {large, 3}});
        cv::rectangle(labels, bottle, cv::Scalar(4));
        const Shares s = share(h, Flood{labels, 5}, tuning);
        QCOMPARE(s.subjects.size(), size_t(4));
        // Listed larger first, as the keyboard's box and the ball's.
        QVERIFY(s.subjects[0].object == 0 && s.subjects[3].object == 2);
        // The lettering, both pieces as one, is the keyboard's, cut on its own.
        QCOMPARE(shareOf(s, 0), std::pair(1, true));
        QCOMPARE(at(s.labels, 115, 45), 1);
        // The outline fills the bottle's box as a bottle would: it is the bottle.
        QCOMPARE(shareOf(s, 1), std::pair(4, false));
        QCOMPARE(shareOf(s, -1), std::pair(3, false));
        QCOMPARE(shareOf(s, 2), std::pair(0, true));
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
            posed ? thing("person", box, false, {5, 100, 25, 6, 60, 25, 11, 95, 90, 12, 65, 90})
                  : thing("person", box);
        const Held h = holdOf(drawnMatte({{body, 255, 1}}), {p, thing("tie", {70, 30, 20, 50})});
        const Shares s = share(h, Flood{drawn({{body, 1}, {{75, 40, 10, 20}, 2}}), 3}, tuning);
        QCOMPARE(shareOf(s, 0), std::pair(1, !posed));
        QCOMPARE(shareOf(s, 1), std::pair(posed ? 0 : 2, true));
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
        const Shares s{drawn({{{10, 10, 80, 66}, 1}, {stray, 2}}),
                       3,
                       {{1, 0, false, 5280, dog},
                        {0, 2, true, 2100, table},
                        {2, -1, false, 600, stray},
                        {0, 1, true, 450, ball},
                        {0, 3, true, 200, cup}}};
        const InstanceMask out = subjectsOf(h, s, tuning);
        QCOMPARE(out.count, 5);
        QCOMPARE(namesOf(out, {1, 3}), QStringList({"dog", ""}));
        // The haze is the dog's, but no click finds it.
        QCOMPARE(valuesAt(out.owner, {{50, 72}, {135, 95}}), (std::vector<int>{1, 3}));
        QVERIFY(!out.info[0].own && !out.info[2].own);
        // The ball's mask of its own is cut from around its box when asked for.
        QVERIFY(out.info[3].own && !out.info[3].own->isCut());
        QCOMPARE(out.info[3].own->roi() & ball, ball);
        // Click areas: the ball's is the ellipse in its box, not over the
        // dog (87, 35) nor outside the ellipse (113, 21); the cup's is drawn
        // over the table's, whose box holds it.
        QCOMPARE(
            valuesAt(out.labels, {{50, 72}, {100, 35}, {87, 35}, {113, 21}, {135, 40}, {137, 22}}),
            (std::vector<int>{0, 4, 1, 0, 2, 5}));
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
        const Shares s{
            drawn({{dog, 1}, {stray, 2}}),
            3,
            {{1, 0, false, 4800, dog}, {0, 1, true, 200, tie}, {2, -1, false, 100, stray}}};
        const InstanceMask out = subjectsOf(h, s, tuning);
        const int last = faint ? 2 : 3;
        QCOMPARE(out.count, last);
        QCOMPARE(valuesAt(out.labels, {{40, 35}, {125, 90}}), (std::vector<int>{last - 1, last}));
        QCOMPARE(valuesAt(out.owner, {{40, 35}, {125, 90}}), (std::vector<int>{1, last}));
    }
};

QTEST_APPLESS_MAIN(TestSharingStages)
#include "tst_sharingstages.moc"
