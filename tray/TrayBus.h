#pragma once

#include <QString>

// The names the tray speaks on the session bus, and how long it waits for what.
namespace TrayBus {

// The desktop's StatusNotifierWatcher: KDE's kded, GNOME's AppIndicator extension, or a
// panel that holds it itself (xfce4-panel, LXQt, waybar).
inline const QString WatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
inline const QString WatcherPath = QStringLiteral("/StatusNotifierWatcher");
inline const QString WatcherInterface = QStringLiteral("org.kde.StatusNotifierWatcher");
// Our item and its menu, on the program's own connection.
inline const QString ItemInterface = QStringLiteral("org.kde.StatusNotifierItem");
inline const QString ItemPath = QStringLiteral("/StatusNotifierItem");
inline const QString MenuInterface = QStringLiteral("com.canonical.dbusmenu");
inline const QString MenuPath = QStringLiteral("/MenuBar");
inline const QString Properties = QStringLiteral("org.freedesktop.DBus.Properties");

// How long a question to the watcher waits for its answer at first, and at most when it is
// asked again after it did not answer in time.
constexpr int AnswerMs = 5000;
constexpr int LongestAnswerMs = 80000;
// An XEmbed tray waits this long for a StatusNotifierItem host that may follow it, and this
// long when a watcher already says its host is on the way.
constexpr int SettleMs = 1000;
constexpr int HostDueMs = 10000;
// A tray that showed the icon and went is given this long to come back.
constexpr int GraceMs = 4000;

} // namespace TrayBus
