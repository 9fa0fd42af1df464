// Windows: a Window is one Qt top-level widget with an optional menu bar and
// the controls registered with it by name.
#pragma once

#include "Control.h"
#include "Menu.h"
#include "Object.h"

#include <utility>
#include <vector>

class QWidget;

class Window : public Object {
    KESTRUNE_CLASS()
public:
    Window();
    ~Window() override;

    // Makes the window (checks the thread): raises CreateControls, then
    // Layout, then the Open events of its controls and its own. From here on
    // GetImplicitWindow finds it by its class's registered name until the
    // user closes it.
    virtual void Constructor();

    // A new, initialised object of cls allocated in the window: a control
    // (whose constructor the caller runs next) or another object, e.g. a timer.
    virtual Ref<Object> New(const ClassInfo& cls);
    // Registers the control under name; the window keeps it (checks the thread).
    virtual void AddControl(const String& name, const Ref<Control>& control);
    // The control registered under name, or nil.
    virtual Ref<Object> ControlByName(const String& name) const;
    virtual void Show();
    virtual void Close();

    void SetTitle(const String& title);
    String Title() const;
    void SetMenuBar(const Ref<::MenuBar>& bar);
    Ref<::MenuBar> MenuBar() const;

    // The Qt top-level widget, and the widget that holds the controls.
    QWidget* Widget() const;
    QWidget* ContentWidget() const;
    bool IsOpen() const;
    const std::vector<std::pair<String, Ref<Control>>>& Controls() const;

    // (The design-value properties: Width, Height, MinWidth, ..., Visible,
    // declared in the class table for SetProperties.)

private:
    struct Impl;
    Impl* d_;
};

// The open window whose class is registered under className, or nil.
Ref<Window> GetImplicitWindow(const std::string& className);
