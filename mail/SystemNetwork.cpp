#include "SystemNetwork.h"

#include "NetworkState.h"

#include <QDBusConnection>
#include <QFile>
#include <QNetworkInformation>

#include <algorithm>

namespace {

// Qt's own choice first (NetworkManager), then GLib's network monitor, which Qt does not
// try by itself. One backend serves the whole process, whoever loaded it.
QNetworkInformation *networkInformation()
{
    if (!QNetworkInformation::instance() && !QNetworkInformation::loadDefaultBackend())
        QNetworkInformation::loadBackendByName(u"glib");
    return QNetworkInformation::instance();
}

// A line of /proc/net/route (IPv4: destination and mask all zero) or /proc/net/ipv6_route
// (destination all zero, prefix length 0) that is up (RTF_UP) and not a reject route, on
// an interface other than loopback.
bool isDefaultRoute(const QByteArrayList &fields, bool ipv6)
{
    constexpr uint Up = 0x0001;
    constexpr uint Reject = 0x0200;
    bool ok = false;
    if (ipv6) {
        if (fields.size() < 10 || fields.at(0).count('0') != 32 || fields.at(1) != "00")
            return false;
        const uint flags = fields.at(8).toUInt(&ok, 16);
        return ok && (flags & Up) && !(flags & Reject) && fields.at(9) != "lo";
    }
    if (fields.size() < 8 || fields.at(1) != "00000000" || fields.at(7) != "00000000")
        return false;
    const uint flags = fields.at(3).toUInt(&ok, 16);
    return ok && (flags & Up) && !(flags & Reject) && fields.at(0) != "lo";
}

bool routeIn(const char *path, bool ipv6)
{
    QFile table(QString::fromLatin1(path));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    // Files under /proc claim a size of 0: read to their end, not to that size.
    const QByteArrayList lines = table.readAll().split('\n');
    return std::any_of(lines.cbegin(), lines.cend(), [ipv6](const QByteArray &line) {
        return isDefaultRoute(line.simplified().split(' '), ipv6);
    });
}

} // namespace

bool SystemNetwork::defaultRoute()
{
    return routeIn("/proc/net/route", false) || routeIn("/proc/net/ipv6_route", true);
}

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
