// Controls: the base class of everything a window holds, and per-control
// event handlers.
#pragma once

#include "Object.h"

#include <map>
#include <string>
#include <type_traits>

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
    // Drops every attached handler (its window closed: the handlers' targets
    // are usually that window, which would otherwise be kept alive by its
    // own controls).
    void RemoveEventHandlers();

    // Raises the control's Open event (the window does this once it is laid
    // out): the attached delegate runs with the control, through
    // RuntimeRaiseEvent (an exception that leaves the handler is reported and
    // the window goes on). Each control class passes itself as its own type,
    // so an Open handler takes the control's class: void (PopupMenu*).
    virtual void RaiseOpen();

protected:
    // Runs the handler attached for event, if any, with this control as T*
    // and the event's arguments, directly: an exception passes to the caller.
    template <class R, class T, class... A>
    R InvokeHandler(const char* event, T* self, A... args) {
        Ref<Delegate> d = EventHandler(event);
        if (!d) return R();
        Ref<Object> hold(self);
        return d->Invoke<R, T*, A...>(self, args...);
    }
    // The same through RuntimeRaiseEvent, for events that come from the
    // event loop; gives R() when there is no handler or it raised.
    template <class R, class T, class... A>
    R RaiseHandler(const char* event, T* self, A... args);

private:
    Window* owner_ = nullptr;
    String name_;
    int64_t index_ = 0;
    int64_t tabPanelIndex_ = 0;
    std::map<std::string, Ref<Delegate>> handlers_;
};

#include "Runtime.h"

template <class R, class T, class... A>
R Control::RaiseHandler(const char* event, T* self, A... args) {
    if constexpr (std::is_void_v<R>) {
        if (!EventHandler(event)) return;
        RuntimeRaiseEvent([&] { InvokeHandler<R>(event, self, args...); });
    } else {
        R result{};
        if (!EventHandler(event)) return result;
        RuntimeRaiseEvent([&] { result = InvokeHandler<R>(event, self, args...); });
        return result;
    }
}

// Attaches the delegate to that one control for that event.
void RuntimeAddEventHandler(const Ref<Object>& control, const char* event, const Ref<Delegate>& handler);
