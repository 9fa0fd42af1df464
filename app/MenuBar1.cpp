#include "MenuBar1.h"

#include "Runtime.h"

Ref<class MenuBar1> MenuBar1::_implicitInstance;

namespace {

// Makes one entry and attaches it: to the bar itself when menuName is null,
// otherwise to the bar's child menu of that name, looked up anew.
// shortcut null leaves the new item's shortcut untouched.
void MakeEntry(class MenuBar1& bar, const ClassInfo& cls, const char* name, const char* text,
               const char* shortcut, const char* menuName) {
    Ref<MenuItem> item = RuntimeCheckCast<MenuItem>(RuntimeNewObject(cls));
    item->Constructor();
    item->SetName(name);
    item->SetAutoEnable(true);
    item->SetText(String::fromUtf8(text));
    item->SetVisible(true);
    if (shortcut) item->SetKeyboardShortcut(shortcut);
    if (!menuName) {
        bar.Append(item);
        return;
    }
    Ref<MenuItem> menu = bar.Child(menuName);
    CheckNil(menu)->Append(item);
}

}  // namespace

const ClassInfo& MenuBar1::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "MenuBar1.MenuBar1";
        c.base = &MenuBar::Class();
        c.virtualOps = MenuBar::Class().virtualOps;
        c.virtualOps.push_back("Untitled0");
        c.virtualOps.push_back("Untitled1");
        // The operations by name, then the framework's hooks (MenuItem's
        // initialiser and finaliser, MenuBar's initialiser), which have no slot.
        for (const auto& op : c.virtualOps) c.methods.push_back({op, "", {}});
        for (const MethodInfo& m : MenuBar::Class().methods)
            if (m.name.rfind("__", 0) == 0) c.methods.push_back(m);
        c.factory = [] { return new class MenuBar1; };
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

// The class table is built by the static initialisers, or on first request.
// After App and Window1, before VurivTimer.
static StaticInitializer s_menuBar1Class(30, [] { (void)MenuBar1::Class(); });

void MenuBar1::Constructor() {
    Untitled0();
    Untitled1();
}

void MenuBar1::Untitled0() {
    MakeEntry(*this, MenuItem::Class(), "FileMenu", "&File", "", nullptr);
    MakeEntry(*this, QuitMenuItem::Class(), "FileQuit", "&Quit", "Cmd+Q", "FileMenu");
    MakeEntry(*this, AppleMenuItem::Class(), "About", "About Kestrune", "", "FileMenu");
}

void MenuBar1::Untitled1() {
    MakeEntry(*this, MenuItem::Class(), "EditMenu", "&Edit", "", nullptr);
    MakeEntry(*this, MenuItem::Class(), "EditUndo", "&Undo", "Cmd+Z", "EditMenu");
    MakeEntry(*this, MenuItem::Class(), "UntitledMenu1", "-", nullptr, "EditMenu");
    MakeEntry(*this, MenuItem::Class(), "EditCut", "Cu&t", "Cmd+X", "EditMenu");
    MakeEntry(*this, MenuItem::Class(), "EditCopy", "&Copy", "Cmd+C", "EditMenu");
    MakeEntry(*this, MenuItem::Class(), "EditPaste", "&Paste", "Cmd+V", "EditMenu");
    MakeEntry(*this, MenuItem::Class(), "EditClear", "&Delete", "", "EditMenu");
    MakeEntry(*this, MenuItem::Class(), "UntitledMenu0", "-", nullptr, "EditMenu");
    MakeEntry(*this, MenuItem::Class(), "EditSelectAll", "Select &All", "Cmd+A", "EditMenu");
}

Ref<class MenuBar1> MenuBar1() {
    if (!MenuBar1::_implicitInstance) {
        Ref<class MenuBar1> bar = RuntimeCheckCast<class MenuBar1>(RuntimeNewObject(MenuBar1::Class()));
        bar->Constructor();
        MenuBar1::_implicitInstance = bar;
    }
    return MenuBar1::_implicitInstance;
}
