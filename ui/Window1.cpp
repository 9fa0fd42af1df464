#include "Window1.h"

#include "App.h"

#include "Application.h"
#include "DesignValues.h"
#include "MenuBar1.h"
#include "Runtime.h"
#include "TextNumbers.h"

namespace {

// A fixed 480 by 420 window with a close and a minimise button, shown as
// soon as these are applied, titled "Kestrune" until it opens.
constexpr DesignRecord kWindow1Records[] = {
    DesignInteger("Width", 480),
    DesignInteger("Height", 420),
    DesignInteger("MinWidth", 480),
    DesignInteger("MinHeight", 420),
    DesignInteger("MaxWidth", 480),
    DesignInteger("MaxHeight", 420),
    DesignInteger("Frame", 0),
    DesignString("Title", "Kestrune"),
    DesignBoolean("CloseButton", true),
    DesignBoolean("Resizeable", false),
    DesignBoolean("MaximizeButton", false),
    DesignBoolean("MinimizeButton", true),
    DesignBoolean("FullScreenButton", false),
    DesignBoolean("Composite", false),
    DesignInteger("MacProcID", 0),
    DesignInteger("Placement", 0),
    DesignBoolean("Visible", true),
    DesignBoolean("LiveResize", false),
    DesignBoolean("FullScreen", false),
    DesignBoolean("HasBackColor", false),
    DesignColor("BackColor", 0xFFFFFF),
    DesignBoolean("MenuBarVisible", true),
};
constexpr auto kWindow1Stream = KESTRUNE_DESIGN_STREAM(kWindow1Records);
static_assert(kWindow1Stream.size() == 330);

template <void (Window1::*Handler)()>
EventBinding Bind(const char* event, const char* handler) {
    return {event, handler, [](Object& o) { (static_cast<class Window1&>(o).*Handler)(); }};
}

}  // namespace

std::string_view Window1DesignValues() { return kWindow1Stream.View(); }

const ClassInfo& Window1::Class() {
    static const ClassInfo info = [] {
        ClassInfo c = DerivedClassInfo("Window1.Window1", Window::Class());
        c.factory = [] { return new class Window1; };
        const MethodInfo own[] = {
            {"Layout", "(  )", {}},
            {"CreateControls", "(  )", {}},
            {"_CreateControls0", "(  )", {{"Hidden", ""}}},
            {"Label1", "(  ) as Label", {}},
            {"Canvas1", "(  ) as Canvas", {}},
            {"Label2", "(  ) as Label", {}},
            {"PopupMenu1", "(  ) as PopupMenu", {}},
            {"Label3", "(  ) as Label", {}},
            {"Separator1", "(  ) as Separator", {}},
            {"Separator2", "(  ) as Separator", {}},
            {"Label1_MouseDown", "( Label, Integer, Integer ) as Boolean", {}},
            {"Label2_MouseDown", "( Label, Integer, Integer ) as Boolean", {}},
            {"PopupMenu1_Open", "( PopupMenu )", {}},
            {"PopupMenu1_Change", "( PopupMenu )", {}},
            {"EditMenu", "(  ) as MenuItem", {}},
            {"EditSelectAll", "(  ) as MenuItem", {}},
            {"UntitledMenu0", "(  ) as MenuItem", {}},
            {"EditClear", "(  ) as MenuItem", {}},
            {"EditPaste", "(  ) as MenuItem", {}},
            {"EditCopy", "(  ) as MenuItem", {}},
            {"EditCut", "(  ) as MenuItem", {}},
            {"UntitledMenu1", "(  ) as MenuItem", {}},
            {"EditUndo", "(  ) as MenuItem", {}},
            {"FileMenu", "(  ) as MenuItem", {}},
            {"About", "(  ) as AppleMenuItem", {}},
            {"FileQuit", "(  ) as QuitMenuItem", {}},
            {"Event_Open", "(  )", {}},
        };
        for (const MethodInfo& m : own) {
            c.virtualOps.push_back(m.name);
            c.methods.push_back(m);
        }
        c.bindings.push_back(Bind<&Window1::CreateControls>("CreateControls", "Window1.CreateControls"));
        c.bindings.push_back(Bind<&Window1::Layout>("Layout", "Window1.Layout"));
        c.bindings.push_back(Bind<&Window1::Event_Open>("Open", "Window1.Event_Open"));
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

// The class table is built by the static initialisers, or on first request.
static StaticInitializer s_window1Class(10, [] { (void)Window1::Class(); });

Ref<class Window1> Window1() {
    Ref<Object> answer = GetImplicitWindow("Window1.Window1");
    if (!answer) {
        const ClassInfo& cls = Window1::Class();
        Ref<Window> window = RuntimeCheckCast<Window>(RuntimeNewObject(cls));
        window->Constructor();
        answer = window;
    }
    return RuntimeCheckCast<class Window1>(answer);
}

void Window1::CreateControls() { CreateControls0(); }

void Window1::Layout() {
    {
        Ref<class MenuBar1> bar = ::MenuBar1();
        SetMenuBar(bar);
    }
    SetProperties(Ref<Object>(this), kWindow1Stream.View());
}

void Window1::Event_Open() {
    Ref<class App> app = App();
    if (!app) throw NilObjectException();
    String title = String("Kestrune ") + Str(app->MajorVersion(), "") + ".";
    app = App();
    if (!app) throw NilObjectException();
    title += Str(app->MinorVersion(), "");
    SetTitle(title);
}
