#pragma once

#include "InstanceMask.h"
#include "SceneObjects.h"
#include "SeedFlood.h"
#include "SubjectTuning.h"

#include <opencv2/core.hpp>
#include <vector>

// The matte shared among the objects of the scene, as a pipeline of pure
// stages, each a function of the values before it:
//
//   hold -> seed -> flood -> share -> without slivers -> subjects
//
// SubjectSharing runs them (and runs them again without an object the matte
// held only faintly whose share turned out not to make its shape). The
// words are those of SubjectTuning's glossary.
namespace Sharing {

// An object while the matte is shared out.
struct Object : SceneObject
{
    explicit Object(SceneObject o) : SceneObject(std::move(o)) {}
    double cover = 0;         // the share of its box that is sure matte
    int label = 0;            // its flood label, 0 when the matte does not hold it
    bool faintlyHeld = false; // held by what the shown matte makes only
    bool named = false;       // a faint find naming a part of the matte no sure one reaches
};

// 1. The scene as the matte holds it.
struct Held
{
    cv::Size size;
    cv::Mat rgb; // CV_8UC3, R, G, B
    InstanceMask matte;
    cv::Mat sure;   // the sure matte
    cv::Mat domain; // the matte's subjects: what is shared out
    cv::Mat shown;  // what of them a click finds
    std::vector<Object> objects;
    // The objects the matte holds, larger ones first: the k-th has flood
    // label k + 1.
    std::vector<size_t> inMatte;

    const Object& held(size_t k) const { return objects[inMatte[k]]; }
    // The object with flood label `label`, or null when the label is not an
    // object's (a part of the matte outside every box, or one no seed reached).
    const Object* ofLabel(int label) const;
    // How many flood labels are objects', with 0: labels from this on are
    // parts of the matte.
    size_t objectLabels() const { return inMatte.size() + 1; }
    size_t indexOf(const Object& t) const { return size_t(&t - objects.data()); }
};
// `notHeld`: per found object, whether it is left out of the matte whatever
// its cover.
Held hold(const InstanceMask& matte, const cv::Mat& rgb, const std::vector<SceneObject>& found,
          const std::vector<bool>& notHeld, const SubjectTuning& tuning);

// Whether `a` is in front of `b`: smaller and mostly inside its box. A box
// over much of the picture without a skeleton is the scene's (a table, a
// bed, the ground): what lies in it is in front of it, close to its size or
// not.
bool inFront(const Object& a, const Object& b, cv::Size picture, const SubjectTuning& tuning);
// Whether `inner` is smaller than `outer` and mostly inside it.
bool holds(const cv::Rect& outer, const cv::Rect& inner, const SubjectTuning& tuning);
// Whether an object without a skeleton has a box as large as the picture:
// where the matte leaves it out, it is the picture, not a subject.
bool isPicture(const Object& t, cv::Size picture, const SubjectTuning& tuning);

// 2. Where each object surely is, as flood labels, and where each label may
// grow. Parts of the matte outside every box have labels of their own.
struct Seeds
{
    cv::Mat labels;                      // CV_8UC1, flood labels to grow from
    std::vector<SeedFlood::Reach> reach; // per flood label
};
Seeds seed(const Held& held, const SubjectTuning& tuning);

// 3. The seeds grown over the matte: every pixel of the matte's subjects
// gets exactly one flood label.
struct Flood
{
    cv::Mat labels;     // CV_8UC1
    int labelCount = 0; // with 0
};
Flood flood(const Held& held, const Seeds& seeds);

// A subject of the result: a share of the matte, an object with a mask of
// its own, or both.
struct Subject
{
    int label = 0;   // flood label, 0 for none
    int object = -1; // index in objects, -1 for a part of the matte
    bool own = false;
    double size = 0; // what subjects are numbered by
    cv::Rect box;
};

// 4. The shares: each flood label's owner, larger subjects first.
struct Shares
{
    cv::Mat labels; // the flood's labels, pieces given to their objects
    int labelCount = 0;
    std::vector<Subject> subjects;
};
Shares share(const Held& held, Flood flood, const SubjectTuning& tuning);
// 4b. The shares without slivers: a share of no object too small or too
// thin to be one goes to the subject it borders.
Shares withoutSlivers(const Held& held, Shares shares, const SubjectTuning& tuning);
// Per object: held faintly, with a share that does not make its shape.
std::vector<bool> faintMisfits(const Held& held, const Shares& shares);

// 5. The subjects: labels, click areas, and masks of their own.
InstanceMask subjectsOf(const Held& held, const Shares& shares, const SubjectTuning& tuning);

} // namespace Sharing
