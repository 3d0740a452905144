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
    connect(&m_settle, &QTimer::timeout, this, [this] {
        if (m_kind != Kind::None || !(present(Kind::XEmbed) || present(Kind::StatusNotifierItem)))
            return;
        m_ready = true;
        Q_EMIT trayReady();
    });
    connect(&m_grace, &QTimer::timeout, this, [this] {
        if (!showsIcon())
            Q_EMIT trayLost();
    });
    // An XEmbed tray that was there before the program, with no watcher on the bus: no
    // host is on its way, and the icon can go in at once.
    if (present(Kind::XEmbed) && !m_watcher->statusNotifierWatcher())
        m_ready = true;
    else
        update();
}

TrayDock::TrayDock(std::function<bool()> standIn, QObject *parent)
    : QObject(parent)
    , m_standIn(std::move(standIn))
{
}

bool TrayDock::present(Kind kind) const
{
    switch (kind) {
    case Kind::StatusNotifierItem:
        return m_watcher->statusNotifierHost();
    case Kind::XEmbed:
        return m_watcher->xembedTray();
    case Kind::None:
        break;
    }
    return false;
}

bool TrayDock::ready() const
{
    return m_standIn ? m_standIn() : m_ready;
}

void TrayDock::iconAdded()
{
    if (m_standIn || m_kind != Kind::None)
        return;
    // Qt reads the same answer of the watcher at this moment.
    m_kind = present(Kind::StatusNotifierItem) ? Kind::StatusNotifierItem : Kind::XEmbed;
}

bool TrayDock::showsIcon() const
{
    return m_standIn ? m_standIn() : present(m_kind);
}

void TrayDock::update()
{
    if (m_kind != Kind::None) {
        if (showsIcon())
            m_grace.stop();
        else if (!m_grace.isActive())
            m_grace.start();
        return;
    }
    if (present(Kind::StatusNotifierItem)) {
        // Nothing better can come.
        m_settle.stop();
        m_ready = true;
        Q_EMIT trayReady();
    } else if (present(Kind::XEmbed)) {
        // KDE Plasma at a login: its watcher (in kded) is there at once, the host registers
        // when plasmashell's panel is up, and the XEmbed proxy may be quicker than both.
        const int settle = m_watcher->statusNotifierWatcher() ? HostDueMs : SettleMs;
        if (!m_ready && (!m_settle.isActive() || m_settle.interval() != settle))
            m_settle.start(settle);
    } else {
        // Gone again before the icon was made.
        m_settle.stop();
        m_ready = false;
    }
}
