#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP as a Qt signal on the GUI thread, so that they
// end Vantel the way "Quit" does (temporary files removed), not abruptly.
// One instance at a time.
class QuitSignals final : public QObject
{
    Q_OBJECT

public:
    explicit QuitSignals(QObject* parent = nullptr);
    ~QuitSignals() override;

signals:
    void received();

private:
    QSocketNotifier* m_notifier = nullptr;
};
