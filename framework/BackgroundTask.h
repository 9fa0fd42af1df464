// The loop yield that long-running program loops call once per pass.
#pragma once

// Gives the framework a chance to do background work. It does nothing: it is
// called from inside event handlers (a popup's Open among them), where
// running other events could re-enter the handler's own window.
void RuntimeBackgroundTask();
