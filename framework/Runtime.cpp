#include "Runtime.h"

#include "Application.h"
#include "Window.h"

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QLibraryInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#if defined(Q_OS_UNIX)
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace {

struct InitializerEntry {
    int order;
    int seq;
    void (*fn)();
};

std::vector<InitializerEntry>& Initializers() {
    static std::vector<InitializerEntry> list;
    return list;
}

struct PluginEntry {
    const char* name;
    void (*bind)();
    bool bound = false;
};

std::vector<PluginEntry>& Plugins() {
    static std::vector<PluginEntry> list;
    return list;
}

std::exception_ptr g_pending;
std::exception_ptr g_escaped;
ExceptionHelper g_helper;
Ref<Object> g_appObject;
int g_exitResult = 0;
bool g_unhandled = false;
bool g_openRaised = false;
std::function<void(const char*)> g_stepObserver;
std::unique_ptr<QApplication> g_app;

void Step(const char* name) {
    if (g_stepObserver) g_stepObserver(name);
}

std::string Describe(std::exception_ptr e) {
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& ex) {
        std::string msg = ex.what();
        std::string line = ExceptionClassName(ex);
        if (!msg.empty()) line += ": " + msg;
        return line;
    } catch (...) {
        return "unknown exception";
    }
}

// The Qt application of a program run: an exception that escapes any event
// Qt delivers is reported, and the loop goes on.
class KestruneApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (...) {
            RuntimeReport(Describe(std::current_exception()));
            return false;
        }
    }
};

// ---------------------------------------------------------------------------
// Is there a display?

#if defined(Q_OS_UNIX)

bool ConnectUnix(const std::string& path, bool abstract) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path + offset, path.data(), path.size());
    const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0;
    ::close(fd);
    return ok;
}

bool ConnectTcp(const std::string& host, int port, int timeoutMs) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0) return false;
    bool ok = false;
    for (addrinfo* ai = res; ai && !ok; ai = ai->ai_next) {
        const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
        if (fd < 0) continue;
        if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
            ok = true;
        } else if (errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int err = 0;
            socklen_t errLen = sizeof err;
            ok = ::poll(&p, 1, timeoutMs) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen) == 0 &&
                 err == 0;
        }
        ::close(fd);
    }
    ::freeaddrinfo(res);
    return ok;
}

// DISPLAY is [host]:number[.screen]; an empty host or "unix" is the local
// socket, a host the TCP port 6000 + number.
bool XServerReachable(const std::string& display) {
    const size_t colon = display.rfind(':');
    if (colon == std::string::npos) return false;
    const std::string host = display.substr(0, colon);
    const std::string rest = display.substr(colon + 1);
    size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
    if (digits == 0 || digits > 5) return false;
    const int number = std::stoi(rest.substr(0, digits));
    if (!host.empty() && host[0] == '/') return ConnectUnix(display, false);  // a socket path
    if (!host.empty() && host.back() == ':') return true;  // DECnet: not ours to check
    if (host.empty() || host == "unix") {
        const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
        return ConnectUnix(path, true) || ConnectUnix(path, false);
    }
    return ConnectTcp(host, 6000 + number, 2000);
}

bool WaylandReachable() {
    std::string name = qEnvironmentVariable("WAYLAND_DISPLAY", "wayland-0").toStdString();
    if (name.empty()) name = "wayland-0";
    if (name[0] != '/') {
        const std::string dir = qEnvironmentVariable("XDG_RUNTIME_DIR").toStdString();
        if (dir.empty()) return false;
        name = dir + "/" + name;
    }
    return ConnectUnix(name, false);
}

bool WaylandPluginInstalled() {
    QDir dir(QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms");
    return !dir.entryList({"libqwayland*"}, QDir::Files).isEmpty();
}

#endif

// ---------------------------------------------------------------------------
// SIGTERM and SIGINT: the handler writes one byte to a pipe, and the event
// loop quits when it reads it.

#if defined(Q_OS_UNIX)
int g_signalPipe[2] = {-1, -1};

extern "C" void OnQuitSignal(int) {
    const int saved = errno;
    const char byte = 1;
    if (g_signalPipe[1] >= 0) (void)!::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

void InstallQuitSignals() {
    if (g_signalPipe[0] >= 0) return;
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char buf[64];
        while (::read(g_signalPipe[0], buf, sizeof buf) > 0) {
        }
        RuntimeQuit(0);
    });
    struct sigaction sa{};
    sa.sa_handler = OnQuitSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
}
#endif

}  // namespace

// The framework's own class tables are built first, before those of the
// program's classes that derive from them.
static StaticInitializer s_frameworkClasses(0, [] {
    (void)Object::Class();
    (void)Delegate::Class();
    (void)Application::Class();
    (void)MenuItem::Class();
    (void)MenuBar::Class();
    (void)QuitMenuItem::Class();
    (void)AppleMenuItem::Class();
    (void)Window::Class();
});

StaticInitializer::StaticInitializer(int order, void (*fn)()) {
    auto& list = Initializers();
    list.push_back({order, static_cast<int>(list.size()), fn});
}

PluginRegistration::PluginRegistration(const char* name, void (*bind)()) {
    Plugins().push_back({name, bind});
}

void RuntimeReport(const std::string& line) {
    std::fprintf(stderr, "Kestrune: %s\n", line.c_str());
    std::fflush(stderr);
}

bool RuntimeDisplayReachable(std::string* why) {
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    const std::string display = qEnvironmentVariable("DISPLAY").toStdString();
    auto x = [&] {
        if (display.empty()) {
            if (why) *why = "DISPLAY is not set";
            return false;
        }
        if (XServerReachable(display)) return true;
        if (why) *why = "cannot connect to the display \"" + display + "\"";
        return false;
    };
    const QString platform = qEnvironmentVariable("QT_QPA_PLATFORM");
    if (platform.isEmpty()) {
        if (x()) return true;
        return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && WaylandReachable() && WaylandPluginInstalled();
    }
    // A list of platforms, tried in turn; each may carry ":options".
    bool needsX = false, needsWayland = false;
    for (const QString& entry : platform.split(';', Qt::SkipEmptyParts)) {
        const QString name = entry.section(':', 0, 0);
        if (name == "xcb")
            needsX = true;
        else if (name.startsWith("wayland"))
            needsWayland = true;
        else
            return true;  // offscreen, minimal, vnc, eglfs, ...: no desktop session needed
    }
    if (needsWayland && WaylandReachable()) return true;
    if (needsX && x()) return true;
    if (why && !needsX) *why = "cannot connect to the Wayland display";
    return false;
#else
    (void)why;
    return true;
#endif
}

void RuntimeInit(int& argc, char** argv) {
    SetMainThread();
    if (QCoreApplication::instance()) return;
#if defined(Q_OS_UNIX)
    // Past the file-size limit (ulimit -f) a write, or a shared-memory file
    // that the sound library sizes, then fails with EFBIG instead of the
    // kernel ending the process.
    ::signal(SIGXFSZ, SIG_IGN);
#endif
    std::string why;
    if (!RuntimeDisplayReachable(&why)) {
        RuntimeReport("a desktop session is needed (" + why + ")");
        std::exit(2);
    }
    g_app = std::make_unique<KestruneApplication>(argc, argv);
    QCoreApplication::setApplicationName("Kestrune");
    QCoreApplication::setApplicationVersion(
        QString("%1.%2").arg(KESTRUNE_VERSION_MAJOR).arg(KESTRUNE_VERSION_MINOR));
    QGuiApplication::setQuitOnLastWindowClosed(false);
#if defined(Q_OS_UNIX)
    InstallQuitSignals();
#endif
}

void RuntimePerformInitializers() {
    auto list = Initializers();
    std::stable_sort(list.begin(), list.end(), [](const InitializerEntry& a, const InitializerEntry& b) {
        return a.order < b.order;
    });
    try {
        for (const auto& entry : list) entry.fn();
    } catch (...) {
        g_pending = std::current_exception();
    }
}

std::exception_ptr RuntimeTakePendingException() {
    return std::exchange(g_pending, nullptr);
}

std::exception_ptr FrameworkExceptionHelper(const std::function<void()>& code) {
    try {
        code();
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

void RuntimeSetExceptionHelper(ExceptionHelper helper) {
    Step("RuntimeSetExceptionHelper");
    g_helper = std::move(helper);
}

void RuntimeInitExternalClasses() {
    Step("RuntimeInitExternalClasses");
    // Building the framework's own class tables here makes them ready before
    // any program code asks for them.
    (void)Object::Class();
    (void)Delegate::Class();
    (void)Application::Class();
}

void InitPluginEntrypoints() {
    Step("InitPluginEntrypoints");
    for (auto& p : Plugins()) {
        if (p.bound) continue;
        p.bind();
        p.bound = true;
    }
}

bool PluginIsBound(const char* name) {
    for (const auto& p : Plugins())
        if (std::string(p.name) == name) return p.bound;
    return false;
}

void RunFrameworkInitialization(const std::function<void(Object*)>& lateStartup) {
    Step("RunFrameworkInitialization");
    if (!lateStartup) return;
    Step("LateStartup");
    lateStartup(nullptr);
}

void RuntimeRun() {
    Step("RuntimeRun");
    if (!QCoreApplication::instance()) throw UnsupportedOperationException("the runtime was not started");
    if (!g_openRaised) {
        g_openRaised = true;
        QTimer::singleShot(0, QCoreApplication::instance(), [] {
            Step("Open");
            if (auto* app = dynamic_cast<Application*>(g_appObject.get())) app->RaiseOpen();
        });
    }
    const int code = QCoreApplication::exec();
    if (code != 0 && g_exitResult == 0) g_exitResult = code;
}

void RuntimeQuit(int code) {
    if (code != 0) g_exitResult = code;
    QCoreApplication::exit(code);
}

void UnhandledException(std::exception_ptr e) {
    Step("UnhandledException");
    if (!e) return;
    RuntimeReport("unhandled " + Describe(e));
    g_unhandled = true;
}

void RuntimePerformFinalizers() { Step("RuntimePerformFinalizers"); }

void RuntimeKeepEscapedException(std::exception_ptr e) { g_escaped = std::move(e); }

int RuntimeExit() {
    Step("RuntimeExit");
    if (g_escaped) {
        RuntimeReport("unhandled " + Describe(g_escaped));
        g_escaped = nullptr;
        g_unhandled = true;
    }
    const int result = g_unhandled ? 1 : g_exitResult;
    // The windows close, then the application object goes (its exit hook
    // releases what it holds, timers among them), then the Qt application.
    RuntimeCloseAllWindows();
    g_appObject = nullptr;
    g_app.reset();
    return result;
}

void RuntimeRegisterAppObject(const Ref<Object>& app) { g_appObject = app; }

Ref<Object> GetAppObject() { return g_appObject; }

bool RuntimeRaiseEvent(const std::function<void()>& handler) {
    std::exception_ptr e = g_helper ? g_helper(nullptr, handler) : FrameworkExceptionHelper(handler);
    if (!e) return true;
    RuntimeReport(Describe(e));
    return false;
}

void RuntimeRaiseClassEvent(Object& obj, const char* event) {
    const EventBinding* b = obj.ClassOf().FindBinding(event);
    if (!b || !b->fn) return;
    Ref<Object> hold(&obj);
    RuntimeRaiseEvent([&] { b->fn(obj); });
}

void RuntimeResetForTesting() {
    g_pending = nullptr;
    g_escaped = nullptr;
    g_helper = nullptr;
    g_appObject = nullptr;
    g_exitResult = 0;
    g_unhandled = false;
    g_openRaised = false;
    for (auto& p : Plugins()) p.bound = false;
}

void RuntimeSetStepObserverForTesting(std::function<void(const char*)> observer) {
    g_stepObserver = std::move(observer);
}
