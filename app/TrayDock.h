#pragma once

#include <QObject>
#include <QTimer>
#include <functional>

class TrayWatcher;

// When the tray icon can be added, and whether the tray that shows it is still there.
//
// Qt 6.4 picks the kind of tray icon (StatusNotifierItem over D-Bus, or XEmbed) once per
// process, when it is first asked about trays; a tray that turns up later is never used. So
// nothing asks Qt before a tray is there: the icon is added when a StatusNotifierItem host
// is there, or a moment after an XEmbed tray came, in case a host follows (a desktop that
// offers both, as KDE Plasma does, shows a proper item, and only a blurred copy through its
// XEmbed proxy); when a watcher is on the bus with no host yet, its panel is on the way, and
// the XEmbed tray waits longer for it. Once the icon exists, Qt moves it to a restarted tray of the
// same kind by itself; a tray of that kind that stays away longer than a short grace is reported.
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
    // The icon has just been made: it lives in the tray kind that is there now.
    void iconAdded();
    // The tray that shows the icon is there (false before the icon exists).
    bool showsIcon() const;

Q_SIGNALS:
    // A tray came: the icon can be added now.
    void trayReady();
    // The tray that showed the icon has been away longer than the grace.
    void trayLost();

private:
    enum class Kind { None, StatusNotifierItem, XEmbed };
    void update();
    bool present(Kind kind) const;

    std::function<bool()> m_standIn;
    TrayWatcher *m_watcher = nullptr;
    QTimer m_settle;
    QTimer m_grace;
    Kind m_kind = Kind::None;
    bool m_ready = false;
};
