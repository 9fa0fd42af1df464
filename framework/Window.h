// Windows: a Window is one Qt top-level widget with an optional menu bar and
// the controls registered with it by name.
//
// Size: the window's Width and Height (and the Min/Max values) are the size
// of its content area, the widget that holds the controls (ContentWidget()),
// whose coordinates are the controls' Left and Top. Where a window carries
// its menu bar itself (Linux, Windows), the menu bar sits above the content
// area, so the top-level widget is that much taller; on macOS the menu bar is
// the screen's. A window that is not Resizeable has a fixed size: its
// minimum and maximum size equal its size.
//
// Life: Constructor makes the Qt window and raises CreateControls, Layout,
// the controls' Open events and the window's own Open. From then on the
// framework holds the window, and GetImplicitWindow finds it by its class's
// registered name, until it is closed (by the user's close button or Close);
// closing runs no code of the program, drops the handlers attached to its
// controls and releases the framework's hold, so the Window dies when no one
// else holds it. The application keeps running.
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
    // GetImplicitWindow finds it by its class's registered name until it is
    // closed. A window is constructed once; a second call does nothing.
    virtual void Constructor();

    // A new object of cls allocated in the window, no constructor run: a
    // control, whose owner becomes this window (its constructor follows), or
    // another object, e.g. a timer.
    virtual Ref<Object> New(const ClassInfo& cls);
    // Registers the control under name; the window keeps it (checks the
    // thread). A nil control raises NilObjectException.
    virtual void AddControl(const String& name, const Ref<Control>& control);
    // The first control registered under name, or nil.
    virtual Ref<Object> ControlByName(const String& name) const;
    // Shows the window, brings it to the front and restores it when it was
    // minimised (checks the thread). A closed window stays closed.
    virtual void Show();
    virtual void Hide();
    // Closes the window as the close button does.
    virtual void Close();

    // Title and menu bar (check the thread).
    void SetTitle(const String& title);
    String Title() const;
    // Makes bar the window's menu bar: the window shows its own Qt view of
    // the same MenuItem tree. Nil removes the menu bar.
    void SetMenuBar(const Ref<::MenuBar>& bar);
    Ref<::MenuBar> MenuBar() const;

    // The design values of a window (declared in the class table).
    void SetWidth(int64_t v);
    int64_t Width() const;
    void SetHeight(int64_t v);
    int64_t Height() const;
    void SetMinWidth(int64_t v);
    int64_t MinWidth() const;
    void SetMinHeight(int64_t v);
    int64_t MinHeight() const;
    void SetMaxWidth(int64_t v);
    int64_t MaxWidth() const;
    void SetMaxHeight(int64_t v);
    int64_t MaxHeight() const;
    void SetFrame(int64_t v);            // the frame kind; 0 a document window
    int64_t Frame() const;
    void SetCloseButton(bool on);
    bool CloseButton() const;
    void SetResizeable(bool on);
    bool Resizeable() const;
    void SetMaximizeButton(bool on);
    bool MaximizeButton() const;
    void SetMinimizeButton(bool on);
    bool MinimizeButton() const;
    void SetFullScreenButton(bool on);
    bool FullScreenButton() const;
    void SetComposite(bool on);          // kept; no meaning on Qt
    bool Composite() const;
    void SetMacProcId(int64_t v);        // kept; no meaning on Qt
    int64_t MacProcId() const;
    void SetPlacement(int64_t v);        // 0: where the window manager puts it
    int64_t Placement() const;
    void SetVisible(bool on);            // true shows the window, false hides it
    bool Visible() const;
    void SetLiveResize(bool on);         // kept; Qt always resizes live
    bool LiveResize() const;
    void SetFullScreen(bool on);
    bool FullScreen() const;
    void SetHasBackColor(bool on);       // whether BackColor fills the content area
    bool HasBackColor() const;
    void SetBackColor(Color c);
    Color BackColor() const;
    void SetMenuBarVisible(bool on);
    bool MenuBarVisible() const;

    // The Qt top-level widget, and the widget that holds the controls; both
    // nullptr before Constructor.
    QWidget* Widget() const;
    QWidget* ContentWidget() const;
    // Constructed and not closed.
    bool IsOpen() const;
    const std::vector<std::pair<String, Ref<Control>>>& Controls() const;

    struct Impl;

private:
    void HandleClosed();
    friend class WindowWidget;
    Impl* d_;
};

// The open window whose class is registered under className, or nil.
Ref<Window> GetImplicitWindow(const std::string& className);

// Closes every open window (the runtime does this before it shuts Qt down).
void RuntimeCloseAllWindows();
