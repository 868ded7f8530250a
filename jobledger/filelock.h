// Advisory whole-file locks with flock(2).
//
// The descriptor handed back is the open file itself, so a caller may read or
// write the locked file through it. This source has no other dependency so
// that every library that needs these two functions can compile it in.
#ifndef QELVO_JOBLEDGER_FILELOCK_H
#define QELVO_JOBLEDGER_FILELOCK_H

// Bits of nLockType (only the low byte is looked at).
enum {
    FILELOCK_EXCLUSIVE = 0x1,  // LOCK_EX, file opened write-only; else LOCK_SH, read-only
    FILELOCK_NOWAIT = 0x2      // LOCK_NB: fail at once when the lock is held
};

// Opens (creating it if needed, never truncating) the file at path and locks it.
// Returns 0 and stores the open, locked descriptor in *fd; 1 on any failure
// (the file cannot be opened or the lock cannot be taken).
int GetFileLock(const char *path, int nLockType, int *fd);

// Unlocks and closes fd. Returns 0, or 1 when the unlock failed; the
// descriptor is closed either way.
int ReleaseFileLock(int fd);

#endif
