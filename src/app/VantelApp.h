#pragma once

#include "PanelWindow.h"
#include "SessionSettings.h"
#include "VantelModel.h"

#include <QList>
#include <QObject>
#include <QUrl>
#include <memory>

class IdleRelease;
class QSystemTrayIcon;
class QtFileChooser;
class ResultDrag;

using VantelModelDependencies = VantelModel::Dependencies;

// The application shell: the tray icon, the one editor model of the process
// (made when the panel is first built) and the panel window. Without a tray
// the panel opens at once as an ordinary window. While it lives, Qt's own
// settings (the file dialogs' folder history) last only the session.
class VantelApp final : public QObject
{
    Q_OBJECT

public:
    // `mode` is how the panel works: from a tray icon (trayPanel or
    // trayWindow, see PanelWindow) or as the one window (ordinaryWindow).
    // `dependencies` are handed to the model (the vision service is
    // required; the scheduler defaults to the job pool).
    VantelApp(PanelWindow::Mode mode, VantelModelDependencies dependencies);
    ~VantelApp() override;

    VantelModel* model() const { return m_model.get(); }
    PanelWindow* panel() const { return m_panel.get(); }
    QSystemTrayIcon* tray() const { return m_tray.get(); }

    void togglePanel();
    // Shows the panel and brings it forward, opening the first of `files`
    // (a launch's, or what the desktop handed over). `activationToken` is
    // the launch's leave from the compositor to come forward.
    void present(const QList<QUrl>& files, const QString& activationToken = {});
    // Shown in the panel, now or once it is built (see ContentView::setNotice).
    void setNotice(const QString& text);
    // Hides everything at once, drops queued jobs and ends the event loop.
    void quit();

private:
    void buildPanel();

    SessionSettings m_settings;
    PanelWindow::Mode m_mode;
    VantelModelDependencies m_dependencies;
    std::unique_ptr<QSystemTrayIcon> m_tray;
    std::unique_ptr<VantelModel> m_model;
    std::unique_ptr<QtFileChooser> m_chooser;
    std::unique_ptr<ResultDrag> m_drag;
    std::unique_ptr<IdleRelease> m_idle;
    std::unique_ptr<PanelWindow> m_panel;
    QString m_notice;
};
