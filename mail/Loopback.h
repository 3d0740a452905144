#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>

// Addresses whose traffic never leaves this machine: 127.0.0.0/8, ::1 and the IPv4-mapped
// form of the first. A server reached only there (a local server, an SSH tunnel) cannot be
// overheard on the way, and needs no network to be reached.
namespace Loopback {

bool isLoopback(const QHostAddress &address);
// True when the list is not empty and every address in it is a loopback address: a host
// name that resolves only to loopback counts as loopback, one with any other address does
// not.
bool onlyLoopback(const QList<QHostAddress> &addresses);

} // namespace Loopback

// Whether a server's host (as ServerAddress gives it: a name, an IPv4 address or an IPv6
// address without brackets) names this machine's loopback: 127.0.0.0/8, ::1 (also written
// out, or IPv4-mapped) or "localhost". Told without a lookup.
bool isLoopbackHost(const QString &host);
