#include "ContentView.h"

#include "ColorWell.h"
#include "DropZone.h"
#include "ImageOffer.h"
#include "PanelAccessibility.h"
#include "PreviewView.h"
#include "ResultDrag.h"
#include "SegmentedControl.h"
#include "Symbols.h"
#include "ThemedWidgets.h"
#include "VantelModel.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QShortcut>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>
#include <cmath>

namespace {

QLabel* label(const QString& text, QWidget* parent)
{
    return new QLabel(text, parent);
}

} // namespace

ContentView::ContentView(VantelModel* model, QWidget* parent) : QWidget(parent), m_model(model)
{
    PanelAccessibility::install();
    // The panel's width is a least one: it grows where a font needs room.
    setMinimumWidth(panelWidth);
    setAcceptDrops(true);

    m_dropZone = new DropZone(this);
    m_editor = buildEditor();
    m_editor->hide();

    m_error = new QLabel(this);
    m_error->setObjectName(QStringLiteral("errorLine"));
    m_error->setWordWrap(true);
    m_themed.errorText(m_error, ThemedWidgets::Style::caption);

    auto* panel = new QVBoxLayout(this);
    panel->setContentsMargins(14, 14, 14, 14);
    panel->setSpacing(12);
    // One face at a time; the panel's height follows the face shown.
    panel->addWidget(m_dropZone);
    panel->addWidget(m_editor);
    panel->addWidget(m_error);
    m_notice = label(QString(), this);
    m_themed.secondaryText(m_notice, ThemedWidgets::Style::caption2);
    m_notice->setWordWrap(true);
    m_notice->hide();
    panel->addWidget(m_notice);
    panel->addWidget(buildFooter());

    connect(m_dropZone->chooseButton(), &QPushButton::clicked, m_model, &VantelModel::chooseFile);
    connect(m_dropZone->pasteButton(), &QPushButton::clicked, m_model, &VantelModel::paste);
    // Paste works the same in both faces.
    auto* paste = new QShortcut(QKeySequence::Paste, this);
    paste->setContext(Qt::WindowShortcut);
    connect(paste, &QShortcut::activated, m_model, &VantelModel::paste);

    connect(m_model, &VantelModel::changed, this, &ContentView::refresh);
    refresh();
}

QString ContentView::featherText(double feather)
{
    return QString::asprintf("%.0f", feather);
}

QWidget* ContentView::buildEditor()
{
    auto* editor = new QWidget(this);
    editor->setObjectName(QStringLiteral("editor"));
    // Made from the top down: the keyboard's focus moves in this order.
    QLayout* top = buildTopRow(editor);
    m_preview = new PreviewView(m_model, editor);
    m_preview->setAccessibleName(tr("Cut-out preview"));
    m_preview->setFocusPolicy(Qt::StrongFocus);
    m_preview->setFixedHeight(300);
    m_hintRow = buildHintRow(editor);
    QLayout* settings = buildSettingsRows(editor);
    m_exportRow = buildExportRow(editor);

    auto* column = new QVBoxLayout(editor);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(10);
    column->addLayout(top);
    column->addWidget(m_preview);
    column->addWidget(m_hintRow);
    column->addLayout(settings);
    column->addWidget(m_exportRow);
    connectEditor();
    return editor;
}

QLayout* ContentView::buildTopRow(QWidget* editor)
{
    m_new = new QPushButton(tr("New"), editor);
    m_themed.icon(m_new, QStringLiteral("plus"));
    m_pasteIcon = new QToolButton(editor);
    m_themed.icon(m_pasteIcon, QStringLiteral("doc.on.clipboard"));
    m_pasteIcon->setToolTip(tr("Paste image from clipboard"));
    m_pasteIcon->setAccessibleName(tr("Paste image from clipboard"));
    m_pasteIcon->setAutoRaise(false);
    m_beforeAfter = new SegmentedControl({tr("After"), tr("Before")}, editor);
    m_beforeAfter->setAccessibleName(tr("Show the result or the original"));
    auto* top = new QHBoxLayout;
    top->addWidget(m_new);
    top->addWidget(m_pasteIcon);
    top->addStretch();
    top->addWidget(m_beforeAfter);
    return top;
}

QWidget* ContentView::buildHintRow(QWidget* editor)
{
    auto* row = new QWidget(editor);
    m_hint = label(QString(), row);
    m_themed.secondaryText(m_hint, ThemedWidgets::Style::caption);
    m_allSubjects = new QPushButton(tr("All subjects"), row);
    m_themed.text(m_allSubjects, ThemedWidgets::Style::caption);
    m_allSubjects->setAttribute(Qt::WA_MacSmallSize);
    // Hidden, the button keeps its room, so the rows below stay where they
    // are when a pick shows it.
    QSizePolicy keepRoom = m_allSubjects->sizePolicy();
    keepRoom.setRetainSizeWhenHidden(true);
    m_allSubjects->setSizePolicy(keepRoom);
    auto* hint = new QHBoxLayout(row);
    hint->setContentsMargins(0, 0, 0, 0);
    auto* tap = new QLabel(row);
    m_themed.symbol(tap, QStringLiteral("hand.tap"), 16);
    hint->addWidget(tap);
    hint->addWidget(m_hint);
    hint->addStretch();
    hint->addWidget(m_allSubjects);
    return row;
}

QLayout* ContentView::buildSettingsRows(QWidget* editor)
{
    // Feather and Background in a grid: the labels' column is as wide as the
    // longer of the two in the font at hand.
    auto* grid = new QGridLayout;
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setVerticalSpacing(10);
    grid->setColumnStretch(1, 1);

    auto* featherLabel = new QLabel(tr("Feather"), editor);
    grid->addWidget(featherLabel, 0, 0);
    m_feather = new QSlider(Qt::Horizontal, editor);
    m_feather->setObjectName(QStringLiteral("featherSlider"));
    m_feather->setAccessibleName(tr("Feather"));
    featherLabel->setBuddy(m_feather);
    m_feather->setRange(0, 20 * featherSteps);
    m_feather->setSingleStep(featherSteps / 4);
    m_feather->setPageStep(2 * featherSteps);
    grid->addWidget(m_feather, 0, 1);
    // Room for the widest amount, so the number does not jitter while the
    // slider moves (the desktop fonts' digits are all one width).
    m_featherNumber = new QLabel(featherText(20), editor);
    m_featherNumber->setMinimumWidth(m_featherNumber->sizeHint().width());
    m_featherNumber->setAlignment(Qt::AlignCenter);
    grid->addWidget(m_featherNumber, 0, 2);

    QStringList choices;
    for (const BackgroundChoice& choice : BackgroundChoice::allCases())
        choices << choice.label();
    auto* backgroundLabel = new QLabel(tr("Background"), editor);
    grid->addWidget(backgroundLabel, 1, 0);
    m_background = new SegmentedControl(choices, editor);
    m_background->setAccessibleName(tr("Background"));
    backgroundLabel->setBuddy(m_background);
    grid->addWidget(m_background, 1, 1);
    m_colorWell = new ColorWell(editor);
    m_colorWell->setAccessibleName(tr("Background colour"));
    grid->addWidget(m_colorWell, 1, 2);
    return grid;
}

QWidget* ContentView::buildExportRow(QWidget* editor)
{
    auto* row = new QWidget(editor);
    m_copy = new QPushButton(tr("Copy PNG"), row);
    m_themed.icon(m_copy, QStringLiteral("doc.on.doc"));
    m_save = new QPushButton(tr("Save PNG…"), row);
    m_save->setDefault(true);
    m_themed.prominent(m_save, QStringLiteral("square.and.arrow.down"));
    m_status = label(QString(), row);
    m_status->setObjectName(QStringLiteral("statusLine"));
    m_themed.secondaryText(m_status, ThemedWidgets::Style::caption);
    auto* exportLayout = new QHBoxLayout(row);
    exportLayout->setContentsMargins(0, 0, 0, 0);
    exportLayout->addWidget(m_copy);
    exportLayout->addWidget(m_save);
    exportLayout->addStretch();
    exportLayout->addWidget(m_status);
    return row;
}

void ContentView::connectEditor()
{
    connect(m_new, &QPushButton::clicked, m_model, &VantelModel::reset);
    connect(m_pasteIcon, &QToolButton::clicked, m_model, &VantelModel::paste);
    connect(m_beforeAfter, &SegmentedControl::currentIndexChanged, this,
            [this](int index) { m_model->setShowOriginal(index == 1); });
    connect(m_allSubjects, &QPushButton::clicked, this, [this] {
        m_model->setSelectedInstance(std::nullopt);
        m_model->remask();
    });
    // Every movement writes the amount once; the model's own change comes
    // back through refresh(), which moves the slider without signals.
    connect(m_feather, &QSlider::valueChanged, this,
            [this](int value) { m_model->setFeather(double(value) / featherSteps); });
    connect(m_background, &SegmentedControl::currentIndexChanged, this, [this](int index) {
        m_model->setBackground(BackgroundChoice::allCases()[size_t(index)]);
    });
    connect(m_colorWell, &ColorWell::colorPicked, m_model, &VantelModel::setCustomColor);
    connect(m_colorWell, &ColorWell::pickerOpened, this, [this] { emit dialogShown(true); });
    connect(m_colorWell, &ColorWell::pickerClosed, this, [this] { emit dialogShown(false); });
    connect(m_copy, &QPushButton::clicked, m_model, &VantelModel::copyPNG);
    connect(m_save, &QPushButton::clicked, m_model, &VantelModel::savePNG);
}

QWidget* ContentView::buildFooter()
{
    auto* footer = new QWidget(this);
    m_note = label(tr("Processed on-device. Nothing is uploaded."), footer);
    m_themed.secondaryText(m_note, ThemedWidgets::Style::caption2);
    m_quit = new QPushButton(tr("Quit"), footer);
    m_themed.quiet(m_quit);
    m_quit->setCursor(Qt::PointingHandCursor);
    auto* lock = new QLabel(footer);
    m_themed.symbol(lock, QStringLiteral("lock.fill"), 11);
    auto* row = new QHBoxLayout(footer);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(lock);
    row->addWidget(m_note);
    row->addStretch();
    row->addWidget(m_quit);
    connect(m_quit, &QPushButton::clicked, this, &ContentView::quitRequested);
    return footer;
}

bool ContentView::event(QEvent* event)
{
    // A theme or font changed while Vantel runs: every look drawn from them
    // is drawn again.
    m_themed.follow(event);
    // Shown with nothing focused yet, the window would give the focus to
    // the first control it finds when it is activated: Quit, perhaps.
    if (event->type() == QEvent::Show && !window()->focusWidget())
        focusFace();
    return QWidget::event(event);
}

void ContentView::setNotice(const QString& text)
{
    m_notice->setText(text);
    m_notice->setVisible(!text.isEmpty());
}

void ContentView::setDragDataProvider(std::function<QMimeData*()> provider)
{
    m_preview->setDragDataProvider(std::move(provider));
}

bool ContentView::targeted() const
{
    return m_dropZone->targeted();
}

bool ContentView::showsEditor() const
{
    return m_model->original().has_value();
}

void ContentView::refresh()
{
    const VantelModel& m = *m_model;
    // When the face changes (an image came, or New cleared it) the focus
    // goes to the new face, not to whatever Qt finds next (Quit, where one
    // Space would end Vantel and lose the result).
    const bool faceChanges = m.original().has_value() != m_editor->isVisibleTo(this);
    m_dropZone->setVisible(!m.original());
    m_dropZone->setBusy(m.isOpening() && !m.original());
    m_editor->setVisible(m.original().has_value());

    PanelAccessibility::showMessage(m_error, m.errorMessage());

    const bool hasResult = m.result().has_value();
    m_beforeAfter->setEnabled(hasResult);
    m_beforeAfter->setCurrentIndex(m.showOriginal() ? 1 : 0);

    const Selection& kept = m.selection();
    m_hintRow->setVisible(m.canSelect() || !kept.keepsAll());
    m_hint->setText(kept.count() == 1  ? tr("Keeping one subject")
                    : kept.count() > 1 ? tr("Keeping %n subjects", nullptr, kept.count())
                                       : tr("Click a subject to keep only that one"));
    m_allSubjects->setVisible(!kept.keepsAll());

    const int sliderValue = int(std::lround(m.feather() * featherSteps));
    if (m_feather->value() != sliderValue) {
        const QSignalBlocker quiet(m_feather);
        m_feather->setValue(sliderValue);
    }
    m_featherNumber->setText(featherText(m.feather()));

    const auto& cases = BackgroundChoice::allCases();
    for (size_t i = 0; i < cases.size(); ++i) {
        if (cases[i] == m.background())
            m_background->setCurrentIndex(int(i));
    }
    m_colorWell->setVisible(m.background() == BackgroundChoice::custom);
    m_colorWell->setColor(m.customColor());

    m_exportRow->setEnabled(hasResult);
    PanelAccessibility::showMessage(m_status, m.statusMessage());

    if (faceChanges)
        focusFace();
}

void ContentView::focusFace()
{
    QWidget* focus = showsEditor() ? static_cast<QWidget*>(m_preview)
                                   : static_cast<QWidget*>(m_dropZone->chooseButton());
    focus->setFocus(Qt::OtherFocusReason);
}

void ContentView::setTargeted(bool targeted)
{
    // Only the drop zone shows the hover look; over the editor drops are
    // taken without a cue.
    m_dropZone->setTargeted(targeted && !showsEditor());
}

// Vantel's own drags (the result dragged out) are not taken back.
static bool ownDrag(const QDropEvent* event)
{
    return event->source() ||
           (event->mimeData() && event->mimeData()->hasFormat(ResultDrag::markerFormat()));
}

// Vantel only reads what is dropped: always a copy, never a move, which a
// file manager would finish by deleting the user's file.
static bool takeAsCopy(QDropEvent* event)
{
    if (!(event->possibleActions() & Qt::CopyAction))
        return false;
    event->setDropAction(Qt::CopyAction);
    event->accept();
    return true;
}

void ContentView::dragEnterEvent(QDragEnterEvent* event)
{
    if (ownDrag(event) || !ImageOffer::droppable(event->mimeData()) || !takeAsCopy(event)) {
        event->ignore();
        return;
    }
    setTargeted(true);
}

void ContentView::dragMoveEvent(QDragMoveEvent* event)
{
    if (ownDrag(event) || !ImageOffer::droppable(event->mimeData()) || !takeAsCopy(event))
        event->ignore();
}

void ContentView::dragLeaveEvent(QDragLeaveEvent* event)
{
    setTargeted(false);
    QWidget::dragLeaveEvent(event);
}

void ContentView::dropEvent(QDropEvent* event)
{
    setTargeted(false);
    if (ownDrag(event)) {
        event->ignore();
        return;
    }
    // Copied now: the drag's data does not outlive this event.
    const ImageOffer offer = ImageOffer::read(event->mimeData());
    if ((event->possibleActions() & Qt::CopyAction) && m_model->handleDrop(offer))
        takeAsCopy(event);
    else
        event->ignore();
}
