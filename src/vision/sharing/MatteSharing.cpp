#include "MatteSharing.h"

#include <algorithm>
#include <array>
#include <opencv2/imgproc.hpp>

namespace {

// A faint find shares the matte where no more than this share of its box is
// within a sure object's reach.
constexpr double faintReached = 0.2;
constexpr int coreLevel = 128;        // the matte at one half
constexpr double speckShare = 0.0005; // as MatteSplit
// Without a skeleton, seeds fill this share of the box's inscribed ellipse.
constexpr double seedShare = 0.5;
// A person's claim on other objects' seeds: the skeleton drawn this many
// times as wide as its seeds.
constexpr double claimWidth = 2.5;
// A person's seeds lie within the box and this share of it around: a box
// drawn a little tight still seeds the hand at its edge.
constexpr double seenMargin = 0.1;
// An object no more than this share of another's size, mostly inside its
// box, is in front of it; of a box over this share of the picture without a
// skeleton (the scene's table, bed or ground), no more than the larger share.
constexpr double inFront = 0.25;
constexpr double sceneShare = 0.5;
constexpr double inFrontOfScene = 0.9;
// A part of a matte subject outside every box is a subject of its own when
// it is at least this share of it.
constexpr double leftoverShare = 0.03;
// A disputed seed goes back to an object whose own colours it is this many
// times likelier to have than its rival's, when each shows at least this
// many undisputed seeds.
constexpr double colourMargin = 4;
constexpr int colourSamples = 50;
// A rival's colour, where an object's flood comes last: at least this share
// of the rival's seeds, and at most this share of the object's own.
constexpr double rivalCommon = 0.02;
constexpr double ownRare = 0.002;
// An object whose sure seeds are fewer than this share of its seeds keeps
// those no object in front took.
constexpr double sureNeeded = 0.1;

using Segment = PersonSkeleton::Segment;
using Reach = SeedFlood::Reach;

// Where a person's skeleton may seed, as a mask over `reach`: the person's
// box and a margin. The box is the person as seen; joints beyond it are the
// pose's guesses at what something in front hides (hips behind a table), and
// their seeds would lie on whatever hides them.
cv::Mat seenPart(const cv::Rect& box, const cv::Rect& reach)
{
    const int mx = int(seenMargin * box.width), my = int(seenMargin * box.height);
    const cv::Rect seen(box.x - mx, box.y - my, box.width + 2 * mx, box.height + 2 * my);
    cv::Mat m = cv::Mat::zeros(reach.size(), CV_8UC1);
    m((seen & reach) - reach.tl()).setTo(255);
    return m;
}

} // namespace

MatteSharing::MatteSharing(const InstanceMask& matte, const cv::Mat& rgb,
                           const std::vector<SceneObject>& found)
    : m_matte(matte), m_rgb(rgb), m_found(found), m_size(matte.matte.size()),
      m_things(found.begin(), found.end()), m_notHeld(found.size(), false),
      m_core(matte.matte >= coreLevel), m_domain(matte.owner > 0),
      m_shown(m_domain & (matte.matte >= labelLevel))
{
}

InstanceMask MatteSharing::run()
{
    findObjectsInMatte();
    laySeeds();
    settleClaims();
    drawSeeds();
    floodMatte();
    givePiecesToLeftOut();
    makeEntries();
    // An object held faintly whose share does not make its shape is not the
    // matte's after all (a desk under a cat's shadowed belly): the matte is
    // shared out again without it, and it gets a mask of its own.
    if (const std::vector<bool> misfits = faintMisfits();
        std::find(misfits.begin(), misfits.end(), true) != misfits.end()) {
        MatteSharing again(m_matte, m_rgb, m_found);
        for (size_t i = 0; i < m_things.size(); ++i)
            again.m_notHeld[i] = m_notHeld[i] || misfits[i];
        return again.run();
    }
    InstanceMask out = labelled();
    addOwnMasks(out);
    drawClickAreas(out);
    return out;
}

bool MatteSharing::front(const Thing& a, const Thing& b) const
{
    const bool scene = b.area >= sceneShare * double(m_size.area()) && !b.pose;
    return a.area <= (scene ? inFrontOfScene : inFront) * b.area &&
           (a.box & b.box).area() >= frontInside * a.area;
}

void MatteSharing::findObjectsInMatte()
{
    cv::Mat coreSum, shownSum;
    cv::integral(m_core / 255, coreSum, CV_32S);
    cv::integral(m_shown / 255, shownSum, CV_32S);
    auto sumIn = [](const cv::Mat& sum, const cv::Rect& r) {
        return sum.at<int>(r.br()) - sum.at<int>(r.y, r.br().x) - sum.at<int>(r.br().y, r.x) +
               sum.at<int>(r.tl());
    };
    for (size_t i = 0; i < m_things.size(); ++i) {
        Thing& t = m_things[i];
        if (m_notHeld[i])
            continue;
        t.cover = double(sumIn(coreSum, t.box)) / std::max(1.0, t.area);
        const double shown = double(sumIn(shownSum, t.box)) / std::max(1.0, t.area);
        t.faintlyHeld = !t.faint && t.cover < coverNeeded && shown >= coverNeeded;
        if (t.faintlyHeld)
            t.cover = shown;
        if (t.cover >= coverNeeded && !t.faint)
            m_inMatte.push_back(i);
    }
    // A faint find names a part of the matte no sure find reaches (but one
    // the matte leaves out and it lies in front of): there it shares the
    // matte as they do.
    std::vector<size_t> named;
    for (size_t i = 0; i < m_things.size(); ++i) {
        const Thing& t = m_things[i];
        if (!t.faint || t.cover < coverNeeded)
            continue;
        cv::Mat reached = cv::Mat::zeros(t.box.size(), CV_8UC1);
        for (const Thing& q : m_things) {
            const cv::Rect common = q.reach & t.box;
            const bool covered = q.cover >= coverNeeded;
            if (!q.faint && !common.empty() && (covered || !front(t, q)))
                reached(common - t.box.tl()).setTo(1);
        }
        if (cv::countNonZero(reached) <= faintReached * t.area)
            named.push_back(i);
    }
    for (size_t i : named) {
        m_things[i].faint = false;
        m_inMatte.push_back(i);
    }
    std::stable_sort(m_inMatte.begin(), m_inMatte.end(),
                     [&](size_t a, size_t b) { return m_things[a].area > m_things[b].area; });
    for (size_t i : m_inMatte) {
        m_things[i].seed = int(m_bySeed.size());
        m_bySeed.push_back(&m_things[i]);
    }
}

// Seeds where each object surely is (a person's skeleton, else the middle of
// its box), and the claim it lays on the picture against other objects'
// seeds (the ellipse in its box, or the skeleton drawn as wide as limbs
// are), over its reach.
void MatteSharing::laySeeds()
{
    const size_t n = m_inMatte.size();
    m_skeletons.resize(m_things.size());
    m_seedOf.resize(n);
    m_claimOf.resize(n);
    for (size_t k = 0; k < n; ++k) {
        const Thing& t = inMatte(k);
        const cv::Rect& r = t.reach;
        m_seedOf[k] = cv::Mat::zeros(r.size(), CV_8UC1);
        m_claimOf[k] = cv::Mat::zeros(r.size(), CV_8UC1);
        if (t.pose) {
            const PersonSkeleton& s = m_skeletons[m_inMatte[k]] =
                PersonSkeleton::of(*t.pose, t.box);
            s.draw(m_seedOf[k], r.tl(), s.width);
            s.draw(m_claimOf[k], r.tl(), s.width * claimWidth);
            m_seedOf[k] &= seenPart(t.box, r);
        } else {
            const cv::Point centre(t.box.x + t.box.width / 2 - r.x,
                                   t.box.y + t.box.height / 2 - r.y);
            const cv::Size semi(std::max(1, t.box.width / 2), std::max(1, t.box.height / 2));
            cv::ellipse(m_seedOf[k], centre,
                        cv::Size(std::max(1, int(semi.width * seedShare)),
                                 std::max(1, int(semi.height * seedShare))),
                        0, 0, 360, cv::Scalar(255), cv::FILLED);
            cv::ellipse(m_claimOf[k], centre, semi, 0, 0, 360, cv::Scalar(255), cv::FILLED);
        }
        // An object held faintly with no confident matte where it surely is
        // seeds on the matte there that the labels show.
        const cv::Mat place = t.faintlyHeld ? m_seedOf[k].clone() : cv::Mat();
        m_seedOf[k] &= m_core(r);
        if (!place.empty() && cv::countNonZero(m_seedOf[k]) == 0)
            m_seedOf[k] = place & m_shown(r);
        m_middles.push_back(m_seedOf[k].clone());
    }
}

// No seed where an object in front claims the picture, nor, for an object
// without a skeleton, where another it overlaps that is not behind it does.
// Against a skeleton an object in front claims only its middle: a tie box
// drawn wide leaves the torso around it to the person. An object whose seeds
// all go keeps those no object in front took.
void MatteSharing::settleClaims()
{
    const size_t n = m_inMatte.size();
    std::vector<cv::Mat> sureOf(n), fallbackOf(n), disputedOf(n);
    // Objects without a skeleton that take part of another's seeds where
    // neither is in front: side by side, or one partly over the other.
    std::vector<std::vector<size_t>> rivals(n);
    std::vector<bool> contested(n, false); // has rivals, or is one
    for (size_t k = 0; k < n; ++k) {
        const Thing& t = inMatte(k);
        cv::Mat sure = m_seedOf[k].clone();
        cv::Mat fallback = m_seedOf[k].clone();
        cv::Mat byPeople = cv::Mat::zeros(m_seedOf[k].size(), CV_8UC1);
        for (size_t j = 0; j < n; ++j) {
            const Thing& q = inMatte(j);
            const cv::Rect common = t.reach & q.reach;
            if (j == k || common.empty() || front(t, q))
                continue;
            const cv::Mat claim =
                (t.pose && !q.pose ? m_middles[j] : m_claimOf[j])(common - q.reach.tl());
            const cv::Rect here = common - t.reach.tl();
            if (front(q, t) && !t.pose) {
                // Behind an object in front nothing of its box is sure.
                const cv::Rect hidden = (q.box & t.reach) - t.reach.tl();
                sure(hidden).setTo(0);
                fallback(hidden).setTo(0);
            } else if (front(q, t)) {
                sure(here).setTo(0, claim);
                fallback(here).setTo(0, claim);
            } else if (!t.pose) {
                sure(here).setTo(0, claim);
                if (q.pose) {
                    byPeople(here).setTo(255, claim);
                } else {
                    rivals[k].push_back(j);
                    contested[k] = contested[j] = true;
                }
            }
        }
        sureOf[k] = sure;
        fallbackOf[k] = fallback;
        disputedOf[k] = fallback & ~sure & ~byPeople;
    }
    m_colours.assign(n, std::nullopt);
    for (size_t k = 0; k < n; ++k) {
        if (contested[k])
            m_colours[k] = ColourModel::of(m_rgb(inMatte(k).reach), sureOf[k], colourSamples);
    }
    returnByColour(rivals, disputedOf, sureOf);
    m_rivals = std::move(rivals);
    for (size_t k = 0; k < n; ++k) {
        const bool fewSure =
            cv::countNonZero(sureOf[k]) < sureNeeded * cv::countNonZero(m_seedOf[k]);
        m_seedOf[k] = fewSure ? fallbackOf[k] : sureOf[k];
    }
}

// Where rivals claim the same place, a seed goes back to the object whose own
// colours (those of the seeds no one disputes) it has far more than the
// rival's: a black calf's head under the middle of a white sheep's box is the
// calf's. Every disputed seed lies in a rival's claim: people's claims and
// objects in front are never disputed.
void MatteSharing::returnByColour(const std::vector<std::vector<size_t>>& rivals,
                                  const std::vector<cv::Mat>& disputedOf,
                                  std::vector<cv::Mat>& sureOf) const
{
    const size_t n = m_inMatte.size();
    const std::vector<std::optional<ColourModel>>& colours = m_colours;
    for (size_t k = 0; k < n; ++k) {
        const Thing& t = inMatte(k);
        if (rivals[k].empty() || !colours[k])
            continue;
        const cv::Mat& disputed = disputedOf[k];
        for (int y = 0; y < disputed.rows; ++y) {
            const uchar* d = disputed.ptr<uchar>(y);
            const cv::Vec3b* c = m_rgb.ptr<cv::Vec3b>(t.reach.y + y) + t.reach.x;
            uchar* s = sureOf[k].ptr<uchar>(y);
            for (int x = 0; x < disputed.cols; ++x) {
                if (!d[x])
                    continue;
                const cv::Point p(t.reach.x + x, t.reach.y + y);
                const double own = colours[k]->likelihood(c[x]);
                bool mine = true;
                for (size_t j : rivals[k]) {
                    const Thing& q = inMatte(j);
                    if (!q.reach.contains(p) || !m_claimOf[j].at<uchar>(p - q.reach.tl()))
                        continue;
                    mine = mine && colours[j] && own >= colourMargin * colours[j]->likelihood(c[x]);
                }
                if (mine)
                    s[x] = 255;
            }
        }
    }
}

// Larger objects first, people after other objects, and limbs over every
// torso: an arm across another person is in front of that person.
void MatteSharing::drawSeeds()
{
    const size_t n = m_inMatte.size();
    m_seeds = cv::Mat::zeros(m_size, CV_8UC1);
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t k = 0; k < n; ++k) {
            const Thing& t = inMatte(k);
            if (bool(t.pose) == bool(pass))
                m_seeds(t.reach).setTo(t.seed, m_seedOf[k]);
        }
    }
    drawLimbsInFront();

    // Where each object's share may lie: its box and a margin, and for a
    // person no further from the skeleton than a body could be.
    m_reach.resize(m_bySeed.size());
    for (size_t l = 1; l < m_bySeed.size(); ++l) {
        const Thing& t = *m_bySeed[l];
        m_reach[l].box = t.reach;
        if (t.pose)
            m_reach[l].within = m_skeletons[indexOf(t)].body(t.reach);
        else
            m_reach[l].foreign = foreignTo(l - 1);
    }
    seedPartsOutsideBoxes();
}

// Where, over its reach, object k's flood meets colours that are a rival's
// and not its own: common in the rival's seeds, all but absent from k's. A
// person's clothes are many colours, so people are told apart by their
// poses, not by this.
cv::Mat MatteSharing::foreignTo(size_t k) const
{
    if (k >= m_rivals.size() || !m_colours[k] || inMatte(k).person())
        return cv::Mat();
    const Thing& t = inMatte(k);
    cv::Mat foreign;
    for (size_t j : m_rivals[k]) {
        const Thing& q = inMatte(j);
        const cv::Rect common = t.reach & q.reach;
        if (!m_colours[j] || q.person() || common.empty())
            continue;
        std::array<bool, ColourModel::binCount> theirs{};
        bool any = false;
        for (size_t b = 0; b < theirs.size(); ++b) {
            theirs[b] = m_colours[k]->binLikelihood(b) <= ownRare &&
                        m_colours[j]->binLikelihood(b) >= rivalCommon;
            any = any || theirs[b];
        }
        if (!any)
            continue;
        if (foreign.empty())
            foreign = cv::Mat::zeros(t.reach.size(), CV_8UC1);
        for (int y = common.y; y < common.br().y; ++y) {
            const cv::Vec3b* c = m_rgb.ptr<cv::Vec3b>(y);
            const uchar* d = m_domain.ptr<uchar>(y);
            uchar* f = foreign.ptr<uchar>(y - t.reach.y) - t.reach.x;
            for (int x = common.x; x < common.br().x; ++x) {
                if (d[x] && theirs[ColourModel::bin(c[x])])
                    f[x] = 255;
            }
        }
    }
    return foreign;
}

// Where one person's limb lies over another's body it is in front of that
// body, and of any limb of theirs drawn there: a hand seen over someone's
// chest is before it, not behind. Such parts are drawn last, and around them
// (as wide as a claim) the other's seeds give way: the hand's own edges, not
// the drawn width, decide where it ends.
void MatteSharing::drawLimbsInFront()
{
    const size_t n = m_inMatte.size();
    cv::Mat torsos = cv::Mat::zeros(m_size, CV_8UC1);
    std::vector<cv::Mat> limbsOf(n), aroundOf(n);
    for (size_t k = 0; k < n; ++k) {
        const Thing& t = inMatte(k);
        if (!t.pose)
            continue;
        const PersonSkeleton& s = m_skeletons[m_inMatte[k]];
        limbsOf[k] = cv::Mat::zeros(t.reach.size(), CV_8UC1);
        aroundOf[k] = cv::Mat::zeros(t.reach.size(), CV_8UC1);
        for (const Segment& g : s.limbs) {
            const cv::Point2f a = g.a - cv::Point2f(t.reach.tl()),
                              b = g.b - cv::Point2f(t.reach.tl());
            cv::line(limbsOf[k], a, b, cv::Scalar(255), cvRound(s.width));
            cv::line(aroundOf[k], a, b, cv::Scalar(255), cvRound(claimWidth * s.width));
        }
        limbsOf[k] &= m_seedOf[k];
        m_seeds(t.reach).setTo(t.seed, limbsOf[k]);
        if (s.torso.size() >= 3)
            cv::fillConvexPoly(torsos, s.bodyTorso(), cv::Scalar(t.seed));
    }
    for (size_t k = 0; k < n; ++k) {
        const Thing& t = inMatte(k);
        if (limbsOf[k].empty())
            continue;
        const cv::Mat others = torsos(t.reach);
        const cv::Mat over = (others != 0) & (others != t.seed);
        cv::Mat mine = m_seeds(t.reach);
        mine.setTo(0, aroundOf[k] & over & (mine != t.seed));
        mine.setTo(t.seed, limbsOf[k] & over);
    }
}

// Parts of the matte's subjects outside every box are subjects of their own
// when they are a real share of them; each connected part on its own: a
// stick held out on one side and a scooter on the other are two.
void MatteSharing::seedPartsOutsideBoxes()
{
    cv::Mat boxed = cv::Mat::zeros(m_size, CV_8UC1);
    for (size_t i : m_inMatte)
        boxed(m_things[i].reach).setTo(255);
    const int minArea = std::max(16, int(speckShare * double(m_size.area())));
    std::vector<int> total(size_t(m_matte.count) + 1, 0);
    for (int y = 0; y < m_size.height; ++y) {
        const uchar* o = m_matte.owner.ptr<uchar>(y);
        const uchar* c = m_core.ptr<uchar>(y);
        for (int x = 0; x < m_size.width; ++x) {
            if (c[x] && o[x] && o[x] <= m_matte.count)
                ++total[o[x]];
        }
    }
    // Such a part grows outside people's boxes first: a body the skeleton's
    // reach leaves out is still that body, shared out after.
    cv::Mat unboxed(m_size, CV_8UC1, cv::Scalar(255));
    for (size_t i : m_inMatte) {
        if (m_things[i].pose)
            unboxed(m_things[i].reach).setTo(0);
    }
    cv::Mat parts, stats, centres;
    const int count = cv::connectedComponentsWithStats(m_core & m_domain & ~boxed, parts, stats,
                                                       centres, 8, CV_32S);
    std::vector<int> partLabel(size_t(std::max(count, 1)), 0);
    for (int c = 1; c < count && m_reach.size() < 255; ++c) {
        const int x = stats.at<int>(c, cv::CC_STAT_LEFT);
        const int y = stats.at<int>(c, cv::CC_STAT_TOP);
        int s = 0;
        for (int i = x; i < x + stats.at<int>(c, cv::CC_STAT_WIDTH) && !s; ++i) {
            if (parts.at<int>(y, i) == c)
                s = m_matte.owner.at<uchar>(y, i);
        }
        if (s < 1 || s > m_matte.count)
            continue;
        const int area = stats.at<int>(c, cv::CC_STAT_AREA);
        if (area >= std::max(minArea, int(leftoverShare * total[size_t(s)]))) {
            partLabel[size_t(c)] = int(m_reach.size());
            m_reach.push_back({cv::Rect(0, 0, m_size.width, m_size.height), unboxed, cv::Mat()});
        }
    }
    for (int y = 0; y < m_size.height; ++y) {
        const int* p = parts.ptr<int>(y);
        uchar* s = m_seeds.ptr<uchar>(y);
        for (int x = 0; x < m_size.width; ++x) {
            if (p[x] > 0 && partLabel[size_t(p[x])])
                s[x] = uchar(partLabel[size_t(p[x])]);
        }
    }
}

// The flood: each object within its reach, then what no reach took goes to
// what it touches, then a piece of the matte with no seed at all stays the
// subject it was.
void MatteSharing::floodMatte()
{
    m_shared = m_seeds.clone();
    const cv::Mat edge = SeedFlood::edges(m_rgb);
    SeedFlood::grow(m_shared, m_domain, edge, m_reach);
    SeedFlood::grow(m_shared, m_domain, edge, std::vector<Reach>(256));
    std::vector<int> leftoverOf(size_t(m_matte.count) + 1, 0); // matte subject -> flood label
    for (int y = 0; y < m_size.height; ++y) {
        const uchar* o = m_matte.owner.ptr<uchar>(y);
        uchar* s = m_shared.ptr<uchar>(y);
        for (int x = 0; x < m_size.width; ++x) {
            if (s[x] || !o[x] || o[x] > m_matte.count)
                continue;
            if (!leftoverOf[o[x]] && m_reach.size() < 255) {
                leftoverOf[o[x]] = int(m_reach.size());
                m_reach.emplace_back();
            }
            s[x] = uchar(leftoverOf[o[x]]);
        }
    }
    m_labelCount = int(m_reach.size());
}
