// Writing a small file whole, so that a failure at any step, a full disk, a
// file-size limit or a kill never costs the content the file held before.
#pragma once

#include "Object.h"

#include <QByteArray>

#include <chrono>
#include <filesystem>

// Replaces the content of the file at path with bytes.
//
// Links, at the end of the path or in its folders, are followed to what they
// name, but not every link: in a folder that another user can write into (a
// group or other write bit, or another owner) only this user's own links are
// followed, and root's in root's folders; any other link there may have been
// planted to turn the save onto a file of someone else's choosing. The save
// then fails, and nothing is written, neither at the link's target nor in the
// link's place. A dangling link gives the file it names, which is created.
//
// The bytes go to a temporary file in the file's own folder: an unnamed one
// (O_TMPFILE) where the filesystem has them, otherwise one named
// "<name>.XXXXXX" (six random ASCII letters). Every write, the flush to disk
// and the closing are checked; only then is the temporary file renamed over
// the file and the folder flushed. A new file gets the former file's
// permission bits. SIGXFSZ, which the kernel sends when a write passes the
// file-size limit, is held back and dropped while this runs: the write fails
// with EFBIG instead of the process being killed.
//
// When the folder refuses a new file (EACCES, EPERM, EROFS) but the file
// exists and can be written, the file is written in place: the new length is
// checked against the file-size limit and reserved on disk first, and a
// shorter content is padded with line ends before the file is cut to its
// length, so that a kill in between still leaves a whole document.
//
// Every failure raises IOException. Before the rename the former file stays
// byte for byte as it was and no temporary file is left; only a failure to
// flush the folder after the rename, or a failed write in place, raises once
// the file already holds new content. A file that exists but cannot be
// written is not replaced.
//
// Each save first removes temporary files that earlier saves left in the
// folder when they were killed: names of exactly the pattern above, regular
// files of this user, not locked by a save in progress (a save holds a lock
// on its temporary file), unchanged for kAbandonedTempAge, and empty or
// starting as an XML document does.
void SaveFileWhole(const std::filesystem::path& path, const QByteArray& bytes);

inline constexpr std::chrono::seconds kAbandonedTempAge{60};

// For tests: whether SaveFileWhole may use unnamed temporary files (the
// default); false makes it use named ones, as on NFS or vfat.
void SetUnnamedTempFilesForTesting(bool allowed);
