#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include "dictionary.h"
#include "nsfixture.h"
#include "test_util.h"

using namespace jlt;

namespace {

using Dict = std::unique_ptr<dictionary, void (*)(dictionary *)>;
Dict make(dictionary *d) { return Dict(d, dictionary_del); }

bool has_temp_files(const char *dir)
{
    bool found = false;
    DIR *d = opendir(dir);
    while (const dirent *e = d != nullptr ? readdir(d) : nullptr)
        found = found || std::strstr(e->d_name, ".tmp") != nullptr;
    if (d != nullptr)
        closedir(d);
    return found;
}

TEST(DictionaryTable, SetGetUnsetSlotReuseAndGrowth)
{
    Dict t = make(dictionary_create(0));
    ASSERT_EQ(96, t->num);
    EXPECT_EQ(0, dictionary_set(t.get(), "ID-0", nullptr));
    EXPECT_EQ(0, dictionary_set(t.get(), "ID-0:jobstate", "4"));
    EXPECT_EQ(0, dictionary_set(t.get(), "ID-0:jobstate", "7"));
    EXPECT_STREQ("7", dictionary_get(t.get(), "ID-0:jobstate"));
    EXPECT_EQ(nullptr, dictionary_get(t.get(), "ID-0"));           // present with a null value
    EXPECT_EQ(nullptr, dictionary_get(t.get(), "id-0:jobstate"));  // keys are case-sensitive
    EXPECT_EQ(2, t->occupied);
    EXPECT_EQ(1, dictionary_set(nullptr, "k", "v"));
    EXPECT_EQ(1, dictionary_set(t.get(), nullptr, "v"));
    EXPECT_EQ(nullptr, dictionary_get(nullptr, "k"));

    for (int i = 2; i < 96; ++i)
        ASSERT_EQ(0, dictionary_set(t.get(), ("k" + std::to_string(i)).c_str(), std::to_string(i).c_str()));
    dictionary_unset(t.get(), "k5");
    dictionary_unset(t.get(), "absent");
    EXPECT_EQ(95, t->occupied);
    EXPECT_EQ(0, dictionary_set(t.get(), "new", "n"));
    EXPECT_STREQ("new", t->key[5]);  // the freed slot is reused
    EXPECT_EQ(96, t->num);
    // The 97th key doubles the table and keeps every entry.
    EXPECT_EQ(0, dictionary_set(t.get(), "k96", "96"));
    EXPECT_EQ(192, t->num);
    EXPECT_STREQ("k96", t->key[96]);
    for (int i = 2; i <= 96; ++i) {
        if (i == 5)
            continue;
        EXPECT_STREQ(std::to_string(i).c_str(), dictionary_get(t.get(), ("k" + std::to_string(i)).c_str())) << i;
    }
    EXPECT_STREQ("7", dictionary_get(t.get(), "ID-0:jobstate"));
    EXPECT_STREQ("n", dictionary_get(t.get(), "new"));
}

// Filling a table and refilling its freed slots costs time in proportion to the keys: one large
// table takes no more CPU than the same work done in many small ones. A new key still takes the
// lowest free slot.
TEST(DictionaryTable, LargeTableCostsNoMorePerKey)
{
    auto cpu_of = [](int tables, int keys) {
        const std::clock_t start = std::clock();
        for (int t = 0; t < tables; ++t) {
            Dict d = make(dictionary_create(0));
            for (int k = 0; k < keys; ++k)
                dictionary_set(d.get(), ("k" + std::to_string(k)).c_str(), "v");
            // The first new key takes the freed slot, the second the lowest free one after it.
            for (int k = 0; k < keys; k += 10) {
                dictionary_unset(d.get(), ("k" + std::to_string(k)).c_str());
                dictionary_set(d.get(), ("a" + std::to_string(k)).c_str(), "v");
                dictionary_set(d.get(), ("b" + std::to_string(k)).c_str(), "v");
                EXPECT_STREQ(("a" + std::to_string(k)).c_str(), d->key[k]);
            }
            EXPECT_EQ(keys + keys / 10, d->occupied);
            EXPECT_STREQ(("b" + std::to_string(keys - 10)).c_str(), d->key[keys + keys / 10 - 1]);
        }
        return std::clock() - start;
    };
    const std::clock_t small = cpu_of(100, 500);
    const std::clock_t large = cpu_of(1, 50000);
    EXPECT_LT(large, 3 * small + CLOCKS_PER_SEC / 20) << "small " << small << " large " << large;
}

// A copy holds the same slots, grown tables included; any change of a key or value tells them apart.
TEST(DictionaryTable, CopiesAndSameness)
{
    Dict t = make(dictionary_create(0));
    ASSERT_EQ(0, dictionary_set(t.get(), "S", nullptr));
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(0, dictionary_set(t.get(), ("S:k" + std::to_string(i)).c_str(), i % 7 ? "v" : nullptr));
    dictionary_unset(t.get(), "S:k3");
    const struct {
        const char *what;
        void (*change)(dictionary *);
        bool same;
    } cases[] = {
        {"nothing", [](dictionary *) {}, true},
        {"the same value set again", [](dictionary *d) { dictionary_set(d, "S:k1", "v"); }, true},
        {"a value", [](dictionary *d) { dictionary_set(d, "S:k1", "w"); }, false},
        {"a null value", [](dictionary *d) { dictionary_set(d, "S:k0", "v"); }, false},
        {"a key removed", [](dictionary *d) { dictionary_unset(d, "S:k99"); }, false},
        {"a key added", [](dictionary *d) { dictionary_set(d, "S:k3", "v"); }, false},
    };
    for (const auto &c : cases) {
        Dict copy = make(dictionary_copy(t.get()));
        ASSERT_NE(nullptr, copy);
        EXPECT_EQ(t->num, copy->num);
        EXPECT_TRUE(dictionary_same(t.get(), copy.get()));
        c.change(copy.get());
        EXPECT_EQ(c.same, dictionary_same(t.get(), copy.get())) << c.what;
        EXPECT_EQ(c.same, dictionary_to_text(t.get()) == dictionary_to_text(copy.get())) << c.what;
    }
    EXPECT_EQ(nullptr, dictionary_copy(nullptr));
}

// Keys share buckets and the table doubles while keys come and go: every key still leads to its
// own slot, by its full key and by section and entry key, in the table and in a copy of it.
TEST(DictionaryTable, IndexFollowsGrowthRemovalAndCopies)
{
    Dict t = make(dictionary_create(2));
    std::map<std::string, std::string> held;
    auto key = [](int i) { return "s" + std::to_string(i % 7) + ":k" + std::to_string(i); };
    auto set = [&](dictionary *d, const std::string &k, const std::string &v) {
        ASSERT_EQ(0, dictionary_set(d, k.c_str(), v.c_str()));
        held[k] = v;
    };
    for (int i = 0; i < 300; ++i) {
        set(t.get(), key(i), std::to_string(i));
        if (i % 3 == 2) {
            dictionary_unset(t.get(), key(i - 2).c_str());
            held.erase(key(i - 2));
        }
        if (i % 5 == 4)
            set(t.get(), key(i - 4), "again");
    }
    Dict copy = make(dictionary_copy(t.get()));
    ASSERT_TRUE(copy);
    const std::map<std::string, std::string> in_t = held;
    set(copy.get(), "s1:new", "n");
    dictionary_unset(copy.get(), key(1).c_str());
    held.erase(key(1));

    for (const auto &[d, expected] : {std::pair{t.get(), in_t}, std::pair{copy.get(), held}}) {
        int seen = 0;
        for (int i = 0; i < d->num; ++i) {
            if (d->key[i] == nullptr)
                continue;
            ++seen;
            const std::string k = d->key[i];
            const size_t colon = k.find(':');
            EXPECT_EQ(d->val[i], dictionary_get(d, k.c_str())) << k;
            EXPECT_EQ(d->val[i], dictionary_get_entry(d, k.substr(0, colon).c_str(), k.c_str() + colon + 1)) << k;
        }
        EXPECT_EQ(static_cast<int>(expected.size()), seen);
        EXPECT_EQ(d->occupied, seen);
        for (int i = 0; i < 300; ++i) {
            const auto it = expected.find(key(i));
            EXPECT_STREQ(it == expected.end() ? nullptr : it->second.c_str(), dictionary_get(d, key(i).c_str())) << i;
        }
    }
}

// An entry key is "<section>:<key>" whichever colon splits it; the change count moves exactly
// when the table comes to differ from a copy taken before.
TEST(DictionaryTable, EntryKeysAndTheChangeCount)
{
    Dict t = make(dictionary_create(0));
    for (const char *k : {"ID-1", "ID-1:jobstate", "ID-10:jobstate", "a:b:c"})
        dictionary_set(t.get(), k, std::strchr(k, ':') != nullptr ? k : nullptr);
    const struct {
        const char *section, *key, *found;
    } lookups[] = {
        {"ID-1", "jobstate", "ID-1:jobstate"}, {"ID-10", "jobstate", "ID-10:jobstate"}, {"ID-", "1:jobstate", nullptr},
        {"a", "b:c", "a:b:c"}, {"a:b", "c", "a:b:c"}, {"ID-1", "", nullptr}, {"ID-1:jobstate", "", nullptr},
        {"ID-1", "jobstat", nullptr}, {"ID", "1:jobstate", nullptr}, {"", "ID-1", nullptr},
        {nullptr, "jobstate", nullptr}, {"ID-1", nullptr, nullptr},
    };
    for (const auto &l : lookups)
        EXPECT_STREQ(l.found, dictionary_get_entry(t.get(), l.section, l.key)) << l.section << " " << l.key;
    EXPECT_EQ(nullptr, dictionary_get_entry(nullptr, "ID-1", "jobstate"));

    const struct {
        const char *what;
        int (*change)(dictionary *);
        bool changes;
    } cases[] = {
        {"a new entry", [](dictionary *d) { return dictionary_set_entry(d, "ID-2", "jobstate", "4"); }, true},
        {"the value held", [](dictionary *d) { return dictionary_set(d, "ID-1:jobstate", "ID-1:jobstate"); }, false},
        {"the value held, as an entry", [](dictionary *d) { return dictionary_set_entry(d, "ID-2", "jobstate", "4"); }, false},
        {"the null value held", [](dictionary *d) { return dictionary_set(d, "ID-1", nullptr); }, false},
        {"another value", [](dictionary *d) { return dictionary_set_entry(d, "ID-2", "jobstate", "7"); }, true},
        {"a null value", [](dictionary *d) { return dictionary_set_entry(d, "ID-2", "jobstate", nullptr); }, true},
        {"a value for a null one", [](dictionary *d) { return dictionary_set(d, "ID-1", "v"); }, true},
        {"an absent key removed", [](dictionary *d) { dictionary_unset(d, "ID-3"); return 0; }, false},
        {"a key removed", [](dictionary *d) { dictionary_unset(d, "a:b:c"); return 0; }, true},
        {"a null key", [](dictionary *d) { return 1 - dictionary_set_entry(d, nullptr, "k", "v"); }, false},
    };
    for (const auto &c : cases) {
        Dict before = make(dictionary_copy(t.get()));
        const unsigned long changes = t->changes;
        EXPECT_EQ(0, c.change(t.get())) << c.what;
        EXPECT_EQ(c.changes, t->changes != changes) << c.what;
        EXPECT_EQ(c.changes, !dictionary_same(t.get(), before.get())) << c.what;
    }
    EXPECT_EQ(nullptr, dictionary_get(t.get(), "ID-2:jobstate"));
    EXPECT_STREQ("v", dictionary_get(t.get(), "ID-1"));
}

TEST(DictionaryTable, HashAndSectionOrder)
{
    EXPECT_EQ(0u, dictionary_hash(""));
    EXPECT_EQ(0xca2e9442u, dictionary_hash("a"));
    EXPECT_EQ(0xce2a5ccbu, dictionary_hash("ID-3:jobstate"));
    // Bytes from 0x80 up are sign-extended (unsigned bytes would give 0x9663648b).
    EXPECT_EQ(0x8c711b75u, dictionary_hash("\xe9t\xe9"));

    EXPECT_EQ(-1, util_get_sec_count(nullptr));
    Dict t = make(dictionary_create(0));
    EXPECT_EQ(0, util_get_sec_count(t.get()));
    for (const char *k : {"A", "A:x", "B", "C"})
        dictionary_set(t.get(), k, nullptr);
    dictionary_unset(t.get(), "A");
    dictionary_set(t.get(), "D", nullptr);
    EXPECT_EQ(3, util_get_sec_count(t.get()));
    EXPECT_STREQ("D", util_get_sec_name(t.get(), 0));
    EXPECT_STREQ("C", util_get_sec_name(t.get(), 2));
    EXPECT_EQ(nullptr, util_get_sec_name(t.get(), 3));
}

TEST(DictionaryFile, SaveGroupsEntriesUnderTheirSection)
{
    nsfixture::Run([] {
        Dict t = make(dictionary_create(0));
        for (const char *k : {"ID-0", "ID-1", "ID-10:instanceid", "ID-10", "ID-1:instanceid", "orphan:key",
                              "ID-1:jobstatus", "ID-10:jobstate", "ID-1:jobstate"})
            dictionary_set(t.get(), k, std::strchr(k, ':') != nullptr && std::strstr(k, "status") == nullptr ? "v" : nullptr);
        dictionary_unset(t.get(), "ID-0");
        dictionary_set(t.get(), "ID-2", nullptr);  // takes ID-0's slot, so it is written first
        ASSERT_EQ(0, dictionary_save_to_file(t.get(), "/tmp/x.ini"));
        EXPECT_EQ("\n[ID-2]\n"
                  "\n[ID-1]\ninstanceid = \"v\"\njobstatus = \"\"\njobstate = \"v\"\n"
                  "\n[ID-10]\ninstanceid = \"v\"\njobstate = \"v\"\n\n",
                  read_file("/tmp/x.ini"));
        EXPECT_FALSE(has_temp_files("/tmp"));

        // The null value does not survive a reload; everything else does.
        Dict back = make(dictionary_load_from_file("/tmp/x.ini"));
        ASSERT_TRUE(back);
        EXPECT_EQ(7, back->occupied);
        EXPECT_STREQ("v", dictionary_get(back.get(), "ID-10:jobstate"));
        EXPECT_STREQ("ID-1", util_get_sec_name(back.get(), 1));

        Dict empty = make(dictionary_create(0));
        ASSERT_EQ(0, dictionary_save_to_file(empty.get(), "/tmp/x.ini"));
        EXPECT_EQ("\n", read_file("/tmp/x.ini"));
    });
}

TEST(DictionaryFile, LoadReadsTheLineForms)
{
    nsfixture::Run([] {
        EXPECT_EQ(nullptr, dictionary_load_from_file("/tmp/absent.ini"));
        write_file("/tmp/empty.ini", "");
        EXPECT_EQ(0, make(dictionary_load_from_file("/tmp/empty.ini"))->occupied);

        const std::string long_value(1500, 'v');
        const std::string wide(600, 'w');
        write_file("/tmp/in.ini", "top = \"before any section\"\n# comment\n\n   [a]\nk=\"v\"\n"
                                  "  spaced   =   \"two words\"\ntabbed\t= \"t\"\nempty = \"\"\nnoquote = v\n"
                                  "quote = \"x\"y\"\ndup = \"first\"\ndup = \"second\"\neq = \"a=b\"\n"
                                  "long = \"" + long_value + "\"\n"
                                  "[b:c]\nunder = \"colon\"\n[]\n[d\nk = \"unterminated\n[" + wide + "]\n" + wide + " = \"1\"\n"
                                  "[a]\nlate = \"1\"\n");
        Dict t = make(dictionary_load_from_file("/tmp/in.ini"));
        ASSERT_TRUE(t);
        EXPECT_STREQ("before any section", dictionary_get(t.get(), ":top"));
        EXPECT_STREQ("v", dictionary_get(t.get(), "a:k"));
        EXPECT_STREQ("two words", dictionary_get(t.get(), "a:spaced"));
        EXPECT_STREQ("t", dictionary_get(t.get(), "a:tabbed\t"));  // only blanks are trimmed
        EXPECT_EQ(nullptr, dictionary_get(t.get(), "a:empty"));
        EXPECT_EQ(nullptr, dictionary_get(t.get(), "a:noquote"));
        EXPECT_STREQ("x", dictionary_get(t.get(), "a:quote"));
        EXPECT_STREQ("second", dictionary_get(t.get(), "a:dup"));
        EXPECT_STREQ("a=b", dictionary_get(t.get(), "a:eq"));
        // A line over 1023 characters is read in pieces: the value is cut, the rest ignored.
        EXPECT_EQ(std::string(1023 - 8, 'v'), dictionary_get(t.get(), "a:long"));
        EXPECT_STREQ("unterminated", dictionary_get(t.get(), "d:k"));
        EXPECT_STREQ("1", dictionary_get(t.get(), "a:late"));
        // A full key longer than 1024 characters is not loaded.
        EXPECT_EQ(nullptr, dictionary_get(t.get(), (wide + ":" + wide).c_str()));
        // Sections a, d and the wide one; "[]" is no section, and "[b:c]" could not be told from
        // an entry key, so neither it nor its entries are loaded (nor filed under "b").
        EXPECT_EQ(nullptr, dictionary_get(t.get(), "b:c:under"));
        EXPECT_EQ(3, util_get_sec_count(t.get()));
        EXPECT_EQ(13, t->occupied);
    });
}

TEST(DictionaryFile, FailedSaveLeavesTheOldFile)
{
    nsfixture::Run([] {
        Dict t = make(dictionary_create(0));
        dictionary_set(t.get(), "s", nullptr);
        EXPECT_EQ(1, dictionary_save_to_file(nullptr, "/tmp/x.ini"));
        EXPECT_EQ(1, dictionary_save_to_file(t.get(), nullptr));
        EXPECT_EQ(1, dictionary_save_to_file(t.get(), "/tmp/no/dir/x.ini"));

        // A full file system: the old file and its mode stay, no temporary file is left.
        ASSERT_EQ(0, mkdir("/tmp/small", 0755));
        ASSERT_EQ(0, mount("small", "/tmp/small", "tmpfs", 0, "size=16k"));
        ASSERT_EQ(0, dictionary_save_to_file(t.get(), "/tmp/small/x.ini"));
        ASSERT_EQ(0, chmod("/tmp/small/x.ini", 0600));
        for (int i = 0; i < 2000; ++i)
            dictionary_set(t.get(), ("s:key" + std::to_string(i)).c_str(), "a value that takes some room");
        EXPECT_EQ(1, dictionary_save_to_file(t.get(), "/tmp/small/x.ini"));
        EXPECT_EQ("\n[s]\n\n", read_file("/tmp/small/x.ini"));
        EXPECT_FALSE(has_temp_files("/tmp/small"));

        dictionary_unset(t.get(), "s");
        ASSERT_EQ(0, dictionary_save_to_file(t.get(), "/tmp/small/x.ini"));
        EXPECT_EQ("\n", read_file("/tmp/small/x.ini"));
        struct stat st;
        ASSERT_EQ(0, stat("/tmp/small/x.ini", &st));
        EXPECT_EQ(0600u, st.st_mode & 07777);
        umount("/tmp/small");
    });
}

}  // namespace
