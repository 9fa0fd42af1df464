// The timer whose every tick plays the silent sound once.
#pragma once

#include "Timer.h"

class VurivTimer : public Timer {
    KESTRUNE_CLASS()
public:
    // The Action handler: plays the silent sound once. Raises
    // NilObjectException when there is no silent sound.
    virtual void Event_Action();
};
