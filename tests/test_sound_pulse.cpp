// Sound through a real sound server: a private PulseAudio daemon with a null
// sink, whose monitor is recorded to check that each play arrived.
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
#include <thread>
#include <unistd.h>
#include <vector>

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

// 100 ms of a 1 kHz tone, 16-bit mono.
fs::path WriteTone(const fs::path& dir) {
    const int rate = 44100, frames = rate / 10;
    std::vector<int16_t> samples(frames);
    for (int i = 0; i < frames; ++i) samples[i] = int16_t(16000 * std::sin(2 * M_PI * 1000.0 * i / rate));
    auto put32 = [](std::ofstream& o, uint32_t v) { o.write(reinterpret_cast<const char*>(&v), 4); };
    auto put16 = [](std::ofstream& o, uint16_t v) { o.write(reinterpret_cast<const char*>(&v), 2); };
    fs::path p = dir / "tone.wav";
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
    }

    void TearDown() override {
        Stop(parec_);
        Stop(subscribe_);
        Stop(daemon_);
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

    bool WaitFor(const std::function<bool()>& pred) {
        for (int i = 0; i < 200; ++i) {
            if (pred()) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    void StartDaemon() {
        daemon_ = Spawn({"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "-n",
                         "--load=module-null-sink sink_name=test", "--load=module-native-protocol-unix"},
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

    // Waits until the recording RAW has grown by another MS milliseconds.
    bool RecordingGoesOn(const fs::path& raw, int ms) {
        std::error_code ec;
        const auto from = fs::file_size(raw, ec);
        return WaitFor([&] { return fs::file_size(raw, ec) >= from + 44100 * 2 * ms / 1000; });
    }

    // Plays once, then waits (bounded) until the recording RAW holds BURSTS
    // bursts, the stream is gone and the recording has gone on quietly after
    // it: the next play can only make a burst of its own, however slow the
    // machine is.
    void PlayAndWait(Sound& s, const fs::path& raw, int bursts) {
        s.Play();
        ASSERT_TRUE(WaitFor([&] { return CountBursts(Slurp(raw), 44100) >= bursts; }))
            << "play " << bursts << " never reached the sink";
        ASSERT_TRUE(NoStreamLeft());
        ASSERT_TRUE(RecordingGoesOn(raw, 200));
    }

    bool NoStreamLeft() {
        return WaitFor([&] { return Pactl("list short sink-inputs").empty(); });
    }

    fs::path dir_;
    std::string server_;
    pid_t daemon_ = -1, parec_ = -1, subscribe_ = -1;
};

}  // namespace

TEST_F(PulseSound, EachPlayArrivesOnceThroughItsOwnStreamAndPlaysAgainAfterTheServerRestarts) {
    Ref<Sound> tone = Ref<FolderItem>(new FolderItem(WriteTone(dir_)))->OpenAsSound();
    ASSERT_TRUE(tone);

    testing::internal::CaptureStderr();
    // Before the server exists: nothing plays, the program goes on.
    tone->Play();
    tone->Play();
    std::this_thread::sleep_for(300ms);

    StartDaemon();
    subscribe_ = Spawn({"pactl", "subscribe"}, {}, (dir_ / "events.txt").string());
    ASSERT_TRUE(WaitFor([&] { return CountOf(Pactl("list short clients"), "pactl") >= 2; }));
    StartRecording("first.raw");
    for (int i = 1; i <= 3; ++i) ASSERT_NO_FATAL_FAILURE(PlayAndWait(*tone, dir_ / "first.raw", i));
    EXPECT_TRUE(NoStreamLeft()) << "every stream is closed once drained";
    EXPECT_TRUE(RecordingGoesOn(dir_ / "first.raw", 200));  // time for a stray fourth burst to show
    Stop(parec_);
    Stop(subscribe_);
    EXPECT_EQ(CountBursts(Slurp(dir_ / "first.raw"), 44100), 3);
    const std::string events = Slurp(dir_ / "events.txt");
    EXPECT_EQ(CountOf(events, "'new' on sink-input"), 3u) << events;
    EXPECT_EQ(CountOf(events, "'remove' on sink-input"), 3u) << events;

    // The server goes away and comes back: the next play plays again.
    Stop(daemon_, SIGKILL);
    tone->Play();
    std::this_thread::sleep_for(300ms);
    tone->Play();
    std::this_thread::sleep_for(300ms);
    StartDaemon();
    StartRecording("second.raw");
    for (int i = 1; i <= 2; ++i) ASSERT_NO_FATAL_FAILURE(PlayAndWait(*tone, dir_ / "second.raw", i));
    EXPECT_TRUE(NoStreamLeft());
    EXPECT_TRUE(RecordingGoesOn(dir_ / "second.raw", 200));
    Stop(parec_);
    EXPECT_EQ(CountBursts(Slurp(dir_ / "second.raw"), 44100), 2);

    const std::string err = testing::internal::GetCapturedStderr();
    // Said once per outage: before the first start, and when the server died.
    EXPECT_EQ(CountOf(err, "no sound server"), 2u) << err;
    EXPECT_EQ(tone->PlayCount(), 9);
}
