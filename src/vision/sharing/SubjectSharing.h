#pragma once

#include "InstanceMask.h"
#include "ObjectDetector.h"
#include "PoseEstimator.h"
#include "SubjectTuning.h"

#include <opencv2/core.hpp>
#include <vector>

// Splits the picture into the objects a person sees: the matte's subjects
// (MatteSplit) shared among the objects the object finder and the pose
// finder found.
//
// The rules run as the stages of SharingStages.h, every number from
// SubjectTuning (whose glossary gives the words used here).
//
// The numbers the rules below speak of are SubjectTuning's, named here in
// brackets; this text says what the rules do, the tuning how much.
//
// Objects: detections of at least the sure score (scene.minScore), the best
// of any that overlap (whatever their classes), and people: a pose goes with
// the person box it fits; a sure pose without one is a person of its own.
// Fainter detections (scene.minFaintScore, over no more than
// scene.faintArea of the picture) share the matte only where they name a
// part of it no sure detection reaches (unless the matte leaves that one out
// and the faint one lies in front of it); elsewhere they are offered only
// where the matte leaves them out, and only where no other subject is.
//
// Sharing: each object the matte covers (sharing.heldCover of its box sure
// matte, or for a sure find that share of what the labels show: a blurred
// rider held faintly) gets seeds where it surely is: a person's skeleton
// (torso, head, arms and legs, and the hand beyond the wrist), else the
// middle of its box. No seed lies where an object in front claims the
// picture (a smaller object mostly inside the box, or anything in a box over
// sharing.sceneShare of the picture that has no skeleton: the scene's table
// or bed; its whole box, or against a skeleton its middle), nor, for an
// object without a skeleton, where another it overlaps claims it (the
// ellipse in its box, or the skeleton drawn as wide as limbs are). People
// are seeded after other objects and limbs after every torso: an arm across
// another person is in front of that person. Where two people's skeletons
// claim the same arm or leg (its middle joint and end in the same places),
// its lower part goes with the one it continues with the smaller bend at the
// joint. From the seeds the matte is flooded along the picture's colours (a
// watershed), each object within its box and a margin, a person also no
// further from the skeleton than a body could be. Parts of the matte outside
// every box (something no finder named, a stick held out) are subjects of
// their own when they are a real share of their piece of the matte
// (sharing.leftoverShare), each connected part on its own; what is left
// goes to what it touches. Every pixel of the matte keeps exactly one owner,
// so all subjects together are the matte.
//
// Where one person's limb lies over another's body, it is in front: its
// seeds are drawn over the other's, and the other's give way around them.
//
// Objects the matte leaves out, or covers too little of to make a shape that
// fits the box (or cuts off at the edge of its reach, the matte going on
// beyond), get a mask of their own (OwnMask) and a click area: the
// ellipse in their box where no share of the matte is, over any larger
// object with a mask of its own whose box holds theirs. Such an object in
// front of a person gives its share back to the person it borders most (a
// tie box drawn over a jacket). A small piece of the matte no object took,
// inside the box of an object the matte leaves out, is that object's (the
// lettering on a dark keyboard). An object held faintly whose share does
// not fit its box was not the matte's: the matte is shared again without
// it, and it gets a mask of its own.
//
// A share no object accounts for that is a sliver (too small a part of the
// picture, or too thin, to be an object) goes to the subject it borders,
// and one with nothing a click could find is no subject.
//
// Subjects are numbered by size, largest first, at most
// InstanceMask::maxLabel. A matte without subjects stays without: the matte
// decides whether there is anything to cut out.
class SubjectSharing final
{
public:
    SubjectSharing() = delete;

    // `matte`: the matte's own split at working size; `rgb` (CV_8UC3, R, G,
    // B) and the finds at the same size.
    static InstanceMask split(const InstanceMask& matte, const cv::Mat& rgb,
                              const std::vector<DetectedObject>& objects,
                              const std::vector<DetectedPose>& people,
                              const SubjectTuning& tuning = {});
};
