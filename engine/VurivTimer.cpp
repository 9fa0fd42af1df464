#include "VurivTimer.h"

#include "Runtime.h"
#include "Sound.h"
#include "silent.h"

const ClassInfo& VurivTimer::Class() {
    static const ClassInfo info = [] {
        ClassInfo c = DerivedClassInfo("VurivTimer", Timer::Class());
        c.virtualOps.push_back("Event_Action");
        c.methods.push_back({"Event_Action", "(  )", {}});
        c.bindings.push_back({"Action", "VurivTimer.Event_Action",
                              [](Object& o) { static_cast<VurivTimer&>(o).Event_Action(); }});
        c.factory = [] { return new VurivTimer; };
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

namespace {
StaticInitializer g_vurivTimerClass(40, [] { (void)VurivTimer::Class(); });
}

void VurivTimer::Event_Action() {
    Ref<Sound> sound = silent();
    if (!sound) throw NilObjectException();
    sound->Play();
}
