#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QProcess>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstring>
#include <optional>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <pwd.h>
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
        {nullptr, nullptr, false, "DISPLAY is not set"},
        {nullptr, "", false, "DISPLAY is not set"},
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
