#include "SpecialFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

Ref<FolderItem> SpecialFolder::ApplicationData() {
#if defined(Q_OS_MACOS)
    QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
#else
    QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    // The base-directory rules say a relative $XDG_CONFIG_HOME is invalid and
    // is to be ignored; Qt passes it through as it stands.
    if (!QDir::isAbsolutePath(dir)) {
        const QString home = QDir::homePath();
        dir = home.isEmpty() ? QString() : home + QStringLiteral("/.config");
    }
#endif
    if (dir.isEmpty() || !QDir::isAbsolutePath(dir)) return nullptr;
    dir = QDir::cleanPath(dir);
    if (!QFileInfo::exists(dir) && QDir().mkpath(dir)) {
#if !defined(Q_OS_MACOS)
        QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
#endif
    }
    return Ref<FolderItem>(new FolderItem(std::filesystem::path(QFile::encodeName(dir).toStdString())));
}
