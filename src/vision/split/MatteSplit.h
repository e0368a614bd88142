#pragma once

#include "InstanceMask.h"
#include "SubjectTuning.h"

#include <QSize>
#include <opencv2/core.hpp>

// Splits a salient-object matte into separate subjects.
//
// The matte's sure part (at least one half) is split into connected
// pieces. A piece the matte links to a piece at least three times its size
// through values that never drop below 0.3 is part of the same thing (a face
// under a helmet, petals around a flower's heart) and joins it; so does a
// much smaller piece close by with only faint matte between them (a hand, a
// wheel). Pieces with background between them are never joined. What is
// left too small is a speck and is dropped, as are faint areas of the matte
// that hold no subject. A piece that holds two or more faces is tried for a
// split between the people along the image's edges (a seeded watershed),
// kept only when the parts come out whole and of a plausible size. Subjects
// are numbered by size, 1 the largest, at most maxSubjects. Every other soft pixel
// belongs to its nearest subject, so each keeps its soft edge.
class MatteSplit final
{
public:
    MatteSplit() = delete;

    // The most subjects told apart (labels are bytes, and the last is the
    // mark of a dropped speck); smaller ones past it share the last label.
    static constexpr int maxSubjects = InstanceMask::maxLabel - 1;

    struct Report
    {
        int faces = 0;       // faces found in the image
        int splitsTried = 0; // pieces holding two or more faces
        int splitsKept = 0;  // of those, split into people
    };

    // The subjects (the matte with dropped specks cleared; labels where the
    // matte is shown), and how the split went.
    struct Result : InstanceMask
    {
        Report report;
    };

    // The size the split works at for an image: the image's own, or scaled
    // down so its shorter side is the tuning's workingSide.
    static cv::Size workingSize(QSize imageSize);

    // `matte`: CV_32F in 0..1 at working size. `rgb`: the image at the same
    // size as CV_8UC3 (R, G, B), or empty to skip the split between people.
    static Result split(const cv::Mat& matte, const cv::Mat& rgb, const SubjectTuning& tuning = {});
};
