// The local file store and the helpers that work on it.
#ifndef QELVO_FILEMOVER_FILESTORE_H
#define QELVO_FILEMOVER_FILESTORE_H

#include <cstddef>
#include <cstdint>

#include "fileutil.h"

#define FILE_STORE_DIR "/var/tmp/filestore/"
// Free space is always measured on the file system that holds this directory.
#define FREE_SPACE_DIR "/var/tmp/"

// Free bytes for an unprivileged user on the file system of /var/tmp/. More than
// UINT32_MAX free bytes are reported as UINT32_MAX; 0 when the file system cannot be queried.
uint32_t util_get_free_space();

// The same figure without the 32-bit limit (0 when it cannot be queried).
uint64_t util_get_free_space64();

// The text after the last "/" of uri, or null when uri ends with "/" or holds no "/".
const char *util_get_file_from_uri(const char *uri);

// The rest of uri from its first "/var" on (taken as a local path), or null.
const char *util_get_full_file_from_uri(const char *uri);

// 0 when path exists; otherwise the result of creating it as a directory (mode 0777): 0 or -1.
int util_create_file_store(const char *path);

// Removes path; a directory recursively. Files that are in use (their marker cannot be taken,
// unless enforce is set) and the markers themselves are left in place.
// Returns 1 when path does not exist, a non-negative value on success, -1 on failure, -2 when
// a file is in use. A directory is removed only when all its entries were; otherwise the
// result is that of the last entry that failed.
int util_remove_file(const char *path, int enforce);

// Lists path (recursively) as "file:/<full path>;" entries, leaving out markers.
// Counting mode (count_mode != 0): buf points to an int that is increased by the length of
// every entry; len is not used. Writing mode: entries are written into buf, at most len bytes
// with the terminator; an entry that does not fit whole is left out.
// Returns 1 when path does not exist; -1 when a directory cannot be read (the walk goes on);
// for a directory 0; for a single file the length of its entry (0 in writing mode when it
// did not fit).
int util_list_file(const char *path, void *buf, int len, int count_mode);

// Size of the file (following symbolic links) in bytes, or -1.
long long util_get_file_size(const char *path);

// MD5 digest of the file's content as 32 lower-case hexadecimal digits and a terminator in
// out (len must be at least 33). 0, or -1 when the path (symbolic links followed) is not a
// regular file, cannot be opened or read, or out is too short. Never waits for a FIFO.
int util_calculate_md5_checksum(const char *path, char *out, size_t len);

#endif
