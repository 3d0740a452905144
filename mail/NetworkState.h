#pragma once

#include <QNetworkInformation>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class TickSource;

// What the machine says about its network, as the checks need it. A check does not try the
// server while the network is known to be down, while a captive portal stands in front of
// it, or while it is on its way back after a resume (or after being down); the status line
// says which. When the network comes back and a check was held back or failed meanwhile,
// or after every resume, it asks for a check (checkWanted) once the network has settled.
// It only listens: SystemNetwork feeds it the backends' signals, tests feed it by hand.
// With no backend (reachability Unknown) and no resume it never holds a check back and
// never asks for one, so the checks run as they do without it.
class NetworkState : public QObject {
    Q_OBJECT
public:
    using Reachability = QNetworkInformation::Reachability;

    // A network that has just come back gets this long to settle (addresses, name servers).
    static constexpr qint64 SettleMs = 2000;
    // After a resume, and after the network stops being known as down, a network that says
    // nothing (Unknown: NetworkManager asleep or connecting) is waited for this long at most.
    static constexpr qint64 WaitMs = 60000;
    // A check asked for here that failed is asked for again no sooner than this, however
    // often the network comes and goes.
    static constexpr qint64 RetryMs = 60000;

    explicit NetworkState(const TickSource &ticks, QObject *parent = nullptr);

    // The backends' news.
    void setReachability(Reachability reachability);
    void setBehindPortal(bool portal);
    // The machine woke from suspend or hibernation.
    void resumed();
    // Whether the kernel has a default route now, asked when a check is due. A NetworkManager
    // that leaves the machine's interfaces to another tool (Debian's ifupdown) says
    // "disconnected" on a machine that is online: with a default route, that is not taken
    // for a network that is down. Without a probe, "disconnected" is believed.
    void setDefaultRoute(std::function<bool()> probe) { m_defaultRoute = std::move(probe); }

    // Empty while a check may try the server; otherwise the status line saying why not.
    QString holdStatus() const;
    // The check cycle's news: it held a check back, or a check that tried the server ended.
    void checkHeld();
    void checkEnded(bool succeeded);

    // The tick count at which a check is wanted, or -1 while none is.
    qint64 wantedAt() const;
    // Emits checkWanted when a check is wanted by now. A timer of its own calls it at
    // wantedAt(); there is nothing to call while no check is wanted.
    void wake();

Q_SIGNALS:
    void checkWanted();

private:
    bool up() const;
    bool down() const;
    bool waiting() const;
    void changed(bool wasUp);
    void rearm();

    const TickSource &m_ticks;
    std::function<bool()> m_defaultRoute;
    QTimer m_timer;
    Reachability m_reachability = Reachability::Unknown;
    bool m_portal = false;
    // A check was held back, or failed while the network was away: it is owed.
    bool m_owed = false;
    bool m_lastFailed = false;
    // The network came back with a check owed: it runs once settled.
    bool m_armed = false;
    // The check under way is one this asked for.
    bool m_asked = false;
    qint64 m_upSince = -1;
    // Until this tick count an Unknown network is waited for; -1 when none is.
    qint64 m_waitUntil = -1;
    qint64 m_retryNotBefore = -1;
};
