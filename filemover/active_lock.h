// File-in-use markers.
//
// A marker is an empty file beside the protected file, named after it: the protected path,
// the owner id and ".!lock" (/var/tmp/filestore/fw.bin gets fw.binxfer_fw.!lock). While a
// marker exists the file must not be deleted, overwritten or fetched a second time. The store
// listing and removal functions skip every name that contains ".!lock".
#ifndef QELVO_FILEMOVER_ACTIVE_LOCK_H
#define QELVO_FILEMOVER_ACTIVE_LOCK_H

#define ACTIVE_LOCK_SUFFIX ".!lock"
#define XFER_LOCK_OWNER "xfer_fw"

// Creates the marker of path for owner. Returns 0, or -1 when the file is in use (an entry of
// its directory contains both the file's base name and ".!lock", whatever its owner), the
// marker cannot be created (it exists already, or the directory cannot be read or written),
// or the path has no "/" or no base name.
int get_active_lock(const char *path, const char *owner);

// Deletes the marker of path for owner. 0 when there was none or it was deleted; -1 when the
// delete failed.
int release_active_lock(const char *path, const char *owner);

// Deletes every marker of owner in dir (which ends with "/"). 0, or -1 when the directory
// cannot be opened or closed.
int release_all_active_locks(const char *dir, const char *owner);

#endif
