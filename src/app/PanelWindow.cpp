#include "PanelWindow.h"

#include "ContentView.h"
#include "PointerButtons.h"
#include "Theme.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QHideEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QScreen>
#include <QShowEvent>
#include <QVBoxLayout>

PanelWindow::PanelWindow(Mode mode, ContentView* content)
    : QWidget(nullptr, mode == Mode::trayPanel ? Qt::Tool | Qt::FramelessWindowHint : Qt::Window),
      m_mode(mode), m_content(content)
{
    setWindowTitle(QStringLiteral("Vantel"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetFixedSize); // the content decides the size
    layout->addWidget(content);
    connect(content, &ContentView::quitRequested, this, &PanelWindow::quitRequested);
    connect(content, &ContentView::dialogShown, this, &PanelWindow::setDialogOpen);
    connect(qApp, &QGuiApplication::applicationStateChanged, this,
            &PanelWindow::applicationStateChanged);
    m_heldButton.setInterval(50);
    connect(&m_heldButton, &QTimer::timeout, this, &PanelWindow::watchHeldButton);
}

PanelWindow::Mode PanelWindow::trayModeHere()
{
    // Where the pointer's buttons can be read, windows can be placed too
    // (X11); where they cannot (Wayland), neither can.
    return PointerButtons::held().has_value() ? Mode::trayPanel : Mode::trayWindow;
}

void PanelWindow::setDialogOpen(bool open)
{
    m_dialogs = std::max(0, m_dialogs + (open ? 1 : -1));
}

void PanelWindow::applicationStateChanged(Qt::ApplicationState state)
{
    // Like a menu-bar panel: gone when another application takes the focus,
    // but not while one of its own dialogs is up. The focus must have been
    // the panel's since it was shown: Qt tells of a focus lost a moment
    // late, and the panel put away by Escape and shown again straight
    // after (from another launch, say) hears of its own going.
    if (!besideIcon() || state == Qt::ApplicationActive || m_dialogs > 0 ||
        QApplication::activeModalWidget() || !isVisible() || !m_activeSinceShown) {
        m_heldButton.stop();
        return;
    }
    // The press that took the focus may be the start of a drag toward the
    // panel: decide once the button is up.
    if (PointerButtons::held().value_or(false)) {
        m_heldButton.start();
        return;
    }
    hideForFocusLoss();
}

void PanelWindow::showEvent(QShowEvent* event)
{
    m_activeSinceShown = false;
    QWidget::showEvent(event);
    if (!event->spontaneous())
        emit shownChanged(true);
}

void PanelWindow::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    if (!event->spontaneous())
        emit shownChanged(false);
}

void PanelWindow::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        m_activeSinceShown = true;
    QWidget::changeEvent(event);
}

void PanelWindow::hideForFocusLoss()
{
    hide();
    m_hiddenByFocusLoss.start();
}

void PanelWindow::watchHeldButton()
{
    if (!isVisible() || QGuiApplication::applicationState() == Qt::ApplicationActive) {
        m_heldButton.stop();
        return;
    }
    if (PointerButtons::held().value_or(false))
        return;
    m_heldButton.stop();
    // Let go over the panel (a drop, most likely): it stays, and takes the
    // focus back so that a later click elsewhere puts it away as usual.
    if (frameGeometry().contains(QCursor::pos())) {
        raise();
        activateWindow();
        return;
    }
    hideForFocusLoss();
}

QPoint PanelWindow::placement(const QSize& size, const QRect& anchor, const QRect& screen)
{
    const int gap = 6;
    // Below an icon in the top half of the screen, above one in the bottom
    // half; centred on it, and kept inside the screen.
    int x = anchor.center().x() - size.width() / 2;
    int y = anchor.center().y() < screen.center().y() ? anchor.bottom() + 1 + gap
                                                      : anchor.top() - gap - size.height();
    x = std::clamp(x, screen.left() + gap,
                   std::max(screen.left() + gap, screen.right() + 1 - gap - size.width()));
    y = std::clamp(y, screen.top() + gap,
                   std::max(screen.top() + gap, screen.bottom() + 1 - gap - size.height()));
    return {x, y};
}

void PanelWindow::setAsWindow(bool asWindow)
{
    if (m_mode != Mode::trayPanel || asWindow == m_asWindow)
        return;
    m_asWindow = asWindow;
    const bool shown = isVisible();
    setWindowFlags(asWindow ? Qt::Window : Qt::Tool | Qt::FramelessWindowHint);
    if (shown)
        show();
}

void PanelWindow::showUnasked(const QRect& anchor)
{
    if (m_mode == Mode::trayPanel && !anchor.isValid() && !(isVisible() && besideIcon()))
        setAsWindow(true);
    if (m_asWindow) {
        show();
        raise();
        activateWindow();
        return;
    }
    showNear(anchor);
}

void PanelWindow::showNear(const QRect& anchor)
{
    // A click on the icon brings the panel back beside it.
    if (!isVisible())
        setAsWindow(false);
    if (!besideIcon()) {
        // The compositor or window manager places it, and the user moves it.
        show();
        raise();
        activateWindow();
        return;
    }
    m_anchor = anchor.isValid() ? anchor : QRect(QCursor::pos(), QSize(1, 1));
    adjustSize();
    placeBesideAnchor(sizeHint());
    show();
    raise();
    activateWindow();
}

void PanelWindow::placeBesideAnchor(const QSize& size)
{
    QScreen* screen = QGuiApplication::screenAt(m_anchor.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (screen)
        move(placement(size, m_anchor, screen->availableGeometry()));
}

void PanelWindow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    // The panel grows and shrinks with its content (the editor is taller
    // than the drop zone): it stays beside the icon, and on the screen.
    if (besideIcon() && isVisible() && m_anchor.isValid())
        placeBesideAnchor(event->size());
}

void PanelWindow::toggleNear(const QRect& anchor)
{
    // On some tray hosts the click on the icon first takes the focus away,
    // which hides the panel; that click meant "close", so it must not open
    // the panel again straight after.
    if (!isVisible() && m_hiddenByFocusLoss.isValid() && m_hiddenByFocusLoss.elapsed() < 400)
        return;
    if (isVisible() && isActiveWindow())
        hide();
    else
        showNear(anchor);
}

void PanelWindow::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape && m_mode != Mode::ordinaryWindow) {
        hide();
        return;
    }
    QWidget::keyPressEvent(event);
}

void PanelWindow::closeEvent(QCloseEvent* event)
{
    if (m_mode != Mode::ordinaryWindow) {
        // Closing the panel only puts it away; it keeps its state.
        event->ignore();
        hide();
        return;
    }
    event->accept();
    emit quitRequested();
}

void PanelWindow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    if (besideIcon()) {
        // A frameless panel needs its own edge.
        painter.setPen(QPen(Theme::withAlpha(Theme::secondary(), 0.45), 1));
        painter.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
    }
}
