#pragma once

#include <QElapsedTimer>
#include <QRect>
#include <QTimer>
#include <QWidget>

class ContentView;

// The window that holds the panel. Opened from the tray icon it is a
// frameless panel with no task-bar entry, placed beside the icon, that hides
// when another application takes the focus and on Escape. A press in another
// window that becomes a drag (of a file from a file manager, say) must not
// make it go: while a mouse button is held it waits, and it stays when the
// button comes up over the panel. Without a tray it is an ordinary small
// window, and closing it ends Vantel.
class PanelWindow final : public QWidget
{
    Q_OBJECT

public:
    enum class Mode { trayPanel, ordinaryWindow };

    PanelWindow(Mode mode, ContentView* content);

    Mode mode() const { return m_mode; }
    ContentView* content() const { return m_content; }

    // Shows the panel next to `anchor` (the tray icon; an invalid rectangle
    // means near the pointer), or hides it when it is up.
    void toggleNear(const QRect& anchor);
    void showNear(const QRect& anchor);
    // While one of Vantel's own dialogs is open the panel stays up.
    void setDialogOpen(bool open);

    // Where a panel of `size` goes next to `anchor` inside `screen`.
    static QPoint placement(const QSize& size, const QRect& anchor, const QRect& screen);

signals:
    void quitRequested();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void applicationStateChanged(Qt::ApplicationState state);
    void hideForFocusLoss();
    void watchHeldButton();

    Mode m_mode;
    ContentView* m_content;
    int m_dialogs = 0;
    // When the panel last went away because Vantel lost the focus.
    QElapsedTimer m_hiddenByFocusLoss;
    // Polls the pointer while a button held elsewhere may be a drag.
    QTimer m_heldButton;
};
