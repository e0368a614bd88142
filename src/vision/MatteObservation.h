#pragma once

#include "MatteSubjects.h"
#include "VisionService.h"

// The instance-mask result of one network pass: the split matte kept at its
// working size, from which a mask for any set of subjects is made without
// running the network again.
class MatteObservation final : public InstanceMaskObservation
{
public:
    explicit MatteObservation(MatteSubjects::Result split);

    InstanceSet allInstances() const override;
    LabelBuffer instanceMask() const override;
    cv::Mat generateScaledMask(const InstanceSet& instances, QSize imageSize) const override;

    const MatteSubjects::Result& split() const { return m_split; }

private:
    const MatteSubjects::Result m_split;
};
