#include "ApplicationBusAdaptor.h"

ApplicationBusAdaptor::ApplicationBusAdaptor(QObject* parent, Launched launched)
    : QDBusAbstractAdaptor(parent), m_launched(std::move(launched))
{
}

QString ApplicationBusAdaptor::activationToken(const QVariantMap& platformData)
{
    return platformData.value(QStringLiteral("activation-token")).toString();
}

void ApplicationBusAdaptor::Activate(const QVariantMap& platformData)
{
    m_launched({}, activationToken(platformData));
}

void ApplicationBusAdaptor::Open(const QStringList& uris, const QVariantMap& platformData)
{
    // Only local files: a web address is nothing Vantel opens.
    QList<QUrl> files;
    for (const QString& uri : uris) {
        const QUrl url(uri, QUrl::StrictMode);
        if (url.isValid() && url.isLocalFile())
            files.append(url);
    }
    m_launched(files, activationToken(platformData));
}

void ApplicationBusAdaptor::ActivateAction(const QString&, const QVariantList&,
                                           const QVariantMap& platformData)
{
    m_launched({}, activationToken(platformData));
}
