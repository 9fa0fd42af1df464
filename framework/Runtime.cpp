#include "Runtime.h"

#include "AppIcon.h"
#include "Application.h"
#include "SingleInstance.h"
#include "SpecialFolder.h"
#include "Tray.h"
#include "Window.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLibraryInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <semaphore>
#include <string>
#include <vector>

#if defined(Q_OS_UNIX)
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif
#if defined(KESTRUNE_HAVE_XCB)
#include <xcb/xcb.h>
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
// The Qt application the runtime made: a plain pointer, deleted by
// RuntimeExit, so that no static destructor ever touches Qt.
QApplication* g_app = nullptr;

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

// Connects to a Unix socket and hangs up again; on failure, errno's value in
// *error.
bool ConnectUnix(const std::string& path, bool abstract, int* error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof addr.sun_path) {
        *error = ENAMETOOLONG;
        return false;
    }
    std::memcpy(addr.sun_path + offset, path.data(), path.size());
    const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno;
        return false;
    }
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0;
    *error = ok ? 0 : errno;
    ::close(fd);
    return ok;
}

// Opens the X display the way Qt's xcb platform will, and closes it again.
bool XDisplayOpens(const std::string& display, std::string* why) {
#if defined(KESTRUNE_HAVE_XCB)
    // libxcb writes a server's refusal (its reason, such as "Authorization
    // required") straight to standard error: it is caught here and told in
    // the one line.
    int caught[2] = {-1, -1};
    const int savedErr = ::dup(2);
    if (savedErr >= 0 && ::pipe2(caught, O_CLOEXEC | O_NONBLOCK) == 0) ::dup2(caught[1], 2);
    int screen = 0;
    xcb_connection_t* c = xcb_connect(display.c_str(), &screen);
    const int error = xcb_connection_has_error(c);
    std::string refusal;
    if (savedErr >= 0) {
        ::dup2(savedErr, 2);
        ::close(savedErr);
    }
    if (caught[0] >= 0) {
        ::close(caught[1]);
        char buf[512];
        ssize_t n;
        while ((n = ::read(caught[0], buf, sizeof buf)) > 0) refusal.append(buf, static_cast<size_t>(n));
        ::close(caught[0]);
        for (char& ch : refusal)
            if (ch == '\n' || ch == '\r') ch = ' ';
        while (!refusal.empty() && refusal.back() == ' ') refusal.pop_back();
        while (!refusal.empty() && refusal.front() == ' ') refusal.erase(0, 1);
    }
    bool ok = false;
    if (error == 0) {
        const xcb_setup_t* setup = xcb_get_setup(c);
        ok = setup && screen >= 0 && screen < xcb_setup_roots_length(setup);
    }
    xcb_disconnect(c);
    if (!ok && why) {
        if (error == 0 || error == XCB_CONN_CLOSED_INVALID_SCREEN)
            *why = "the display \"" + display + "\" has no screen " + std::to_string(screen);
        else if (!refusal.empty())
            *why = "the display \"" + display + "\" refused the connection: " + refusal;
        else
            *why = "cannot connect to the display \"" + display + "\"";
    }
    return ok;
#else
    (void)display;
    (void)why;
    return true;
#endif
}

// The X display of DISPLAY opens (Qt's xcb platform).
bool XReachable(std::string* why) {
    const std::string display = qEnvironmentVariable("DISPLAY").toStdString();
    if (display.empty()) {
        *why = "DISPLAY is not set";
        return false;
    }
    return XDisplayOpens(display, why);
}

// The compositor's socket answers, found as libwayland finds it (Qt's
// wayland platforms connect through it): a connection handed down in
// WAYLAND_SOCKET, else WAYLAND_DISPLAY (wayland-0 when unset), inside
// XDG_RUNTIME_DIR unless it is a path.
bool WaylandReachable(std::string* why) {
    if (!qEnvironmentVariableIsEmpty("WAYLAND_SOCKET")) return true;
    std::string name = qEnvironmentVariable("WAYLAND_DISPLAY", "wayland-0").toStdString();
    if (name.empty()) {
        *why = "WAYLAND_DISPLAY is set but empty";
        return false;
    }
    if (name[0] != '/') {
        const std::string dir = qEnvironmentVariable("XDG_RUNTIME_DIR").toStdString();
        if (dir.empty()) {
            *why = "XDG_RUNTIME_DIR is not set, so the Wayland display \"" + name + "\" cannot be found";
            return false;
        }
        name = dir + "/" + name;
    }
    int error = 0;
    if (ConnectUnix(name, false, &error)) return true;
    *why = "cannot connect to the Wayland display \"" + name + "\": " + std::strerror(error);
    return false;
}

// Whether Qt finds the plug-in of the Wayland platform NAME ("wayland",
// "wayland-egl", ...) in a folder it looks in: QT_QPA_PLATFORM_PLUGIN_PATH,
// then the "platforms" folder of each plug-in folder (those of QT_PLUGIN_PATH,
// Qt's own, the executable's). Qt picks a plug-in by the keys inside it; the
// file names below are the ones Qt Wayland gives the plug-ins of those keys.
bool WaylandPluginInstalled(const QString& name) {
    const QString file = name == QLatin1String("wayland") ? QStringLiteral("libqwayland-generic.so*")
                                                           : "libq" + name + ".so*";
    QStringList dirs;
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM_PLUGIN_PATH"))
        dirs << qEnvironmentVariable("QT_QPA_PLATFORM_PLUGIN_PATH");
    for (const QString& dir : qEnvironmentVariable("QT_PLUGIN_PATH").split(QDir::listSeparator(), Qt::SkipEmptyParts))
        dirs << dir + "/platforms";
    dirs << QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms";
    const QString exe = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    if (!exe.isEmpty()) dirs << QFileInfo(exe).path() + "/platforms";
    for (const QString& dir : dirs)
        if (!QDir(dir).entryList({file}, QDir::Files).isEmpty()) return true;
    return false;
}

// The Wayland platform NAME can start: its plug-in is there and the
// compositor answers.
bool WaylandPlatformReachable(const QString& name, std::string* why) {
    if (!WaylandPluginInstalled(name)) {
        *why = "the Qt Wayland platform plugin \"" + name.toStdString() + "\" is missing: install qt6-wayland";
        return false;
    }
    return WaylandReachable(why);
}

#endif

// ---------------------------------------------------------------------------
// The process before Qt: standard descriptors, home.

#if defined(Q_OS_UNIX)
// A closed descriptor 0, 1 or 2 would be taken by the next file or socket
// opened (the display connection among them), and what is written to
// standard error would go there.
void OpenStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}
#endif

// With no HOME, Qt, the X authority lookup and the sound client would all
// take the filesystem root for the home; the password database names it.
void EnsureHome() {
    const char* home = std::getenv("HOME");
    if (home && home[0]) return;
    const std::string pw = SpecialFolder::UserHome();
    if (!pw.empty()) ::setenv("HOME", pw.c_str(), 1);
}

// ---------------------------------------------------------------------------
// Standard error, when it cannot take a line.

// Writes "Kestrune: TEXT" and a newline to standard error in one write, or
// drops it: when standard error is a pipe or socket that is full (a reader
// that does not read) the line would block the program, and when its reader
// has gone the write would only fail. Async-signal-safe; allocates nothing.
void WriteReport(const char* text, size_t len) noexcept {
#if defined(Q_OS_UNIX)
    // At most PIPE_BUF bytes: a write that size is never split, and a pipe
    // that polls writable has room for it.
    char line[PIPE_BUF];
    static constexpr char kPrefix[] = "Kestrune: ";
    size_t n = sizeof kPrefix - 1;
    std::memcpy(line, kPrefix, n);
    len = std::min(len, sizeof line - n - 1);
    std::memcpy(line + n, text, len);
    n += len;
    line[n++] = '\n';
    pollfd out{2, POLLOUT, 0};
    int ready;
    do ready = ::poll(&out, 1, 0);
    while (ready < 0 && errno == EINTR);
    if (ready != 1 || (out.revents & (POLLERR | POLLHUP | POLLNVAL)) || !(out.revents & POLLOUT)) return;
    ssize_t written;
    do written = ::write(2, line, n);
    while (written < 0 && errno == EINTR);
#else
    std::fprintf(stderr, "Kestrune: %.*s\n", static_cast<int>(len), text);
    std::fflush(stderr);
#endif
}

void WriteReport(const char* text) noexcept { WriteReport(text, std::strlen(text)); }

// ---------------------------------------------------------------------------
// Limits: open files, memory.

#if defined(Q_OS_UNIX)
// The most open files the kernel lets a process have (an unlimited hard
// limit cannot be the soft one).
unsigned long long KernelOpenFileMaximum() {
    unsigned long long value = 0;
    if (std::FILE* f = std::fopen("/proc/sys/fs/nr_open", "re")) {
        if (std::fscanf(f, "%llu", &value) != 1) value = 0;
        std::fclose(f);
    }
    return value;
}

// The bytes mapped into the process now, and of them the private writable
// ones (what the data limit counts).
struct Mapped {
    unsigned long long all = 0, data = 0;
};
Mapped MappedNow() {
    unsigned long long pages[6] = {};
    if (std::FILE* f = std::fopen("/proc/self/statm", "re")) {
        if (std::fscanf(f, "%llu %llu %llu %llu %llu %llu", &pages[0], &pages[1], &pages[2], &pages[3], &pages[4],
                        &pages[5]) != 6)
            pages[0] = pages[5] = 0;
        std::fclose(f);
    }
    const auto page = static_cast<unsigned long long>(::sysconf(_SC_PAGESIZE));
    return {pages[0] * page, pages[5] * page};
}

// The stack a thread gets when nothing says how big (RLIMIT_STACK, as Qt's
// threads get), with its guard page.
unsigned long long DefaultThreadStack() {
    pthread_attr_t attr;
    size_t size = 8u << 20, guard = 4096;
#if defined(__GLIBC__)
    if (::pthread_getattr_default_np(&attr) == 0) {
#else
    if (::pthread_attr_init(&attr) == 0) {
#endif
        ::pthread_attr_getstacksize(&attr, &size);
        ::pthread_attr_getguardsize(&attr, &guard);
        ::pthread_attr_destroy(&attr);
    }
    return size + guard;
}

extern "C" void* WaitForRelease(void* release) {
    static_cast<std::counting_semaphore<>*>(release)->acquire();
    return nullptr;
}

std::string MiB(unsigned long long bytes) { return std::to_string((bytes + (1u << 20) - 1) >> 20) + " MiB"; }
#endif

// What runs after the process set-up: the quit signals' deadline, a
// bad_alloc that nothing catches.
#if defined(Q_OS_UNIX)
timer_t g_quitDeadline{};
bool g_quitDeadlineMade = false;
std::atomic<bool> g_quitDeadlineArmed{false};
#endif
std::terminate_handler g_previousTerminate = nullptr;

// Out of memory where nothing can catch it (a thread, a noexcept function, a
// destructor): one line and status 3, never an abort with a core dump.
[[noreturn]] void OnTerminate() {
    if (std::exception_ptr e = std::current_exception()) {
        try {
            std::rethrow_exception(e);
        } catch (const std::bad_alloc&) {
            WriteReport("not enough memory");
            ::_exit(kRuntimeExitNoResources);
        } catch (...) {
        }
    }
    if (g_previousTerminate) g_previousTerminate();
    std::abort();
}

// ---------------------------------------------------------------------------
// SIGTERM, SIGINT and SIGHUP quit as Quit does (status 0). Handled from the
// start of RuntimeInit: the handler writes one byte to a pipe, which the event
// loop reads once the Qt application is there; a signal that came before the
// loop runs quits it as soon as it starts.

#if defined(Q_OS_UNIX)
int g_signalPipe[2] = {-1, -1};

extern "C" void OnQuitSignal(int) {
    const int saved = errno;
    const char byte = 1;
    if (g_signalPipe[1] >= 0) (void)!::write(g_signalPipe[1], &byte, 1);
    // The quit has a deadline: a start-up or a loop that is stuck (waiting
    // on a server that never answers, say) would never read the pipe.
    if (!g_quitDeadlineArmed.exchange(true)) {
        if (g_quitDeadlineMade) {
            itimerspec when{};
            when.it_value.tv_sec = kRuntimeQuitGraceSeconds;
            ::timer_settime(g_quitDeadline, 0, &when, nullptr);
        } else {
            ::alarm(kRuntimeQuitGraceSeconds);
        }
    }
    errno = saved;
}

extern "C" void OnQuitOverdue(int) {
    WriteReport("the quit did not finish in time; ending now");
    ::_exit(0);
}

// A write to a pipe whose reader has gone then fails with EPIPE. A handler
// that does nothing rather than SIG_IGN: an exec gives a handled signal its
// default back, so the programs this one starts (the browser, through
// xdg-open) see SIGPIPE as usual; an ignored one would stay ignored there.
// (Qt's QProcess ignores SIGPIPE itself once it starts a process, and
// restores the default in the child.)
extern "C" void OnBrokenPipe(int) {}

void CatchBrokenPipes() {
    struct sigaction sa{};
    sa.sa_handler = OnBrokenPipe;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGPIPE, &sa, nullptr);
}

// The deadline is a timer of its own rather than alarm(), whose time left
// would pass on to a program started meanwhile through exec.
void MakeQuitDeadline() {
    struct sigaction sa{};
    sa.sa_handler = OnQuitOverdue;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGALRM, &sa, nullptr);
    if (g_quitDeadlineMade) return;
    sigevent ev{};
    ev.sigev_notify = SIGEV_SIGNAL;
    ev.sigev_signo = SIGALRM;
    g_quitDeadlineMade = ::timer_create(CLOCK_MONOTONIC, &ev, &g_quitDeadline) == 0;
}

void InstallQuitSignals() {
    if (g_signalPipe[0] >= 0) return;
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction sa{};
    sa.sa_handler = OnQuitSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    MakeQuitDeadline();
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &sa, nullptr);
}
#endif

bool g_inLoop = false;
bool g_quitPending = false;

void QuitOnSignal() {
    if (g_inLoop)
        RuntimeQuit(0);
    else
        g_quitPending = true;  // the main loop has not started: it quits at once when it does
}

#if defined(Q_OS_UNIX)
void WatchQuitSignals() {
    if (g_signalPipe[0] < 0) return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, g_app);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char buf[64];
        while (::read(g_signalPipe[0], buf, sizeof buf) > 0) {
        }
        QuitOnSignal();
    });
}
#endif

// ---------------------------------------------------------------------------
// An exit that Qt makes itself: when the X connection breaks, Qt's xcb
// platform says so and calls exit(1) from inside the event loop. The static
// destructors would then run while the Qt application and its widgets still
// live. The handler below runs before them (it is registered after them)
// whenever the Qt application is still up: one line, the finalisers, and the
// process ends there, leaving the objects to the system.

bool g_qtLive = false;
bool g_displayLost = false;
QtMessageHandler g_previousMessageHandler = nullptr;

void OnQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg && message.startsWith(QLatin1String("The X11 connection broke"))) {
        g_displayLost = true;  // said in our own words on the way out
        return;
    }
    if (g_previousMessageHandler) g_previousMessageHandler(type, context, message);
}

extern "C" void OnExit(int status, void*) {
    if (!g_qtLive) return;
    g_qtLive = false;
    if (g_displayLost) RuntimeReport("the connection to the display was lost");
    RuntimePerformFinalizers();
    std::fflush(nullptr);
    ::_exit(status);
}

void GuardExit() {
#if defined(__GLIBC__)
    ::on_exit(OnExit, nullptr);
#endif
}

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

void RuntimeReport(const std::string& line) { WriteReport(line.data(), line.size()); }

unsigned long long RuntimeRaiseOpenFileLimit() {
#if defined(Q_OS_UNIX)
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return 0;
    if (lim.rlim_cur < lim.rlim_max) {
        rlimit raised = lim;
        raised.rlim_cur = lim.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            lim = raised;
        } else if (const unsigned long long most = KernelOpenFileMaximum(); most > lim.rlim_cur && most < lim.rlim_max) {
            raised.rlim_cur = most;
            if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
        }
    }
    // The children inherit the raised limit: a program that still uses
    // select() cannot watch descriptors above 1023, but such a program
    // opening that many files is one that raises its own limit anyway. Qt,
    // GLib, libxcb and libpulse here all use poll().
    return lim.rlim_cur;
#else
    return ~0ull;
#endif
}

bool RuntimeOpenFilesSuffice(unsigned long long limit, std::string* why) {
    if (limit >= kRuntimeMinOpenFiles) return true;
    if (why)
        *why = "too few file descriptors: the limit is " + std::to_string(limit) + ", at least " +
               std::to_string(kRuntimeMinOpenFiles) + " are needed";
    return false;
}

bool RuntimeMemorySuffices(std::string* why) {
#if defined(Q_OS_UNIX)
    // The threads first, as many as a run has at once, then the room beside
    // them: what Qt, the session bus and the sound library would each find
    // missing later, one at a time, some of them by waiting forever for a
    // thread that never started.
    const Mapped before = MappedNow();
    std::counting_semaphore<> release(0);
    pthread_t threads[kRuntimeThreadsNeeded];
    int started = 0;
    int threadError = 0;
    while (started < kRuntimeThreadsNeeded) {
        threadError = ::pthread_create(&threads[started], nullptr, WaitForRelease, &release);
        if (threadError != 0) break;
        ++started;
    }
    // Address space only, of which a part writable as a heap would be:
    // nothing is committed, no page is touched.
    bool roomy = false;
    int mapError = 0;
    if (threadError == 0) {
        const int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
        void* data = ::mmap(nullptr, kRuntimeDataNeeded, PROT_READ | PROT_WRITE, flags, -1, 0);
        mapError = errno;
        if (data != MAP_FAILED) {
            const size_t rest = kRuntimeAddressSpaceNeeded - kRuntimeDataNeeded;
            void* room = ::mmap(nullptr, rest, PROT_NONE, flags, -1, 0);
            mapError = errno;
            roomy = room != MAP_FAILED;
            if (roomy) ::munmap(room, rest);
            ::munmap(data, kRuntimeDataNeeded);
        }
    }
    release.release(started);
    for (int i = 0; i < started; ++i) ::pthread_join(threads[i], nullptr);
    if (threadError == 0 && roomy) return true;
    if (!why) return false;
    if (threadError != 0) {
        *why = std::string("not enough memory to start: a thread cannot be created (") + std::strerror(threadError) + ")";
        return false;
    }
    const unsigned long long stacks = kRuntimeThreadsNeeded * DefaultThreadStack();
    const unsigned long long needAll = before.all + stacks + kRuntimeAddressSpaceNeeded;
    const unsigned long long needData = before.data + stacks + kRuntimeDataNeeded;
    rlimit as{}, data{};
    const bool asBinds = ::getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY && as.rlim_cur < needAll;
    const bool dataBinds =
        ::getrlimit(RLIMIT_DATA, &data) == 0 && data.rlim_cur != RLIM_INFINITY && data.rlim_cur < needData;
    if (asBinds)
        *why = "not enough memory to start: the address-space limit is " + MiB(as.rlim_cur) + ", at least " +
               MiB(needAll) + " are needed";
    else if (dataBinds)
        *why = "not enough memory to start: the data limit is " + MiB(data.rlim_cur) + ", at least " + MiB(needData) +
               " are needed";
    else
        *why = std::string("not enough memory to start (") + std::strerror(mapError) + ")";
    return false;
#else
    (void)why;
    return true;
#endif
}

void RuntimePrepareProcess() {
#if defined(Q_OS_UNIX)
    CatchBrokenPipes();
    std::string why;
    if (!RuntimeOpenFilesSuffice(RuntimeRaiseOpenFileLimit(), &why) || !RuntimeMemorySuffices(&why)) {
        RuntimeReport(why);
        std::exit(kRuntimeExitNoResources);
    }
#endif
    std::terminate_handler previous = std::set_terminate(OnTerminate);
    if (previous != OnTerminate) g_previousTerminate = previous;
}

bool RuntimeDisplayReachable(std::string* why) {
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    // The platforms Qt tries in turn, each of which may carry ":options".
    // Left to itself, Qt tries Wayland first when WAYLAND_DISPLAY is set (even
    // empty) or the session is a Wayland one, and X11 in any case.
    QStringList platforms = qEnvironmentVariable("QT_QPA_PLATFORM").split(';', Qt::SkipEmptyParts);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        const bool waylandSession = qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland");
        if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && !waylandSession) {
            if (why) *why = "no display is set: neither DISPLAY nor WAYLAND_DISPLAY";
            return false;
        }
        if (qEnvironmentVariableIsSet("WAYLAND_DISPLAY") || waylandSession) platforms << "wayland";
        platforms << "xcb";
    }
    // Why each one failed, in the order tried, each reason once.
    std::vector<std::string> reasons;
    for (const QString& entry : platforms) {
        const QString name = entry.section(':', 0, 0);
        std::string reason;
        if (name == QLatin1String("xcb")) {
            if (XReachable(&reason)) return true;
        } else if (name.startsWith(QLatin1String("wayland"))) {
            if (WaylandPlatformReachable(name, &reason)) return true;
        } else {
            return true;  // offscreen, minimal, vnc, eglfs, ...: no desktop session needed
        }
        if (std::find(reasons.begin(), reasons.end(), reason) == reasons.end()) reasons.push_back(reason);
    }
    if (why) {
        why->clear();
        for (const std::string& reason : reasons) *why += (why->empty() ? "" : "; ") + reason;
        if (why->empty()) *why = "QT_QPA_PLATFORM names no platform";
    }
    return false;
#else
    (void)why;
    return true;
#endif
}

void RuntimeInit(int& argc, char** argv) {
#if defined(Q_OS_UNIX)
    OpenStandardDescriptors();
    InstallQuitSignals();
#endif
    RuntimePrepareProcess();
    SetMainThread();
    if (QCoreApplication::instance()) return;
    EnsureHome();
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
    g_previousMessageHandler = qInstallMessageHandler(OnQtMessage);
    g_app = new KestruneApplication(argc, argv);
    g_qtLive = true;
    GuardExit();
    QCoreApplication::setApplicationName("Kestrune");
    QCoreApplication::setApplicationVersion(
        QString("%1.%2").arg(KESTRUNE_VERSION_MAJOR).arg(KESTRUNE_VERSION_MINOR));
    // The desktop entry's id: on Wayland the windows' app id, by which a dock
    // or taskbar finds the entry (and its icon). On X11 the class of WM_CLASS,
    // the application name, matches the entry's StartupWMClass.
    QGuiApplication::setDesktopFileName("example.kestrune.Kestrune");
    // Every window shows the program's picture in taskbars and switchers.
    QGuiApplication::setWindowIcon(ApplicationIcon());
    QGuiApplication::setQuitOnLastWindowClosed(false);
#if defined(Q_OS_UNIX)
    WatchQuitSignals();
#endif
    const InstanceRole role = SingleInstanceStart();
    if (role == InstanceRole::HandedOver || role == InstanceRole::HandOverFailed) {
        // Another copy runs: this one ends here, before the program's own
        // code has run or written anything; with status 0 once that copy has
        // shown its window, else 1 (the line saying why is out).
        g_qtLive = false;
        delete std::exchange(g_app, nullptr);
        std::fflush(nullptr);
        std::exit(role == InstanceRole::HandedOver ? 0 : 1);
    }
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
    if (std::exchange(g_quitPending, false)) QTimer::singleShot(0, QCoreApplication::instance(), [] { RuntimeQuit(0); });
    // Statics made during the start-up (the sound output among them) are
    // destroyed before the exit guard runs unless it is registered after them.
    if (g_qtLive) GuardExit();
    g_inLoop = true;
    const int code = QCoreApplication::exec();
    g_inLoop = false;
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
    // Everything of Qt goes before the Qt application: the windows, the tray
    // icon and its menu, the running copy's socket and bus name, the
    // application object (its exit hook releases what it holds, timers among
    // them), and the widgets whose deletion was deferred.
    RuntimeCloseAllWindows();
    TrayShutdown();
    SingleInstanceStop();
    g_appObject = nullptr;
    if (g_app) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        g_qtLive = false;
        delete std::exchange(g_app, nullptr);
    }
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
    g_quitPending = false;
    for (auto& p : Plugins()) p.bound = false;
}

void RuntimeSetStepObserverForTesting(std::function<void(const char*)> observer) {
    g_stepObserver = std::move(observer);
}
