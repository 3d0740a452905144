#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

// The program's pictures, painted in code so they stay crisp at any scale. Sizes are in
// device-independent pixels; dpr is the screen's device pixel ratio.

// The window and tray icon: an exclamation mark on an orange starburst.
QIcon morvexIcon();
QPixmap iconPixmap(int size, qreal dpr = 1.0);

// The main window's 36 x 193 banner: name and version written bottom to top on grey.
QPixmap bannerPicture(qreal dpr = 1.0);

// "Check Now": a closed envelope, and an opened letter shown while a check runs.
QPixmap envelopeClosed(qreal dpr = 1.0);
QPixmap envelopeOpen(qreal dpr = 1.0);

// The About window's 203 x 85 picture: name, version, author credit and web address.
QPixmap aboutPicture(qreal dpr = 1.0);

// The program's web address, shown on the About picture and the notification window.
QString webAddress();
