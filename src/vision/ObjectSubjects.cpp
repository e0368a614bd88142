#include "ObjectSubjects.h"

#include "ColourModel.h"
#include "ObjectMask.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <numeric>
#include <opencv2/imgproc.hpp>
#include <optional>

namespace {

// Detections overlapping a surer one by more than this (IoU) are the same
// thing under another name; so is one of the same class lying this much
// inside another no more than a few times its size.
constexpr float sameThing = 0.5f;
constexpr double sameContained = 0.85;
constexpr double sameSize = 0.3;
// A pose goes with the person box it overlaps by at least this (IoU); a
// person box without a pose lying this much on a person with one is that
// person again.
constexpr float poseFits = 0.3f;
constexpr double samePerson = 0.5;
// A pose without a person box is a person when this sure of itself, with at
// least this many keypoints.
constexpr float lonePose = 0.3f;
constexpr int lonePoints = 5;
// Keypoints from this score are drawn; from the fainter one they are where
// a disputed limb is looked for.
constexpr float keypointScore = 0.2f;
constexpr float faintKeypoint = 0.05f;
// Two people's joints closer than this share of the shorter lower limb are
// one joint.
constexpr double sameJoint = 0.35;
constexpr int maxObjects = 48;
// A faint find is offered only up to this share of the picture: a box over
// much of the scene the finder is unsure of is the scene misread.
constexpr double faintArea = 0.25;
// A faint find shares the matte where no more than this share of its box is
// within a sure object's reach.
constexpr double faintReached = 0.2;
constexpr int coreLevel = 128;        // the matte at one half
constexpr int labelLevel = 64;        // as MatteSubjects::labelThreshold
constexpr double speckShare = 0.0005; // as MatteSubjects
// An object is in the matte when this share of its box is confident matte.
constexpr double coverNeeded = 0.3;
// An object's share of the matte makes its mask when the box of the share
// (within the object's box) overlaps the object's box by at least this, and
// the share is not cut off by the edge of its reach, with the matte going on
// beyond, for more than this share of the box's perimeter.
constexpr double fitNeeded = 0.7;
constexpr double cutOffShare = 0.03;
// Without a skeleton, seeds fill this share of the box's inscribed ellipse.
constexpr double seedShare = 0.5;
// The torso is drawn this much larger than its joints (they lie inside the
// body's outline), the hand this share of the forearm beyond the wrist.
constexpr double torsoScale = 1.1;
constexpr double handShare = 0.7;
// A person's claim on other objects' seeds: the skeleton drawn this many
// times as wide as its seeds.
constexpr double claimWidth = 2.5;
// How far a person's share reaches from the skeleton, in person sizes: the
// torso this much larger than its joints, head and limbs this wide.
constexpr double bodyTorso = 1.5;
constexpr double bodyHead = 0.9;
constexpr double bodyLimb = 0.6;
// An object no more than this share of another's size, this much inside its
// box, is in front of it; of a box over this share of the picture without a
// skeleton (the scene's table, bed or ground), no more than the larger share.
constexpr double inFront = 0.25;
constexpr double frontInside = 0.8;
constexpr double sceneShare = 0.5;
constexpr double inFrontOfScene = 0.9;
// Each object's share lies within its box and this share of it beyond.
constexpr double boxMargin = 0.1;
// A part of a matte subject outside every box is a subject of its own when
// it is at least this share of it.
constexpr double leftoverShare = 0.03;
// A piece of the matte no object took is a bit of an object the matte
// leaves out when it lies in its box and is no more than this share of it.
constexpr double pieceShare = 0.1;
// A disputed seed goes back to an object whose own colours it is this many
// times likelier to have than its rival's, when each shows at least this
// many undisputed seeds.
constexpr double colourMargin = 4;
constexpr int colourSamples = 50;

using Keypoints = std::array<DetectedPose::Keypoint, 17>;
enum Joint {
    nose = 0,
    leftShoulder = 5,
    rightShoulder = 6,
    leftElbow = 7,
    rightElbow = 8,
    leftWrist = 9,
    rightWrist = 10,
    leftHip = 11,
    rightHip = 12,
    leftKnee = 13,
    rightKnee = 14,
    leftAnkle = 15,
    rightAnkle = 16,
};
// Arms and legs: the root joint, the middle one, the end.
constexpr std::array<std::array<int, 3>, 4> limbs{{{leftShoulder, leftElbow, leftWrist},
                                                   {rightShoulder, rightElbow, rightWrist},
                                                   {leftHip, leftKnee, leftAnkle},
                                                   {rightHip, rightKnee, rightAnkle}}};

struct Thing
{
    cv::Rect box;
    QString className;
    float score = 0;
    std::optional<Keypoints> pose;
    double area = 0;
    double cover = 0;
    cv::Rect reach;     // where its share of the matte may lie
    int seed = 0;       // its label in the flood, 0 when not in the matte
    bool faint = false; // below minScore: never shares the matte
};

struct Segment
{
    cv::Point2f a, b;
};

// What of a person is certainly the person: the torso, the head and neck,
// and the limbs (with the hand beyond the wrist), in image pixels.
struct Skeleton
{
    std::vector<cv::Point> torso;
    std::vector<Segment> trunk; // head and neck
    std::vector<Segment> limbs;
    float width = 2; // of the drawn segments
};

bool present(const Keypoints& k, int j, float level = keypointScore)
{
    return k[size_t(j)].score >= level;
}

cv::Point2f at(const Keypoints& k, int j)
{
    return k[size_t(j)].position;
}

double length(cv::Point2f v)
{
    return std::hypot(double(v.x), double(v.y));
}

// The share of `a` inside `b`, or of `b` inside `a`, whichever is larger.
double contained(const cv::Rect& a, const cv::Rect& b)
{
    const double both = (a & b).area();
    return both / std::max(1, std::min(a.area(), b.area()));
}

float boxOverlap(const cv::Rect& a, const cv::Rect& b)
{
    const double both = (a & b).area();
    const double either = double(a.area()) + b.area() - both;
    return either > 0 ? float(both / either) : 0.0f;
}

// Whether `inner` is smaller than `outer` and mostly inside it.
bool holds(const cv::Rect& outer, const cv::Rect& inner)
{
    return inner.area() < outer.area() && (inner & outer).area() >= frontInside * inner.area();
}

// A person's size: the shoulders' width, else the hips', else a share of the box.
double personScale(const Thing& t)
{
    const Keypoints& k = *t.pose;
    if (present(k, leftShoulder) && present(k, rightShoulder))
        return std::max(4.0, length(at(k, leftShoulder) - at(k, rightShoulder)));
    if (present(k, leftHip) && present(k, rightHip))
        return std::max(4.0, length(at(k, leftHip) - at(k, rightHip)) * 1.3);
    return std::max(4.0, 0.3 * t.box.width);
}

Skeleton skeletonOf(const Thing& t)
{
    Skeleton s;
    const Keypoints& k = *t.pose;
    const double scale = personScale(t);
    s.width = float(std::max(2.0, 0.15 * scale));

    // Torso: shoulders and hips, drawn out a little: the joints lie inside
    // the body's outline.
    std::vector<cv::Point2f> corners;
    for (int j : {leftShoulder, rightShoulder, rightHip, leftHip}) {
        if (present(k, j))
            corners.push_back(at(k, j));
    }
    if (corners.size() >= 3) {
        const cv::Point2f middle =
            std::accumulate(corners.begin(), corners.end(), cv::Point2f()) / float(corners.size());
        for (const cv::Point2f& c : corners)
            s.torso.push_back(middle + (c - middle) * float(torsoScale));
    } else if (corners.size() == 2) {
        s.trunk.push_back({corners[0], corners[1]});
    }

    // Head: the face's keypoints, joined to the middle of the shoulders.
    std::vector<cv::Point2f> face;
    for (int j = nose; j < leftShoulder; ++j) {
        if (present(k, j))
            face.push_back(at(k, j));
    }
    if (!face.empty()) {
        const cv::Point2f head =
            std::accumulate(face.begin(), face.end(), cv::Point2f()) / float(face.size());
        for (const cv::Point2f& f : face)
            s.trunk.push_back({head, f});
        if (present(k, leftShoulder) && present(k, rightShoulder))
            s.trunk.push_back({head, (at(k, leftShoulder) + at(k, rightShoulder)) * 0.5f});
    }

    for (const auto& limb : limbs) {
        for (int i = 0; i < 2; ++i) {
            if (present(k, limb[size_t(i)]) && present(k, limb[size_t(i + 1)]))
                s.limbs.push_back({at(k, limb[size_t(i)]), at(k, limb[size_t(i + 1)])});
        }
        // The hand goes on beyond the wrist.
        if (limb[0] <= rightShoulder && present(k, limb[1]) && present(k, limb[2])) {
            const cv::Point2f end = at(k, limb[2]);
            s.limbs.push_back({end, end + (end - at(k, limb[1])) * float(handShare)});
        }
    }
    return s;
}

// The torso drawn `scale` times as large as its joints, in image pixels.
std::vector<cv::Point> wideTorso(const Skeleton& s, double scale)
{
    cv::Point2f middle;
    for (const cv::Point& c : s.torso)
        middle += cv::Point2f(c) / float(s.torso.size());
    std::vector<cv::Point> wide;
    for (const cv::Point& c : s.torso)
        wide.emplace_back(middle + (cv::Point2f(c) - middle) * float(scale / torsoScale));
    return wide;
}

// Where a person's share may lie within their reach: no further from the
// skeleton than a body could be.
cv::Mat bodyAround(const Thing& t, const Skeleton& s)
{
    const double scale = personScale(t);
    cv::Mat body = cv::Mat::zeros(t.reach.size(), CV_8UC1);
    const cv::Point2f origin(t.reach.tl());
    if (!s.torso.empty()) {
        std::vector<cv::Point> wide = wideTorso(s, bodyTorso);
        for (cv::Point& c : wide)
            c -= t.reach.tl();
        cv::fillConvexPoly(body, wide, cv::Scalar(255));
    }
    for (const Segment& g : s.trunk)
        cv::line(body, g.a - origin, g.b - origin, cv::Scalar(255),
                 std::max(1, cvRound(bodyHead * scale)));
    for (const Segment& g : s.limbs)
        cv::line(body, g.a - origin, g.b - origin, cv::Scalar(255),
                 std::max(1, cvRound(bodyLimb * scale)));
    return body;
}

// How many of a share's pixels lie on the edge of its reach with the matte
// going on beyond: a share cut off there is a piece of something larger.
int cutOff(const cv::Mat& shared, const cv::Mat& domain, int label, const cv::Rect& reach)
{
    int n = 0;
    auto look = [&](int x, int y, int ox, int oy) {
        if (ox < 0 || oy < 0 || ox >= shared.cols || oy >= shared.rows)
            return;
        if (shared.at<uchar>(y, x) == label && domain.at<uchar>(oy, ox) &&
            shared.at<uchar>(oy, ox) != label)
            ++n;
    };
    for (int x = reach.x; x < reach.br().x; ++x) {
        look(x, reach.y, x, reach.y - 1);
        look(x, reach.br().y - 1, x, reach.br().y);
    }
    for (int y = reach.y; y < reach.br().y; ++y) {
        look(reach.x, y, reach.x - 1, y);
        look(reach.br().x - 1, y, reach.br().x, y);
    }
    return n;
}

// The turn at a limb's middle joint, in radians (0: straight on).
double bend(const Keypoints& k, const std::array<int, 3>& limb)
{
    const cv::Point2f first = at(k, limb[1]) - at(k, limb[0]);
    const cv::Point2f second = at(k, limb[2]) - at(k, limb[1]);
    const double norms = length(first) * length(second);
    if (norms <= 0)
        return M_PI;
    return std::acos(std::clamp(double(first.dot(second)) / norms, -1.0, 1.0));
}

// Where two people's skeletons put an arm or a leg in the same place (the
// middle joints and the ends close together), the lower part is one and goes
// with the person it continues more straightly; the other keeps the upper
// part, up to the joint where both meet. The winner keeps the surer of the
// two ends.
void settleLimbs(std::vector<Thing>& things)
{
    for (size_t a = 0; a < things.size(); ++a) {
        for (size_t b = a + 1; b < things.size(); ++b) {
            if (!things[a].pose || !things[b].pose)
                continue;
            Keypoints& ka = *things[a].pose;
            Keypoints& kb = *things[b].pose;
            for (const auto& la : limbs) {
                for (const auto& lb : limbs) {
                    // Arms with arms, legs with legs.
                    if ((la[0] <= rightShoulder) != (lb[0] <= rightShoulder))
                        continue;
                    bool seen = true;
                    for (int i = 0; i < 3; ++i) {
                        seen = seen && present(ka, la[size_t(i)], faintKeypoint) &&
                               present(kb, lb[size_t(i)], faintKeypoint);
                    }
                    if (!seen)
                        continue;
                    const double reach =
                        sameJoint * std::min(length(at(ka, la[2]) - at(ka, la[1])),
                                             length(at(kb, lb[2]) - at(kb, lb[1])));
                    if (length(at(ka, la[1]) - at(kb, lb[1])) > reach ||
                        length(at(ka, la[2]) - at(kb, lb[2])) > reach)
                        continue;
                    const bool aKeeps = bend(ka, la) <= bend(kb, lb);
                    Keypoints& winner = aKeeps ? ka : kb;
                    Keypoints& loser = aKeeps ? kb : ka;
                    const auto& won = aKeeps ? la : lb;
                    const auto& lost = aKeeps ? lb : la;
                    // The middle joint is where both limbs meet: the loser
                    // keeps its upper part up to there.
                    for (int i = 1; i < 3; ++i) {
                        DetectedPose::Keypoint& w = winner[size_t(won[size_t(i)])];
                        DetectedPose::Keypoint& l = loser[size_t(lost[size_t(i)])];
                        if (l.score > w.score)
                            w = l;
                        if (i == 2)
                            l.score = 0;
                    }
                }
            }
        }
    }
}

std::vector<Thing> gather(const std::vector<DetectedObject>& objects,
                          const std::vector<DetectedPose>& people, cv::Size size)
{
    const cv::Rect frame(0, 0, size.width, size.height);
    const int minArea = std::max(16, int(speckShare * double(size.area())));
    std::vector<const DetectedObject*> byScore;
    for (const DetectedObject& o : objects)
        byScore.push_back(&o);
    std::stable_sort(byScore.begin(), byScore.end(),
                     [](auto* a, auto* b) { return a->score > b->score; });
    std::vector<Thing> things;
    for (const DetectedObject* o : byScore) {
        if (o->score < ObjectSubjects::minFaintScore || int(things.size()) >= maxObjects)
            continue;
        const cv::Rect box = cv::Rect(cv::Point(cvFloor(o->box.x), cvFloor(o->box.y)),
                                      cv::Point(cvCeil(o->box.br().x), cvCeil(o->box.br().y))) &
                             frame;
        const bool faint = o->score < ObjectSubjects::minScore;
        if (box.area() < minArea || (faint && box.area() > faintArea * size.area()))
            continue;
        if (std::any_of(things.begin(), things.end(), [&](const Thing& t) {
                return boxOverlap(t.box, box) > sameThing ||
                       (t.className == o->className && contained(box, t.box) > sameContained &&
                        std::min(box.area(), t.box.area()) >=
                            sameSize * std::max(box.area(), t.box.area()));
            }))
            continue;
        Thing t;
        t.box = box;
        t.className = o->className;
        t.score = o->score;
        t.faint = faint;
        things.push_back(t);
    }

    // Poses go with person boxes, the best-fitting pairs first.
    std::vector<const DetectedPose*> poses;
    std::vector<cv::Rect> poseBoxes;
    for (const DetectedPose& p : people) {
        if (p.score < ObjectSubjects::minPoseScore)
            continue;
        poses.push_back(&p);
        poseBoxes.push_back(cv::Rect(cv::Point(cvFloor(p.box.x), cvFloor(p.box.y)),
                                     cv::Point(cvCeil(p.box.br().x), cvCeil(p.box.br().y))) &
                            frame);
    }
    struct Pair
    {
        float overlap;
        size_t pose, thing;
    };
    std::vector<Pair> pairs;
    for (size_t p = 0; p < poses.size(); ++p) {
        for (size_t t = 0; t < things.size(); ++t) {
            const float overlap = boxOverlap(things[t].box, poseBoxes[p]);
            if (things[t].className == QLatin1String("person") && !things[t].faint &&
                overlap >= poseFits)
                pairs.push_back({overlap, p, t});
        }
    }
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const Pair& a, const Pair& b) { return a.overlap > b.overlap; });
    std::vector<bool> placed(poses.size(), false);
    for (const Pair& pair : pairs) {
        if (placed[pair.pose] || things[pair.thing].pose)
            continue;
        things[pair.thing].pose = poses[pair.pose]->keypoints;
        placed[pair.pose] = true;
    }
    for (size_t p = 0; p < poses.size(); ++p) {
        const cv::Rect& box = poseBoxes[p];
        const int points =
            int(std::count_if(poses[p]->keypoints.begin(), poses[p]->keypoints.end(),
                              [](const auto& k) { return k.score >= keypointScore; }));
        if (placed[p] || poses[p]->score < lonePose || points < lonePoints ||
            box.area() < minArea || int(things.size()) >= maxObjects)
            continue;
        if (std::any_of(things.begin(), things.end(),
                        [&](const Thing& t) { return boxOverlap(t.box, box) > sameThing; }))
            continue;
        Thing t;
        t.box = box;
        t.className = QStringLiteral("person");
        t.score = poses[p]->score;
        t.pose = poses[p]->keypoints;
        things.push_back(t);
    }
    // A person box without a pose that lies mostly on a person with one is
    // the same person seen again.
    std::vector<Thing> kept;
    for (const Thing& t : things) {
        const bool again = t.className == QLatin1String("person") && !t.pose &&
                           std::any_of(things.begin(), things.end(), [&](const Thing& o) {
                               return o.pose && (o.box & t.box).area() >= samePerson * t.box.area();
                           });
        if (!again)
            kept.push_back(t);
    }
    things = std::move(kept);

    for (Thing& t : things) {
        t.area = double(t.box.area());
        cv::Rect reach = t.box;
        if (t.pose) {
            for (const auto& k : *t.pose) {
                if (k.score >= keypointScore)
                    reach |= cv::Rect(cv::Point(k.position), cv::Size(1, 1));
            }
        }
        const int mx = int(boxMargin * reach.width) + 2, my = int(boxMargin * reach.height) + 2;
        t.reach =
            cv::Rect(reach.x - mx, reach.y - my, reach.width + 2 * mx, reach.height + 2 * my) &
            frame;
    }
    settleLimbs(things);
    return things;
}

// The colour edges the flood climbs: the largest per-channel change across
// each pixel's neighbourhood, after a light blur against noise.
cv::Mat edges(const cv::Mat& rgb)
{
    cv::Mat smooth, grown, shrunk;
    cv::GaussianBlur(rgb, smooth, cv::Size(3, 3), 0);
    const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3));
    cv::dilate(smooth, grown, kernel);
    cv::erode(smooth, shrunk, kernel);
    cv::Mat spread = grown - shrunk;
    std::vector<cv::Mat> channels;
    cv::split(spread, channels);
    cv::Mat edge = channels[0];
    for (size_t c = 1; c < channels.size(); ++c)
        edge = cv::max(edge, channels[c]);
    return edge;
}

// Where a label may grow: a box (empty: anywhere), and within it a mask
// (empty: all of the box).
struct Reach
{
    cv::Rect box;
    cv::Mat within;
};

// Grows the labels (CV_8UC1, 0 unlabelled) over the domain's unlabelled
// pixels, lowest edges first (a watershed); label L only within reach[L]
// (all of the image where that is empty).
//
// A pixel goes to the first label offered it: later offers come from pixels
// taken at the same level or later, so their priority is never lower, and a
// bucket is taken in the order it was filled. It is labelled there and then,
// and enters a bucket once.
void flood(cv::Mat& labels, const cv::Mat& domain, const cv::Mat& edge,
           const std::vector<Reach>& reach)
{
    CV_Assert(labels.isContinuous() && domain.isContinuous() && edge.isContinuous());
    const int w = labels.cols, h = labels.rows;
    uchar* const label = labels.data;
    const uchar* const inside = domain.data;
    const uchar* const height = edge.data;
    std::array<std::vector<uint32_t>, 256> buckets;
    auto allowed = [&](int l, int x, int y) {
        const Reach& r = reach[size_t(l)];
        if (r.box.empty())
            return true;
        if (!r.box.contains(cv::Point(x, y)))
            return false;
        return r.within.empty() || r.within.at<uchar>(y - r.box.y, x - r.box.x) != 0;
    };
    auto offer = [&](int x, int y, int l, int level) {
        auto take = [&](int nx, int ny) {
            const int i = ny * w + nx;
            if (label[i] || !inside[i] || !allowed(l, nx, ny))
                return;
            label[i] = uchar(l);
            buckets[size_t(std::max(level, int(height[i])))].push_back(uint32_t(i));
        };
        if (x > 0)
            take(x - 1, y);
        if (x + 1 < w)
            take(x + 1, y);
        if (y > 0)
            take(x, y - 1);
        if (y + 1 < h)
            take(x, y + 1);
    };
    std::vector<uint32_t> seeded;
    for (int i = 0; i < w * h; ++i) {
        if (label[i])
            seeded.push_back(uint32_t(i));
    }
    for (uint32_t i : seeded)
        offer(int(i) % w, int(i) / w, label[i], 0);
    for (int level = 0; level < 256; ++level) {
        std::vector<uint32_t>& bucket = buckets[size_t(level)];
        for (size_t k = 0; k < bucket.size(); ++k) {
            const int i = int(bucket[k]);
            offer(i % w, i / w, label[i], level);
        }
        bucket = std::vector<uint32_t>();
    }
}

} // namespace

InstanceMask ObjectSubjects::split(const InstanceMask& matte, const cv::Mat& rgb,
                                   const std::vector<DetectedObject>& objects,
                                   const std::vector<DetectedPose>& people)
{
    CV_Assert(matte.matte.type() == CV_8UC1 && rgb.type() == CV_8UC3 &&
              rgb.size() == matte.matte.size());
    const cv::Size size = matte.matte.size();
    CV_Assert(size.area() < (1 << 24)); // the flood packs a pixel and a label in 32 bits
    // Nothing in the matte is no subject, whatever the finders see: the
    // matte decides whether there is anything to cut out.
    std::vector<Thing> things = gather(objects, people, size);
    if (things.empty() || matte.count == 0)
        return matte;

    const cv::Mat core = matte.matte >= coreLevel;
    const cv::Mat domain = matte.owner > 0;
    cv::Mat coreSum;
    cv::integral(core / 255, coreSum, CV_32S);
    auto coreIn = [&](const cv::Rect& r) {
        return coreSum.at<int>(r.br()) - coreSum.at<int>(r.y, r.br().x) -
               coreSum.at<int>(r.br().y, r.x) + coreSum.at<int>(r.tl());
    };

    // The objects in the matte, larger ones first.
    std::vector<size_t> inMatte;
    for (size_t i = 0; i < things.size(); ++i) {
        Thing& t = things[i];
        t.cover = double(coreIn(t.box)) / std::max(1.0, t.area);
        if (t.cover >= coverNeeded && !t.faint)
            inMatte.push_back(i);
    }
    // Whether `a` is in front of `b`: much smaller and mostly inside its box.
    auto front = [&](const Thing& a, const Thing& b) {
        const bool scene = b.area >= sceneShare * double(size.area()) && !b.pose;
        return a.area <= (scene ? inFrontOfScene : inFront) * b.area &&
               (a.box & b.box).area() >= frontInside * a.area;
    };
    // A faint find names a part of the matte no sure find reaches (but one
    // the matte leaves out and it lies in front of): there it shares the
    // matte as they do.
    std::vector<size_t> named;
    for (size_t i = 0; i < things.size(); ++i) {
        const Thing& t = things[i];
        if (!t.faint || t.cover < coverNeeded)
            continue;
        cv::Mat reached = cv::Mat::zeros(t.box.size(), CV_8UC1);
        for (const Thing& q : things) {
            const cv::Rect common = q.reach & t.box;
            const bool covered = q.cover >= coverNeeded;
            if (!q.faint && !common.empty() && (covered || !front(t, q)))
                reached(common - t.box.tl()).setTo(1);
        }
        if (cv::countNonZero(reached) <= faintReached * t.area)
            named.push_back(i);
    }
    for (size_t i : named) {
        things[i].faint = false;
        inMatte.push_back(i);
    }
    std::stable_sort(inMatte.begin(), inMatte.end(),
                     [&](size_t a, size_t b) { return things[a].area > things[b].area; });
    std::vector<const Thing*> bySeed(1, nullptr);
    for (size_t i : inMatte) {
        things[i].seed = int(bySeed.size());
        bySeed.push_back(&things[i]);
    }
    // Seeds where each object surely is (a person's skeleton, else the
    // middle of its box), and the claim it lays on the picture against other
    // objects' seeds (the ellipse in its box, or the skeleton drawn as wide
    // as limbs are), over its reach.
    const size_t n = inMatte.size();
    std::vector<Skeleton> skeletons(things.size());
    std::vector<cv::Mat> seedOf(n), claimOf(n);
    auto drawSkeleton = [](cv::Mat& m, const Skeleton& s, cv::Point2f origin, double width) {
        if (!s.torso.empty()) {
            std::vector<cv::Point> torso;
            for (const cv::Point& c : s.torso)
                torso.push_back(c - cv::Point(origin));
            cv::fillConvexPoly(m, torso, cv::Scalar(255));
        }
        for (const auto* part : {&s.trunk, &s.limbs}) {
            for (const Segment& g : *part)
                cv::line(m, g.a - origin, g.b - origin, cv::Scalar(255), cvRound(width));
        }
    };
    for (size_t k = 0; k < n; ++k) {
        const Thing& t = things[inMatte[k]];
        const cv::Rect& r = t.reach;
        seedOf[k] = cv::Mat::zeros(r.size(), CV_8UC1);
        claimOf[k] = cv::Mat::zeros(r.size(), CV_8UC1);
        if (t.pose) {
            skeletons[inMatte[k]] = skeletonOf(t);
            const Skeleton& s = skeletons[inMatte[k]];
            drawSkeleton(seedOf[k], s, r.tl(), s.width);
            drawSkeleton(claimOf[k], s, r.tl(), s.width * claimWidth);
        } else {
            const cv::Point centre(t.box.x + t.box.width / 2 - r.x,
                                   t.box.y + t.box.height / 2 - r.y);
            const cv::Size semi(std::max(1, t.box.width / 2), std::max(1, t.box.height / 2));
            cv::ellipse(seedOf[k], centre,
                        cv::Size(std::max(1, int(semi.width * seedShare)),
                                 std::max(1, int(semi.height * seedShare))),
                        0, 0, 360, cv::Scalar(255), cv::FILLED);
            cv::ellipse(claimOf[k], centre, semi, 0, 0, 360, cv::Scalar(255), cv::FILLED);
        }
        seedOf[k] &= core(r);
    }
    // Whether a is in front of b: smaller and mostly inside its box. A box
    // over half the picture without a skeleton is the scene's (a table, a
    // bed, the ground): what lies in it is in front of it, close to its size
    // or not.
    // No seed where an object in front claims the picture, nor, for an
    // object without a skeleton, where another it overlaps that is not
    // behind it does. Against a skeleton an object in front claims only its
    // middle: a tie box drawn wide leaves the torso around it to the person.
    // An object whose seeds all go keeps those no object in front took.
    const std::vector<cv::Mat> middles = [&] {
        std::vector<cv::Mat> m;
        for (const cv::Mat& s : seedOf)
            m.push_back(s.clone());
        return m;
    }();
    std::vector<cv::Mat> sureOf(n), fallbackOf(n), disputedOf(n);
    // Objects without a skeleton that take part of another's seeds where
    // neither is in front: side by side, or one partly over the other.
    std::vector<std::vector<size_t>> rivals(n);
    std::vector<bool> contested(n, false); // has rivals, or is one
    for (size_t k = 0; k < n; ++k) {
        const Thing& t = things[inMatte[k]];
        cv::Mat sure = seedOf[k].clone();
        cv::Mat fallback = seedOf[k].clone();
        cv::Mat byPeople = cv::Mat::zeros(seedOf[k].size(), CV_8UC1);
        for (size_t j = 0; j < n; ++j) {
            const Thing& q = things[inMatte[j]];
            const cv::Rect common = t.reach & q.reach;
            if (j == k || common.empty() || front(t, q))
                continue;
            const cv::Mat claim =
                (t.pose && !q.pose ? middles[j] : claimOf[j])(common - q.reach.tl());
            if (front(q, t) && !t.pose) {
                // Behind an object in front nothing of its box is sure.
                const cv::Rect hidden = (q.box & t.reach) - t.reach.tl();
                sure(hidden).setTo(0);
                fallback(hidden).setTo(0);
            } else if (front(q, t)) {
                sure(common - t.reach.tl()).setTo(0, claim);
                fallback(common - t.reach.tl()).setTo(0, claim);
            } else if (!t.pose) {
                sure(common - t.reach.tl()).setTo(0, claim);
                if (q.pose) {
                    byPeople(common - t.reach.tl()).setTo(255, claim);
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
    // Where rivals claim the same place, a seed goes back to the object
    // whose own colours (those of the seeds no one disputes) it has far more
    // than the rival's: a black calf's head under the middle of a white
    // sheep's box is the calf's. Every disputed seed lies in a rival's claim:
    // people's claims and objects in front are never disputed.
    std::vector<std::optional<ColourModel>> colours(n);
    for (size_t k = 0; k < n; ++k) {
        if (contested[k])
            colours[k] = ColourModel::of(rgb(things[inMatte[k]].reach), sureOf[k], colourSamples);
    }
    for (size_t k = 0; k < n; ++k) {
        const Thing& t = things[inMatte[k]];
        if (rivals[k].empty() || !colours[k])
            continue;
        const cv::Mat& disputed = disputedOf[k];
        for (int y = 0; y < disputed.rows; ++y) {
            const uchar* d = disputed.ptr<uchar>(y);
            const cv::Vec3b* c = rgb.ptr<cv::Vec3b>(t.reach.y + y) + t.reach.x;
            uchar* s = sureOf[k].ptr<uchar>(y);
            for (int x = 0; x < disputed.cols; ++x) {
                if (!d[x])
                    continue;
                const cv::Point p(t.reach.x + x, t.reach.y + y);
                const double own = colours[k]->likelihood(c[x]);
                bool mine = true;
                for (size_t j : rivals[k]) {
                    const Thing& q = things[inMatte[j]];
                    if (!q.reach.contains(p) || !claimOf[j].at<uchar>(p - q.reach.tl()))
                        continue;
                    mine = mine && colours[j] && own >= colourMargin * colours[j]->likelihood(c[x]);
                }
                if (mine)
                    s[x] = 255;
            }
        }
    }
    for (size_t k = 0; k < n; ++k) {
        seedOf[k] = cv::countNonZero(sureOf[k]) < 0.1 * cv::countNonZero(seedOf[k]) ? fallbackOf[k]
                                                                                    : sureOf[k];
    }
    // Larger objects first, people after other objects, and limbs over
    // every torso: an arm across another person is in front of that person.
    cv::Mat seeds = cv::Mat::zeros(size, CV_8UC1);
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t k = 0; k < n; ++k) {
            const Thing& t = things[inMatte[k]];
            if (bool(t.pose) == bool(pass))
                seeds(t.reach).setTo(t.seed, seedOf[k]);
        }
    }
    // Where one person's limb lies over another's body it is in front of
    // that body, and of any limb of theirs drawn there: a hand seen over
    // someone's chest is before it, not behind. Such parts are drawn last,
    // and around them (as wide as a claim) the other's seeds give way: the
    // hand's own edges, not the drawn width, decide where it ends.
    cv::Mat torsos = cv::Mat::zeros(size, CV_8UC1);
    std::vector<cv::Mat> limbsOf(n), aroundOf(n);
    for (size_t k = 0; k < n; ++k) {
        const Thing& t = things[inMatte[k]];
        if (!t.pose)
            continue;
        const Skeleton& s = skeletons[inMatte[k]];
        limbsOf[k] = cv::Mat::zeros(t.reach.size(), CV_8UC1);
        aroundOf[k] = cv::Mat::zeros(t.reach.size(), CV_8UC1);
        for (const Segment& g : s.limbs) {
            const cv::Point2f a = g.a - cv::Point2f(t.reach.tl()),
                              b = g.b - cv::Point2f(t.reach.tl());
            cv::line(limbsOf[k], a, b, cv::Scalar(255), cvRound(s.width));
            cv::line(aroundOf[k], a, b, cv::Scalar(255), cvRound(claimWidth * s.width));
        }
        limbsOf[k] &= seedOf[k];
        seeds(t.reach).setTo(t.seed, limbsOf[k]);
        if (s.torso.size() >= 3)
            cv::fillConvexPoly(torsos, wideTorso(s, bodyTorso), cv::Scalar(t.seed));
    }
    for (size_t k = 0; k < n; ++k) {
        const Thing& t = things[inMatte[k]];
        if (limbsOf[k].empty())
            continue;
        const cv::Mat others = torsos(t.reach);
        const cv::Mat over = (others != 0) & (others != t.seed);
        cv::Mat mine = seeds(t.reach);
        mine.setTo(0, aroundOf[k] & over & (mine != t.seed));
        mine.setTo(t.seed, limbsOf[k] & over);
    }

    // Where each object's share may lie: its box and a margin, and for a
    // person no further from the skeleton than a body could be.
    std::vector<Reach> reach(bySeed.size());
    for (size_t l = 1; l < bySeed.size(); ++l) {
        const Thing& t = *bySeed[l];
        reach[l].box = t.reach;
        if (t.pose)
            reach[l].within = bodyAround(t, skeletons[size_t(&t - things.data())]);
    }

    // Parts of the matte's subjects outside every box are subjects of their
    // own when they are a real share of them; each connected part on its
    // own: a stick held out on one side and a scooter on the other are two.
    cv::Mat boxed = cv::Mat::zeros(size, CV_8UC1);
    for (size_t i : inMatte)
        boxed(things[i].reach).setTo(255);
    const int minArea = std::max(16, int(speckShare * double(size.area())));
    std::vector<int> total(size_t(matte.count) + 1, 0);
    for (int y = 0; y < size.height; ++y) {
        const uchar* o = matte.owner.ptr<uchar>(y);
        const uchar* c = core.ptr<uchar>(y);
        for (int x = 0; x < size.width; ++x) {
            if (c[x] && o[x] && o[x] <= matte.count)
                ++total[o[x]];
        }
    }
    // Such a part grows outside people's boxes first: a body the skeleton's
    // reach leaves out is still that body, shared out after.
    cv::Mat unboxed(size, CV_8UC1, cv::Scalar(255));
    for (size_t i : inMatte) {
        if (things[i].pose)
            unboxed(things[i].reach).setTo(0);
    }
    cv::Mat outsideParts, partStats, partCentres;
    const int parts = cv::connectedComponentsWithStats(core & domain & ~boxed, outsideParts,
                                                       partStats, partCentres, 8, CV_32S);
    std::vector<int> partLabel(size_t(std::max(parts, 1)), 0);
    for (int c = 1; c < parts && reach.size() < 255; ++c) {
        const int x = partStats.at<int>(c, cv::CC_STAT_LEFT);
        const int y = partStats.at<int>(c, cv::CC_STAT_TOP);
        int s = 0;
        for (int i = x; i < x + partStats.at<int>(c, cv::CC_STAT_WIDTH) && !s; ++i) {
            if (outsideParts.at<int>(y, i) == c)
                s = matte.owner.at<uchar>(y, i);
        }
        if (s < 1 || s > matte.count)
            continue;
        const int area = partStats.at<int>(c, cv::CC_STAT_AREA);
        if (area >= std::max(minArea, int(leftoverShare * total[size_t(s)]))) {
            partLabel[size_t(c)] = int(reach.size());
            reach.push_back({cv::Rect(0, 0, size.width, size.height), unboxed});
        }
    }
    for (int y = 0; y < size.height; ++y) {
        const int* p = outsideParts.ptr<int>(y);
        uchar* s = seeds.ptr<uchar>(y);
        for (int x = 0; x < size.width; ++x) {
            if (p[x] > 0 && partLabel[size_t(p[x])])
                s[x] = uchar(partLabel[size_t(p[x])]);
        }
    }
    std::vector<int> leftoverOf(size_t(matte.count) + 1, 0); // matte subject -> flood label

    // The flood: each object within its reach, then what no reach took goes
    // to what it touches, then a piece of the matte with no seed at all stays
    // the subject it was.
    cv::Mat shared = seeds.clone();
    const cv::Mat edge = edges(rgb);
    flood(shared, domain, edge, reach);
    flood(shared, domain, edge, std::vector<Reach>(256));
    for (int y = 0; y < size.height; ++y) {
        const uchar* o = matte.owner.ptr<uchar>(y);
        uchar* s = shared.ptr<uchar>(y);
        for (int x = 0; x < size.width; ++x) {
            if (s[x] || !o[x] || o[x] > matte.count)
                continue;
            if (!leftoverOf[o[x]] && reach.size() < 255) {
                leftoverOf[o[x]] = int(reach.size());
                reach.emplace_back();
            }
            s[x] = uchar(leftoverOf[o[x]]);
        }
    }
    const int labelCount = int(reach.size());

    // A piece of the matte no object's seed reached, lying within the box of
    // an object the matte leaves out and small beside it, is the bit of that
    // object the matte saw (the lettering on a dark keyboard): it is that
    // object's, in the smallest such box.
    std::vector<int> pieceOf(size_t(labelCount), -1); // flood label -> thing
    {
        std::vector<std::array<int, 4>> extent(size_t(labelCount), {INT_MAX, INT_MAX, -1, -1});
        std::vector<int> count(size_t(labelCount), 0);
        for (int y = 0; y < size.height; ++y) {
            const uchar* sh = shared.ptr<uchar>(y);
            for (int x = 0; x < size.width; ++x) {
                if (sh[x] < bySeed.size())
                    continue;
                auto& e = extent[sh[x]];
                e = {std::min(e[0], x), std::min(e[1], y), std::max(e[2], x), std::max(e[3], y)};
                ++count[sh[x]];
            }
        }
        std::vector<int> firstPiece(things.size(), 0);
        for (int l = 1; l < labelCount; ++l) {
            const auto& e = extent[size_t(l)];
            if (e[2] < 0)
                continue;
            const cv::Rect piece(cv::Point(e[0], e[1]), cv::Point(e[2] + 1, e[3] + 1));
            int best = -1;
            for (size_t i = 0; i < things.size(); ++i) {
                const Thing& t = things[i];
                if (t.seed || t.faint || count[size_t(l)] > pieceShare * t.box.area() ||
                    (t.box & piece).area() < frontInside * piece.area())
                    continue;
                if (best < 0 || t.box.area() < things[size_t(best)].box.area())
                    best = int(i);
            }
            if (best < 0)
                continue;
            if (firstPiece[size_t(best)]) {
                shared.setTo(firstPiece[size_t(best)], shared == l);
            } else {
                firstPiece[size_t(best)] = l;
                pieceOf[size_t(l)] = best;
            }
        }
    }

    // Each flood label's pixels, and the box of its confident ones.
    std::vector<int> pixels(size_t(labelCount), 0), corePixels(size_t(labelCount), 0);
    std::vector<cv::Rect> coreBox(static_cast<size_t>(labelCount));
    std::vector<std::array<int, 4>> bounds(size_t(labelCount), {INT_MAX, INT_MAX, -1, -1});
    for (int y = 0; y < size.height; ++y) {
        const uchar* s = shared.ptr<uchar>(y);
        const uchar* c = core.ptr<uchar>(y);
        for (int x = 0; x < size.width; ++x) {
            if (!s[x])
                continue;
            ++pixels[s[x]];
            if (!c[x])
                continue;
            ++corePixels[s[x]];
            // An object's share is measured within its box: what it holds
            // out beyond the box does not make its shape any worse.
            if (size_t(s[x]) < bySeed.size() && !bySeed[s[x]]->box.contains(cv::Point(x, y)))
                continue;
            auto& b = bounds[s[x]];
            b = {std::min(b[0], x), std::min(b[1], y), std::max(b[2], x), std::max(b[3], y)};
        }
    }
    for (int l = 1; l < labelCount; ++l) {
        const auto& b = bounds[size_t(l)];
        if (b[2] >= 0)
            coreBox[size_t(l)] = cv::Rect(cv::Point(b[0], b[1]), cv::Point(b[2] + 1, b[3] + 1));
    }

    // The subjects: shares of the matte, and objects with masks of their own.
    struct Entry
    {
        int flood = 0;  // flood label, 0 for none
        int thing = -1; // index in things, -1 for a part of the matte
        bool own = false;
        double size = 0; // what subjects are numbered by
        cv::Rect box;
    };
    std::vector<Entry> entries;
    for (int l = 1; l < labelCount; ++l) {
        if (!pixels[size_t(l)])
            continue;
        Entry e;
        e.flood = l;
        e.size = pixels[size_t(l)];
        e.box = coreBox[size_t(l)].empty() ? cv::Rect() : coreBox[size_t(l)];
        if (pieceOf[size_t(l)] >= 0) {
            const Thing& t = things[size_t(pieceOf[size_t(l)])];
            e.thing = pieceOf[size_t(l)];
            e.own = true;
            e.size = t.area * 0.5;
            e.box = t.box;
        } else if (size_t(l) < bySeed.size()) {
            const Thing& t = *bySeed[size_t(l)];
            e.thing = int(&t - things.data());
            e.box = t.box;
            // A person's share follows the skeleton: it stands, however the
            // box was drawn.
            e.own = !t.pose && (boxOverlap(coreBox[size_t(l)], t.box) < fitNeeded ||
                                cutOff(shared, domain, l, t.reach) >=
                                    cutOffShare * 2 * (t.box.width + t.box.height));
        }
        entries.push_back(e);
    }
    // An object in front of a person whose share does not make its shape is
    // a part of that person the finder named (a tie box drawn over a
    // jacket): the share goes back to the person, the object keeps its cut.
    // Of several such people, the one it borders most.
    std::vector<int> giveTo(size_t(labelCount), 0);
    for (Entry& e : entries) {
        if (!e.own || e.thing < 0 || !e.flood)
            continue;
        std::vector<int> border(bySeed.size(), 0);
        const cv::Rect r = things[size_t(e.thing)].reach;
        for (int y = std::max(r.y, 1); y < std::min(r.br().y, size.height - 1); ++y) {
            for (int x = std::max(r.x, 1); x < std::min(r.br().x, size.width - 1); ++x) {
                if (shared.at<uchar>(y, x) != e.flood)
                    continue;
                for (const uchar o : {shared.at<uchar>(y, x - 1), shared.at<uchar>(y, x + 1),
                                      shared.at<uchar>(y - 1, x), shared.at<uchar>(y + 1, x)}) {
                    if (o != e.flood && o < bySeed.size() && o && bySeed[o]->pose &&
                        front(things[size_t(e.thing)], *bySeed[o]))
                        ++border[o];
                }
            }
        }
        const auto most = std::max_element(border.begin(), border.end());
        if (*most == 0)
            continue;
        giveTo[size_t(e.flood)] = int(most - border.begin());
        e.size = things[size_t(e.thing)].area * 0.5;
        e.flood = 0;
    }
    for (int y = 0; y < size.height; ++y) {
        uchar* s = shared.ptr<uchar>(y);
        for (int x = 0; x < size.width; ++x) {
            if (giveTo[s[x]])
                s[x] = uchar(giveTo[s[x]]);
        }
    }
    for (size_t i = 0; i < things.size(); ++i) {
        // A faint find the matte covers is no more than the matte says.
        if (things[i].seed || std::find(pieceOf.begin(), pieceOf.end(), int(i)) != pieceOf.end() ||
            (things[i].faint && things[i].cover >= coverNeeded))
            continue;
        Entry e;
        e.thing = int(i);
        e.own = true;
        e.size = things[i].area * 0.5;
        e.box = things[i].box;
        entries.push_back(e);
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.size > b.size; });
    if (entries.size() > 255)
        entries.resize(255);

    InstanceMask out;
    out.matte = matte.matte;
    out.count = int(entries.size());
    std::vector<uchar> finalOf(size_t(labelCount), 0);
    for (size_t m = 0; m < entries.size(); ++m) {
        if (entries[m].flood)
            finalOf[size_t(entries[m].flood)] = uchar(m + 1);
    }
    out.owner = cv::Mat::zeros(size, CV_8UC1);
    for (int y = 0; y < size.height; ++y) {
        const uchar* s = shared.ptr<uchar>(y);
        uchar* o = out.owner.ptr<uchar>(y);
        for (int x = 0; x < size.width; ++x)
            o[x] = finalOf[s[x]];
    }
    out.labels = out.owner.clone();
    out.labels.setTo(0, matte.matte < labelLevel);

    // What is known of each subject, and masks of their own.
    std::vector<size_t> ownOrder;
    out.info.resize(entries.size());
    for (size_t m = 0; m < entries.size(); ++m) {
        const Entry& e = entries[m];
        SubjectInfo& info = out.info[m];
        info.box = e.box;
        if (e.thing < 0)
            continue;
        const Thing& t = things[size_t(e.thing)];
        info.className = t.className;
        info.score = t.score;
        if (!e.own)
            continue;
        ObjectMask::Hints hints;
        const cv::Rect window = ObjectMask::window(t.box, size);
        hints.rgb = rgb(window);
        hints.box = t.box - window.tl();
        if (t.pose) {
            const Skeleton s = skeletonOf(t);
            const cv::Point2f shift(float(window.x), float(window.y));
            for (const auto* part : {&s.trunk, &s.limbs}) {
                for (const Segment& g : *part)
                    hints.bones.emplace_back(g.a - shift, g.b - shift);
            }
            for (size_t c = 0; c + 1 < s.torso.size(); ++c)
                hints.bones.emplace_back(cv::Point2f(s.torso[c]) - shift,
                                         cv::Point2f(s.torso[c + 1]) - shift);
            hints.boneWidth = s.width;
        }
        const cv::Mat sure = core(window);
        const cv::Mat mine = shared(window) == e.flood;
        if (e.flood)
            hints.mine = mine & sure;
        cv::Mat others = (out.owner(window) != 0) & ~mine & sure;
        // The person it lies on in front of holds its pixels too: not its
        // background.
        for (size_t h = 1; h < bySeed.size(); ++h) {
            if (bySeed[h] != &t && bySeed[h]->pose && front(t, *bySeed[h]))
                others.setTo(0, shared(window) == int(h));
        }
        hints.others = others;
        info.own = std::make_shared<const ObjectMask>(std::move(hints), window);
        ownOrder.push_back(m);
    }
    auto faintEntry = [&](size_t m) {
        return entries[m].thing >= 0 && things[size_t(entries[m].thing)].faint;
    };
    std::stable_sort(ownOrder.begin(), ownOrder.end(), [&](size_t a, size_t b) {
        if (faintEntry(a) != faintEntry(b))
            return faintEntry(b);
        return entries[a].box.area() > entries[b].box.area();
    });
    // A click area covers what no share of the matte holds, and the area of
    // a larger object with a mask of its own whose box holds it (a spoon on
    // a table the matte left out): smaller objects are drawn last, faint
    // finds after all others, only where nothing else is.
    std::vector<bool> left(entries.size() + 1, false);
    for (size_t m = 0; m < entries.size(); ++m)
        left[m + 1] = entries[m].own;
    for (size_t m : ownOrder) {
        const cv::Rect& box = entries[m].box;
        const bool faint = faintEntry(m);
        cv::Mat area = cv::Mat::zeros(box.size(), CV_8UC1);
        cv::ellipse(area, cv::Point(box.width / 2, box.height / 2),
                    cv::Size(std::max(1, box.width / 2), std::max(1, box.height / 2)), 0, 0, 360,
                    cv::Scalar(255), cv::FILLED);
        for (int y = 0; y < box.height; ++y) {
            const uchar* a = area.ptr<uchar>(y);
            uchar* l = out.labels.ptr<uchar>(box.y + y) + box.x;
            for (int x = 0; x < box.width; ++x) {
                if (a[x] &&
                    (!l[x] || (!faint && left[l[x]] && holds(out.info[l[x] - 1u].box, box))))
                    l[x] = uchar(m + 1);
            }
        }
    }
    return out;
}
