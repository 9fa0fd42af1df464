// The program's icon: its own picture, for the windows (taskbars, docks,
// window switchers) and for the tray.
#pragma once

#include <QIcon>

// The bundle's picture at 128 pixels (audio_128x128.png) and at 256 pixels
// (audio_128x128@2x.png), each at its own pixel size, so that a desktop that
// asks for 256 pixels gets the large picture rather than the small one scaled
// up. When the bundle has neither, the style's sound icon. Needs the Qt
// application; reads the two files each time it is called.
QIcon ApplicationIcon();
