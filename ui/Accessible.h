#pragma once

// What assistive technology (a screen reader, through AT-SPI) learns of the program's own
// kinds of control beyond what Qt tells of a widget: the command labels are buttons it can
// press, and the notification window is a notification.
namespace Accessible {

// Registers the program's accessible interfaces with Qt; once is enough, more does nothing.
void install();

} // namespace Accessible
