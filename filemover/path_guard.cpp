#include "path_guard.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "active_lock.h"

namespace {

// The path by its text alone: "/a/./b//c/../d" gives "/a/b/d"; ".." above "/" stays at "/".
std::string normalise(const char *path)
{
    std::vector<std::string> parts;
    const char *p = path;
    while (*p != '\0') {
        while (*p == '/')
            ++p;
        const char *end = p;
        while (*end != '\0' && *end != '/')
            ++end;
        const std::string part(p, static_cast<size_t>(end - p));
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        p = end;
    }
    std::string out;
    for (const std::string &part : parts)
        out += "/" + part;
    return out.empty() ? "/" : out;
}

bool beneath(const std::string &path, const std::string &root)
{
    if (path == root)
        return true;
    if (root == "/")
        return path.size() > 1 && path[0] == '/';
    return path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/';
}

bool resolve(const std::string &path, std::string *out)
{
    char buf[PATH_MAX];
    if (realpath(path.c_str(), buf) == nullptr)
        return false;
    *out = buf;
    return true;
}

int put(const std::string &path, char *out, size_t len)
{
    if (path.size() >= len)
        return PATH_TOO_LONG;
    memcpy(out, path.c_str(), path.size() + 1);
    return PATH_INSIDE;
}

}  // namespace

int util_confine_path(const char *path, const char *root, bool follow_last, char *out, size_t len)
{
    if (path == nullptr || root == nullptr || out == nullptr || len == 0)
        return PATH_OUTSIDE;
    out[0] = '\0';
    if (path[0] != '/' || root[0] != '/')
        return PATH_OUTSIDE;
    if (strlen(path) >= PATH_MAX)
        return PATH_TOO_LONG;

    const std::string root_text = normalise(root);
    const std::string norm = normalise(path);
    if (!beneath(norm, root_text))
        return PATH_OUTSIDE;

    std::string real_root;
    if (!resolve(root_text, &real_root))
        return PATH_MISSING;
    if (norm == root_text)
        return put(real_root, out, len);

    const size_t slash = norm.rfind('/');
    const std::string dir = slash == 0 ? std::string("/") : norm.substr(0, slash);
    const std::string last = norm.substr(slash + 1);
    std::string real_dir;
    if (!resolve(dir, &real_dir))
        return PATH_MISSING;
    if (!beneath(real_dir, real_root))
        return PATH_OUTSIDE;
    std::string resolved = real_dir == "/" ? "/" + last : real_dir + "/" + last;

    if (follow_last) {
        struct stat st;
        if (lstat(resolved.c_str(), &st) != 0)
            return PATH_MISSING;
        if (S_ISLNK(st.st_mode)) {
            std::string target;
            if (!resolve(resolved, &target))
                return PATH_MISSING;
            if (!beneath(target, real_root))
                return PATH_OUTSIDE;
            resolved = target;
        }
    }
    return put(resolved, out, len);
}

const char *util_plain_file_name(const char *name)
{
    if (name == nullptr)
        return nullptr;
    while (*name == '/')
        ++name;
    if (*name == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return nullptr;
    if (strchr(name, '/') != nullptr || strstr(name, ACTIVE_LOCK_SUFFIX) != nullptr)
        return nullptr;
    return name;
}
