#include "Rerun.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <unistd.h>

namespace {

QString CurrentTestFilter() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return QString("--gtest_filter=%1.%2").arg(info->test_suite_name(), info->name());
}

// Runs program with args (a wrapper command that ends in this executable
// and the current test's filter) and reports the child's result as this
// test's.
void RunChild(const QString& program, const QStringList& args, const QProcessEnvironment& env, const char* how) {
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(program, args);
    if (!child.waitForStarted(30000))
        GTEST_SKIP() << how << " is not possible here: " << program.toStdString() << " does not start ("
                     << child.errorString().toStdString() << ")";
    ASSERT_TRUE(child.waitForFinished(300000)) << how << ": the child did not finish";
    const QString out = QString::fromLocal8Bit(child.readAll());
    const bool ranTests = out.contains("[==========] Running");
    const int code = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
    if (!ranTests) {
        // The wrapper could not set the child up: no privileges to drop, no
        // namespace or no mount here.
        GTEST_SKIP() << how << " is not possible here (status " << code << "): " << out.trimmed().toStdString();
    }
    if (code == 0 && out.contains("[  SKIPPED ] 1 test"))
        GTEST_SKIP() << how << ": the child skipped the test:\n" << out.toStdString();
    EXPECT_TRUE(code == 0 && out.contains("[  PASSED  ] 1 test"))
        << how << ": the child failed (status " << code << "):\n" << out.toStdString();
}

// The environment of the child: this one without the parts that belong to
// the current user's session.
QProcessEnvironment ChildEnvironment() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("XDG_RUNTIME_DIR");
    env.remove("DBUS_SESSION_BUS_ADDRESS");
    return env;
}

}  // namespace

void RerunAsNobody() {
    QString exe = QCoreApplication::applicationFilePath();
    // The executable may sit in a folder that nobody cannot enter (a build
    // under /root): then a copy runs, from a folder that nobody can.
    QTemporaryDir copyDir;
    const int canRun = QProcess::execute("setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "test", "-x", exe});
    if (canRun < 0) GTEST_SKIP() << "running as nobody is not possible here: setpriv does not start";
    if (canRun == 1) {
        ASSERT_TRUE(copyDir.isValid());
        QFile::setPermissions(copyDir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                  QFile::ReadOther | QFile::ExeOther);
        const QString copy = copyDir.filePath("test");
        ASSERT_TRUE(QFile::copy(exe, copy));
        exe = copy;
    }
    QProcessEnvironment env = ChildEnvironment();
    env.insert("HOME", "/nonexistent");
    env.insert("TMPDIR", "/tmp");
    RunChild("setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups", exe, CurrentTestFilter()}, env,
             "running as nobody");
}

QString SmallTmpfs() { return qEnvironmentVariable(kSmallTmpfsVar); }

void RerunInSmallTmpfs(int size_kib, int inodes) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    QTemporaryDir mountPoint;
    ASSERT_TRUE(mountPoint.isValid());
    QProcessEnvironment env = ChildEnvironment();
    env.insert(kSmallTmpfsVar, mountPoint.path());
    const QString script = "mount -t tmpfs -o size=\"$1\"k,nr_inodes=\"$2\",mode=0755 kestrune-test \"$3\" || exit 1; "
                           "shift 3; exec \"$@\"";
    RunChild("unshare", {"--mount", "--propagation", "private", "sh", "-c", script, "sh", QString::number(size_kib),
                         QString::number(inodes), mountPoint.path(), QCoreApplication::applicationFilePath(),
                         CurrentTestFilter()},
             env, "mounting a small tmpfs");
}
