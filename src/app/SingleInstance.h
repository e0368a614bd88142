#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QUrl>

// One Vantel per login. The first launch owns a name on the session bus and
// answers the desktop's application interface there; a later launch hands
// it its files, or just asks it to show itself, and ends. The bus gives the
// name to one process at a time and takes it back when that process ends,
// however it ends: nothing stale is left behind, as a socket file would be.
class SingleInstance final : public QObject
{
    Q_OBJECT

public:
    enum class Outcome {
        first,      // this process is Vantel now
        handedOver, // the running Vantel took the launch
        unanswered, // a Vantel is running but did not answer
        alone,      // no session bus: nothing to coordinate with
    };

    static const QString serviceName;
    static const QString objectPath;

    explicit SingleInstance(const QDBusConnection& bus, QObject* parent = nullptr);

    // Becomes the running Vantel, or hands it `files` (with the launch's
    // activation token, so that the compositor lets it come forward).
    Outcome claim(const QList<QUrl>& files, const QString& activationToken);

    // The files a launch was given, as the file system's own bytes (names
    // that are not UTF-8 included): paths, relative to `workingFolder` or
    // not, and file URLs. Anything else (a web address) is left out.
    static QList<QUrl> filesFromArguments(const QList<QByteArray>& arguments,
                                          const QByteArray& workingFolder);

signals:
    // A later launch, with its files (none: only show yourself).
    void launched(const QList<QUrl>& files, const QString& activationToken);

private:
    bool handOver(const QList<QUrl>& files, const QString& activationToken);

    QDBusConnection m_bus;
    bool m_exported = false;
};
