// One running copy per user and display.
//
// The running copy holds a lock file and listens on a local socket in the
// user's runtime folder ($XDG_RUNTIME_DIR, or a private folder in /tmp when
// that is unset), both named after the application id and the display:
//   example.kestrune.Kestrune.<display>.lock / .socket
// The lock goes with the process, so a socket left by a copy that was killed
// never blocks the next launch. Where there is a D-Bus session bus, the
// running copy also owns the bus name example.kestrune.Kestrune.<display>
// (the display folded into the name, so copies on two displays of one user
// each have their own) and answers org.freedesktop.Application.Activate at
// /example/kestrune/Kestrune.
//
// <display> is "x11_<n>" for the X display :<n> (the screen left out),
// "x11_<host>_<n>" for one on another host, "wayland_<name>" for a Wayland
// display, and the platform's name for platforms without one (offscreen...).
//
// A second launch asks the running copy, over the bus when the name has an
// owner, else over the socket, to show its main window, and then ends.
#pragma once

#include <string>

enum class InstanceRole {
    Only,        // no runtime folder to share: runs without the check
    Running,     // this process is the running copy
    HandedOver,  // another copy runs and was asked to show its window
};

// Claims the running copy's place, or hands over to the copy that holds it.
// Needs the Qt application.
InstanceRole SingleInstanceStart();

// Gives up the place (the socket, the lock, the bus name); before the Qt
// application goes.
void SingleInstanceStop();

// The display part of the names, from the Qt platform in use and the
// environment.
std::string SingleInstanceDisplayKey();

// What a second launch asks of the running copy: shows the main window as
// the application's About item does (choosing it), raised if it is open,
// made anew if it was closed.
void SingleInstanceShowMainWindow();
