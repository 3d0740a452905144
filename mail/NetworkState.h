#pragma once

#include <QNetworkInformation>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class TickSource;

// The network as the checks see it: one state folded from what the machine says, and the one
// place that decides when a check the network owes may run.
//
// What it hears (SystemNetwork feeds it from the machine, tests by hand):
//   NetworkManager's reachability (Unknown also when NetworkManager is not there, asleep or
//   connecting), whether it sees a captive portal, whether the kernel has a default route
//   (once that can be read), and the machine's resumes; from the check path, the server the
//   checks go to, whether the scheduler runs, and every check held, started and ended.
//
// The states:
//   Online   a way out: a default route, or NetworkManager connected
//   Offline  no way out: NetworkManager says disconnected and there is no default route, or
//            NetworkManager says nothing and the kernel has no default route
//   Portal   a captive portal answers instead of the server
//   Waking   on its way back: just resumed, or connecting, with nothing yet saying it is
//            there, or NetworkManager connected before the kernel has its route; waited for
//            WaitMs at most
//   Unknown  nothing is known (no NetworkManager, no routing table): checks go as ever
//
// A check does not try the server while the state is Offline, Portal or Waking, unless the
// server is on the loopback, which needs no network; the status line then says why. A check
// is owed after every resume, after a check held back, and when the network comes back after
// a failed check. An owed check runs once the state allows it (Online for SettleMs, or
// Unknown), the scheduler runs and no check is under way: checkWanted says when.
class NetworkState : public QObject {
    Q_OBJECT
public:
    using Reachability = QNetworkInformation::Reachability;
    enum class State { Unknown, Online, Offline, Portal, Waking };

    // A network that has just come back gets this long to settle (addresses, name servers).
    static constexpr qint64 SettleMs = 2000;
    // How long a network on its way back is waited for before the checks go ahead as the
    // state then says.
    static constexpr qint64 WaitMs = 60000;
    // After a check asked for here failed, the next owed one comes no sooner than this,
    // however often the network comes and goes.
    static constexpr qint64 RetryMs = 60000;

    explicit NetworkState(const TickSource &ticks, QObject *parent = nullptr);

    // What the machine says.
    void setReachability(Reachability reachability);
    void setBehindPortal(bool portal);
    void setDefaultRoute(bool present);
    void resumed();

    // What the check path says. The server text the checks use (the server box), and whether
    // the scheduler runs (an empty password box stops it, and then only "Check Now" and
    // "Save" start it again); unset, no server is on the loopback and the scheduler runs.
    void setServer(std::function<QString()> serverText) { m_serverText = std::move(serverText); }
    void setSchedulerRunning(std::function<bool()> running)
    {
        m_schedulerRunning = std::move(running);
    }
    // The scheduler was started again: an owed check may now be due.
    void schedulerStarted() { rearm(); }
    void checkHeld();
    void checkStarted();
    void checkEnded(bool succeeded);

    State state() const { return stateAt(now()); }
    // Empty while a check may try the server; otherwise the status line saying why not.
    QString holdStatus() const;
    // The tick count from which the owed check may run, or -1 while none is owed or it may
    // not run as things stand.
    qint64 owedCheckAt() const;
    // Emits checkWanted when the owed check may run by now. A timer of its own calls it at
    // owedCheckAt(); no timer runs while nothing is owed.
    void wake();
    // The tick count at which that timer fires; -1 while it does not run.
    qint64 nextWake() const { return m_timer.isActive() ? m_wakeAt : -1; }

Q_SIGNALS:
    void checkWanted();

private:
    enum class Route { Unknown, Present, Absent };

    qint64 now() const;
    State stateAt(qint64 tick) const;
    bool serverOnLoopback() const;
    // Runs one change of what is heard, and notes the network coming back.
    template <typename Change> void change(Change &&apply);
    void rearm();

    const TickSource &m_ticks;
    QTimer m_timer;
    qint64 m_wakeAt = -1;
    std::function<QString()> m_serverText;
    std::function<bool()> m_schedulerRunning;

    // What is heard.
    Reachability m_reachability = Reachability::Unknown;
    bool m_portal = false;
    Route m_route = Route::Unknown;
    // Until this tick count a network on its way back is waited for; -1 when none is.
    qint64 m_waitUntil = -1;

    // The checks.
    bool m_owed = false;
    bool m_checking = false;
    bool m_lastFailed = false;
    // The check under way is one this asked for.
    bool m_asked = false;
    int m_started = 0;
    qint64 m_onlineSince = 0;
    qint64 m_retryNotBefore = -1;
};
