#pragma once

#include <QElapsedTimer>
#include <QRect>
#include <QTimer>
#include <QWidget>

class ContentView;

// The window that holds the panel, in one of three modes:
//  - trayPanel: opened from the tray icon, a frameless panel with no
//    task-bar entry, placed beside the icon, that hides when another
//    application takes the focus and on Escape. A press in another window
//    that becomes a drag (of a file from a file manager, say) must not make
//    it go: while a mouse button is held it waits, and it stays when the
//    button comes up over the panel.
//  - trayWindow: opened from the tray icon where a panel can neither be
//    placed beside the icon nor tell a drag from a click elsewhere (Wayland):
//    an ordinary window that the compositor places and the user can move.
//    It stays up when another application takes the focus, so drops reach
//    it; Escape and closing put it away.
//  - ordinaryWindow: without a tray, an ordinary small window; closing it
//    ends Vantel.
class PanelWindow final : public QWidget
{
    Q_OBJECT

public:
    enum class Mode { trayPanel, trayWindow, ordinaryWindow };

    PanelWindow(Mode mode, ContentView* content);

    // How a panel opened from a tray icon works on this desktop.
    static Mode trayModeHere();

    Mode mode() const { return m_mode; }
    ContentView* content() const { return m_content; }

    // Shows the panel next to `anchor` (the tray icon; an invalid rectangle
    // means near the pointer), or hides it when it is up.
    void toggleNear(const QRect& anchor);
    // Shows the panel (beside `anchor` where it is placed by Vantel) and
    // brings it forward; it stays up when it already is.
    void showNear(const QRect& anchor);
    // Shows the panel without a click on the icon (a launch, "Open with"):
    // beside `anchor` where the tray tells where the icon is, otherwise as
    // an ordinary window that the window manager places and the user can
    // move (and that stays up when another application takes the focus),
    // until the icon is clicked.
    void showUnasked(const QRect& anchor);
    // Whether the panel stands beside the icon now, frameless, and goes when
    // another application takes the focus.
    bool besideIcon() const { return m_mode == Mode::trayPanel && !m_asWindow; }
    // While one of Vantel's own dialogs is open the panel stays up.
    void setDialogOpen(bool open);

    // Where a panel of `size` goes next to `anchor` inside `screen`.
    static QPoint placement(const QSize& size, const QRect& anchor, const QRect& screen);

signals:
    void quitRequested();
    // The panel came up (true) or went away (false), however it did.
    void shownChanged(bool shown);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void applicationStateChanged(Qt::ApplicationState state);
    void hideForFocusLoss();
    void watchHeldButton();
    void placeBesideAnchor(const QSize& size);
    void setAsWindow(bool asWindow);

    Mode m_mode;
    ContentView* m_content;
    int m_dialogs = 0;
    // When the panel last went away because Vantel lost the focus.
    QElapsedTimer m_hiddenByFocusLoss;
    // Polls the pointer while a button held elsewhere may be a drag.
    QTimer m_heldButton;
    // What the panel was last placed beside.
    QRect m_anchor;
    // Whether the panel has had the focus since it was last shown.
    bool m_activeSinceShown = false;
    // A trayPanel shown as an ordinary window (see showUnasked).
    bool m_asWindow = false;
};
