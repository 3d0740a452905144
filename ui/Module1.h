#pragma once

class QPoint;
class QWidget;

namespace Module1 {

// Puts a window into the always-on-top layer without moving, resizing or showing it, and
// raises it there. It is activated only when the program already has the active window,
// so it never takes the keyboard from another application.
void keepOnTop(QWidget *window);

// Starts an interactive move of the window; called from a mouse-press handler with any
// button held. The window follows the pointer until the button is released.
void dragForm(QWidget *window);
// The same, for a press whose screen position is known (the pointer may have moved on).
void dragForm(QWidget *window, const QPoint &pressedAt);

} // namespace Module1
