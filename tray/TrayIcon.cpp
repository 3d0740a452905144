#include "TrayIcon.h"

#include "QtTrayProbe.h"
#include "StatusNotifierItem.h"

TrayIcon::TrayIcon(Kind kind, const QIcon &picture, const QString &toolTip, QObject *parent)
    : QObject(parent)
    , m_kind(kind)
    , m_toolTip(toolTip)
    , m_picture(picture)
{
    // Qt's own item would ask the watcher and wait for it at every turn, and has no menu of
    // ours: where Qt would make one, the icon is our item.
    if (m_kind == Kind::XEmbed && QtTrayProbe::instance().answer() != QtTrayProbe::Answer::Embedded)
        m_kind = Kind::StatusNotifierItem;
    if (m_kind == Kind::StatusNotifierItem) {
        makeItem();
    } else if (m_kind == Kind::XEmbed) {
        m_embedded = new QSystemTrayIcon(picture, this);
        m_embedded->setToolTip(toolTip);
        connect(m_embedded, &QSystemTrayIcon::activated, this, &TrayIcon::activated);
        m_embedded->show();
    }
}

void TrayIcon::makeItem()
{
    m_item = new StatusNotifierItem(m_picture, m_toolTip, this);
    m_item->activated = [this](QSystemTrayIcon::ActivationReason reason) {
        Q_EMIT activated(reason);
    };
}

void TrayIcon::setPicture(const QIcon &picture, bool attention)
{
    m_picture = picture;
    m_attention = attention;
    if (m_item)
        m_item->setPicture(picture, attention);
    if (m_embedded)
        m_embedded->setIcon(picture);
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
