// Menus: MenuItem, MenuBar, QuitMenuItem, AppleMenuItem.
#pragma once

#include "Object.h"

#include <vector>

class QAction;
class QMenu;
class QMenuBar;

class MenuItem : public Object {
    KESTRUNE_CLASS()
public:
    MenuItem();
    ~MenuItem() override;

    // The no-argument constructor of a new entry (checks the thread).
    virtual void Constructor();

    void SetName(const String& name);
    String Name() const;
    void SetText(const String& text);          // "&" marks the mnemonic; "-" is a separator
    String Text() const;
    void SetKeyboardShortcut(const String& s);  // "Cmd+Q": the platform's command key
    String KeyboardShortcut() const;
    void SetAutoEnable(bool on);
    bool AutoEnable() const;
    void SetVisible(bool on);
    bool Visible() const;

    // Appends item as the receiver's last child; the receiver keeps it.
    virtual void Append(const Ref<MenuItem>& item);
    // The direct child of that name, or nil.
    virtual Ref<MenuItem> Child(const String& name) const;
    // The entry of that name at any depth below the receiver, or nil.
    virtual Ref<MenuItem> Lookup(const String& name) const;
    virtual int64_t Count() const;
    virtual Ref<MenuItem> Item(int64_t index) const;

    MenuItem* Parent() const { return parent_; }

    // Runs when the user chooses the item: the framework's dispatch.
    virtual void Choose();

protected:
    String name_;
    String text_;
    String shortcut_;
    bool shortcutSet_ = false;
    bool autoEnable_ = false;
    bool visible_ = true;
    std::vector<Ref<MenuItem>> children_;
    MenuItem* parent_ = nullptr;
};

class MenuBar : public MenuItem {
    KESTRUNE_CLASS()
public:
    MenuBar();
    ~MenuBar() override;
};

// Quits the application through the framework's own action.
class QuitMenuItem : public MenuItem {
    KESTRUNE_CLASS()
public:
    void Choose() override;
};

// The About item (placed in the application menu where the platform has one).
class AppleMenuItem : public MenuItem {
    KESTRUNE_CLASS()
};
