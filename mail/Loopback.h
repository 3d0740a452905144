#pragma once

#include <QHostAddress>
#include <QList>

// Addresses whose traffic never leaves this machine: 127.0.0.0/8, ::1 and the IPv4-mapped
// form of the first. A server reached only there (a local server, an SSH tunnel) cannot be
// overheard on the way.
namespace Loopback {

bool isLoopback(const QHostAddress &address);
// True when the list is not empty and every address in it is a loopback address: a host
// name that resolves only to loopback counts as loopback, one with any other address does
// not.
bool onlyLoopback(const QList<QHostAddress> &addresses);

} // namespace Loopback
