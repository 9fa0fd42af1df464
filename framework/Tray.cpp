#include "Tray.h"

#include "AppIcon.h"
#include "SingleInstance.h"
#include "StatusNotifier.h"

#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

#if defined(KESTRUNE_HAVE_XCB)
#include <QAbstractNativeEventFilter>
#include <QGuiApplication>
#include <xcb/xcb.h>

#include <cstdlib>
#include <string>
#endif

namespace {

// Plain pointers, freed by TrayShutdown: nothing of Qt is left for the
// static destructors.
//
// Qt's own tray icon decides once per process, when the first one is made,
// whether to show itself as a StatusNotifier item (when a watcher is there
// then) or in an XEmbed tray, and never again. It is made only while no
// watcher runs, so that it always docks in an XEmbed tray and never puts a
// second item next to ours; it shows only while no watcher runs.
struct TrayState {
    QMenu* menu = nullptr;
    QSystemTrayIcon* icon = nullptr;    // the XEmbed tray's (X11)
    StatusNotifierWatch* watch = nullptr;
    StatusNotifierItem* item = nullptr;  // while a watcher runs
#if defined(KESTRUNE_HAVE_XCB)
    xcb_atom_t selection = XCB_ATOM_NONE;
    xcb_atom_t manager = XCB_ATOM_NONE;
    QAbstractNativeEventFilter* announcements = nullptr;
#endif
};
TrayState* g_tray = nullptr;
Ref<MenuBar> g_bar;

#if defined(KESTRUNE_HAVE_XCB)
xcb_atom_t InternAtom(xcb_connection_t* c, const std::string& name) {
    xcb_intern_atom_reply_t* atom =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr);
    if (!atom) return XCB_ATOM_NONE;
    const xcb_atom_t value = atom->atom;
    std::free(atom);
    return value;
}
#endif

// The window that owns the system-tray selection of the display's default
// screen (_NET_SYSTEM_TRAY_S<screen>), 0 when there is none or the platform
// is not X11.
unsigned long TrayHostWindow() {
#if defined(KESTRUNE_HAVE_XCB)
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* c = x11 ? x11->connection() : nullptr;
    if (!c || xcb_connection_has_error(c)) return 0;
    if (g_tray->selection == XCB_ATOM_NONE) {
        char* host = nullptr;
        int display = 0, screen = 0;
        if (!xcb_parse_display(nullptr, &host, &display, &screen)) screen = 0;
        std::free(host);
        g_tray->selection = InternAtom(c, "_NET_SYSTEM_TRAY_S" + std::to_string(screen));
        g_tray->manager = InternAtom(c, "MANAGER");
        if (g_tray->selection == XCB_ATOM_NONE) return 0;
    }
    xcb_get_selection_owner_reply_t* owner =
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, g_tray->selection), nullptr);
    if (!owner) return 0;
    const unsigned long window = owner->owner;
    std::free(owner);
    return window;
#else
    return 0;
#endif
}

bool OnX11() { return QGuiApplication::platformName() == QLatin1String("xcb"); }

void FillMenu() {
    g_tray->menu->clear();
    if (g_bar) AddTrayItemsToQtMenu(g_bar, g_tray->menu);
}

void MakeIcon() {
    auto* icon = new QSystemTrayIcon(ApplicationIcon());
    icon->setToolTip(QCoreApplication::applicationName());
    icon->setContextMenu(g_tray->menu);
    // A left click opens the same menu as a right click.
    QObject::connect(icon, &QSystemTrayIcon::activated, icon, [](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && g_tray && g_tray->menu) g_tray->menu->popup(QCursor::pos());
    });
    g_tray->icon = icon;
}

void MakeItem() {
    StatusNotifierActions actions;
    // A left click shows the main window, as About does.
    actions.activate = [] { SingleInstanceShowMainWindow(); };
    // Where the host draws no menu of its own. Wayland gives a window no
    // place on the screen: there the hosts draw the menu.
    actions.contextMenu = [](int x, int y) {
        if (g_tray && g_tray->menu && OnX11()) g_tray->menu->popup(QPoint(x, y));
    };
    g_tray->item = new StatusNotifierItem(QDBusConnection::sessionBus(), g_tray->menu, ApplicationIcon(),
                                          QCoreApplication::applicationName(), std::move(actions));
    g_tray->item->RegisterWithWatcher();
}

// Shows the icon in the tray there is: the StatusNotifier item while a
// watcher runs, else Qt's icon in an XEmbed tray. newHost: an XEmbed tray
// host has just announced itself, and gets the icon anew.
void Update(bool newHost) {
    if (!g_tray) return;
    if (g_tray->watch && g_tray->watch->Present()) {
        if (g_tray->icon && g_tray->icon->isVisible()) g_tray->icon->hide();
        if (!g_tray->item) MakeItem();
        return;
    }
    delete std::exchange(g_tray->item, nullptr);
    if (!OnX11()) return;
    // Made now, while no watcher runs, even with no tray yet: Qt's decision
    // above.
    if (!g_tray->icon) MakeIcon();
    if (TrayHostWindow() == 0) return;
    if (!g_tray->icon->isVisible()) {
        g_tray->icon->show();
    } else if (newHost) {
        // Qt docks an icon when it is shown.
        g_tray->icon->hide();
        g_tray->icon->show();
    }
}

// A watcher got an owner (perhaps a new one: it knows nothing of us yet) or
// lost it.
void WatcherChanged(bool present) {
    if (!g_tray) return;
    if (present && g_tray->item) g_tray->item->RegisterWithWatcher();
    Update(false);
}

#if defined(KESTRUNE_HAVE_XCB)
// Hears a new tray host's announcement: a MANAGER client message for the
// tray selection.
class TrayAnnouncements : public QAbstractNativeEventFilter {
public:
    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (!g_tray || type != "xcb_generic_event_t") return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE) return false;
        const auto* cm = static_cast<const xcb_client_message_event_t*>(message);
        if (cm->type == g_tray->manager && g_tray->manager != XCB_ATOM_NONE &&
            cm->data.data32[1] == g_tray->selection)
            QTimer::singleShot(0, g_tray->menu, [] { Update(true); });
        return false;
    }
};
#endif

}  // namespace

void TrayShowMenuBar(const Ref<MenuBar>& bar) {
    if (!bar) {
        TrayShutdown();
        return;
    }
    g_bar = bar;
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return;
    if (!g_tray) {
        g_tray = new TrayState;
        g_tray->menu = new QMenu;
        // The session bus's own connection, the one the rest of the program
        // uses: no other is opened.
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (bus.isConnected()) g_tray->watch = new StatusNotifierWatch(bus, &WatcherChanged);
#if defined(KESTRUNE_HAVE_XCB)
        if (OnX11()) {
            TrayHostWindow();  // the atoms the announcements are told by
            g_tray->announcements = new TrayAnnouncements;
            QCoreApplication::instance()->installNativeEventFilter(g_tray->announcements);
        }
#endif
    }
    FillMenu();
    Update(false);
}

bool TrayIsShowing() {
    return g_tray && ((g_tray->item && g_tray->item->Exported()) || (g_tray->icon && g_tray->icon->isVisible()));
}

void TrayShutdown() {
    g_bar = nullptr;
    TrayState* tray = std::exchange(g_tray, nullptr);
    if (!tray) return;
#if defined(KESTRUNE_HAVE_XCB)
    if (tray->announcements) {
        if (QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(tray->announcements);
        delete tray->announcements;
    }
#endif
    delete tray->watch;
    delete tray->item;  // gives up its bus name and objects
    delete tray->icon;
    delete tray->menu;
    delete tray;
}
