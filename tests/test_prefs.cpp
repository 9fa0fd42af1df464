// The preferences store against real files: each test gets a fresh
// XDG_CONFIG_HOME in a temporary folder and a store in its start state.
#include <gtest/gtest.h>

#include "HostileXml.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <functional>
#include <string>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "QelModule.h"
#include "FileSizeLimit.h"
#include "Rerun.h"
#include "SpecialFolder.h"
#include "Xml.h"

using namespace QelModule;

namespace {

// The file's tree as text: elements as name(children), text nodes quoted,
// comments as written, e.g. Kestrune(freq("29000")). Attributes are left out.
QString Render(const Ref<XmlNode>& node) {
    if (node->Name() == "#text") return '"' + node->Value() + '"';
    if (node->Name() == "#comment") return "<!--" + node->Value() + "-->";
    QStringList parts;
    for (int64_t i = 0; i < node->ChildCount(); ++i) parts << Render(node->Child(i));
    return node->Name() + '(' + parts.join(',') + ')';
}

class PrefsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp_.isValid());
        saved_ = {Saved("XDG_CONFIG_HOME"), Saved("HOME")};
        // Not created: the store (through the application-data folder) makes it.
        config_ = tmp_.filePath("config");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config_));
        ResetForTesting();
    }
    void TearDown() override {
        ResetForTesting();
        for (const auto& s : saved_) {
            if (s.set)
                qputenv(s.name, s.value);
            else
                qunsetenv(s.name);
        }
    }

    QString Folder() const { return config_ + "/KestrunePrefs"; }
    QString PrefsPath() const { return Folder() + "/Kestrune_prefs.xml"; }

    void WritePrefs(const QByteArray& content) const {
        ASSERT_TRUE(QDir().mkpath(Folder()));
        QFile f(PrefsPath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(content), content.size());
    }
    QByteArray PrefsBytes() const {
        QFile f(PrefsPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // The file as the store would load it in a new run.
    QString RenderPrefs() const {
        try {
            Ref<XmlDocument> doc(new XmlDocument);
            doc->LoadXml(Ref<FolderItem>(new FolderItem(QFile::encodeName(PrefsPath()).toStdString())));
            return Render(doc->Xql("/*")->Item(0));
        } catch (const std::exception& e) {
            return QString("<unloadable: %1>").arg(e.what());
        }
    }

    struct SavedVar {
        const char* name;
        bool set;
        QByteArray value;
    };
    static SavedVar Saved(const char* name) { return {name, qEnvironmentVariableIsSet(name), qgetenv(name)}; }

    QTemporaryDir tmp_;
    QString config_;
    std::vector<SavedVar> saved_;
};

}  // namespace

TEST_F(PrefsTest, FirstReadCreatesFolderAndFileHoldingTheRootAlone) {
    EXPECT_EQ(GetPrefsValue("freq"), "");
    EXPECT_TRUE(QFileInfo(Folder()).isDir());
    EXPECT_EQ(RenderPrefs(), "Kestrune()");
    EXPECT_TRUE(prefsXML);

    // Opening directly, on a fresh account, reports that the file exists.
    ResetForTesting();
    ASSERT_TRUE(QDir(config_).removeRecursively());
    EXPECT_TRUE(InnitiatePrefs());
    EXPECT_EQ(RenderPrefs(), "Kestrune()");
    EXPECT_EQ(prefsFile->Path().string(), QFile::encodeName(PrefsPath()).toStdString());
}

TEST_F(PrefsTest, StoredValueReadsBackInTheSameRunAndAfterARestart) {
    SetPrefsValue("freq", "29000");
    EXPECT_EQ(RenderPrefs(), "Kestrune(freq(\"29000\"))");
    EXPECT_EQ(GetPrefsValue("freq"), "29000");

    const QByteArray saved = PrefsBytes();
    ResetForTesting();  // as a new run finds the module
    EXPECT_EQ(GetPrefsValue("freq"), "29000");
    EXPECT_EQ(GetPrefsValue("volume"), "");
    EXPECT_EQ(PrefsBytes(), saved);  // reads write nothing
}

TEST_F(PrefsTest, StoringAgainReplacesTheTextInPlace) {
    SetPrefsValue("a", "1");
    SetPrefsValue("freq", "4000");
    SetPrefsValue("b", "2");
    SetPrefsValue("freq", "9000");
    EXPECT_EQ(RenderPrefs(), "Kestrune(a(\"1\"),freq(\"9000\"),b(\"2\"))");
    EXPECT_EQ(GetPrefsValue("freq"), "9000");
    SetPrefsValue("empty", "");
    EXPECT_EQ(GetPrefsValue("empty"), "");
    SetPrefsValue("empty", "now set");
    EXPECT_EQ(GetPrefsValue("empty"), "now set");
}

TEST_F(PrefsTest, TheFileIsReadOnceAndEveryWriteRewritesItWholeFromMemory) {
    SetPrefsValue("freq", "4000");
    SetPrefsValue("b", "1");

    // Changes by others are not seen ...
    WritePrefs("<Kestrune><freq>59000</freq><x>1</x></Kestrune>");
    EXPECT_EQ(GetPrefsValue("freq"), "4000");
    EXPECT_EQ(GetPrefsValue("x"), "");
    // ... and the next write, even of the value already stored, replaces them.
    SetPrefsValue("freq", "4000");
    EXPECT_EQ(RenderPrefs(), "Kestrune(freq(\"4000\"),b(\"1\"))");

    ASSERT_TRUE(QFile::remove(PrefsPath()));
    SetPrefsValue("b", "1");
    EXPECT_EQ(RenderPrefs(), "Kestrune(freq(\"4000\"),b(\"1\"))");
}

namespace {

struct ExistingFile {
    const char* name;
    QByteArray content;
    QString read;          // what a read of freq gives
    QString afterWrite;    // the file after freq is set to 9000; empty: unchanged
};

}  // namespace

TEST_F(PrefsTest, ExistingFilesAreReadAndWrittenAtTheFirstKeyElement) {
    const std::vector<ExistingFile> cases = {
        {"empty key element", "<Kestrune><freq/></Kestrune>", "", "Kestrune(freq(\"9000\"))"},
        {"empty key element before others", "<Kestrune><freq></freq><a>1</a></Kestrune>", "",
         "Kestrune(freq(\"9000\"),a(\"1\"))"},
        {"several key elements", "<Kestrune><freq>1</freq><freq>2</freq></Kestrune>", "1",
         "Kestrune(freq(\"9000\"),freq(\"2\"))"},
        {"deeper key element first", "<Kestrune><g><freq>4000</freq></g><freq>5</freq></Kestrune>", "4000",
         "Kestrune(g(freq(\"9000\")),freq(\"5\"))"},
        {"indented by hand", "<?xml version=\"1.0\"?>\n<Kestrune>\n  <freq>14000</freq>\n</Kestrune>\n", "14000",
         "Kestrune(\"\n  \",freq(\"9000\"),\"\n\")"},
        {"key missing", "<Kestrune><a>1</a></Kestrune>", "", "Kestrune(a(\"1\"),freq(\"9000\"))"},
        {"another root without the key", "<Other><x>1</x></Other>", "", ""},
        {"another root holding the key", "<Other><freq>7</freq></Other>", "7", "Other(freq(\"9000\"))"},
        // Edited by hand: the value is the first child's, whatever its kind.
        {"a comment before the text", "<Kestrune><freq><!--note-->4000</freq></Kestrune>", "note",
         "Kestrune(freq(<!--9000-->,\"4000\"))"},
    };
    for (const ExistingFile& c : cases) {
        SCOPED_TRACE(c.name);
        ResetForTesting();
        WritePrefs(c.content);
        EXPECT_TRUE(InnitiatePrefs());
        EXPECT_EQ(GetPrefsValue("freq"), c.read);
        SetPrefsValue("freq", "9000");
        if (c.afterWrite.isEmpty()) {
            EXPECT_EQ(PrefsBytes(), c.content);
            EXPECT_EQ(GetPrefsValue("freq"), c.read);
        } else {
            EXPECT_EQ(RenderPrefs(), c.afterWrite);
            EXPECT_EQ(GetPrefsValue("freq"), "9000");
        }
        ResetForTesting();  // the next run reads what was saved
        EXPECT_EQ(GetPrefsValue("freq"), c.afterWrite.isEmpty() ? c.read : QString("9000"));
    }
}

namespace {

struct BadFile {
    const char* name;
    std::function<void(const QString& path)> make;
};

void WriteBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

// What a file (or whatever stands at its path) is like, to tell whether the
// store changed it: type, size and a digest of the content.
QByteArray Fingerprint(const QString& path) {
    QFileInfo info(path);
    if (!info.exists()) return "missing";
    if (info.isDir()) return "folder";
    if (!info.isFile()) return "special";
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return "unreadable";
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&f);
    return QByteArray::number(info.size()) + ":" + hash.result().toHex();
}

}  // namespace

TEST_F(PrefsTest, BrokenOrHostileFilesGiveEmptyReadsAndAreNeverRewritten) {
    const std::vector<BadFile> files = {
        {"malformed", [](const QString& p) { WriteBytes(p, "<Kestrune><freq>9000</frq></Kestrune>"); }},
        {"truncated", [](const QString& p) { WriteBytes(p, "<?xml version=\"1.0\"?>\n<Kestrune><freq>90"); }},
        {"binary",
         [](const QString& p) {
             QByteArray bytes;
             for (int i = 0; i < 4096; ++i) bytes += char((i * 7919) % 256);
             WriteBytes(p, bytes);
         }},
        {"very large (100 MB)",
         [](const QString& p) {
             QFile f(p);
             ASSERT_TRUE(f.open(QIODevice::WriteOnly));
             f.write("<?xml version=\"1.0\"?>\n<Kestrune><freq>9000</freq><pad>");
             const QByteArray chunk(1 << 20, 'x');
             for (int i = 0; i < 100; ++i) ASSERT_EQ(f.write(chunk), chunk.size());
         }},
        {"deeply nested",
         [](const QString& p) {
             WriteBytes(p, "<Kestrune>" + Repeat("<freq>", 200000) + Repeat("</freq>", 200000) + "</Kestrune>");
         }},
        {"entity expansion", [](const QString& p) { WriteBytes(p, BillionLaughs()); }},
        {"a folder in its place", [](const QString& p) { ASSERT_TRUE(QDir().mkpath(p + "/inside")); }},
        {"a FIFO in its place", [](const QString& p) { ASSERT_EQ(::mkfifo(QFile::encodeName(p).constData(), 0600), 0); }},
    };
    for (const BadFile& bad : files) {
        SCOPED_TRACE(bad.name);
        ResetForTesting();
        if (QFileInfo(PrefsPath()).isDir())
            QDir(PrefsPath()).removeRecursively();
        else
            QFile::remove(PrefsPath());
        ASSERT_TRUE(QDir().mkpath(Folder()));
        bad.make(PrefsPath());
        const QByteArray before = Fingerprint(PrefsPath());

        EXPECT_FALSE(InnitiatePrefs());
        EXPECT_EQ(GetPrefsValue("freq"), "");
        SetPrefsValue("freq", "4000");
        SetPrefsValue("other", "1");
        EXPECT_EQ(GetPrefsValue("freq"), "");
        EXPECT_EQ(GetPrefsValue("other"), "");
        EXPECT_EQ(Fingerprint(PrefsPath()), before);
        EXPECT_EQ(QDir(Folder()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot | QDir::Hidden),
                  QStringList{"Kestrune_prefs.xml"});
    }
}

TEST_F(PrefsTest, AFailedOpeningIsNotRetriedInTheSameRun) {
    WritePrefs("<Kestrune><freq>90");
    EXPECT_EQ(GetPrefsValue("freq"), "");
    WritePrefs("<Kestrune><freq>9000</freq></Kestrune>");  // mended while running
    EXPECT_EQ(GetPrefsValue("freq"), "");
    ResetForTesting();  // the next run
    EXPECT_EQ(GetPrefsValue("freq"), "9000");
}

TEST_F(PrefsTest, ExternalEntityIsNeverExpanded) {
    const QByteArray secret = "SECRET-CONTENT-51c9";
    WriteBytes(tmp_.filePath("secret.txt"), secret);
    const QByteArray url = "file://" + QFile::encodeName(tmp_.filePath("secret.txt"));
    WritePrefs("<?xml version=\"1.0\"?>\n<!DOCTYPE Kestrune [<!ENTITY x SYSTEM \"" + url +
               "\">]>\n<Kestrune><freq>&x;</freq></Kestrune>\n");

    EXPECT_FALSE(GetPrefsValue("freq").contains(secret));
    SetPrefsValue("freq", "4000");
    SetPrefsValue("other", "1");
    EXPECT_FALSE(GetPrefsValue("freq").contains(secret));
    EXPECT_FALSE(PrefsBytes().contains(secret));
    EXPECT_FALSE(RenderPrefs().startsWith("<unloadable"));
}

TEST_F(PrefsTest, AFileWhereTheFolderShouldBeLeavesTheStoreEmptyAndTheFileAlone) {
    // Something that is not a folder stands where the folder should be; this
    // holds for root too, whom permissions do not stop. A plain file has no
    // children, so opening ends before the document gets a root: every write
    // stores nothing, and nothing is ever written over the file.
    ASSERT_TRUE(QDir().mkpath(config_));
    WriteBytes(Folder(), "not a folder");

    SetPrefsValue("freq", "4000");  // opening fails: this first write stores nothing
    EXPECT_TRUE(prefsXML);
    EXPECT_EQ(GetPrefsValue("freq"), "");
    SetPrefsValue("freq", "9000");  // the store is open, on a document with no root
    EXPECT_EQ(GetPrefsValue("freq"), "");
    QFile f(Folder());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "not a folder");
}

TEST_F(PrefsTest, WhenASaveFailsDuringAWriteTheChangeStaysInMemory) {
    SetPrefsValue("freq", "4000");
    ASSERT_TRUE(QFile::remove(PrefsPath()));
    ASSERT_TRUE(QDir().mkpath(PrefsPath() + "/inside"));  // the file cannot be replaced now
    SetPrefsValue("freq", "9000");
    EXPECT_EQ(GetPrefsValue("freq"), "9000");
    EXPECT_TRUE(QFileInfo(PrefsPath() + "/inside").isDir());
}

TEST_F(PrefsTest, AnEmptyFileCountsAsMissingAndTheNextChoiceIsKept) {
    // What a save that failed on a full disk used to leave behind.
    WritePrefs("");
    EXPECT_TRUE(InnitiatePrefs());
    EXPECT_EQ(RenderPrefs(), "Kestrune()");  // written whole at once
    EXPECT_EQ(GetPrefsValue("freq"), "");
    SetPrefsValue("freq", "4000");
    EXPECT_EQ(RenderPrefs(), "Kestrune(freq(\"4000\"))");
    ResetForTesting();  // the next run
    EXPECT_EQ(GetPrefsValue("freq"), "4000");

    // Through a link, the file that it names is written and the link stays.
    ResetForTesting();
    ASSERT_TRUE(QFile::remove(PrefsPath()));
    WriteBytes(tmp_.filePath("elsewhere.xml"), "");
    ASSERT_TRUE(QFile::link(tmp_.filePath("elsewhere.xml"), PrefsPath()));
    SetPrefsValue("freq", "9000");
    EXPECT_TRUE(QFileInfo(PrefsPath()).isSymLink());
    EXPECT_EQ(RenderPrefs(), "Kestrune(freq(\"9000\"))");
}

TEST_F(PrefsTest, ALinkThatAnotherUserPlantedInTheFolderIsNeverWrittenThrough) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving a link to another user needs root";
    const passwd* nobody = ::getpwnam("nobody");
    if (!nobody) GTEST_SKIP() << "no user nobody here";
    // A preferences folder that anyone can write into, and in it a link of
    // nobody's to a file of this user's.
    ASSERT_TRUE(QDir().mkpath(Folder()));
    ASSERT_EQ(::chmod(QFile::encodeName(Folder()).constData(), 0777), 0);
    const QString target = tmp_.filePath("mine.xml");
    const QByteArray mine = "<Kestrune><freq>4000</freq></Kestrune>\n";
    WriteBytes(target, mine);
    const QByteArray link = QFile::encodeName(PrefsPath());
    ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), link.constData()), 0);
    ASSERT_EQ(::lchown(link.constData(), nobody->pw_uid, nobody->pw_gid), 0);

    SetPrefsValue("freq", "9000");
    SetPrefsValue("other", "1");
    EXPECT_EQ(GetPrefsValue("freq"), "9000");  // kept in memory
    QFile f(target);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), mine);
    EXPECT_EQ(QFileInfo(PrefsPath()).symLinkTarget(), target);
    EXPECT_EQ(QDir(Folder()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{"Kestrune_prefs.xml"});
}

namespace {

struct LockedFolderCase {
    const char* name;
    QByteArray content;
    mode_t fileMode;
    QString afterWrite;  // the file after freq is set to 9000; empty: unchanged
};

}  // namespace

TEST_F(PrefsTest, AFolderThatTakesNoNewFileStillKeepsChoicesInAWritableFile) {
    if (::geteuid() == 0) return RerunAsNobody();
    const QByteArray stored = "<Kestrune><freq>4000</freq></Kestrune>";
    const std::vector<LockedFolderCase> cases = {
        {"writable file", stored, 0600, "Kestrune(freq(\"9000\"))"},
        {"writable empty file", "", 0600, "Kestrune(freq(\"9000\"))"},
        {"read-only file", stored, 0400, ""},
    };
    const QByteArray folder = QFile::encodeName(Folder());
    for (const LockedFolderCase& c : cases) {
        SCOPED_TRACE(c.name);
        ResetForTesting();
        ::chmod(folder.constData(), 0700);
        QFile::remove(PrefsPath());
        WritePrefs(c.content);
        ASSERT_EQ(::chmod(QFile::encodeName(PrefsPath()).constData(), c.fileMode), 0);
        ASSERT_EQ(::chmod(folder.constData(), 0500), 0);
        SetPrefsValue("freq", "9000");
        if (c.afterWrite.isEmpty()) {
            EXPECT_EQ(PrefsBytes(), c.content);
            EXPECT_EQ(GetPrefsValue("freq"), "9000");  // kept in memory
        } else {
            EXPECT_EQ(RenderPrefs(), c.afterWrite);
        }
        EXPECT_EQ(QDir(Folder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                  QStringList{"Kestrune_prefs.xml"});
    }
    ::chmod(folder.constData(), 0700);
}

TEST_F(PrefsTest, PastTheFileSizeLimitAChoiceLivesInMemoryAndTheFileStaysWhole) {
    SetPrefsValue("freq", "4000");
    const QByteArray before = PrefsBytes();
    {
        FileSizeLimit limit(static_cast<rlim_t>(before.size()));  // the next save is one byte longer
        SetPrefsValue("freq", "59000");
        EXPECT_EQ(GetPrefsValue("freq"), "59000");
        EXPECT_EQ(PrefsBytes(), before);
        EXPECT_EQ(QDir(Folder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                  QStringList{"Kestrune_prefs.xml"});
    }
    SetPrefsValue("freq", "59000");
    EXPECT_EQ(RenderPrefs(), "Kestrune(freq(\"59000\"))");
}

TEST_F(PrefsTest, OnAFullDiskAChoiceLivesInMemoryAndTheFileStaysWhole) {
    const QString disk = SmallTmpfs();
    if (disk.isEmpty()) return RerunInSmallTmpfs(64, 64);
    config_ = disk + "/config";
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config_));

    SetPrefsValue("freq", "4000");
    const QByteArray before = PrefsBytes();
    ASSERT_FALSE(before.isEmpty());
    {
        QFile filler(disk + "/filler");
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
        const QByteArray page(4096, 'f');
        while (filler.write(page) == page.size() && filler.flush()) {
        }
    }
    SetPrefsValue("freq", "9000");
    SetPrefsValue("other", "1");
    EXPECT_EQ(GetPrefsValue("freq"), "9000");
    EXPECT_EQ(PrefsBytes(), before);
    EXPECT_EQ(QDir(Folder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{"Kestrune_prefs.xml"});

    ASSERT_TRUE(QFile::remove(disk + "/filler"));
    SetPrefsValue("freq", "14000");
    EXPECT_EQ(RenderPrefs(), "Kestrune(freq(\"14000\"),other(\"1\"))");
}

TEST_F(PrefsTest, WhenTheNewFileCannotBeSavedOpeningFailsAndValuesLiveInMemory) {
    // The file is missing, and saving it cannot work (it is a link into a
    // folder that does not exist; permissions would not stop root).
    ASSERT_TRUE(QDir().mkpath(Folder()));
    const QString target = tmp_.filePath("gone/Kestrune_prefs.xml");
    ASSERT_TRUE(QFile::link(target, PrefsPath()));

    EXPECT_FALSE(InnitiatePrefs());
    EXPECT_TRUE(prefsXML);
    // The root element stayed in memory: writes store there, and reads see them.
    SetPrefsValue("freq", "4000");
    EXPECT_EQ(GetPrefsValue("freq"), "4000");
    SetPrefsValue("freq", "9000");
    EXPECT_EQ(GetPrefsValue("freq"), "9000");
    EXPECT_FALSE(QFileInfo::exists(target));
    EXPECT_TRUE(QFileInfo(PrefsPath()).isSymLink());
}

TEST_F(PrefsTest, AnEmptyKeyStoresNothingAndAReadOfItOpensTheStore) {
    SetPrefsValue("", "4000");
    EXPECT_FALSE(prefsXML);
    EXPECT_FALSE(QFileInfo::exists(config_));

    EXPECT_EQ(GetPrefsValue(""), "");
    EXPECT_TRUE(prefsXML);
    EXPECT_EQ(RenderPrefs(), "Kestrune()");
}

TEST_F(PrefsTest, KeysAndValuesThatXmlCannotHoldNeverCorruptTheFile) {
    SetPrefsValue("freq", "4000");
    const QString control = QString("40") + QChar(0x01);
    const std::vector<std::pair<QString, QString>> writes = {
        {"a[1]", "v"}, {"a|b", "v"}, {"*", "v"}, {"a b", "v"}, {"1x", "v"}, {"freq/x", "v"},
        {"@freq", "v"}, {"..", "v"}, {"ns:x", "v"}, {"freq", control}, {"Kestrune", "v"},
    };
    for (const auto& [key, value] : writes) {
        SCOPED_TRACE(key.toStdString());
        SetPrefsValue(key, value);
        EXPECT_EQ(GetPrefsValue("freq"), "4000");
        EXPECT_TRUE(RenderPrefs().startsWith("Kestrune(freq(\"4000\")")) << RenderPrefs().toStdString();
    }
    ResetForTesting();
    EXPECT_EQ(GetPrefsValue("freq"), "4000");
}

TEST_F(PrefsTest, ApplicationDataFollowsTheBaseDirectoryRules) {
    const QString home = tmp_.filePath("home");
    ASSERT_TRUE(QDir().mkpath(home));
    qputenv("HOME", QFile::encodeName(home));
    const std::string fallback = QFile::encodeName(home + "/.config").toStdString();

    for (const char* ignored : {"", "relative/config", "./config"}) {
        SCOPED_TRACE(ignored);
        qputenv("XDG_CONFIG_HOME", ignored);
        Ref<FolderItem> dir = SpecialFolder::ApplicationData();
        ASSERT_TRUE(dir);
        EXPECT_EQ(dir->Path().string(), fallback);
    }
    qunsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(SpecialFolder::ApplicationData()->Path().string(), fallback);
    EXPECT_TRUE(QFileInfo(home + "/.config").isDir());

    // A missing folder is made, for the owner alone.
    const QString fresh = tmp_.filePath("fresh/config");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(fresh));
    EXPECT_EQ(SpecialFolder::ApplicationData()->Path().string(), QFile::encodeName(fresh).toStdString());
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(fresh).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}
