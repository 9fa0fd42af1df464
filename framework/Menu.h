// Menus: MenuItem, MenuBar, QuitMenuItem, AppleMenuItem.
//
// The MenuItem tree is the one description of a menu bar. Qt shows it: every
// window builds its own QMenuBar from the tree (a QMenuBar belongs to one
// window), and the tray icon builds a context menu from it. A caption's "&"
// marks the mnemonic, as in Qt; a caption "-" is drawn as a separator line;
// the shortcut "Cmd+" and a letter means the platform's command key (Qt's
// "Ctrl+", which is Cmd on macOS). Captions, visibility, shortcuts and
// enabling follow the items while the Qt menus exist; the set of items shown
// is the tree as it stood when the Qt menu was built.
#pragma once

#include "Object.h"

#include <vector>

class QKeySequence;
class QMenu;
class QMenuBar;
class QWidget;

class MenuItem : public Object {
    KESTRUNE_CLASS()
public:
    MenuItem();
    ~MenuItem() override;

    // The no-argument constructor of a new entry (checks the thread).
    virtual void Constructor();

    // Every operation below checks the thread.
    void SetName(const String& name);
    String Name() const;
    void SetText(const String& text);          // "&" marks the mnemonic; "-" is a separator
    String Text() const;
    void SetKeyboardShortcut(const String& s);  // "Cmd+Q": the platform's command key; "" none
    String KeyboardShortcut() const;
    void SetAutoEnable(bool on);
    bool AutoEnable() const;
    void SetVisible(bool on);
    bool Visible() const;
    // Used only when AutoEnable is off.
    void SetEnabled(bool on);
    bool Enabled() const;

    // Appends item as the receiver's last child; the receiver keeps it. An
    // item that has a parent leaves it first. Nil raises NilObjectException;
    // appending the receiver or one of its ancestors raises
    // InvalidArgumentException.
    virtual void Append(const Ref<MenuItem>& item);
    // The direct child of that name, or nil.
    virtual Ref<MenuItem> Child(const String& name) const;
    // The entry of that name at any depth below the receiver (depth first, in
    // order), or nil.
    virtual Ref<MenuItem> Lookup(const String& name) const;
    virtual int64_t Count() const;
    // The child at index; OutOfBoundsException outside 0 .. Count - 1.
    virtual Ref<MenuItem> Item(int64_t index) const;

    MenuItem* Parent() const { return parent_; }
    bool IsSeparator() const { return text_ == "-"; }

    // Whether the item can be chosen now. With AutoEnable the framework
    // decides: a menu (an item with children, or one directly on a bar) is
    // enabled; an item is enabled when the application has a menu handler for
    // its name, or when it is one of the editing items (EditUndo, EditCut,
    // EditCopy, EditPaste, EditClear, EditSelectAll) and the focused widget
    // can do that now. Without AutoEnable it is Enabled.
    virtual bool EnabledNow() const;

    // Runs when the user chooses the item: the handler the application has
    // registered for its name, if any; otherwise an editing item acts on the
    // focused widget. No other code runs.
    virtual void Choose();

private:
    void Sync() const;
    friend struct MenuQt;

    String name_;
    String text_;
    String shortcut_;
    bool autoEnable_ = true;
    bool visible_ = true;
    bool enabled_ = true;
    std::vector<Ref<MenuItem>> children_;
    MenuItem* parent_ = nullptr;
    struct Views;
    Views* views_ = nullptr;  // the Qt actions currently showing the item
};

class MenuBar : public MenuItem {
    KESTRUNE_CLASS()
public:
    MenuBar();
    ~MenuBar() override;
};

// Quits the application through the framework's own action (exit status 0),
// unless the application registered a handler of its own for the item's name.
class QuitMenuItem : public MenuItem {
    KESTRUNE_CLASS()
public:
    bool EnabledNow() const override;
    void Choose() override;
};

// The About item (placed in the application menu where the platform has one).
class AppleMenuItem : public MenuItem {
    KESTRUNE_CLASS()
};

// The shortcut in the framework's notation as a Qt key sequence: "Cmd+" and
// "Ctrl+" give Qt's Ctrl (Cmd on macOS), "Option+"/"Alt+" Alt, "Shift+" Shift.
// The empty text gives the empty sequence.
QKeySequence MenuShortcutToKeySequence(const String& shortcut);

// A Qt menu bar showing bar's menus, as a child of parent (checks the thread).
QMenuBar* BuildQtMenuBar(const Ref<MenuBar>& bar, QWidget* parent);
// Adds to menu, flat, the items of bar that can act with no window in front
// (the tray icon's menu): the About items first, Quit last after a
// separator. The editing items, which act on a focused widget, and the
// separators are left out.
void AddTrayItemsToQtMenu(const Ref<MenuBar>& bar, QMenu* menu);

// The first entry below root (depth first, in order) whose class is cls or
// derives from it; nil when there is none.
Ref<MenuItem> FindMenuItemOfClass(const Ref<MenuItem>& root, const ClassInfo& cls);
