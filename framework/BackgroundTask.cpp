#include "BackgroundTask.h"

void RuntimeBackgroundTask() {}
