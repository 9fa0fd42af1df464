// The design-value streams of the main window's seven controls.
#pragma once

#include <string_view>

// The stream of the control of that name ("Label1", "Canvas1", ...); empty
// for a name that is not one of the seven.
std::string_view Window1ControlDesignValues(std::string_view controlName);
