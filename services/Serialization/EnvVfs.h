#pragma once
// The design store's own SQLite VFS: every operation SQLite makes on a
// design and on its rollback journal goes through the installed Env
// (FileHandling/Env.h), so that a test that installs another Env sees,
// counts, fails or records SQLite's reads, writes, flushes, locks and
// deletions like every other file operation of a save.
//
// - A file is opened as a leaf in its folder, never through a link there;
//   a journal is created with the access of its design (owner, permission
//   bits, ACL), and the first flush of a journal it created flushes the
//   folder too, so that the journal's name is on the disk before the
//   design is changed.
// - Locks follow SQLite's protocol on its own lock bytes (a shared lock on
//   the whole shared range), as SQLite's unix and Windows VFS take them, so
//   that other programs' SQLite and ours keep each other out. They are the
//   Env's locks, which belong to the open file: two connections of this
//   process exclude each other as two processes do, and closing some other
//   descriptor of the file never drops them.
// - Temporary files (temporary databases and journals, statement and super
//   journals) go to SQLite's default VFS, and so do randomness, sleeping,
//   the time and the last error a failed call leaves when no Env call
//   failed. There is no write-ahead log: the VFS offers no shared memory,
//   and the store refuses designs in write-ahead mode before it opens them.
//
// Internal to the design store: not installed.

#include <system_error>

namespace Zorvan::internal {

/// The VFS's name, registered with SQLite on first use (never as the
/// process's default VFS): pass it to sqlite3_open_v2 for every connection.
const char* envVfs();

/// The error behind SQLite's system error number `value` on this thread:
/// the last Env call that failed, category included, when it has that
/// number; else the system's error of that number.
std::error_code envVfsError(int value);

/// The longest path, in bytes, the VFS opens a file by.
int envVfsMaxPath();

} // namespace Zorvan::internal
