#include "Picture.h"

namespace {

Picture::Loader& TestLoader() {
    static Picture::Loader loader;
    return loader;
}

}  // namespace

const ClassInfo& Picture::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "Picture";
        c.base = &Object::Class();
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

Picture::Picture(QImage image) : image_(std::move(image)) {}

const QPixmap& Picture::Pixmap() const {
    if (pixmap_.isNull() && !image_.isNull()) pixmap_ = QPixmap::fromImage(image_);
    return pixmap_;
}

Ref<Picture> Picture::Open(const FolderItem& file) {
    if (!file.Exists() || file.IsFolder()) return nullptr;
    QImage image;
    if (!image.load(file.NativePath()) || image.isNull()) return nullptr;
    return Ref<Picture>(new Picture(std::move(image)));
}

Ref<Picture> Picture::OpenFromApp(const String& name) {
    if (TestLoader()) return TestLoader()(name);
    Ref<FolderItem> resources = GetApplicationBundleResources();
    Ref<FolderItem> file = resources->Child(name);
    return Open(*file);
}

void Picture::SetLoaderForTesting(Loader loader) { TestLoader() = std::move(loader); }
