#pragma once

#include "BackgroundChoice.h"
#include "CutOut.h"

#include <QColor>
#include <QImage>
#include <QObject>
#include <QPointF>
#include <QRectF>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <atomic>
#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <optional>

class FileChooser;
struct ImageOffer;
class JobPostbox;
class JobScheduler;
class QClipboard;
class VisionService;

// The one editor model: the loaded image, its analysis, the current mask, the
// user's settings, and the error and status texts. Runs the analysis and
// mask jobs in the background and applies their outcomes on the GUI thread,
// takes images in and exports results.
//
// Every assignment to a published field stores the value, then emits its
// notify signal and changed(), also when the value does not change.
class VantelModel final : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QImage original READ originalImage NOTIFY originalChanged)
    Q_PROPERTY(QImage result READ resultImage NOTIFY resultChanged)
    Q_PROPERTY(bool showOriginal READ showOriginal WRITE setShowOriginal NOTIFY showOriginalChanged)
    Q_PROPERTY(bool isProcessing READ isProcessing NOTIFY isProcessingChanged)
    Q_PROPERTY(bool isOpening READ isOpening NOTIFY isOpeningChanged)
    Q_PROPERTY(QString errorMessage READ errorText NOTIFY errorMessageChanged)
    Q_PROPERTY(QString statusMessage READ statusText NOTIFY statusMessageChanged)
    Q_PROPERTY(QVariant selectedInstance READ selectedInstanceValue WRITE setSelectedInstanceValue
                   NOTIFY selectedInstanceChanged)
    Q_PROPERTY(bool canSelect READ canSelect NOTIFY canSelectChanged)
    Q_PROPERTY(double feather READ feather WRITE setFeather NOTIFY featherChanged)
    Q_PROPERTY(
        BackgroundChoice background READ background WRITE setBackground NOTIFY backgroundChanged)
    Q_PROPERTY(QColor customColor READ customColor WRITE setCustomColor NOTIFY customColorChanged)

public:
    // The toolkit's standard green: sRGB (52, 199, 89).
    static QColor standardGreen() { return QColor(52, 199, 89); }

    struct Dependencies
    {
        VisionService* vision = nullptr;   // required
        JobScheduler* scheduler = nullptr; // default: the global thread pool
        FileChooser* chooser = nullptr;    // default: none (open/save do nothing)
        QClipboard* clipboard = nullptr;   // default: the application's
    };

    explicit VantelModel(Dependencies dependencies, QObject* parent = nullptr);
    ~VantelModel() override;

    // The open and save panels, once the widgets that show them exist.
    void setFileChooser(FileChooser* chooser) { m_deps.chooser = chooser; }

    // Published fields.
    const std::optional<QImage>& original() const { return m_original; }
    const std::optional<QImage>& result() const { return m_result; }
    bool showOriginal() const { return m_showOriginal; }
    // The analysis, or cutting a picked subject's own mask, is under way.
    bool isProcessing() const { return m_isProcessing; }
    // A file or image data is being decoded, before its analysis starts.
    bool isOpening() const { return m_isOpening; }
    const std::optional<QString>& errorMessage() const { return m_errorMessage; }
    const std::optional<QString>& statusMessage() const { return m_statusMessage; }
    // The one subject kept, where that is all that is kept.
    std::optional<int64_t> selectedInstance() const { return m_selection.onlySubject(); }
    // All that is kept: subjects and boxes; nothing picked keeps all.
    const Selection& selection() const { return m_selection; }
    bool canSelect() const { return m_canSelect; }
    // Where each subject a click can keep lies (normalized, by label), for
    // the keyboard's way through them; empty when nothing can be picked.
    std::vector<QPointF> subjectPoints() const;
    double feather() const { return m_feather; }
    BackgroundChoice background() const { return m_background; }
    QColor customColor() const { return m_customColor; }

    void setShowOriginal(bool value);
    void setSelectedInstance(std::optional<int64_t> value);
    void setSelection(Selection value);
    void setFeather(double value);
    void setBackground(BackgroundChoice value);
    void setCustomColor(const QColor& value);

    // Derived.
    bool usesTransparency() const { return m_background == BackgroundChoice::transparent; }

    // Editing.
    void remask();
    // A click at a normalized point: keeps the subject there alone, or all
    // again when it is the one kept. With `add`, adds it to what is kept or
    // takes it away.
    void tap(QPointF normalized, bool add = false);
    // A box drawn over the image (normalized): keeps the object inside it
    // alone, or with `add`, besides what is kept.
    void keepBox(const QRectF& normalized, bool add = false);
    // Whether a box drawn over the image can keep anything: the image is
    // analysed and the segmentation network is there to run over it.
    bool canDrawBox() const;
    void reset();

    // Intake. Files and encoded data are decoded on a background thread
    // (isOpening meanwhile); an image object is already decoded and
    // opens at once.
    void open(const QUrl& url);
    void open(const QImage& image);
    void paste();
    // Takes a drop's offer (true) or refuses it (false); the image is
    // opened, or the failure reported, on a later turn of the event loop.
    bool handleDrop(const ImageOffer& offer);
    void chooseFile();

    // Export.
    void copyPNG();
    void savePNG();
    // The result as PNG bytes, or none when there is no result or the
    // encoder gives nothing.
    std::optional<QByteArray> pngData() const;

    // Private state, readable for the panel's tests and for diagnostics.
    std::shared_ptr<const SubjectAnalysis> analysis() const { return m_analysis; }
    std::optional<cv::Mat> baseMask() const
    {
        return m_layer ? std::optional<cv::Mat>(m_layer->mask) : std::nullopt;
    }
    int64_t job() const { return m_job; }

signals:
    void originalChanged();
    void resultChanged();
    void showOriginalChanged();
    void isProcessingChanged();
    void isOpeningChanged();
    void errorMessageChanged();
    void statusMessageChanged();
    void selectedInstanceChanged();
    void canSelectChanged();
    void featherChanged();
    void backgroundChanged();
    void customColorChanged();
    // After every assignment to any published field.
    void changed();

private:
    void start(const QImage& image);
    void recomposite();
    void flash(const QString& text);
    std::optional<QColor> backgroundColor() const;
    void applyProcessing(int64_t n, std::shared_ptr<const SubjectAnalysis> analysis,
                         CutOut::Layer layer);
    void applyProcessingFailure(int64_t n, const QString& message);
    void applyMask(int64_t n, int64_t remask, const Selection& selection,
                   std::optional<CutOut::Layer> layer, BoxMasks boxMasks);
    void fail(const QString& message);
    void intake(const ImageOffer& offer, const QString& nothingFound);
    void applyIntake(int64_t n, std::optional<QImage> image, QString failure);
    void updateProcessing();
    QClipboard* clipboard() const;

    // Property adapters.
    QImage originalImage() const { return m_original.value_or(QImage()); }
    QImage resultImage() const { return m_result.value_or(QImage()); }
    QString errorText() const { return m_errorMessage.value_or(QString()); }
    QString statusText() const { return m_statusMessage.value_or(QString()); }
    QVariant selectedInstanceValue() const;
    void setSelectedInstanceValue(const QVariant& value);

    void setOriginal(std::optional<QImage> value);
    void setResult(std::optional<QImage> value);
    void setProcessing(bool value);
    void setOpening(bool value);
    void setErrorMessage(std::optional<QString> value);
    void setStatusMessage(std::optional<QString> value);
    void setCanSelect(bool value);

    Dependencies m_deps;
    std::unique_ptr<JobScheduler> m_ownScheduler;
    std::shared_ptr<JobPostbox> m_postbox;

    std::optional<QImage> m_original;
    std::optional<QImage> m_result;
    bool m_showOriginal = false;
    bool m_isProcessing = false;
    bool m_isOpening = false;
    std::optional<QString> m_errorMessage;
    std::optional<QString> m_statusMessage;
    Selection m_selection;
    // The masks of the boxes drawn over this image so far, and of clicks
    // that took a pass of the network: the newest keptPasses of them.
    static constexpr size_t keptPasses = 16;
    BoxMasks m_boxMasks;
    bool m_canSelect = false;
    double m_feather = 0.0;
    BackgroundChoice m_background = BackgroundChoice::transparent;
    QColor m_customColor = standardGreen();
    std::shared_ptr<const SubjectAnalysis> m_analysis;
    // The mask shown and the subject's own colour under it: made together in
    // the background, kept together.
    std::optional<CutOut::Layer> m_layer;
    int64_t m_job = 0;
    // Images being decoded carry their own number: only the newest intake
    // may open its image, and a new image or "New" drops them all. Shared
    // with the decoding jobs, which skip an intake dropped before its turn.
    std::shared_ptr<std::atomic<int64_t>> m_intake = std::make_shared<std::atomic<int64_t>>(0);
    bool m_analysing = false;
    // A pick whose subject's own mask is being cut (up to about a second):
    // the number of that re-mask, 0 when none is.
    int64_t m_cutting = 0;
    int64_t m_remask = 0;
};
