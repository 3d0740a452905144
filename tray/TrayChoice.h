#pragma once

#include "TrayIcon.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <optional>

class DesktopTrays;

// When the tray icon can be added, of which kind, and whether the tray that shows it is
// still there.
//
// The icon can be added when a StatusNotifierItem host is there (an item on the bus, ours),
// or a moment after an XEmbed tray came, in case a host follows (a desktop that offers both,
// as KDE Plasma does, shows a proper item, and only a blurred copy through its XEmbed proxy);
// when a watcher is on the bus with no host yet, its panel is on the way, and the XEmbed tray
// waits longer for it. Nothing is decided before the bus has answered, nor, for an XEmbed
// tray, before Qt has decided how it makes its tray icons (QtTrayProbe). Once the icon is
// made, the choice follows the kind that exists: a tray of that kind that restarts is
// reported back, one that stays away longer than a short grace is reported lost.
class TrayChoice : public QObject {
    Q_OBJECT
public:
    // Watches the desktop's trays.
    explicit TrayChoice(QObject *parent = nullptr);
    // Stands in for the desktop: the function says whether a tray is there, at every
    // question; it never reports a change on its own.
    explicit TrayChoice(std::function<bool()> standIn, QObject *parent = nullptr);

    // The kind of icon to make now, or none while no tray is there to take it.
    std::optional<TrayIcon::Kind> kindToMake() const;
    // The icon was made, of this kind (not always the kind asked for).
    void made(TrayIcon::Kind kind);
    // The tray that shows the icon is there (false before the icon exists).
    bool showsIcon() const;

Q_SIGNALS:
    // A tray came: the icon can be added now.
    void trayReady();
    // The tray that showed the icon has been away longer than the grace.
    void trayLost();
    // The icon's StatusNotifierItem host is back after it went: it may wait to be told of
    // the icon.
    void hostBack();
    // A watcher has taken the name on the bus (a panel or shell started or restarted): it
    // knows no item yet.
    void watcherStarted();

private:
    void update();
    std::optional<TrayIcon::Kind> offered() const;
    bool shows(TrayIcon::Kind kind) const;

    std::function<bool()> m_standIn;
    DesktopTrays *m_trays = nullptr;
    QTimer m_settle;
    QTimer m_grace;
    std::optional<TrayIcon::Kind> m_kind;
    bool m_ready = false;
    bool m_answered = false;  // the bus has answered once
    bool m_trayFirst = false; // an XEmbed tray was there at that answer, and stayed
    bool m_shown = false;     // the icon's tray was there at the last look
};
