// Running the Qt event loop from a test.
#pragma once

#include <functional>

// Runs the event loop until pred holds or the generous bound passes; false
// when the bound passed first.
bool RunUntil(const std::function<bool()>& pred, int boundMs = 5000);

// Runs the event loop for about ms milliseconds.
void RunFor(int ms);
