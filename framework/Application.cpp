#include "Application.h"

#include "Runtime.h"
#include "Tray.h"

Application::Application() = default;
Application::~Application() = default;

const ClassInfo& Application::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "Application";
        c.base = &Object::Class();
        c.virtualOps = {"AddTrayItem", "DoEvents", "NewDocument", "OpenDocument", "RemoveTrayItem",
                        "SleepCurrentThread", "YieldToNextThread", "_AddMenuHandler",
                        "_AddPollableObject", "_DependencyList", "_DoSingleEvent",
                        "_RemovePollableObject", "_x_SetVersionData"};
        c.events = {"Activate", "CancelClose", "Close", "Deactivate", "EnableMenuItems",
                    "HandleAppleEvent", "NewDocument", "Open", "OpenDocument", "UnhandledException"};
        for (const auto& op : c.virtualOps) c.methods.push_back({op, "", {}});
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

void Application::SetMenuBar(const Ref<::MenuBar>& bar) {
    CheckMainThread();
    menuBar_ = bar;
    // Keeps the menus reachable when no window is open (menus inside windows).
    TrayShowMenuBar(bar);
}

Ref<::MenuBar> Application::MenuBar() const {
    CheckMainThread();
    return menuBar_;
}

void Application::AddMenuHandler(const String& itemName, MenuHandler handler) {
    CheckMainThread();
    handlers_[itemName] = std::move(handler);
}

bool Application::HasMenuHandler(const String& itemName) const {
    return handlers_.count(itemName) != 0;
}

bool Application::DispatchMenuItem(const String& itemName) {
    auto it = handlers_.find(itemName);
    if (it == handlers_.end() || !it->second) return false;
    Ref<Object> self(this);
    MenuHandler handler = it->second;
    bool result = false;
    RuntimeRaiseEvent([&] { result = handler(this); });
    return result;
}

void Application::_x_SetVersionData(int64_t major, int64_t minor, int64_t bug, int64_t, int64_t,
                                    const String&, const String&, const String&) {
    major_ = major;
    minor_ = minor;
    bug_ = bug;
}

void Application::RaiseOpen() { RuntimeRaiseClassEvent(*this, "Open"); }
