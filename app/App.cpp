#include "App.h"

#include "Window1.h"

#include "Runtime.h"

const ClassInfo& App::Class() {
    static const ClassInfo info = [] {
        ClassInfo c = DerivedClassInfo("App", Application::Class());
        for (const char* op : {"Event_Open", "_About_Action", "Constructor"}) c.virtualOps.push_back(op);
        c.methods.push_back({"Event_Open", "(  )", {}});
        c.methods.push_back({"_About_Action", "(  ) as Boolean", {}});
        c.methods.push_back({"Constructor", "(  )", {}});
        c.bindings.push_back({"Open", "App.Event_Open", [](Object& o) { static_cast<class App&>(o).Event_Open(); }});

        PropertyInfo timer;
        timer.name = "MyVurivTimer";
        timer.type = PropType::Object;
        timer.typeName = "VurivTimer";
        timer.get = [](const Object& o) {
            return PropValue(Ref<Object>(static_cast<const class App&>(o).MyVurivTimer));
        };
        timer.set = [](Object& o, const PropValue& v) {
            // Takes the new reference, then releases the old one.
            static_cast<class App&>(o).MyVurivTimer = RuntimeCheckCast<VurivTimer>(std::get<Ref<Object>>(v));
        };
        c.properties.push_back(std::move(timer));

        c.factory = [] { return new class App; };
        c.exitHook = [](Object& o) { static_cast<class App&>(o).MyVurivTimer = nullptr; };
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

namespace {
// Built before Window1 (order 10), MenuBar1 and VurivTimer.
StaticInitializer g_appClass(5, [] { (void)App::Class(); });
}

App::~App() { MyVurivTimer = nullptr; }

void App::Event_Open() {}

bool App::About_Action() {
    // The open window, or a new one when the user closed it.
    Ref<class Window1> window = Window1();
    if (!window) throw NilObjectException();
    window->Show();
    return true;
}

void App::Constructor() {}

Ref<class App> App() {
    Ref<Object> registered = GetAppObject();
    return RuntimeCheckCast<class App>(registered);
}
