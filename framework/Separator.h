// Separator: the separator line of the extra-controls plug-in: a line
// across the middle of its box, horizontal when the box is wider than high.
#pragma once

#include "RectControl.h"

class Separator : public RectControl {
    KESTRUNE_CLASS()
public:
    Separator();
    ~Separator() override;

    void RaiseOpen() override;

protected:
    QWidget* CreateWidget(QWidget* parent) override;
    void GeometryChanged() override;
};

// The plug-in's name, as InitPluginEntrypoints binds it.
inline constexpr const char* kExtraControlsPlugin = "ExtraControls";
