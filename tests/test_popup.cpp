// The interval popup: what its Open and Change handlers select, set on the
// application's timer and store under "freq", against real preference files
// in a temporary XDG_CONFIG_HOME and the built bundle's resources.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <filesystem>
#include <optional>
#include <string>

#include <sys/inotify.h>
#include <unistd.h>

#include "App.h"
#include "FolderItem.h"
#include "PopupMenu.h"
#include "QelModule.h"
#include "Runtime.h"
#include "Sound.h"
#include "VurivTimer.h"
#include "Window1.h"
#include "audio_128x128.h"
#include "silent.h"

namespace {

const std::filesystem::path kBundleExecutable = std::filesystem::path(KESTRUNE_BUNDLE_DIR) / "Contents/MacOS/Kestrune";

// Counts the saves of one file, as inotify reports them on the folder that
// holds it.
class SaveCounter {
public:
    SaveCounter(const QString& folder, const QString& fileName) : name_(QFile::encodeName(fileName)) {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0) inotify_add_watch(fd_, QFile::encodeName(folder).constData(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_CREATE);
    }
    ~SaveCounter() {
        if (fd_ >= 0) close(fd_);
    }
    bool Ok() const { return fd_ >= 0; }
    // The saves since the last call.
    int Take() {
        int saves = 0;
        bool created = false;
        alignas(inotify_event) char buf[4096];
        for (;;) {
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) break;
            for (char* p = buf; p < buf + n;) {
                auto* e = reinterpret_cast<inotify_event*>(p);
                if (e->len && name_ == e->name) {
                    // A new file made in place shows as a creation, then a
                    // close after writing (or no close when it was written
                    // elsewhere and linked in); a replaced one as a move.
                    if (e->mask & IN_CREATE) {
                        ++saves;
                        created = true;
                    } else if (e->mask & IN_CLOSE_WRITE) {
                        if (!created) ++saves;
                        created = false;
                    } else {
                        ++saves;
                        created = false;
                    }
                }
                p += sizeof(inotify_event) + e->len;
            }
        }
        return saves;
    }

private:
    int fd_ = -1;
    QByteArray name_;
};

class Popup : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!GetAppObject()) RuntimeRegisterAppObject(RuntimeNewObject(App::Class()));
    }

    void SetUp() override {
        ASSERT_TRUE(tmp_.isValid());
        savedConfig_ = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(tmp_.filePath("config")));
        // The folder stands so that its files can be watched; the file does not.
        ASSERT_TRUE(QDir().mkpath(Folder()));
        QelModule::ResetForTesting();
        FolderItem::SetApplicationExecutableForTesting(kBundleExecutable);
        _x_silent::ResetForTesting();
        _x_audio_128x128::pic = nullptr;
        App()->MyVurivTimer = nullptr;
        saves_.emplace(Folder(), "Kestrune_prefs.xml");
        ASSERT_TRUE(saves_->Ok());
    }

    void TearDown() override {
        if (Ref<Window> w = GetImplicitWindow("Window1.Window1")) w->Close();
        App()->MyVurivTimer = nullptr;
        QelModule::ResetForTesting();
        FolderItem::SetApplicationExecutableForTesting({});
        _x_silent::ResetForTesting();
        _x_audio_128x128::pic = nullptr;
        qputenv("XDG_CONFIG_HOME", savedConfig_);
    }

    QString Folder() const { return tmp_.filePath("config") + "/KestrunePrefs"; }
    QString File() const { return Folder() + "/Kestrune_prefs.xml"; }

    void WritePrefs(const QByteArray& body) {
        QFile f(File());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + body);
        f.close();
        saves_->Take();  // not one of the program's saves
    }

    // The text of the file's freq element; nullopt when there is none.
    std::optional<QString> StoredFreq() const {
        QFile f(File());
        if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
        const QString text = QString::fromUtf8(f.readAll());
        const auto m = QRegularExpression("<freq>([^<]*)</freq>").match(text);
        if (!m.hasMatch()) return std::nullopt;
        return m.captured(1);
    }

    static Ref<VurivTimer> Timer() { return App()->MyVurivTimer; }

    QTemporaryDir tmp_;
    QByteArray savedConfig_;
    std::optional<SaveCounter> saves_;
};

}  // namespace

TEST_F(Popup, OpenSelectsTheStoredIntervalOrRowFiveAndStoresIt) {
    struct Case {
        const char* what;
        std::optional<QByteArray> file;  // the whole root element; nullopt: no file
        int64_t row;
        int saves;
    } cases[] = {
        {"a stored tag", "<Kestrune><freq>14000</freq></Kestrune>", 2, 1},
        {"the first tag", "<Kestrune><freq>4000</freq></Kestrune>", 0, 1},
        {"the last tag", "<Kestrune><freq>59000</freq></Kestrune>", 6, 1},
        {"a tag with a fraction", "<Kestrune><freq>14000.75</freq></Kestrune>", 2, 1},
        {"a tag and trailing text", "<Kestrune><freq>9000ms</freq></Kestrune>", 1, 1},
        {"a tag after blanks", "<Kestrune><freq>  19000</freq></Kestrune>", 3, 1},
        {"a tag minus a fraction", "<Kestrune><freq>13999.5</freq></Kestrune>", 5, 2},
        {"a tag minus one", "<Kestrune><freq>13999</freq></Kestrune>", 5, 2},
        {"a negative tag", "<Kestrune><freq>-4000</freq></Kestrune>", 5, 2},
        {"past the 64-bit range", "<Kestrune><freq>99999999999999999999</freq></Kestrune>", 5, 2},
        {"an exponent past any double", "<Kestrune><freq>1e999</freq></Kestrune>", 5, 2},
        {"the lowest 64-bit number", "<Kestrune><freq>-9223372036854775808</freq></Kestrune>", 5, 2},
        {"no number", "<Kestrune><freq>abc</freq></Kestrune>", 5, 2},
        {"zero", "<Kestrune><freq>0</freq></Kestrune>", 5, 2},
        {"a whole number that is no tag", "<Kestrune><freq>15000</freq></Kestrune>", 5, 2},
        {"an empty element", "<Kestrune><freq></freq></Kestrune>", 5, 2},
        {"no freq element", "<Kestrune/>", 5, 2},
        {"a first launch: no file", std::nullopt, 5, 3},
    };
    const int64_t tags[] = {4000, 9000, 14000, 19000, 24000, 29000, 59000};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QelModule::ResetForTesting();
        QFile::remove(File());
        saves_->Take();
        if (c.file) WritePrefs(*c.file);
        Ref<Sound> sound = silent();
        ASSERT_TRUE(sound);
        const int64_t plays = sound->PlayCount();

        Ref<class Window1> w = Window1();
        Ref<PopupMenu> popup = w->PopupMenu1();
        ASSERT_EQ(popup->ListCount(), 7);
        EXPECT_EQ(popup->ListIndex(), c.row);
        EXPECT_EQ(popup->ComboBox()->currentIndex(), c.row);  // what the user sees
        ASSERT_TRUE(Timer());
        EXPECT_EQ(Timer()->Period(), tags[c.row]);
        EXPECT_EQ(Timer()->Mode(), 2);
        EXPECT_EQ(sound->PlayCount(), plays + 1);  // once, at open
        EXPECT_EQ(saves_->Take(), c.saves);
        EXPECT_EQ(StoredFreq(), QString::number(tags[c.row]));  // the plain tag, whatever was there
        w->Close();
    }
}

TEST_F(Popup, RowsAreTheSevenIntervalsWithTheirTags) {
    Ref<class Window1> w = Window1();
    Ref<PopupMenu> popup = w->PopupMenu1();
    const char* texts[] = {"Every 4 seconds",  "Every 9 seconds",  "Every 14 seconds", "Every 19 seconds",
                           "Every 24 seconds", "Every 29 seconds", "Every 59 seconds"};
    const int64_t tags[] = {4000, 9000, 14000, 19000, 24000, 29000, 59000};
    ASSERT_EQ(popup->ListCount(), 7);
    for (int64_t i = 0; i < 7; ++i) {
        EXPECT_EQ(popup->List(i), texts[i]);
        EXPECT_EQ(VariantToInt64(popup->RowTag(i)), tags[i]);
        EXPECT_EQ(popup->ComboBox()->itemText(int(i)), texts[i]);
    }
}

TEST_F(Popup, AUsersChoiceSetsThePeriodAtOnceAndStoresIt) {
    WritePrefs("<Kestrune><freq>14000</freq></Kestrune>");
    Ref<class Window1> w = Window1();
    Ref<PopupMenu> popup = w->PopupMenu1();
    saves_->Take();
    Ref<VurivTimer> timer = Timer();

    popup->ComboBox()->setCurrentIndex(0);  // row 0 counts as a selection
    EXPECT_EQ(timer->Period(), 4000);
    EXPECT_EQ(timer->Mode(), 2);  // untouched by Change
    EXPECT_EQ(saves_->Take(), 1);
    EXPECT_EQ(StoredFreq(), "4000");

    popup->ComboBox()->setCurrentIndex(6);
    EXPECT_EQ(timer->Period(), 59000);
    EXPECT_EQ(StoredFreq(), "59000");
    EXPECT_EQ(Timer(), timer);  // the same timer runs on
}

TEST_F(Popup, ChangeWithNoRowSelectedChangesNothing) {
    WritePrefs("<Kestrune><freq>9000</freq></Kestrune>");
    Ref<class Window1> w = Window1();
    Ref<PopupMenu> popup = w->PopupMenu1();
    saves_->Take();
    popup->SetListIndex(-1);  // raises Change with ListIndex below 0
    w->PopupMenu1_Change(popup.get());
    EXPECT_EQ(Timer()->Period(), 9000);
    EXPECT_EQ(saves_->Take(), 0);
    EXPECT_EQ(StoredFreq(), "9000");
}

TEST_F(Popup, ChangeWithNoTimerRaisesBeforeItStoresAnything) {
    WritePrefs("<Kestrune><freq>9000</freq></Kestrune>");
    Ref<class Window1> w = Window1();
    Ref<PopupMenu> popup = w->PopupMenu1();
    saves_->Take();
    App()->MyVurivTimer = nullptr;
    EXPECT_THROW(w->PopupMenu1_Change(popup.get()), NilObjectException);
    // From the user's choice the exception is reported and goes no further.
    popup->ComboBox()->setCurrentIndex(3);
    EXPECT_EQ(popup->ListIndex(), 3);
    EXPECT_EQ(saves_->Take(), 0);
    EXPECT_EQ(StoredFreq(), "9000");
}

TEST_F(Popup, AWindowMadeAnewReplacesTheTimerAndSelectsTheLastChoice) {
    Ref<class Window1> first = Window1();
    first->PopupMenu1()->ComboBox()->setCurrentIndex(1);  // the user's choice: 9 s
    Ref<VurivTimer> earlier = Timer();
    ASSERT_TRUE(earlier);
    EXPECT_EQ(earlier->RefCount(), 2);  // App's and this test's
    const int64_t plays = silent()->PlayCount();
    first->Close();
    EXPECT_EQ(Timer(), earlier);  // a closed window leaves the timer running
    EXPECT_EQ(earlier->Mode(), 2);

    Ref<class Window1> second = Window1();
    ASSERT_NE(second.get(), first.get());
    ASSERT_TRUE(Timer());
    EXPECT_NE(Timer(), earlier);
    EXPECT_EQ(earlier->RefCount(), 1);  // App let it go: only this test holds it
    EXPECT_EQ(second->PopupMenu1()->ListIndex(), 1);
    EXPECT_EQ(Timer()->Period(), 9000);
    EXPECT_EQ(Timer()->Mode(), 2);
    EXPECT_EQ(silent()->PlayCount(), plays + 1);
}

TEST_F(Popup, WithoutTheSilentSoundOpenEndsAfterTheRowsAndMakesNoTimer) {
    // A bundle that holds the picture but no silent.wav.
    QTemporaryDir bundle;
    ASSERT_TRUE(QDir().mkpath(bundle.filePath("Contents/MacOS")));
    ASSERT_TRUE(QDir().mkpath(bundle.filePath("Contents/Resources")));
    ASSERT_TRUE(QFile::copy(QString(KESTRUNE_SOURCE_DIR) + "/resources/audio_128x128.png",
                            bundle.filePath("Contents/Resources/audio_128x128.png")));
    FolderItem::SetApplicationExecutableForTesting(bundle.filePath("Contents/MacOS/Kestrune").toStdString());
    _x_silent::ResetForTesting();

    Ref<class Window1> w = Window1();
    Ref<PopupMenu> popup = w->PopupMenu1();
    EXPECT_EQ(popup->ListCount(), 7);
    EXPECT_EQ(popup->ListIndex(), -1);
    EXPECT_FALSE(Timer());
    // freq was neither read nor written: the store never opened.
    EXPECT_FALSE(QFile::exists(File()));
    EXPECT_EQ(saves_->Take(), 0);
    // The failed load is not retried: the next window ends the same way.
    w->Close();
    Ref<class Window1> again = Window1();
    EXPECT_EQ(again->PopupMenu1()->ListIndex(), -1);
    EXPECT_FALSE(Timer());
}

TEST_F(Popup, AStoreThatCanNeitherReadNorWriteOpensOnRowFiveAndStoresNothing) {
    // The application-data folder is a plain file: no folder, no file.
    const QString blocker = tmp_.filePath("not-a-folder");
    {
        QFile f(blocker);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(blocker));
    QelModule::ResetForTesting();

    for (int window = 0; window < 2; ++window) {
        SCOPED_TRACE(window);
        Ref<class Window1> w = Window1();
        Ref<PopupMenu> popup = w->PopupMenu1();
        EXPECT_EQ(popup->ListIndex(), 5);
        ASSERT_TRUE(Timer());
        EXPECT_EQ(Timer()->Period(), 29000);
        EXPECT_EQ(Timer()->Mode(), 2);
        w->Close();
    }
    EXPECT_EQ(QFileInfo(blocker).size(), 0);
    EXPECT_FALSE(QFile::exists(File()));
}

TEST_F(Popup, AChoiceIsKeptWhenTheStoredElementStartsWithAComment) {
    // As a file edited by hand may be: the store reads the comment, which
    // names no interval, and stores each choice there.
    WritePrefs("<Kestrune><freq><!--note-->9000</freq></Kestrune>");
    Ref<class Window1> w = Window1();
    Ref<PopupMenu> popup = w->PopupMenu1();
    EXPECT_EQ(popup->ListIndex(), 5);
    saves_->Take();

    popup->ComboBox()->setCurrentIndex(0);  // the user's choice: 4 s
    EXPECT_EQ(Timer()->Period(), 4000);
    EXPECT_EQ(saves_->Take(), 1);
    w->Close();

    QelModule::ResetForTesting();  // the next launch
    EXPECT_EQ(QelModule::GetPrefsValue("freq"), "4000");
    QelModule::ResetForTesting();
    Ref<class Window1> again = Window1();
    EXPECT_EQ(again->PopupMenu1()->ListIndex(), 0);
    EXPECT_EQ(Timer()->Period(), 4000);
}
