// The font values that text-showing controls share (TextFont, TextSize,
// TextUnit, Bold, Italic, Underline), and the Qt font they make.
#pragma once

#include "Object.h"

#include <QFont>

struct TextStyle {
    // "System" (or the empty text) is the desktop's font.
    String font = "System";
    // 0 is the desktop's size; otherwise a size in unit (Default = points).
    // A point here is the unit the window designs are laid out in: 1/72 inch
    // on a screen of 72 logical dots per inch, that is one logical pixel, so
    // that a label holds the text its box was made for on any screen (on a
    // 96 dpi desktop, Qt's own 11 points would be a third larger).
    float size = 0.0f;
    FontUnits unit = FontUnits::Default;
    bool bold = false;
    bool italic = false;
    bool underline = false;

    QFont ToQFont() const;
};
