#include "TrayIcon.h"

#include "StatusNotifierItem.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>

TrayIcon::TrayIcon(Kind kind, const QIcon &icon, const QString &toolTip, QObject *parent)
    : QObject(parent)
    , m_kind(kind)
    , m_toolTip(toolTip)
{
    if (kind == Kind::StatusNotifierItem) {
        makeItem(icon);
    } else if (kind == Kind::XEmbed) {
        m_embedded = new QSystemTrayIcon(icon, this);
        m_embedded->setToolTip(toolTip);
        connect(m_embedded, &QSystemTrayIcon::activated, this, &TrayIcon::activated);
        m_embedded->show();
        if (qtMadeItsOwnItem()) {
            delete m_embedded;
            m_kind = Kind::StatusNotifierItem;
            makeItem(icon);
        }
    }
}

void TrayIcon::makeItem(const QIcon &icon)
{
    m_item = new StatusNotifierItem(icon, m_toolTip, this);
    m_item->activated = [this](QSystemTrayIcon::ActivationReason reason) {
        Q_EMIT activated(reason);
    };
}

bool TrayIcon::qtMadeItsOwnItem()
{
    // Qt 6.4 asks the bus itself, once, at its first tray icon, whether a StatusNotifierItem
    // host is there, and then makes an item instead of an embedded icon; its item owns a name
    // of this process. An embedded icon is asked for only when the bus had no host, but one
    // may have registered in the meantime.
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    const QString ours =
        QStringLiteral("org.kde.StatusNotifierItem-%1-").arg(QCoreApplication::applicationPid());
    const QStringList names = bus.interface()->registeredServiceNames().value();
    return std::any_of(names.begin(), names.end(),
                       [&](const QString &name) { return name.startsWith(ours); });
}

void TrayIcon::setMenu(QList<TrayMenu::Entry> entries)
{
    if (m_item)
        m_item->menu()->setEntries(std::move(entries));
}

void TrayIcon::menuChanged()
{
    if (m_item)
        m_item->menu()->refresh();
}

void TrayIcon::watcherStarted()
{
    if (m_item)
        m_item->registerWithWatcher();
}

void TrayIcon::hostAppeared()
{
    if (m_item)
        m_item->announce();
}
