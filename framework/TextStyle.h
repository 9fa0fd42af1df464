// The font values that text-showing controls share (TextFont, TextSize,
// TextUnit, Bold, Italic, Underline), and the Qt font they make.
#pragma once

#include "Object.h"

#include <QFont>

struct TextStyle {
    // "System" (or the empty text) is the desktop's font.
    String font = "System";
    // 0 is the desktop's size; otherwise a size in unit (Default = points).
    float size = 0.0f;
    FontUnits unit = FontUnits::Default;
    bool bold = false;
    bool italic = false;
    bool underline = false;

    QFont ToQFont() const;
};
