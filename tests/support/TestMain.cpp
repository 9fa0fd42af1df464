// The main of every unit-test executable: gives the process a home of its own,
// starts Qt (offscreen unless the environment says otherwise) on the main
// thread, then runs the tests.
#include <gtest/gtest.h>

#include <QApplication>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "Object.h"

namespace {

// Set for the process that made the private folder; its children (programs a
// test starts, a test binary started again by a test) inherit the
// environment and share the folder, and leave it to the parent.
std::filesystem::path g_privateRoot;
pid_t g_rootOwner = 0;

void RemovePrivateRoot() {
    if (g_privateRoot.empty() || ::getpid() != g_rootOwner) return;  // not in a forked child
    std::error_code ec;
    std::filesystem::remove_all(g_privateRoot, ec);
}

void Set(const char* name, const std::filesystem::path& value) { ::setenv(name, value.c_str(), 1); }

std::filesystem::path MakePrivateRoot(const char* pattern) {
    std::string tmpl = pattern;
    if (!::mkdtemp(tmpl.data())) {  // the folder is the user's alone (0700)
        std::perror("kestrune tests: mkdtemp");
        std::exit(2);
    }
    g_privateRoot = tmpl;
    g_rootOwner = ::getpid();
    std::atexit(RemovePrivateRoot);
    return g_privateRoot;
}

// Everything a test, the program it starts or a library under them would
// write for the user (preferences, Qt's runtime folder, the sound client's
// cookie and runtime files) goes into a temporary folder that is removed at
// exit: HOME, the XDG folders and the sound client's settings point there,
// and the session bus address points at nothing.
void UsePrivateHome() {
    if (const char* inherited = std::getenv("KESTRUNE_TEST_ROOT"); inherited && *inherited) {
        // A child that a test starts as another user gets no runtime folder
        // from its parent: it makes one of its own, so that Qt does not
        // make one in /tmp.
        if (!std::getenv("XDG_RUNTIME_DIR")) Set("XDG_RUNTIME_DIR", MakePrivateRoot("/tmp/kestrune-test-run.XXXXXX"));
        return;
    }
    const std::filesystem::path root = MakePrivateRoot("/tmp/kestrune-test.XXXXXX");

    for (const char* sub : {"home", "config", "cache", "data", "state"})
        std::filesystem::create_directory(root / sub);
    ::mkdir((root / "run").c_str(), 0700);  // a runtime folder must be the user's alone
    std::ofstream(root / "pulse-client.conf") << "autospawn = no\n";

    Set("KESTRUNE_TEST_ROOT", root);
    Set("HOME", root / "home");
    Set("XDG_CONFIG_HOME", root / "config");
    Set("XDG_CACHE_HOME", root / "cache");
    Set("XDG_DATA_HOME", root / "data");
    Set("XDG_STATE_HOME", root / "state");
    Set("XDG_RUNTIME_DIR", root / "run");
    Set("PULSE_CLIENTCONFIG", root / "pulse-client.conf");
    Set("PULSE_COOKIE", root / "pulse-cookie");
    ::unsetenv("PULSE_SERVER");
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (root / "no-session-bus").string()).c_str(), 1);
}

}  // namespace

int main(int argc, char** argv) {
    UsePrivateHome();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    SetMainThread();
    int status;
    {
        QApplication app(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        status = RUN_ALL_TESTS();
    }
    RemovePrivateRoot();
    return status;
}
