#include <gtest/gtest.h>

#include "App.h"
#include "Runtime.h"

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
