#include "NetworkState.h"

#include "TickSource.h"

#include <algorithm>

NetworkState::NetworkState(const TickSource &ticks, QObject *parent)
    : QObject(parent)
    , m_ticks(ticks)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &NetworkState::wake);
}

bool NetworkState::up() const
{
    switch (m_reachability) {
    case Reachability::Local:
    case Reachability::Site:
    case Reachability::Online:
        return !m_portal;
    case Reachability::Unknown:
    case Reachability::Disconnected:
        break;
    }
    return false;
}

bool NetworkState::waiting() const
{
    return m_reachability == Reachability::Unknown && m_waitUntil >= 0 &&
           m_ticks.now() < m_waitUntil;
}

bool NetworkState::down() const
{
    return m_reachability == Reachability::Disconnected && !(m_defaultRoute && m_defaultRoute());
}

QString NetworkState::holdStatus() const
{
    if (down())
        return QStringLiteral("  Network down: will check when it is back.");
    if (m_portal)
        return QStringLiteral("  Captive portal: will check after you sign in.");
    if (waiting())
        return QStringLiteral("  Waiting for the network to come back...");
    return QString();
}

void NetworkState::setReachability(Reachability reachability)
{
    const bool wasUp = up();
    // Down, then Unknown: NetworkManager is connecting. Give it a while before the checks
    // go ahead as they would without it.
    if (m_reachability == Reachability::Disconnected && reachability == Reachability::Unknown)
        m_waitUntil = m_ticks.now() + WaitMs;
    m_reachability = reachability;
    changed(wasUp);
}

void NetworkState::setBehindPortal(bool portal)
{
    const bool wasUp = up();
    m_portal = portal;
    changed(wasUp);
}

void NetworkState::resumed()
{
    // Mail may have come while the machine slept: check once the network is back, due or not.
    m_owed = true;
    m_waitUntil = m_ticks.now() + WaitMs;
    if (up()) {
        // The network never said it went away; still give it a moment.
        m_armed = true;
        m_upSince = m_ticks.now();
    }
    changed(up());
}

void NetworkState::changed(bool wasUp)
{
    if (up() && !wasUp) {
        m_upSince = m_ticks.now();
        m_waitUntil = -1;
        if (m_owed || m_lastFailed)
            m_armed = true;
    }
    rearm();
}

void NetworkState::checkHeld()
{
    m_owed = true;
    rearm();
}

void NetworkState::checkEnded(bool succeeded)
{
    const bool away = !holdStatus().isEmpty();
    m_lastFailed = !succeeded;
    // Failed because the network went away meanwhile: owed again when it is back.
    m_owed = !succeeded && away;
    if (!succeeded && m_asked)
        m_retryNotBefore = m_ticks.now() + RetryMs;
    m_asked = false;
    m_armed = false;
    if (!away)
        m_waitUntil = -1;
    rearm();
}

qint64 NetworkState::wantedAt() const
{
    if (m_armed && up())
        return std::max(m_upSince + SettleMs, m_retryNotBefore);
    // The network still says nothing when the wait is over: check as without a backend.
    if (m_owed && m_waitUntil >= 0 && m_reachability == Reachability::Unknown && !m_portal)
        return m_waitUntil;
    return -1;
}

void NetworkState::wake()
{
    const qint64 at = wantedAt();
    if (at < 0)
        return;
    if (m_ticks.now() < at) {
        rearm();
        return;
    }
    m_armed = false;
    m_waitUntil = -1;
    m_asked = true;
    Q_EMIT checkWanted();
    rearm();
}

void NetworkState::rearm()
{
    const qint64 at = wantedAt();
    if (at < 0) {
        m_timer.stop();
        return;
    }
    constexpr qint64 Day = 86400000;
    m_timer.start(int(std::clamp<qint64>(at - m_ticks.now(), 0, Day)));
}
