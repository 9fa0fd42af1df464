#include "SpecialFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstdlib>
#include <vector>

#if defined(Q_OS_UNIX)
#include <pwd.h>
#include <unistd.h>
#endif

std::string SpecialFolder::UserHome() {
    const char* env = std::getenv("HOME");
    if (env && env[0] == '/') return env;
#if defined(Q_OS_UNIX)
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/')
        return found->pw_dir;
#endif
    return {};
}

Ref<FolderItem> SpecialFolder::ApplicationData() {
#if defined(Q_OS_MACOS)
    QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
#else
    // The base-directory rules: $XDG_CONFIG_HOME when it is an absolute path
    // (a relative one is invalid and is to be ignored), else ~/.config. Qt
    // would pass a relative one through, and with no HOME would give the
    // filesystem root.
    QString dir = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!QDir::isAbsolutePath(dir)) {
        const std::string home = UserHome();
        dir = home.empty() ? QString() : QFile::decodeName(home.c_str()) + QStringLiteral("/.config");
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
