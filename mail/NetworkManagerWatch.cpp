#include "NetworkManagerWatch.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>

namespace {

const QString service = QStringLiteral("org.freedesktop.NetworkManager");
const QString path = QStringLiteral("/org/freedesktop/NetworkManager");
const QString properties = QStringLiteral("org.freedesktop.DBus.Properties");

using Reachability = QNetworkInformation::Reachability;

Reachability fromState(uint state)
{
    switch (state) {
    case 20: // disconnected
    case 30: // disconnecting
        return Reachability::Disconnected;
    case 50: // connected, local only
        return Reachability::Local;
    case 60: // connected, site only
        return Reachability::Site;
    case 70: // connected, global
        return Reachability::Online;
    default: // 0 unknown, 10 asleep, 40 connecting
        return Reachability::Unknown;
    }
}

constexpr uint PortalConnectivity = 2;

} // namespace

NetworkManagerWatch::NetworkManagerWatch(QObject *parent)
    : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return;
    auto *watcher =
        new QDBusServiceWatcher(service, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &owner) {
                if (owner.isEmpty())
                    set(Reachability::Unknown, false);
                else
                    readProperties();
            });
    bus.connect(service, path, service, QStringLiteral("StateChanged"), this,
                SLOT(stateChanged(uint)));
    bus.connect(service, path, properties, QStringLiteral("PropertiesChanged"), this,
                SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
    readProperties();
}

void NetworkManagerWatch::readProperties()
{
    QDBusMessage get =
        QDBusMessage::createMethodCall(service, path, properties, QStringLiteral("GetAll"));
    get.setArguments({service});
    // Asked, never started: a NetworkManager that is installed but not running stays so.
    get.setAutoStartService(false);
    auto *call = new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(get), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, &NetworkManagerWatch::propertiesRead);
}

void NetworkManagerWatch::propertiesRead(QDBusPendingCallWatcher *call)
{
    const QDBusPendingReply<QVariantMap> reply = *call;
    call->deleteLater();
    if (reply.isValid())
        update(reply.value());
}

void NetworkManagerWatch::stateChanged(uint state)
{
    set(fromState(state), m_portal);
}

void NetworkManagerWatch::propertiesChanged(const QString &interface, const QVariantMap &changed,
                                            const QStringList &)
{
    if (interface == service)
        update(changed);
}

void NetworkManagerWatch::update(const QVariantMap &properties)
{
    const QVariant state = properties.value(QStringLiteral("State"));
    const QVariant connectivity = properties.value(QStringLiteral("Connectivity"));
    set(state.isValid() ? fromState(state.toUInt()) : m_reachability,
        connectivity.isValid() ? connectivity.toUInt() == PortalConnectivity : m_portal);
}

void NetworkManagerWatch::set(Reachability reachability, bool portal)
{
    const bool reachabilityChange = reachability != m_reachability;
    const bool portalChange = portal != m_portal;
    m_reachability = reachability;
    m_portal = portal;
    if (reachabilityChange)
        Q_EMIT reachabilityChanged(reachability);
    if (portalChange)
        Q_EMIT isBehindCaptivePortalChanged(portal);
}
