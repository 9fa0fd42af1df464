// The sound server's client library run by the Qt event loop of the thread
// that makes the loop: its sockets are watched by socket notifiers and its
// timeouts are Qt timers, so an idle connection never wakes the process.
#pragma once

#if KESTRUNE_HAVE_PULSE
#include <pulse/mainloop-api.h>

#include <vector>

class QObject;
struct pa_io_event;

class PulseQtLoop {
public:
    PulseQtLoop();
    ~PulseQtLoop();  // every event of the library must be freed by then
    PulseQtLoop(const PulseQtLoop&) = delete;
    PulseQtLoop& operator=(const PulseQtLoop&) = delete;

    pa_mainloop_api* Api() { return &api_; }

    // While quiet, what the server sends waits in the sockets and the process
    // sleeps on; Drain hands it to the library at a time of the owner's
    // choosing. Sending, timeouts and deferred work go on as usual.
    void SetQuiet(bool quiet);
    bool Quiet() const { return quiet_; }
    void Drain();

    // For the events: runs a callback of the library. Qt objects of events
    // freed meanwhile are deleted once no callback runs any more.
    template <typename F>
    void Dispatch(F&& call) {
        if (depth_ == 0) Bury();
        ++depth_;
        call();
        --depth_;
    }
    void Retire(QObject* o);
    void Add(pa_io_event* e) { events_.push_back(e); }
    void Remove(pa_io_event* e);

private:
    void Bury();

    pa_mainloop_api api_{};
    int depth_ = 0;
    bool quiet_ = false;
    std::vector<pa_io_event*> events_;
    std::vector<QObject*> retired_;
};
#endif
