#pragma once

#include "VantelModel.h"

#include <QObject>
#include <memory>

class PanelWindow;
class QSystemTrayIcon;
class QtFileChooser;
class ResultDrag;

using VantelModelDependencies = VantelModel::Dependencies;

// The application shell: the tray icon, the one editor model of the process
// (made when the panel is first built) and the panel window. Without a tray
// the panel opens at once as an ordinary window.
class VantelApp final : public QObject
{
    Q_OBJECT

public:
    // `dependencies` are handed to the model (the vision service is
    // required; the scheduler defaults to the global thread pool).
    VantelApp(bool useTray, VantelModelDependencies dependencies);
    ~VantelApp() override;

    VantelModel* model() const { return m_model.get(); }
    PanelWindow* panel() const { return m_panel.get(); }
    QSystemTrayIcon* tray() const { return m_tray.get(); }

    void togglePanel();
    // Shown in the panel, now or once it is built (see ContentView::setNotice).
    void setNotice(const QString& text);
    // Hides everything at once, drops queued jobs and ends the event loop.
    void quit();

private:
    void buildPanel();

    VantelModelDependencies m_dependencies;
    std::unique_ptr<QSystemTrayIcon> m_tray;
    std::unique_ptr<VantelModel> m_model;
    std::unique_ptr<QtFileChooser> m_chooser;
    std::unique_ptr<ResultDrag> m_drag;
    std::unique_ptr<PanelWindow> m_panel;
    QString m_notice;
};
