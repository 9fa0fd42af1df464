// Controls: the base class of everything a window holds, and per-control
// event handlers.
#pragma once

#include "Object.h"

#include <map>
#include <string>

class Window;
class QWidget;

class Control : public Object {
    KESTRUNE_CLASS()
public:
    Control();
    ~Control() override;

    // The window the control was allocated in (Window::New sets it).
    Window* Owner() const { return owner_; }
    void SetOwner(Window* w) { owner_ = w; }

    void SetName(const String& name) { name_ = name; }
    String Name() const { return name_; }
    void SetIndex(int64_t i) { index_ = i; }
    int64_t Index() const { return index_; }
    void SetTabPanelIndex(int64_t i) { tabPanelIndex_ = i; }
    int64_t TabPanelIndex() const { return tabPanelIndex_; }

    // The Qt widget that shows the control, or nullptr when it has none yet.
    virtual QWidget* Widget() const { return nullptr; }

    // Per-control event handlers (RuntimeAddEventHandler).
    void AddEventHandler(const std::string& event, const Ref<Delegate>& handler);
    Ref<Delegate> EventHandler(const std::string& event) const;

    // Raises the control's Open event (the window does this once it is laid
    // out): the attached delegate runs with the control.
    virtual void RaiseOpen();

private:
    Window* owner_ = nullptr;
    String name_;
    int64_t index_ = 0;
    int64_t tabPanelIndex_ = 0;
    std::map<std::string, Ref<Delegate>> handlers_;
};

// Attaches the delegate to that one control for that event.
void RuntimeAddEventHandler(const Ref<Object>& control, const char* event, const Ref<Delegate>& handler);
