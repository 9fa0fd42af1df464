#include "Runtime.h"

#include "Window.h"

#include <QApplication>
#include <QGuiApplication>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

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
ExceptionHelper g_helper = nullptr;
Ref<Object> g_appObject;
int g_exitResult = 0;
bool g_unhandled = false;
std::unique_ptr<QApplication> g_app;

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

bool HasDisplay() {
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.startsWith("xcb") && !platform.startsWith("wayland"))
        return true;  // offscreen, minimal, vnc, ... need no desktop session
#if defined(Q_OS_LINUX) || defined(Q_OS_FREEBSD)
    if (platform.startsWith("wayland")) return !qgetenv("WAYLAND_DISPLAY").isEmpty();
    return !qgetenv("DISPLAY").isEmpty() || !qgetenv("WAYLAND_DISPLAY").isEmpty();
#else
    return true;
#endif
}

}  // namespace

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

void RuntimeInit(int& argc, char** argv) {
    SetMainThread();
    if (QCoreApplication::instance()) return;
    if (!HasDisplay()) {
        RuntimeReport("needs a desktop session (no display to connect to; is DISPLAY set?)");
        std::exit(2);
    }
    // Qt aborts when it cannot open the display it was given; try it first.
    g_app = std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setApplicationName("Kestrune");
    QCoreApplication::setApplicationVersion(
        QString("%1.%2").arg(KESTRUNE_VERSION_MAJOR).arg(KESTRUNE_VERSION_MINOR));
    QGuiApplication::setQuitOnLastWindowClosed(false);
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

void RuntimeSetExceptionHelper(ExceptionHelper helper) { g_helper = helper; }

void RuntimeInitExternalClasses() {
    // Building the framework's own class tables here makes them ready before
    // any program code asks for them.
    (void)Object::Class();
    (void)Delegate::Class();
}

void InitPluginEntrypoints() {
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
    if (lateStartup) lateStartup(nullptr);
}

void RuntimeRun() {
    if (!QCoreApplication::instance()) throw UnsupportedOperationException("the runtime was not started");
    const int code = QCoreApplication::exec();
    if (code != 0 && g_exitResult == 0) g_exitResult = code;
}

void RuntimeQuit(int code) {
    if (code != 0) g_exitResult = code;
    QCoreApplication::exit(code);
}

void UnhandledException(std::exception_ptr e) {
    if (!e) return;
    RuntimeReport("unhandled " + Describe(e));
    g_unhandled = true;
}

void RuntimePerformFinalizers() {}

int RuntimeExit() {
    const int result = g_unhandled ? 1 : g_exitResult;
    RuntimeCloseAllWindows();
    g_appObject = nullptr;
    g_app.reset();
    return result;
}

void RuntimeRegisterAppObject(const Ref<Object>& app) { g_appObject = app; }

Ref<Object> GetAppObject() { return g_appObject; }

bool RuntimeRaiseEvent(const std::function<void()>& handler) {
    std::exception_ptr e = g_helper ? g_helper(handler) : FrameworkExceptionHelper(handler);
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
    g_helper = nullptr;
    g_appObject = nullptr;
    g_exitResult = 0;
    g_unhandled = false;
}
