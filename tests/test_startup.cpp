#include <gtest/gtest.h>

#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "App.h"
#include "MenuBar1.h"
#include "Window.h"
#include "Runtime.h"
#include "Startup.h"
#include "silent.h"

namespace {

// Failures to inject: a plug-in whose binding raises, and a static
// initialiser that raises.
bool g_failPlugin = false;
bool g_failInitializer = false;
PluginRegistration g_testPlugin("startup-test-plugin", [] {
    if (g_failPlugin) throw UnsupportedOperationException("plug-in cannot be bound");
});
StaticInitializer g_testInitializer(5, [] {
    if (g_failInitializer) throw OutOfBoundsException("initialiser failed");
});

class Startup : public testing::Test {
protected:
    void SetUp() override {
        RuntimeResetForTesting();
        g_failPlugin = g_failInitializer = false;
        RuntimeSetStepObserverForTesting([this](const char* step) { steps_.push_back(step); });
    }
    void TearDown() override {
        RuntimeSetStepObserverForTesting(nullptr);
        g_failPlugin = g_failInitializer = false;
        RuntimeResetForTesting();
    }
    std::vector<std::string> steps_;
};


}  // namespace

TEST_F(Startup, RunsEveryStepInOrderAndRegistersOneApp) {
    RuntimePerformInitializers();
    EXPECT_FALSE(_x_silent::loaded);
    EXPECT_FALSE(_x_silent::permaSound);
    Ref<Object> seenInLoop;
    QTimer::singleShot(20, [&] {
        seenInLoop = GetAppObject();
        RuntimeQuit(0);
    });
    Main();
    EXPECT_EQ(steps_, (std::vector<std::string>{"RuntimeSetExceptionHelper", "RuntimeInitExternalClasses",
                                                "InitPluginEntrypoints", "RunFrameworkInitialization",
                                                "LateStartup", "RuntimeRun", "Open"}));
    EXPECT_TRUE(PluginIsBound("startup-test-plugin"));

    Ref<class App> app = App();
    ASSERT_TRUE(app);
    EXPECT_EQ(App().get(), app.get());
    EXPECT_EQ(seenInLoop.get(), app.get()) << "the registered object lives through the loop";
    seenInLoop = nullptr;
    // The framework's reference and ours: the About handler's delegate, the
    // window and its popup keep none.
    EXPECT_EQ(app->RefCount(), 2);
    // The application's menu bar is the one shared MenuBar1, and the window
    // that the late start-up opened (shown by its own design values) has it too.
    ASSERT_TRUE(MenuBar1::_implicitInstance);
    EXPECT_EQ(app->MenuBar(), Ref<MenuBar>(MenuBar1::_implicitInstance));
    Ref<Window> window = GetImplicitWindow("Window1.Window1");
    ASSERT_TRUE(window);
    EXPECT_TRUE(window->Widget()->isVisible());
    EXPECT_EQ(window->MenuBar(), app->MenuBar());
    window = nullptr;
    EXPECT_FALSE(app->MyVurivTimer);
    // The About handler, and no other, is registered under the item's name.
    EXPECT_TRUE(app->HasMenuHandler("About"));
    EXPECT_FALSE(app->HasMenuHandler("About Kestrune"));
    EXPECT_FALSE(app->HasMenuHandler("FileQuit"));
    EXPECT_TRUE(app->DispatchMenuItem("About"));

    // At exit the framework lets the application object go, and it releases
    // its timer.
    Ref<VurivTimer> timer(new VurivTimer);
    app->MyVurivTimer = timer;
    app = nullptr;
    EXPECT_EQ(timer->RefCount(), 2);
    RuntimePerformFinalizers();
    EXPECT_EQ(RuntimeExit(), 0);
    EXPECT_EQ(timer->RefCount(), 1);
    EXPECT_FALSE(GetAppObject());
}

TEST_F(Startup, AFailureInTheEarlyStartupSkipsTheRestAndTheExitStatusReportsIt) {
    struct Case {
        const char* what;
        bool* flag;
        std::vector<std::string> steps;
        const char* said;
    };
    const std::vector<Case> cases = {
        {"a static initialiser raises", &g_failInitializer, {"UnhandledException"},
         "Kestrune: unhandled OutOfBoundsException: initialiser failed\n"},
        {"a plug-in cannot be bound", &g_failPlugin,
         {"RuntimeSetExceptionHelper", "RuntimeInitExternalClasses", "InitPluginEntrypoints", "UnhandledException"},
         "Kestrune: unhandled UnsupportedOperationException: plug-in cannot be bound\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RuntimeResetForTesting();
        steps_.clear();
        *c.flag = true;
        testing::internal::CaptureStderr();
        RuntimePerformInitializers();
        Main();  // returns: no loop was entered
        RuntimePerformFinalizers();
        const int status = RuntimeExit();
        const std::string err = testing::internal::GetCapturedStderr();
        *c.flag = false;
        std::vector<std::string> expected = c.steps;
        expected.push_back("RuntimePerformFinalizers");
        expected.push_back("RuntimeExit");
        EXPECT_EQ(steps_, expected);
        EXPECT_NE(status, 0);
        EXPECT_EQ(err, c.said);
        EXPECT_FALSE(GetAppObject()) << "no application object was registered";
    }
}

TEST_F(Startup, WhenTheMenuBarCannotBeMadeTheAppGoesAwayUnregisteredAndNothingLaterRuns) {
    // Off the main thread the menu operations raise: the early start-up fails
    // in _NewAppInstance, after the App was made, before it was registered.
    MenuBar1::_implicitInstance = nullptr;  // as a new process has it
    RuntimeCloseAllWindows();
    RuntimePerformInitializers();
    testing::internal::CaptureStderr();
    std::thread other([] { Main(); });
    other.join();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(steps_, (std::vector<std::string>{"RuntimeSetExceptionHelper", "RuntimeInitExternalClasses",
                                                "InitPluginEntrypoints", "UnhandledException"}));
    EXPECT_NE(err.find("unhandled ThreadAccessingUIException"), std::string::npos) << err;
    EXPECT_FALSE(GetAppObject());
    EXPECT_FALSE(MenuBar1::_implicitInstance);
    EXPECT_FALSE(GetImplicitWindow("Window1.Window1"));
    EXPECT_NE(RuntimeExit(), 0);
}

TEST(StaticInitializers, BuildTheFrameworksTablesThenTheProgramsInOrder) {
    // Tables are built once per process, by the first of these calls.
    RuntimePerformInitializers();
    const std::vector<std::string> built = RuntimeBuiltClasses();
    auto at = [&](const char* name) {
        auto it = std::find(built.begin(), built.end(), name);
        EXPECT_NE(it, built.end()) << name << " was not built";
        return it - built.begin();
    };
    const auto app = at("App");
    for (const char* framework : {"Application", "MenuItem", "MenuBar", "QuitMenuItem", "AppleMenuItem", "Window",
                                  "Timer", "Sound"})
        EXPECT_LT(at(framework), app) << framework;
    EXPECT_LT(app, at("Window1.Window1"));
    EXPECT_LT(at("Window1.Window1"), at("MenuBar1.MenuBar1"));
    EXPECT_LT(at("MenuBar1.MenuBar1"), at("VurivTimer"));
}

TEST_F(Startup, NoAppRegisteredMeansNoMenuHandler) {
    // The accessor yields nil: registering the handler raises before it
    // registers anything.
    EXPECT_FALSE(App());
    EXPECT_THROW(ApplicationAddMenuHandlers(), NilObjectException);
    // Another kind of application object: the accessor's cast raises.
    RuntimeRegisterAppObject(Ref<Object>(new Application));
    EXPECT_THROW(ApplicationAddMenuHandlers(), IllegalCastException);
}

TEST_F(Startup, NewAppInstanceRegistersTheObjectItMade) {
    NewAppInstance();
    Ref<class App> app = App();
    ASSERT_TRUE(app);
    EXPECT_EQ(&app->ClassOf(), &App::Class());
    EXPECT_EQ(app->RefCount(), 2) << "the framework's reference and ours, nothing else";
}
