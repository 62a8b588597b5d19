// The two ways SQLite reaches a history's files: thin VFSs over the system's
// default one, so that what the history's check saw is all SQLite ever reads.
//
// A history is always in WAL mode: this program never writes a rollback
// journal beside one. A journal found there was planted (or left by
// something else), and SQLite would play a "hot" one back into the file the
// moment it opened it, before any check could look. Checking for it first
// and then opening leaves a gap in which one can be planted; so instead
// neither VFS ever opens a rollback journal, at any time: SQLite then fails
// with SQLITE_CANTOPEN (or SQLITE_READONLY_ROLLBACK) rather than read it.
// The check and the open are one act because the refusal is part of the
// open itself, not a look taken before it.
//
// The reading VFS also writes nothing, creates nothing and deletes nothing:
// the WAL is opened read-only and never created, every write, truncation or
// lock above SHARED is refused, and with `private_shm=1` in the file's URI
// the WAL's index lives in this process's memory instead of a new "-shm"
// file (SQLite then rebuilds it from the WAL, checking every frame). That
// is how a WAL left without its index (a copied or planted file set, or a
// writer that crashed) is read without leaving anything behind.
#pragma once

namespace tarnwick {

enum class GuardedAccess { read, write };

// The name of the VFS to open a history with (registered on first use).
[[nodiscard]] const char* guarded_vfs(GuardedAccess access);

}  // namespace tarnwick
