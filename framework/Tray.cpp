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
#include <QGuiApplication>
#include <xcb/xcb.h>

#include <cstdlib>
#include <string>
#endif

namespace {

// How often the tray is looked for: one round trip to the display server.
constexpr int kWatchMs = 2000;

// Plain pointers, freed by TrayShutdown: nothing of Qt is left for the
// static destructors.
struct TrayState {
    QSystemTrayIcon* icon = nullptr;
    QMenu* menu = nullptr;
    QTimer* watch = nullptr;
    unsigned long host = 0;  // the X11 tray window the icon was last given to
#if defined(KESTRUNE_HAVE_XCB)
    xcb_atom_t selection = XCB_ATOM_NONE;
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
        const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(screen);
        xcb_intern_atom_reply_t* atom =
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr);
        if (!atom) return 0;
        g_tray->selection = atom->atom;
        std::free(atom);
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
    }
    FillMenu();
    Watch();
}

bool TrayIsShowing() { return g_tray && g_tray->icon && g_tray->icon->isVisible(); }

void TrayShutdown() {
    g_bar = nullptr;
    TrayState* tray = std::exchange(g_tray, nullptr);
    if (!tray) return;
    delete tray->watch;
    delete tray->icon;
    delete tray->menu;
    delete tray;
}
