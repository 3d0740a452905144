#include "TrayChoice.h"

#include "DesktopTrays.h"
#include "QtTrayProbe.h"
#include "TrayBus.h"

TrayChoice::TrayChoice(QObject *parent)
    : QObject(parent)
    , m_trays(new DesktopTrays(this))
{
    m_settle.setSingleShot(true);
    m_grace.setSingleShot(true);
    m_grace.setInterval(TrayBus::GraceMs);
    connect(m_trays, &DesktopTrays::changed, this, &TrayChoice::update);
    connect(m_trays, &DesktopTrays::watcherStarted, this, &TrayChoice::watcherStarted);
    connect(&QtTrayProbe::instance(), &QtTrayProbe::answered, this, &TrayChoice::update);
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

TrayChoice::TrayChoice(std::function<bool()> standIn, QObject *parent)
    : QObject(parent)
    , m_standIn(std::move(standIn))
{
}

std::optional<TrayIcon::Kind> TrayChoice::offered() const
{
    if (m_trays->statusNotifierHost())
        return TrayIcon::Kind::StatusNotifierItem;
    // Not before the bus has answered (a host may be there), nor before Qt knows how it
    // makes its icons.
    if (m_trays->xembedTray() && m_trays->bus() != DesktopTrays::Bus::Unknown &&
        QtTrayProbe::instance().answer() != QtTrayProbe::Answer::Unknown)
        return TrayIcon::Kind::XEmbed;
    return std::nullopt;
}

bool TrayChoice::shows(TrayIcon::Kind kind) const
{
    switch (kind) {
    case TrayIcon::Kind::StatusNotifierItem:
        return m_trays->statusNotifierHost();
    case TrayIcon::Kind::XEmbed:
        return m_trays->xembedTray();
    case TrayIcon::Kind::StandIn:
        break;
    }
    return m_standIn && m_standIn();
}

std::optional<TrayIcon::Kind> TrayChoice::kindToMake() const
{
    if (m_kind)
        return std::nullopt;
    if (m_standIn)
        return m_standIn() ? std::optional(TrayIcon::Kind::StandIn) : std::nullopt;
    return m_ready ? offered() : std::nullopt;
}

void TrayChoice::made(TrayIcon::Kind kind)
{
    m_settle.stop();
    m_kind = kind;
    m_shown = showsIcon();
    if (!m_shown && !m_standIn)
        m_grace.start();
}

bool TrayChoice::showsIcon() const
{
    return m_kind && shows(*m_kind);
}

void TrayChoice::update()
{
    if (m_kind) {
        const bool shown = showsIcon();
        if (shown) {
            m_grace.stop();
            if (!m_shown && m_kind == TrayIcon::Kind::StatusNotifierItem)
                Q_EMIT hostBack();
        } else if (!m_grace.isActive()) {
            m_grace.start();
        }
        m_shown = shown;
        return;
    }
    // Qt decides how it makes tray icons while nothing waits for it.
    if (m_trays->xembedTray())
        QtTrayProbe::instance().start();
    if (!m_answered && m_trays->bus() != DesktopTrays::Bus::Unknown) {
        m_answered = true;
        m_trayFirst = m_trays->xembedTray();
    }
    const std::optional<TrayIcon::Kind> offer = offered();
    if (!offer) {
        // Gone again before the icon was made; an XEmbed tray with the bus's or Qt's answer
        // still on its way waits for that answer.
        if (!m_trays->xembedTray()) {
            m_settle.stop();
            m_ready = false;
            m_trayFirst = false;
        }
        return;
    }
    // A host, or an XEmbed tray that was there when the bus first answered, with no watcher
    // on the bus: nothing better can come, and the icon can go in at once.
    if (*offer == TrayIcon::Kind::StatusNotifierItem ||
        (m_trayFirst && !m_trays->statusNotifierWatcher())) {
        m_settle.stop();
        m_ready = true;
        Q_EMIT trayReady();
        return;
    }
    // KDE Plasma at a login: its watcher (in kded) is there at once, the host registers when
    // plasmashell's panel is up, and the XEmbed proxy may be quicker than both.
    const int settle = m_trays->statusNotifierWatcher() ? TrayBus::HostDueMs : TrayBus::SettleMs;
    if (!m_ready && (!m_settle.isActive() || m_settle.interval() != settle))
        m_settle.start(settle);
}
