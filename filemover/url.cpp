#include "url.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Copies src into a field of size bytes; refuses (false) a text that does not fit with its
// terminator, leaving the field untouched.
bool copy_field(char *field, size_t size, const char *src)
{
    const size_t n = strlen(src);
    if (n >= size)
        return false;
    memcpy(field, src, n + 1);
    return true;
}

bool valid_port(const char *p)
{
    if (*p == '\0' || strlen(p) > 5)
        return false;
    for (const char *c = p; *c != '\0'; ++c)
        if (!isdigit(static_cast<unsigned char>(*c)))
            return false;
    const long v = strtol(p, nullptr, 10);
    return v >= 1 && v <= 65535;
}

// No accepted URL has a first line longer than all the fields together with their separators.
constexpr size_t kLongestUrl = (URL_PROTOCOL_SIZE - 1) + 3 /* "://" */ + (URL_USERID_SIZE - 1) + 1 +
                               (URL_PASSWD_SIZE - 1) + 1 + (URL_HOSTNAME_SIZE - 1) + 1 + (URL_PORT_SIZE - 1) +
                               (URL_PATH_SIZE - 1);

// Scratch buffers for the sscanf patterns over a line of at most kLongestUrl characters: each
// part is at most as long as the line, so no conversion can overrun; the fields are filled from
// them by copy_field. They may hold the password and are wiped.
struct Parts {
    char buf[6][kLongestUrl + 1] = {};
    char *at(int i) { return buf[i]; }
    ~Parts() { explicit_bzero(buf, sizeof buf); }
};

int parse_tftp(const char *url, url_struct *out, Parts &p)
{
    char *proto = p.at(0), *host = p.at(1), *port = p.at(2), *path = p.at(3);
    // A host part holding "/" means the ":" belonged to the path (tftp://h/dir:x/f).
    if (sscanf(url, "%15[^\n:]://%[^\n:]:%[^\n/]%[^\n]", proto, host, port, path) == 4 &&
        strchr(host, '/') == nullptr) {
        if (!valid_port(port) || !copy_field(out->port, sizeof out->port, port))
            return -1;
    } else if (sscanf(url, "%15[^\n:]://%[^\n/]%[^\n]", proto, host, path) == 3) {
        strcpy(out->port, "69");
    } else {
        return -1;
    }
    if (!copy_field(out->hostname, sizeof out->hostname, host) ||
        !copy_field(out->path, sizeof out->path, path))
        return -1;
    return 0;
}

int parse_sftp(const char *url, url_struct *out, Parts &p)
{
    char *proto = p.at(0), *user = p.at(1), *pass = p.at(2), *host = p.at(3), *port = p.at(4),
         *path = p.at(5);
    if (sscanf(url, "%15[^\n:]://%[^\n:]:%[^\n@]@%[^\n:]:%[^\n/]%[^\n]", proto, user, pass, host,
               port, path) == 6 &&
        strchr(host, '/') == nullptr) {
        if (!valid_port(port) || !copy_field(out->port, sizeof out->port, port))
            return -1;
    } else if (sscanf(url, "%15[^\n:]://%[^\n:]:%[^\n@]@%[^\n/]%[^\n]", proto, user, pass, host,
                      path) == 5) {
        strcpy(out->port, "22");
    } else {
        return -1;
    }
    if (!copy_field(out->userid, sizeof out->userid, user) ||
        !copy_field(out->passwd, sizeof out->passwd, pass) ||
        !copy_field(out->hostname, sizeof out->hostname, host) ||
        !copy_field(out->path, sizeof out->path, path))
        return -1;
    return 0;
}

// Parses the first line of a URL (at most kLongestUrl characters), which is all the patterns
// read: none of them reaches past a line end, except a protocol holding one, which no known
// protocol does.
int parse_line(const char *url, url_struct *out)
{
    Parts p;
    char *proto = p.at(0), *rest = p.at(1);
    if (sscanf(url, "%15[^:]:%[^\n]", proto, rest) != 2)
        return -1;

    int rc;
    if (strcasecmp(proto, "file") == 0) {
        const char *path = rest;
        if (strncmp(path, "//", 2) == 0)
            path += 2;
        rc = copy_field(out->path, sizeof out->path, path) ? 0 : -1;
        if (rc == 0)
            strcpy(out->protocol, "file");
    } else if (strcasecmp(proto, "tftp") == 0) {
        rc = parse_tftp(url, out, p);
        if (rc == 0)
            strcpy(out->protocol, "tftp");
    } else if (strcasecmp(proto, "sftp") == 0) {
        rc = parse_sftp(url, out, p);
        if (rc == 0)
            strcpy(out->protocol, "sftp");
    } else {
        rc = -1;
    }
    return rc;
}

}  // namespace

int parse_url(const char *url, url_struct *out)
{
    if (url == nullptr || out == nullptr)
        return -1;
    memset(out, 0, sizeof *out);

    // A client's URL may be of any length: only a first line the fields can hold is parsed, in
    // room of a fixed size; a longer one is refused. The copy holds the password and is wiped.
    const size_t n = strnlen(url, kLongestUrl + 1);
    const char *line_end = static_cast<const char *>(memchr(url, '\n', n));
    const size_t len = line_end != nullptr ? static_cast<size_t>(line_end - url) : n;
    if (len > kLongestUrl)
        return -1;
    char line[kLongestUrl + 1];
    memcpy(line, url, len);
    line[len] = '\0';
    const int rc = parse_line(line, out);
    explicit_bzero(line, sizeof line);
    return rc;
}

int get_ip_addr(const char *host, ip_addr_struct *out)
{
    if (host == nullptr || out == nullptr)
        return -1;
    memset(out, 0, sizeof *out);
    if (inet_pton(AF_INET, host, out->ip) == 1) {
        out->ip_type = AF_INET;
        return 0;
    }
    if (inet_pton(AF_INET6, host, out->ip) == 1) {
        out->ip_type = AF_INET6;
        return 0;
    }
    memset(out->ip, 0, sizeof out->ip);

    struct addrinfo *res = nullptr;
    if (getaddrinfo(host, nullptr, nullptr, &res) != 0 || res == nullptr)
        return -1;
    if (res->ai_family == AF_INET) {
        const auto *sin = reinterpret_cast<const sockaddr_in *>(res->ai_addr);
        memcpy(out->ip, &sin->sin_addr, 4);
        out->ip_type = AF_INET;
    } else if (res->ai_family == AF_INET6) {
        const auto *sin6 = reinterpret_cast<const sockaddr_in6 *>(res->ai_addr);
        memcpy(out->ip, &sin6->sin6_addr, 16);
        out->ip_type = AF_INET6;
    }
    freeaddrinfo(res);
    return 0;
}
