// The tray of the desktops that show StatusNotifier items (KDE Plasma,
// GNOME's AppIndicator extension, waybar...): a StatusNotifier watcher owns
// org.kde.StatusNotifierWatcher on the session bus, and an application shows
// its icon by exporting an item (org.kde.StatusNotifierItem) with its menu
// (com.canonical.dbusmenu) under a bus name of its own and telling the
// watcher that name.
//
// Everything here runs on one D-Bus connection given by the caller and on
// the main thread. Nothing polls: the bus tells when the watcher's name gets
// an owner or loses it, and the host calls the item.
#pragma once

#include <QDBusConnection>
#include <QIcon>
#include <QString>

#include <functional>

class QDBusServiceWatcher;
class QMenu;

// Follows the owner of the watcher's name: changed(true) whenever the name
// gets a (new) owner, changed(false) when it loses it.
class StatusNotifierWatch {
public:
    static const char* const kWatcherService;

    StatusNotifierWatch(const QDBusConnection& bus, std::function<void(bool present)> changed);
    ~StatusNotifierWatch();
    StatusNotifierWatch(const StatusNotifierWatch&) = delete;
    StatusNotifierWatch& operator=(const StatusNotifierWatch&) = delete;

    // Whether the name has an owner, as last heard.
    bool Present() const { return present_; }

private:
    QDBusServiceWatcher* watcher_ = nullptr;
    bool present_ = false;
};

struct StatusNotifierActions {
    // A primary click on the item (Activate).
    std::function<void()> activate;
    // A host that draws no menu of its own asks for one at (x, y) on the
    // screen (ContextMenu).
    std::function<void(int x, int y)> contextMenu;
};

// An item: its object /StatusNotifierItem and its menu /MenuBar, and the bus
// name org.kde.StatusNotifierItem-<pid>-1. The menu shows the QMenu's
// actions, flat, as they stand: captions (with "&" mnemonics given as "_"),
// enabling, visibility, separators; "clicked" triggers the action. Changes
// to the actions reach the host as a new layout.
class StatusNotifierItem {
public:
    static const char* const kItemPath;
    static const char* const kMenuPath;

    // Exports the objects and takes the name; menu outlives the item.
    StatusNotifierItem(const QDBusConnection& bus, QMenu* menu, const QIcon& icon, const QString& title,
                       StatusNotifierActions actions);
    // Gives up the name and the objects.
    ~StatusNotifierItem();
    StatusNotifierItem(const StatusNotifierItem&) = delete;
    StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

    // Whether the objects and the name are ours.
    bool Exported() const;
    QString ServiceName() const;
    // Tells the watcher now owning its name about the item (no wait for the
    // answer).
    void RegisterWithWatcher();

    struct Objects;

private:
    Objects* d_;
};

// The caption as dbusmenu gives it: Qt's "&" mnemonic marker becomes "_",
// "&&" a plain "&", and a plain "_" is doubled.
QString StatusNotifierMenuLabel(const QString& qtText);
