// Pictures: an image opened from the application's resources.
#pragma once

#include "FolderItem.h"
#include "Object.h"

#include <QImage>
#include <QPixmap>

#include <functional>

class Picture : public Object {
    KESTRUNE_CLASS()
public:
    explicit Picture(QImage image);

    const QImage& Image() const { return image_; }
    // The picture as a pixmap for drawing (made on first use; needs the GUI).
    const QPixmap& Pixmap() const;
    int64_t Width() const { return image_.width(); }
    int64_t Height() const { return image_.height(); }

    // Opens the image file of that name in the application bundle's Resources
    // folder. Gives nil when the file is missing or is no image that can be
    // read; raises only when the Resources folder itself cannot be found
    // (NilObjectException, from GetApplicationBundleResources).
    static Ref<Picture> OpenFromApp(const String& name);
    // Opens an image file; nil when it is missing or unreadable.
    static Ref<Picture> Open(const FolderItem& file);

    // For tests: replaces what OpenFromApp does (an empty function restores it).
    using Loader = std::function<Ref<Picture>(const String& name)>;
    static void SetLoaderForTesting(Loader loader);

private:
    QImage image_;
    mutable QPixmap pixmap_;
};
