#include "Sound.h"

#include "Runtime.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>
#include <system_error>

#if KESTRUNE_HAVE_PULSE
#include "PulseQtLoop.h"

#include <pulse/pulseaudio.h>

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <string>
#else
#include <QAudioFormat>
#include <QAudioSink>
#include <QAudioDevice>
#include <QBuffer>
#include <QCoreApplication>
#include <QMediaDevices>
#include <QMetaObject>
#endif

namespace {

// A sound file larger than this is refused rather than read into memory.
constexpr std::uintmax_t kMaxSoundFileBytes = 64u * 1024u * 1024u;

std::atomic<int64_t> g_filesRead{0};

uint16_t Le16(const unsigned char* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Le32(const unsigned char* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

constexpr uint16_t kWaveFormatPcm = 1;
constexpr uint16_t kWaveFormatFloat = 3;
constexpr uint16_t kWaveFormatExtensible = 0xFFFE;

const char* kNoServer = "no sound server; the silent sound is not played (will retry)";

}  // namespace

int PcmData::BytesPerSample() const {
    switch (format) {
        case Format::U8: return 1;
        case Format::S16: return 2;
        case Format::S24: return 3;
        case Format::S32:
        case Format::F32: return 4;
    }
    return 0;
}

std::shared_ptr<const PcmData> ParseWave(const unsigned char* data, size_t size) {
    if (size < 12 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WAVE", 4) != 0)
        return nullptr;
    bool haveFmt = false;
    uint16_t tag = 0, channels = 0, blockAlign = 0, bits = 0;
    uint32_t rate = 0;
    const unsigned char* samples = nullptr;
    size_t sampleBytes = 0;

    size_t pos = 12;
    while (pos + 8 <= size) {
        const unsigned char* id = data + pos;
        const uint64_t declared = Le32(data + pos + 4);
        const size_t body = pos + 8;
        const size_t available = static_cast<size_t>(std::min<uint64_t>(declared, size - body));
        if (std::memcmp(id, "fmt ", 4) == 0) {
            if (declared < 16 || available < 16) return nullptr;
            const unsigned char* f = data + body;
            tag = Le16(f);
            channels = Le16(f + 2);
            rate = Le32(f + 4);
            blockAlign = Le16(f + 12);
            bits = Le16(f + 14);
            if (tag == kWaveFormatExtensible) {
                // The real format is the first two bytes of the sub-format GUID.
                if (declared < 40 || available < 40) return nullptr;
                tag = Le16(f + 24);
            }
            haveFmt = true;
        } else if (std::memcmp(id, "data", 4) == 0 && !samples) {
            // A data chunk that claims more than the file holds (a recording
            // cut short) keeps what is there.
            samples = data + body;
            sampleBytes = available;
        }
        if (declared > size - body) break;
        pos = body + declared + (declared & 1);
    }
    if (!haveFmt || !samples) return nullptr;

    auto pcm = std::make_shared<PcmData>();
    if (tag == kWaveFormatPcm && bits == 8)
        pcm->format = PcmData::Format::U8;
    else if (tag == kWaveFormatPcm && bits == 16)
        pcm->format = PcmData::Format::S16;
    else if (tag == kWaveFormatPcm && bits == 24)
        pcm->format = PcmData::Format::S24;
    else if (tag == kWaveFormatPcm && bits == 32)
        pcm->format = PcmData::Format::S32;
    else if (tag == kWaveFormatFloat && bits == 32)
        pcm->format = PcmData::Format::F32;
    else
        return nullptr;
    // The sound server takes at most 32 channels and rates up to 768 kHz.
    if (channels < 1 || channels > 32 || rate < 1 || rate > 768000) return nullptr;
    pcm->channels = channels;
    pcm->sampleRate = static_cast<int>(rate);
    if (blockAlign != pcm->FrameBytes()) return nullptr;
    const size_t whole = sampleBytes - sampleBytes % static_cast<size_t>(pcm->FrameBytes());
    pcm->bytes.assign(samples, samples + whole);
    return pcm;
}

// ---------------------------------------------------------------------------
// Output. One backend object per process, made on the first play.

namespace {

Sound::OutputTiming g_timing;
Sound::OutputCounts g_counts;

#if KESTRUNE_HAVE_PULSE

using Clock = std::chrono::steady_clock;

const char* kNoAnswer =
    "the sound server does not answer or its output is suspended; the silent sound is not played (will retry)";

int Ms(std::chrono::milliseconds d) { return static_cast<int>(std::clamp<int64_t>(d.count(), 0, INT32_MAX)); }

// Plays through the sound server's client library, run by the main thread's
// event loop. One playback stream is held connected and playing between plays
// for as long as the output is to be kept awake; each play writes the samples
// into it once, and in between the stream runs dry, which the server plays as
// silence and which keeps the output from sleeping. The stream's buffer is
// long (2 s) and asks for no low latency, so the server runs its output with
// long periods. After three minutes without a play the stream goes and the
// server may let the output sleep.
//
// At most one connection and one stream exist. Anything the server does not
// answer within a few seconds (the connection, the stream, a written play
// that is never played out) is given up together with its connection, which
// makes the server free its half; a later play connects again. Plays that
// fall due meanwhile are dropped, not queued.
class PulseOutput {
public:
    PulseOutput() {
        for (QTimer* t : {&watchdog_, &keepAwake_, &retry_}) t->setSingleShot(true);
        QObject::connect(&watchdog_, &QTimer::timeout, [this] { CheckProgress(); });
        QObject::connect(&keepAwake_, &QTimer::timeout, [this] { KeepAwakeEnded(); });
        QObject::connect(&retry_, &QTimer::timeout, [this] { Retry(); });
    }

    ~PulseOutput() { DropAll(); }

    void Play(std::shared_ptr<const PcmData> pcm) {
        // What the server said since the last play: the last play ran dry,
        // or the server went away.
        if (loop_.Quiet()) loop_.Drain();
        const Clock::time_point now = Clock::now();
        lastPlay_ = now;
        if (!keepAwake_.isActive()) keepAwake_.start(Ms(g_timing.keepAwake));
        if (awaiting_) return;  // the last play has not been played yet
        if (now < backOffUntil_) return;
        if (stream_ && !SameFormat(*pcm)) DropStream();
        if (stream_ && pa_stream_get_state(stream_) == PA_STREAM_READY) {
            Write(std::move(pcm));
            return;
        }
        pending_ = std::move(pcm);
        pendingAt_ = now;
        format_ = pending_;
        if (!ctx_)
            Connect();
        else if (!stream_ && pa_context_get_state(ctx_) == PA_CONTEXT_READY)
            MakeStream();
    }

private:
    void ReportOnce(const std::string& what) {
        if (reported_) return;
        reported_ = true;
        RuntimeReport(what);
    }

    void Connect() {
        ++g_counts.connections;
        ctx_ = pa_context_new(loop_.Api(), "Kestrune");
        if (!ctx_) {
            ReportOnce(kNoServer);
            return;
        }
        pa_context_set_state_callback(ctx_, &PulseOutput::OnContextState, this);
        // Starting a sound server is not this program's business.
        if (pa_context_connect(ctx_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            ReportOnce(kNoServer);
            DropAll();
            return;
        }
        watchdog_.start(Ms(g_timing.noProgress));
    }

    static void OnContextState(pa_context* c, void* userdata) {
        auto* self = static_cast<PulseOutput*>(userdata);
        switch (pa_context_get_state(c)) {
            case PA_CONTEXT_READY:
                self->watchdog_.stop();
                self->retryDelay_ = g_timing.reconnect;
                if (self->pending_ || self->keepAwake_.isActive()) self->MakeStream();
                break;
            case PA_CONTEXT_FAILED:
            case PA_CONTEXT_TERMINATED: {
                self->ReportOnce(kNoServer);
                self->DropAll();
                // Lost while the output is kept awake: come back on a clock
                // that slows down, so that a restarted server is awake again
                // at once and a vanished one costs next to nothing.
                if (self->keepAwake_.isActive()) {
                    self->retry_.start(Ms(self->retryDelay_));
                    self->retryDelay_ = std::min(self->retryDelay_ * 2, g_timing.keepAwake);
                }
                break;
            }
            default:
                break;
        }
    }

    void Retry() {
        if (!ctx_ && keepAwake_.isActive()) Connect();
    }

    bool SameFormat(const PcmData& pcm) const {
        return format_ && format_->format == pcm.format && format_->channels == pcm.channels &&
               format_->sampleRate == pcm.sampleRate;
    }

    void MakeStream() {
        if (!format_) return;
        const PcmData& pcm = *format_;
        pa_sample_spec spec{};
        switch (pcm.format) {
            case PcmData::Format::U8: spec.format = PA_SAMPLE_U8; break;
            case PcmData::Format::S16: spec.format = PA_SAMPLE_S16LE; break;
            case PcmData::Format::S24: spec.format = PA_SAMPLE_S24LE; break;
            case PcmData::Format::S32: spec.format = PA_SAMPLE_S32LE; break;
            case PcmData::Format::F32: spec.format = PA_SAMPLE_FLOAT32LE; break;
        }
        spec.rate = static_cast<uint32_t>(pcm.sampleRate);
        spec.channels = static_cast<uint8_t>(pcm.channels);
        pa_channel_map map;
        pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
        ++g_counts.streams;
        stream_ = pa_stream_new(ctx_, "Kestrune sound", &spec, &map);
        if (!stream_) return;
        pa_stream_set_state_callback(stream_, &PulseOutput::OnStreamState, this);
        pa_stream_set_underflow_callback(stream_, &PulseOutput::OnUnderflow, this);
        pa_stream_set_write_callback(stream_, &PulseOutput::OnRoom, this);
        // A long buffer with no latency asked for: the server is free to run
        // the output with its longest periods. Playback starts with the first
        // frame written, and again after each time the stream ran dry.
        pa_buffer_attr attr;
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(2 * PA_USEC_PER_SEC, &spec));
        attr.prebuf = static_cast<uint32_t>(pa_frame_size(&spec));
        attr.minreq = static_cast<uint32_t>(pa_usec_to_bytes(PA_USEC_PER_SEC / 2, &spec));
        attr.fragsize = static_cast<uint32_t>(-1);
        // No device: the server's default output, followed when it changes.
        if (pa_stream_connect_playback(stream_, nullptr, &attr, PA_STREAM_NOFLAGS, nullptr, nullptr) < 0) {
            DropStream();
            return;
        }
        watchdog_.start(Ms(g_timing.noProgress));
    }

    static void OnStreamState(pa_stream* s, void* userdata) {
        auto* self = static_cast<PulseOutput*>(userdata);
        switch (pa_stream_get_state(s)) {
            case PA_STREAM_READY:
                self->watchdog_.stop();
                if (self->pending_ && Clock::now() - self->pendingAt_ <= g_timing.stalePlay)
                    self->Write(std::move(self->pending_));
                self->pending_.reset();
                self->UpdateQuiet();
                break;
            case PA_STREAM_FAILED:
            case PA_STREAM_TERMINATED: {
                // Refused (an output taken for passthrough says busy), or
                // killed by the server: ask again only after a while.
                const int err = self->ctx_ ? pa_context_errno(self->ctx_) : PA_ERR_UNKNOWN;
                self->ReportOnce(std::string("the sound server refused the sound's stream (") + pa_strerror(err) +
                                 "); the silent sound is not played (will retry)");
                self->backOffUntil_ = Clock::now() + g_timing.refusedBackOff;
                self->watchdog_.stop();
                self->pending_.reset();
                self->DropStream();
                break;
            }
            default:
                break;
        }
    }

    // Once the stream is up and the sound is written, the server's notices
    // about it (it started, it ran dry, it has room) are read when a play or
    // a timeout needs them, not as they come: a play then costs the process
    // one wake-up. A sound longer than the buffer is written as room comes.
    void UpdateQuiet() {
        loop_.SetQuiet(stream_ && pa_stream_get_state(stream_) == PA_STREAM_READY && !writing_);
    }

    void Write(std::shared_ptr<const PcmData> pcm) {
        if (pcm->bytes.empty()) return;
        ++g_counts.written;
        writing_ = std::move(pcm);
        offset_ = 0;
        // The server says when the stream runs dry again: the play is out.
        awaiting_ = true;
        Feed();
    }

    void Feed() {
        const PcmData& pcm = *writing_;
        const size_t frame = static_cast<size_t>(pcm.FrameBytes());
        size_t n = std::min(pa_stream_writable_size(stream_), pcm.bytes.size() - offset_);
        n -= n % frame;
        if (n > 0) {
            if (pa_stream_write(stream_, pcm.bytes.data() + offset_, n, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
                DropStream();
                return;
            }
            offset_ += n;
        }
        // What is written plays within the sound's length and a few seconds.
        watchdog_.start(Ms(g_timing.noProgress + std::chrono::milliseconds(pcm.FrameCount() * 1000 / pcm.sampleRate)));
        if (offset_ >= pcm.bytes.size()) writing_.reset();
        UpdateQuiet();
    }

    static void OnRoom(pa_stream*, size_t, void* userdata) {
        auto* self = static_cast<PulseOutput*>(userdata);
        if (self->writing_) self->Feed();
    }

    static void OnUnderflow(pa_stream*, void* userdata) {
        auto* self = static_cast<PulseOutput*>(userdata);
        if (!self->awaiting_) return;
        self->awaiting_ = false;
        ++g_counts.played;
        self->watchdog_.stop();
        self->reported_ = false;  // a later outage is said again
    }

    void CheckProgress() {
        if (loop_.Quiet()) {
            loop_.Drain();
            if (!awaiting_) return;  // played out in time
        }
        GiveUp();
    }

    void GiveUp() {
        ReportOnce(kNoAnswer);
        ++g_counts.abandoned;
        DropAll();
    }

    void KeepAwakeEnded() {
        if (loop_.Quiet()) loop_.Drain();
        const auto left = lastPlay_ + g_timing.keepAwake - Clock::now();
        if (left > Clock::duration::zero()) {
            keepAwake_.start(Ms(std::chrono::ceil<std::chrono::milliseconds>(left)));
            return;
        }
        retry_.stop();
        if (!awaiting_ && !pending_) DropStream();
    }

    void DropStream() {
        awaiting_ = false;
        writing_.reset();
        loop_.SetQuiet(false);
        if (!stream_) return;
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
        pa_stream_set_write_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }

    void DropAll() {
        watchdog_.stop();
        pending_.reset();
        DropStream();
        if (!ctx_) return;
        pa_context_set_state_callback(ctx_, nullptr, nullptr);
        pa_context_disconnect(ctx_);
        pa_context_unref(ctx_);
        ctx_ = nullptr;
    }

    PulseQtLoop loop_;
    QTimer watchdog_, keepAwake_, retry_;
    pa_context* ctx_ = nullptr;
    pa_stream* stream_ = nullptr;
    std::shared_ptr<const PcmData> format_;   // the sound the stream is made for
    std::shared_ptr<const PcmData> pending_;  // a play waiting for the stream
    Clock::time_point pendingAt_{}, lastPlay_{}, backOffUntil_{};
    std::chrono::milliseconds retryDelay_ = g_timing.reconnect;
    std::shared_ptr<const PcmData> writing_;  // a play not yet wholly written
    size_t offset_ = 0;                       // how much of it is
    bool awaiting_ = false;  // a written play has not yet run dry
    bool reported_ = false;
};

#else  // Qt Multimedia

// Plays through Qt Multimedia: a fresh audio sink per play, fed from the
// samples in memory and deleted when it has played them. (A reused sound
// effect object stops delivering sound after a few plays.)
class QtOutput {
public:
    void Play(std::shared_ptr<const PcmData> pcm) {
        auto* app = QCoreApplication::instance();
        if (!app) return;
        QMetaObject::invokeMethod(app, [this, pcm = std::move(pcm)] { PlayHere(pcm); });
    }

private:
    void PlayHere(const std::shared_ptr<const PcmData>& pcm) {
        const QAudioDevice device = QMediaDevices::defaultAudioOutput();
        if (device.isNull()) {
            ReportOnce();
            return;
        }
        QAudioFormat fmt;
        fmt.setSampleRate(pcm->sampleRate);
        fmt.setChannelCount(pcm->channels);
        QByteArray bytes;
        switch (pcm->format) {
            case PcmData::Format::U8: fmt.setSampleFormat(QAudioFormat::UInt8); break;
            case PcmData::Format::S16: fmt.setSampleFormat(QAudioFormat::Int16); break;
            case PcmData::Format::S32: fmt.setSampleFormat(QAudioFormat::Int32); break;
            case PcmData::Format::F32: fmt.setSampleFormat(QAudioFormat::Float); break;
            case PcmData::Format::S24: fmt.setSampleFormat(QAudioFormat::Int32); break;
        }
        if (pcm->format == PcmData::Format::S24) {
            // Qt has no 24-bit format: widen each sample to 32 bits.
            const size_t n = pcm->bytes.size() / 3;
            bytes.resize(static_cast<qsizetype>(n * 4));
            for (size_t i = 0; i < n; ++i) {
                bytes[qsizetype(4 * i)] = 0;
                std::memcpy(bytes.data() + 4 * i + 1, pcm->bytes.data() + 3 * i, 3);
            }
        } else {
            bytes = QByteArray(reinterpret_cast<const char*>(pcm->bytes.data()),
                               static_cast<qsizetype>(pcm->bytes.size()));
        }
        auto* sink = new QAudioSink(device, fmt, QCoreApplication::instance());
        auto* buffer = new QBuffer(sink);
        buffer->setData(bytes);
        buffer->open(QIODevice::ReadOnly);
        QObject::connect(sink, &QAudioSink::stateChanged, sink, [this, sink](QAudio::State st) {
            if (st == QAudio::IdleState) {
                sink->stop();
                sink->deleteLater();
            } else if (st == QAudio::StoppedState) {
                if (sink->error() != QAudio::NoError) ReportOnce();
                sink->deleteLater();
            } else if (st == QAudio::ActiveState) {
                reported_ = false;
            }
        });
        sink->start(buffer);
    }

    void ReportOnce() {
        if (reported_) return;
        reported_ = true;
        RuntimeReport(kNoServer);
    }

    bool reported_ = false;
};

using Output = QtOutput;

#endif

#if KESTRUNE_HAVE_PULSE
// The output belongs to the main thread's event loop, and goes with the Qt
// application: its stream and connection are closed before the program ends.
PulseOutput* g_output = nullptr;

void DropOutput() {
    delete g_output;
    g_output = nullptr;
}

void PlayOnOutput(std::shared_ptr<const PcmData> pcm) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    if (QThread::currentThread() != app->thread()) {
        QMetaObject::invokeMethod(app, [pcm = std::move(pcm)]() mutable { PlayOnOutput(std::move(pcm)); });
        return;
    }
    if (!g_output) {
        g_output = new PulseOutput;
        qAddPostRoutine(&DropOutput);
    }
    g_output->Play(std::move(pcm));
}
#else
void PlayOnOutput(std::shared_ptr<const PcmData> pcm) {
    static Output output;
    output.Play(std::move(pcm));
}
#endif

}  // namespace

// ---------------------------------------------------------------------------

const ClassInfo& Sound::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "Sound";
        c.base = &Object::Class();
        c.virtualOps = {"Play"};
        c.methods = {{"Play", "(  )", {}}};
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

namespace {
StaticInitializer g_soundClass(0, [] { (void)Sound::Class(); });
}

Ref<Sound> Sound::Open(const std::filesystem::path& file) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) return nullptr;
    const std::uintmax_t size = std::filesystem::file_size(file, ec);
    if (ec || size > kMaxSoundFileBytes) return nullptr;
    std::ifstream in(file, std::ios::binary);
    if (!in) return nullptr;
    g_filesRead.fetch_add(1, std::memory_order_relaxed);
    std::vector<unsigned char> bytes(static_cast<size_t>(size));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    auto pcm = ParseWave(bytes.data(), bytes.size());
    if (!pcm) return nullptr;
    return Ref<Sound>(new Sound(std::move(pcm)));
}

void Sound::Play() {
    plays_.fetch_add(1, std::memory_order_relaxed);
    PlayOnOutput(pcm_);
}

double Sound::DurationSeconds() const {
    return pcm_->sampleRate ? double(pcm_->FrameCount()) / pcm_->sampleRate : 0.0;
}

int64_t Sound::FilesReadForTesting() { return g_filesRead.load(std::memory_order_relaxed); }

void Sound::SetOutputTimingForTesting(const OutputTiming& timing) { g_timing = timing; }

Sound::OutputCounts Sound::OutputCountsForTesting() { return g_counts; }
