#include "SystemNetwork.h"

#include "NetworkState.h"

#include <QDBusConnection>
#include <QNetworkInformation>

namespace {

// Qt's own choice first (NetworkManager), then GLib's network monitor, which Qt does not
// try by itself. One backend serves the whole process, whoever loaded it.
QNetworkInformation *networkInformation()
{
    if (!QNetworkInformation::instance() && !QNetworkInformation::loadDefaultBackend())
        QNetworkInformation::loadBackendByName(u"glib");
    return QNetworkInformation::instance();
}

} // namespace

SystemNetwork::SystemNetwork(NetworkState &state, QObject *parent)
    : QObject(parent)
    , m_state(state)
{
    using Feature = QNetworkInformation::Feature;
    if (QNetworkInformation *info = networkInformation()) {
        if (info->supports(Feature::Reachability)) {
            m_state.setReachability(info->reachability());
            connect(info, &QNetworkInformation::reachabilityChanged, &m_state,
                    &NetworkState::setReachability);
        }
        if (info->supports(Feature::CaptivePortal)) {
            m_state.setBehindPortal(info->isBehindCaptivePortal());
            connect(info, &QNetworkInformation::isBehindCaptivePortalChanged, &m_state,
                    &NetworkState::setBehindPortal);
        }
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
