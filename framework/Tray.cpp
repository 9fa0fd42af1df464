#include "Tray.h"

#include "FolderItem.h"

#include <QApplication>
#include <QCursor>
#include <QIcon>
#include <QMenu>
#include <QStyle>
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

// A tray host announces itself on X11 (a MANAGER message to the root
// window), which the watch hears at once; the slow timer is there for the
// trays that do not (a StatusNotifier host on the session bus) and as a
// safeguard. A look costs one or two round trips to the display server.
constexpr int kWatchMs = 10000;

// Plain pointers, freed by TrayShutdown: nothing of Qt is left for the
// static destructors.
struct TrayState {
    QSystemTrayIcon* icon = nullptr;
    QMenu* menu = nullptr;
    QTimer* watch = nullptr;
    unsigned long host = 0;  // the X11 tray window the icon was last given to
#if defined(KESTRUNE_HAVE_XCB)
    xcb_atom_t selection = XCB_ATOM_NONE;
    xcb_atom_t manager = XCB_ATOM_NONE;
    QAbstractNativeEventFilter* announcements = nullptr;
#endif
};
TrayState* g_tray = nullptr;
Ref<MenuBar> g_bar;

QIcon AppIcon() {
    try {
        Ref<FolderItem> png = GetApplicationBundleResources()->Child("audio_128x128.png");
        if (png && png->Exists()) {
            QIcon icon(png->NativePath());
            if (!icon.isNull()) return icon;
        }
    } catch (const std::exception&) {
        // No bundle: fall back to the style's icon.
    }
    return QApplication::style()->standardIcon(QStyle::SP_MediaVolume);
}

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

void FillMenu() {
    g_tray->menu->clear();
    if (g_bar) AddTrayItemsToQtMenu(g_bar, g_tray->menu);
}

void MakeIcon() {
    auto* icon = new QSystemTrayIcon(AppIcon());
    icon->setToolTip(QCoreApplication::applicationName());
    icon->setContextMenu(g_tray->menu);
    // A left click opens the same menu as a right click.
    QObject::connect(icon, &QSystemTrayIcon::activated, icon, [](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && g_tray && g_tray->menu) g_tray->menu->popup(QCursor::pos());
    });
    icon->show();
    g_tray->icon = icon;
}

// Shows the icon when a tray is there and the icon is not; gives it to a
// tray host that took over the tray since.
void Watch() {
    if (!g_tray) return;
    const unsigned long host = TrayHostWindow();
    if (host == 0 && !QSystemTrayIcon::isSystemTrayAvailable()) {
        g_tray->host = 0;
        return;
    }
    if (!g_tray->icon) {
        MakeIcon();
    } else if (host != 0 && host != g_tray->host) {
        // A new tray host: Qt docks an icon when it is shown.
        g_tray->icon->hide();
        g_tray->icon->show();
    }
    g_tray->host = host;
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
            QTimer::singleShot(0, g_tray->watch, &Watch);
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
        g_tray->watch = new QTimer;
        g_tray->watch->setInterval(kWatchMs);
        QObject::connect(g_tray->watch, &QTimer::timeout, g_tray->watch, &Watch);
        g_tray->watch->start();
#if defined(KESTRUNE_HAVE_XCB)
        g_tray->announcements = new TrayAnnouncements;
        QCoreApplication::instance()->installNativeEventFilter(g_tray->announcements);
#endif
    }
    FillMenu();
    Watch();
}

bool TrayIsShowing() { return g_tray && g_tray->icon && g_tray->icon->isVisible(); }

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
    delete tray->icon;
    delete tray->menu;
    delete tray;
}
