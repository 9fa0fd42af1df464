#include "Sound.h"

#include "Runtime.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>
#include <system_error>

#if KESTRUNE_HAVE_PULSE
#include <pulse/pulseaudio.h>

#include <chrono>
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

#if KESTRUNE_HAVE_PULSE

// Plays through the sound server's own client library. The library's thread
// runs the connection; each play opens a playback stream, writes the samples
// from memory, drains it and closes it. The connection is kept between plays
// (an idle connection costs the process no wake-ups) and made again on demand
// when the server went away or was not there.
class PulseOutput {
public:
    PulseOutput() {
        loop_ = pa_threaded_mainloop_new();
        if (loop_ && pa_threaded_mainloop_start(loop_) < 0) {
            pa_threaded_mainloop_free(loop_);
            loop_ = nullptr;
        }
    }

    ~PulseOutput() {
        if (!loop_) return;
        pa_threaded_mainloop_lock(loop_);
        DropContext();
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
        pa_threaded_mainloop_free(loop_);
    }

    void Play(std::shared_ptr<const PcmData> pcm) {
        if (!loop_) {
            ReportOnce();
            return;
        }
        pa_threaded_mainloop_lock(loop_);
        if (ctx_) {
            const pa_context_state_t st = pa_context_get_state(ctx_);
            const bool stuck = st != PA_CONTEXT_READY &&
                               std::chrono::steady_clock::now() - connectStarted_ > std::chrono::seconds(10);
            if (st == PA_CONTEXT_FAILED || st == PA_CONTEXT_TERMINATED || stuck) DropContext();
        }
        if (!ctx_) Connect();
        if (ctx_) {
            if (pa_context_get_state(ctx_) == PA_CONTEXT_READY)
                StartStream(std::move(pcm));
            else if (waiting_.size() < kMaxWaiting)
                waiting_.push_back(std::move(pcm));
        }
        pa_threaded_mainloop_unlock(loop_);
    }

private:
    static constexpr size_t kMaxWaiting = 4;

    struct Job {
        std::shared_ptr<const PcmData> pcm;
        size_t offset = 0;
        bool draining = false;
    };

    void ReportOnce() {
        if (reported_) return;
        reported_ = true;
        RuntimeReport(kNoServer);
    }

    void Connect() {
        connectStarted_ = std::chrono::steady_clock::now();
        ctx_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Kestrune");
        if (!ctx_) {
            ReportOnce();
            return;
        }
        pa_context_set_state_callback(ctx_, &PulseOutput::OnContextState, this);
        // Starting a sound server is not this program's business.
        if (pa_context_connect(ctx_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            ReportOnce();
            DropContext();
        }
    }

    void DropContext() {
        waiting_.clear();
        if (!ctx_) return;
        pa_context_set_state_callback(ctx_, nullptr, nullptr);
        pa_context_disconnect(ctx_);
        pa_context_unref(ctx_);
        ctx_ = nullptr;
    }

    static void OnContextState(pa_context* c, void* userdata) {
        auto* self = static_cast<PulseOutput*>(userdata);
        switch (pa_context_get_state(c)) {
            case PA_CONTEXT_READY: {
                self->reported_ = false;  // a later outage is said again
                auto waiting = std::move(self->waiting_);
                self->waiting_.clear();
                for (auto& pcm : waiting) self->StartStream(std::move(pcm));
                break;
            }
            case PA_CONTEXT_FAILED:
            case PA_CONTEXT_TERMINATED:
                // The context is dropped and made again by the next play.
                self->waiting_.clear();
                self->ReportOnce();
                break;
            default:
                break;
        }
    }

    void StartStream(std::shared_ptr<const PcmData> pcm) {
        pa_sample_spec spec{};
        switch (pcm->format) {
            case PcmData::Format::U8: spec.format = PA_SAMPLE_U8; break;
            case PcmData::Format::S16: spec.format = PA_SAMPLE_S16LE; break;
            case PcmData::Format::S24: spec.format = PA_SAMPLE_S24LE; break;
            case PcmData::Format::S32: spec.format = PA_SAMPLE_S32LE; break;
            case PcmData::Format::F32: spec.format = PA_SAMPLE_FLOAT32LE; break;
        }
        spec.rate = static_cast<uint32_t>(pcm->sampleRate);
        spec.channels = static_cast<uint8_t>(pcm->channels);
        pa_channel_map map;
        pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
        pa_stream* s = pa_stream_new(ctx_, "Kestrune sound", &spec, &map);
        if (!s) return;
        auto* job = new Job{std::move(pcm)};
        pa_stream_set_state_callback(s, &PulseOutput::OnStreamState, job);
        pa_stream_set_write_callback(s, &PulseOutput::OnWrite, job);
        // A short buffer: the sound is short, and the server then plays it
        // (and reports it drained) at once rather than in its own time.
        pa_buffer_attr attr;
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(50 * PA_USEC_PER_MSEC, &spec));
        attr.prebuf = static_cast<uint32_t>(-1);
        attr.minreq = static_cast<uint32_t>(-1);
        attr.fragsize = static_cast<uint32_t>(-1);
        if (pa_stream_connect_playback(s, nullptr, &attr, PA_STREAM_ADJUST_LATENCY, nullptr, nullptr) < 0) {
            pa_stream_set_state_callback(s, nullptr, nullptr);
            pa_stream_set_write_callback(s, nullptr, nullptr);
            pa_stream_unref(s);
            delete job;
        }
    }

    static void OnWrite(pa_stream* s, size_t nbytes, void* userdata) {
        auto* job = static_cast<Job*>(userdata);
        const auto& bytes = job->pcm->bytes;
        const size_t frame = static_cast<size_t>(job->pcm->FrameBytes());
        size_t n = std::min(nbytes, bytes.size() - job->offset);
        n -= n % frame;
        if (n > 0 && pa_stream_write(s, bytes.data() + job->offset, n, nullptr, 0, PA_SEEK_RELATIVE) == 0)
            job->offset += n;
        if (job->offset >= bytes.size() && !job->draining) {
            job->draining = true;
            if (pa_operation* op = pa_stream_drain(s, &PulseOutput::OnDrained, job))
                pa_operation_unref(op);
            else
                pa_stream_disconnect(s);
        }
    }

    static void OnDrained(pa_stream* s, int, void*) { pa_stream_disconnect(s); }

    static void OnStreamState(pa_stream* s, void* userdata) {
        const pa_stream_state_t st = pa_stream_get_state(s);
        if (st != PA_STREAM_FAILED && st != PA_STREAM_TERMINATED) return;
        pa_stream_set_state_callback(s, nullptr, nullptr);
        pa_stream_set_write_callback(s, nullptr, nullptr);
        delete static_cast<Job*>(userdata);
        pa_stream_unref(s);
    }

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* ctx_ = nullptr;
    std::chrono::steady_clock::time_point connectStarted_{};
    std::vector<std::shared_ptr<const PcmData>> waiting_;
    bool reported_ = false;
};

using Output = PulseOutput;

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

Output& TheOutput() {
    static Output output;
    return output;
}

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
    TheOutput().Play(pcm_);
}

double Sound::DurationSeconds() const {
    return pcm_->sampleRate ? double(pcm_->FrameCount()) / pcm_->sampleRate : 0.0;
}

int64_t Sound::FilesReadForTesting() { return g_filesRead.load(std::memory_order_relaxed); }
