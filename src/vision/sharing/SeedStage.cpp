#include "SeedClaims.h"

#include <array>
#include <opencv2/imgproc.hpp>

namespace Sharing {

namespace {

using Segment = PersonSkeleton::Segment;

// Where one person's limb lies over another's body it is in front of that
// body, and of any limb of theirs drawn there: a hand seen over someone's
// chest is before it, not behind. Such parts are drawn last, and around them
// (as wide as a claim) the other's seeds give way: the hand's own edges, not
// the drawn width, decide where it ends.
void drawLimbsInFront(const Held& h, const Claims& c, double claimWidth, cv::Mat& seeds)
{
    const size_t n = h.inMatte.size();
    cv::Mat torsos = cv::Mat::zeros(h.size, CV_8UC1);
    std::vector<cv::Mat> limbsOf(n), aroundOf(n);
    for (size_t k = 0; k < n; ++k) {
        const Object& t = h.held(k);
        if (!t.pose)
            continue;
        const PersonSkeleton& s = c.skeletonOf[h.inMatte[k]];
        limbsOf[k] = cv::Mat::zeros(t.reach.size(), CV_8UC1);
        aroundOf[k] = cv::Mat::zeros(t.reach.size(), CV_8UC1);
        for (const Segment& g : s.limbs) {
            const cv::Point2f a = g.a - cv::Point2f(t.reach.tl()),
                              b = g.b - cv::Point2f(t.reach.tl());
            cv::line(limbsOf[k], a, b, cv::Scalar(255), cvRound(s.width));
            cv::line(aroundOf[k], a, b, cv::Scalar(255), cvRound(claimWidth * s.width));
        }
        limbsOf[k] &= c.seedOf[k];
        seeds(t.reach).setTo(t.label, limbsOf[k]);
        if (s.torso.size() >= 3)
            cv::fillConvexPoly(torsos, s.bodyTorso(), cv::Scalar(t.label));
    }
    for (size_t k = 0; k < n; ++k) {
        const Object& t = h.held(k);
        if (limbsOf[k].empty())
            continue;
        const cv::Mat others = torsos(t.reach);
        const cv::Mat over = (others != 0) & (others != t.label);
        cv::Mat mine = seeds(t.reach);
        mine.setTo(0, aroundOf[k] & over & (mine != t.label));
        mine.setTo(t.label, limbsOf[k] & over);
    }
}

// Where, over its reach, held object k's flood meets colours that are a
// rival's and not its own: common in the rival's seeds, all but absent from
// k's. A person's clothes are many colours, so people are told apart by
// their poses, not by this.
cv::Mat foreignTo(const Held& h, const Claims& c, size_t k, const SubjectTuning::Sharing& s)
{
    const Object& t = h.held(k);
    if (!c.colourOf[k] || t.person())
        return cv::Mat();
    cv::Mat foreign;
    for (size_t j : c.rivalsOf[k]) {
        const Object& q = h.held(j);
        const cv::Rect common = t.reach & q.reach;
        if (!c.colourOf[j] || q.person() || common.empty())
            continue;
        std::array<bool, ColourModel::binCount> theirs{};
        bool any = false;
        for (size_t b = 0; b < theirs.size(); ++b) {
            theirs[b] = c.colourOf[k]->binLikelihood(b) <= s.ownRare &&
                        c.colourOf[j]->binLikelihood(b) >= s.rivalCommon;
            any = any || theirs[b];
        }
        if (!any)
            continue;
        if (foreign.empty())
            foreign = cv::Mat::zeros(t.reach.size(), CV_8UC1);
        for (int y = common.y; y < common.br().y; ++y) {
            const cv::Vec3b* colour = h.rgb.ptr<cv::Vec3b>(y);
            const uchar* d = h.domain.ptr<uchar>(y);
            uchar* f = foreign.ptr<uchar>(y - t.reach.y) - t.reach.x;
            for (int x = common.x; x < common.br().x; ++x) {
                if (d[x] && theirs[ColourModel::bin(colour[x])])
                    f[x] = 255;
            }
        }
    }
    return foreign;
}

// How many sure pixels each of the matte's own subjects has.
std::vector<int> sureCounts(const Held& h)
{
    std::vector<int> total(size_t(h.matte.count) + 1, 0);
    for (int y = 0; y < h.size.height; ++y) {
        const uchar* o = h.matte.owner.ptr<uchar>(y);
        const uchar* s = h.sure.ptr<uchar>(y);
        for (int x = 0; x < h.size.width; ++x) {
            if (s[x] && o[x] && o[x] <= h.matte.count)
                ++total[o[x]];
        }
    }
    return total;
}

// Parts of the matte's subjects outside every box are subjects of their own
// when they are a real share of them; each connected part on its own: a
// stick held out on one side and a scooter on the other are two.
void seedPartsOutsideBoxes(const Held& h, const SubjectTuning& tuning, Seeds& out)
{
    cv::Mat boxed = cv::Mat::zeros(h.size, CV_8UC1);
    // Such a part grows outside people's boxes first: a body the skeleton's
    // reach leaves out is still that body, shared out after.
    cv::Mat unboxed(h.size, CV_8UC1, cv::Scalar(255));
    for (size_t i : h.inMatte) {
        boxed(h.objects[i].reach).setTo(255);
        if (h.objects[i].pose)
            unboxed(h.objects[i].reach).setTo(0);
    }
    const int minArea = std::max(tuning.minArea, int(tuning.speckShare * double(h.size.area())));
    const std::vector<int> total = sureCounts(h);
    cv::Mat parts, stats, centres;
    const int count = cv::connectedComponentsWithStats(h.sure & h.domain & ~boxed, parts, stats,
                                                       centres, 8, CV_32S);
    std::vector<int> partLabel(size_t(std::max(count, 1)), 0);
    for (int c = 1; c < count && out.reach.size() < size_t(InstanceMask::maxLabel); ++c) {
        const int x = stats.at<int>(c, cv::CC_STAT_LEFT);
        const int y = stats.at<int>(c, cv::CC_STAT_TOP);
        int s = 0;
        for (int i = x; i < x + stats.at<int>(c, cv::CC_STAT_WIDTH) && !s; ++i) {
            if (parts.at<int>(y, i) == c)
                s = h.matte.owner.at<uchar>(y, i);
        }
        if (s < 1 || s > h.matte.count)
            continue;
        const int area = stats.at<int>(c, cv::CC_STAT_AREA);
        if (area >= std::max(minArea, int(tuning.sharing.leftoverShare * total[size_t(s)]))) {
            partLabel[size_t(c)] = int(out.reach.size());
            out.reach.push_back({cv::Rect(cv::Point(), h.size), unboxed, cv::Mat()});
        }
    }
    for (int y = 0; y < h.size.height; ++y) {
        const int* p = parts.ptr<int>(y);
        uchar* s = out.labels.ptr<uchar>(y);
        for (int x = 0; x < h.size.width; ++x) {
            if (p[x] > 0 && partLabel[size_t(p[x])])
                s[x] = uchar(partLabel[size_t(p[x])]);
        }
    }
}

} // namespace

// Larger objects first, people after other objects, and limbs over every
// torso: an arm across another person is in front of that person. Each
// object grows within its box and a margin, a person also no further from
// the skeleton than a body could be.
Seeds seed(const Held& h, const SubjectTuning& tuning)
{
    const Claims c = claims(h, tuning);
    const size_t n = h.inMatte.size();
    Seeds out;
    out.labels = cv::Mat::zeros(h.size, CV_8UC1);
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t k = 0; k < n; ++k) {
            const Object& t = h.held(k);
            if (bool(t.pose) == bool(pass))
                out.labels(t.reach).setTo(t.label, c.seedOf[k]);
        }
    }
    drawLimbsInFront(h, c, tuning.sharing.claimWidth, out.labels);
    out.reach.resize(h.objectLabels());
    for (size_t k = 0; k < n; ++k) {
        const Object& t = h.held(k);
        SeedFlood::Reach& r = out.reach[size_t(t.label)];
        r.box = t.reach;
        if (t.pose)
            r.within = c.skeletonOf[h.inMatte[k]].body(t.reach);
        else
            r.foreign = foreignTo(h, c, k, tuning.sharing);
    }
    seedPartsOutsideBoxes(h, tuning, out);
    return out;
}

} // namespace Sharing
