#pragma once

#include "NewMailMark.h"

#include <QObject>
#include <QPointer>
#include <functional>

class TrayChoice;
class TrayIcon;

// The program's place in the desktop's tray: the icon, made once a tray is there to take it
// and of the kind that tray takes, its menu, and its picture with the new-mail mark. The main
// window asks it for the icon and tells it what the user has seen; it tells the main window
// what the user asked for on the icon or in its menu, by name.
class Tray : public QObject {
    Q_OBJECT
public:
    // Watches the desktop's trays.
    explicit Tray(QObject *parent = nullptr);
    // Stands in for the desktop's trays: whether one is there to show the icon, at every
    // question; the icon is then only the signal.
    explicit Tray(std::function<bool()> standIn, QObject *parent = nullptr);

    // Makes the icon with this tooltip once a tray is there for it (`ready` says when);
    // nothing when the icon exists or was removed. True when the icon exists.
    bool add(const QString &toolTip);
    // Removes the icon for good: a tray that comes after this gets none.
    void remove();

    TrayIcon *icon() const { return m_icon; }
    // The tray that shows the icon is there.
    bool showsIcon() const;
    // The number the new-mail mark shows; 0 without a mark.
    qint64 marked() const { return m_mark.marked(); }

public Q_SLOTS:
    // Whether the main window is on screen, for the menu's "Show" or "Hide".
    void setWindowShown(bool shown);
    // The mailbox's count after a successful check that changed it.
    void counted(qint64 count);
    // The user has looked at what came: the plain icon returns.
    void userLooked();

Q_SIGNALS:
    // A tray came: the icon can be added now.
    void ready();
    // The tray that showed the icon has been away longer than a short grace.
    void lost();
    // What the user asked for: a double-click on the icon (a host's activation), the menu's
    // first entry; "Check Now"; a right-click or "About Morvex"; "Exit Morvex…".
    void showOrHide();
    void checkNow();
    void about();
    void exit();

private:
    void connectChoice();
    void iconActivated(int reason);
    void showMark();

    TrayChoice *m_choice;
    QPointer<TrayIcon> m_icon;
    NewMailMark m_mark;
    qint64 m_shownMark = 0; // the number the icon's picture shows
    bool m_windowShown = true;
    bool m_removed = false;
};
