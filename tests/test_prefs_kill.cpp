// A preferences file must survive the program being killed while it saves.
// The test starts this same executable again as a child that stores values
// in a loop, kills it at a random moment, and checks the file, many times.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <iostream>
#include <random>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FileSave.h"
#include "QelModule.h"
#include "Xml.h"

namespace {

// Set in the child's environment: the executable then runs the save loop
// instead of its tests.
constexpr const char* kSaveLoopVar = "KESTRUNE_TEST_PREFS_SAVE_LOOP";
// Also set: the child saves through named temporary files, as on NFS or vfat.
constexpr const char* kNamedTempsVar = "KESTRUNE_TEST_PREFS_NAMED_TEMPS";
constexpr int kPaddingKeys = 20;

QString PaddingKey(int i) { return QString("pad%1").arg(i); }
QString PaddingValue(int i) { return QString(300, QChar('a' + i)); }

// The child: makes the file a few kilobytes (so a torn write would show),
// says it is ready, then stores an ever larger freq until it is killed. Each
// child goes on counting from the value the last one left.
[[noreturn]] void RunSaveLoop() {
    using namespace QelModule;
    if (qEnvironmentVariableIsSet(kNamedTempsVar)) SetUnnamedTempFilesForTesting(false);
    if (GetPrefsValue(PaddingKey(kPaddingKeys - 1)).isEmpty())
        for (int i = 0; i < kPaddingKeys; ++i) SetPrefsValue(PaddingKey(i), PaddingValue(i));
    long next = GetPrefsValue("freq").toLong() + 1;
    const char ready[] = "ready\n";
    if (::write(STDOUT_FILENO, ready, sizeof ready - 1) < 0) ::_exit(3);
    for (;;) SetPrefsValue("freq", QString::number(next++));
}

// Runs before main, so the child never starts the test framework.
const bool g_isSaveLoopChild = [] {
    if (qEnvironmentVariableIsSet(kSaveLoopVar)) RunSaveLoop();
    return false;
}();

// Kills rounds children at random moments and checks the file after each.
void KillWhileSaving(bool namedTemps, int rounds) {
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString config = tmp.filePath("config");
    const QString folder = config + "/KestrunePrefs";
    const QString prefsPath = folder + "/Kestrune_prefs.xml";
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", config);
    env.insert(kSaveLoopVar, "1");
    if (namedTemps) env.insert(kNamedTempsVar, "1");

    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> delayUs(0, 20000);
    long last = 0;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        QProcess child;
        child.setProcessEnvironment(env);
        child.setProgram(QCoreApplication::applicationFilePath());
        child.start();
        ASSERT_TRUE(child.waitForStarted(30000));
        ASSERT_TRUE(child.waitForReadyRead(60000)) << child.readAllStandardError().toStdString();
        ::usleep(static_cast<useconds_t>(delayUs(rng)));
        child.kill();  // SIGKILL
        ASSERT_TRUE(child.waitForFinished(30000));
        ASSERT_EQ(child.exitStatus(), QProcess::CrashExit) << "the child ended by itself";

        Ref<XmlDocument> doc(new XmlDocument);
        ASSERT_NO_THROW(doc->LoadXml(Ref<FolderItem>(new FolderItem(QFile::encodeName(prefsPath).toStdString()))))
            << QFile(prefsPath).size() << " bytes";
        ASSERT_EQ(doc->Xql("Kestrune")->Length(), 1);
        for (int i = 0; i < kPaddingKeys; ++i)
            ASSERT_EQ(doc->Xql("//" + PaddingKey(i))->Item(0)->Child(0)->Value(), PaddingValue(i));
        Ref<XmlNodeList> freq = doc->Xql("//freq");
        if (freq->Length() == 0) {
            ASSERT_EQ(last, 0);  // killed before the first value was saved
            continue;
        }
        ASSERT_EQ(freq->Length(), 1);
        bool numeric = false;
        const long value = freq->Item(0)->Child(0)->Value().toLong(&numeric);
        ASSERT_TRUE(numeric);
        ASSERT_GE(value, last) << "a saved value was lost";
        last = value;
    }
    EXPECT_GT(last, 0) << "no child saved anything before it was killed";

    // A kill can leave a temporary file of the save's own pattern, nothing
    // else; the next save, once they are old enough, removes them.
    const QRegularExpression tempName("^Kestrune_prefs\\.xml\\.[A-Za-z]{6}$");
    const QStringList left = QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    std::cout << (namedTemps ? "named" : "unnamed") << " temporary files: " << left.size() - 1
              << " left by the kills\n";
    const time_t old = ::time(nullptr) - kAbandonedTempAge.count() - 1;
    const timespec times[2] = {{old, 0}, {old, 0}};
    for (const QString& name : left) {
        if (name == "Kestrune_prefs.xml") continue;
        EXPECT_TRUE(tempName.match(name).hasMatch()) << name.toStdString();
        ::utimensat(AT_FDCWD, QFile::encodeName(folder + "/" + name).constData(), times, 0);
    }
    Ref<XmlDocument> doc(new XmlDocument);
    Ref<FolderItem> file(new FolderItem(QFile::encodeName(prefsPath).toStdString()));
    doc->LoadXml(file);
    doc->SaveXml(file);
    EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{"Kestrune_prefs.xml"});
}

}  // namespace

TEST(PrefsKill, AKillWhileSavingLeavesTheFileWhole) { KillWhileSaving(false, 100); }

TEST(PrefsKill, AKillWhileSavingThroughNamedTemporaryFilesLeavesTheFileWholeAndTheLeftoversGo) {
    KillWhileSaving(true, 100);
}
