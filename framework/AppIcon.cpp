#include "AppIcon.h"

#include "FolderItem.h"

#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QStyle>

#include <exception>

QIcon ApplicationIcon() {
    QIcon icon;
    try {
        const Ref<FolderItem> resources = GetApplicationBundleResources();
        for (const char* name : {"audio_128x128.png", "audio_128x128@2x.png"}) {
            const Ref<FolderItem> file = resources->Child(name);
            if (!file || !file->Exists()) continue;
            QImage image(file->NativePath());
            if (image.isNull()) continue;
            // Qt reads "@2x" in a file name as two device pixels per point;
            // the icon takes each picture at its pixel size instead.
            image.setDevicePixelRatio(1);
            icon.addPixmap(QPixmap::fromImage(image));
        }
    } catch (const std::exception&) {
        // No bundle (the executable has no parent folders): the fallback.
    }
    if (icon.isNull() && qApp) icon = QApplication::style()->standardIcon(QStyle::SP_MediaVolume);
    return icon;
}
