#include "Picture.h"

#include <filesystem>

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

Picture::Picture(QImage image, QImage hiRes) : image_(std::move(image)), hiRes_(std::move(hiRes)) {
    image_.setDevicePixelRatio(1.0);
    if (!hiRes_.isNull()) hiRes_.setDevicePixelRatio(2.0);
}

const QPixmap& Picture::Pixmap(qreal devicePixelRatio) const {
    if (devicePixelRatio > 1.0 && !hiRes_.isNull()) {
        if (hiResPixmap_.isNull()) hiResPixmap_ = QPixmap::fromImage(hiRes_);
        return hiResPixmap_;
    }
    if (pixmap_.isNull() && !image_.isNull()) pixmap_ = QPixmap::fromImage(image_);
    return pixmap_;
}

namespace {

QImage Load(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return {};
    QImage image;
    if (!image.load(QString::fromStdString(path.string()))) return {};
    return image;
}

}  // namespace

Ref<Picture> Picture::Open(const FolderItem& file) {
    if (!file.Exists() || file.IsFolder()) return nullptr;
    const std::filesystem::path& path = file.Path();
    QImage image = Load(path);
    if (image.isNull()) return nullptr;
    std::filesystem::path hiResPath =
        path.parent_path() / (path.stem().string() + "@2x" + path.extension().string());
    QImage hiRes = Load(hiResPath);
    if (hiRes.size() != image.size() * 2) hiRes = QImage();
    return Ref<Picture>(new Picture(std::move(image), std::move(hiRes)));
}

Ref<Picture> Picture::OpenFromApp(const String& name) {
    if (TestLoader()) return TestLoader()(name);
    Ref<FolderItem> resources = GetApplicationBundleResources();
    Ref<FolderItem> file = resources->Child(name);
    return Open(*file);
}

void Picture::SetLoaderForTesting(Loader loader) { TestLoader() = std::move(loader); }
