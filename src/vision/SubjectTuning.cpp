#include "SubjectTuning.h"

#include <functional>
#include <map>

namespace {

// Each value by its name in the struct, as `split.gapShare` or `minArea`.
using Setter = std::function<void(SubjectTuning&, double)>;
using Value = std::pair<const std::string, Setter>;

#define TUNING_VALUE(field)                                                                        \
    Value(#field, [](SubjectTuning& t, double v) { t.field = static_cast<decltype(t.field)>(v); })

std::vector<Value> matteValues()
{
    return {
        TUNING_VALUE(levels.sure),
        TUNING_VALUE(levels.shown),
        TUNING_VALUE(levels.linked),
        TUNING_VALUE(levels.faint),
        TUNING_VALUE(speckShare),
        TUNING_VALUE(minArea),
        TUNING_VALUE(split.gapShare),
        TUNING_VALUE(split.fragmentRatio),
        TUNING_VALUE(split.linkedRatio),
        TUNING_VALUE(split.peopleShare),
        TUNING_VALUE(split.personShare),
        TUNING_VALUE(split.personWhole),
        TUNING_VALUE(split.searchSide),
        TUNING_VALUE(split.minSubjectSide),
        TUNING_VALUE(split.minFaceSide),
        TUNING_VALUE(split.faceShare),
        TUNING_VALUE(split.roomForTwo),
        TUNING_VALUE(ownCut.workSide),
        TUNING_VALUE(ownCut.marginShare),
        TUNING_VALUE(ownCut.minMargin),
        TUNING_VALUE(ownCut.coreShare),
        TUNING_VALUE(ownCut.iterations),
        TUNING_VALUE(maxLift),
    };
}

std::vector<Value> sceneValues()
{
    return {
        TUNING_VALUE(scene.minScore),         TUNING_VALUE(scene.minFaintScore),
        TUNING_VALUE(scene.minPoseScore),     TUNING_VALUE(scene.sameThing),
        TUNING_VALUE(scene.sameContained),    TUNING_VALUE(scene.sameSize),
        TUNING_VALUE(scene.poseFits),         TUNING_VALUE(scene.samePerson),
        TUNING_VALUE(scene.lonePose),         TUNING_VALUE(scene.lonePoints),
        TUNING_VALUE(scene.maxObjects),       TUNING_VALUE(scene.faintArea),
        TUNING_VALUE(scene.boxMargin),        TUNING_VALUE(scene.minMargin),
        TUNING_VALUE(person.keypointScore),   TUNING_VALUE(person.faintKeypoint),
        TUNING_VALUE(person.sameJoint),       TUNING_VALUE(person.torsoScale),
        TUNING_VALUE(person.handShare),       TUNING_VALUE(person.bodyTorsoScale),
        TUNING_VALUE(person.bodyHead),        TUNING_VALUE(person.bodyLimb),
        TUNING_VALUE(person.shouldersToHips), TUNING_VALUE(person.shouldersToBox),
        TUNING_VALUE(person.minSize),         TUNING_VALUE(person.lineShare),
        TUNING_VALUE(person.minLine),
    };
}

std::vector<Value> sharingValues()
{
    return {
        TUNING_VALUE(sharing.heldCover),      TUNING_VALUE(sharing.inside),
        TUNING_VALUE(sharing.faintReached),   TUNING_VALUE(sharing.seedShare),
        TUNING_VALUE(sharing.claimWidth),     TUNING_VALUE(sharing.seenMargin),
        TUNING_VALUE(sharing.inFront),        TUNING_VALUE(sharing.sceneShare),
        TUNING_VALUE(sharing.inFrontOfScene), TUNING_VALUE(sharing.leftoverShare),
        TUNING_VALUE(sharing.colourMargin),   TUNING_VALUE(sharing.colourSamples),
        TUNING_VALUE(sharing.rivalCommon),    TUNING_VALUE(sharing.ownRare),
        TUNING_VALUE(sharing.sureNeeded),     TUNING_VALUE(sharing.fitNeeded),
        TUNING_VALUE(sharing.cutOffShare),    TUNING_VALUE(sharing.pieceShare),
        TUNING_VALUE(sharing.frameShare),     TUNING_VALUE(sharing.ownSize),
        TUNING_VALUE(sharing.sliverShare),    TUNING_VALUE(sharing.sliverWidth),
    };
}

#undef TUNING_VALUE

const std::map<std::string, Setter>& setters()
{
    static const std::map<std::string, Setter> table = [] {
        std::map<std::string, Setter> all;
        for (const auto& group : {matteValues(), sceneValues(), sharingValues()})
            all.insert(group.begin(), group.end());
        return all;
    }();
    return table;
}

} // namespace

bool SubjectTuning::set(const std::string& name, double value)
{
    const auto it = setters().find(name);
    if (it == setters().end())
        return false;
    it->second(*this, value);
    return true;
}

std::vector<std::string> SubjectTuning::names()
{
    std::vector<std::string> all;
    for (const auto& entry : setters())
        all.push_back(entry.first);
    return all;
}
