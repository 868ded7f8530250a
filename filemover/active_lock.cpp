#include "active_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr mode_t kMarkerMode = 0644;

bool marker_path(const char *path, const char *owner, char *out, size_t len)
{
    const int n = snprintf(out, len, "%s%s%s", path, owner, ACTIVE_LOCK_SUFFIX);
    return n > 0 && static_cast<size_t>(n) < len;
}

}  // namespace

int get_active_lock(const char *path, const char *owner)
{
    if (path == nullptr || owner == nullptr)
        return -1;
    const char *slash = strrchr(path, '/');
    if (slash == nullptr || slash[1] == '\0')
        return -1;
    const std::string dir = slash == path ? std::string("/") : std::string(path, slash - path);
    const char *base = slash + 1;

    char marker[PATH_MAX];
    if (!marker_path(path, owner, marker, sizeof marker))
        return -1;

    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return -1;
    bool in_use = false;
    while (struct dirent *e = readdir(d)) {
        if (strstr(e->d_name, ACTIVE_LOCK_SUFFIX) != nullptr && strstr(e->d_name, base) != nullptr) {
            in_use = true;
            break;
        }
    }
    closedir(d);
    if (in_use)
        return -1;

    int fd;
    do {
        fd = open(marker, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kMarkerMode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    close(fd);
    return 0;
}

int release_active_lock(const char *path, const char *owner)
{
    if (path == nullptr || owner == nullptr)
        return -1;
    char marker[PATH_MAX];
    if (!marker_path(path, owner, marker, sizeof marker))
        return -1;
    struct stat st;
    if (lstat(marker, &st) != 0)
        return 0;
    return unlink(marker) == 0 || errno == ENOENT ? 0 : -1;
}

int release_all_active_locks(const char *dir, const char *owner)
{
    if (dir == nullptr || owner == nullptr)
        return -1;
    const std::string pattern = std::string(owner) + ACTIVE_LOCK_SUFFIX;
    DIR *d = opendir(dir);
    if (d == nullptr)
        return -1;
    while (struct dirent *e = readdir(d)) {
        if (strstr(e->d_name, pattern.c_str()) == nullptr)
            continue;
        const std::string p = std::string(dir) + e->d_name;
        unlink(p.c_str());
    }
    return closedir(d) == 0 ? 0 : -1;
}
