#include "SingleInstance.h"

#include "ApplicationBusAdaptor.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QRegularExpression>
#include <QVariantMap>

const QString SingleInstance::serviceName = QStringLiteral("io.github.vantel.Vantel");
const QString SingleInstance::objectPath = QStringLiteral("/io/github/vantel/Vantel");

namespace {

const QString applicationInterface = QStringLiteral("org.freedesktop.Application");
// How long a launch waits for the running Vantel to take its files. Its GUI
// thread is never busy for long; this only bounds a hung one.
constexpr int answerMs = 10000;
// The name may change hands between trying to take it and calling its
// owner (the owner quits just then): a few rounds settle it.
constexpr int rounds = 3;

} // namespace

SingleInstance::SingleInstance(const QDBusConnection& bus, QObject* parent)
    : QObject(parent), m_bus(bus)
{
}

SingleInstance::Outcome SingleInstance::claim(const QList<QUrl>& files,
                                              const QString& activationToken)
{
    if (!m_bus.isConnected() || !m_bus.interface())
        return Outcome::alone;
    if (!m_exported) {
        // The object first: a call that comes the moment the name is ours
        // finds someone to answer it.
        new ApplicationBusAdaptor(this, [this](const QList<QUrl>& handed, const QString& token) {
            emit launched(handed, token);
        });
        m_exported = m_bus.registerObject(objectPath, this);
    }
    for (int round = 0; round < rounds; ++round) {
        const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> taken =
            m_bus.interface()->registerService(serviceName,
                                               QDBusConnectionInterface::DontQueueService,
                                               QDBusConnectionInterface::DontAllowReplacement);
        if (!taken.isValid())
            return Outcome::alone;
        if (taken.value() == QDBusConnectionInterface::ServiceRegistered)
            return m_exported ? Outcome::first : Outcome::alone;
        if (handOver(files, activationToken))
            return Outcome::handedOver;
    }
    return Outcome::unanswered;
}

bool SingleInstance::handOver(const QList<QUrl>& files, const QString& activationToken)
{
    QVariantMap platformData;
    if (!activationToken.isEmpty())
        platformData.insert(QStringLiteral("activation-token"), activationToken);
    QDBusMessage call;
    if (files.isEmpty()) {
        call = QDBusMessage::createMethodCall(serviceName, objectPath, applicationInterface,
                                              QStringLiteral("Activate"));
        call << platformData;
    } else {
        QStringList uris;
        for (const QUrl& file : files)
            uris << file.toString(QUrl::FullyEncoded);
        call = QDBusMessage::createMethodCall(serviceName, objectPath, applicationInterface,
                                              QStringLiteral("Open"));
        call << uris << platformData;
    }
    // Events are processed meanwhile: the answer may come from this very
    // process (in tests, where both ends share one thread).
    const QDBusMessage reply = m_bus.call(call, QDBus::BlockWithGui, answerMs);
    return reply.type() == QDBusMessage::ReplyMessage;
}

QList<QUrl> SingleInstance::filesFromArguments(const QList<QByteArray>& arguments,
                                               const QByteArray& workingFolder)
{
    QList<QUrl> files;
    for (const QByteArray& argument : arguments) {
        if (argument.isEmpty())
            continue;
        // A name is a name, even one with a colon in it; only an argument
        // that starts as a URL ("scheme://") is read as one.
        QUrl url;
        if (QRegularExpression(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*://"))
                .match(QString::fromLatin1(argument.left(64)))
                .hasMatch()) {
            url = QUrl::fromEncoded(argument, QUrl::StrictMode);
        } else {
            const QByteArray path =
                argument.startsWith('/') ? argument : workingFolder + '/' + argument;
            // The bytes as they are, percent-escaped: the intake reads them
            // back the same way.
            url = QUrl::fromEncoded("file://" + path.toPercentEncoding("/"), QUrl::StrictMode);
        }
        if (url.isValid() && url.isLocalFile())
            files.append(url);
    }
    return files;
}
