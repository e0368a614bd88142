#include "VantelModel.h"

#include "JobPostbox.h"
#include "JobScheduler.h"
#include "VantelError.h"

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>

namespace {

// The user-facing text of a job's failure: Vantel's own texts as they are,
// anything else cut to its first line.
QString describe(const std::exception& e)
{
    if (const auto* vantel = dynamic_cast<const VantelError*>(&e))
        return vantel->errorDescription();
    if (dynamic_cast<const std::bad_alloc*>(&e))
        return QCoreApplication::translate("Vantel",
                                           "There is not enough memory to analyze this image.");
    return QString::fromUtf8(e.what()).section(QLatin1Char('\n'), 0, 0).trimmed();
}

} // namespace

VantelModel::VantelModel(Dependencies dependencies, QObject* parent)
    : QObject(parent), m_deps(dependencies), m_postbox(std::make_shared<JobPostbox>(this))
{
    Q_ASSERT(m_deps.vision);
    if (!m_deps.scheduler) {
        m_ownScheduler = std::make_unique<ThreadPoolScheduler>();
        m_deps.scheduler = m_ownScheduler.get();
    }
}

VantelModel::~VantelModel()
{
    // Jobs still running keep the postbox; their outcomes now go nowhere.
    m_postbox->close();
}

// ---- published fields: store, then announce ------------------------------

#define VANTEL_ASSIGN(member, value, signal)                                                       \
    do {                                                                                           \
        member = value;                                                                            \
        emit signal();                                                                             \
        emit changed();                                                                            \
    } while (false)

void VantelModel::setOriginal(std::optional<QImage> value)
{
    VANTEL_ASSIGN(m_original, std::move(value), originalChanged);
}

void VantelModel::setResult(std::optional<QImage> value)
{
    VANTEL_ASSIGN(m_result, std::move(value), resultChanged);
}

void VantelModel::setShowOriginal(bool value)
{
    VANTEL_ASSIGN(m_showOriginal, value, showOriginalChanged);
}

void VantelModel::setProcessing(bool value)
{
    VANTEL_ASSIGN(m_isProcessing, value, isProcessingChanged);
}

void VantelModel::setOpening(bool value)
{
    VANTEL_ASSIGN(m_isOpening, value, isOpeningChanged);
}

void VantelModel::setErrorMessage(std::optional<QString> value)
{
    VANTEL_ASSIGN(m_errorMessage, std::move(value), errorMessageChanged);
}

void VantelModel::setStatusMessage(std::optional<QString> value)
{
    VANTEL_ASSIGN(m_statusMessage, std::move(value), statusMessageChanged);
}

void VantelModel::setSelectedInstance(std::optional<int64_t> value)
{
    setSelection(value ? Selection::subject(*value) : Selection());
}

void VantelModel::setSelection(Selection value)
{
    VANTEL_ASSIGN(m_selection, std::move(value), selectedInstanceChanged);
}

void VantelModel::setCanSelect(bool value)
{
    VANTEL_ASSIGN(m_canSelect, value, canSelectChanged);
}

void VantelModel::setFeather(double value)
{
    VANTEL_ASSIGN(m_feather, value, featherChanged);
    recomposite();
}

void VantelModel::setBackground(BackgroundChoice value)
{
    VANTEL_ASSIGN(m_background, value, backgroundChanged);
    recomposite();
}

void VantelModel::setCustomColor(const QColor& value)
{
    VANTEL_ASSIGN(m_customColor, value, customColorChanged);
    recomposite();
}

#undef VANTEL_ASSIGN

QVariant VantelModel::selectedInstanceValue() const
{
    const std::optional<int64_t> one = selectedInstance();
    return one ? QVariant::fromValue(qint64(*one)) : QVariant();
}

void VantelModel::setSelectedInstanceValue(const QVariant& value)
{
    bool ok = false;
    const qint64 label = value.toLongLong(&ok);
    setSelectedInstance(value.isValid() && ok ? std::optional<int64_t>(label) : std::nullopt);
}

// ---- jobs -------------------------------------------------------------------

void VantelModel::updateProcessing()
{
    setProcessing(m_analysing || m_cutting);
}

void VantelModel::start(const QImage& image)
{
    const int64_t n = ++m_job;
    // An image still being decoded would replace this one: it is dropped.
    ++*m_intake;
    m_analysing = true;
    m_cutting = 0;
    setOriginal(image);
    setResult(std::nullopt);
    m_analysis.reset();
    m_layer.reset();
    m_boxMasks.clear();
    setSelectedInstance(std::nullopt);
    setCanSelect(false);
    setErrorMessage(std::nullopt);
    setStatusMessage(std::nullopt);
    setShowOriginal(false);
    setOpening(false);
    updateProcessing();

    // The job reads only what it is handed and writes nothing of the model:
    // its outcome goes back through the postbox, to be applied on the GUI
    // thread, where `model` is used (the postbox delivers only while it lives).
    VisionService* vision = m_deps.vision;
    std::shared_ptr<JobPostbox> postbox = m_postbox;
    VantelModel* model = this;
    m_deps.scheduler->schedule([image, n, vision, postbox, model] {
        std::shared_ptr<const SubjectAnalysis> analysis;
        CutOut::Layer layer;
        QString failure;
        try {
            analysis = CutOut::analyze(image, *vision);
            layer = CutOut::layer(*analysis, std::nullopt);
        } catch (const std::exception& e) {
            analysis.reset();
            failure = describe(e);
            if (failure.isEmpty())
                failure = VantelError::noSubject().errorDescription();
        }
        if (analysis) {
            postbox->post(
                [model, n, analysis, layer] { model->applyProcessing(n, analysis, layer); });
        } else {
            postbox->post([model, n, failure] { model->applyProcessingFailure(n, failure); });
        }
    });
}

void VantelModel::applyProcessing(int64_t n, std::shared_ptr<const SubjectAnalysis> analysis,
                                  CutOut::Layer layer)
{
    if (m_job != n)
        return; // stale: dropped without a trace
    m_analysis = std::move(analysis);
    m_layer = std::move(layer);
    setCanSelect(m_analysis->labels.has_value() && m_analysis->instances.size() > 1);
    m_analysing = false;
    updateProcessing();
    recomposite();
}

void VantelModel::applyProcessingFailure(int64_t n, const QString& message)
{
    if (m_job != n)
        return;
    m_analysing = false;
    updateProcessing();
    setErrorMessage(message);
}

void VantelModel::remask()
{
    if (!m_analysis)
        return;
    const Selection selection = m_selection;
    const int64_t n = m_job;
    const int64_t r = ++m_remask;
    std::shared_ptr<const SubjectAnalysis> analysis = m_analysis;
    BoxMasks known = m_boxMasks;
    VisionService* vision = m_deps.vision;
    std::shared_ptr<JobPostbox> postbox = m_postbox;
    VantelModel* model = this;
    // A box still to be run over, or a subject whose own mask is still to
    // be cut, takes a moment: the badge shows meanwhile. A quicker pick in
    // between takes it down.
    bool slow = false;
    for (const QRectF& box : selection.boxes)
        slow = slow || !madeFor(known, box);
    for (int64_t label : selection.subjects)
        slow = slow || analysis->maskTakesAMoment(label);
    for (const auto& [label, at] : selection.clickedAt)
        slow = slow ||
               (!madeFor(known, Selection::clickKey(at)) && analysis->clickMissesAt(label, at));
    m_cutting = slow ? r : 0;
    updateProcessing();
    m_deps.scheduler->schedule([analysis, selection, known, vision, n, r, postbox, model] {
        std::optional<CutOut::Layer> layer;
        // What took a pass of the network goes back to be kept for the
        // image; a click its subject's mask holds is made again each time
        // (as quick as any pick), never kept.
        BoxMasks masks = known, passed;
        try {
            for (const QRectF& box : selection.boxes) {
                if (madeFor(masks, box))
                    continue;
                masks.emplace_back(box, CutOut::boxMask(analysis->cg, *vision, box));
                passed.push_back(masks.back());
            }
            for (const auto& [label, at] : selection.clickedAt) {
                const QRectF key = Selection::clickKey(at);
                if (madeFor(masks, key))
                    continue;
                bool ranAPass = false;
                masks.emplace_back(key, CutOut::clickMask(*analysis, *vision, at, &ranAPass));
                if (ranAPass)
                    passed.push_back(masks.back());
            }
            layer =
                CutOut::layerOf(analysis->cg, CutOut::selectionMask(*analysis, selection, masks));
        } catch (const std::exception&) {
            // A failed re-mask ends silently; the shown result stays.
        }
        postbox->post([model, n, r, selection, layer, passed] {
            model->applyMask(n, r, selection, layer, passed);
        });
    });
}

void VantelModel::applyMask(int64_t n, int64_t remask, const Selection& selection,
                            std::optional<CutOut::Layer> layer, BoxMasks boxMasks)
{
    if (m_cutting == remask) {
        m_cutting = 0;
        updateProcessing();
    }
    if (m_job != n)
        return;
    // What the network was run over stays known for this image, whatever
    // is kept now: the newest few, each image-sized.
    for (auto& made : boxMasks) {
        if (!madeFor(m_boxMasks, made.first))
            m_boxMasks.push_back(std::move(made));
    }
    if (m_boxMasks.size() > keptPasses)
        m_boxMasks.erase(m_boxMasks.begin(),
                         m_boxMasks.begin() + std::ptrdiff_t(m_boxMasks.size() - keptPasses));
    // Besides the job number, the selection the mask was made for must still
    // be the current one: with two quick clicks in flight, whichever finishes
    // last would otherwise show a subject other than the one selected.
    if (selection != m_selection || !layer)
        return;
    m_layer = std::move(layer);
    recomposite();
}

void VantelModel::recomposite()
{
    if (!m_original || !m_layer)
        return;
    setResult(CutOut::composite(*m_original, *m_layer, m_feather, backgroundColor()));
}

std::optional<QColor> VantelModel::backgroundColor() const
{
    switch (m_background.value()) {
    case BackgroundChoice::transparent:
        return std::nullopt;
    case BackgroundChoice::white:
        return QColor(Qt::white);
    case BackgroundChoice::black:
        return QColor(Qt::black);
    case BackgroundChoice::custom:
        return m_customColor;
    }
    return std::nullopt;
}

std::vector<QPointF> VantelModel::subjectPoints() const
{
    std::vector<QPointF> points;
    if (m_canSelect && m_analysis) {
        for (const auto& [label, at] : m_analysis->subjectPoints)
            points.push_back(at);
    }
    return points;
}

void VantelModel::tap(QPointF normalized, bool add)
{
    if (!m_analysis || !m_analysis->labels || m_analysis->instances.size() < 2)
        return;
    int64_t label = m_analysis->labelAtNormalized(normalized);
    if (label < 1)
        return;
    Selection selection = m_selection;
    if (!add) {
        const bool again = selection.subjects == InstanceSet{label} && selection.boxes.empty();
        selection = again ? Selection() : Selection::subject(label);
    } else if (selection.subjects.erase(label)) {
        selection.clickedAt.erase(label);
        label = 0;
    } else {
        selection.subjects.insert(label);
    }
    if (label >= 1)
        selection.clickedAt[label] = normalized;
    setSelection(std::move(selection));
    remask();
}

bool VantelModel::canDrawBox() const
{
    return m_analysis && m_analysis->subjects && !m_analysing;
}

void VantelModel::keepBox(const QRectF& normalized, bool add)
{
    const QRectF box = normalized.normalized() & QRectF(0, 0, 1, 1);
    if (!canDrawBox() || box.isEmpty())
        return;
    Selection selection = add ? m_selection : Selection();
    if (std::find(selection.boxes.begin(), selection.boxes.end(), box) == selection.boxes.end())
        selection.boxes.push_back(box);
    setSelection(std::move(selection));
    remask();
}

void VantelModel::reset()
{
    ++m_job;
    ++*m_intake;
    m_analysing = false;
    m_cutting = 0;
    setOriginal(std::nullopt);
    setResult(std::nullopt);
    m_analysis.reset();
    m_layer.reset();
    m_boxMasks.clear();
    setErrorMessage(std::nullopt);
    setStatusMessage(std::nullopt);
    setSelectedInstance(std::nullopt);
    setCanSelect(false);
    setShowOriginal(false);
    setOpening(false);
    setProcessing(false);
}

void VantelModel::flash(const QString& text)
{
    setStatusMessage(text);
    // A precise timer: a coarse one may fire up to 5% early.
    QTimer::singleShot(2000, Qt::PreciseTimer, this, [this, text] {
        if (m_statusMessage && *m_statusMessage == text)
            setStatusMessage(std::nullopt);
    });
}

void VantelModel::fail(const QString& message)
{
    setErrorMessage(message);
}
