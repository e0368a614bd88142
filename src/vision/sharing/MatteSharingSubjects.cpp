#include "LabelBoxes.h"
#include "MatteSharing.h"
#include "OwnMask.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>

namespace {

// An object's share of the matte makes its mask when the box of the share
// (within the object's box) overlaps the object's box by at least this, and
// the share is not cut off by the edge of its reach, with the matte going on
// beyond, for more than this share of the box's perimeter.
constexpr double fitNeeded = 0.7;
constexpr double cutOffShare = 0.03;
// A piece of the matte no object took is a bit of an object the matte
// leaves out when it lies in its box and is no more than this share of it.
constexpr double pieceShare = 0.1;
// A find the matte leaves out whose box covers this share of the picture
// is the picture itself.
constexpr double frameShare = 0.9;

using Segment = PersonSkeleton::Segment;

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

} // namespace

bool MatteSharing::holds(const cv::Rect& outer, const cv::Rect& inner)
{
    return inner.area() < outer.area() && (inner & outer).area() >= frontInside * inner.area();
}

// A piece of the matte no object's seed reached, lying within the box of an
// object the matte leaves out and small beside it, is the bit of that object
// the matte saw (the lettering on a dark keyboard): it is that object's, in
// the smallest such box.
bool MatteSharing::isPicture(const Thing& t) const
{
    return !t.pose && t.area >= frameShare * double(m_size.area());
}

void MatteSharing::givePiecesToLeftOut()
{
    const size_t labels = size_t(m_labelCount);
    m_pieceOf.assign(labels, -1);
    m_pieceIs.assign(labels, false);
    LabelBoxes extent(labels);
    std::vector<int> count(labels, 0);
    for (int y = 0; y < m_size.height; ++y) {
        const uchar* sh = m_shared.ptr<uchar>(y);
        for (int x = 0; x < m_size.width; ++x) {
            if (sh[x] < m_bySeed.size())
                continue;
            extent.add(sh[x], x, y);
            ++count[sh[x]];
        }
    }
    std::vector<int> firstPiece(m_things.size(), 0);
    for (size_t l = 1; l < labels; ++l) {
        const cv::Rect piece = extent.box(l);
        if (piece.empty())
            continue;
        int best = -1;
        bool whole = false;
        for (size_t i = 0; i < m_things.size(); ++i) {
            const Thing& t = m_things[i];
            if (t.seed || t.faint)
                continue;
            // A piece filling the box as the object would (a runner, arms
            // and legs spread, covers little of his box) is the object.
            // The picture itself takes a piece only as a whole.
            const bool fits = SceneObjects::overlap(piece, t.box) >= fitNeeded;
            if (!fits && (isPicture(t) || count[l] > pieceShare * t.box.area() ||
                          (t.box & piece).area() < frontInside * piece.area()))
                continue;
            if (best < 0 || fits > whole ||
                (fits == whole && t.box.area() < m_things[size_t(best)].box.area())) {
                best = int(i);
                whole = fits;
            }
        }
        if (best < 0)
            continue;
        if (firstPiece[size_t(best)]) {
            m_shared.setTo(firstPiece[size_t(best)], m_shared == int(l));
        } else {
            firstPiece[size_t(best)] = int(l);
            m_pieceOf[l] = best;
            m_pieceIs[l] = whole;
        }
    }
}

// The subjects: shares of the matte, and objects with masks of their own,
// larger ones first.
void MatteSharing::makeEntries()
{
    const size_t labels = size_t(m_labelCount);
    // Each flood label's pixels, and the box of its confident ones (of an
    // object held faintly, of those the labels show). An object's share is
    // measured within its box: what it holds out beyond the box does not
    // make its shape any worse.
    std::vector<int> pixels(labels, 0);
    std::vector<bool> faintly(labels, false);
    for (size_t l = 1; l < m_bySeed.size(); ++l)
        faintly[l] = m_bySeed[l]->faintlyHeld;
    LabelBoxes coreBox(labels);
    for (int y = 0; y < m_size.height; ++y) {
        const uchar* s = m_shared.ptr<uchar>(y);
        const uchar* c = m_core.ptr<uchar>(y);
        const uchar* shown = m_shown.ptr<uchar>(y);
        for (int x = 0; x < m_size.width; ++x) {
            if (!s[x])
                continue;
            ++pixels[s[x]];
            if (!(c[x] || (faintly[s[x]] && shown[x])) ||
                (size_t(s[x]) < m_bySeed.size() && !m_bySeed[s[x]]->box.contains(cv::Point(x, y))))
                continue;
            coreBox.add(s[x], x, y);
        }
    }
    for (size_t l = 1; l < labels; ++l) {
        if (!pixels[l])
            continue;
        Entry e;
        e.flood = int(l);
        e.size = pixels[l];
        e.box = coreBox.box(l);
        if (m_pieceOf[l] >= 0) {
            const Thing& t = m_things[size_t(m_pieceOf[l])];
            e.thing = m_pieceOf[l];
            e.own = !m_pieceIs[l];
            e.size = e.own ? t.area * 0.5 : e.size;
            e.box = t.box;
        } else if (l < m_bySeed.size()) {
            const Thing& t = *m_bySeed[l];
            e.thing = int(indexOf(t));
            e.box = t.box;
            // A person's share follows the skeleton: it stands, however the
            // box was drawn. A share of an object held faintly goes on only
            // into matte the labels show: the haze of a blurred edge beyond
            // is nothing to cut off.
            e.own = !t.pose && (SceneObjects::overlap(coreBox.box(l), t.box) < fitNeeded ||
                                cutOff(m_shared, t.faintlyHeld ? m_shown : m_domain, int(l),
                                       t.reach) >= cutOffShare * 2 * (t.box.width + t.box.height));
        }
        m_entries.push_back(e);
    }
    giveBackToPeople();
    for (size_t i = 0; i < m_things.size(); ++i) {
        // A faint find the matte covers is no more than the matte says. A
        // find the matte leaves out whose box is the whole picture (a weak
        // "cake" over a table top) is the picture, not a subject: a cut of
        // its own would take the background, and every click on it.
        if (m_things[i].seed ||
            std::find(m_pieceOf.begin(), m_pieceOf.end(), int(i)) != m_pieceOf.end() ||
            (m_things[i].faint && m_things[i].cover >= coverNeeded) || isPicture(m_things[i]))
            continue;
        Entry e;
        e.thing = int(i);
        e.own = true;
        e.size = m_things[i].area * 0.5;
        e.box = m_things[i].box;
        m_entries.push_back(e);
    }
    std::stable_sort(m_entries.begin(), m_entries.end(),
                     [](const Entry& a, const Entry& b) { return a.size > b.size; });
    if (m_entries.size() > 255)
        m_entries.resize(255);
}

std::vector<bool> MatteSharing::faintMisfits() const
{
    std::vector<bool> misfit(m_things.size(), false);
    for (const Entry& e : m_entries) {
        if (e.thing >= 0 && e.own && e.flood > 0 && size_t(e.flood) < m_bySeed.size() &&
            m_things[size_t(e.thing)].faintlyHeld)
            misfit[size_t(e.thing)] = true;
    }
    return misfit;
}

// An object in front of a person whose share does not make its shape is a
// part of that person the finder named (a tie box drawn over a jacket): the
// share goes back to the person, the object keeps its cut. Of several such
// people, the one it borders most.
void MatteSharing::giveBackToPeople()
{
    std::vector<int> giveTo(size_t(m_labelCount), 0);
    for (Entry& e : m_entries) {
        if (!e.own || e.thing < 0 || !e.flood)
            continue;
        const Thing& t = m_things[size_t(e.thing)];
        std::vector<int> border(m_bySeed.size(), 0);
        const cv::Rect r = t.reach;
        for (int y = std::max(r.y, 1); y < std::min(r.br().y, m_size.height - 1); ++y) {
            for (int x = std::max(r.x, 1); x < std::min(r.br().x, m_size.width - 1); ++x) {
                if (m_shared.at<uchar>(y, x) != e.flood)
                    continue;
                for (const uchar o : {m_shared.at<uchar>(y, x - 1), m_shared.at<uchar>(y, x + 1),
                                      m_shared.at<uchar>(y - 1, x), m_shared.at<uchar>(y + 1, x)}) {
                    if (o != e.flood && o < m_bySeed.size() && o && m_bySeed[o]->pose &&
                        front(t, *m_bySeed[o]))
                        ++border[o];
                }
            }
        }
        const auto most = std::max_element(border.begin(), border.end());
        if (*most == 0)
            continue;
        giveTo[size_t(e.flood)] = int(most - border.begin());
        e.size = t.area * 0.5;
        e.flood = 0;
    }
    for (int y = 0; y < m_size.height; ++y) {
        uchar* s = m_shared.ptr<uchar>(y);
        for (int x = 0; x < m_size.width; ++x) {
            if (giveTo[s[x]])
                s[x] = uchar(giveTo[s[x]]);
        }
    }
}

InstanceMask MatteSharing::labelled() const
{
    InstanceMask out;
    out.matte = m_matte.matte;
    out.count = int(m_entries.size());
    std::vector<uchar> finalOf(size_t(m_labelCount), 0);
    for (size_t m = 0; m < m_entries.size(); ++m) {
        if (m_entries[m].flood)
            finalOf[size_t(m_entries[m].flood)] = uchar(m + 1);
    }
    out.owner = cv::Mat::zeros(m_size, CV_8UC1);
    for (int y = 0; y < m_size.height; ++y) {
        const uchar* s = m_shared.ptr<uchar>(y);
        uchar* o = out.owner.ptr<uchar>(y);
        for (int x = 0; x < m_size.width; ++x)
            o[x] = finalOf[s[x]];
    }
    out.labels = out.owner.clone();
    out.labels.setTo(0, m_matte.matte < labelLevel);
    return out;
}

// What is known of each subject, and masks of their own, cut when first
// asked for from what the sharing knows of them.
void MatteSharing::addOwnMasks(InstanceMask& out) const
{
    out.info.resize(m_entries.size());
    for (size_t m = 0; m < m_entries.size(); ++m) {
        const Entry& e = m_entries[m];
        SubjectInfo& info = out.info[m];
        info.box = e.box;
        if (e.thing < 0)
            continue;
        const Thing& t = m_things[size_t(e.thing)];
        info.className = t.className;
        info.score = t.score;
        if (!e.own)
            continue;
        OwnMask::Hints hints;
        const cv::Rect window = OwnMask::window(t.box, m_size);
        hints.rgb = m_rgb(window);
        hints.box = t.box - window.tl();
        if (t.pose) {
            const PersonSkeleton s = PersonSkeleton::of(*t.pose, t.box);
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
        const cv::Mat sure = m_core(window);
        const cv::Mat mine = m_shared(window) == e.flood;
        if (e.flood)
            hints.mine = mine & sure;
        cv::Mat others = (out.owner(window) != 0) & ~mine & sure;
        // The person it lies on in front of holds its pixels too: not its
        // background.
        for (size_t h = 1; h < m_bySeed.size(); ++h) {
            if (m_bySeed[h] != &t && m_bySeed[h]->pose && front(t, *m_bySeed[h]))
                others.setTo(0, m_shared(window) == int(h));
        }
        hints.others = others;
        info.own = std::make_shared<const OwnMask>(std::move(hints), window);
    }
}

// A click area covers what no share of the matte holds, and the area of a
// larger object with a mask of its own whose box holds it (a spoon on a
// table the matte left out): smaller objects are drawn last, faint finds
// after all others, only where nothing else is.
void MatteSharing::drawClickAreas(InstanceMask& out) const
{
    auto faintEntry = [&](size_t m) {
        return m_entries[m].thing >= 0 && m_things[size_t(m_entries[m].thing)].faint;
    };
    std::vector<size_t> ownOrder;
    for (size_t m = 0; m < m_entries.size(); ++m) {
        if (out.info[m].own)
            ownOrder.push_back(m);
    }
    std::stable_sort(ownOrder.begin(), ownOrder.end(), [&](size_t a, size_t b) {
        if (faintEntry(a) != faintEntry(b))
            return faintEntry(b);
        return m_entries[a].box.area() > m_entries[b].box.area();
    });
    std::vector<bool> left(m_entries.size() + 1, false);
    for (size_t m = 0; m < m_entries.size(); ++m)
        left[m + 1] = m_entries[m].own;
    for (size_t m : ownOrder) {
        const cv::Rect& box = m_entries[m].box;
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
}
