#pragma once

#include <QColor>
#include <QIcon>
#include <QList>
#include <QPixmap>
#include <QPolygonF>
#include <QString>

// The program's pictures, painted in code so they stay crisp at any scale. Sizes are in
// device-independent pixels; dpr is the screen's device pixel ratio.

// The window and tray icon: an exclamation mark on an orange starburst, drawn once for the
// whole run; every call returns the same icon.
QIcon morvexIcon();
QPixmap iconPixmap(int size, qreal dpr = 1.0);
// The sizes the icon is drawn at for the window and tray icon and for the icon theme.
QList<int> iconThemeSizes();

// The icon's shapes on a size x size canvas. The painter draws from this, and so does the
// scalable copy of the icon written for the desktop's icon theme, so both look the same.
struct IconGeometry {
    QPolygonF star; // the starburst, outlined and filled with a radial glow
    QPointF centre; // the glow's centre: glowInner there, glowOuter at glowRadius
    qreal glowRadius;
    qreal outlineWidth; // the outline is drawn with bevelled joins
    QPolygonF bar;      // the exclamation mark's bar and dot, filled with mark
    QPointF dot;
    qreal dotRadius;
    QColor glowInner;
    QColor glowOuter;
    QColor outline;
    QColor mark;
};
IconGeometry iconGeometry(int size);

// The main window's 36 x 193 banner: name and version written bottom to top on grey.
QPixmap bannerPicture(qreal dpr = 1.0);

// "Check Now": a closed envelope, and an opened letter shown while a check runs.
QPixmap envelopeClosed(qreal dpr = 1.0);
QPixmap envelopeOpen(qreal dpr = 1.0);

// The About window's 203 x 85 picture: name, version, author credit and web address.
QPixmap aboutPicture(qreal dpr = 1.0);

// The program's web address, shown on the About picture and the notification window.
QString webAddress();
