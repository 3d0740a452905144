#pragma once

#include <QHash>
#include <QObject>

class QSocketNotifier;

// Whether the kernel has a default route the machine can use, followed as it changes. A
// netlink route socket hears of every route and link change; it is read when the kernel
// has something to say, never polled. The kernel does not tell of the IPv4 routes it drops
// with a link, nor of a route whose link lost its carrier, so a change of a link's state
// has the routing table read again. A default route counts when it is a plain one (not a
// blackhole, unreachable or prohibit route), in any table, and its link is up, has carrier
// and is not the loopback. Where the socket cannot be opened (not Linux, a sandbox),
// known() is false and nothing is ever said.
class RouteMonitor : public QObject {
    Q_OBJECT
public:
    explicit RouteMonitor(QObject *parent = nullptr);
    ~RouteMonitor() override;
    RouteMonitor(const RouteMonitor &) = delete;
    RouteMonitor &operator=(const RouteMonitor &) = delete;

    bool known() const { return m_socket >= 0; }
    bool defaultRoute() const { return m_defaultRoute; }

Q_SIGNALS:
    void defaultRouteChanged(bool present);

private:
    void readChanges();
    // Reads the links and routes afresh; false when the kernel did not answer.
    bool readTable();

    int m_socket = -1;
    QSocketNotifier *m_notifier = nullptr;
    // The state flags of every link, as last read: a change among them is worth a new read.
    QHash<int, unsigned> m_links;
    bool m_defaultRoute = false;
};
