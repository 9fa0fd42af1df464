#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QTemporaryDir>
#include <QWidget>

#include <filesystem>
#include <string>
#include <thread>

#include "App.h"
#include "FolderItem.h"
#include "QelModule.h"
#include "Runtime.h"
#include "Startup.h"
#include "Window.h"
#include "silent.h"

TEST(App, ClassTable) {
    const ClassInfo& c = App::Class();
    EXPECT_EQ(c.name, "App");
    EXPECT_EQ(c.base, &Application::Class());
    EXPECT_EQ(c.virtualOps,
              (std::vector<std::string>{"AddTrayItem", "DoEvents", "NewDocument", "OpenDocument", "RemoveTrayItem",
                                        "SleepCurrentThread", "YieldToNextThread", "_AddMenuHandler",
                                        "_AddPollableObject", "_DependencyList", "_DoSingleEvent",
                                        "_RemovePollableObject", "_x_SetVersionData", "Event_Open",
                                        "_About_Action", "Constructor"}));
    // Open, and nothing else, is bound.
    ASSERT_EQ(c.bindings.size(), 1u);
    EXPECT_EQ(c.FindBinding("Open")->handler, "App.Event_Open");
    for (const char* other : {"Activate", "CancelClose", "Close", "Deactivate", "EnableMenuItems",
                              "HandleAppleEvent", "NewDocument", "OpenDocument", "UnhandledException"})
        EXPECT_EQ(c.FindBinding(other), nullptr) << other;
    EXPECT_EQ(c.methods.size(), Application::Class().methods.size() + 3);
    const PropertyInfo* p = c.FindProperty("myvurivtimer");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->name, "MyVurivTimer");
    EXPECT_EQ(p->type, PropType::Object);
    EXPECT_EQ(p->typeName, "VurivTimer");
}

TEST(App, TimerPropertyByIntrospectionTakesTheNewAndReleasesTheOld) {
    Ref<class App> app = RuntimeCheckCast<class App>(RuntimeNewObject(App::Class()));
    ASSERT_TRUE(app);
    EXPECT_FALSE(app->MyVurivTimer) << "nil when the object is made";
    const PropertyInfo* p = App::Class().FindProperty("MyVurivTimer");
    Ref<VurivTimer> first(new VurivTimer), second(new VurivTimer);
    p->set(*app, PropValue(Ref<Object>(first)));
    EXPECT_EQ(app->MyVurivTimer.get(), first.get());
    EXPECT_EQ(first->RefCount(), 2);
    p->set(*app, PropValue(Ref<Object>(second)));
    EXPECT_EQ(first->RefCount(), 1);
    EXPECT_EQ(std::get<Ref<Object>>(p->get(*app)).get(), second.get());
    // Only a VurivTimer goes in; a wrong object leaves the field as it was.
    EXPECT_THROW(p->set(*app, PropValue(Ref<Object>(new Timer))), IllegalCastException);
    EXPECT_EQ(app->MyVurivTimer.get(), second.get());
    p->set(*app, PropValue(Ref<Object>()));
    EXPECT_FALSE(app->MyVurivTimer);
}

TEST(App, DestroyingTheAppReleasesItsTimer) {
    Ref<VurivTimer> timer(new VurivTimer);
    {
        Ref<class App> app(new class App);
        app->MyVurivTimer = timer;
        EXPECT_EQ(timer->RefCount(), 2);
    }
    EXPECT_EQ(timer->RefCount(), 1);
    // Destroyed with no timer: nothing to release, nothing raised.
    EXPECT_NO_THROW({ Ref<class App> app(new class App); });
}

TEST(App, AccessorGivesTheRegisteredObjectAsAnApp) {
    RuntimeResetForTesting();
    EXPECT_FALSE(App()) << "nothing registered";
    Ref<class App> app(new class App);
    RuntimeRegisterAppObject(app);
    EXPECT_EQ(App().get(), app.get());
    EXPECT_EQ(App().get(), App().get());
    RuntimeRegisterAppObject(Ref<Object>(new Application));
    EXPECT_THROW(App(), IllegalCastException);
    RuntimeResetForTesting();
}

TEST(App, OpenChangesNothingAndAboutReturnsTrue) {
    Ref<class App> app(new class App);
    app->RaiseOpen();
    EXPECT_FALSE(app->MyVurivTimer);
    EXPECT_TRUE(app->About_Action());
}

TEST(App, VersionComesFromTheBuildAndCanBeSet) {
    Ref<class App> app(new class App);
    EXPECT_EQ(app->MajorVersion(), 1);
    EXPECT_EQ(app->MinorVersion(), 0);
    app->_x_SetVersionData(2, 10, 3, 0, 0, "2.10", "2.10.3", "");
    EXPECT_EQ(app->MajorVersion(), 2);
    EXPECT_EQ(app->MinorVersion(), 10);
}

namespace {

// A registered App with its About handler, as the start-up leaves it, in the
// built bundle and with preferences in a temporary folder.
class AppAbout : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp_.isValid());
        savedConfig_ = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(tmp_.filePath("config")));
        QelModule::ResetForTesting();
        FolderItem::SetApplicationExecutableForTesting(std::filesystem::path(KESTRUNE_BUNDLE_DIR) /
                                                       "Contents/MacOS/Kestrune");
        _x_silent::ResetForTesting();
        RuntimeResetForTesting();
        RuntimeCloseAllWindows();
        NewAppInstance();
        ApplicationAddMenuHandlers();
        app_ = App();
    }
    void TearDown() override {
        RuntimeCloseAllWindows();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        app_ = nullptr;
        RuntimeResetForTesting();
        QelModule::ResetForTesting();
        _x_silent::ResetForTesting();
        FolderItem::SetApplicationExecutableForTesting({});
        qputenv("XDG_CONFIG_HOME", savedConfig_);
    }

    QTemporaryDir tmp_;
    QByteArray savedConfig_;
    Ref<class App> app_;
};

}  // namespace

TEST_F(AppAbout, ShowsTheOpenWindowOrMakesANewOneWhoseTimerReplacesTheOld) {
    // No window yet: About makes one, and its popup gives the App a timer.
    ASSERT_FALSE(app_->MyVurivTimer);
    EXPECT_TRUE(app_->DispatchMenuItem("About"));
    Ref<Window> first = GetImplicitWindow("Window1.Window1");
    ASSERT_TRUE(first);
    Ref<VurivTimer> timer = app_->MyVurivTimer;
    ASSERT_TRUE(timer);

    // While it is open, About shows that same window: no new window, no new
    // timer.
    first->Widget()->hide();
    EXPECT_TRUE(app_->DispatchMenuItem("About"));
    EXPECT_EQ(GetImplicitWindow("Window1.Window1"), first);
    EXPECT_TRUE(first->Widget()->isVisible());
    EXPECT_EQ(app_->MyVurivTimer, timer);

    // Closed, the window leaves the timer with the App; About then makes a
    // new window whose timer replaces the old one, which the App lets go.
    first->Close();
    EXPECT_EQ(app_->MyVurivTimer, timer);
    EXPECT_TRUE(app_->DispatchMenuItem("About"));
    Ref<Window> second = GetImplicitWindow("Window1.Window1");
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    ASSERT_TRUE(app_->MyVurivTimer);
    EXPECT_NE(app_->MyVurivTimer, timer);
    EXPECT_EQ(timer->RefCount(), 1) << "only this test holds the old timer";
}

TEST_F(AppAbout, ReturnsFalseOnlyWhenAnExceptionPasses) {
    // Off the main thread the window cannot be made: the exception passes to
    // the menu dispatch, which reports it, and no window opens.
    bool result = true;
    testing::internal::CaptureStderr();
    std::thread other([&] { result = app_->DispatchMenuItem("About"); });
    other.join();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(result);
    EXPECT_NE(err.find("ThreadAccessingUIException"), std::string::npos) << err;
    EXPECT_FALSE(GetImplicitWindow("Window1.Window1"));
    EXPECT_FALSE(app_->MyVurivTimer);
}
