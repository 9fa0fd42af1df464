// The system-tray icon. Where menus live inside windows, the application's
// menu bar would be out of reach once the window is closed; when the desktop
// has a tray, the framework shows an icon there whose menu (opened by either
// mouse button) offers the items of the application's menu bar that can act
// with no window in front: About and Quit, not the editing items.
//
// The tray is watched on a slow timer: a tray host that starts after the
// program, or starts again after it ended, gets the icon. Without a tray
// nothing shows.
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
