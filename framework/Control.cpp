#include "Control.h"

#include "Runtime.h"

Control::Control() = default;
Control::~Control() = default;

const ClassInfo& Control::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "Control";
        c.base = &Object::Class();
        c.events = {"Open", "Close"};
        c.properties.push_back(MakeProperty<Control, String>("Name", &Control::SetName, &Control::Name));
        c.properties.push_back(MakeProperty<Control, int64_t>("Index", &Control::SetIndex, &Control::Index));
        c.properties.push_back(
            MakeProperty<Control, int64_t>("TabPanelIndex", &Control::SetTabPanelIndex, &Control::TabPanelIndex));
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

void Control::AddEventHandler(const std::string& event, const Ref<Delegate>& handler) {
    handlers_[event] = handler;
}

void Control::RemoveEventHandlers() {
    // A handler that is running holds its own reference to its delegate.
    std::map<std::string, Ref<Delegate>> dropped;
    dropped.swap(handlers_);
}

Ref<Delegate> Control::EventHandler(const std::string& event) const {
    auto it = handlers_.find(event);
    return it == handlers_.end() ? Ref<Delegate>() : it->second;
}

void Control::RaiseOpen() { RaiseHandler<void>("Open", this); }

void RuntimeAddEventHandler(const Ref<Object>& control, const char* event, const Ref<Delegate>& handler) {
    Ref<Control> c = RuntimeCheckCast<Control>(control);
    c->AddEventHandler(event, handler);
}
