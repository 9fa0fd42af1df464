// Pictures: an image opened from the application's resources, with its
// double-resolution version ("name@2x.png" beside "name.png") when there is
// one, for screens with more than one device pixel per point.
#pragma once

#include "FolderItem.h"
#include "Object.h"

#include <QImage>
#include <QPixmap>

#include <functional>

class Picture : public Object {
    KESTRUNE_CLASS()
public:
    // IMAGE is the picture at one device pixel per point; HIRES, when not
    // null, the same picture at twice that in each direction.
    explicit Picture(QImage image, QImage hiRes = {});

    const QImage& Image() const { return image_; }
    const QImage& HiResImage() const { return hiRes_; }
    // The picture as a pixmap for drawing on a device with that pixel ratio
    // (made on first use; needs the GUI): above 1, the double-resolution
    // version when there is one (its pixel ratio set, so it covers the same
    // points); otherwise the picture itself.
    const QPixmap& Pixmap(qreal devicePixelRatio = 1.0) const;
    int64_t Width() const { return image_.width(); }
    int64_t Height() const { return image_.height(); }

    // Opens the image file of that name in the application bundle's Resources
    // folder. Gives nil when the file is missing or is no image that can be
    // read; raises only when the Resources folder itself cannot be found
    // (NilObjectException, from GetApplicationBundleResources).
    static Ref<Picture> OpenFromApp(const String& name);
    // Opens an image file, and "stem@2x.ext" beside it as the double-resolution
    // version when that is an image of twice the size; nil when the file
    // itself is missing or unreadable.
    static Ref<Picture> Open(const FolderItem& file);

    // For tests: replaces what OpenFromApp does (an empty function restores it).
    using Loader = std::function<Ref<Picture>(const String& name)>;
    static void SetLoaderForTesting(Loader loader);

private:
    QImage image_;
    QImage hiRes_;
    mutable QPixmap pixmap_;
    mutable QPixmap hiResPixmap_;
};
