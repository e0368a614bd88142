#pragma once

#include <QDBusAbstractAdaptor>
#include <QList>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>
#include <functional>

// The desktop's interface for a running application on the session bus
// (org.freedesktop.Application): Activate brings it forward, Open hands it
// files. Vantel has no actions, so ActivateAction only brings it forward.
class ApplicationBusAdaptor final : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

public:
    // Someone asked for Vantel, with the local files they handed over (none
    // to be shown only) and their activation token.
    using Launched = std::function<void(const QList<QUrl>& files, const QString& token)>;

    ApplicationBusAdaptor(QObject* parent, Launched launched);

    // The token a Wayland compositor gave the caller's launch, from its
    // platform data.
    static QString activationToken(const QVariantMap& platformData);

public slots:
    void Activate(const QVariantMap& platformData);
    void Open(const QStringList& uris, const QVariantMap& platformData);
    void ActivateAction(const QString& name, const QVariantList& parameter,
                        const QVariantMap& platformData);

private:
    // Not a signal: an adaptor's signals would go out on the bus.
    Launched m_launched;
};
