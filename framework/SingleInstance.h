// One running copy per user and display.
//
// The running copy holds a lock file and listens on a local socket in the
// user's runtime folder, both named after the application id and the display:
//   example.kestrune.Kestrune.<display>.lock / .socket
// The runtime folder is $XDG_RUNTIME_DIR when that is a folder of the user's
// own that no one else may enter (mode 0700, not a link); else a private
// folder in /tmp, /tmp/kestrune-<uid>, with one line saying why when
// $XDG_RUNTIME_DIR is set. Neither the lock nor the socket is ever made or
// opened through a link, and only a socket of the user's own is removed.
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
// owner, else over the socket, to show its main window, passing on the
// launch's startup id (DESKTOP_STARTUP_ID, X11) and activation token
// (XDG_ACTIVATION_TOKEN, Wayland): on the bus as the platform data
// "desktop-startup-id" and "activation-token", on the socket as the line
//   activate [desktop-startup-id=<v>] [activation-token=<v>]\n
// (values percent-encoded; fields of other names are ignored). The running
// copy answers "ok\n" (on the bus: the method reply) once its window is
// shown, "failed\n" (an error) when it could not show it. It shows the window
// with that id, so that the window manager lets it up, and ends the launch's
// startup notification (the "remove" message of the freedesktop protocol).
//
// A peer on the socket has 2 s to send its line, and at most 32 wait at once;
// further ones, and peers of other users, are closed at once. Running short
// of descriptors never closes the socket.
#pragma once

#include <string>

enum class InstanceRole {
    Only,            // no runtime folder to share: runs without the check
    Running,         // this process is the running copy
    HandedOver,      // another copy runs and has shown its window
    HandOverFailed,  // another copy runs but did not confirm (said in one line)
};

// What a launch brings along for the window it asks for: its startup
// notification id and its Wayland activation token (empty when none).
struct InstanceLaunch {
    std::string startupId;
    std::string activationToken;
};

// Claims the running copy's place, or hands over to the copy that holds it
// (within about 2 s, HandOverFailed when that copy does not confirm; the
// launch's own startup notification is then ended here). Needs the Qt
// application.
InstanceRole SingleInstanceStart();

// Gives up the place (the socket, the lock, the bus name); before the Qt
// application goes.
void SingleInstanceStop();

// The display part of the names, from the Qt platform in use and the
// environment.
std::string SingleInstanceDisplayKey();

// This process's launch, as the environment gave it before the Qt
// application was made (Qt's X11 platform takes DESKTOP_STARTUP_ID away).
InstanceLaunch SingleInstanceOwnLaunch();

// What a second launch asks of the running copy: shows the main window as
// the application's About item does (choosing it), raised if it is open,
// made anew if it was closed, on behalf of the launch given (its startup id
// set on the window and its startup notification ended on X11, its token
// used for the activation on Wayland). True when a window is shown.
bool SingleInstanceShowMainWindow(const InstanceLaunch& launch = {});
