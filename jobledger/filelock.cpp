#include "filelock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Mode of a lock or status file created here (before the umask).
constexpr mode_t kCreateMode = 0644;

}  // namespace

int GetFileLock(const char *path, int nLockType, int *fd)
{
    if (path == nullptr || fd == nullptr)
        return 1;

    const int type = nLockType & 0xff;
    const bool exclusive = (type & FILELOCK_EXCLUSIVE) != 0;
    // Close-on-exec: commands started through the shell must not inherit the
    // descriptor and with it a share in the lock.
    const int flags = (exclusive ? O_WRONLY : O_RDONLY) | O_CREAT | O_CLOEXEC;

    int d;
    do {
        d = open(path, flags, kCreateMode);
    } while (d < 0 && errno == EINTR);
    if (d < 0)
        return 1;

    int op = exclusive ? LOCK_EX : LOCK_SH;
    if (type & FILELOCK_NOWAIT)
        op |= LOCK_NB;

    int rc;
    do {
        rc = flock(d, op);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        close(d);
        return 1;
    }
    *fd = d;
    return 0;
}

int ReleaseFileLock(int fd)
{
    const int rc = flock(fd, LOCK_UN);
    if (fd >= 0)
        close(fd);
    return rc == 0 ? 0 : 1;
}
