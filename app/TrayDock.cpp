#include "TrayDock.h"

#include "TrayWatcher.h"

TrayDock::TrayDock(QObject *parent)
    : QObject(parent)
    , m_watcher(new TrayWatcher(this))
{
    m_settle.setSingleShot(true);
    m_grace.setSingleShot(true);
    m_grace.setInterval(GraceMs);
    connect(m_watcher, &TrayWatcher::changed, this, &TrayDock::update);
    connect(m_watcher, &TrayWatcher::watcherStarted, this, [this] {
        if (m_icon)
            m_icon->watcherStarted();
    });
    connect(&m_settle, &QTimer::timeout, this, [this] {
        if (m_kind || !offered())
            return;
        m_ready = true;
        Q_EMIT trayReady();
    });
    connect(&m_grace, &QTimer::timeout, this, [this] {
        if (!showsIcon())
            Q_EMIT trayLost();
    });
    update();
}

TrayDock::TrayDock(std::function<bool()> standIn, QObject *parent)
    : QObject(parent)
    , m_standIn(std::move(standIn))
{
}

std::optional<TrayIcon::Kind> TrayDock::offered() const
{
    if (m_watcher->statusNotifierHost())
        return TrayIcon::Kind::StatusNotifierItem;
    // Not before the bus has answered: a host may be there.
    if (m_watcher->xembedTray() && m_watcher->bus() != TrayWatcher::Bus::Unknown)
        return TrayIcon::Kind::XEmbed;
    return std::nullopt;
}

bool TrayDock::shows(TrayIcon::Kind kind) const
{
    switch (kind) {
    case TrayIcon::Kind::StatusNotifierItem:
        return m_watcher->statusNotifierHost();
    case TrayIcon::Kind::XEmbed:
        return m_watcher->xembedTray();
    case TrayIcon::Kind::StandIn:
        break;
    }
    return m_standIn && m_standIn();
}

bool TrayDock::ready() const
{
    return m_standIn ? m_standIn() : m_ready && offered();
}

TrayIcon *TrayDock::addIcon(const QIcon &icon, const QString &toolTip, QObject *parent)
{
    if (m_kind || !ready())
        return nullptr;
    m_settle.stop();
    m_icon = new TrayIcon(m_standIn ? TrayIcon::Kind::StandIn : *offered(), icon, toolTip, parent);
    // What exists, which is not always what was asked for.
    m_kind = m_icon->kind();
    m_shown = showsIcon();
    if (!m_shown && !m_standIn)
        m_grace.start();
    return m_icon;
}

bool TrayDock::showsIcon() const
{
    return m_kind && shows(*m_kind);
}

void TrayDock::update()
{
    if (m_kind) {
        const bool shown = showsIcon();
        if (shown) {
            m_grace.stop();
            if (!m_shown && m_icon)
                m_icon->hostAppeared();
        } else if (!m_grace.isActive()) {
            m_grace.start();
        }
        m_shown = shown;
        return;
    }
    const bool firstAnswer = !m_answered && m_watcher->bus() != TrayWatcher::Bus::Unknown;
    m_answered = m_answered || firstAnswer;
    const std::optional<TrayIcon::Kind> offer = offered();
    if (!offer) {
        // Gone again before the icon was made; an XEmbed tray with the bus's answer still on
        // its way waits for that answer.
        if (!m_watcher->xembedTray()) {
            m_settle.stop();
            m_ready = false;
        }
        return;
    }
    // A host, or an XEmbed tray that was there before the program with no watcher on the
    // bus: nothing better can come, and the icon can go in at once.
    if (*offer == TrayIcon::Kind::StatusNotifierItem ||
        (firstAnswer && !m_watcher->statusNotifierWatcher())) {
        m_settle.stop();
        m_ready = true;
        Q_EMIT trayReady();
        return;
    }
    // KDE Plasma at a login: its watcher (in kded) is there at once, the host registers when
    // plasmashell's panel is up, and the XEmbed proxy may be quicker than both.
    const int settle = m_watcher->statusNotifierWatcher() ? HostDueMs : SettleMs;
    if (!m_ready && (!m_settle.isActive() || m_settle.interval() != settle))
        m_settle.start(settle);
}
