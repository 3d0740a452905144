#include "Loopback.h"

#include <algorithm>

namespace Loopback {

bool isLoopback(const QHostAddress &address)
{
    // QHostAddress counts 127.0.0.0/8, ::1 and ::ffff:127.0.0.0/104.
    return address.isLoopback();
}

bool onlyLoopback(const QList<QHostAddress> &addresses)
{
    return !addresses.isEmpty() && std::all_of(addresses.cbegin(), addresses.cend(), isLoopback);
}

} // namespace Loopback

bool isLoopbackHost(const QString &host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 ||
        host.compare(QLatin1String("localhost."), Qt::CaseInsensitive) == 0)
        return true;
    QHostAddress address;
    return address.setAddress(host) && Loopback::isLoopback(address);
}
