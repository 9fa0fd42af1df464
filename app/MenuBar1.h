// The program's menu bar: File (Quit, About) and Edit. One shared instance,
// made on first use by the accessor MenuBar1(), is both the application's
// and every main window's menu bar.
#pragma once

#include "Menu.h"

class MenuBar1 : public MenuBar {
    KESTRUNE_CLASS()
public:
    // The shared bar; nil until the accessor has built it, never cleared.
    static Ref<MenuBar1> _implicitInstance;

    // Builds the two menus: Untitled0, then Untitled1.
    void Constructor() override;
    // The File menu: FileMenu, FileQuit, About.
    virtual void Untitled0();
    // The Edit menu: EditMenu and its eight items.
    virtual void Untitled1();
};

// The shared bar, built on the first call. A build that fails part-way
// leaves no bar behind; the next call builds a whole new one.
Ref<class MenuBar1> MenuBar1();
