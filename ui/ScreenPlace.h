#pragma once

#include <QList>
#include <QPoint>
#include <QRect>

class QWidget;

// Where a window goes among the screens: the main window's place in the layout is measured
// from the top-left of the primary screen's available area (as the other windows are centred
// on the primary screen), and a window never stays where it straddles two screens or lies
// off every screen.
namespace ScreenPlace {

struct Screen {
    QRect geometry;  // the whole screen
    QRect available; // without panels and docks
};

// `window` moved by as little as it takes to lie wholly on one screen: unchanged when it
// already does; else inside the available area of the screen that holds most of it; a window
// on no screen at all goes to `home` on the primary screen, moved inside it likewise. A
// window larger than an area keeps its top-left corner in it.
QPoint kept(const QRect &window, const QList<Screen> &screens, const Screen &primary,
            const QPoint &home);

// The screens as they are now; the primary one first.
QList<Screen> screens();

// Places `window` at `offset` from the top-left of the primary screen's available area, and
// keeps it wholly on one screen whenever it is shown and whenever the screens change.
void keep(QWidget *window, const QPoint &offset);

} // namespace ScreenPlace
