#pragma once

#include "TrayIcon.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <optional>

class TrayWatcher;

// When the tray icon can be added, of which kind, and whether the tray that shows it is
// still there.
//
// The icon is added when a StatusNotifierItem host is there (an item on the bus, ours), or a
// moment after an XEmbed tray came, in case a host follows (a desktop that offers both, as
// KDE Plasma does, shows a proper item, and only a blurred copy through its XEmbed proxy);
// when a watcher is on the bus with no host yet, its panel is on the way, and the XEmbed tray
// waits longer for it. Nothing is decided before the bus has answered. The dock makes the
// icon itself and follows the kind that exists from then on: a tray of that kind that
// restarts gets the icon again, one that stays away longer than a short grace is reported.
class TrayDock : public QObject {
    Q_OBJECT
public:
    static constexpr int SettleMs = 1000;
    static constexpr int HostDueMs = 10000;
    static constexpr int GraceMs = 4000;

    // Watches the desktop's trays.
    explicit TrayDock(QObject *parent = nullptr);
    // Stands in for the desktop: the function says whether a tray is there, at every
    // question; it never reports a change on its own.
    explicit TrayDock(std::function<bool()> standIn, QObject *parent = nullptr);

    // A tray is there to take the icon now.
    bool ready() const;
    // Makes the icon for the tray that is there now (null when none is).
    TrayIcon *addIcon(const QIcon &icon, const QString &toolTip, QObject *parent);
    // The tray that shows the icon is there (false before the icon exists).
    bool showsIcon() const;

Q_SIGNALS:
    // A tray came: the icon can be added now.
    void trayReady();
    // The tray that showed the icon has been away longer than the grace.
    void trayLost();

private:
    void update();
    std::optional<TrayIcon::Kind> offered() const;
    bool shows(TrayIcon::Kind kind) const;

    std::function<bool()> m_standIn;
    TrayWatcher *m_watcher = nullptr;
    QTimer m_settle;
    QTimer m_grace;
    std::optional<TrayIcon::Kind> m_kind;
    QPointer<TrayIcon> m_icon;
    bool m_ready = false;
    bool m_answered = false; // the bus has answered once
    bool m_shown = false;    // the icon's tray was there at the last look
};
