#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>

#include <csignal>
#include <cstring>
#include <optional>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "Application.h"
#include "Runtime.h"

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

int ListenUnix(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

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

// The environment the program is started with: no display, no platform.
QProcessEnvironment BareEnvironment() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE"}) env.remove(v);
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
    const std::string dir = "/tmp/kestrune-x-" + std::to_string(::getpid());
    fs::create_directories(dir);
    const std::string sockDisplay = dir + "/x:0";  // a socket path as DISPLAY, as some systems use
    Listener unixListener{ListenUnix(sockDisplay)};
    ASSERT_GE(unixListener.fd, 0);
    Listener tcpListener;
    const int port = ListenTcp(tcpListener.fd);
    ASSERT_GT(port, 6000);
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
        {nullptr, nullptr, false, "DISPLAY is not set"},
        {nullptr, "", false, "DISPLAY is not set"},
        {nullptr, ":9931", false, "cannot connect to the display \":9931\""},
        {nullptr, "unix:9931.0", false, "cannot connect to the display \"unix:9931.0\""},
        {nullptr, "nonsense", false, "cannot connect to the display \"nonsense\""},
        {nullptr, sockDisplay.c_str(), true, ""},
        {"xcb", tcpDisplay.c_str(), true, ""},
        {"wayland;offscreen", nullptr, true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.platform ? c.platform : "(default)") + " / " + (c.display ? c.display : "(unset)"));
        EnvScope env;
        env.Set("QT_QPA_PLATFORM", c.platform);
        env.Set("DISPLAY", c.display);
        env.Set("WAYLAND_DISPLAY", nullptr);
        std::string why;
        EXPECT_EQ(RuntimeDisplayReachable(&why), c.reachable);
        if (!c.reachable) {
            EXPECT_EQ(why, c.why);
        }
    }
    // The same TCP display once nothing listens there any more.
    ::close(tcpListener.fd);
    tcpListener.fd = -1;
    EnvScope env;
    env.Set("QT_QPA_PLATFORM", nullptr);
    env.Set("DISPLAY", tcpDisplay.c_str());
    EXPECT_FALSE(RuntimeDisplayReachable());
    fs::remove_all(dir);
}

TEST(Runtime, WithoutADesktopSessionTheProgramSaysSoInOneLineAndExits2) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"DISPLAY", nullptr}, {"DISPLAY", ":9931"}, {"DISPLAY", "127.0.0.1:9"}, {"QT_QPA_PLATFORM", "xcb"}};
    for (const auto& [name, value] : cases) {
        SCOPED_TRACE(std::string(name) + "=" + (value ? value : "(unset)"));
        QProcessEnvironment env = BareEnvironment();
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

TEST(Runtime, TermAndIntQuitTheProgramWithStatus0) {
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        QProcessEnvironment env = BareEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(kProgram, {});
        ASSERT_TRUE(p.waitForStarted(10000));
        QElapsedTimer clock;
        clock.start();
        while (!CatchesSignal(p.processId(), sig) && clock.elapsed() < 20000 && p.state() == QProcess::Running)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(p.state(), QProcess::Running) << "the program stays in its event loop";
        ASSERT_TRUE(CatchesSignal(p.processId(), sig));
        ::kill(static_cast<pid_t>(p.processId()), sig);
        ASSERT_TRUE(p.waitForFinished(20000));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    }
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
