#include <gtest/gtest.h>

#include "EventLoop.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

#include "Runtime.h"
#include "Sound.h"
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

namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Milliseconds from t0 to t.
double MsSince(SteadyClock::time_point t0, SteadyClock::time_point t) {
    return std::chrono::duration<double, std::milli>(t - t0).count();
}

// Runs the event loop until the moment t (bounded).
void RunUntilMoment(SteadyClock::time_point t) {
    ASSERT_TRUE(RunUntil([&] { return SteadyClock::now() >= t; }, 20000));
}

}  // namespace

// A period set while the timer runs counts from now, but the countdown never
// ends later than one new period after the end it had when it began; past
// that moment the timer fires at once. Each case starts a repeating timer of
// `first` ms and sets the periods at the moments given (ms after the start),
// all before the first Action. The expected moments are worked out from the
// moments the changes were really made, so that a late event loop does not
// fail the test; the timer never fires before them, and on a loaded machine
// it may fire a little after.
TEST(Timer, APeriodSetWhileRunningCountsFromNowWithinOneNewPeriodOfTheFirstEnd) {
    struct Change {
        int atMs;
        int64_t periodMs;
    };
    struct Case {
        const char* what;
        int64_t first;
        std::vector<Change> changes;
        int plannedMs;  // the first Action, had each change come on time
    };
    const Case cases[] = {
        {"a single longer period counts from now", 400, {{300, 900}}, 1200},
        {"a single shorter period counts from now", 590, {{500, 290}}, 790},
        {"set again and again faster than it lasts, the timer still fires", 400,
         {{300, 400}, {600, 400}, {750, 400}}, 800},
        {"longer and longer periods are held to the bound", 200, {{150, 600}, {700, 600}}, 800},
        {"a bound that has passed fires at once", 200, {{100, 1500}, {1200, 500}}, 1200},
    };
    constexpr double kLateMs = 150;  // how late an Action may come on a busy machine

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Ref<ProbeTimer> t(new ProbeTimer);
        std::vector<SteadyClock::time_point> fired;
        t->onAction = [&fired](ProbeTimer&) { fired.push_back(SteadyClock::now()); };
        t->SetPeriod(c.first);
        const auto t0 = SteadyClock::now();
        t->SetMode(Timer::kModeMultiple);

        // The rule, from the moments the changes were made.
        const auto firstEnd = t0 + milliseconds(c.first);
        auto deadline = firstEnd;
        int64_t period = c.first;
        for (const Change& ch : c.changes) {
            RunUntilMoment(t0 + milliseconds(ch.atMs));
            ASSERT_TRUE(fired.empty()) << "an Action came before the change at " << ch.atMs << " ms";
            const auto at = SteadyClock::now();
            t->SetPeriod(ch.periodMs);
            period = ch.periodMs;
            deadline = std::max(std::min(at + milliseconds(period), firstEnd + milliseconds(period)), at);
        }
        EXPECT_EQ(t->Period(), period);
        // The table agrees with the rule when the changes come on time.
        EXPECT_NEAR(MsSince(t0, deadline), c.plannedMs, kLateMs);

        ASSERT_TRUE(RunUntil([&] { return fired.size() >= 2; }, 20000));
        const double first = MsSince(t0, fired[0]);
        const double expected = MsSince(t0, deadline);
        EXPECT_GE(first, expected - 1) << "the first Action came early";
        EXPECT_LE(first, expected + kLateMs) << "the first Action came late";
        // The next period counts from that deadline, not from the Action.
        const double second = MsSince(t0, fired[1]);
        EXPECT_GE(second, expected + double(period) - 1);
        EXPECT_LE(second, expected + double(period) + kLateMs);
    }
}

// However often the period changes, and to whatever, the timer goes on
// firing: never longer between two Actions (or from the start to the first)
// than the longest period plus the longest period.
TEST(Timer, PeriodsChangedFasterThanTheyLastNeverStopTheActions) {
    const int64_t periods[] = {150, 300, 700, 300};
    const double longest = 700;
    Ref<ProbeTimer> t(new ProbeTimer);
    std::vector<SteadyClock::time_point> fired;
    t->onAction = [&fired](ProbeTimer&) { fired.push_back(SteadyClock::now()); };
    t->SetPeriod(periods[0]);
    const auto t0 = SteadyClock::now();
    t->SetMode(Timer::kModeMultiple);
    // A change every 60 ms for 3 s, each shorter than any of the periods.
    for (int k = 1; k <= 50; ++k) {
        RunUntilMoment(t0 + milliseconds(60 * k));
        t->SetPeriod(periods[k % 4]);
    }
    const auto end = SteadyClock::now();
    ASSERT_GE(fired.size(), 3u) << "the changes kept the timer from firing";
    double worst = MsSince(t0, fired[0]);
    for (size_t i = 1; i < fired.size(); ++i) worst = std::max(worst, MsSince(fired[i - 1], fired[i]));
    worst = std::max(worst, MsSince(fired.back(), end));
    EXPECT_LE(worst, 2 * longest + 150) << "longest time without an Action";
}

// The output is kept awake after each play for longer than the timer that
// plays can go without firing at the longest interval, 59 s, however that
// interval is changed.
TEST(Timer, TheOutputIsKeptAwakeLongerThanTheLongestGapBetweenTwoActions) {
    const milliseconds longestInterval(59000);
    EXPECT_GT(Sound::OutputTiming{}.keepAwake, 2 * longestInterval + std::chrono::seconds(30));
}
