#pragma once

#include "TrayMenu.h"

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

class StatusNotifierItem;

// The program's tray icon, of the kind the desktop's tray takes: an item on the session bus
// for a StatusNotifierItem host, with a menu beside it; Qt's embedded icon for an XEmbed tray;
// or, where a test stands in for the tray, nothing but the signal. Whatever the kind, the
// user's actions arrive as `activated`: an XEmbed tray reports the press of each click
// (Trigger), double-clicks and right-clicks; a StatusNotifierItem host reports its single
// activation as Trigger and a request for a context menu as Context.
class TrayIcon : public QObject {
    Q_OBJECT
public:
    enum class Kind { StandIn, StatusNotifierItem, XEmbed };

    TrayIcon(Kind kind, const QIcon &picture, const QString &toolTip, QObject *parent = nullptr);

    // The kind of icon that exists: where Qt makes items of its own instead of embedded
    // icons, an embedded icon asked for is an item of ours.
    Kind kind() const { return m_kind; }
    QString toolTip() const { return m_toolTip; }
    QIcon picture() const { return m_picture; }
    bool attention() const { return m_attention; }

    // Another picture; `attention` while it carries news for the user (a host is told that
    // the item needs attention, and shows the same picture).
    void setPicture(const QIcon &picture, bool attention);
    // The menu a StatusNotifierItem host opens; an XEmbed tray shows none.
    void setMenu(QList<TrayMenu::Entry> entries);
    // A label of the menu may have changed.
    void menuChanged();
    // The tray came back: a watcher that has just started knows no item, and a host that has
    // just appeared may wait to be told of the icon.
    void watcherStarted();
    void hostAppeared();

Q_SIGNALS:
    void activated(QSystemTrayIcon::ActivationReason reason);

private:
    void makeItem();

    Kind m_kind;
    QString m_toolTip;
    QIcon m_picture;
    bool m_attention = false;
    QPointer<QSystemTrayIcon> m_embedded;
    StatusNotifierItem *m_item = nullptr;
};
