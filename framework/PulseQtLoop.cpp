#include "PulseQtLoop.h"

#if KESTRUNE_HAVE_PULSE
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <poll.h>
#include <sys/time.h>

#include <algorithm>
#include <utility>

// The library's event types are ours to define. Each callback is called last
// in its handler: the library may free the event from inside it.

struct pa_io_event {
    pa_mainloop_api* api;
    int fd;
    pa_io_event_cb_t cb;
    void* userdata;
    pa_io_event_destroy_cb_t destroy = nullptr;
    QSocketNotifier* in = nullptr;
    QSocketNotifier* out = nullptr;
    bool wantIn = false;
};

struct pa_time_event {
    pa_mainloop_api* api;
    pa_time_event_cb_t cb;
    void* userdata;
    pa_time_event_destroy_cb_t destroy = nullptr;
    QTimer* timer;
    struct timeval when {};
};

struct pa_defer_event {
    pa_mainloop_api* api;
    pa_defer_event_cb_t cb;
    void* userdata;
    pa_defer_event_destroy_cb_t destroy = nullptr;
    QTimer* timer;
};

namespace {

PulseQtLoop& LoopOf(pa_mainloop_api* a) { return *static_cast<PulseQtLoop*>(a->userdata); }

QSocketNotifier* MakeNotifier(pa_io_event* e, QSocketNotifier::Type type, pa_io_event_flags_t flag) {
    auto* n = new QSocketNotifier(e->fd, type);
    QObject::connect(n, &QSocketNotifier::activated, n, [e, flag] {
        LoopOf(e->api).Dispatch([&] { e->cb(e->api, e, e->fd, flag, e->userdata); });
    });
    return n;
}

void WatchInput(pa_io_event* e) {
    const bool on = e->wantIn && !LoopOf(e->api).Quiet();
    if (on && !e->in) e->in = MakeNotifier(e, QSocketNotifier::Read, PA_IO_EVENT_INPUT);
    if (e->in) e->in->setEnabled(on);
}

void IoEnable(pa_io_event* e, pa_io_event_flags_t events) {
    e->wantIn = events & (PA_IO_EVENT_INPUT | PA_IO_EVENT_HANGUP | PA_IO_EVENT_ERROR);
    const bool wantOut = events & PA_IO_EVENT_OUTPUT;
    WatchInput(e);
    if (wantOut && !e->out) e->out = MakeNotifier(e, QSocketNotifier::Write, PA_IO_EVENT_OUTPUT);
    if (e->out) e->out->setEnabled(wantOut);
}

pa_io_event* IoNew(pa_mainloop_api* a, int fd, pa_io_event_flags_t events, pa_io_event_cb_t cb, void* userdata) {
    auto* e = new pa_io_event{a, fd, cb, userdata};
    LoopOf(a).Add(e);
    IoEnable(e, events);
    return e;
}

void IoFree(pa_io_event* e) {
    LoopOf(e->api).Remove(e);
    if (e->in) LoopOf(e->api).Retire(e->in);
    if (e->out) LoopOf(e->api).Retire(e->out);
    if (e->destroy) e->destroy(e->api, e, e->userdata);
    delete e;
}

void IoSetDestroy(pa_io_event* e, pa_io_event_destroy_cb_t cb) { e->destroy = cb; }

// The library gives wall-clock times to a loop that is not its own.
void TimeArm(pa_time_event* e, const struct timeval* tv) {
    if (!tv) {
        e->timer->stop();
        return;
    }
    e->when = *tv;
    struct timeval now;
    gettimeofday(&now, nullptr);
    const long long ms = (tv->tv_sec - now.tv_sec) * 1000LL + (tv->tv_usec - now.tv_usec + 999) / 1000;
    e->timer->start(static_cast<int>(std::clamp(ms, 0LL, 24LL * 3600 * 1000)));
}

pa_time_event* TimeNew(pa_mainloop_api* a, const struct timeval* tv, pa_time_event_cb_t cb, void* userdata) {
    auto* e = new pa_time_event{a, cb, userdata, nullptr, new QTimer};
    e->timer->setSingleShot(true);
    QObject::connect(e->timer, &QTimer::timeout, e->timer, [e] {
        const struct timeval when = e->when;
        LoopOf(e->api).Dispatch([&] { e->cb(e->api, e, &when, e->userdata); });
    });
    TimeArm(e, tv);
    return e;
}

void TimeFree(pa_time_event* e) {
    LoopOf(e->api).Retire(e->timer);
    if (e->destroy) e->destroy(e->api, e, e->userdata);
    delete e;
}

void TimeSetDestroy(pa_time_event* e, pa_time_event_destroy_cb_t cb) { e->destroy = cb; }

// A deferred event runs once per pass of the event loop while it is on: a
// zero timer, which never sleeps, runs in the pass that is already awake.
pa_defer_event* DeferNew(pa_mainloop_api* a, pa_defer_event_cb_t cb, void* userdata) {
    auto* e = new pa_defer_event{a, cb, userdata, nullptr, new QTimer};
    e->timer->setInterval(0);
    QObject::connect(e->timer, &QTimer::timeout, e->timer, [e] {
        LoopOf(e->api).Dispatch([&] { e->cb(e->api, e, e->userdata); });
    });
    e->timer->start();
    return e;
}

void DeferEnable(pa_defer_event* e, int on) {
    if (on)
        e->timer->start();
    else
        e->timer->stop();
}

void DeferFree(pa_defer_event* e) {
    LoopOf(e->api).Retire(e->timer);
    if (e->destroy) e->destroy(e->api, e, e->userdata);
    delete e;
}

void DeferSetDestroy(pa_defer_event* e, pa_defer_event_destroy_cb_t cb) { e->destroy = cb; }

void Quit(pa_mainloop_api*, int) {}

}  // namespace

PulseQtLoop::PulseQtLoop() {
    api_.userdata = this;
    api_.io_new = IoNew;
    api_.io_enable = IoEnable;
    api_.io_free = IoFree;
    api_.io_set_destroy = IoSetDestroy;
    api_.time_new = TimeNew;
    api_.time_restart = TimeArm;
    api_.time_free = TimeFree;
    api_.time_set_destroy = TimeSetDestroy;
    api_.defer_new = DeferNew;
    api_.defer_enable = DeferEnable;
    api_.defer_free = DeferFree;
    api_.defer_set_destroy = DeferSetDestroy;
    api_.quit = Quit;
}

PulseQtLoop::~PulseQtLoop() { Bury(); }

// A Qt object may be inside its own signal when the library frees the event
// that owns it: it is silenced at once and deleted later.
void PulseQtLoop::Retire(QObject* o) {
    if (auto* t = qobject_cast<QTimer*>(o)) t->stop();
    if (auto* n = qobject_cast<QSocketNotifier*>(o)) n->setEnabled(false);
    QObject::disconnect(o, nullptr, nullptr, nullptr);
    if (depth_ == 0)
        delete o;
    else
        retired_.push_back(o);
}

void PulseQtLoop::Remove(pa_io_event* e) { events_.erase(std::find(events_.begin(), events_.end(), e)); }

void PulseQtLoop::SetQuiet(bool quiet) {
    if (quiet_ == quiet) return;
    quiet_ = quiet;
    for (pa_io_event* e : events_) WatchInput(e);
}

void PulseQtLoop::Drain() {
    // Each call of the library reads one piece; an event the library frees
    // meanwhile drops out of the list.
    for (int round = 0; round < 256; ++round) {
        pa_io_event* ready = nullptr;
        for (pa_io_event* e : events_) {
            if (!e->wantIn) continue;
            pollfd p{e->fd, POLLIN, 0};
            if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
                ready = e;
                break;
            }
        }
        if (!ready) return;
        pa_io_event_flags_t flags = PA_IO_EVENT_INPUT;
        Dispatch([&] { ready->cb(ready->api, ready, ready->fd, flags, ready->userdata); });
    }
}

void PulseQtLoop::Bury() {
    for (QObject* o : std::exchange(retired_, {})) delete o;
}

#endif
