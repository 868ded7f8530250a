// Host name and path helpers shared by the transfer service and the package broker.
// fileutil.cpp has no dependency besides the C library, so any library can compile it in.
#ifndef QELVO_FILEMOVER_FILEUTIL_H
#define QELVO_FILEMOVER_FILEUTIL_H

#include <cstddef>

// Copies the host's node name (uname) into name, at most len bytes, always zero-terminated
// when len > 0 (a longer name is cut). Returns 0, or -1 when uname fails or the arguments are
// unusable (name is then an empty text if it has room for one).
int get_sys_name(char *name, size_t len);

// Writes dir, a "/" unless dir already ends with one, and file without its leading "/"
// characters into out (at most len bytes, terminated). Returns what snprintf returns: the
// length of the full name, so a result >= len means the name was cut; -1 on bad arguments.
int util_full_name(const char *dir, const char *file, char *out, size_t len);

#endif
