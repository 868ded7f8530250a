// In-memory string table with sections, and its ini-style file form.
//
// A section is a key without a colon stored with a null value; an entry of a
// section is stored under "<section>:<entry key>". A new key takes the lowest
// free slot, slot order is file order, and the table only grows. Keys are
// found through a hash index over the slots, which the functions below keep
// up to date: the arrays are read freely but changed only through them.
// The table has no locking of its own: callers serialise file access.
#ifndef QELVO_JOBLEDGER_DICTIONARY_H
#define QELVO_JOBLEDGER_DICTIONARY_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

struct dictionary {
    int num;         // number of slots in the three arrays
    int occupied;    // number of slots holding a key
    char **key;      // owned keys; null marks a free slot
    char **val;      // owned values; may be null
    uint32_t *hash;  // hash of each slot's key; 0 in a free slot
    // The index: num buckets, a key's bucket being its hash modulo num. Both
    // arrays hold slot numbers plus one, 0 meaning none: first[b] is a slot
    // of bucket b and next[s] the following slot of the bucket of slot s.
    int *first;
    int *next;
    // Counts the changes of keys and values; storing a value a key already
    // holds is no change.
    unsigned long changes;
    // The free slots, so that a new key finds the lowest at once: every slot
    // from `unused` on, and below it the `nfreed` slots in `freed` (room for
    // num), a heap with the lowest first.
    int unused;
    int *freed;
    int nfreed;
};

// Slot count used when dictionary_create is given 0, and by the file loader.
constexpr int DICT_DEFAULT_SLOTS = 96;
// Longest line handled by the loader, including the terminator; a longer
// line is read in pieces and each piece is handled as a line.
constexpr int DICT_LINE_SIZE = 1024;
// Room for "<section>:<key>" including the terminator; an entry whose full
// key does not fit is not loaded.
constexpr int DICT_FULL_KEY_SIZE = 1025;

dictionary *dictionary_create(int size);
void dictionary_del(dictionary *d);
// A copy of the table, slot for slot; null when d is null or memory runs out.
dictionary *dictionary_copy(const dictionary *d);
// True when both tables hold the same keys with the same values in the same
// slots (so their file forms are the same too).
bool dictionary_same(const dictionary *a, const dictionary *b);
uint32_t dictionary_hash(const char *key);

// The stored value (owned by the table), or null when the table or key is
// null, the key is absent or its value is null.
const char *dictionary_get(const dictionary *d, const char *key);

// The same for the entry key of a section: the key "<section>:<key>",
// looked up without building it.
const char *dictionary_get_entry(const dictionary *d, const char *section, const char *key);

// Inserts or replaces. Returns 0 on success, 1 when the table or key is null
// or memory runs out (the table is left as it was).
int dictionary_set(dictionary *d, const char *key, const char *val);

// The same for the entry key of a section, as dictionary_get_entry.
int dictionary_set_entry(dictionary *d, const char *section, const char *key, const char *val);

void dictionary_unset(dictionary *d, const char *key);

// A new table with the file's sections and entries; null when path is null or
// the file cannot be read. An empty file gives an empty table. A section whose
// name holds a colon is not loaded, nor are its entries.
dictionary *dictionary_load_from_file(const char *path);

// The same from an open stream, read to its end; the caller closes it.
dictionary *dictionary_load_from_stream(FILE *f);

// Replaces the file at path with the table's text form. The text is written
// to a new file in the same directory which is then renamed over path, so a
// reader or a crash sees either the old or the new file, never a part.
// Returns 0 on success; 1 when an argument is null or the file could not be
// written completely, in which case the old file is left untouched.
int dictionary_save_to_file(const dictionary *d, const char *path);

// Suffix of the temporary file a save writes beside its target before the
// rename: "<path>" DICT_TEMP_SUFFIX "XXXXXX".
constexpr const char *DICT_TEMP_SUFFIX = ".tmp";

// The table in its file form, as dictionary_save_to_file would write it.
std::string dictionary_to_text(const dictionary *d);
// Number of sections; -1 for a null table.
int util_get_sec_count(const dictionary *d);
// The n-th section name (from 0) in slot order, or null.
const char *util_get_sec_name(const dictionary *d, int n);
// Every section name in slot order, in one pass (the names are the table's
// own keys); empty for a null table.
std::vector<const char *> util_get_sec_names(const dictionary *d);
// The slots of the entries ("<section>:<key>") of every section, by section name, in slot order.
std::unordered_map<std::string, std::vector<int>> util_entry_slots(const dictionary *d);
// First character of text that is not white space; null for null.
char *util_str_strip(char *text);
// A zero-filled block of new_size bytes holding the first min(old, new)
// bytes of old, which is freed. On allocation failure null is returned and
// old is left alone.
void *util_realloc(void *old, size_t old_size, size_t new_size);

#endif
