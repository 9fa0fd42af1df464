// The sound server's client library run by the Qt event loop of the thread
// that makes the loop: its sockets are watched by socket notifiers and its
// timeouts are Qt timers, so an idle connection never wakes the process.
#pragma once

#if KESTRUNE_HAVE_PULSE
#include <pulse/mainloop-api.h>

#include <vector>

class QObject;

class PulseQtLoop {
public:
    PulseQtLoop();
    ~PulseQtLoop();  // every event of the library must be freed by then
    PulseQtLoop(const PulseQtLoop&) = delete;
    PulseQtLoop& operator=(const PulseQtLoop&) = delete;

    pa_mainloop_api* Api() { return &api_; }

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

private:
    void Bury();

    pa_mainloop_api api_{};
    int depth_ = 0;
    std::vector<QObject*> retired_;
};
#endif
