// The system-tray icon. Where menus live inside windows, the application's
// menu bar would be out of reach once the window is closed; when the desktop
// has a tray, the framework shows an icon there whose menu offers the
// application menu bar's menus. Without a tray it shows nothing.
#pragma once

#include "Menu.h"

// Shows (or updates) the tray icon for the application's menu bar; a nil bar
// removes the icon. Does nothing when the desktop has no tray or no Qt
// application runs.
void TrayShowMenuBar(const Ref<MenuBar>& bar);

// Whether the tray icon is showing.
bool TrayIsShowing();
