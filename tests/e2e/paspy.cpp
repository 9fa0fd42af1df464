// A shim for the end-to-end tests and the benchmark, loaded into the program
// with LD_PRELOAD: it passes every call below on to the sound server's client
// library unchanged and appends one line per call to the file named by
// KESTRUNE_PASPY_LOG:
//
//   TIME CALL STREAM-OR-CONTEXT [BYTES HEAD]
//
// TIME is the wall clock in seconds; for a write, BYTES is its length and HEAD
// its first 8 bytes in hex (a write that starts the sound is told from one that
// goes on with it). The log shows when the program plays, however it reaches
// the server, without asking the server.
#include <pulse/pulseaudio.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int LogFd() {
    static const int fd = [] {
        const char* path = std::getenv("KESTRUNE_PASPY_LOG");
        // The path may be a FIFO (no file-size limit applies to it); a full
        // one drops a line rather than stall the program.
        return path ? open(path, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0644) : -1;
    }();
    return fd;
}

void Note(const char* call, const void* obj, long long bytes = -1, const char* head = "") {
    const int fd = LogFd();
    if (fd < 0) return;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    char line[160];
    int n = bytes < 0 ? std::snprintf(line, sizeof line, "%lld.%06ld %s %p\n", static_cast<long long>(ts.tv_sec),
                                      ts.tv_nsec / 1000, call, obj)
                      : std::snprintf(line, sizeof line, "%lld.%06ld %s %p %lld %s\n",
                                      static_cast<long long>(ts.tv_sec), ts.tv_nsec / 1000, call, obj, bytes, head);
    if (n > 0) (void)!write(fd, line, static_cast<size_t>(n));  // one write: lines from threads never mix
}

template <typename Fn>
Fn Next(const char* name) {
    void* p = dlsym(RTLD_NEXT, name);
    if (!p) std::abort();
    Fn fn;
    std::memcpy(&fn, &p, sizeof fn);
    return fn;
}

struct Head {
    char hex[17] = "-";
};

Head HeadOf(const void* data, size_t nbytes) {
    Head h;
    if (!data || nbytes < 8) return h;
    const auto* b = static_cast<const unsigned char*>(data);
    for (int i = 0; i < 8; ++i) std::snprintf(h.hex + 2 * i, 3, "%02x", b[i]);
    return h;
}

}  // namespace

extern "C" {

int pa_stream_write(pa_stream* s, const void* data, size_t nbytes, pa_free_cb_t free_cb, int64_t offset,
                    pa_seek_mode_t seek) {
    static const auto next = Next<decltype(&pa_stream_write)>("pa_stream_write");
    Note("write", s, static_cast<long long>(nbytes), HeadOf(data, nbytes).hex);
    return next(s, data, nbytes, free_cb, offset, seek);
}

int pa_stream_connect_playback(pa_stream* s, const char* dev, const pa_buffer_attr* attr, pa_stream_flags_t flags,
                               const pa_cvolume* volume, pa_stream* sync_stream) {
    static const auto next = Next<decltype(&pa_stream_connect_playback)>("pa_stream_connect_playback");
    Note("connect_playback", s);
    return next(s, dev, attr, flags, volume, sync_stream);
}

int pa_stream_connect_upload(pa_stream* s, size_t length) {
    static const auto next = Next<decltype(&pa_stream_connect_upload)>("pa_stream_connect_upload");
    Note("connect_upload", s, static_cast<long long>(length));
    return next(s, length);
}

int pa_stream_disconnect(pa_stream* s) {
    static const auto next = Next<decltype(&pa_stream_disconnect)>("pa_stream_disconnect");
    Note("stream_disconnect", s);
    return next(s);
}

pa_operation* pa_context_play_sample(pa_context* c, const char* name, const char* dev, pa_volume_t volume,
                                     pa_context_success_cb_t cb, void* userdata) {
    static const auto next = Next<decltype(&pa_context_play_sample)>("pa_context_play_sample");
    Note("play_sample", c);
    return next(c, name, dev, volume, cb, userdata);
}

int pa_context_connect(pa_context* c, const char* server, pa_context_flags_t flags, const pa_spawn_api* api) {
    static const auto next = Next<decltype(&pa_context_connect)>("pa_context_connect");
    Note("context_connect", c);
    return next(c, server, flags, api);
}

void pa_context_disconnect(pa_context* c) {
    static const auto next = Next<decltype(&pa_context_disconnect)>("pa_context_disconnect");
    Note("context_disconnect", c);
    next(c);
}

}  // extern "C"
