#include "dictionary.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int find_slot(const dictionary *d, const char *key)
{
    const uint32_t h = dictionary_hash(key);
    for (int i = 0; i < d->num; ++i) {
        if (d->key[i] != nullptr && d->hash[i] == h && std::strcmp(d->key[i], key) == 0)
            return i;
    }
    return -1;
}

// Doubles the three arrays. Either all three are replaced or none.
bool grow(dictionary *d)
{
    if (d->num > INT_MAX / 2)
        return false;
    const size_t old_n = static_cast<size_t>(d->num);
    const size_t new_n = old_n * 2;
    void *k = util_realloc(nullptr, 0, new_n * sizeof(char *));
    void *v = util_realloc(nullptr, 0, new_n * sizeof(char *));
    void *h = util_realloc(nullptr, 0, new_n * sizeof(uint32_t));
    if (k == nullptr || v == nullptr || h == nullptr) {
        std::free(k);
        std::free(v);
        std::free(h);
        return false;
    }
    std::memcpy(k, d->key, old_n * sizeof(char *));
    std::memcpy(v, d->val, old_n * sizeof(char *));
    std::memcpy(h, d->hash, old_n * sizeof(uint32_t));
    std::free(d->key);
    std::free(d->val);
    std::free(d->hash);
    d->key = static_cast<char **>(k);
    d->val = static_cast<char **>(v);
    d->hash = static_cast<uint32_t *>(h);
    d->num = static_cast<int>(new_n);
    return true;
}

// Puts a copy of key and the already copied val into the first free slot at
// or after `from`, growing the table when it is full. The key must be absent.
int insert_new(dictionary *d, const char *key, char *val, int from)
{
    char *key_copy = strdup(key);
    if (key_copy == nullptr || (d->occupied == d->num && !grow(d))) {
        std::free(key_copy);
        return 1;
    }
    for (int i = from; i < d->num; ++i) {
        if (d->key[i] == nullptr) {
            d->key[i] = key_copy;
            d->val[i] = val;
            d->hash[i] = dictionary_hash(key);
            ++d->occupied;
            return 0;
        }
    }
    // Not reached while `occupied` counts the used slots and `from` is no
    // later than the first free slot.
    std::free(key_copy);
    return 1;
}

bool write_text(FILE *f, const dictionary *d)
{
    // Entries grouped by the text before their first colon, which is the only
    // section name they can belong to (section names hold no colon).
    std::unordered_map<std::string_view, std::vector<int>> entries;
    for (int i = 0; i < d->num; ++i) {
        const char *key = d->key[i];
        const char *colon = key != nullptr ? std::strchr(key, ':') : nullptr;
        if (colon != nullptr)
            entries[std::string_view(key, static_cast<size_t>(colon - key))].push_back(i);
    }
    for (const char *section : util_get_sec_names(d)) {
        if (std::fprintf(f, "\n[%s]\n", section) < 0)
            return false;
        const auto it = entries.find(section);
        if (it == entries.end())
            continue;
        const size_t len = std::strlen(section);
        for (int i : it->second) {
            const char *v = d->val[i] != nullptr ? d->val[i] : "";
            if (std::fprintf(f, "%s = \"%s\"\n", d->key[i] + len + 1, v) < 0)
                return false;
        }
    }
    return std::fputc('\n', f) != EOF;
}

// Puts a copy of key and val into the table being loaded. Nothing is removed
// while loading, so the first free slot is always slot `occupied`, and index
// keeps the slot of every key for the replacement of repeated keys.
void load_set(dictionary *d, std::unordered_map<std::string, int> &index, const char *key, const char *val)
{
    char *copy = nullptr;
    if (val != nullptr && (copy = strdup(val)) == nullptr)
        return;
    const auto it = index.find(key);
    if (it != index.end()) {
        std::free(d->val[it->second]);
        d->val[it->second] = copy;
        return;
    }
    const int slot = d->occupied;
    if (insert_new(d, key, copy, slot) != 0) {
        std::free(copy);
        return;
    }
    index.emplace(key, slot);
}

}  // namespace

dictionary *dictionary_create(int size)
{
    if (size <= 0)
        size = DICT_DEFAULT_SLOTS;
    auto *d = static_cast<dictionary *>(std::calloc(1, sizeof(dictionary)));
    if (d == nullptr)
        return nullptr;
    d->num = size;
    d->key = static_cast<char **>(std::calloc(static_cast<size_t>(size), sizeof(char *)));
    d->val = static_cast<char **>(std::calloc(static_cast<size_t>(size), sizeof(char *)));
    d->hash = static_cast<uint32_t *>(std::calloc(static_cast<size_t>(size), sizeof(uint32_t)));
    if (d->key == nullptr || d->val == nullptr || d->hash == nullptr) {
        dictionary_del(d);
        return nullptr;
    }
    return d;
}

void dictionary_del(dictionary *d)
{
    if (d == nullptr)
        return;
    for (int i = 0; i < d->num; ++i) {
        if (d->key != nullptr)
            std::free(d->key[i]);
        if (d->val != nullptr)
            std::free(d->val[i]);
    }
    std::free(d->key);
    std::free(d->val);
    std::free(d->hash);
    std::free(d);
}

dictionary *dictionary_copy(const dictionary *d)
{
    if (d == nullptr)
        return nullptr;
    dictionary *c = dictionary_create(d->num);
    if (c == nullptr)
        return nullptr;
    for (int i = 0; i < d->num; ++i) {
        if (d->key[i] == nullptr)
            continue;
        c->key[i] = strdup(d->key[i]);
        c->val[i] = d->val[i] != nullptr ? strdup(d->val[i]) : nullptr;
        if (c->key[i] == nullptr || (d->val[i] != nullptr && c->val[i] == nullptr)) {
            dictionary_del(c);
            return nullptr;
        }
        c->hash[i] = d->hash[i];
    }
    c->occupied = d->occupied;
    return c;
}

bool dictionary_same(const dictionary *a, const dictionary *b)
{
    if (a == nullptr || b == nullptr)
        return a == b;
    if (a->occupied != b->occupied)
        return false;
    auto same = [](const char *x, const char *y) {
        return x == nullptr || y == nullptr ? x == y : std::strcmp(x, y) == 0;
    };
    const int n = std::max(a->num, b->num);
    for (int i = 0; i < n; ++i) {
        const char *ka = i < a->num ? a->key[i] : nullptr, *kb = i < b->num ? b->key[i] : nullptr;
        if (!same(ka, kb) || (ka != nullptr && !same(a->val[i], b->val[i])))
            return false;
    }
    return true;
}

uint32_t dictionary_hash(const char *key)
{
    uint32_t h = 0;
    for (const char *p = key; *p != '\0'; ++p) {
        // Each byte is taken as a signed char and sign-extended.
        h += static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
        h += h << 10;
        h ^= h >> 6;
    }
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
}

const char *dictionary_get(const dictionary *d, const char *key)
{
    if (d == nullptr || key == nullptr)
        return nullptr;
    const int i = find_slot(d, key);
    return i < 0 ? nullptr : d->val[i];
}

int dictionary_set(dictionary *d, const char *key, const char *val)
{
    if (d == nullptr || key == nullptr)
        return 1;

    char *copy = nullptr;
    if (val != nullptr && (copy = strdup(val)) == nullptr)
        return 1;

    const int found = find_slot(d, key);
    if (found >= 0) {
        std::free(d->val[found]);
        d->val[found] = copy;
        return 0;
    }

    if (insert_new(d, key, copy, 0) != 0) {
        std::free(copy);
        return 1;
    }
    return 0;
}

void dictionary_unset(dictionary *d, const char *key)
{
    if (d == nullptr || key == nullptr)
        return;
    const int i = find_slot(d, key);
    if (i < 0)
        return;
    std::free(d->key[i]);
    std::free(d->val[i]);
    d->key[i] = nullptr;
    d->val[i] = nullptr;
    d->hash[i] = 0;
    --d->occupied;
}

dictionary *dictionary_load_from_file(const char *path)
{
    if (path == nullptr)
        return nullptr;
    FILE *f = std::fopen(path, "re");
    if (f == nullptr)
        return nullptr;
    dictionary *d = dictionary_load_from_stream(f);
    std::fclose(f);
    return d;
}

dictionary *dictionary_load_from_stream(FILE *f)
{
    if (f == nullptr)
        return nullptr;
    dictionary *d = dictionary_create(DICT_DEFAULT_SLOTS);
    if (d == nullptr)
        return nullptr;

    char line[DICT_LINE_SIZE];
    char section[DICT_LINE_SIZE] = "";
    char key[DICT_LINE_SIZE];
    char val[DICT_LINE_SIZE];
    char full_key[DICT_FULL_KEY_SIZE];
    bool in_section = true;
    std::unordered_map<std::string, int> index;

    while (std::fgets(line, sizeof line, f) != nullptr) {
        char *p = util_str_strip(line);
        if (*p == '\0')
            continue;
        // The line end is not part of a name or value, also on malformed lines
        // that lack the closing bracket or quote.
        p[std::strcspn(p, "\n")] = '\0';

        if (std::sscanf(p, "[%1023[^]]", key) == 1) {
            // A section name holding a colon could not be told from an entry
            // key ("<section>:<key>"): such a section and its entries are not
            // loaded, rather than filed under the section named by the text
            // before the colon.
            in_section = std::strchr(key, ':') == nullptr;
            if (in_section) {
                std::memcpy(section, key, sizeof section);
                load_set(d, index, section, nullptr);
            }
            continue;
        }
        if (!in_section || std::sscanf(p, "%1023[^=] = \"%1023[^\"]\"", key, val) != 2)
            continue;
        size_t klen = std::strlen(key);
        while (klen > 0 && key[klen - 1] == ' ')
            key[--klen] = '\0';
        const int n = std::snprintf(full_key, sizeof full_key, "%s:%s", section, key);
        if (n < 0 || n >= static_cast<int>(sizeof full_key))
            continue;
        load_set(d, index, full_key, val);
    }
    return d;
}

std::string dictionary_to_text(const dictionary *d)
{
    std::string text;
    if (d == nullptr)
        return text;
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    if (f == nullptr)
        return text;
    write_text(f, d);
    if (std::fclose(f) == 0 && buf != nullptr)
        text.assign(buf, len);
    std::free(buf);
    return text;
}

int dictionary_save_to_file(const dictionary *d, const char *path)
{
    if (d == nullptr || path == nullptr)
        return 1;

    std::string temp = std::string(path) + DICT_TEMP_SUFFIX + "XXXXXX";
    const int fd = mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0)
        return 1;

    // The new file keeps the mode of the file it replaces.
    struct stat st;
    const mode_t mode = stat(path, &st) == 0 ? (st.st_mode & 07777) : 0644;
    fchmod(fd, mode);

    FILE *f = fdopen(fd, "w");
    if (f == nullptr) {
        close(fd);
        unlink(temp.c_str());
        return 1;
    }
    bool ok = write_text(f, d);
    ok = std::fflush(f) == 0 && ok;
    ok = fsync(fileno(f)) == 0 && ok;
    ok = std::fclose(f) == 0 && ok;
    if (!ok || std::rename(temp.c_str(), path) != 0) {
        unlink(temp.c_str());
        return 1;
    }
    return 0;
}

int util_get_sec_count(const dictionary *d)
{
    if (d == nullptr)
        return -1;
    int count = 0;
    for (int i = 0; i < d->num; ++i) {
        if (d->key[i] != nullptr && std::strchr(d->key[i], ':') == nullptr)
            ++count;
    }
    return count;
}

const char *util_get_sec_name(const dictionary *d, int n)
{
    if (d == nullptr || n < 0)
        return nullptr;
    for (int i = 0; i < d->num; ++i) {
        if (d->key[i] != nullptr && std::strchr(d->key[i], ':') == nullptr) {
            if (n == 0)
                return d->key[i];
            --n;
        }
    }
    return nullptr;
}

std::vector<const char *> util_get_sec_names(const dictionary *d)
{
    std::vector<const char *> names;
    if (d == nullptr)
        return names;
    for (int i = 0; i < d->num; ++i) {
        if (d->key[i] != nullptr && std::strchr(d->key[i], ':') == nullptr)
            names.push_back(d->key[i]);
    }
    return names;
}

char *util_str_strip(char *text)
{
    if (text == nullptr)
        return nullptr;
    while (*text != '\0' && std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    return text;
}

void *util_realloc(void *old, size_t old_size, size_t new_size)
{
    void *block = std::calloc(new_size == 0 ? 1 : new_size, 1);
    if (block == nullptr)
        return nullptr;
    if (old != nullptr) {
        std::memcpy(block, old, old_size < new_size ? old_size : new_size);
        std::free(old);
    }
    return block;
}
