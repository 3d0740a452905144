#pragma once

// Which kind of tray host shows the icon. An XEmbed tray (the classic X11 system tray)
// reports a left double-click as such. A StatusNotifierItem host (KDE Plasma, GNOME with
// the AppIndicator extension, most Wayland desktops) only reports single activations, so
// there a single left click has to do what the double-click does.
namespace TrayHost {
bool reportsOnlySingleClicks();
} // namespace TrayHost
