#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QTemporaryDir>
#include <QProcess>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <cstring>
#include <optional>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <pwd.h>
#include <poll.h>
#include <sys/file.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "Application.h"
#include "Runtime.h"
#include "SpecialFolder.h"

namespace fs = std::filesystem;

namespace {

const QString kProgram = QString(KESTRUNE_BUNDLE_DIR) + "/Contents/MacOS/Kestrune";

// Sets environment variables for one scope, restoring them afterwards.
class EnvScope {
public:
    void Set(const char* name, const char* value) {
        Remember(name);
        if (value)
            qputenv(name, value);
        else
            qunsetenv(name);
    }
    ~EnvScope() {
        for (auto& [name, old] : saved_) {
            if (old.has_value())
                qputenv(name.c_str(), *old);
            else
                qunsetenv(name.c_str());
        }
    }

private:
    void Remember(const char* name) {
        for (auto& s : saved_)
            if (s.first == name) return;
        saved_.emplace_back(name, qEnvironmentVariableIsSet(name) ? std::optional<QByteArray>(qgetenv(name))
                                                                  : std::nullopt);
    }
    std::vector<std::pair<std::string, std::optional<QByteArray>>> saved_;
};

// A listening socket that stands in for a display server.
struct Listener {
    int fd = -1;
    ~Listener() { if (fd >= 0) ::close(fd); }
};

// Listens on 127.0.0.1 at a free port; gives the port.
int ListenTcp(int& fdOut) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        return -1;
    }
    fdOut = fd;
    return ntohs(addr.sin_port);
}

// The environment the program is started with: no display, no platform,
// and a home, configuration folder and runtime folder of its own under root,
// with no session bus, so that copies started by other tests never meet it.
QProcessEnvironment BareEnvironment(const QString& root) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE"}) env.remove(v);
    for (const char* d : {"home", "config"}) QDir(root).mkpath(d);
    ::mkdir(QFile::encodeName(root + "/run").constData(), 0700);
    env.insert("HOME", root + "/home");
    env.insert("XDG_CONFIG_HOME", root + "/config");
    env.insert("XDG_RUNTIME_DIR", root + "/run");
    env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + root + "/no-session-bus");
    return env;
}

// Whether the process has a handler installed for sig (from /proc).
bool CatchesSignal(qint64 pid, int sig) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigCgt:", 0) == 0) {
            const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            return (mask >> (sig - 1)) & 1;
        }
    }
    return false;
}

class OpenProbe : public Application {
    KESTRUNE_CLASS()
public:
    int opens = 0;
};

const ClassInfo& OpenProbe::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "OpenProbe";
        c.base = &Application::Class();
        c.bindings.push_back({"Open", "OpenProbe.Open", [](Object& o) { ++static_cast<OpenProbe&>(o).opens; }});
        return c;
    }();
    return info;
}

}  // namespace

TEST(Runtime, DisplayReachability) {
    // A server that takes the connection and hangs up at once, as one that
    // refuses the client does before saying why.
    Listener tcpListener;
    const int port = ListenTcp(tcpListener.fd);
    ASSERT_GT(port, 6000);
    std::thread hangUp([fd = tcpListener.fd] {
        const int peer = ::accept(fd, nullptr, nullptr);
        if (peer >= 0) ::close(peer);
    });
    const std::string tcpDisplay = "127.0.0.1:" + std::to_string(port - 6000) + ".0";

    struct Case {
        const char* platform;
        const char* display;
        bool reachable;
        const char* why;
    };
    const std::vector<Case> cases = {
        {"offscreen", nullptr, true, ""},
        {"minimal", nullptr, true, ""},
        {"vnc:size=800x600", nullptr, true, ""},
        {"xcb", nullptr, false, "DISPLAY is not set"},
        {nullptr, nullptr, false, "no display is set: neither DISPLAY nor WAYLAND_DISPLAY"},
        {nullptr, "", false, "no display is set: neither DISPLAY nor WAYLAND_DISPLAY"},
        {nullptr, ":9931", false, "cannot connect to the display \":9931\""},
        {nullptr, "unix:9931.0", false, "cannot connect to the display \"unix:9931.0\""},
        {nullptr, "nonsense", false, "cannot connect to the display \"nonsense\""},
        {"xcb", tcpDisplay.c_str(), false, nullptr},
        {"wayland;offscreen", nullptr, true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.platform ? c.platform : "(default)") + " / " + (c.display ? c.display : "(unset)"));
        EnvScope env;
        env.Set("QT_QPA_PLATFORM", c.platform);
        env.Set("DISPLAY", c.display);
        env.Set("WAYLAND_DISPLAY", nullptr);
        env.Set("XDG_SESSION_TYPE", nullptr);
        std::string why;
        EXPECT_EQ(RuntimeDisplayReachable(&why), c.reachable);
        if (!c.reachable && c.why) {
            EXPECT_EQ(why, c.why);
        }
        if (!c.reachable) {
            EXPECT_EQ(why.find('\n'), std::string::npos) << "one line";
        }
    }
    hangUp.join();
    // The same TCP display once nothing listens there any more.
    ::close(tcpListener.fd);
    tcpListener.fd = -1;
    EnvScope env;
    env.Set("QT_QPA_PLATFORM", nullptr);
    env.Set("DISPLAY", tcpDisplay.c_str());
    EXPECT_FALSE(RuntimeDisplayReachable());
}

// A socket file that a compositor listens on (never accepting: the queue
// holds every connection the test makes), or that nothing listens on.
int ListenUnix(const std::string& path, bool listening) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || (listening && ::listen(fd, 64) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST(Runtime, WaylandReachabilityAndWhyNot) {
    if (!QFileInfo::exists(QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms/libqwayland-generic.so"))
        GTEST_SKIP() << "Qt's Wayland platform plugin is not installed (qt6-wayland, scripts/install-deps)";
    QTemporaryDir tmp;
    const std::string run = tmp.path().toStdString();
    Listener live, dead;
    live.fd = ListenUnix(run + "/wl-live", true);
    dead.fd = ListenUnix(run + "/wl-dead", false);
    ASSERT_GE(live.fd, 0);
    ASSERT_GE(dead.fd, 0);
    const std::string deadWhy = "cannot connect to the Wayland display \"" + run + "/wl-dead\": Connection refused";
    const std::string missingWhy = "cannot connect to the Wayland display \"" + run + "/wayland-0\": No such file or directory";
    const std::string xWhy = "cannot connect to the display \":9931\"";

    struct Case {
        const char* platform;
        const char* wayland;  // WAYLAND_DISPLAY
        const char* display;  // DISPLAY
        const char* session;  // XDG_SESSION_TYPE
        bool runtimeDir;      // XDG_RUNTIME_DIR set
        bool reachable;
        std::string why;
    };
    const std::string livePath = run + "/wl-live";
    const std::vector<Case> cases = {
        {"wayland", "wl-live", nullptr, nullptr, true, true, ""},
        {"wayland", livePath.c_str(), nullptr, nullptr, false, true, ""},
        {"wayland-egl", "wl-live", nullptr, nullptr, true, true, ""},
        {nullptr, "wl-live", nullptr, nullptr, true, true, ""},
        {nullptr, "wl-live", ":9931", nullptr, true, true, ""},
        {"wayland;xcb", "wl-live", nullptr, nullptr, true, true, ""},
        {"xcb;wayland", "wl-live", nullptr, nullptr, true, true, ""},
        {"wayland", "wl-dead", nullptr, nullptr, true, false, deadWhy},
        {"wayland", "wl-live", nullptr, nullptr, false, false,
         "XDG_RUNTIME_DIR is not set, so the Wayland display \"wl-live\" cannot be found"},
        {"wayland", nullptr, nullptr, nullptr, true, false, missingWhy},
        {"wayland", "", nullptr, nullptr, true, false, "WAYLAND_DISPLAY is set but empty"},
        {"wayland-nonesuch", "wl-live", nullptr, nullptr, true, false,
         "the Qt Wayland platform plugin \"wayland-nonesuch\" is missing: install qt6-wayland"},
        {nullptr, "wl-dead", nullptr, nullptr, true, false, deadWhy + "; DISPLAY is not set"},
        {nullptr, "wl-dead", ":9931", nullptr, true, false, deadWhy + "; " + xWhy},
        {"wayland;xcb", "wl-dead", ":9931", nullptr, true, false, deadWhy + "; " + xWhy},
        {"xcb;wayland", "wl-dead", ":9931", nullptr, true, false, xWhy + "; " + deadWhy},
        {"wayland;wayland-egl", "wl-dead", nullptr, nullptr, true, false, deadWhy},
        {"xcb", "wl-live", nullptr, nullptr, true, false, "DISPLAY is not set"},
        // Left to itself, Qt tries Wayland only with WAYLAND_DISPLAY set or in
        // a Wayland session.
        {nullptr, nullptr, ":9931", nullptr, true, false, xWhy},
        {nullptr, nullptr, nullptr, "wayland", true, false, missingWhy + "; DISPLAY is not set"},
        {nullptr, nullptr, nullptr, "x11", true, false, "no display is set: neither DISPLAY nor WAYLAND_DISPLAY"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.platform ? c.platform : "(default)") + " / WAYLAND_DISPLAY " +
                     (c.wayland ? c.wayland : "(unset)") + " / DISPLAY " + (c.display ? c.display : "(unset)") +
                     " / session " + (c.session ? c.session : "(unset)") +
                     (c.runtimeDir ? "" : " / no XDG_RUNTIME_DIR"));
        EnvScope env;
        env.Set("QT_QPA_PLATFORM", c.platform);
        env.Set("WAYLAND_DISPLAY", c.wayland);
        env.Set("WAYLAND_SOCKET", nullptr);
        env.Set("DISPLAY", c.display);
        env.Set("XDG_SESSION_TYPE", c.session);
        env.Set("XDG_RUNTIME_DIR", c.runtimeDir ? run.c_str() : nullptr);
        env.Set("QT_QPA_PLATFORM_PLUGIN_PATH", nullptr);
        std::string why;
        EXPECT_EQ(RuntimeDisplayReachable(&why), c.reachable);
        if (!c.reachable) {
            EXPECT_EQ(why, c.why);
        }
    }
    // With "wayland-0" there, a Wayland session reaches it.
    ASSERT_EQ(::symlink((run + "/wl-live").c_str(), (run + "/wayland-0").c_str()), 0);
    EnvScope env;
    env.Set("QT_QPA_PLATFORM", nullptr);
    env.Set("WAYLAND_DISPLAY", nullptr);
    env.Set("DISPLAY", nullptr);
    env.Set("XDG_SESSION_TYPE", "wayland");
    env.Set("XDG_RUNTIME_DIR", run.c_str());
    EXPECT_TRUE(RuntimeDisplayReachable());
}

TEST(Runtime, WithoutADesktopSessionTheProgramSaysSoInOneLineAndExits2) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"DISPLAY", nullptr}, {"DISPLAY", ":9931"}, {"DISPLAY", "127.0.0.1:9"}, {"QT_QPA_PLATFORM", "xcb"}};
    for (const auto& [name, value] : cases) {
        SCOPED_TRACE(std::string(name) + "=" + (value ? value : "(unset)"));
        QTemporaryDir tmp;
        QProcessEnvironment env = BareEnvironment(tmp.path());
        if (value) env.insert(name, value);
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(kProgram, {});
        ASSERT_TRUE(p.waitForFinished(20000));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << "no abort, no core dump";
        EXPECT_EQ(p.exitCode(), 2);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        EXPECT_TRUE(err.startsWith("Kestrune: a desktop session is needed")) << err.toStdString();
        EXPECT_EQ(err.count('\n'), 1) << err.toStdString();
    }
}

// Waits (bounded) until the running program handles sig; false if it ended
// or never did.
bool WaitUntilCatching(QProcess& p, int sig) {
    QElapsedTimer clock;
    clock.start();
    while (!CatchesSignal(p.processId(), sig) && clock.elapsed() < 20000 && p.state() == QProcess::Running)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return p.state() == QProcess::Running && CatchesSignal(p.processId(), sig);
}

// Each signal is sent as soon as the handler is there, at the very start of
// the runtime, long before the event loop runs: the program still starts,
// then quits as Quit does.
TEST(Runtime, TermIntAndHupQuitTheProgramWithStatus0EvenBeforeTheLoopRuns) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        QTemporaryDir tmp;
        QProcessEnvironment env = BareEnvironment(tmp.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(kProgram, {});
        ASSERT_TRUE(p.waitForStarted(10000));
        ASSERT_TRUE(WaitUntilCatching(p, sig)) << "the program handles the signal from the start";
        ::kill(static_cast<pid_t>(p.processId()), sig);
        ASSERT_TRUE(p.waitForFinished(20000));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    }
}

TEST(Runtime, StartedWithStandardErrorClosedItGetsDevNullAndStillQuitsOnTerm) {
    QTemporaryDir tmp;
    QProcessEnvironment env = BareEnvironment(tmp.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess p;
    p.setProcessEnvironment(env);
    p.start("/bin/sh", {"-c", "exec 2>&-; exec \"$0\"", kProgram});
    ASSERT_TRUE(p.waitForStarted(10000));
    ASSERT_TRUE(WaitUntilCatching(p, SIGTERM));
    // The socket of the running copy is made once the Qt application is up.
    QElapsedTimer clock;
    clock.start();
    while (QDir(tmp.path() + "/run").entryList({"*.socket"}, QDir::System).isEmpty() && clock.elapsed() < 20000)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string fd2 = fs::read_symlink("/proc/" + std::to_string(p.processId()) + "/fd/2").string();
    EXPECT_EQ(fd2, "/dev/null");
    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(20000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0);
}

TEST(Runtime, ASecondLaunchHandsOverAndASocketLeftByAKilledCopyDoesNotBlock) {
    QTemporaryDir tmp;
    QProcessEnvironment env = BareEnvironment(tmp.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    const QString socket = tmp.path() + "/run/example.kestrune.Kestrune.offscreen.socket";
    auto waitForSocket = [&] {
        QElapsedTimer clock;
        clock.start();
        while (!QFileInfo::exists(socket) && clock.elapsed() < 20000)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return QFileInfo::exists(socket);
    };

    QProcess first;
    first.setProcessEnvironment(env);
    first.start(kProgram, {});
    ASSERT_TRUE(first.waitForStarted(10000));
    ASSERT_TRUE(waitForSocket());

    QProcess second;
    second.setProcessEnvironment(env);
    second.start(kProgram, {});
    ASSERT_TRUE(second.waitForFinished(20000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(second.readAllStandardError(), "");
    EXPECT_EQ(first.state(), QProcess::Running);

    // Killed, the first copy leaves its socket; the next launch runs all the same.
    first.kill();
    ASSERT_TRUE(first.waitForFinished(20000));
    ASSERT_TRUE(QFileInfo::exists(socket));
    QProcess third;
    third.setProcessEnvironment(env);
    third.start(kProgram, {});
    ASSERT_TRUE(third.waitForStarted(10000));
    ASSERT_TRUE(WaitUntilCatching(third, SIGTERM));
    EXPECT_FALSE(third.waitForFinished(3000)) << "the third copy runs: " << third.readAllStandardError().toStdString();
    ::kill(static_cast<pid_t>(third.processId()), SIGTERM);
    ASSERT_TRUE(third.waitForFinished(20000));
    EXPECT_EQ(third.exitCode(), 0);
    EXPECT_FALSE(QFileInfo::exists(socket)) << "a copy that quits removes its socket";
}

TEST(Runtime, WithNoHomeTheHomeIsThePasswordDatabases) {
    passwd* pw = ::getpwuid(::getuid());
    if (!pw || !pw->pw_dir || pw->pw_dir[0] != '/') GTEST_SKIP() << "the user has no home in the password database";
    const std::string fromDatabase = pw->pw_dir;
    EnvScope env;
    env.Set("HOME", nullptr);
    EXPECT_EQ(SpecialFolder::UserHome(), fromDatabase);
    env.Set("HOME", "");
    EXPECT_EQ(SpecialFolder::UserHome(), fromDatabase);
    env.Set("HOME", "relative/home");
    EXPECT_EQ(SpecialFolder::UserHome(), fromDatabase);
    env.Set("HOME", "/some/home");
    EXPECT_EQ(SpecialFolder::UserHome(), "/some/home");
    // The application-data folder then lies under it, not at the root.
    env.Set("HOME", nullptr);
    env.Set("XDG_CONFIG_HOME", nullptr);
    const std::string expected = fromDatabase + "/.config";
    if (!fs::is_directory(expected)) GTEST_SKIP() << expected << " does not exist, and the test makes nothing there";
    Ref<FolderItem> dir = SpecialFolder::ApplicationData();
    ASSERT_TRUE(dir);
    EXPECT_EQ(dir->Path().string(), expected);
}

TEST(Runtime, OpenIsRaisedOnceWhenTheLoopStarts) {
    RuntimeResetForTesting();
    Ref<OpenProbe> app(new OpenProbe);
    RuntimeRegisterAppObject(app);
    for (int run = 0; run < 2; ++run) {
        QTimer::singleShot(20, [] { RuntimeQuit(0); });
        RuntimeRun();
    }
    EXPECT_EQ(app->opens, 1);
    EXPECT_EQ(RuntimeExit(), 0);
    RuntimeResetForTesting();
}

TEST(Runtime, ExitStatusReportsAnUnhandledException) {
    struct Case {
        const char* what;
        std::function<void()> run;
        int status;
        const char* said;
    };
    const std::vector<Case> cases = {
        {"normal quit", [] { RuntimeQuit(0); }, 0, nullptr},
        {"unhandled exception",
         [] { UnhandledException(std::make_exception_ptr(NilObjectException("no window"))); }, 1,
         "Kestrune: unhandled NilObjectException: no window\n"},
        {"exception escaping the main routine",
         [] { RuntimeKeepEscapedException(std::make_exception_ptr(IOException("disk"))); }, 1,
         "Kestrune: unhandled IOException: disk\n"},
        {"a handler's exception is reported only",
         [] { EXPECT_FALSE(RuntimeRaiseEvent([] { throw IllegalCastException("cast"); })); }, 0,
         "Kestrune: IllegalCastException: cast\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RuntimeResetForTesting();
        testing::internal::CaptureStderr();
        c.run();
        const int status = RuntimeExit();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(err, c.said ? c.said : "");
    }
    RuntimeResetForTesting();
}

namespace {

const char* const kOffscreenBase = "/run/example.kestrune.Kestrune.offscreen";

bool WaitForPath(const QString& path, int ms = 20000) {
    QElapsedTimer clock;
    clock.start();
    while (!QFileInfo::exists(path) && clock.elapsed() < ms) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return QFileInfo::exists(path);
}

// A client of the hand-over socket; -1 when it cannot connect within 5 s.
int ConnectTo(const QString& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray p = QFile::encodeName(path);
    std::memcpy(addr.sun_path, p.constData(), std::min<size_t>(p.size(), sizeof addr.sun_path - 1));
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether the peer closed the connection within ms (what it sent before
// that goes to *said).
bool ClosedWithin(int fd, int ms, std::string* said = nullptr) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int left = ms - static_cast<int>(clock.elapsed());
        if (left <= 0 || ::poll(&p, 1, left) <= 0) return false;
        char buf[256];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return true;
        if (said) said->append(buf, static_cast<size_t>(n));
    }
}

// A second launch: its status, what it said, and how long it took.
struct Launch {
    int status = -1;
    QString err;
    qint64 ms = 0;
};
Launch LaunchAgain(const QProcessEnvironment& env) {
    Launch l;
    QElapsedTimer clock;
    clock.start();
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(kProgram, {});
    if (!p.waitForFinished(20000)) {
        p.kill();
        p.waitForFinished(5000);
    }
    l.ms = clock.elapsed();
    l.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    l.err = QString::fromUtf8(p.readAllStandardError());
    return l;
}

// The running copy, offscreen, started with env (and a wrapper command
// before it, such as prlimit), its socket up.
struct RunningCopy {
    QProcess p;
    bool Start(const QProcessEnvironment& env, const QString& root, const QStringList& wrapper = {}) {
        p.setProcessEnvironment(env);
        if (wrapper.isEmpty())
            p.start(kProgram, {});
        else
            p.start(wrapper.first(), wrapper.mid(1) << kProgram);
        return p.waitForStarted(10000) && WaitForPath(root + kOffscreenBase + ".socket") && p.state() == QProcess::Running;
    }
    ~RunningCopy() {
        if (p.state() == QProcess::NotRunning) return;
        ::kill(static_cast<pid_t>(p.processId()), SIGCONT);
        p.kill();
        p.waitForFinished(10000);
    }
};

}  // namespace

// A second launch exits 0 only once the running copy confirmed that it
// showed its window; otherwise it says so in one line and exits 1, soon.
TEST(Runtime, ASecondLaunchThatGetsNoConfirmationSaysSoAndExits1) {
    enum class Fake { Garbage, ClosesAtOnce, NeverAnswers, CouldNotShow, StoppedRealCopy };
    const std::vector<std::pair<const char*, Fake>> cases = {
        {"answers garbage", Fake::Garbage},
        {"closes at once", Fake::ClosesAtOnce},
        {"never answers", Fake::NeverAnswers},
        {"could not show its window", Fake::CouldNotShow},
        {"a real copy stopped with SIGSTOP", Fake::StoppedRealCopy},
    };
    for (const auto& [what, fake] : cases) {
        SCOPED_TRACE(what);
        QTemporaryDir tmp;
        QProcessEnvironment env = BareEnvironment(tmp.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        const QString base = tmp.path() + kOffscreenBase;
        RunningCopy real;
        int lockFd = -1, listenFd = -1;
        std::thread server;
        std::atomic<bool> done{false};
        if (fake == Fake::StoppedRealCopy) {
            ASSERT_TRUE(real.Start(env, tmp.path()));
            ::kill(static_cast<pid_t>(real.p.processId()), SIGSTOP);
        } else {
            // A stand-in for the running copy: the lock held, the socket
            // listening, answering as the case says.
            lockFd = ::open(QFile::encodeName(base + ".lock").constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            ASSERT_EQ(::flock(lockFd, LOCK_EX | LOCK_NB), 0);
            listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::strcpy(addr.sun_path, QFile::encodeName(base + ".socket").constData());
            ASSERT_EQ(::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
            ASSERT_EQ(::listen(listenFd, 8), 0);
            server = std::thread([listenFd, fake, &done] {
                std::vector<int> held;
                while (!done) {
                    pollfd p{listenFd, POLLIN, 0};
                    if (::poll(&p, 1, 50) <= 0) continue;
                    const int peer = ::accept(listenFd, nullptr, nullptr);
                    if (peer < 0) continue;
                    if (fake == Fake::ClosesAtOnce) {
                        ::close(peer);
                        continue;
                    }
                    char buf[512];
                    (void)!::recv(peer, buf, sizeof buf, 0);
                    if (fake == Fake::Garbage) (void)!::send(peer, "nonsense\n", 9, MSG_NOSIGNAL);
                    if (fake == Fake::CouldNotShow) (void)!::send(peer, "failed\n", 7, MSG_NOSIGNAL);
                    held.push_back(peer);
                }
                for (int fd : held) ::close(fd);
            });
        }
        const Launch second = LaunchAgain(env);
        done = true;
        if (server.joinable()) server.join();
        if (listenFd >= 0) ::close(listenFd);
        if (lockFd >= 0) ::close(lockFd);
        EXPECT_EQ(second.status, 1) << second.err.toStdString();
        EXPECT_LT(second.ms, 3000);
        EXPECT_TRUE(second.err.startsWith("Kestrune: another copy is running but ")) << second.err.toStdString();
        EXPECT_EQ(second.err.count('\n'), 1) << second.err.toStdString();
        if (fake == Fake::StoppedRealCopy) {
            // Going again, the copy still answers.
            ::kill(static_cast<pid_t>(real.p.processId()), SIGCONT);
            const Launch third = LaunchAgain(env);
            EXPECT_EQ(third.status, 0) << third.err.toStdString();
            EXPECT_EQ(third.err.toStdString(), "");
        }
    }
}

// Peers that send no request get their time and are dropped, and only so
// many may wait; the copy answers the others all the while.
TEST(Runtime, TheHandOverSocketDropsIdlePeers) {
    QTemporaryDir tmp;
    QProcessEnvironment env = BareEnvironment(tmp.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    const QString socket = tmp.path() + kOffscreenBase + ".socket";
    RunningCopy copy;
    ASSERT_TRUE(copy.Start(env, tmp.path(), {"prlimit", "--nofile=1024:1024"}));

    const int garbage = ConnectTo(socket);
    const int silent = ConnectTo(socket);
    ASSERT_GE(garbage, 0);
    ASSERT_GE(silent, 0);
    ASSERT_EQ(::send(garbage, "hello there\n", 12, MSG_NOSIGNAL), 12);
    std::string said;
    EXPECT_TRUE(ClosedWithin(garbage, 5000, &said)) << "a line that asks nothing closes the connection";
    EXPECT_EQ(said, "");
    const Launch meanwhile = LaunchAgain(env);
    EXPECT_EQ(meanwhile.status, 0) << meanwhile.err.toStdString();
    EXPECT_EQ(meanwhile.err.toStdString(), "");
    EXPECT_TRUE(ClosedWithin(silent, 8000)) << "a peer that sends nothing is dropped";
    ::close(garbage);
    ::close(silent);

    // More peers than may wait: those beyond the limit go at once.
    std::vector<int> waiting;
    for (int i = 0; i < 48; ++i) waiting.push_back(ConnectTo(socket));
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    int closedAtOnce = 0;
    for (int fd : waiting) closedAtOnce += fd < 0 || ClosedWithin(fd, 1);
    EXPECT_GE(closedAtOnce, 48 - 32) << "no more than 32 peers wait at once";
    for (int fd : waiting)
        if (fd >= 0) ::close(fd);
}

// More idle connections than the copy may have descriptors (1024), and
// closed again: the copy still listens, and answers; and so it does when its
// socket file is removed.
TEST(Runtime, TheHandOverSocketOutlastsAFloodOfConnectionsAndItsFileGoing) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < 1200 && limit.rlim_max >= 1200) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 4096);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur < 1200) GTEST_SKIP() << "this process may not open 1100 connections";
    QTemporaryDir tmp;
    QProcessEnvironment env = BareEnvironment(tmp.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    const QString socket = tmp.path() + kOffscreenBase + ".socket";
    RunningCopy copy;
    ASSERT_TRUE(copy.Start(env, tmp.path(), {"prlimit", "--nofile=1024:1024"}));
    std::vector<int> flood;
    for (int i = 0; i < 1100; ++i) {
        const int fd = ConnectTo(socket);
        if (fd >= 0) flood.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (int fd : flood) ::close(fd);
    EXPECT_TRUE(QFileInfo::exists(socket)) << "the socket is still there";
    const Launch after = LaunchAgain(env);
    EXPECT_EQ(after.status, 0) << after.err.toStdString();
    EXPECT_EQ(after.err.toStdString(), "");

    // Its file removed (a cleaner of /tmp, say), the socket is made again.
    ASSERT_TRUE(QFile::remove(socket));
    EXPECT_TRUE(WaitForPath(socket, 5000)) << "the socket is back";
    const Launch afterRemoval = LaunchAgain(env);
    EXPECT_EQ(afterRemoval.status, 0) << afterRemoval.err.toStdString();
    EXPECT_EQ(afterRemoval.err.toStdString(), "");
    EXPECT_EQ(copy.p.state(), QProcess::Running);
}

// A link planted where the lock or the socket goes is never followed: no
// file is made where it points, and the link stays as it was.
TEST(Runtime, ALinkAtTheLockOrTheSocketIsNotFollowed) {
    for (const char* which : {".lock", ".socket"}) {
        SCOPED_TRACE(which);
        QTemporaryDir tmp;
        QProcessEnvironment env = BareEnvironment(tmp.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        const QString link = tmp.path() + kOffscreenBase + which;
        const QString target = tmp.path() + "/target";
        ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()), 0);
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(kProgram, {});
        ASSERT_TRUE(p.waitForStarted(10000));
        ASSERT_TRUE(WaitUntilCatching(p, SIGTERM));
        EXPECT_FALSE(p.waitForFinished(2000)) << "the copy runs";
        EXPECT_FALSE(QFileInfo::exists(target)) << "nothing is made through the link";
        EXPECT_TRUE(QFileInfo(link).isSymLink()) << "the link is left alone";
        ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
        ASSERT_TRUE(p.waitForFinished(20000));
        EXPECT_EQ(p.exitCode(), 0);
        // (The running copy says other things too: no sound server here.)
        const QString err = QString::fromUtf8(p.readAllStandardError());
        EXPECT_EQ(err.count(link), 1) << "one line says why: " << err.toStdString();
        EXPECT_TRUE(err.contains("Kestrune: cannot ")) << err.toStdString();
        EXPECT_FALSE(QFileInfo::exists(target));
    }
}

// Lowers the soft limit on one resource of this process while in scope.
class LimitScope {
public:
    LimitScope(int resource, rlim_t soft) : resource_(resource) {
        EXPECT_EQ(::getrlimit(resource_, &old_), 0);
        rlimit lowered = old_;
        lowered.rlim_cur = soft;
        ok_ = ::setrlimit(resource_, &lowered) == 0;
    }
    ~LimitScope() { ::setrlimit(resource_, &old_); }
    bool ok() const { return ok_; }
    LimitScope(const LimitScope&) = delete;
    LimitScope& operator=(const LimitScope&) = delete;

private:
    int resource_;
    rlimit old_{};
    bool ok_ = false;
};

rlimit CurrentLimit(int resource) {
    rlimit lim{};
    ::getrlimit(resource, &lim);
    return lim;
}

TEST(Runtime, TheSoftLimitOnOpenFilesIsRaisedToTheHardOne) {
    const rlimit start = CurrentLimit(RLIMIT_NOFILE);
    if (start.rlim_max == RLIM_INFINITY || start.rlim_max < 128)
        GTEST_SKIP() << "the hard limit on open files is " << start.rlim_max;
    const rlim_t hard = start.rlim_max;
    for (rlim_t soft : {rlim_t{20}, hard / 2, hard}) {
        SCOPED_TRACE(soft);
        LimitScope scope(RLIMIT_NOFILE, soft);
        ASSERT_TRUE(scope.ok());
        EXPECT_EQ(RuntimeRaiseOpenFileLimit(), hard);
        EXPECT_EQ(CurrentLimit(RLIMIT_NOFILE).rlim_cur, hard);
        EXPECT_EQ(CurrentLimit(RLIMIT_NOFILE).rlim_max, hard) << "the hard limit stays";
    }
    EXPECT_EQ(CurrentLimit(RLIMIT_NOFILE).rlim_cur, start.rlim_cur);
}

TEST(Runtime, TooFewOpenFilesAreSaidInOneLine) {
    struct Case {
        unsigned long long limit;
        bool enough;
    };
    const std::vector<Case> cases = {{0, false},  {8, false},    {14, false},   {20, false},
                                     {63, false}, {64, true},    {1024, true},  {RLIM_INFINITY, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.limit);
        std::string why = "untouched";
        EXPECT_EQ(RuntimeOpenFilesSuffice(c.limit, &why), c.enough);
        if (c.enough)
            EXPECT_EQ(why, "untouched");
        else
            EXPECT_EQ(why, "too few file descriptors: the limit is " + std::to_string(c.limit) +
                               ", at least 64 are needed");
    }
    EXPECT_FALSE(RuntimeOpenFilesSuffice(14));
}

#if defined(__SANITIZE_ADDRESS__)
#define KESTRUNE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTRUNE_ASAN 1
#endif
#endif

// The bytes mapped into this process, and the private writable ones.
std::pair<rlim_t, rlim_t> MappedAndData() {
    std::ifstream statm("/proc/self/statm");
    unsigned long long size = 0, resident = 0, shared = 0, text = 0, lib = 0, data = 0;
    statm >> size >> resident >> shared >> text >> lib >> data;
    const auto page = static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
    return {size * page, data * page};
}

TEST(Runtime, TooLittleMemoryIsFoundBeforeAnythingNeedsIt) {
#if defined(KESTRUNE_ASAN)
    GTEST_SKIP() << "the address sanitizer's own reservations do not fit under a limit";
#else
    std::string why = "untouched";
    EXPECT_TRUE(RuntimeMemorySuffices(&why)) << why;
    EXPECT_EQ(why, "untouched");
    const auto [mapped, data] = MappedAndData();
    struct Case {
        const char* what;
        int resource;
        rlim_t limit;
        const char* said;
    };
    const std::vector<Case> cases = {
        // Room for the threads, not for the rest.
        {"address space", RLIMIT_AS, mapped + (100u << 20), "not enough memory to start: the address-space limit is "},
        {"data", RLIMIT_DATA, data + (1u << 20), "not enough memory to start: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        {
            LimitScope scope(c.resource, c.limit);
            ASSERT_TRUE(scope.ok());
            EXPECT_FALSE(RuntimeMemorySuffices(&why));
        }
        EXPECT_EQ(why.rfind(c.said, 0), 0u) << why;
        EXPECT_EQ(why.find('\n'), std::string::npos) << "one line";
    }
    EXPECT_TRUE(RuntimeMemorySuffices()) << "once the limits are back";
#endif
}

// Standard error, for one scope, is the write end of a new pipe.
class StderrPipe {
public:
    StderrPipe() {
        saved_ = ::dup(2);
        EXPECT_EQ(::pipe(fds_), 0);
        ::dup2(fds_[1], 2);
    }
    ~StderrPipe() {
        ::dup2(saved_, 2);
        ::close(saved_);
        if (fds_[0] >= 0) ::close(fds_[0]);
        ::close(fds_[1]);
    }
    void CloseReader() {
        ::close(fds_[0]);
        fds_[0] = -1;
    }
    // Fills the pipe to the brim.
    void Fill() {
        const int flags = ::fcntl(fds_[1], F_GETFL);
        ::fcntl(fds_[1], F_SETFL, flags | O_NONBLOCK);
        const std::string block(4096, 'x');
        while (::write(fds_[1], block.data(), block.size()) > 0) {
        }
        while (::write(fds_[1], "x", 1) > 0) {
        }
        ::fcntl(fds_[1], F_SETFL, flags);  // the program's standard error blocks as usual
    }
    // Reads what is in the pipe.
    std::string Drain() {
        std::string got;
        const int flags = ::fcntl(fds_[0], F_GETFL);
        ::fcntl(fds_[0], F_SETFL, flags | O_NONBLOCK);
        char buf[65536];
        ssize_t n;
        while ((n = ::read(fds_[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
        ::fcntl(fds_[0], F_SETFL, flags);
        return got;
    }

private:
    int saved_ = -1;
    int fds_[2] = {-1, -1};
};

TEST(Runtime, AReportNeverEndsNorBlocksTheProgram) {
    {
        StderrPipe err;
        RuntimeReport("said into a pipe");
        EXPECT_EQ(err.Drain(), "Kestrune: said into a pipe\n");
    }
    {
        // Its reader gone, a write would raise SIGPIPE: this process has
        // SIGPIPE's default, which would end it.
        StderrPipe err;
        err.CloseReader();
        RuntimeReport("no sound server");
    }
    {
        // A reader that does not read.
        StderrPipe err;
        err.Fill();
        std::atomic<bool> done{false};
        std::thread report([&] {
            RuntimeReport("into a full pipe");
            done = true;
        });
        QElapsedTimer clock;
        clock.start();
        while (!done && clock.elapsed() < 3000) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_TRUE(done) << "the report waited for room in the pipe";
        while (!done) {
            err.Drain();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        report.join();
    }
}

// Whether SIGPIPE is ignored in a program this process starts (from the
// /proc status of a shell run through popen).
bool ChildIgnoresSigpipe() {
    std::FILE* p = ::popen("grep '^SigIgn:' /proc/self/status", "r");
    if (!p) return true;
    char line[128] = {};
    const bool got = std::fgets(line, sizeof line, p) != nullptr;
    ::pclose(p);
    if (!got) return true;
    const unsigned long long mask = std::stoull(std::string(line).substr(7), nullptr, 16);
    return (mask >> (SIGPIPE - 1)) & 1;
}

TEST(RuntimeDeathTest, AWriteToABrokenPipeFailsAndTheProgramGoesOn) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            RuntimePrepareProcess();
            int fds[2];
            if (::pipe(fds) != 0) ::_exit(10);
            ::close(fds[0]);
            errno = 0;
            const bool failed = ::write(fds[1], "x", 1) < 0 && errno == EPIPE;
            ::_exit(!failed ? 11 : ChildIgnoresSigpipe() ? 12 : 0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(RuntimeDeathTest, ABadAllocNothingCatchesEndsInOneLineAndStatus3) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            RuntimePrepareProcess();
            std::thread([] { throw std::bad_alloc(); }).join();
        },
        testing::ExitedWithCode(3), "^Kestrune: not enough memory\n$");
    // Anything else that ends in std::terminate still aborts as before.
    EXPECT_DEATH(
        {
            RuntimePrepareProcess();
            std::thread([] { throw std::runtime_error("a bug"); }).join();
        },
        "");
}
