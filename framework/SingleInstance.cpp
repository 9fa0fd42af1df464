#include "SingleInstance.h"

#include "Application.h"
#include "Menu.h"
#include "Runtime.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QGuiApplication>
#include <QPlatformSurfaceEvent>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QVariantMap>
#include <QWindow>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#if defined(Q_OS_UNIX)
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif
#if defined(KESTRUNE_HAVE_XCB)
#include <xcb/xcb.h>
#endif

namespace {

const char* const kAppId = "example.kestrune.Kestrune";
const char* const kObjectPath = "/example/kestrune/Kestrune";
const char* const kInterface = "org.freedesktop.Application";
const char* const kNotShownError = "example.kestrune.Kestrune.Error.NotShown";
// How long a second launch keeps trying to reach the running copy and waits
// for its answer, all told.
constexpr int kHandOverMs = 1800;
// How long a peer on the socket has to send its line, how many may wait at
// once, and how long the line may be.
constexpr int kPeerMs = 2000;
constexpr int kMaxPeers = 32;
constexpr int kMaxLine = 4096;

const char* const kStartupIdKey = "desktop-startup-id";
const char* const kTokenKey = "activation-token";

// Read before main runs, and so before the Qt application: Qt's X11
// platform takes DESKTOP_STARTUP_ID out of the environment when it connects.
InstanceLaunch ReadOwnLaunch() {
    InstanceLaunch launch;
    if (const char* id = std::getenv("DESKTOP_STARTUP_ID")) launch.startupId = id;
    if (const char* token = std::getenv("XDG_ACTIVATION_TOKEN")) launch.activationToken = token;
    return launch;
}
const InstanceLaunch g_ownLaunch = ReadOwnLaunch();

std::string Sanitise(const std::string& text) {
    std::string out;
    for (char ch : text) {
        const bool plain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
        out += plain ? ch : '_';
    }
    return out;
}

#if defined(Q_OS_UNIX)

// Why dir is no private runtime folder of this user's (empty when it is one):
// the user's own folder, itself and not a link, that no one else may enter.
std::string WhyNotPrivate(const std::string& dir) {
    if (dir.empty() || dir[0] != '/') return "is not an absolute path";
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) return std::string("cannot be used (") + std::strerror(errno) + ")";
    if (S_ISLNK(st.st_mode)) return "is a link";
    if (!S_ISDIR(st.st_mode)) return "is not a folder";
    if (st.st_uid != ::getuid()) return "belongs to another user";
    if ((st.st_mode & 0777) != 0700) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return std::string("has mode ") + mode + ", not 0700";
    }
    return {};
}

// $XDG_RUNTIME_DIR when it is private, or a folder of the user's own in
// /tmp; empty when neither is to be had.
std::string RuntimeFolder() {
    const char* env = std::getenv("XDG_RUNTIME_DIR");
    std::string whyNotEnv;
    if (env && env[0]) {
        whyNotEnv = WhyNotPrivate(env);
        if (whyNotEnv.empty()) return env;
    }
    const std::string dir = "/tmp/kestrune-" + std::to_string(::getuid());
    ::mkdir(dir.c_str(), 0700);
    const std::string whyNotTmp = WhyNotPrivate(dir);
    if (!whyNotEnv.empty()) {
        RuntimeReport("XDG_RUNTIME_DIR (" + std::string(env) + ") " + whyNotEnv + ": " +
                      (whyNotTmp.empty() ? "using " + dir + " instead" : dir + " " + whyNotTmp + " too"));
    } else if (!whyNotTmp.empty()) {
        RuntimeReport("no runtime folder (" + dir + " " + whyNotTmp + "): running without the check for another copy");
    }
    return whyNotTmp.empty() ? dir : std::string();
}

// Opens (making it if need be) the lock file, never through a link; -1 and
// why when it is not a plain file of the user's.
int OpenLock(const std::string& path, std::string* why) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) {
        *why = errno == ELOOP ? "it is a link" : std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid()) {
        ::close(fd);
        *why = "it is not a file of the user's";
        return -1;
    }
    return fd;
}

bool FillAddress(const std::string& path, sockaddr_un* addr) {
    *addr = {};
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path) return false;
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool PeerIsUs(int fd) {
    ucred cred {};
    socklen_t len = sizeof cred;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == ::getuid();
}

#endif

// ---------------------------------------------------------------------------
// The launch's startup notification and activation, shown on the window.

#if defined(KESTRUNE_HAVE_XCB) && QT_CONFIG(xcb)

xcb_connection_t* XConnection() {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return nullptr;
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return atom;
}

// The root window of the screen the display names.
xcb_window_t RootWindow(xcb_connection_t* c) {
    int screen = 0;
    char* host = nullptr;
    int display = 0;
    if (xcb_parse_display(nullptr, &host, &display, &screen)) std::free(host);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; it.rem && i < screen; ++i) xcb_screen_next(&it);
    return it.rem ? it.data->root : xcb_window_t(XCB_WINDOW_NONE);
}

// The time of the user's action that made the launch: the _TIME<n> part of
// its id (0 when there is none).
uint32_t LaunchTime(const std::string& id) {
    const size_t at = id.rfind("_TIME");
    if (at == std::string::npos || at + 5 >= id.size()) return 0;
    uint32_t time = 0;
    for (size_t i = at + 5; i < id.size(); ++i) {
        if (id[i] < '0' || id[i] > '9') return 0;
        time = time * 10 + static_cast<uint32_t>(id[i] - '0');
    }
    return time;
}

// Ends the startup sequence of id: the "remove" message of the freedesktop
// startup-notification protocol, sent to the root window in 20-byte pieces
// (the first as _NET_STARTUP_INFO_BEGIN, the rest as _NET_STARTUP_INFO), the
// last ending in a NUL.
void SendStartupRemove(const std::string& id) {
    xcb_connection_t* c = XConnection();
    if (!c || id.empty()) return;
    std::string message = "remove: ID=\"";
    for (char ch : id) {
        if (ch == '"' || ch == '\\') message += '\\';
        message += ch;
    }
    message += '"';
    const xcb_window_t root = RootWindow(c);
    const xcb_atom_t begin = Atom(c, "_NET_STARTUP_INFO_BEGIN");
    const xcb_atom_t more = Atom(c, "_NET_STARTUP_INFO");
    if (!root || !begin || !more) return;
    const size_t length = message.size() + 1;  // with the NUL
    for (size_t sent = 0; sent < length; sent += 20) {
        xcb_client_message_event_t ev {};
        ev.response_type = XCB_CLIENT_MESSAGE;
        ev.format = 8;
        ev.window = root;
        ev.type = sent == 0 ? begin : more;
        std::memcpy(ev.data.data8, message.c_str() + sent, std::min<size_t>(20, length - sent));
        xcb_send_event(c, 0, root, XCB_EVENT_MASK_PROPERTY_CHANGE, reinterpret_cast<const char*>(&ev));
    }
    xcb_flush(c);
}

// The application's own windows that a window manager manages (not the tray
// icon, not menus or tool tips).
bool IsManagedTopLevel(const QWindow* w) {
    if (!w->isTopLevel()) return false;
    const Qt::WindowType type = w->type();
    if (type != Qt::Window && type != Qt::Dialog) return false;
    return !(w->flags() & (Qt::BypassWindowManagerHint | Qt::X11BypassWindowManagerHint));
}

void SetStartupIdProperty(xcb_connection_t* c, xcb_window_t window, const std::string& id) {
    const xcb_atom_t property = Atom(c, "_NET_STARTUP_ID");
    const xcb_atom_t utf8 = Atom(c, "UTF8_STRING");
    if (!property || !utf8) return;
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, property, utf8, 8, static_cast<uint32_t>(id.size()),
                        id.data());
}

// Asks the window manager to activate window on behalf of the user's action
// at time (a request from the application, as the EWMH puts it).
void RequestActivation(xcb_connection_t* c, xcb_window_t window, uint32_t time) {
    const xcb_window_t root = RootWindow(c);
    const xcb_atom_t active = Atom(c, "_NET_ACTIVE_WINDOW");
    if (!root || !active) return;
    xcb_client_message_event_t ev {};
    ev.response_type = XCB_CLIENT_MESSAGE;
    ev.format = 32;
    ev.window = window;
    ev.type = active;
    ev.data.data32[0] = 1;  // from an application
    ev.data.data32[1] = time;
    ev.data.data32[2] = XCB_WINDOW_NONE;
    xcb_send_event(c, 0, root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&ev));
}

// While a window is shown for a launch: a window made then gets the launch's
// startup id before it is mapped, so that the window manager ties it to the
// launch (its time, its workspace).
class StartupIdOnNewWindows : public QObject {
public:
    explicit StartupIdOnNewWindows(std::string id) : id_(std::move(id)) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::PlatformSurface &&
            static_cast<QPlatformSurfaceEvent*>(event)->surfaceEventType() ==
                QPlatformSurfaceEvent::SurfaceCreated) {
            auto* w = qobject_cast<QWindow*>(watched);
            xcb_connection_t* c = XConnection();
            if (w && c && IsManagedTopLevel(w)) SetStartupIdProperty(c, static_cast<xcb_window_t>(w->winId()), id_);
        }
        return false;
    }

private:
    std::string id_;
};

#endif

bool AnyWindowShown() {
    const QWindowList windows = QGuiApplication::topLevelWindows();
    return std::any_of(windows.begin(), windows.end(), [](const QWindow* w) {
        return w->isVisible() && (w->type() == Qt::Window || w->type() == Qt::Dialog) &&
               !(w->flags() & (Qt::BypassWindowManagerHint | Qt::X11BypassWindowManagerHint));
    });
}

// Chooses the About item; true when that went without an exception.
bool ChooseAbout() {
    Ref<Object> obj = GetAppObject();
    auto* app = dynamic_cast<Application*>(obj.get());
    if (!app) return false;
    Ref<MenuItem> about = FindMenuItemOfClass(app->MenuBar(), AppleMenuItem::Class());
    if (!about) return false;
    return RuntimeRaiseEvent([&] { about->Choose(); });
}

// ---------------------------------------------------------------------------
// The hand-over.

enum class Answer { Absent, Shown, Failed };
struct Outcome {
    Answer answer = Answer::Absent;
    std::string why;  // for Failed: the line said
};
Outcome Failed(const std::string& why) { return {Answer::Failed, "another copy is running but " + why}; }

InstanceLaunch FromPlatformData(const QDBusMessage& message) {
    InstanceLaunch launch;
    if (message.arguments().isEmpty()) return launch;
    const QVariant arg = message.arguments().constFirst();
    QVariantMap data;
    if (arg.canConvert<QDBusArgument>())
        data = qdbus_cast<QVariantMap>(arg.value<QDBusArgument>());
    else
        data = arg.toMap();
    auto text = [&](const char* key) {
        QVariant v = data.value(QLatin1String(key));
        if (v.canConvert<QDBusVariant>() && v.userType() == qMetaTypeId<QDBusVariant>())
            v = v.value<QDBusVariant>().variant();
        return v.userType() == QMetaType::QString ? v.toString().toStdString() : std::string();
    };
    launch.startupId = text(kStartupIdKey);
    launch.activationToken = text(kTokenKey);
    return launch;
}

// Answers Activate on the bus once the window is shown (or could not be):
// the reply is delayed until then.
class BusObject : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override {
        return QStringLiteral(
            "<interface name=\"org.freedesktop.Application\">"
            "<method name=\"Activate\"><arg type=\"a{sv}\" name=\"platform_data\" direction=\"in\"/></method>"
            "</interface>");
    }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.type() != QDBusMessage::MethodCallMessage || message.member() != QLatin1String("Activate"))
            return false;
        if (!message.interface().isEmpty() && message.interface() != QLatin1String(kInterface)) return false;
        const InstanceLaunch launch = FromPlatformData(message);
        message.setDelayedReply(true);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [message, connection, launch] {
                const bool shown = SingleInstanceShowMainWindow(launch);
                connection.send(shown ? message.createReply()
                                      : message.createErrorReply(QString::fromLatin1(kNotShownError),
                                                                 QStringLiteral("the window could not be shown")));
            },
            Qt::QueuedConnection);
        return true;
    }
};

QString BusName(const std::string& key) { return QString::fromLatin1(kAppId) + '.' + QString::fromStdString(key); }

// Asks the copy that owns the bus name to show its window, waiting up to ms
// for its answer.
Outcome AskOverBus(const QDBusConnection& bus, const QString& name, int ms) {
    if (!bus.isConnected() || !bus.interface()) return {};
    if (!bus.interface()->isServiceRegistered(name).value()) return {};
    QVariantMap data;
    if (!g_ownLaunch.startupId.empty())
        data.insert(kStartupIdKey, QString::fromStdString(g_ownLaunch.startupId));
    if (!g_ownLaunch.activationToken.empty())
        data.insert(kTokenKey, QString::fromStdString(g_ownLaunch.activationToken));
    QDBusMessage call = QDBusMessage::createMethodCall(name, kObjectPath, kInterface, "Activate");
    call << data;
    const QDBusMessage reply = bus.call(call, QDBus::Block, std::max(ms, 50));
    if (reply.type() == QDBusMessage::ReplyMessage) return {Answer::Shown, {}};
    const QString error = reply.errorName();
    if (error == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        error == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))
        return {};  // gone meanwhile
    if (error == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        error == QLatin1String("org.freedesktop.DBus.Error.Timeout"))
        return Failed("does not answer");
    if (error == QLatin1String(kNotShownError)) return Failed("could not show its window");
    return Failed("answered wrongly (" + error.toStdString() + ")");
}

std::string ActivateLine() {
    std::string line = "activate";
    auto field = [&](const char* key, const std::string& value) {
        if (value.empty()) return;
        line += std::string(" ") + key + "=" + QByteArray::fromStdString(value).toPercentEncoding().toStdString();
    };
    field(kStartupIdKey, g_ownLaunch.startupId);
    field(kTokenKey, g_ownLaunch.activationToken);
    return line + "\n";
}

// The launch a line asks for; false when the line is no request.
bool ParseActivateLine(const QByteArray& line, InstanceLaunch* launch) {
    const QList<QByteArray> fields = line.split(' ');
    if (fields.isEmpty() || fields.first() != "activate") return false;
    for (qsizetype i = 1; i < fields.size(); ++i) {
        const qsizetype eq = fields[i].indexOf('=');
        if (eq <= 0) continue;
        const QByteArray key = fields[i].left(eq);
        const std::string value = QByteArray::fromPercentEncoding(fields[i].mid(eq + 1)).toStdString();
        if (key == kStartupIdKey) launch->startupId = value;
        if (key == kTokenKey) launch->activationToken = value;
    }
    return true;
}

#if defined(Q_OS_UNIX)

// Asks the copy that listens on the socket, waiting up to ms for its
// answer; Absent when none listens there.
Outcome AskOverSocket(const std::string& path, int ms) {
    QElapsedTimer clock;
    clock.start();
    auto left = [&] { return static_cast<int>(std::max<qint64>(0, ms - clock.elapsed())); };
    struct stat st {};
    // Only a socket of the user's own: never through a link.
    if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != ::getuid()) return {};
    sockaddr_un addr;
    if (!FillAddress(path, &addr)) return {};
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    // A copy that is stopped, or has a full queue, holds the connection up
    // no longer than the time there is.
    timeval tv {left() / 1000, (left() % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return {};
    }
    Outcome out = Failed("does not answer");
    if (!PeerIsUs(fd)) {
        ::close(fd);
        return Failed("belongs to another user");
    }
    const std::string line = ActivateLine();
    if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        ::close(fd);
        return out;
    }
    std::string answer;
    bool closed = false;
    while (answer.find('\n') == std::string::npos && answer.size() < 64) {
        pollfd p {fd, POLLIN, 0};
        const int remaining = left();
        if (remaining <= 0 || ::poll(&p, 1, remaining) <= 0) break;
        char buf[64];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            closed = true;
            break;
        }
        answer.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    if (answer == "ok\n") return {Answer::Shown, {}};
    if (answer == "failed\n") return Failed("could not show its window");
    if (!answer.empty()) return Failed("answered wrongly");
    // Turned away without a word (a copy with as many peers waiting as it
    // takes, or one that is going): try again while there is time.
    if (closed) return {};
    return out;
}

// The running copy's socket: listening, each peer given its time, never
// closed for want of descriptors, made again should its file go.
class HandOverServer : public QObject {
public:
    explicit HandOverServer(std::string path) : path_(std::move(path)) {
        spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        // Told by the system (no polling) when the file goes or changes.
        connect(&watch_, &QFileSystemWatcher::fileChanged, this, [this] { CheckFile(); });
    }
    ~HandOverServer() override {
        Close();
        if (spare_ >= 0) ::close(spare_);
    }

    // Listens at the path; false with the reason said.
    bool Listen() {
        std::string why;
        if (!Bind(&why)) {
            if (!reported_) RuntimeReport("cannot listen on " + path_ + " (" + why + ")");
            reported_ = true;
            return false;
        }
        reported_ = false;
        return true;
    }

    void PeerGone() { --peers_; }

private:
    bool Bind(std::string* why) {
        struct stat st {};
        if (::lstat(path_.c_str(), &st) == 0) {
            // The lock is ours: a socket there was left by a copy that is
            // gone. Anything else is left alone.
            if (!S_ISSOCK(st.st_mode) || st.st_uid != ::getuid()) {
                *why = "something other than a socket of the user's is there";
                return false;
            }
            ::unlink(path_.c_str());
        }
        sockaddr_un addr;
        if (!FillAddress(path_, &addr)) {
            *why = "the path is too long";
            return false;
        }
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            *why = std::strerror(errno);
            return false;
        }
        // The file bind makes takes the socket's own mode: the user's alone.
        ::fchmod(fd, 0600);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, kMaxPeers) != 0 ||
            ::lstat(path_.c_str(), &st) != 0) {
            *why = std::strerror(errno);
            ::close(fd);
            return false;
        }
        Close();
        fd_ = fd;
        dev_ = st.st_dev;
        ino_ = st.st_ino;
        notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] { Accept(); });
        Watch();
        return true;
    }

    // Removes the socket file when it is still the one made here.
    void Close() {
        if (fd_ < 0) return;
        delete std::exchange(notifier_, nullptr);
        struct stat st {};
        if (::lstat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == dev_ && st.st_ino == ino_)
            ::unlink(path_.c_str());
        ::close(std::exchange(fd_, -1));
    }

    bool FileIsOurs() const {
        struct stat st {};
        return fd_ >= 0 && ::lstat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == dev_ &&
               st.st_ino == ino_;
    }

    void Watch() {
        const QString file = QString::fromStdString(path_);
        if (!watch_.files().contains(file)) watch_.addPath(file);
    }

    // The file removed (or replaced): made again, as long as the place is ours.
    void CheckFile() {
        if (FileIsOurs())
            Watch();
        else
            Listen();
    }

    void Accept() {
        for (int turn = 0; turn < 64; ++turn) {
            const int peer = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (peer >= 0) {
                Take(peer);
                continue;
            }
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            if ((errno == EMFILE || errno == ENFILE) && spare_ >= 0) {
                // No descriptor for the peer: the spare one makes room to
                // take it and turn it away, so that it leaves the queue.
                ::close(std::exchange(spare_, -1));
                const int turnedAway = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (turnedAway >= 0) ::close(turnedAway);
                spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
                continue;
            }
            if (errno == EBADF || errno == EINVAL || errno == ENOTSOCK) {
                Listen();
                return;
            }
            // Short of memory or descriptors: a pause, then the queue again.
            notifier_->setEnabled(false);
            QTimer::singleShot(200, this, [this] {
                if (notifier_) notifier_->setEnabled(true);
            });
            return;
        }
    }

    void Take(int peer);

    std::string path_;
    int fd_ = -1;
    int spare_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    QSocketNotifier* notifier_ = nullptr;
    QFileSystemWatcher watch_;
    int peers_ = 0;
    bool reported_ = false;
};

// One peer on the socket: its line within its time, then the answer.
class HandOverPeer : public QObject {
public:
    HandOverPeer(HandOverServer* server, int fd) : QObject(server), server_(server), fd_(fd), notifier_(fd, QSocketNotifier::Read, this) {
        connect(&notifier_, &QSocketNotifier::activated, this, [this] { Read(); });
        QTimer::singleShot(kPeerMs, this, [this] { Drop(); });
    }
    ~HandOverPeer() override {
        ::close(fd_);
        server_->PeerGone();
    }

private:
    void Read() {
        char buf[512];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
        if (n <= 0) return Drop();
        line_.append(buf, n);
        const qsizetype end = line_.indexOf('\n');
        if (end < 0) {
            if (line_.size() > kMaxLine) Drop();
            return;
        }
        InstanceLaunch launch;
        if (ParseActivateLine(line_.left(end).trimmed(), &launch)) {
            notifier_.setEnabled(false);
            const bool shown = SingleInstanceShowMainWindow(launch);
            const char* answer = shown ? "ok\n" : "failed\n";
            (void)!::send(fd_, answer, std::strlen(answer), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        Drop();
    }

    void Drop() {
        notifier_.setEnabled(false);
        deleteLater();
    }

    HandOverServer* server_;
    int fd_;
    QSocketNotifier notifier_;
    QByteArray line_;
};

void HandOverServer::Take(int peer) {
    if (peers_ >= kMaxPeers || !PeerIsUs(peer)) {
        ::close(peer);
        return;
    }
    ++peers_;
    new HandOverPeer(this, peer);
}

#endif

struct Instance {
    int lockFd = -1;
#if defined(Q_OS_UNIX)
    HandOverServer* server = nullptr;
#endif
    BusObject* busObject = nullptr;
    QString busName;
};
Instance* g_instance = nullptr;

#if defined(Q_OS_UNIX)
// Takes the place with the lock held: the socket, and the bus name where
// there is a bus. False when another copy owns the bus name (the place is
// given up again, the lock closed).
bool BecomeRunning(int lockFd, const std::string& socketPath, QDBusConnection& bus, const QString& busName) {
    auto* inst = new Instance;
    inst->lockFd = lockFd;
    g_instance = inst;
    inst->server = new HandOverServer(socketPath);
    inst->server->Listen();
    if (bus.isConnected()) {
        inst->busObject = new BusObject;
        bus.registerVirtualObject(kObjectPath, inst->busObject);
        if (bus.registerService(busName)) {
            inst->busName = busName;
        } else if (bus.interface() && bus.interface()->isServiceRegistered(busName).value()) {
            SingleInstanceStop();
            return false;
        }
    }
    return true;
}
#endif

}  // namespace

std::string SingleInstanceDisplayKey() {
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("xcb")) {
#if defined(KESTRUNE_HAVE_XCB)
        char* host = nullptr;
        int display = 0, screen = 0;
        if (xcb_parse_display(nullptr, &host, &display, &screen)) {
            std::string h = host ? host : "";
            std::free(host);
            if (h == "unix") h.clear();
            return Sanitise("x11_" + (h.empty() ? std::string() : h + "_") + std::to_string(display));
        }
#endif
        return "x11_" + Sanitise(qEnvironmentVariable("DISPLAY").toStdString());
    }
    if (platform.startsWith(QLatin1String("wayland"))) {
        const QString name = qEnvironmentVariable("WAYLAND_DISPLAY", QStringLiteral("wayland-0"));
        return "wayland_" + Sanitise(name.toStdString());
    }
    return Sanitise(platform.toStdString());
}

InstanceLaunch SingleInstanceOwnLaunch() { return g_ownLaunch; }

InstanceRole SingleInstanceStart() {
#if defined(Q_OS_UNIX)
    if (g_instance) return InstanceRole::Running;
    const std::string dir = RuntimeFolder();
    if (dir.empty()) return InstanceRole::Only;
    const std::string key = SingleInstanceDisplayKey();
    const std::string base = dir + "/" + kAppId + "." + key;
    const std::string socketPath = base + ".socket";
    if (socketPath.size() >= 100) return InstanceRole::Only;  // beyond a socket address
    std::string why;
    int lockFd = OpenLock(base + ".lock", &why);
    if (lockFd < 0) {
        RuntimeReport("cannot use the lock " + base + ".lock (" + why + "): running without the check for another copy");
        return InstanceRole::Only;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString busName = BusName(key);

    QElapsedTimer clock;
    clock.start();
    auto left = [&] { return static_cast<int>(std::max<qint64>(0, kHandOverMs - clock.elapsed())); };
    Outcome out;
    for (;;) {
        if (::flock(lockFd, LOCK_EX | LOCK_NB) == 0) {
            // The place here is free; a copy started with another runtime
            // folder may still own the bus name.
            out = AskOverBus(bus, busName, left());
            if (out.answer != Answer::Absent) break;
            if (BecomeRunning(lockFd, socketPath, bus, busName)) return InstanceRole::Running;
            lockFd = -1;  // went with the place
            // Another copy took the bus name meanwhile.
            out = AskOverBus(bus, busName, left());
            if (out.answer == Answer::Absent) out = Failed("does not answer");
            break;
        }
        out = AskOverBus(bus, busName, left());
        if (out.answer == Answer::Absent) out = AskOverSocket(socketPath, left());
        if (out.answer != Answer::Absent) break;
        if (left() <= 0) {
            out = Failed("does not answer");
            break;
        }
        // The running copy is between taking the lock and listening, or is
        // going: try again.
        QThread::msleep(100);
    }
    if (lockFd >= 0) ::close(lockFd);
    if (out.answer == Answer::Shown) return InstanceRole::HandedOver;
    RuntimeReport(out.why);
#if defined(KESTRUNE_HAVE_XCB) && QT_CONFIG(xcb)
    // No window comes of this launch: its startup notification ends here.
    SendStartupRemove(g_ownLaunch.startupId);
#endif
    return InstanceRole::HandOverFailed;
#else
    return InstanceRole::Only;
#endif
}

void SingleInstanceStop() {
    Instance* inst = std::exchange(g_instance, nullptr);
    if (!inst) return;
    if (inst->busObject) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!inst->busName.isEmpty()) bus.unregisterService(inst->busName);
        bus.unregisterObject(kObjectPath);
        delete inst->busObject;
    }
#if defined(Q_OS_UNIX)
    delete inst->server;  // removes the socket file
    if (inst->lockFd >= 0) ::close(inst->lockFd);
#endif
    delete inst;
}

bool SingleInstanceShowMainWindow(const InstanceLaunch& launch) {
    const bool wayland = QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
    // Qt's Wayland platform activates a window with the token it finds in
    // the environment (xdg-activation), and takes it away once used.
    const bool withToken = wayland && !launch.activationToken.empty();
    if (withToken) qputenv("XDG_ACTIVATION_TOKEN", QByteArray::fromStdString(launch.activationToken));
#if defined(KESTRUNE_HAVE_XCB) && QT_CONFIG(xcb)
    xcb_connection_t* c = launch.startupId.empty() ? nullptr : XConnection();
    std::unique_ptr<StartupIdOnNewWindows> filter;
    if (c) {
        filter = std::make_unique<StartupIdOnNewWindows>(launch.startupId);
        QCoreApplication::instance()->installEventFilter(filter.get());
    }
#endif
    const bool shown = ChooseAbout() && AnyWindowShown();
    if (withToken && qgetenv("XDG_ACTIVATION_TOKEN") == QByteArray::fromStdString(launch.activationToken))
        qunsetenv("XDG_ACTIVATION_TOKEN");
#if defined(KESTRUNE_HAVE_XCB) && QT_CONFIG(xcb)
    if (c) {
        QCoreApplication::instance()->removeEventFilter(filter.get());
        // A window that was open already is raised on behalf of the launch
        // too: its startup id, and the activation at the launch's time.
        const uint32_t time = LaunchTime(launch.startupId);
        for (QWindow* w : QGuiApplication::topLevelWindows()) {
            if (!w->isVisible() || !IsManagedTopLevel(w)) continue;
            const auto window = static_cast<xcb_window_t>(w->winId());
            SetStartupIdProperty(c, window, launch.startupId);
            if (time) RequestActivation(c, window, time);
        }
    }
    SendStartupRemove(launch.startupId);
#endif
    return shown;
}
