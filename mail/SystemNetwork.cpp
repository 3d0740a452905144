#include "SystemNetwork.h"

#include "NetworkManagerWatch.h"
#include "NetworkState.h"
#include "RouteMonitor.h"

#include <QDBusConnection>

SystemNetwork::SystemNetwork(NetworkState &state, QObject *parent)
    : QObject(parent)
    , m_state(state)
{
    auto *manager = new NetworkManagerWatch(this);
    connect(manager, &NetworkManagerWatch::reachabilityChanged, &m_state,
            &NetworkState::setReachability);
    connect(manager, &NetworkManagerWatch::isBehindCaptivePortalChanged, &m_state,
            &NetworkState::setBehindPortal);
    auto *routes = new RouteMonitor(this);
    if (routes->known()) {
        m_state.setDefaultRoute(routes->defaultRoute());
        connect(routes, &RouteMonitor::defaultRouteChanged, &m_state,
                &NetworkState::setDefaultRoute);
    }
    // Heard from whenever logind is there, also when it comes after us.
    QDBusConnection::systemBus().connect(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"), this,
        SLOT(prepareForSleep(bool)));
}

void SystemNetwork::prepareForSleep(bool sleeping)
{
    if (!sleeping)
        m_state.resumed();
}
