// The main window: the description, the picture, the interval popup and the
// link, with the product name and the application's version in its title.
// The program keeps no reference to it: the accessor Window1() finds the open
// window through the framework, or makes one.
#pragma once

#include "Menu.h"
#include "Window.h"

#include <string_view>

class Label;
class Canvas;
class PopupMenu;
class Separator;

class Window1 : public Window {
    KESTRUNE_CLASS()
public:
    // Window1's operations, in the order of their slots after Window's.
    // The Layout handler: the shared menu bar, then the window's design values.
    virtual void Layout();
    // The CreateControls handler: runs the control builder.
    virtual void CreateControls();
    // The control builder: the seven controls, their design values and handlers.
    virtual void CreateControls0();
    // The controls by name.
    virtual Ref<Label> Label1();
    virtual Ref<Canvas> Canvas1();
    virtual Ref<Label> Label2();
    virtual Ref<PopupMenu> PopupMenu1();
    virtual Ref<Label> Label3();
    virtual Ref<Separator> Separator1();
    virtual Ref<Separator> Separator2();
    // The controls' handlers.
    virtual bool Label1_MouseDown(Label* sender, int64_t x, int64_t y);
    virtual bool Label2_MouseDown(Label* sender, int64_t x, int64_t y);
    virtual void PopupMenu1_Open(PopupMenu* sender);
    virtual void PopupMenu1_Change(PopupMenu* sender);
    // The menu items by name, below the window's menu bar.
    virtual Ref<MenuItem> EditMenu();
    virtual Ref<MenuItem> EditSelectAll();
    virtual Ref<MenuItem> UntitledMenu0();
    virtual Ref<MenuItem> EditClear();
    virtual Ref<MenuItem> EditPaste();
    virtual Ref<MenuItem> EditCopy();
    virtual Ref<MenuItem> EditCut();
    virtual Ref<MenuItem> UntitledMenu1();
    virtual Ref<MenuItem> EditUndo();
    virtual Ref<MenuItem> FileMenu();
    virtual Ref<AppleMenuItem> About();
    virtual Ref<QuitMenuItem> FileQuit();
    // The Open handler: the versioned title.
    virtual void Event_Open();
};

// The open main window, or a new one when none is open.
Ref<class Window1> Window1();

// The window's design-value stream (22 records, 330 bytes).
std::string_view Window1DesignValues();
