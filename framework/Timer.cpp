#include "Timer.h"

#include "Runtime.h"

#include <QTimer>

#include <algorithm>
#include <utility>

// Each period is counted from the deadline of the one before, not from the
// moment the Action handler ran, so that a repeating timer does not drift; a
// single-shot Qt precise timer is armed for every deadline (Qt's coarse
// timers may fire up to 5% late).
//
// A new period set while the timer runs counts from now, as a user who picks
// an interval expects, but it is held to one new period after the end the
// current period had when it began. Without that bound, periods set more
// often than they last would keep the timer from ever firing; with it, the
// longest time between two Actions is the period a countdown began with
// plus the last one set during it.

const ClassInfo& Timer::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "Timer";
        c.base = &Object::Class();
        c.virtualOps = {"addActionNotificationReceiver", "removeActionNotificationReceiver", "Reset",
                        "_CallAction"};
        c.interfaces = {"actionSource"};
        c.events = {"Action"};
        c.methods = {{"addActionNotificationReceiver", "( actionNotificationReceiver )", {}},
                     {"removeActionNotificationReceiver", "( actionNotificationReceiver )", {}},
                     {"Reset", "(  )", {}},
                     {"_CallAction", "(  )", {{"Hidden", ""}}},
                     {"__Init", "(  )", {{"Hidden", ""}}},
                     {"__Exit", "(  )", {{"Hidden", ""}}}};
        c.properties.push_back(MakeProperty<Timer, bool>("Enabled", &Timer::SetEnabled, &Timer::Enabled));
        c.properties.push_back(MakeProperty<Timer, int64_t>("Mode", &Timer::SetMode, &Timer::Mode));
        c.properties.push_back(MakeProperty<Timer, int64_t>("Period", &Timer::SetPeriod, &Timer::Period));
        c.factory = [] { return new Timer; };
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

namespace {
StaticInitializer g_timerClass(0, [] { (void)Timer::Class(); });
// The Qt timer whose timeout is being delivered at the moment, if any.
QTimer* g_delivering = nullptr;
}  // namespace

Timer::Timer() {
    qtimer_ = new QTimer;
    qtimer_->setSingleShot(true);
    qtimer_->setTimerType(Qt::PreciseTimer);
    QObject::connect(qtimer_, &QTimer::timeout, [this, q = qtimer_] {
        QTimer* outer = std::exchange(g_delivering, q);
        Fire();  // may destroy the timer: nothing of it is touched afterwards
        g_delivering = outer;
    });
}

Timer::~Timer() {
    // A dead timer fires no more. When the last reference goes inside the
    // timer's own Action, Qt is still delivering the timeout: let it finish.
    qtimer_->stop();
    QObject::disconnect(qtimer_, nullptr, nullptr, nullptr);
    if (g_delivering == qtimer_)
        qtimer_->deleteLater();
    else
        delete qtimer_;
}

void Timer::addActionNotificationReceiver(const Ref<Object>& receiver) {
    if (!receiver) throw NilObjectException();
    if (std::find(receivers_.begin(), receivers_.end(), receiver) == receivers_.end())
        receivers_.push_back(receiver);
}

void Timer::removeActionNotificationReceiver(const Ref<Object>& receiver) {
    receivers_.erase(std::remove(receivers_.begin(), receivers_.end(), receiver), receivers_.end());
}

void Timer::Reset() { Restart(); }

void Timer::CallAction() { RuntimeRaiseClassEvent(*this, "Action"); }

void Timer::SetPeriod(int64_t ms) {
    period_ = ms;
    if (!IsRunning()) return;
    const auto now = Clock::now();
    const auto period = Length();
    // Past the bound already: the period ends now, and the timer fires at once.
    ArmFor(std::max(std::min(now + period, firstEnd_ + period), now));
}

void Timer::SetMode(int64_t mode) {
    mode_ = mode;
    Restart();
}

void Timer::SetEnabled(bool on) {
    enabled_ = on;
    Restart();
}

bool Timer::IsRunning() const { return qtimer_->isActive(); }

bool Timer::Active() const { return enabled_ && (mode_ == kModeSingle || mode_ == kModeMultiple); }

std::chrono::milliseconds Timer::Length() const { return std::chrono::milliseconds(std::max<int64_t>(period_, 1)); }

void Timer::Restart() {
    if (!Active()) {
        qtimer_->stop();
        return;
    }
    StartPeriodAt(Clock::now());
}

void Timer::StartPeriodAt(Clock::time_point start) {
    firstEnd_ = start + Length();
    ArmFor(firstEnd_);
}

void Timer::ArmFor(Clock::time_point deadline) {
    deadline_ = deadline;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    qtimer_->start(static_cast<int>(std::clamp<int64_t>(left, 0, INT32_MAX)));
}

void Timer::Fire() {
    // Qt's millisecond timers may wake a little early: wait for the deadline.
    if (Clock::now() < deadline_) {
        ArmFor(deadline_);
        return;
    }
    Ref<Timer> self(this);
    if (mode_ == kModeSingle) {
        mode_ = kModeOff;
    } else if (Active()) {
        // The next period begins at this one's deadline. After a stall longer
        // than a period (a suspended machine), it begins now: the missed
        // Actions are not made up for in a burst.
        Clock::time_point start = deadline_;
        const auto now = Clock::now();
        if (start + Length() <= now) start = now;
        StartPeriodAt(start);
    }
    CallAction();
}
