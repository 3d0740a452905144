#pragma once

#include <QByteArray>
#include <QString>

// A private network namespace for a test program, made with ip(8) and nft(8) as root, so
// that its addresses, names and filters touch nothing outside it. The program runs itself
// again inside it (ip netns exec, which puts /etc/netns/NAME/hosts in the place of
// /etc/hosts), and the namespace is removed when that run ends.
namespace NetNamespace {

// This process runs inside the namespace.
bool inside();

// Makes a namespace named after this process, runs setup in it (a shell script, with the
// namespace's name in $NS), writes hosts as its hosts file, runs this program inside it
// with the same arguments and removes it all again. Returns the inner run's exit status;
// where no namespace can be made (not root, no ip or nft) it says why and returns 77 (the
// tests' skip status), or 1 when CI=true, as the tests must run there.
int runInside(int argc, char **argv, const QString &setup, const QByteArray &hosts);

} // namespace NetNamespace
