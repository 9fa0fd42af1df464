#include "FolderItem.h"

#include "Sound.h"

#include <QCoreApplication>

#include <system_error>

namespace {
std::filesystem::path g_executableForTesting;
}  // namespace

const ClassInfo& FolderItem::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "FolderItem";
        c.base = &Object::Class();
        return c;
    }();
    return info;
}

String FolderItem::NativePath() const { return String::fromStdString(path_.string()); }

String FolderItem::Name() const { return String::fromStdString(path_.filename().string()); }

Ref<FolderItem> FolderItem::Child(const String& name) const {
    if (name.isEmpty() || name == "." || name == ".." || name.contains('/') || name.contains(QChar(0)))
        return nullptr;
    std::error_code ec;
    if (std::filesystem::exists(path_, ec) && !std::filesystem::is_directory(path_, ec)) return nullptr;
    return Ref<FolderItem>(new FolderItem(path_ / std::filesystem::path(name.toStdString())));
}

Ref<FolderItem> FolderItem::Parent() const {
    std::filesystem::path p = path_;
    if (!p.has_filename() && p.has_parent_path()) p = p.parent_path();  // "a/b/" -> "a/b"
    if (!p.has_parent_path() || p.parent_path() == p) return nullptr;
    return Ref<FolderItem>(new FolderItem(p.parent_path()));
}

bool FolderItem::Exists() const {
    std::error_code ec;
    return std::filesystem::exists(path_, ec);
}

bool FolderItem::IsFolder() const {
    std::error_code ec;
    return std::filesystem::is_directory(path_, ec);
}

bool FolderItem::IsEmptyFile() const {
    std::error_code ec;
    return std::filesystem::is_regular_file(path_, ec) && std::filesystem::file_size(path_, ec) == 0 && !ec;
}

void FolderItem::CreateAsFolder() const {
    std::error_code ec;
    if (!std::filesystem::create_directory(path_, ec) && ec)
        throw IOException("cannot create folder " + path_.string() + ": " + ec.message());
}

Ref<Sound> FolderItem::OpenAsSound() const { return Sound::Open(path_); }

void FolderItem::SetApplicationExecutableForTesting(const std::filesystem::path& path) {
    g_executableForTesting = path;
}

Ref<FolderItem> FolderItem::ApplicationExecutable() {
    if (!g_executableForTesting.empty()) return Ref<FolderItem>(new FolderItem(g_executableForTesting));
    QString path = QCoreApplication::instance() ? QCoreApplication::applicationFilePath() : QString();
#if defined(__linux__)
    if (path.isEmpty()) {
        std::error_code ec;
        auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        if (!ec) path = QString::fromStdString(exe.string());
    }
#endif
    if (path.isEmpty()) return nullptr;
    return Ref<FolderItem>(new FolderItem(std::filesystem::path(path.toStdString())));
}

Ref<FolderItem> GetApplicationBundleResources() {
    Ref<FolderItem> exe = FolderItem::ApplicationExecutable();
    Ref<FolderItem> macos = exe->Parent();        // nil raises NilObjectException
    Ref<FolderItem> contents = macos->Parent();
    return (*contents).Child("Resources");
}
