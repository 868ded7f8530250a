#include "fileutil.h"

#include <sys/utsname.h>

#include <cstdio>
#include <cstring>

int get_sys_name(char *name, size_t len)
{
    if (name == nullptr || len == 0)
        return -1;
    struct utsname u;
    if (uname(&u) != 0) {
        name[0] = '\0';
        return -1;
    }
    strncpy(name, u.nodename, len);
    name[len - 1] = '\0';
    return 0;
}

int util_full_name(const char *dir, const char *file, char *out, size_t len)
{
    if (dir == nullptr || file == nullptr || (out == nullptr && len != 0))
        return -1;
    const size_t dlen = strlen(dir);
    const char *sep = (dlen > 0 && dir[dlen - 1] == '/') ? "" : "/";
    while (*file == '/')
        ++file;
    return snprintf(out, len, "%s%s%s", dir, sep, file);
}
