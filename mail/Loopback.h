#pragma once

#include <QString>

// Whether a server's host (as ServerAddress gives it: a name, an IPv4 address or an IPv6
// address without brackets) names this machine's loopback: 127.0.0.0/8, ::1 (also written
// out, or IPv4-mapped) or "localhost". Nothing sent to it leaves the machine.
bool isLoopbackHost(const QString &host);
