#include "VantelApp.h"

#include "ContentView.h"
#include "IdleRelease.h"
#include "JobScheduler.h"
#include "PanelWindow.h"
#include "QtFileChooser.h"
#include "ResultDrag.h"
#include "Symbols.h"
#include "VantelModel.h"

#include <QApplication>
#include <QSystemTrayIcon>
#include <QThreadPool>

VantelApp::VantelApp(PanelWindow::Mode mode, VantelModelDependencies dependencies)
    : m_mode(mode), m_dependencies(dependencies)
{
    if (mode != PanelWindow::Mode::ordinaryWindow) {
        m_tray = std::make_unique<QSystemTrayIcon>(Symbols::appIcon());
        m_tray->setToolTip(QStringLiteral("Vantel"));
        connect(m_tray.get(), &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::Trigger ||
                        reason == QSystemTrayIcon::DoubleClick)
                        togglePanel();
                });
        m_tray->show();
    } else {
        buildPanel();
        m_panel->show();
        m_panel->activateWindow();
    }
}

VantelApp::~VantelApp()
{
    // The widgets go before the model they read.
    m_panel.reset();
    m_idle.reset();
    m_drag.reset();
    m_model.reset();
}

void VantelApp::buildPanel()
{
    if (m_panel)
        return;
    m_model = std::make_unique<VantelModel>(m_dependencies);
    auto* content = new ContentView(m_model.get());
    m_panel = std::make_unique<PanelWindow>(m_mode, content);
    m_panel->setWindowIcon(Symbols::appIcon());
    m_chooser =
        std::make_unique<QtFileChooser>([this] { return static_cast<QWidget*>(m_panel.get()); },
                                        [this](bool open) { m_panel->setDialogOpen(open); });
    // The model was made without a chooser: give it one now the panel exists.
    m_model->setFileChooser(m_chooser.get());
    m_drag = std::make_unique<ResultDrag>(m_model.get());
    content->setDragDataProvider([this] { return m_drag->mimeData(); });
    connect(m_panel.get(), &PanelWindow::quitRequested, this, &VantelApp::quit);
    m_idle = std::make_unique<IdleRelease>(m_model.get(), m_dependencies.vision);
    connect(m_panel.get(), &PanelWindow::shownChanged, m_idle.get(), &IdleRelease::panelShown);
    content->setNotice(m_notice);
}

void VantelApp::setNotice(const QString& text)
{
    m_notice = text;
    if (m_panel)
        m_panel->content()->setNotice(text);
}

void VantelApp::togglePanel()
{
    buildPanel();
    m_panel->toggleNear(m_tray ? m_tray->geometry() : QRect());
}

void VantelApp::present(const QList<QUrl>& files, const QString& activationToken)
{
    buildPanel();
    // Qt's Wayland client hands the token to the compositor with the next
    // activation, and forgets it.
    if (!activationToken.isEmpty())
        qputenv("XDG_ACTIVATION_TOKEN", activationToken.toUtf8());
    // Until the tray host has taken the icon in (just after a launch), the
    // icon reports the screen's corner, which is no place to stand beside.
    QRect icon = m_tray ? m_tray->geometry() : QRect();
    if (icon.topLeft() == QPoint(0, 0))
        icon = QRect();
    m_panel->showUnasked(icon);
    if (!files.isEmpty())
        m_model->open(files.first());
}

void VantelApp::quit()
{
    if (m_panel)
        m_panel->hide();
    if (m_tray)
        m_tray->hide();
    // Jobs not yet started are dropped; a running analysis finishes on its
    // own thread and its outcome goes nowhere.
    ThreadPoolScheduler::pool()->clear();
    QCoreApplication::quit();
}
