#include "Tray.h"

#include "FolderItem.h"

#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QPointer>
#include <QStyle>
#include <QSystemTrayIcon>

namespace {

QPointer<QSystemTrayIcon> g_icon;
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

}  // namespace

void TrayShowMenuBar(const Ref<MenuBar>& bar) {
    g_bar = bar;
    if (!bar) {
        delete g_icon.data();
        return;
    }
    if (g_icon || !qobject_cast<QApplication*>(QCoreApplication::instance()) ||
        !QSystemTrayIcon::isSystemTrayAvailable())
        return;
    auto* icon = new QSystemTrayIcon(AppIcon(), QCoreApplication::instance());
    icon->setToolTip(QCoreApplication::applicationName());
    auto* menu = new QMenu;
    QObject::connect(icon, &QObject::destroyed, [menu] { delete menu; });
    if (g_bar) AddMenuBarToQtMenu(g_bar, menu);
    icon->setContextMenu(menu);
    icon->show();
    g_icon = icon;
}

bool TrayIsShowing() { return g_icon && g_icon->isVisible(); }
