#include "SeedClaims.h"

#include <opencv2/imgproc.hpp>

namespace Sharing {

namespace {

// Where a person's skeleton may seed, as a mask over `reach`: the person's
// box and a margin. The box is the person as seen; joints beyond it are the
// pose's guesses at what something in front hides (hips behind a table), and
// their seeds would lie on whatever hides them.
cv::Mat seenPart(const cv::Rect& box, const cv::Rect& reach, double margin)
{
    const int mx = int(margin * box.width), my = int(margin * box.height);
    const cv::Rect seen(box.x - mx, box.y - my, box.width + 2 * mx, box.height + 2 * my);
    cv::Mat m = cv::Mat::zeros(reach.size(), CV_8UC1);
    m((seen & reach) - reach.tl()).setTo(255);
    return m;
}

// Seeds where each object surely is (a person's skeleton, else the middle of
// its box), and the claim it lays on the picture against other objects'
// seeds (the ellipse in its box, or the skeleton drawn as wide as limbs
// are), over its reach.
Claims lay(const Held& h, const SubjectTuning& tuning)
{
    const SubjectTuning::Sharing& s = tuning.sharing;
    const size_t n = h.inMatte.size();
    Claims c;
    c.skeletonOf.resize(h.objects.size());
    c.seedOf.resize(n);
    c.claimOf.resize(n);
    for (size_t k = 0; k < n; ++k) {
        const Object& t = h.held(k);
        const cv::Rect& r = t.reach;
        c.seedOf[k] = cv::Mat::zeros(r.size(), CV_8UC1);
        c.claimOf[k] = cv::Mat::zeros(r.size(), CV_8UC1);
        if (t.pose) {
            const PersonSkeleton& sk = c.skeletonOf[h.inMatte[k]] =
                PersonSkeleton::of(*t.pose, t.box, tuning.person);
            sk.draw(c.seedOf[k], r.tl(), sk.width);
            sk.draw(c.claimOf[k], r.tl(), sk.width * s.claimWidth);
            c.seedOf[k] &= seenPart(t.box, r, s.seenMargin);
        } else {
            const cv::Point centre(t.box.x + t.box.width / 2 - r.x,
                                   t.box.y + t.box.height / 2 - r.y);
            const cv::Size semi(std::max(1, t.box.width / 2), std::max(1, t.box.height / 2));
            cv::ellipse(c.seedOf[k], centre,
                        cv::Size(std::max(1, int(semi.width * s.seedShare)),
                                 std::max(1, int(semi.height * s.seedShare))),
                        0, 0, 360, cv::Scalar(255), cv::FILLED);
            cv::ellipse(c.claimOf[k], centre, semi, 0, 0, 360, cv::Scalar(255), cv::FILLED);
        }
        // An object held faintly with no sure matte where it surely is seeds
        // on the shown matte there.
        const cv::Mat place = t.faintlyHeld ? c.seedOf[k].clone() : cv::Mat();
        c.seedOf[k] &= h.sure(r);
        if (!place.empty() && cv::countNonZero(c.seedOf[k]) == 0)
            c.seedOf[k] = place & h.shown(r);
        c.middleOf.push_back(c.seedOf[k].clone());
    }
    return c;
}

// One object's seeds against every other's claim: those that are sure, those
// it falls back on should too few be sure, and those a rival disputes.
struct Settled
{
    cv::Mat sure, fallback, disputed;
};

Settled settleOne(const Held& h, const Claims& c, size_t k, const SubjectTuning& tuning,
                  std::vector<std::vector<size_t>>& rivals)
{
    const Object& t = h.held(k);
    cv::Mat sure = c.seedOf[k].clone();
    cv::Mat fallback = c.seedOf[k].clone();
    cv::Mat byPeople = cv::Mat::zeros(c.seedOf[k].size(), CV_8UC1);
    for (size_t j = 0; j < h.inMatte.size(); ++j) {
        const Object& q = h.held(j);
        const cv::Rect common = t.reach & q.reach;
        if (j == k || common.empty() || inFront(t, q, h.size, tuning))
            continue;
        const cv::Mat claim =
            (t.pose && !q.pose ? c.middleOf[j] : c.claimOf[j])(common - q.reach.tl());
        const cv::Rect here = common - t.reach.tl();
        const bool qInFront = inFront(q, t, h.size, tuning);
        if (qInFront && !t.pose) {
            // Behind an object in front nothing of its box is sure.
            const cv::Rect hidden = (q.box & t.reach) - t.reach.tl();
            sure(hidden).setTo(0);
            fallback(hidden).setTo(0);
        } else if (qInFront) {
            sure(here).setTo(0, claim);
            fallback(here).setTo(0, claim);
        } else if (!t.pose) {
            sure(here).setTo(0, claim);
            if (q.pose)
                byPeople(here).setTo(255, claim);
            else
                rivals[k].push_back(j);
        }
    }
    return {sure, fallback, fallback & ~sure & ~byPeople};
}

// Where rivals claim the same place, a seed goes back to the object whose own
// colours (those of the seeds no one disputes) it has far more than the
// rival's: a black calf's head under the middle of a white sheep's box is the
// calf's. Every disputed seed lies in a rival's claim: people's claims and
// objects in front are never disputed.
void returnByColour(const Held& h, const Claims& c, size_t k, const cv::Mat& disputed,
                    cv::Mat& sure, double margin)
{
    const Object& t = h.held(k);
    for (int y = 0; y < disputed.rows; ++y) {
        const uchar* d = disputed.ptr<uchar>(y);
        const cv::Vec3b* colour = h.rgb.ptr<cv::Vec3b>(t.reach.y + y) + t.reach.x;
        uchar* s = sure.ptr<uchar>(y);
        for (int x = 0; x < disputed.cols; ++x) {
            if (!d[x])
                continue;
            const cv::Point p(t.reach.x + x, t.reach.y + y);
            const double own = c.colourOf[k]->likelihood(colour[x]);
            bool mine = true;
            for (size_t j : c.rivalsOf[k]) {
                const Object& q = h.held(j);
                if (!q.reach.contains(p) || !c.claimOf[j].at<uchar>(p - q.reach.tl()))
                    continue;
                mine =
                    mine && c.colourOf[j] && own >= margin * c.colourOf[j]->likelihood(colour[x]);
            }
            if (mine)
                s[x] = 255;
        }
    }
}

} // namespace

// No seed where an object in front claims the picture, nor, for an object
// without a skeleton, where another it overlaps that is not behind it does.
// Against a skeleton an object in front claims only its middle: a tie box
// drawn wide leaves the torso around it to the person. An object whose seeds
// all go keeps those no object in front took.
Claims claims(const Held& h, const SubjectTuning& tuning)
{
    const SubjectTuning::Sharing& s = tuning.sharing;
    Claims c = lay(h, tuning);
    const size_t n = h.inMatte.size();
    std::vector<Settled> settled;
    c.rivalsOf.assign(n, {});
    for (size_t k = 0; k < n; ++k)
        settled.push_back(settleOne(h, c, k, tuning, c.rivalsOf));
    std::vector<bool> contested(n, false); // has rivals, or is one
    for (size_t k = 0; k < n; ++k) {
        for (size_t j : c.rivalsOf[k])
            contested[k] = contested[j] = true;
    }
    c.colourOf.assign(n, std::nullopt);
    for (size_t k = 0; k < n; ++k) {
        if (contested[k])
            c.colourOf[k] =
                ColourModel::of(h.rgb(h.held(k).reach), settled[k].sure, s.colourSamples);
    }
    for (size_t k = 0; k < n; ++k) {
        if (!c.rivalsOf[k].empty() && c.colourOf[k])
            returnByColour(h, c, k, settled[k].disputed, settled[k].sure, s.colourMargin);
    }
    for (size_t k = 0; k < n; ++k) {
        const bool fewSure =
            cv::countNonZero(settled[k].sure) < s.sureNeeded * cv::countNonZero(c.seedOf[k]);
        c.seedOf[k] = fewSure ? settled[k].fallback : settled[k].sure;
    }
    return c;
}

} // namespace Sharing
