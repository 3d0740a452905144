#include "NetworkState.h"

#include "Loopback.h"
#include "ServerAddress.h"
#include "TickSource.h"

#include <algorithm>

using State = NetworkState::State;

NetworkState::NetworkState(const TickSource &ticks, QObject *parent)
    : QObject(parent)
    , m_ticks(ticks)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &NetworkState::wake);
}

qint64 NetworkState::now() const
{
    return m_ticks.now();
}

// The fold: everything heard, at a given tick count, in one state.
State NetworkState::stateAt(qint64 tick) const
{
    const bool waiting = m_waitUntil >= 0 && tick < m_waitUntil;
    // A portal stands in front of every server, whatever the routes say.
    if (m_portal && m_reachability != Reachability::Disconnected)
        return State::Portal;
    // A default route is a way out, whatever NetworkManager says: it says "disconnected"
    // about interfaces it leaves to another tool (ifupdown), "asleep" or "connecting" about
    // its own while others carry the traffic.
    if (m_route == Route::Present)
        return State::Online;
    switch (m_reachability) {
    case Reachability::Local:
    case Reachability::Site:
        // No way out, but a server on the network itself may be reached.
        return State::Online;
    case Reachability::Online:
        // The kernel's route follows NetworkManager's word within moments; without one,
        // NetworkManager is believed once the wait is over.
        return m_route == Route::Absent && waiting ? State::Waking : State::Online;
    case Reachability::Disconnected:
        return State::Offline;
    case Reachability::Unknown:
        break;
    }
    // NetworkManager is not there, asleep or connecting.
    if (waiting)
        return State::Waking;
    return m_route == Route::Absent ? State::Offline : State::Unknown;
}

bool NetworkState::serverOnLoopback() const
{
    return m_serverText && isLoopbackHost(ServerAddress::parse(m_serverText()).host());
}

template <typename Change> void NetworkState::change(Change &&apply)
{
    const State before = state();
    apply();
    if (state() == State::Online && before != State::Online) {
        m_onlineSince = now();
        m_waitUntil = -1;
        // A check that failed, maybe for want of the network, is tried again now it is back.
        if (m_lastFailed)
            m_owed = true;
    }
    rearm();
}

void NetworkState::setReachability(Reachability reachability)
{
    change([&] {
        // Disconnected, then connecting; or connected while the kernel has no route yet.
        if ((m_reachability == Reachability::Disconnected &&
             reachability == Reachability::Unknown) ||
            (reachability == Reachability::Online && m_reachability != Reachability::Online))
            m_waitUntil = now() + WaitMs;
        m_reachability = reachability;
    });
}

void NetworkState::setBehindPortal(bool portal)
{
    change([&] { m_portal = portal; });
}

void NetworkState::setDefaultRoute(bool present)
{
    change([&] { m_route = present ? Route::Present : Route::Absent; });
}

void NetworkState::resumed()
{
    // Mail may have come while the machine slept: a check is owed, due or not, once the
    // network is back; one that was already there is given a moment to settle.
    change([&] {
        m_owed = true;
        m_waitUntil = now() + WaitMs;
        m_onlineSince = now();
    });
}

void NetworkState::checkHeld()
{
    m_owed = true;
    rearm();
}

void NetworkState::checkStarted()
{
    // The check that tries the server pays what was owed until now.
    m_owed = false;
    m_checking = true;
    ++m_started;
    rearm();
}

void NetworkState::checkEnded(bool succeeded)
{
    m_checking = false;
    m_lastFailed = !succeeded;
    if (!succeeded) {
        if (m_asked)
            m_retryNotBefore = now() + RetryMs;
        // It failed while the network went away: owed again when it is back.
        const State after = state();
        m_owed = m_owed || (after != State::Online && after != State::Unknown);
    }
    m_asked = false;
    rearm();
}

QString NetworkState::holdStatus() const
{
    if (serverOnLoopback())
        return QString();
    switch (state()) {
    case State::Offline:
        return QStringLiteral("  Network down: will check when it is back.");
    case State::Portal:
        return QStringLiteral("  Captive portal: will check after you sign in.");
    case State::Waking:
        return QStringLiteral("  Waiting for the network to come back...");
    case State::Online:
    case State::Unknown:
        break;
    }
    return QString();
}

// The one place that decides whether an owed check may run, and from when.
qint64 NetworkState::owedCheckAt() const
{
    if (!m_owed || m_checking || (m_schedulerRunning && !m_schedulerRunning()))
        return -1;
    qint64 from = std::max(now(), m_retryNotBefore);
    if (serverOnLoopback())
        return from;
    State state = stateAt(from);
    if (state == State::Waking) {
        // As things stand, the wait ends with the state it then folds to.
        from = m_waitUntil;
        state = stateAt(from);
    }
    switch (state) {
    case State::Online:
        return std::max(from, m_onlineSince + SettleMs);
    case State::Unknown:
        return from;
    case State::Offline:
    case State::Portal:
    case State::Waking:
        break;
    }
    // Only news can end these; they call again.
    return -1;
}

void NetworkState::wake()
{
    const qint64 at = owedCheckAt();
    if (at >= 0 && at <= now()) {
        const int started = m_started;
        m_asked = true;
        Q_EMIT checkWanted();
        // Nothing took it up (the check cycle had its own reason to hold back): asked for
        // again no sooner than a failed check would be.
        if (m_started == started) {
            m_asked = false;
            m_retryNotBefore = now() + RetryMs;
        }
    }
    rearm();
}

void NetworkState::rearm()
{
    const qint64 at = owedCheckAt();
    if (at < 0) {
        m_timer.stop();
        return;
    }
    constexpr qint64 Day = 86400000;
    const qint64 in = std::clamp<qint64>(at - now(), 0, Day);
    m_wakeAt = now() + in;
    m_timer.start(int(in));
}
