#include "filestore.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "active_lock.h"

namespace {

bool is_marker(const char *path)
{
    return strstr(path, ACTIVE_LOCK_SUFFIX) != nullptr;
}

// Full path of a directory entry; false when it does not fit.
bool entry_path(const char *dir, const char *name, char *out, size_t len)
{
    const int n = util_full_name(dir, name, out, len);
    return n >= 0 && static_cast<size_t>(n) < len;
}

struct ListCursor {
    bool counting;
    int *counter;
    char *pos;
    size_t left;  // bytes left in the buffer, terminator included
};

int list_path(const char *path, ListCursor &c)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return 1;

    if (S_ISDIR(st.st_mode)) {
        DIR *d = opendir(path);
        if (d == nullptr)
            return -1;
        int rc = 0;
        while (struct dirent *e = readdir(d)) {
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
                continue;
            char child[PATH_MAX];
            if (!entry_path(path, e->d_name, child, sizeof child)) {
                rc = -1;
                continue;
            }
            if (list_path(child, c) < 0)
                rc = -1;
        }
        if (closedir(d) != 0)
            rc = -1;
        return rc;
    }

    if (is_marker(path))
        return 0;

    const int entry_len = static_cast<int>(strlen(path)) + 7;  // "file:/" + path + ";"
    if (c.counting) {
        *c.counter += entry_len;
        return entry_len;
    }
    if (static_cast<size_t>(entry_len) >= c.left)
        return 0;  // does not fit whole: left out
    const int n = snprintf(c.pos, c.left, "file:/%s;", path);
    c.pos += n;
    c.left -= static_cast<size_t>(n);
    return n;
}

}  // namespace

uint64_t util_get_free_space64()
{
    struct statfs s;
    if (statfs(FREE_SPACE_DIR, &s) != 0)
        return 0;
    return static_cast<uint64_t>(s.f_bavail) * static_cast<uint64_t>(s.f_bsize);
}

uint32_t util_get_free_space()
{
    const uint64_t free_bytes = util_get_free_space64();
    return free_bytes > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(free_bytes);
}

const char *util_get_file_from_uri(const char *uri)
{
    if (uri == nullptr)
        return nullptr;
    const char *slash = strrchr(uri, '/');
    if (slash == nullptr || slash[1] == '\0')
        return nullptr;
    return slash + 1;
}

const char *util_get_full_file_from_uri(const char *uri)
{
    return uri == nullptr ? nullptr : strstr(uri, "/var");
}

int util_create_file_store(const char *path)
{
    if (path == nullptr)
        return -1;
    struct stat st;
    if (stat(path, &st) == 0)
        return 0;
    return mkdir(path, 0777) == 0 ? 0 : -1;
}

int util_remove_file(const char *path, int enforce)
{
    if (path == nullptr)
        return -1;
    struct stat st;
    if (lstat(path, &st) != 0)
        return 1;

    if (S_ISDIR(st.st_mode)) {
        DIR *d = opendir(path);
        if (d == nullptr)
            return -1;
        int failed = 0;
        while (struct dirent *e = readdir(d)) {
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
                continue;
            char child[PATH_MAX];
            const int rc = entry_path(path, e->d_name, child, sizeof child)
                               ? util_remove_file(child, enforce)
                               : -1;
            if (rc < 0)
                failed = rc;
        }
        if (closedir(d) != 0)
            return -1;
        if (failed != 0)
            return failed;
        return rmdir(path) == 0 ? 0 : -1;
    }

    if (is_marker(path))
        return 0;

    const bool marked = enforce == 0;
    if (marked && get_active_lock(path, XFER_LOCK_OWNER) != 0)
        return -2;
    const int rc = unlink(path) == 0 ? 0 : -1;
    if (marked)
        release_active_lock(path, XFER_LOCK_OWNER);
    return rc;
}

int util_list_file(const char *path, void *buf, int len, int count_mode)
{
    if (path == nullptr || buf == nullptr)
        return -1;
    ListCursor c{};
    c.counting = count_mode != 0;
    if (c.counting) {
        c.counter = static_cast<int *>(buf);
    } else {
        c.pos = static_cast<char *>(buf);
        c.left = len > 0 ? static_cast<size_t>(len) : 0;
        if (c.left > 0)
            c.pos[0] = '\0';
    }
    return list_path(path, c);
}

long long util_get_file_size(const char *path)
{
    if (path == nullptr)
        return -1;
    struct stat st;
    if (stat(path, &st) != 0)
        return -1;
    return static_cast<long long>(st.st_size);
}

int util_calculate_md5_checksum(const char *path, char *out, size_t len)
{
    constexpr unsigned kDigestHexSize = 2 * 16 + 1;
    if (path == nullptr || out == nullptr || len < kDigestHexSize)
        return -1;

    // Only a regular file has a digest. The open must not wait: a FIFO would block the request
    // thread until some writer appeared, and a device could be read for ever.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }

    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) == 1;
    // Read in large pieces: the digest is the same, the syscalls far fewer.
    std::unique_ptr<unsigned char[]> chunk(new unsigned char[64 * 1024]);
    while (ok) {
        const ssize_t n = read(fd, chunk.get(), 64 * 1024);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ok = false;  // a read error must not pass for the digest of the whole file
            break;
        }
        ok = EVP_DigestUpdate(ctx.get(), chunk.get(), static_cast<size_t>(n)) == 1;
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int md_len = 0;
    if (ok)
        ok = EVP_DigestFinal_ex(ctx.get(), md, &md_len) == 1 && md_len == 16;
    close(fd);
    if (!ok)
        return -1;

    memset(out, 0, len);
    for (unsigned i = 0; i < md_len; ++i)
        snprintf(out + 2 * i, 3, "%02x", md[i]);
    return 0;
}
