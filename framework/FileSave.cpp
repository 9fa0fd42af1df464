#include "FileSave.h"

#include <QRandomGenerator>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::atomic<bool> g_unnamedTempFiles{true};

constexpr int kSuffixLetters = 6;
constexpr char kXmlStart[] = "<?xml";

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    int get() const { return fd_; }
    int Release() { return std::exchange(fd_, -1); }
    void Reset(int fd) {
        Close();
        fd_ = fd;
    }
    // Closes now and answers 0 or the errno of close, which on some
    // filesystems (NFS) is where a failed write shows.
    int Close() {
        if (fd_ < 0) return 0;
        const int rc = ::close(std::exchange(fd_, -1));
        return rc == 0 || errno == EINTR ? 0 : errno;
    }

private:
    int fd_;
};

[[noreturn]] void Fail(const std::string& path, const std::string& step, int err) {
    throw IOException("cannot save " + path + ": " + step + ": " + std::strerror(err));
}

// While in scope SIGXFSZ is blocked in this thread; one that a write raised
// meanwhile is taken off again, so that a file-size limit shows as EFBIG.
class FileSizeSignalHeld {
public:
    FileSizeSignalHeld() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGXFSZ);
        sigset_t pending;
        sigemptyset(&pending);
        // One that was pending already is someone else's: leave it be.
        drain_ = sigpending(&pending) == 0 && !sigismember(&pending, SIGXFSZ);
        pthread_sigmask(SIG_BLOCK, &set_, &old_);
    }
    ~FileSizeSignalHeld() {
        if (drain_) {
            const timespec zero{};
            while (sigtimedwait(&set_, nullptr, &zero) == SIGXFSZ) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    FileSizeSignalHeld(const FileSizeSignalHeld&) = delete;
    FileSizeSignalHeld& operator=(const FileSizeSignalHeld&) = delete;

private:
    sigset_t set_{};
    sigset_t old_{};
    bool drain_ = false;
};

// Writes all of data at offset; answers 0 or the errno of the failing write.
int WriteAll(int fd, const char* data, size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        data += n;
        size -= static_cast<size_t>(n);
        offset += n;
    }
    return 0;
}

// Whether this process may follow the link described by link, found in the
// folder described by folder. In a folder that someone else can write into
// (one with a group or other write bit, or one owned by another user) a link
// may have been planted to turn the save onto a file of the planter's
// choosing: only the follower's own links are followed there, and root's
// links in root's folders. This is the kernel's rule for links in sticky
// folders (fs.protected_symlinks), applied to every folder others can write,
// except that a folder's owner other than root is not trusted as well: that
// owner is the very user who could have planted the link.
bool MayFollow(const struct stat& folder, const struct stat& link) {
    const uid_t me = ::geteuid();
    const bool othersMayWrite = folder.st_uid != me || (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (!othersMayWrite || link.st_uid == me) return true;
    return link.st_uid == 0 && folder.st_uid == 0;
}

// The text of the link open (O_PATH | O_NOFOLLOW) at fd.
std::string ReadLinkAt(int fd, const std::string& shown) {
    std::string to(256, '\0');
    for (;;) {
        const ssize_t n = ::readlinkat(fd, "", to.data(), to.size());
        if (n < 0) Fail(shown, "reading the link", errno);
        if (static_cast<size_t>(n) < to.size()) {
            to.resize(static_cast<size_t>(n));
            return to;
        }
        if (to.size() >= 65536) Fail(shown, "reading the link", ENAMETOOLONG);
        to.resize(to.size() * 2);
    }
}

// Where a save lands: the folder that is to hold the file, open for reading,
// and the file's name in it.
struct Landing {
    Fd folder;
    std::string base;
};

// Walks path one name at a time from an open folder to the next, as the
// kernel resolves it, following each link on the way (in the folders and at
// the end, to the file it names) only where MayFollow allows. Each link is
// checked and read through the one descriptor, so that it cannot be swapped
// in between. A dangling link at the end gives the name it points at.
Landing Resolve(const fs::path& path, const std::string& shown) {
    // The names still to walk, the next one last.
    std::vector<std::string> pending;
    auto push = [&pending](const fs::path& p) {
        std::vector<std::string> names;
        // "a/b/" gives "a", "b" and "": an empty last name, which is no file.
        for (const fs::path& part : p.relative_path()) names.push_back(part.string());
        pending.insert(pending.end(), names.rbegin(), names.rend());
    };
    auto land = [&](const Fd& folder, const std::string& name) {
        Fd readable(::openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (readable.get() < 0) Fail(shown, "opening the folder", errno);
        return Landing{std::move(readable), name};
    };
    auto start = [&](const fs::path& p) {
        Fd from(::open(p.is_absolute() ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (from.get() < 0) Fail(shown, "opening the folder", errno);
        return from;
    };

    Fd at = start(path);
    push(path);
    if (pending.empty()) pending.emplace_back();
    int links = 0;
    for (;;) {
        const std::string name = pending.back();
        pending.pop_back();
        const bool last = pending.empty();
        if (last && (name.empty() || name == "." || name == "..")) Fail(shown, "naming the file", EISDIR);
        if (name.empty() || name == ".") continue;

        Fd next(::openat(at.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (next.get() < 0) {
            if (last && errno == ENOENT) return land(at, name);
            Fail(shown, "opening the folder", errno);
        }
        struct stat st {};
        if (::fstat(next.get(), &st) != 0) Fail(shown, "opening the folder", errno);
        if (S_ISLNK(st.st_mode)) {
            if (++links > 40) Fail(shown, "following the link", ELOOP);
            struct stat folder {};
            if (::fstat(at.get(), &folder) != 0) Fail(shown, "opening the folder", errno);
            if (!MayFollow(folder, st))
                Fail(shown, "following a link of another user in a folder that others can write", EACCES);
            const fs::path to = ReadLinkAt(next.get(), shown);
            if (to.empty()) Fail(shown, "following the link", ENOENT);
            if (to.is_absolute()) at = start(to);
            push(to);
            continue;
        }
        if (last) return land(at, name);
        if (!S_ISDIR(st.st_mode)) Fail(shown, "opening the folder", ENOTDIR);
        at.Reset(next.Release());
    }
}

std::string TempName(const std::string& base) {
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::string name = base + '.';
    for (int i = 0; i < kSuffixLetters; ++i) name += kLetters[QRandomGenerator::system()->bounded(52)];
    return name;
}

bool IsTempNameOf(const std::string& name, const std::string& base) {
    if (name.size() != base.size() + 1 + kSuffixLetters || name.compare(0, base.size(), base) != 0 ||
        name[base.size()] != '.')
        return false;
    for (size_t i = base.size() + 1; i < name.size(); ++i) {
        const char c = name[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
    }
    return true;
}

// Removes what killed saves of base left in the folder (see the header for
// what counts). Best effort: whatever cannot be looked at is left.
void RemoveAbandonedTemps(int dirfd, const std::string& base) {
    const int listfd = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listfd < 0) return;
    DIR* dir = ::fdopendir(listfd);
    if (!dir) {
        ::close(listfd);
        return;
    }
    const time_t oldest = std::time(nullptr) - kAbandonedTempAge.count();
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!IsTempNameOf(name, base)) continue;
        struct stat st {};
        if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != ::geteuid() || st.st_mtime > oldest)
            continue;
        // Opened for writing: NFS locks a file only for a writer. Where the
        // filesystem has no locks at all, the age alone decides.
        Fd fd(::openat(dirfd, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd.get() < 0 || (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)) continue;
        char head[sizeof kXmlStart - 1] = {};
        const ssize_t got = ::pread(fd.get(), head, sizeof head, 0);
        struct stat held {};
        if (got < 0 || std::memcmp(head, kXmlStart, static_cast<size_t>(got)) != 0 || ::fstat(fd.get(), &held) != 0 ||
            held.st_dev != st.st_dev || held.st_ino != st.st_ino)
            continue;
        ::unlinkat(dirfd, name.c_str(), 0);
    }
    ::closedir(dir);
}

// A temporary file in the folder, removed again unless committed.
class TempFile {
public:
    explicit TempFile(int dirfd) : dirfd_(dirfd) {}
    ~TempFile() {
        if (!name_.empty()) ::unlinkat(dirfd_, name_.c_str(), 0);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Creates it; answers 0 or the errno of the creation.
    int Create(const std::string& base, mode_t mode) {
#ifdef O_TMPFILE
        if (g_unnamedTempFiles.load()) {
            fd_.Reset(::openat(dirfd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
            if (fd_.get() >= 0) {
                Lock();
                return 0;
            }
            // Only these say that the kernel or the filesystem has no
            // unnamed files; anything else is the folder's answer.
            if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errno;
        }
#endif
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string name = TempName(base);
            fd_.Reset(::openat(dirfd_, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, mode));
            if (fd_.get() >= 0) {
                name_ = name;
                Lock();
                return 0;
            }
            if (errno != EEXIST) return errno;
        }
        return EEXIST;
    }

    int fd() const { return fd_.get(); }

    // Gives an unnamed file a name in the folder; answers 0 or an errno.
    int Link(const std::string& base) {
        if (!name_.empty()) return 0;
        const std::string proc = "/proc/self/fd/" + std::to_string(fd_.get());
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string name = TempName(base);
            int rc = ::linkat(AT_FDCWD, proc.c_str(), dirfd_, name.c_str(), AT_SYMLINK_FOLLOW);
            if (rc != 0 && errno == ENOENT) rc = ::linkat(fd_.get(), "", dirfd_, name.c_str(), AT_EMPTY_PATH);
            if (rc == 0) {
                name_ = name;
                return 0;
            }
            if (errno != EEXIST) return errno;
        }
        return EEXIST;
    }

    int Close() { return fd_.Close(); }

    int RenameOver(const std::string& target) {
        if (::renameat(dirfd_, name_.c_str(), dirfd_, target.c_str()) != 0) return errno;
        name_.clear();
        return 0;
    }

private:
    // Marks the file as in use, so that a save in another process does not
    // take it for a leftover. Where the filesystem has no locks the save goes
    // on without: the leftovers' age keeps it safe.
    void Lock() { (void)::flock(fd_.get(), LOCK_EX | LOCK_NB); }

    int dirfd_;
    Fd fd_;
    std::string name_;
};

bool FolderRefusesNewFiles(int err) { return err == EACCES || err == EPERM || err == EROFS; }

// The write in place, for a folder that takes no new file.
void SaveInPlace(int dirfd, const std::string& base, const QByteArray& bytes, const std::string& shown,
                 int createError) {
    Fd fd(::openat(dirfd, base.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) Fail(shown, "the folder takes no new file", createError);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) Fail(shown, "reading the file's size", errno);
    if (!S_ISREG(st.st_mode)) Fail(shown, "the folder takes no new file", createError);

    const off_t length = static_cast<off_t>(bytes.size());
    if (length > st.st_size) {
        rlimit limit{};
        if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
            static_cast<rlim_t>(length) > limit.rlim_cur)
            Fail(shown, "the file-size limit", EFBIG);
        // Room for the longer content, taken before the file is touched.
        if (::fallocate(fd.get(), FALLOC_FL_KEEP_SIZE, 0, length) != 0 && errno != EOPNOTSUPP && errno != ENOSYS)
            Fail(shown, "reserving room on the disk", errno);
    }
    // A shorter content is padded to the former length with line ends, which
    // XML allows after the root element, before the file is cut to length.
    QByteArray padded = bytes;
    if (st.st_size > length) padded.append(QByteArray(static_cast<qsizetype>(st.st_size - length), '\n'));
    if (const int err = WriteAll(fd.get(), padded.constData(), static_cast<size_t>(padded.size()), 0))
        Fail(shown, "writing in place", err);
    if (st.st_size > length && ::ftruncate(fd.get(), length) != 0) Fail(shown, "cutting the file to length", errno);
    if (::fsync(fd.get()) != 0) Fail(shown, "flushing to disk", errno);
    if (const int err = fd.Close()) Fail(shown, "closing", err);
}

}  // namespace

void SetUnnamedTempFilesForTesting(bool allowed) { g_unnamedTempFiles.store(allowed); }

void SaveFileWhole(const fs::path& path, const QByteArray& bytes) {
    const std::string shown = path.string();

    FileSizeSignalHeld holdFileSizeSignal;

    const Landing landing = Resolve(path, shown);
    const Fd& dir = landing.folder;
    const std::string& base = landing.base;

    mode_t mode = 0666;
    struct stat old {};
    const bool exists = ::fstatat(dir.get(), base.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists) {
        // A link put in the file's place since the walk is not followed.
        if (S_ISLNK(old.st_mode)) Fail(shown, "the file was replaced by a link while it was saved", EAGAIN);
        if (::faccessat(dir.get(), base.c_str(), W_OK, AT_EACCESS) != 0) Fail(shown, "the file is not writable", errno);
        mode = old.st_mode & 07777;
    }

    RemoveAbandonedTemps(dir.get(), base);

    TempFile temp(dir.get());
    if (const int err = temp.Create(base, mode)) {
        if (exists && FolderRefusesNewFiles(err)) return SaveInPlace(dir.get(), base, bytes, shown, err);
        Fail(shown, "creating a temporary file", err);
    }
    // The creation's mode went through the umask; a replaced file keeps its own.
    if (exists && ::fchmod(temp.fd(), mode) != 0) Fail(shown, "setting the permissions", errno);
    if (const int err = WriteAll(temp.fd(), bytes.constData(), static_cast<size_t>(bytes.size()), 0))
        Fail(shown, "writing", err);
    if (::fsync(temp.fd()) != 0) Fail(shown, "flushing to disk", errno);
    if (const int err = temp.Link(base)) Fail(shown, "naming the temporary file", err);
    if (const int err = temp.Close()) Fail(shown, "closing", err);
    if (const int err = temp.RenameOver(base)) Fail(shown, "replacing the file", err);
    if (::fsync(dir.get()) != 0 && errno != EINVAL && errno != EROFS) Fail(shown, "flushing the folder", errno);
}
