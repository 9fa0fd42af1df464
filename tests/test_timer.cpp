#include <gtest/gtest.h>

#include "EventLoop.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <functional>

#include "Runtime.h"
#include "Timer.h"

namespace {

// A timer class that binds Action to a handler of its own.
class ProbeTimer : public Timer {
    KESTRUNE_CLASS()
public:
    ProbeTimer() { ++alive; }
    ~ProbeTimer() override { --alive; }
    void Event_Action() {
        ++actions;
        if (onAction) onAction(*this);
    }
    int actions = 0;
    std::function<void(ProbeTimer&)> onAction;
    static inline int alive = 0;
    static inline int totalActions = 0;
};

const ClassInfo& ProbeTimer::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "ProbeTimer";
        c.base = &Timer::Class();
        c.bindings.push_back({"Action", "ProbeTimer.Event_Action", [](Object& o) {
                                  ++totalActions;
                                  static_cast<ProbeTimer&>(o).Event_Action();
                              }});
        c.factory = [] { return new ProbeTimer; };
        return c;
    }();
    return info;
}

}  // namespace

TEST(Timer, ClassTableAndANewTimerIsOff) {
    const ClassInfo& c = Timer::Class();
    EXPECT_EQ(c.name, "Timer");
    EXPECT_EQ(c.virtualOps, (std::vector<std::string>{"addActionNotificationReceiver",
                                                      "removeActionNotificationReceiver", "Reset",
                                                      "_CallAction"}));
    EXPECT_EQ(c.interfaces, std::vector<std::string>{"actionSource"});
    EXPECT_EQ(c.events, std::vector<std::string>{"Action"});
    EXPECT_EQ(c.methods.size(), 6u);

    Ref<Object> o = RuntimeNewObject(Timer::Class());
    Ref<Timer> t = RuntimeCheckCast<Timer>(o);
    EXPECT_EQ(t->Mode(), 0);
    EXPECT_TRUE(t->Enabled());
    EXPECT_FALSE(t->IsRunning());
    // Properties by name, as introspection sets them.
    c.FindProperty("period")->set(*t, PropValue(int64_t{250}));
    c.FindProperty("MODE")->set(*t, PropValue(int64_t{2}));
    EXPECT_EQ(t->Period(), 250);
    EXPECT_EQ(std::get<int64_t>(c.FindProperty("Mode")->get(*t)), 2);
    EXPECT_TRUE(t->IsRunning());
    c.FindProperty("enabled")->set(*t, PropValue(false));
    EXPECT_FALSE(t->IsRunning());
    // A timer whose class binds no Action handler does nothing when it fires.
    EXPECT_NO_THROW(t->CallAction());
}

TEST(Timer, RepeatingTimerFiresAgainAndAgainUntilTurnedOff) {
    Ref<ProbeTimer> t(new ProbeTimer);
    t->SetPeriod(10);
    RunFor(40);
    EXPECT_EQ(t->actions, 0) << "a timer that is off never fires";
    t->SetMode(Timer::kModeMultiple);
    ASSERT_TRUE(RunUntil([&] { return t->actions >= 5; }));
    EXPECT_EQ(t->Mode(), Timer::kModeMultiple);
    EXPECT_EQ(t->Period(), 10);

    // A new period takes effect while the timer runs.
    t->SetPeriod(20);
    const int before = t->actions;
    ASSERT_TRUE(RunUntil([&] { return t->actions >= before + 3; }));

    t->SetMode(Timer::kModeOff);
    const int stopped = t->actions;
    RunFor(80);
    EXPECT_EQ(t->actions, stopped);

    t->SetMode(Timer::kModeMultiple);
    t->SetEnabled(false);
    RunFor(80);
    EXPECT_EQ(t->actions, stopped) << "a disabled timer does not fire";
    t->SetEnabled(true);
    ASSERT_TRUE(RunUntil([&] { return t->actions > stopped; }));
}

TEST(Timer, SingleModeFiresOnceAndTurnsItselfOff) {
    Ref<ProbeTimer> t(new ProbeTimer);
    t->SetPeriod(5);
    t->SetMode(Timer::kModeSingle);
    ASSERT_TRUE(RunUntil([&] { return t->actions >= 1; }));
    EXPECT_EQ(t->Mode(), Timer::kModeOff);
    RunFor(60);
    EXPECT_EQ(t->actions, 1);
}

TEST(Timer, ReleasedTimerFiresNoMore) {
    ProbeTimer::totalActions = 0;
    {
        Ref<ProbeTimer> t(new ProbeTimer);
        t->SetPeriod(5);
        t->SetMode(Timer::kModeMultiple);
        ASSERT_TRUE(RunUntil([&] { return t->actions >= 2; }));
    }
    EXPECT_EQ(ProbeTimer::alive, 0);
    const int fired = ProbeTimer::totalActions;
    RunFor(60);
    EXPECT_EQ(ProbeTimer::totalActions, fired);

    // The last reference may also go inside the timer's own Action, as when a
    // new timer replaces the one whose tick is running.
    Ref<ProbeTimer> holder(new ProbeTimer);
    holder->onAction = [&holder](ProbeTimer&) { holder = nullptr; };
    holder->SetPeriod(5);
    holder->SetMode(Timer::kModeMultiple);
    ASSERT_TRUE(RunUntil([&] { return holder.IsNil(); }));
    EXPECT_EQ(ProbeTimer::alive, 0);
    const int afterDeath = ProbeTimer::totalActions;
    RunFor(60);
    EXPECT_EQ(ProbeTimer::totalActions, afterDeath);
}

TEST(Timer, ExceptionLeavingActionIsReportedAndTheTimerGoesOn) {
    Ref<ProbeTimer> t(new ProbeTimer);
    t->onAction = [](ProbeTimer&) { throw NilObjectException("no sound"); };
    t->SetPeriod(5);
    testing::internal::CaptureStderr();
    t->SetMode(Timer::kModeMultiple);
    const bool fired = RunUntil([&] { return t->actions >= 3; });
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(fired);
    EXPECT_NE(err.find("NilObjectException: no sound"), std::string::npos) << err;
}

TEST(Timer, ActionNotificationReceiversAreKeptOnce) {
    Ref<Timer> t(new Timer);
    Ref<Object> r = RuntimeNewObject(Timer::Class());
    t->addActionNotificationReceiver(r);
    t->addActionNotificationReceiver(r);
    EXPECT_EQ(t->ActionNotificationReceivers().size(), 1u);
    t->removeActionNotificationReceiver(r);
    EXPECT_TRUE(t->ActionNotificationReceivers().empty());
    EXPECT_THROW(t->addActionNotificationReceiver(Ref<Object>()), NilObjectException);
}
