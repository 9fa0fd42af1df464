#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QTemporaryDir>
#include <QProcess>
#include <QTimer>

#include <csignal>
#include <cstring>
#include <optional>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <pwd.h>
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
