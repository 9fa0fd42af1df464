// Opening a URL with the system's handler for its scheme (a web browser for
// https).
#pragma once

#include "Object.h"

// Asks the desktop to open the URL; returns at once. Whether a browser
// actually opens is the desktop's business: nothing is reported back.
void ShowURL(const String& url);
