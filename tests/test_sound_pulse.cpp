// Sound through a real sound server: a private PulseAudio daemon with a null
// sink, whose monitor is recorded to check that each play arrived. The
// output's waits are shortened; the event loop runs while the tests wait.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <fcntl.h>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "EventLoop.h"
#include "FolderItem.h"
#include "Sound.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

bool HaveProgram(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Starts argv with extra environment entries, its standard output (and error)
// going to outFile.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv,
            const std::string& outFile) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> envStore(extraEnv);
    for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

void Stop(pid_t& pid, int sig = SIGTERM) {
    if (pid <= 0) return;
    ::kill(pid, sig);
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
}

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

size_t CountOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

// Groups of loud samples, split by at least 50 ms of quiet.
int CountBursts(const std::string& raw, int rate) {
    const auto* s = reinterpret_cast<const int16_t*>(raw.data());
    const size_t n = raw.size() / 2;
    int bursts = 0;
    size_t quiet = size_t(rate);
    for (size_t i = 0; i < n; ++i) {
        if (std::abs(int(s[i])) > 2000) {
            if (quiet >= size_t(rate) / 20) ++bursts;
            quiet = 0;
        } else {
            ++quiet;
        }
    }
    return bursts;
}

// Loud samples in a recording, in seconds.
double LoudSeconds(const std::string& raw, int rate) {
    const auto* s = reinterpret_cast<const int16_t*>(raw.data());
    size_t loud = 0;
    for (size_t i = 0; i < raw.size() / 2; ++i) loud += std::abs(int(s[i])) > 2000;
    return double(loud) / rate;
}

// A 1 kHz tone, 16-bit mono, 100 ms unless said otherwise.
fs::path WriteTone(const fs::path& dir, int ms = 100, const char* name = "tone.wav") {
    const int rate = 44100, frames = rate * ms / 1000;
    std::vector<int16_t> samples(frames);
    for (int i = 0; i < frames; ++i) samples[i] = int16_t(16000 * std::sin(2 * M_PI * 1000.0 * i / rate));
    auto put32 = [](std::ofstream& o, uint32_t v) { o.write(reinterpret_cast<const char*>(&v), 4); };
    auto put16 = [](std::ofstream& o, uint16_t v) { o.write(reinterpret_cast<const char*>(&v), 2); };
    fs::path p = dir / name;
    std::ofstream o(p, std::ios::binary);
    o.write("RIFF", 4); put32(o, 36 + frames * 2); o.write("WAVE", 4);
    o.write("fmt ", 4); put32(o, 16); put16(o, 1); put16(o, 1); put32(o, rate); put32(o, rate * 2);
    put16(o, 2); put16(o, 16);
    o.write("data", 4); put32(o, frames * 2);
    o.write(reinterpret_cast<const char*>(samples.data()), frames * 2);
    return p;
}

class PulseSound : public testing::Test {
protected:
    void SetUp() override {
        if (!HaveProgram("pulseaudio") || !HaveProgram("pactl") || !HaveProgram("parec"))
            GTEST_SKIP() << "pulseaudio, pactl or parec is not installed";
        char tmpl[] = "/tmp/kestrune-pulse-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        server_ = "unix:" + (dir_ / "pulse" / "native").string();
        ::setenv("PULSE_SERVER", server_.c_str(), 1);
        Sound::SetOutputTimingForTesting(Timing());
        tone_ = Ref<FolderItem>(new FolderItem(WriteTone(dir_)))->OpenAsSound();
        ASSERT_TRUE(tone_);
    }

    static Sound::OutputTiming Timing() {
        Sound::OutputTiming t;
        t.keepAwake = 4s;
        t.noProgress = 1500ms;
        t.refusedBackOff = 2s;
        t.reconnect = 300ms;
        return t;
    }

    void TearDown() override {
        if (daemon_ > 0) ::kill(daemon_, SIGCONT);
        Stop(parec_);
        Stop(subscribe_);
        Stop(daemon_);
        // The next play finds the server gone and lets its connection go.
        if (tone_) tone_->Play();
        RunFor(300);
        Sound::SetOutputTimingForTesting({});
        if (!dir_.empty() && !std::getenv("KESTRUNE_KEEP_TEST_DIR")) fs::remove_all(dir_);
    }

    std::string Pactl(const std::string& args) {
        std::string cmd = "PULSE_SERVER=" + server_ + " pactl " + args + " 2>/dev/null";
        std::string out;
        if (FILE* f = ::popen(cmd.c_str(), "r")) {
            char buf[512];
            while (size_t n = std::fread(buf, 1, sizeof buf, f)) out.append(buf, n);
            ::pclose(f);
        }
        return out;
    }

    // Waits (running the event loop) until pred holds, for at most 10 s.
    bool WaitFor(const std::function<bool()>& pred) {
        for (int i = 0; i < 100; ++i) {
            if (pred()) return true;
            RunFor(100);
        }
        return false;
    }

    void StartDaemon(const std::string& suspendTimeout = "") {
        std::vector<std::string> args = {"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                                         "-n", "--load=module-null-sink sink_name=test",
                                         "--load=module-native-protocol-unix"};
        if (!suspendTimeout.empty()) args.push_back("--load=module-suspend-on-idle timeout=" + suspendTimeout);
        daemon_ = Spawn(args,
                        {"XDG_RUNTIME_DIR=" + dir_.string(), "HOME=" + dir_.string()},
                        (dir_ / "daemon.log").string());
        ASSERT_GT(daemon_, 0);
        ASSERT_TRUE(WaitFor([&] { return Pactl("info").find("Default Sink: test") != std::string::npos; }))
            << Slurp(dir_ / "daemon.log");
    }

    void StartRecording(const std::string& name) {
        parec_ = Spawn({"parec", "-d", "test.monitor", "--format=s16le", "--rate=44100", "--channels=1", "--raw",
                        "--latency-msec=20"},
                       {}, (dir_ / name).string());
        ASSERT_GT(parec_, 0);
        // A freshly started null sink sleeps out its first long block before
        // it honours the recorder's short latency: wait until data flows.
        const fs::path raw = dir_ / name;
        ASSERT_TRUE(WaitFor([&] {
            std::error_code ec;
            return fs::file_size(raw, ec) > 0 && !ec;
        }));
    }

    // One tick of a timer: a play, then the loop runs until the next.
    void Tick(int ms = 400) {
        tone_->Play();
        RunFor(ms);  // 100 ms of tone, then quiet
    }

    // Plays once and waits until the server has played it out.
    void TickPlayed() {
        const int64_t played = Sound::OutputCountsForTesting().played;
        tone_->Play();
        ASSERT_TRUE(WaitFor([&] { return Sound::OutputCountsForTesting().played > played; }));
    }

    size_t Streams() { return CountOf(Pactl("list short sink-inputs"), "\n"); }
    std::string SinkState() { return Pactl("list short sinks"); }

    bool NoStreamLeft() {
        return WaitFor([&] { return Streams() == 0; });
    }

    fs::path dir_;
    Ref<Sound> tone_;
    std::string server_;
    pid_t daemon_ = -1, parec_ = -1, subscribe_ = -1;
};

}  // namespace

TEST_F(PulseSound, PlaysGoThroughOneHeldStreamThatIsLetGoAfterTheKeepAwakeTimeAndComesBackAfterARestart) {
    testing::internal::CaptureStderr();
    // Before the server exists: nothing plays, the program goes on.
    Tick(100);
    Tick(300);

    StartDaemon();
    subscribe_ = Spawn({"pactl", "subscribe"}, {}, (dir_ / "events.txt").string());
    ASSERT_TRUE(WaitFor([&] { return CountOf(Pactl("list short clients"), "pactl") >= 2; }));
    StartRecording("first.raw");
    for (int i = 0; i < 3; ++i) Tick();
    EXPECT_EQ(Streams(), 1u) << "the stream is held between plays";
    RunFor(200);
    Stop(parec_);
    EXPECT_EQ(CountBursts(Slurp(dir_ / "first.raw"), 44100), 3) << "each play heard once, not looped";
    EXPECT_TRUE(NoStreamLeft()) << "let go once no play came for the keep-awake time";
    Stop(subscribe_);
    const std::string events = Slurp(dir_ / "events.txt");
    EXPECT_EQ(CountOf(events, "'new' on sink-input"), 1u) << events;
    EXPECT_EQ(CountOf(events, "'remove' on sink-input"), 1u) << events;

    // The server goes away and comes back: the stream comes back while the
    // output is kept awake, and the next play plays.
    Tick(100);
    Stop(daemon_, SIGKILL);
    Tick(300);
    Tick(300);
    StartDaemon();
    EXPECT_TRUE(WaitFor([&] { return Streams() == 1; })) << "back without waiting for a play";
    StartRecording("second.raw");
    Tick();
    Tick();
    RunFor(200);
    Stop(parec_);
    EXPECT_EQ(CountBursts(Slurp(dir_ / "second.raw"), 44100), 2);

    const std::string err = testing::internal::GetCapturedStderr();
    // Said once per outage: before the first start, and when the server died.
    EXPECT_EQ(CountOf(err, "no sound server"), 2u) << err;
    EXPECT_EQ(tone_->PlayCount(), 10);
}

TEST_F(PulseSound, TheHeldStreamKeepsTheOutputAwakeUntilTheKeepAwakeTimeHasPassed) {
    StartDaemon("1");
    ASSERT_TRUE(WaitFor([&] { return SinkState().find("SUSPENDED") != std::string::npos; }));
    Tick(100);
    // Well past the server's idle timeout, well within the keep-awake time.
    RunFor(2500);
    EXPECT_EQ(SinkState().find("SUSPENDED"), std::string::npos) << SinkState();
    EXPECT_EQ(Streams(), 1u);
    EXPECT_TRUE(WaitFor([&] { return SinkState().find("SUSPENDED") != std::string::npos; }))
        << "the output may sleep once the stream is let go";
    EXPECT_EQ(Streams(), 0u);
}

// A server that stops answering (SIGSTOP) with a play due every half second.
TEST_F(PulseSound, AHungServerGetsAtMostOneStreamAndNoBurstOfPlaysWhenItResumes) {
    StartDaemon();
    TickPlayed();
    for (int i = 0; i < 2; ++i) Tick(500);
    ASSERT_EQ(Streams(), 1u);
    testing::internal::CaptureStderr();
    const Sound::OutputCounts before = Sound::OutputCountsForTesting();
    ASSERT_EQ(::kill(daemon_, SIGSTOP), 0);
    for (int i = 0; i < 14; ++i) Tick(500);
    const Sound::OutputCounts hung = Sound::OutputCountsForTesting();
    EXPECT_LE(hung.written - before.written, 1) << "nothing more is written to a stream that makes no progress";
    EXPECT_GE(hung.abandoned - before.abandoned, 2) << "the stream, then each connection, is given up";
    EXPECT_LE(hung.connections - before.connections, 7) << "at most one connection at a time";

    ASSERT_EQ(::kill(daemon_, SIGCONT), 0);
    StartRecording("resumed.raw");
    // No play is due now: whatever plays was held back during the hang.
    RunFor(2000);
    const Sound::OutputCounts resumed = Sound::OutputCountsForTesting();
    EXPECT_LE(resumed.written - hung.written, 1) << "at most one play follows the resume";
    EXPECT_TRUE(WaitFor([&] { return Streams() <= 1; })) << Pactl("list sink-inputs");
    RunFor(500);
    EXPECT_LE(Streams(), 1u) << Pactl("list sink-inputs");
    EXPECT_LE(CountBursts(Slurp(dir_ / "resumed.raw"), 44100), 1);

    // The plays resume on schedule.
    const int64_t heard = CountBursts(Slurp(dir_ / "resumed.raw"), 44100);
    for (int i = 0; i < 3; ++i) Tick(500);
    RunFor(200);
    Stop(parec_);
    EXPECT_EQ(CountBursts(Slurp(dir_ / "resumed.raw"), 44100), heard + 3);
    EXPECT_EQ(Streams(), 1u);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountOf(err, "does not answer"), 1u) << err;
}

TEST_F(PulseSound, ASuspendedSinkGetsAtMostOneStreamAndPlaysAgainWhenResumed) {
    StartDaemon();
    TickPlayed();
    testing::internal::CaptureStderr();
    Pactl("suspend-sink test 1");
    size_t most = 0;
    for (int i = 0; i < 12; ++i) {
        Tick(500);
        most = std::max(most, Streams());
    }
    EXPECT_LE(most, 1u);
    Pactl("suspend-sink test 0");
    StartRecording("after.raw");
    for (int i = 0; i < 3; ++i) Tick(500);
    RunFor(200);
    Stop(parec_);
    EXPECT_GE(CountBursts(Slurp(dir_ / "after.raw"), 44100), 2);
    EXPECT_LE(Streams(), 1u);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountOf(err, "does not answer"), 1u) << err;
}

TEST_F(PulseSound, AStreamTheServerEndsIsAskedForAgainOnlyAfterABackOff) {
    StartDaemon();
    TickPlayed();
    const Sound::OutputCounts before = Sound::OutputCountsForTesting();
    // The output goes, and the server ends the stream; a new one is refused.
    Pactl("unload-module module-null-sink");
    for (int i = 0; i < 4; ++i) Tick(100);
    EXPECT_EQ(Sound::OutputCountsForTesting().streams, before.streams) << "no new stream at once";
    Pactl("load-module module-null-sink sink_name=test");
    RunFor(2500);
    TickPlayed();
    EXPECT_EQ(Sound::OutputCountsForTesting().streams, before.streams + 1);
    EXPECT_EQ(Streams(), 1u);
}

TEST_F(PulseSound, ASoundLongerThanTheBufferIsHeardWholeAndOnce) {
    Ref<Sound> longTone = Ref<FolderItem>(new FolderItem(WriteTone(dir_, 3500, "long.wav")))->OpenAsSound();
    ASSERT_TRUE(longTone);
    StartDaemon();
    StartRecording("long.raw");
    const int64_t played = Sound::OutputCountsForTesting().played;
    longTone->Play();
    ASSERT_TRUE(WaitFor([&] { return Sound::OutputCountsForTesting().played > played; }));
    RunFor(300);
    Stop(parec_);
    const std::string raw = Slurp(dir_ / "long.raw");
    EXPECT_EQ(CountBursts(raw, 44100), 1);
    // The tone's samples are above the threshold nine times in ten.
    EXPECT_NEAR(LoudSeconds(raw, 44100), 3.5 * 0.92, 0.3);
}
