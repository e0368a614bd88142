#pragma once

#include <string>
#include <vector>

// Every number by which Vantel tells subjects apart, in one place, so that a
// rule reads as words and a test or bench/eval_vision can vary any value.
// OnDeviceVision holds one and passes it down; each stage reads only its part.
//
// Glossary (one name per idea, used throughout vision/):
//   matte     the segmentation network's soft answer, 0 .. 255 per pixel:
//             how surely the pixel is part of something in front.
//   level     a matte value a rule compares against (levels, below).
//   sure      matte from `levels.sure` up: the body of a subject; also a find
//             or pose scoring high enough to be believed.
//   shown     matte from `levels.shown` up: what a click finds (the label
//             image), and the body a pick lifts.
//   faint     matte from `levels.faint` up: the haze around a subject; two
//             parts with no faint matte between them have background between.
//   piece     a connected part of the sure matte.
//   fragment  a piece much smaller than one near it, joined to it.
//   speck     a group of pieces too small to be anything; dropped.
//   subject   what a click keeps: listed, numbered by size (1 the largest).
//   object    something a finder found: a box, a class, a score, and for a
//             person a pose. A faint object is one the finder was unsure of.
//   scene     the objects gathered for one picture, each once.
//   held      an object is held by the matte when enough of its box is sure
//             matte; held faintly when only shown matte makes it so.
//   seed      where an object surely is, from which its share grows.
//   claim     where an object keeps other objects' seeds out.
//   reach     where an object's share may grow: its box and a margin.
//   flood     growing the seeds over the matte along the picture's colours.
//   share     the part of the matte one flood label ends with.
//   own mask  an object's mask cut from the picture itself, where the matte
//             leaves the object out or does not make its shape.
//   sliver    a share too small or too thin to be an object; it goes to the
//             subject it borders.
struct SubjectTuning
{
    // Matte levels, each named once.
    struct Levels
    {
        int sure = 128;  // one half
        int shown = 64;  // a quarter
        int linked = 77; // 0.3: pieces joined through matte this high are one thing
        int faint = 26;  // 0.1
    } levels;

    // What is too small to be anything: this share of the picture, and never
    // fewer pixels than minArea.
    double speckShare = 0.0005;
    int minArea = 16;

    // The matte's own split into subjects.
    struct Split
    {
        // The split works at the image's size, or scaled down so its shorter
        // side is this (the network's resolution).
        int workingSide = 1024;
        // A piece closer than this share of the longer side to one at least
        // fragmentRatio times its size joins it, if faint matte links them.
        double gapShare = 0.015;
        double fragmentRatio = 8.0;
        // A piece linked at levels.linked to one this many times its size
        // joins it however far apart their sure parts are.
        double linkedRatio = 3.0;
        // Subjects whose box covers this share of the picture are searched
        // for two or more faces, to be split between the people.
        double peopleShare = 0.02;
        // A split between people is kept when each person is at least this
        // share of the piece, and mostly (this share) in one part.
        double personShare = 0.1;
        double personWhole = 0.8;

        // Faces are looked for on a grey copy at most searchSide long, in
        // subjects at least minSubjectSide across there; a face is at least
        // minFaceSide, and at least 1 / faceShare of the subject's longer
        // side. A subject roomForTwo faces wide may hold a second person
        // beside the first.
        int searchSide = 800;
        int minSubjectSide = 24;
        int minFaceSide = 16;
        int faceShare = 30;
        int roomForTwo = 5;
    } split;

    // The objects the finders report, gathered once each.
    struct Scene
    {
        float minScore = 0.25f;     // a sure object
        float minFaintScore = 0.1f; // a faint one, offered where the matte leaves it out
        float minPoseScore = 0.2f;  // a pose
        // A detection overlapping a surer one by this (IoU) is the same
        // thing; so is one of the same class this much inside another no
        // more than 1 / sameSize times its size.
        float sameThing = 0.5f;
        double sameContained = 0.85;
        double sameSize = 0.3;
        // A pose goes with the person box it overlaps by this (IoU); a person
        // box without a pose lying this much on a person with one is that
        // person again.
        float poseFits = 0.3f;
        double samePerson = 0.5;
        // A pose without a person box is a person when this sure, with at
        // least lonePoints keypoints.
        float lonePose = 0.3f;
        int lonePoints = 5;
        int maxObjects = 48;
        // A faint object is offered only up to this share of the picture.
        double faintArea = 0.25;
        // Each object's reach: its box and this share of it beyond, and
        // minMargin pixels more.
        double boxMargin = 0.1;
        int minMargin = 2;
    } scene;

    // A person's skeleton, from the pose.
    struct Person
    {
        float keypointScore = 0.2f;  // keypoints drawn
        float faintKeypoint = 0.05f; // where a disputed limb is looked for
        // Two people's joints closer than this share of the shorter lower
        // limb are one joint.
        double sameJoint = 0.35;
        // The torso drawn this much larger than its joints; the hand this
        // share of the forearm beyond the wrist.
        double torsoScale = 1.1;
        double handShare = 0.7;
        // How far a body reaches from the skeleton, in person sizes.
        double bodyTorsoScale = 1.5;
        double bodyHead = 0.9;
        double bodyLimb = 0.6;
        // A person's size is the shoulders' width: the hips' width this many
        // times, else this share of the box's width; never below minSize
        // pixels. Skeleton lines are lineShare of it wide, at least minLine
        // pixels.
        double shouldersToHips = 1.3;
        double shouldersToBox = 0.3;
        double minSize = 4.0;
        double lineShare = 0.15;
        double minLine = 2.0;
    } person;

    // The matte shared among the objects.
    struct Sharing
    {
        // An object is held when this share of its box is sure matte.
        double heldCover = 0.3;
        // A box this much inside another is held by it.
        double inside = 0.8;
        // A faint object shares the matte where no more than this share of
        // its box is within a sure object's reach.
        double faintReached = 0.2;
        // Without a skeleton, seeds fill this share of the box's ellipse.
        double seedShare = 0.5;
        // A person's claim: the skeleton drawn this many times as wide.
        double claimWidth = 2.5;
        // A person's seeds lie within the box and this share of it around.
        double seenMargin = 0.1;
        // An object no more than this share of another's size, mostly
        // inside its box, is in front of it; of a box over sceneShare of the
        // picture without a skeleton (a table, a bed), up to inFrontOfScene.
        double inFront = 0.25;
        double sceneShare = 0.5;
        double inFrontOfScene = 0.9;
        // A part of the matte outside every box is a subject of its own from
        // this share of its matte subject.
        double leftoverShare = 0.03;
        // A disputed seed goes back to the object whose colours it is this
        // many times likelier to have, each showing colourSamples seeds.
        double colourMargin = 4;
        int colourSamples = 50;
        // A rival's colour: at least rivalCommon of its seeds and at most
        // ownRare of the object's own.
        double rivalCommon = 0.02;
        double ownRare = 0.002;
        // An object with fewer sure seeds than this share of its seeds keeps
        // those no object in front took.
        double sureNeeded = 0.1;
        // A share makes its object's shape when its box overlaps the
        // object's box by this (IoU), and is cut off by the edge of its
        // reach for no more than cutOffShare of the box's perimeter.
        double fitNeeded = 0.7;
        double cutOffShare = 0.03;
        // A share no object took is a bit of an object the matte leaves
        // out when it lies in its box and is at most this share of it.
        double pieceShare = 0.1;
        // An object the matte leaves out whose box covers this share of the
        // picture is the picture itself.
        double frameShare = 0.9;
        // An object with a mask of its own is listed as this share of its
        // box's area.
        double ownSize = 0.5;
        // A share of no object below this share of the picture, or nowhere
        // thicker than sliverWidth of its shorter side, is a sliver. In the
        // panel's preview (some 420 px across) 0.2% of the picture is a
        // patch about 16 px square, too small to aim a click at, and such
        // patches are mostly edges of what they border; 0.8% of the shorter
        // side is 4 px on a 480-px photo, 8 px at the working size of 1024:
        // a seam or a strand of the matte, not an object.
        double sliverShare = 0.002;
        double sliverWidth = 0.008;
    } sharing;

    // An object's own mask, cut from the picture.
    struct OwnCut
    {
        int workSide = 240;       // the cut's longer side
        double marginShare = 0.3; // the window beyond the box, per side
        int minMargin = 6;
        double coreShare = 0.25; // the middle of the box, certainly the object
        int iterations = 3;
    } ownCut;

    // A pick: a named subject the matte saw faintly is lifted, at most this much.
    float maxLift = 2.f;

    // Sets a value by its name here (`split.gapShare`, `minArea`), rounded
    // toward zero where it is a whole number; false for a name there is not.
    bool set(const std::string& name, double value);
    // Every name set() takes.
    static std::vector<std::string> names();
};
