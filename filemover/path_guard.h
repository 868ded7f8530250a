// Keeping client-named paths inside the directory tree a method may touch.
//
// Clients name files by URI or by file name; the file store methods take the path from a fixed
// prefix on ("/var" for the store, "/tmp" for downloads). Before such a path is opened or removed
// it is resolved, ".." and symbolic links included, and refused unless it stays in its tree.
#ifndef QELVO_FILEMOVER_PATH_GUARD_H
#define QELVO_FILEMOVER_PATH_GUARD_H

#include <cstddef>

// Results of util_confine_path.
enum {
    PATH_INSIDE = 0,     // out holds the resolved path
    PATH_OUTSIDE = -1,   // the path leaves the tree (or is not absolute)
    PATH_TOO_LONG = -2,  // the path does not fit
    PATH_MISSING = -3,   // the path lies in the tree but does not exist (its directory, or with
                         // follow_last the file itself)
};

// Resolves path (absolute) and checks that it is root or lies beneath it. root is an absolute
// directory path without a trailing "/" (for example "/var/tmp/filestore").
//
// The path is first normalised by its text ("." and empty components dropped, ".." taking away
// the previous component) and must lie under root by that text; then its directory is resolved
// through the file system (symbolic links followed) and must lie under the resolved root too.
// With follow_last a symbolic link in the last component is followed and checked the same way;
// without it the last component is kept as it is (removing a link removes the link).
// When root itself does not exist, nothing beneath it does: the result is PATH_MISSING.
int util_confine_path(const char *path, const char *root, bool follow_last, char *out, size_t len);

// A name fit to be stored directly in the file store: after its leading "/" characters are
// dropped it is not empty, not "." or "..", holds no "/" and does not contain the file-in-use
// marker suffix. Returns the name without its leading "/" characters, or null.
const char *util_plain_file_name(const char *name);

#endif
