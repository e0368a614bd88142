#include "LabelBoxes.h"
#include "SharingStages.h"

#include <algorithm>

namespace Sharing {

namespace {

// Per flood label: the object the matte left out whose piece it is, and
// whether the piece is the whole object, as its box says.
struct Pieces
{
    std::vector<int> objectOf;
    std::vector<bool> whole;
};

// How many of a share's pixels lie on the edge of its reach with the matte
// (`domain`) going on beyond: a share cut off there is a piece of something
// larger.
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

// The object the matte left out that a piece no object's seed reached
// belongs to, and whether it is that whole object; -1 for none.
std::pair<int, bool> ownerOfPiece(const Held& h, const cv::Rect& piece, int pixels,
                                  const SubjectTuning& tuning)
{
    const SubjectTuning::Sharing& s = tuning.sharing;
    int best = -1;
    bool whole = false;
    for (size_t i = 0; i < h.objects.size(); ++i) {
        const Object& t = h.objects[i];
        if (t.label || t.faint)
            continue;
        // A piece filling the box as the object would (a runner, arms and
        // legs spread, covers little of his box) is the object. The picture
        // itself takes a piece only as a whole.
        const bool fits = SceneObjects::overlap(piece, t.box) >= s.fitNeeded;
        if (!fits && (isPicture(t, h.size, tuning) || pixels > s.pieceShare * t.box.area() ||
                      (t.box & piece).area() < s.inside * piece.area()))
            continue;
        if (best < 0 || fits > whole ||
            (fits == whole && t.box.area() < h.objects[size_t(best)].box.area())) {
            best = int(i);
            whole = fits;
        }
    }
    return {best, whole};
}

// A piece of the matte no object's seed reached, lying within the box of an
// object the matte leaves out and small beside it, is the bit of that object
// the matte saw (the lettering on a dark keyboard): it is that object's, in
// the smallest such box. Several such pieces of one object become one.
Pieces givePiecesToLeftOut(const Held& h, cv::Mat& shared, size_t labels,
                           const SubjectTuning& tuning)
{
    Pieces p{std::vector<int>(labels, -1), std::vector<bool>(labels, false)};
    LabelBoxes extent(labels);
    std::vector<int> count(labels, 0);
    for (int y = 0; y < h.size.height; ++y) {
        const uchar* sh = shared.ptr<uchar>(y);
        for (int x = 0; x < h.size.width; ++x) {
            if (sh[x] < h.objectLabels())
                continue;
            extent.add(sh[x], x, y);
            ++count[sh[x]];
        }
    }
    std::vector<int> firstPiece(h.objects.size(), 0);
    for (size_t l = 1; l < labels; ++l) {
        const cv::Rect piece = extent.box(l);
        if (piece.empty())
            continue;
        const auto [best, whole] = ownerOfPiece(h, piece, count[l], tuning);
        if (best < 0)
            continue;
        if (firstPiece[size_t(best)]) {
            shared.setTo(firstPiece[size_t(best)], shared == int(l));
        } else {
            firstPiece[size_t(best)] = int(l);
            p.objectOf[l] = best;
            p.whole[l] = whole;
        }
    }
    return p;
}

// Each flood label's pixels, and the box of its sure ones (of an object
// held faintly, of its shown ones). An object's share is measured within its
// box: what it holds out beyond the box does not make its shape any worse.
struct Extents
{
    std::vector<int> pixels;
    LabelBoxes sureBox;
};

Extents extentsOf(const Held& h, const cv::Mat& shared, size_t labels)
{
    Extents e{std::vector<int>(labels, 0), LabelBoxes(labels)};
    std::vector<bool> faintly(labels, false);
    for (size_t l = 1; l < h.objectLabels(); ++l)
        faintly[l] = h.ofLabel(int(l))->faintlyHeld;
    for (int y = 0; y < h.size.height; ++y) {
        const uchar* s = shared.ptr<uchar>(y);
        const uchar* c = h.sure.ptr<uchar>(y);
        const uchar* shown = h.shown.ptr<uchar>(y);
        for (int x = 0; x < h.size.width; ++x) {
            if (!s[x])
                continue;
            ++e.pixels[s[x]];
            const Object* t = h.ofLabel(s[x]);
            if (!(c[x] || (faintly[s[x]] && shown[x])) || (t && !t->box.contains({x, y})))
                continue;
            e.sureBox.add(s[x], x, y);
        }
    }
    return e;
}

// The subject a flood label makes.
Subject subjectOf(const Held& h, const Pieces& pieces, const Extents& ext, const cv::Mat& shared,
                  size_t l, const SubjectTuning& tuning)
{
    const SubjectTuning::Sharing& s = tuning.sharing;
    Subject e;
    e.label = int(l);
    e.size = ext.pixels[l];
    e.box = ext.sureBox.box(l);
    if (pieces.objectOf[l] >= 0) {
        const Object& t = h.objects[size_t(pieces.objectOf[l])];
        e.object = pieces.objectOf[l];
        e.own = !pieces.whole[l];
        e.size = e.own ? t.area * s.ownSize : e.size;
        e.box = t.box;
    } else if (const Object* t = h.ofLabel(int(l))) {
        e.object = int(h.indexOf(*t));
        e.box = t->box;
        // A person's share follows the skeleton: it stands, however the box
        // was drawn. A share of an object held faintly goes on only into
        // shown matte: the haze of a blurred edge beyond is nothing to cut off.
        const int perimeter = 2 * (t->box.width + t->box.height);
        e.own = !t->pose && (SceneObjects::overlap(ext.sureBox.box(l), t->box) < s.fitNeeded ||
                             cutOff(shared, t->faintlyHeld ? h.shown : h.domain, int(l),
                                    t->reach) >= s.cutOffShare * perimeter);
    }
    return e;
}

// An object in front of a person whose share does not make its shape is a
// part of that person the finder named (a tie box drawn over a jacket): the
// share goes back to the person, the object keeps its cut. Of several such
// people, the one it borders most.
void giveBackToPeople(const Held& h, Shares& out, const SubjectTuning& tuning)
{
    std::vector<int> giveTo(size_t(out.labelCount), 0);
    const cv::Mat& shared = out.labels;
    for (Subject& e : out.subjects) {
        if (!e.own || e.object < 0 || !e.label)
            continue;
        const Object& t = h.objects[size_t(e.object)];
        std::vector<int> border(h.objectLabels(), 0);
        const cv::Rect r = t.reach;
        for (int y = std::max(r.y, 1); y < std::min(r.br().y, h.size.height - 1); ++y) {
            for (int x = std::max(r.x, 1); x < std::min(r.br().x, h.size.width - 1); ++x) {
                if (shared.at<uchar>(y, x) != e.label)
                    continue;
                for (const uchar o : {shared.at<uchar>(y, x - 1), shared.at<uchar>(y, x + 1),
                                      shared.at<uchar>(y - 1, x), shared.at<uchar>(y + 1, x)}) {
                    const Object* q = h.ofLabel(o);
                    if (o != e.label && q && q->pose && inFront(t, *q, h.size, tuning))
                        ++border[o];
                }
            }
        }
        const auto most = std::max_element(border.begin(), border.end());
        if (*most == 0)
            continue;
        giveTo[size_t(e.label)] = int(most - border.begin());
        e.size = t.area * tuning.sharing.ownSize;
        e.label = 0;
    }
    for (int y = 0; y < h.size.height; ++y) {
        uchar* s = out.labels.ptr<uchar>(y);
        for (int x = 0; x < h.size.width; ++x) {
            if (giveTo[s[x]])
                s[x] = uchar(giveTo[s[x]]);
        }
    }
}

// Objects the matte leaves out get a subject of their own, but for a faint
// find the matte covers (it is no more than the matte says), a faint find
// whose cut would be a sliver (a guess that small is noise; a sure find is an
// object however small, a ball far off), and a find whose box is the whole
// picture (a weak "cake" over a table top): a cut of its own would take the
// background, and every click on it.
void addLeftOut(const Held& h, const Pieces& pieces, const SubjectTuning& tuning, Shares& out)
{
    const SubjectTuning::Sharing& s = tuning.sharing;
    const double sliver = s.sliverShare * double(h.size.area());
    for (size_t i = 0; i < h.objects.size(); ++i) {
        const Object& t = h.objects[i];
        if (t.label ||
            std::find(pieces.objectOf.begin(), pieces.objectOf.end(), int(i)) !=
                pieces.objectOf.end() ||
            (t.faint && (t.cover >= s.heldCover || t.area * s.ownSize < sliver)) ||
            isPicture(t, h.size, tuning))
            continue;
        Subject e;
        e.object = int(i);
        e.own = true;
        e.size = t.area * tuning.sharing.ownSize;
        e.box = t.box;
        out.subjects.push_back(e);
    }
}

} // namespace

Shares share(const Held& h, Flood flood, const SubjectTuning& tuning)
{
    Shares out;
    out.labels = std::move(flood.labels);
    out.labelCount = flood.labelCount;
    const size_t labels = size_t(out.labelCount);
    const Pieces pieces = givePiecesToLeftOut(h, out.labels, labels, tuning);
    const Extents ext = extentsOf(h, out.labels, labels);
    for (size_t l = 1; l < labels; ++l) {
        if (ext.pixels[l])
            out.subjects.push_back(subjectOf(h, pieces, ext, out.labels, l, tuning));
    }
    giveBackToPeople(h, out, tuning);
    addLeftOut(h, pieces, tuning, out);
    std::stable_sort(out.subjects.begin(), out.subjects.end(),
                     [](const Subject& a, const Subject& b) { return a.size > b.size; });
    if (out.subjects.size() > size_t(InstanceMask::maxLabel))
        out.subjects.resize(size_t(InstanceMask::maxLabel));
    return out;
}

std::vector<bool> faintMisfits(const Held& h, const Shares& shares)
{
    std::vector<bool> misfit(h.objects.size(), false);
    for (const Subject& e : shares.subjects) {
        if (e.object >= 0 && e.own && h.ofLabel(e.label) && h.objects[size_t(e.object)].faintlyHeld)
            misfit[size_t(e.object)] = true;
    }
    return misfit;
}

} // namespace Sharing
