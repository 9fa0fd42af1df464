// The application object's framework class.
#pragma once

#include "Menu.h"
#include "Object.h"

#include <functional>
#include <map>

class Application : public Object {
    KESTRUNE_CLASS()
public:
    Application();
    ~Application() override;

    // The application-wide menu bar (checks the thread).
    void SetMenuBar(const Ref<::MenuBar>& bar);
    Ref<::MenuBar> MenuBar() const;

    // A handler for the menu item of that name: called with the application
    // object when the user chooses the item; its Boolean result tells whether
    // it handled the choice (checks the thread).
    using MenuHandler = std::function<bool(Object*)>;
    virtual void AddMenuHandler(const String& itemName, MenuHandler handler);
    // Runs the handler registered for the item's name; false when none is.
    bool DispatchMenuItem(const String& itemName);
    bool HasMenuHandler(const String& itemName) const;

    // The version numbers (from the build, or as set by _x_SetVersionData).
    int64_t MajorVersion() const { return major_; }
    int64_t MinorVersion() const { return minor_; }
    int64_t BugVersion() const { return bug_; }
    virtual void _x_SetVersionData(int64_t major, int64_t minor, int64_t bug, int64_t stage,
                                   int64_t nonRelease, const String& shortVersion,
                                   const String& longVersion, const String& packageInfo);

    // Raises the application's Open event (the framework does this once the
    // event loop is about to start).
    void RaiseOpen();

private:
    Ref<::MenuBar> menuBar_;
    std::map<String, MenuHandler> handlers_;
    int64_t major_ = KESTRUNE_VERSION_MAJOR;
    int64_t minor_ = KESTRUNE_VERSION_MINOR;
    int64_t bug_ = 0;
};
