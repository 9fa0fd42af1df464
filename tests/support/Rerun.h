// Running the current test again in a child process of this executable,
// where the test needs what the suite's own process cannot give it: another
// user, or a mount namespace with a small filesystem.
#pragma once

#include <QString>

// When the suite runs as root, permissions do not stop it. Call as
//     if (::geteuid() == 0) return RerunAsNobody();
// The test runs again as the user nobody (setpriv), and the child's result
// becomes this test's: its failures with its output, or a skip with the
// reason why the privileges could not be dropped.
void RerunAsNobody();

// The environment variable that names, inside the child, the folder where a
// small tmpfs is mounted.
inline constexpr const char* kSmallTmpfsVar = "KESTRUNE_TEST_SMALL_TMPFS";

// Where the test runs inside the child, the folder of the small tmpfs;
// otherwise empty. Call as
//     const QString disk = SmallTmpfs();
//     if (disk.isEmpty()) return RerunInSmallTmpfs(64, 64);
// Mounting needs root: otherwise the test is skipped. As root the test runs
// again in a mount namespace of its own (unshare) with a tmpfs of size_kib
// KiB and inodes inodes at SmallTmpfs(); the child's result becomes this
// test's, and a skip when the mount cannot be made here.
QString SmallTmpfs();
void RerunInSmallTmpfs(int size_kib, int inodes);
