// Timers: a Timer raises its Action event at the end of every period while
// its mode lets it fire. The class binds the handler (ClassInfo bindings).
#pragma once

#include "Object.h"

#include <chrono>
#include <vector>

class QTimer;

class Timer : public Object {
    KESTRUNE_CLASS()
public:
    // Mode values.
    static constexpr int64_t kModeOff = 0;
    static constexpr int64_t kModeSingle = 1;    // fires once, then turns itself off
    static constexpr int64_t kModeMultiple = 2;  // fires at the end of every period

    Timer();
    ~Timer() override;

    // The actionSource interface. Receivers are kept while registered; the
    // timer's own Action event is what the framework raises.
    virtual void addActionNotificationReceiver(const Ref<Object>& receiver);
    virtual void removeActionNotificationReceiver(const Ref<Object>& receiver);
    // Starts the current period again from now (when the timer is running).
    virtual void Reset();
    // The framework's dispatch of the Action event: calls the handler that the
    // object's class binds to Action, with the timer; an exception that leaves
    // the handler is reported and dropped. Does nothing when none is bound.
    virtual void CallAction();

    // The period in milliseconds. Setting it while the timer runs starts the
    // new period from now, but never lets the current period end later than
    // one new period after the end it had when it began: a period changed
    // again and again still ends, and a timer that runs never goes longer
    // without firing than the period it began with plus the new one. When
    // that moment has already passed, the timer fires at once, and the next
    // period counts from then.
    void SetPeriod(int64_t ms);
    int64_t Period() const { return period_; }
    // 0 off, 1 once, 2 repeating. A new timer is off. Setting 1 or 2 starts
    // the first period from now; 0 stops the timer.
    void SetMode(int64_t mode);
    int64_t Mode() const { return mode_; }
    // A disabled timer does not fire; enabling it again starts a period.
    void SetEnabled(bool on);
    bool Enabled() const { return enabled_; }

    // Whether a period is being counted down at the moment.
    bool IsRunning() const;
    const std::vector<Ref<Object>>& ActionNotificationReceivers() const { return receivers_; }

private:
    using Clock = std::chrono::steady_clock;
    bool Active() const;
    std::chrono::milliseconds Length() const;  // the period, at least 1 ms
    void Restart();   // a new period from now, or stop when not active
    void StartPeriodAt(Clock::time_point start);
    void ArmFor(Clock::time_point deadline);
    void Fire();

    int64_t period_ = 1000;
    int64_t mode_ = kModeOff;
    bool enabled_ = true;
    Clock::time_point deadline_{};
    // The end the current period had when it began; changes of the period
    // never move the deadline more than one new period past it.
    Clock::time_point firstEnd_{};
    QTimer* qtimer_ = nullptr;
    std::vector<Ref<Object>> receivers_;
};
