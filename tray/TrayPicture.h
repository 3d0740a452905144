#pragma once

#include <QIcon>
#include <QImage>
#include <QList>

// The tray icon's picture: the program's own, or the same with the new-mail mark, a red badge
// in its lower right corner holding the number of new messages ("1" to "99", then "99+"),
// drawn for each size a panel asks for rather than scaled, so it stays sharp and the number
// stays readable down to 16 pixels.
namespace TrayPicture {

// The sizes the picture is drawn at: what panels draw, from 16 to 64 pixels.
QList<int> sizes();
// The picture with `marked` new messages; the plain program icon for 0.
QIcon icon(qint64 marked);
// One size of it.
QImage image(int size, qint64 marked);

} // namespace TrayPicture
