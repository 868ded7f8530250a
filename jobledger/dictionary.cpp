#include "dictionary.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The one-at-a-time hash of text continued from h, before its final mixing.
// Each byte is taken as a signed char and sign-extended.
uint32_t hash_add(uint32_t h, const char *text)
{
    for (const char *p = text; *p != '\0'; ++p) {
        h += static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
        h += h << 10;
        h ^= h >> 6;
    }
    return h;
}

uint32_t hash_end(uint32_t h)
{
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
}

size_t bucket_of(const dictionary *d, uint32_t h)
{
    return h % static_cast<uint32_t>(d->num);
}

// The slot whose key has hash h and is the key is_key looks for, or -1.
template <typename IsKey>
int find_slot(const dictionary *d, uint32_t h, IsKey is_key)
{
    for (int s = d->first[bucket_of(d, h)]; s != 0; s = d->next[s - 1]) {
        if (d->hash[s - 1] == h && is_key(d->key[s - 1]))
            return s - 1;
    }
    return -1;
}

int find_key(const dictionary *d, const char *key)
{
    return find_slot(d, dictionary_hash(key), [key](const char *k) { return std::strcmp(k, key) == 0; });
}

// Whether k is "<section>:<key>".
bool is_entry(const char *k, const char *section, const char *key)
{
    while (*section != '\0' && *k == *section) {
        ++k;
        ++section;
    }
    return *section == '\0' && *k == ':' && std::strcmp(k + 1, key) == 0;
}

// The slot of "<section>:<key>".
int find_entry(const dictionary *d, const char *section, const char *key)
{
    const uint32_t h = hash_end(hash_add(hash_add(hash_add(0, section), ":"), key));
    return find_slot(d, h, [=](const char *k) { return is_entry(k, section, key); });
}

// Puts the occupied slot i into the index.
void index_add(dictionary *d, int i)
{
    const size_t b = bucket_of(d, d->hash[i]);
    d->next[i] = d->first[b];
    d->first[b] = i + 1;
}

// Takes the occupied slot i out of the index.
void index_remove(dictionary *d, int i)
{
    int *link = &d->first[bucket_of(d, d->hash[i])];
    while (*link != i + 1)
        link = &d->next[*link - 1];
    *link = d->next[i];
    d->next[i] = 0;
}

// Doubles the arrays and rebuilds the index for the new bucket count.
// Either all arrays are replaced or none.
bool grow(dictionary *d)
{
    if (d->num > INT_MAX / 2)
        return false;
    const size_t old_n = static_cast<size_t>(d->num);
    const size_t new_n = old_n * 2;
    void *k = util_realloc(nullptr, 0, new_n * sizeof(char *));
    void *v = util_realloc(nullptr, 0, new_n * sizeof(char *));
    void *h = util_realloc(nullptr, 0, new_n * sizeof(uint32_t));
    void *first = util_realloc(nullptr, 0, new_n * sizeof(int));
    void *next = util_realloc(nullptr, 0, new_n * sizeof(int));
    void *freed = util_realloc(nullptr, 0, new_n * sizeof(int));
    if (k == nullptr || v == nullptr || h == nullptr || first == nullptr || next == nullptr || freed == nullptr) {
        for (void *p : {k, v, h, first, next, freed})
            std::free(p);
        return false;
    }
    std::memcpy(k, d->key, old_n * sizeof(char *));
    std::memcpy(v, d->val, old_n * sizeof(char *));
    std::memcpy(h, d->hash, old_n * sizeof(uint32_t));
    std::free(d->key);
    std::free(d->val);
    std::free(d->hash);
    std::free(d->first);
    std::free(d->next);
    std::free(d->freed);  // empty: the table is only grown when full
    d->key = static_cast<char **>(k);
    d->val = static_cast<char **>(v);
    d->hash = static_cast<uint32_t *>(h);
    d->first = static_cast<int *>(first);
    d->next = static_cast<int *>(next);
    d->freed = static_cast<int *>(freed);
    d->num = static_cast<int>(new_n);
    for (int i = 0; i < d->num; ++i) {
        if (d->key[i] != nullptr)
            index_add(d, i);
    }
    return true;
}

// Puts key and val, both allocated by the caller and taken over (freed on
// failure), into the lowest free slot, growing the table when it is full. The
// key must be absent.
int insert_new(dictionary *d, char *key, char *val)
{
    if (d->occupied == d->num && !grow(d)) {
        std::free(key);
        std::free(val);
        return 1;
    }
    int i;
    if (d->nfreed > 0) {
        std::pop_heap(d->freed, d->freed + d->nfreed, std::greater<int>());
        i = d->freed[--d->nfreed];
    } else {
        i = d->unused++;
    }
    d->key[i] = key;
    d->val[i] = val;
    d->hash[i] = dictionary_hash(key);
    index_add(d, i);
    ++d->occupied;
    ++d->changes;
    return 0;
}

// A copy of val for the table; false when memory runs out.
bool copy_value(const char *val, char **copy)
{
    *copy = val != nullptr ? strdup(val) : nullptr;
    return val == nullptr || *copy != nullptr;
}

// Stores a copy of val in the occupied slot i, unless it holds that value
// already.
int replace_value(dictionary *d, int i, const char *val)
{
    const char *old = d->val[i];
    if (old == nullptr ? val == nullptr : val != nullptr && std::strcmp(old, val) == 0)
        return 0;
    char *copy;
    if (!copy_value(val, &copy))
        return 1;
    std::free(d->val[i]);
    d->val[i] = copy;
    ++d->changes;
    return 0;
}

// Inserts a copy of key with a copy of val after the key was not found.
int insert_copy(dictionary *d, const char *key, const char *val)
{
    char *key_copy = strdup(key);
    char *val_copy;
    if (key_copy == nullptr || !copy_value(val, &val_copy)) {
        std::free(key_copy);
        return 1;
    }
    return insert_new(d, key_copy, val_copy);
}

bool write_text(FILE *f, const dictionary *d)
{
    const auto entries = util_entry_slots(d);
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

// Puts a copy of key and val into the table being loaded.
void load_set(dictionary *d, const char *key, const char *val)
{
    const int found = find_key(d, key);
    if (found >= 0)
        replace_value(d, found, val);
    else
        insert_copy(d, key, val);
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
    d->first = static_cast<int *>(std::calloc(static_cast<size_t>(size), sizeof(int)));
    d->next = static_cast<int *>(std::calloc(static_cast<size_t>(size), sizeof(int)));
    d->freed = static_cast<int *>(std::calloc(static_cast<size_t>(size), sizeof(int)));
    if (d->key == nullptr || d->val == nullptr || d->hash == nullptr || d->first == nullptr ||
        d->next == nullptr || d->freed == nullptr) {
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
    std::free(d->first);
    std::free(d->next);
    std::free(d->freed);
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
    std::memcpy(c->first, d->first, static_cast<size_t>(d->num) * sizeof(int));
    std::memcpy(c->next, d->next, static_cast<size_t>(d->num) * sizeof(int));
    std::memcpy(c->freed, d->freed, static_cast<size_t>(d->nfreed) * sizeof(int));
    c->occupied = d->occupied;
    c->unused = d->unused;
    c->nfreed = d->nfreed;
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
    return hash_end(hash_add(0, key));
}

const char *dictionary_get(const dictionary *d, const char *key)
{
    if (d == nullptr || key == nullptr)
        return nullptr;
    const int i = find_key(d, key);
    return i < 0 ? nullptr : d->val[i];
}

const char *dictionary_get_entry(const dictionary *d, const char *section, const char *key)
{
    if (d == nullptr || section == nullptr || key == nullptr)
        return nullptr;
    const int i = find_entry(d, section, key);
    return i < 0 ? nullptr : d->val[i];
}

int dictionary_set(dictionary *d, const char *key, const char *val)
{
    if (d == nullptr || key == nullptr)
        return 1;
    const int found = find_key(d, key);
    return found >= 0 ? replace_value(d, found, val) : insert_copy(d, key, val);
}

int dictionary_set_entry(dictionary *d, const char *section, const char *key, const char *val)
{
    if (d == nullptr || section == nullptr || key == nullptr)
        return 1;
    const int found = find_entry(d, section, key);
    if (found >= 0)
        return replace_value(d, found, val);
    const size_t size = std::strlen(section) + std::strlen(key) + 2;
    char *full_key = static_cast<char *>(std::malloc(size));
    char *val_copy;
    if (full_key == nullptr || !copy_value(val, &val_copy)) {
        std::free(full_key);
        return 1;
    }
    std::snprintf(full_key, size, "%s:%s", section, key);
    return insert_new(d, full_key, val_copy);
}

void dictionary_unset(dictionary *d, const char *key)
{
    if (d == nullptr || key == nullptr)
        return;
    const int i = find_key(d, key);
    if (i < 0)
        return;
    index_remove(d, i);
    std::free(d->key[i]);
    std::free(d->val[i]);
    d->key[i] = nullptr;
    d->val[i] = nullptr;
    d->hash[i] = 0;
    d->freed[d->nfreed++] = i;
    std::push_heap(d->freed, d->freed + d->nfreed, std::greater<int>());
    --d->occupied;
    ++d->changes;
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
                load_set(d, section, nullptr);
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
        load_set(d, full_key, val);
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

std::unordered_map<std::string, std::vector<int>> util_entry_slots(const dictionary *d)
{
    // An entry belongs to the text before its first colon: section names hold none.
    std::unordered_map<std::string, std::vector<int>> slots;
    for (int i = 0; d != nullptr && i < d->num; ++i) {
        const char *key = d->key[i];
        const char *colon = key != nullptr ? std::strchr(key, ':') : nullptr;
        if (colon != nullptr)
            slots[std::string(key, colon)].push_back(i);
    }
    return slots;
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
