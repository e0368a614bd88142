#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QStandardPaths>
#include <QString>

// A session bus of the test's own (dbus-daemon, from Debian's dbus-daemon
// package), so that tests never meet the desktop's bus or a real Vantel.
class PrivateBus final
{
public:
    PrivateBus()
    {
        m_daemon.setProgram(QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")));
        m_daemon.setArguments({QStringLiteral("--session"), QStringLiteral("--nofork"),
                               QStringLiteral("--print-address=1")});
        m_daemon.start();
        if (m_daemon.waitForStarted(5000) && m_daemon.waitForReadyRead(5000))
            m_address = QString::fromUtf8(m_daemon.readLine().trimmed());
    }
    ~PrivateBus()
    {
        m_daemon.kill();
        m_daemon.waitForFinished(5000);
    }

    bool isUp() const { return !m_address.isEmpty(); }
    QString address() const { return m_address; }

    // A connection of its own, as another process would have.
    QDBusConnection connect(const QString& name) const
    {
        return QDBusConnection::connectToBus(m_address, name);
    }

private:
    QProcess m_daemon;
    QString m_address;
};
