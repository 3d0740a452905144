#pragma once

#include <QList>
#include <QRect>
#include <QString>
#include <QStringList>

#include <functional>

// The X server as a user's tools see it: xdotool for the mouse and keyboard, xwininfo for
// the window tree, ImageMagick's import for screenshots. Every call is bounded in time.
namespace XTools {

// True when the tests run on an X server (scripts/with-x sets DISPLAY).
bool available();
// True when a tray host owns the display's system tray (scripts/with-x sets MORVEX_TRAY=1).
bool trayHost();
// True when a window manager runs on the display (scripts/with-x sets MORVEX_WM=1).
bool windowManager();

// Runs a program to its end (at most timeoutMs) and returns its standard output.
QString run(const QString &program, const QStringList &arguments, int timeoutMs = 5000);

// Top-level windows, topmost first, as X stacks them (with a window manager: the windows it
// manages, not its frames).
QList<quint64> stackingOrder();
// Windows named `name` embedded in the tray host's panel.
QList<quint64> trayIcons(const QString &name);
// How many icons named `name` the tray holds, once that is `count` or timeoutMs has passed.
int waitForTrayIcons(const QString &name, int count, int timeoutMs = 5000);
// The on-screen rectangle of a window.
QRect geometry(quint64 window);
// The _NET_WM_STATE atoms a window manager has set on a window (_NET_WM_STATE_ABOVE …).
QStringList netWmState(quint64 window);
// Whether a window is mapped and viewable.
bool viewable(quint64 window);
// Windows whose WM_NAME is exactly `name`.
QList<quint64> windowsNamed(const QString &name);

void click(const QPoint &at, int button = 1, int repeat = 1);
void clickWindow(quint64 window, int button = 1, int repeat = 1);
void key(const QString &keys);
// Presses `button` at `from`, moves to `to` in a few steps and holds the button there, stirring
// the pointer by a pixel, until `arrived` holds (at most 3 s): a window manager that takes the
// move only after the first motion still sees the pointer's last position.
void drag(const QPoint &from, const QPoint &to, int button,
          const std::function<bool()> &arrived = {});
void moveMouse(const QPoint &to);

// Saves what the screen shows inside `area` as a PNG in the test artefacts directory.
QString screenshot(const QString &name, const QRect &area);

} // namespace XTools
