#pragma once

#include "ThemedWidgets.h"

#include <QWidget>
#include <functional>

class ColorWell;
class DropZone;
class PreviewView;
class QLabel;
class QMimeData;
class QPushButton;
class QSlider;
class QToolButton;
class SegmentedControl;
class VantelModel;

// The whole panel: the drop zone before an image is loaded, the editor
// after, the error line and the footer. A thin view of the model: it reads
// the model's fields on every change and turns each user action into one
// call or one write.
class ContentView final : public QWidget
{
    Q_OBJECT

public:
    static constexpr int panelWidth = 420; // the least; a larger font widens it
    // The Feather slider moves in hundredths.
    static constexpr int featherSteps = 100;

    explicit ContentView(VantelModel* model, QWidget* parent = nullptr);

    // "%.0f" of the feather amount.
    static QString featherText(double feather);

    VantelModel* model() const { return m_model; }
    bool targeted() const;
    bool showsEditor() const;

    // Widgets, for the window and the tests.
    DropZone* dropZone() const { return m_dropZone; }
    PreviewView* preview() const { return m_preview; }
    QLabel* errorLine() const { return m_error; }
    QWidget* hintRow() const { return m_hintRow; }
    QLabel* hintText() const { return m_hint; }
    QPushButton* allSubjectsButton() const { return m_allSubjects; }
    QSlider* featherSlider() const { return m_feather; }
    QLabel* featherNumber() const { return m_featherNumber; }
    SegmentedControl* beforeAfter() const { return m_beforeAfter; }
    SegmentedControl* backgroundPicker() const { return m_background; }
    ColorWell* colorWell() const { return m_colorWell; }
    QWidget* exportRow() const { return m_exportRow; }
    QPushButton* copyButton() const { return m_copy; }
    QPushButton* saveButton() const { return m_save; }
    QLabel* statusText() const { return m_status; }
    QPushButton* newButton() const { return m_new; }
    QToolButton* pasteIcon() const { return m_pasteIcon; }
    QPushButton* quitButton() const { return m_quit; }
    QLabel* footerNote() const { return m_note; }
    QLabel* noticeLine() const { return m_notice; }

    // A standing note on how well Vantel can work here (the subject finder
    // is missing, say); none hides the line.
    void setNotice(const QString& text);

    void setDragDataProvider(std::function<QMimeData*()> provider);

signals:
    void quitRequested();
    // The colour picker opened or closed (the panel must stay up meanwhile).
    void dialogShown(bool shown);

protected:
    bool event(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    QWidget* buildEditor();
    QLayout* buildTopRow(QWidget* editor);
    QWidget* buildHintRow(QWidget* editor);
    QLayout* buildSettingsRows(QWidget* editor);
    QWidget* buildExportRow(QWidget* editor);
    void connectEditor();
    QWidget* buildFooter();
    void refresh();
    // Gives the keyboard's focus to the face shown: the preview or the drop
    // zone's Choose button.
    void focusFace();
    void setTargeted(bool targeted);

    VantelModel* m_model;
    DropZone* m_dropZone = nullptr;
    QWidget* m_editor = nullptr;
    PreviewView* m_preview = nullptr;
    QLabel* m_error = nullptr;
    QWidget* m_hintRow = nullptr;
    QLabel* m_hint = nullptr;
    QPushButton* m_allSubjects = nullptr;
    QSlider* m_feather = nullptr;
    QLabel* m_featherNumber = nullptr;
    SegmentedControl* m_beforeAfter = nullptr;
    SegmentedControl* m_background = nullptr;
    ColorWell* m_colorWell = nullptr;
    QWidget* m_exportRow = nullptr;
    QPushButton* m_copy = nullptr;
    QPushButton* m_save = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_new = nullptr;
    QToolButton* m_pasteIcon = nullptr;
    QPushButton* m_quit = nullptr;
    QLabel* m_note = nullptr;
    QLabel* m_notice = nullptr;
    ThemedWidgets m_themed;
};
