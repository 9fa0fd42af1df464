#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "FolderItem.h"
#include "Sound.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<unsigned char>;

void Put16(Bytes& b, unsigned v) { b.push_back(v & 0xFF); b.push_back((v >> 8) & 0xFF); }
void Put32(Bytes& b, uint32_t v) { for (int i = 0; i < 4; ++i) b.push_back((v >> (8 * i)) & 0xFF); }
void PutId(Bytes& b, const char* id) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(id[i]));
}

struct WaveSpec {
    unsigned tag = 1;
    unsigned channels = 1;
    uint32_t rate = 44100;
    unsigned bits = 16;
    bool extensible = false;
    uint32_t frames = 10;
    int blockAlignDelta = 0;
    bool dataFirst = false;      // data chunk before fmt
    bool oddChunkFirst = false;  // an odd-sized LIST chunk (padded) ahead of the rest
    uint32_t claimExtraData = 0; // data chunk says it holds more than it does
};

Bytes MakeWave(const WaveSpec& s) {
    Bytes fmt;
    const unsigned blockAlign = s.channels * s.bits / 8 + s.blockAlignDelta;
    Put16(fmt, s.extensible ? 0xFFFE : s.tag);
    Put16(fmt, s.channels);
    Put32(fmt, s.rate);
    Put32(fmt, s.rate * blockAlign);
    Put16(fmt, blockAlign);
    Put16(fmt, s.bits);
    if (s.extensible) {
        Put16(fmt, 22);
        Put16(fmt, s.bits);
        Put32(fmt, 0);
        Put16(fmt, s.tag);  // sub-format GUID: tag, then the fixed tail
        const unsigned char tail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                        0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        fmt.insert(fmt.end(), tail, tail + 14);
    }
    Bytes data(size_t(s.frames) * (s.channels * s.bits / 8), 0);  // silence: Play may reach a real sound card

    Bytes body;
    PutId(body, "WAVE");
    if (s.oddChunkFirst) {
        PutId(body, "LIST");
        Put32(body, 3);
        body.insert(body.end(), {'a', 'b', 'c', 0});
    }
    auto putFmt = [&] { PutId(body, "fmt "); Put32(body, uint32_t(fmt.size())); body.insert(body.end(), fmt.begin(), fmt.end()); };
    auto putData = [&] { PutId(body, "data"); Put32(body, uint32_t(data.size()) + s.claimExtraData); body.insert(body.end(), data.begin(), data.end()); };
    if (s.dataFirst) { putData(); putFmt(); } else { putFmt(); putData(); }
    Bytes out;
    PutId(out, "RIFF");
    Put32(out, uint32_t(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

fs::path TempDir() {
    fs::path dir = fs::temp_directory_path() / ("kestrune-sound-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    return dir;
}

// Removes the scratch folder when the tests are done.
struct ScratchCleanup {
    ~ScratchCleanup() {
        std::error_code ec;
        fs::remove_all(fs::temp_directory_path() / ("kestrune-sound-" + std::to_string(::getpid())), ec);
    }
} g_cleanup;

fs::path WriteFile(const std::string& name, const Bytes& bytes) {
    fs::path p = TempDir() / name;
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return p;
}

}  // namespace

TEST(WaveParsing, SupportedFormatsDecode) {
    using F = PcmData::Format;
    struct Case { const char* what; WaveSpec spec; F format; };
    const std::vector<Case> cases = {
        {"8-bit mono", {.bits = 8}, F::U8},
        {"16-bit mono 44.1k", {}, F::S16},
        {"24-bit stereo 48k", {.channels = 2, .rate = 48000, .bits = 24}, F::S24},
        {"32-bit int, 6 channels", {.channels = 6, .bits = 32}, F::S32},
        {"32-bit float stereo", {.tag = 3, .channels = 2, .bits = 32}, F::F32},
        {"extensible 24-bit", {.channels = 2, .bits = 24, .extensible = true}, F::S24},
        {"extensible float", {.tag = 3, .bits = 32, .extensible = true}, F::F32},
        {"data chunk before fmt", {.dataFirst = true}, F::S16},
        {"odd-sized chunk is padded", {.oddChunkFirst = true}, F::S16},
        {"no frames at all", {.frames = 0}, F::S16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes wav = MakeWave(c.spec);
        auto pcm = ParseWave(wav.data(), wav.size());
        ASSERT_TRUE(pcm);
        EXPECT_EQ(pcm->format, c.format);
        EXPECT_EQ(pcm->channels, int(c.spec.channels));
        EXPECT_EQ(pcm->sampleRate, int(c.spec.rate));
        EXPECT_EQ(pcm->FrameCount(), c.spec.frames);
    }
}

TEST(WaveParsing, DataCutShortKeepsTheWholeFramesThatAreThere) {
    Bytes wav = MakeWave({.channels = 2, .frames = 10, .claimExtraData = 4000});
    wav.pop_back();  // half a sample of the last frame is missing too
    auto pcm = ParseWave(wav.data(), wav.size());
    ASSERT_TRUE(pcm);
    EXPECT_EQ(pcm->FrameCount(), 9);
    EXPECT_EQ(pcm->bytes.size(), 9u * 4u);
}

TEST(WaveParsing, AnythingElseIsRefused) {
    const Bytes good = MakeWave({});
    const std::string text = "not a wav\n";
    struct Case { const char* what; Bytes bytes; };
    const std::vector<Case> cases = {
        {"empty", {}},
        {"10-byte text file", Bytes(text.begin(), text.end())},
        {"RIFF without WAVE", Bytes(good.begin(), good.begin() + 8)},
        {"header cut inside fmt", Bytes(good.begin(), good.begin() + 30)},
        {"header cut before data", Bytes(good.begin(), good.begin() + 36)},
        {"ADPCM", MakeWave({.tag = 2, .bits = 4})},
        {"12-bit", MakeWave({.bits = 12})},
        {"64-bit float", MakeWave({.tag = 3, .bits = 64})},
        {"16-bit float", MakeWave({.tag = 3, .bits = 16})},
        {"no channels", MakeWave({.channels = 0})},
        {"33 channels", MakeWave({.channels = 33})},
        {"rate 0", MakeWave({.rate = 0})},
        {"block align disagrees", MakeWave({.blockAlignDelta = 1})},
        {"extensible ADPCM", MakeWave({.tag = 2, .bits = 16, .extensible = true})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(ParseWave(c.bytes.data(), c.bytes.size()));
    }
    Bytes noData(good.begin(), good.begin() + 36);  // RIFF, WAVE and fmt, no data chunk
    EXPECT_FALSE(ParseWave(noData.data(), noData.size()));
}

TEST(Sound, OpenReadsTheFileOnceAndPlayingDoesNotTouchIt) {
    const fs::path wav = WriteFile("tone.wav", MakeWave({.frames = 441}));
    const int64_t before = Sound::FilesReadForTesting();
    Ref<FolderItem> item(new FolderItem(wav));
    Ref<Sound> s = item->OpenAsSound();
    ASSERT_TRUE(s);
    EXPECT_EQ(Sound::FilesReadForTesting(), before + 1);
    fs::remove(wav);  // the samples are in memory
    s->Play();
    s->Play();
    EXPECT_EQ(s->PlayCount(), 2);
    EXPECT_EQ(Sound::FilesReadForTesting(), before + 1);
    EXPECT_NEAR(s->DurationSeconds(), 0.01, 1e-9);
}

TEST(Sound, FilesThatAreNotSoundsGiveNil) {
    const fs::path dir = TempDir();
    const std::string text = "not a wav\n";
    struct Case { const char* what; fs::path path; };
    const std::vector<Case> cases = {
        {"missing", dir / "missing.wav"},
        {"text", WriteFile("text.wav", Bytes(text.begin(), text.end()))},
        {"truncated header", WriteFile("cut.wav", [] { Bytes b = MakeWave({}); b.resize(20); return b; }())},
        {"folder", dir},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Ref<FolderItem> item(new FolderItem(c.path));
        EXPECT_FALSE(item->OpenAsSound());
    }
}

TEST(Sound, TheBundledSilentSoundIsShortSilence) {
    Ref<FolderItem> item(new FolderItem(fs::path(KESTRUNE_SOURCE_DIR) / "resources" / "silent.wav"));
    Ref<Sound> s = item->OpenAsSound();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->Samples().format, PcmData::Format::S16);
    EXPECT_EQ(s->Samples().channels, 1);
    EXPECT_GT(s->DurationSeconds(), 0.0);
    EXPECT_LE(s->DurationSeconds(), 0.5);
    for (unsigned char b : s->Samples().bytes) ASSERT_EQ(b, 0);
}

TEST(FolderItem, ChildOfAFileOrByAnEscapingNameIsNil) {
    const fs::path dir = TempDir();
    const fs::path file = WriteFile("plain.txt", {'x'});
    Ref<FolderItem> folder(new FolderItem(dir));
    EXPECT_EQ(folder->Child("a.wav")->Path(), dir / "a.wav");
    for (const char* bad : {"", ".", "..", "a/b", "../x"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(folder->Child(bad));
    }
    EXPECT_FALSE(Ref<FolderItem>(new FolderItem(file))->Child("x"));
    // A folder that does not exist yet still has children by name.
    EXPECT_TRUE(folder->Child("later")->Child("x"));
}

TEST(FolderItem, ApplicationExecutableCanBeSetForTests) {
    FolderItem::SetApplicationExecutableForTesting("/opt/K.app/Contents/MacOS/K");
    EXPECT_EQ(GetApplicationBundleResources()->Path(), fs::path("/opt/K.app/Contents/Resources"));
    FolderItem::SetApplicationExecutableForTesting("/K");
    EXPECT_THROW(GetApplicationBundleResources(), NilObjectException);
    FolderItem::SetApplicationExecutableForTesting({});
    EXPECT_FALSE(FolderItem::ApplicationExecutable()->Path().empty());
}
