#pragma once

class QPoint;
class QWidget;

namespace Module1 {

// Puts a window into the always-on-top layer without moving, resizing or showing it, and
// raises it there. It never activates the window: the keyboard stays with the window the
// user is typing in, of this program or another. Where the user asked for the window (a
// click on it, the tray's restore), the caller or the click gives it the keyboard.
void keepOnTop(QWidget *window);

// Starts an interactive move of the window; called from a mouse-press handler with any
// button held. The window follows the pointer until the button is released.
void dragForm(QWidget *window);
// The same, for a press whose screen position is known (the pointer may have moved on).
void dragForm(QWidget *window, const QPoint &pressedAt);

} // namespace Module1
