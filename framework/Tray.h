// The system-tray icon. Where menus live inside windows, the application's
// menu bar would be out of reach once the window is closed; when the desktop
// has a tray, the framework shows an icon there whose menu offers the items
// of the application's menu bar that can act with no window in front: About
// and Quit, not the editing items.
//
// Two kinds of tray: a StatusNotifier host on the session bus (KDE Plasma,
// GNOME's AppIndicator extension, waybar...; X11 and Wayland), which gets a
// StatusNotifier item with the menu (a left click on it shows the main
// window, as About does), and, on X11 when no StatusNotifier watcher runs, an
// XEmbed tray (_NET_SYSTEM_TRAY_S<n>), which docks a Qt tray icon (either
// mouse button opens the menu). A tray host that starts after the program, or
// starts again after it ended, gets the icon. Nothing polls: the X11 tray
// host's announcement and the watcher's name on the session bus tell of a
// host. Without a tray nothing shows.
#pragma once

#include "Menu.h"

// Shows (or updates) the tray icon for the application's menu bar, now if
// the desktop has a tray, else as soon as one appears; a nil bar removes the
// icon. Does nothing when no Qt application runs.
void TrayShowMenuBar(const Ref<MenuBar>& bar);

// Whether the tray icon is showing.
bool TrayIsShowing();

// Removes the icon, its menu and the watch; the runtime calls it before the
// Qt application goes.
void TrayShutdown();
