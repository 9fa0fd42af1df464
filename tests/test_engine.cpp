#include <gtest/gtest.h>

#include "EventLoop.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <functional>
#include <unistd.h>

#include "FolderItem.h"
#include "Runtime.h"
#include "Sound.h"
#include "VurivTimer.h"
#include "silent.h"

namespace fs = std::filesystem;

namespace {

const fs::path kSilentWav = fs::path(KESTRUNE_SOURCE_DIR) / "resources" / "silent.wav";

// A throw-away application bundle whose layout each test shapes.
class Engine : public testing::Test {
public:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("kestrune-engine-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_);
        _x_silent::ResetForTesting();
    }
    void TearDown() override {
        FolderItem::SetApplicationExecutableForTesting({});
        _x_silent::ResetForTesting();
        fs::remove_all(root_);
    }
    // Contents/MacOS/Kestrune, with Contents/Resources as given.
    void MakeBundle(const std::function<void(const fs::path& contents)>& shape) {
        const fs::path contents = root_ / "Kestrune.app" / "Contents";
        fs::create_directories(contents / "MacOS");
        shape(contents);
        FolderItem::SetApplicationExecutableForTesting(contents / "MacOS" / "Kestrune");
    }
    void MakeGoodBundle() {
        MakeBundle([](const fs::path& c) {
            fs::create_directories(c / "Resources");
            fs::copy_file(kSilentWav, c / "Resources" / "silent.wav");
        });
    }
    static void WriteText(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }

    fs::path root_;
};

}  // namespace

TEST_F(Engine, VurivTimerClassTable) {
    const ClassInfo& c = VurivTimer::Class();
    EXPECT_EQ(c.name, "VurivTimer");
    EXPECT_EQ(c.base, &Timer::Class());
    EXPECT_EQ(c.virtualOps, (std::vector<std::string>{"addActionNotificationReceiver",
                                                      "removeActionNotificationReceiver", "Reset",
                                                      "_CallAction", "Event_Action"}));
    EXPECT_EQ(c.interfaces, std::vector<std::string>{"actionSource"});
    ASSERT_EQ(c.methods.size(), 7u);
    EXPECT_EQ(c.methods.back().name, "Event_Action");
    ASSERT_EQ(c.bindings.size(), 1u);
    EXPECT_EQ(c.FindBinding("Action")->handler, "VurivTimer.Event_Action");
    EXPECT_TRUE(c.properties.empty());
    EXPECT_NE(c.FindProperty("Period"), nullptr);

    Ref<VurivTimer> t = RuntimeCheckCast<VurivTimer>(RuntimeNewObject(c));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->Mode(), 0);
}

TEST_F(Engine, SilentLoadsOnceAndKeepsTheSound) {
    MakeGoodBundle();
    const int64_t reads = Sound::FilesReadForTesting();
    Ref<Sound> first = silent();
    ASSERT_TRUE(first);
    EXPECT_TRUE(_x_silent::loaded);
    // Later calls touch nothing on disk, even when the file is gone.
    fs::remove_all(root_ / "Kestrune.app");
    Ref<Sound> second = silent();
    EXPECT_EQ(first.get(), second.get());
    EXPECT_EQ(_x_silent::permaSound.get(), first.get());
    EXPECT_EQ(Sound::FilesReadForTesting(), reads + 1);
}

TEST_F(Engine, SilentFailureTable) {
    struct Case {
        const char* what;
        std::function<void(Engine&)> arrange;
        bool firstRaisesNil;
    };
    const std::vector<Case> cases = {
        {"silent.wav missing", [](Engine& e) { e.MakeBundle([](const fs::path& c) { fs::create_directories(c / "Resources"); }); }, false},
        {"silent.wav is not a sound", [](Engine& e) {
             e.MakeBundle([](const fs::path& c) {
                 fs::create_directories(c / "Resources");
                 WriteText(c / "Resources" / "silent.wav", "not a wav\n");
             });
         }, false},
        {"Resources folder is nil (Contents is a file)", [](Engine& e) {
             const fs::path contents = e.root_ / "Flat" / "Contents";
             fs::create_directories(contents.parent_path());
             WriteText(contents, "x");
             FolderItem::SetApplicationExecutableForTesting(contents / "MacOS" / "Kestrune");
         }, false},
        {"child silent.wav is nil (Resources is a file)", [](Engine& e) {
             e.MakeBundle([](const fs::path& c) { WriteText(c / "Resources", "x"); });
         }, true},
        {"the executable has no grandparent", [](Engine&) { FolderItem::SetApplicationExecutableForTesting("/Kestrune"); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        _x_silent::ResetForTesting();
        fs::remove_all(root_);
        fs::create_directories(root_);
        c.arrange(*this);
        if (c.firstRaisesNil) {
            EXPECT_THROW(silent(), NilObjectException);
        } else {
            Ref<Sound> s;
            EXPECT_NO_THROW(s = silent());
            EXPECT_FALSE(s);
        }
        EXPECT_TRUE(_x_silent::loaded);
        EXPECT_FALSE(_x_silent::permaSound);
        // The first call decided: a good bundle now changes nothing, and no
        // later call raises.
        fs::remove_all(root_);
        fs::create_directories(root_);
        MakeGoodBundle();
        const int64_t reads = Sound::FilesReadForTesting();
        Ref<Sound> later;
        EXPECT_NO_THROW(later = silent());
        EXPECT_FALSE(later);
        EXPECT_EQ(Sound::FilesReadForTesting(), reads);
    }
}

TEST_F(Engine, EachActionPlaysTheSilentSoundOnceAndChangesNothingOfTheTimer) {
    MakeGoodBundle();
    Ref<VurivTimer> t = RuntimeCheckCast<VurivTimer>(RuntimeNewObject(VurivTimer::Class()));
    Ref<Sound> sound = silent();
    ASSERT_TRUE(sound);
    const int64_t before = sound->PlayCount();
    for (int i = 0; i < 3; ++i) t->CallAction();
    EXPECT_EQ(sound->PlayCount(), before + 3);

    t->SetPeriod(10);
    t->SetMode(Timer::kModeMultiple);
    ASSERT_TRUE(RunUntil([&] { return sound->PlayCount() >= before + 8; }));
    EXPECT_EQ(t->Period(), 10);
    EXPECT_EQ(t->Mode(), Timer::kModeMultiple);
    EXPECT_TRUE(t->Enabled());

    // Released, the timer plays no more.
    t = nullptr;
    const int64_t atRelease = sound->PlayCount();
    RunFor(80);
    EXPECT_EQ(sound->PlayCount(), atRelease);
}

TEST_F(Engine, WithoutASilentSoundTheActionRaisesAndPlaysNothing) {
    MakeBundle([](const fs::path& c) { fs::create_directories(c / "Resources"); });
    Ref<VurivTimer> t(new VurivTimer);
    EXPECT_THROW(t->Event_Action(), NilObjectException);
    // Through the framework's dispatch the exception is reported, not fatal.
    testing::internal::CaptureStderr();
    t->CallAction();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("NilObjectException"), std::string::npos) << err;
}
