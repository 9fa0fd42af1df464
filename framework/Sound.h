// Sounds: a sound file read once into memory and played from there, once per
// Play, on the default audio output. How the samples reach the output is this
// class's own business (the sound server's client library, or Qt Multimedia
// where that library is missing).
#pragma once

#include "Object.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <vector>

// Decoded PCM samples, interleaved, little-endian, as the file held them.
struct PcmData {
    enum class Format { U8, S16, S24, S32, F32 };
    Format format = Format::S16;
    int channels = 0;
    int sampleRate = 0;
    std::vector<unsigned char> bytes;  // whole frames only

    int BytesPerSample() const;
    int64_t FrameBytes() const { return int64_t{BytesPerSample()} * channels; }
    int64_t FrameCount() const { return FrameBytes() ? int64_t(bytes.size()) / FrameBytes() : 0; }
};

// Parses a RIFF/WAVE file held in memory: PCM 8, 16, 24 or 32-bit integer, or
// 32-bit float, any number of channels and any rate. Gives nullptr for
// anything else.
std::shared_ptr<const PcmData> ParseWave(const unsigned char* data, size_t size);

class Sound : public Object {
    KESTRUNE_CLASS()
public:
    // Reads the file once and keeps its samples: nil when the file is missing,
    // unreadable, too large or not a WAVE file of a supported kind. Never
    // waits on anything but the read.
    static Ref<Sound> Open(const std::filesystem::path& file);

    // Plays the sound once, not looped, on the default output, and returns at
    // once. With no sound server, or one that does not answer, the play is
    // dropped (said once per outage on standard error); the next play after
    // the server is back plays again. The output is kept awake for three
    // minutes after each play. The work is done by the Qt event loop of the
    // main thread: nothing plays while it does not run.
    virtual void Play();

    const PcmData& Samples() const { return *pcm_; }
    double DurationSeconds() const;
    // How often Play was called on this sound.
    int64_t PlayCount() const { return plays_; }

    // For tests: files read by Open since the process began.
    static int64_t FilesReadForTesting();

    // How long the output waits on the sound server, and how long it keeps
    // the output awake after a play. Tests shorten them; a change applies
    // from the next play on.
    struct OutputTiming {
        // The default output is kept from sleeping this long after a play:
        // longer, with a wide margin, than a repeating timer can leave
        // between two plays when its period is changed while it runs (the
        // period it began with plus the new one, at most 2 x 59 s at the
        // program's longest interval).
        std::chrono::milliseconds keepAwake{180000};
        // A connection, a stream or a written play that gets no answer from
        // the server within this time is given up (with its connection).
        std::chrono::milliseconds noProgress{5000};
        // After the server refuses the stream, no new one is asked for this long.
        std::chrono::milliseconds refusedBackOff{10000};
        // A play still waiting for its stream after this long is dropped:
        // the next play comes on schedule instead.
        std::chrono::milliseconds stalePlay{1500};
        // After the server went away while the output is kept awake, the
        // connection is tried again on this clock.
        std::chrono::milliseconds reconnect{1000};
    };
    static void SetOutputTimingForTesting(const OutputTiming& timing);
    // What the output did since the process began.
    struct OutputCounts {
        int64_t connections = 0;  // connections to the sound server begun
        int64_t streams = 0;      // playback streams asked for
        int64_t written = 0;      // plays written to a stream
        int64_t played = 0;       // written plays the server has played out
        int64_t abandoned = 0;    // connections given up for making no progress
    };
    static OutputCounts OutputCountsForTesting();

private:
    explicit Sound(std::shared_ptr<const PcmData> pcm) : pcm_(std::move(pcm)) {}
    std::shared_ptr<const PcmData> pcm_;
    std::atomic<int64_t> plays_{0};
};
