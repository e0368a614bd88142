#pragma once

#include "ColourModel.h"
#include "InstanceMask.h"
#include "PersonSkeleton.h"
#include "SceneObjects.h"
#include "SeedFlood.h"

#include <opencv2/core.hpp>
#include <optional>
#include <utility>
#include <vector>

// The matte's subjects shared out among the objects the finders found, step
// by step, as SubjectSharing describes. Made for one run().
class MatteSharing final
{
public:
    MatteSharing(const InstanceMask& matte, const cv::Mat& rgb,
                 const std::vector<SceneObject>& found);

    InstanceMask run();

private:
    // An object is in the matte when this share of its box is confident
    // matte. A sure find is also when this share is matte the labels show
    // (a blurred rider): it is then held faintly.
    static constexpr double coverNeeded = 0.3;
    static constexpr int labelLevel = 64; // as MatteSplit::labelThreshold
    // A box this much inside another is held by it (in front of it, when
    // small enough beside it).
    static constexpr double frontInside = 0.8;

    // An object while the matte is shared out.
    struct Thing : SceneObject
    {
        explicit Thing(SceneObject o) : SceneObject(std::move(o)) {}
        double cover = 0;         // the share of its box that is confident matte
        int seed = 0;             // its label in the flood, 0 when not in the matte
        bool faintlyHeld = false; // in the matte by what the labels show only
    };

    // A subject of the result: a share of the matte, an object with a mask of
    // its own, or both.
    struct Entry
    {
        int flood = 0;  // flood label, 0 for none
        int thing = -1; // index in things, -1 for a part of the matte
        bool own = false;
        double size = 0; // what subjects are numbered by
        cv::Rect box;
    };

    // Whether `a` is in front of `b`: smaller and mostly inside its box. A
    // box over half the picture without a skeleton is the scene's (a table,
    // a bed, the ground): what lies in it is in front of it, close to its
    // size or not.
    bool front(const Thing& a, const Thing& b) const;
    // Whether a find without a skeleton has a box as large as the picture:
    // where the matte leaves it out, it is the picture, not a subject.
    bool isPicture(const Thing& t) const;
    // Whether `inner` is smaller than `outer` and mostly inside it.
    static bool holds(const cv::Rect& outer, const cv::Rect& inner);
    size_t indexOf(const Thing& t) const { return size_t(&t - m_things.data()); }
    const Thing& inMatte(size_t k) const { return m_things[m_inMatte[k]]; }

    // The steps of run(), in order; MatteSharing.cpp seeds and floods,
    // MatteSharingSubjects.cpp makes the subjects.
    void findObjectsInMatte();
    void laySeeds();
    void settleClaims();
    void returnByColour(const std::vector<std::vector<size_t>>& rivals,
                        const std::vector<cv::Mat>& disputedOf, std::vector<cv::Mat>& sureOf) const;
    cv::Mat foreignTo(size_t k) const;
    void drawSeeds();
    void drawLimbsInFront();
    void seedPartsOutsideBoxes();
    void floodMatte();
    void givePiecesToLeftOut();
    void makeEntries();
    // Per object: held faintly, with a share that does not make its shape.
    std::vector<bool> faintMisfits() const;
    void giveBackToPeople();
    InstanceMask labelled() const;
    void addOwnMasks(InstanceMask& out) const;
    void drawClickAreas(InstanceMask& out) const;

    const InstanceMask& m_matte;
    const cv::Mat& m_rgb;
    const std::vector<SceneObject>& m_found;
    const cv::Size m_size;
    std::vector<Thing> m_things;
    std::vector<bool> m_notHeld; // per thing: the matte does not hold it, whatever its cover
    const cv::Mat m_core;        // the confident matte
    const cv::Mat m_domain;      // the matte's subjects: what is shared out
    const cv::Mat m_shown;       // what of them the labels show

    // The objects in the matte, larger ones first; by flood label.
    std::vector<size_t> m_inMatte;
    std::vector<const Thing*> m_bySeed{nullptr};
    // Per object in the matte: where it surely is, and its claim on the
    // picture against other objects' seeds.
    std::vector<cv::Mat> m_seedOf, m_claimOf, m_middles;
    std::vector<PersonSkeleton> m_skeletons; // per thing
    cv::Mat m_seeds;                         // flood labels to grow from
    std::vector<SeedFlood::Reach> m_reach;   // per flood label
    cv::Mat m_shared;                        // flood labels grown over the matte
    int m_labelCount = 0;
    std::vector<int> m_pieceOf;  // flood label -> thing
    std::vector<bool> m_pieceIs; // the piece is the whole thing, as its box says
    std::vector<Entry> m_entries;
    std::vector<std::vector<size_t>> m_rivals;         // per object in the matte
    std::vector<std::optional<ColourModel>> m_colours; // of contested objects' sure seeds
};
