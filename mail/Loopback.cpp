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
