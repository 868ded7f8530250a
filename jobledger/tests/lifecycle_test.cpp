#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "dictionary.h"
#include "jobledger.h"
#include "nsfixture.h"
#include "test_util.h"

using namespace jlt;

namespace {

const char *const kLedger = "/tmp/sfcb/ConcreteJob.ini";
const char *const kRegistry = "/tmp/sfcb/ConcreteJob.reg";

std::vector<ConcreteJob_data> refresh()
{
    ConcreteJob_data *jobs = nullptr;
    int count = -1;
    EXPECT_EQ(0, init_job(&jobs, &count));
    std::vector<ConcreteJob_data> out(jobs, jobs + (count > 0 ? count : 0));
    std::free(jobs);
    return out;
}

Strings ids(const std::vector<ConcreteJob_data> &jobs)
{
    Strings v;
    for (const auto &j : jobs)
        v.emplace_back(j.inst_id);
    return v;
}

// The entries of one ledger record as stored in the file.
std::map<std::string, std::string> record(const std::string &name)
{
    std::map<std::string, std::string> r;
    dictionary *d = dictionary_load_from_file(kLedger);
    for (int i = 0; d != nullptr && i < d->num; ++i) {
        if (d->key[i] != nullptr && std::strncmp(d->key[i], (name + ":").c_str(), name.size() + 1) == 0)
            r[d->key[i] + name.size() + 1] = d->val[i];
    }
    dictionary_del(d);
    return r;
}

TEST(JobCreate, RecordsRegistryAndNumberReuse)
{
    nsfixture::Run([] {
        make_dirs();
        char id[40];
        std::memset(id, 'Z', sizeof id);
        const ConcreteJob_entry ft = entry("FileTransfer");
        ASSERT_EQ(0, create_job_instance(id, sizeof id, &ft));
        EXPECT_EQ(std::string("FileTransfer-0") + std::string(26, '\0'), std::string(id, sizeof id));
        EXPECT_EQ(section("ID-0", {{"instanceid", "FileTransfer-0"}, {"jobstate", "4"}, {"jobstatus", "Process Running"}}) + "\n",
                  read_file(kLedger));
        EXPECT_EQ(registry_section("FileTransfer") + "\n", read_file(kRegistry));
        EXPECT_EQ("", read_file("/tmp/sfcb/ConcreteJob.lock"));

        // Registering a type again overwrites its handler names; a new type is added.
        EXPECT_EQ("Selk-1", create(entry("Selk", "/lib/cim/libpkgbroker.so", "getSelkStatus", "SelkStatusCleanup")));
        EXPECT_EQ("FileTransfer-2", create(entry("FileTransfer", JLT_HANDLER_LIB, "jlt_update", "other")));
        EXPECT_EQ(registry_section("FileTransfer", JLT_HANDLER_LIB, "jlt_update", "other") +
                      registry_section("Selk", "/lib/cim/libpkgbroker.so", "getSelkStatus", "SelkStatusCleanup") + "\n",
                  read_file(kRegistry));

        // The smallest free number is used; section names compare without case.
        const auto running = [](const std::string &name, const std::string &id) {
            return section(name, {{"instanceid", id}, {"jobstate", "4"}, {"jobstatus", "Process Running"}});
        };
        write_file(kLedger, running("ID-0", "T-0") + running("ID-2", "T-2") + "\n");
        EXPECT_EQ("T-1", create(entry("T")));
        EXPECT_EQ("T-3", create(entry("T")));
        write_file(kLedger, running("ID-0", "T-0") + running("id-1", "T-1") + running("ID-02", "T-2") + "\n");
        EXPECT_EQ("T-2", create(entry("T")));
        EXPECT_EQ("T-1", record("id-1")["instanceid"]);
    });
}

TEST(JobCreate, RefusesWhatCannotBeRecordedWhole)
{
    nsfixture::Run([] {
        char id[40] = "untouched";
        const ConcreteJob_entry ok = entry("FileTransfer");
        EXPECT_EQ(1, create_job_instance(id, sizeof id, &ok));  // no /tmp/sfcb, no lock
        make_dirs();
        EXPECT_EQ(1, create_job_instance(id, 14, &ok));  // "FileTransfer-0" needs 15 bytes
        EXPECT_EQ(1, create_job_instance(nullptr, 40, &ok));
        EXPECT_EQ(1, create_job_instance(id, 40, nullptr));
        std::vector<ConcreteJob_entry> bad;
        for (const char *type : {"", "File-Transfer", "a:b", "a]", "has space"})
            bad.push_back(entry(type));
        bad.push_back(entry("T", JLT_HANDLER_LIB, ""));
        bad.push_back(entry("T", JLT_HANDLER_LIB, "jlt_update", "a\"b"));
        bad.push_back(entry("T", "/lib\n[x]"));
        bad.push_back(entry("T"));
        std::memset(bad.back().libPath, 'l', sizeof bad.back().libPath);  // unterminated
        for (const auto &e : bad)
            EXPECT_EQ(1, create_job_instance(id, sizeof id, &e)) << e.job_type_id;
        EXPECT_STREQ("untouched", id);
        EXPECT_EQ("", read_file(kLedger));
        EXPECT_EQ("", read_file(kRegistry));

        // Ten job types fit the handler table; an eleventh is refused.
        for (int i = 0; i < 10; ++i)
            EXPECT_EQ("T" + std::to_string(i) + "-" + std::to_string(i), create(entry("T" + std::to_string(i))));
        const ConcreteJob_entry eleventh = entry("T10");
        EXPECT_EQ(1, create_job_instance(id, sizeof id, &eleventh));
        EXPECT_EQ(10u, refresh().size());
    });
}

TEST(JobRefresh, HandlerAnswersAndTheFinishTime)
{
    nsfixture::Run([] {
        make_dirs();
        Strings jobs;
        for (int i = 0; i < 5; ++i)
            jobs.push_back(create(entry("T")));
        answer(jobs[1], 0, 7, "Process Completed");
        answer(jobs[2], 0, 4, "Still copying");
        answer(jobs[3], 3, 7, "no answer");
        answer(jobs[4], 0, 10, "@overlong");
        const long before = now();
        auto out = refresh();
        ASSERT_EQ(5u, out.size());
        EXPECT_EQ(4, out[0].job_state);
        EXPECT_STREQ("Process Running", out[0].job_status);
        EXPECT_EQ(7, out[1].job_state);
        EXPECT_STREQ("Process Completed", out[1].job_status);
        EXPECT_STREQ("Still copying", out[2].job_status);
        EXPECT_EQ(4, out[3].job_state);  // a failing handler leaves the record alone
        EXPECT_STREQ("Process Running", out[3].job_status);
        EXPECT_EQ(10, out[4].job_state);
        EXPECT_EQ(std::string(255, 'x'), out[4].job_status);  // an unterminated answer is cut
        const long stamped = std::stol(record("ID-1")["jobfinishtime"]);
        EXPECT_TRUE(stamped >= before && stamped <= now());
        for (const char *running : {"ID-0", "ID-2", "ID-3"})
            EXPECT_EQ(0u, record(running).count("jobfinishtime")) << running;

        // Final records are not asked again, and their finish time never changes.
        write_file(kLedger, read_file(kLedger) + done_record(5, "T-5", 100));
        const std::string finish5 = record("ID-5")["jobfinishtime"];
        answer(jobs[1], 0, 4, "running again");
        out = refresh();
        EXPECT_EQ(7, out[1].job_state);
        EXPECT_EQ(std::to_string(stamped), record("ID-1")["jobfinishtime"]);
        EXPECT_EQ(finish5, record("ID-5")["jobfinishtime"]);
        std::map<std::string, int> calls;
        for (const auto &l : log_lines("update"))
            ++calls[l];
        EXPECT_EQ((std::map<std::string, int>{{"T-0", 2}, {"T-1", 1}, {"T-2", 2}, {"T-3", 2}, {"T-4", 1}}), calls);
        EXPECT_TRUE(log_lines("cleanup").empty());
    });
}

// A refresh reuses what it read from a ledger or registry nobody changed since; every change
// shows at the next refresh, also one that keeps the file's size, or its size and times.
TEST(JobRefresh, SeesEveryChangeOfTheFilesItReusesWhatItRead)
{
    nsfixture::Run([] {
        make_dirs();
        const timespec long_ago[2] = {{now() - 60, 0}, {now() - 60, 0}};
        auto settle = [&](const char *path) { ASSERT_EQ(0, utimensat(AT_FDCWD, path, long_ago, 0)) << path; };
        const std::string finished = std::to_string(now());
        auto ledger = [&](const std::string &status, const std::string &more = "") {
            return section("ID-1", {{"instanceid", "T-1"}, {"jobstate", "7"}, {"jobstatus", status},
                                    {"jobfinishtime", finished}}) + more;
        };
        write_file(kRegistry, registry_section("T"));
        write_file(kLedger, ledger("one"));
        settle(kRegistry);

        enum How { IN_PLACE, IN_PLACE_TIMES_KEPT, REPLACED };
        const struct {
            How how;
            const char *before, *after;
        } cases[] = {{IN_PLACE, "one", "two"}, {IN_PLACE_TIMES_KEPT, "two", "six"}, {REPLACED, "six", "ten"}};
        auto inode = [] {
            struct stat st = {};
            stat(kLedger, &st);
            return st.st_ino;
        };
        for (const auto &c : cases) {
            settle(kLedger);
            const ino_t read = inode();
            auto out = refresh();
            ASSERT_EQ(1u, out.size());
            EXPECT_STREQ(c.before, out[0].job_status);
            EXPECT_EQ(read, inode()) << "a refresh that changed nothing rewrote the ledger";
            if (c.how == REPLACED) {
                write_file("/tmp/sfcb/next", ledger(c.after));
                settle("/tmp/sfcb/next");
                ASSERT_EQ(0, rename("/tmp/sfcb/next", kLedger));
            } else {
                write_file(kLedger, ledger(c.after));
                if (c.how == IN_PLACE_TIMES_KEPT)
                    settle(kLedger);
            }
            out = refresh();
            ASSERT_EQ(1u, out.size());
            EXPECT_STREQ(c.after, out[0].job_status) << c.before;
        }

        // A type registered since the last refresh gets its handler.
        settle(kLedger);
        refresh();
        write_file(kRegistry, registry_section("T") + registry_section("U"));
        settle(kRegistry);
        write_file(kLedger, ledger("ten", section("ID-2", {{"instanceid", "U-2"}, {"jobstate", "4"}})));
        answer("U-2", 0, 9, "U answered");
        const ino_t read = inode();
        const auto out = refresh();
        EXPECT_NE(read, inode()) << "the refreshed record was not saved";
        ASSERT_EQ(2u, out.size());
        EXPECT_EQ(9, out[1].job_state);
        EXPECT_STREQ("U answered", out[1].job_status);
    });
}

TEST(JobExpiry, AllowedAgesCleanupsAndTheWalk)
{
    nsfixture::Run([] {
        make_dirs();
        write_file(kRegistry, registry_section("T") + "\n");
        const std::string ninety = "00000000000130.000000:000", day = "00000001000000.000000:000";
        write_file(kLedger, done_record(0, "T-0", 301) + done_record(1, "T-1", 400) +
                                section("ID-2", {{"instanceid", "T-2"}, {"jobstate", "4"}}) +
                                done_record(3, "T-3", 280) + done_record(4, "Gone-4", 1000) +
                                done_record(5, "T-5", -1000) + done_record(6, "T-6", 95, ninety) +
                                done_record(7, "T-7", 80, ninety) + done_record(8, "T-8", 3600, day) +
                                done_record(9, "T-9", 86500, day) + done_record(10, "T-10", 250, "0130") +
                                done_record(11, "T-11", 350, "0130") + done_record(12, "T-12", 250, "abcdefghijklmn") +
                                done_record(13, "T-13", 5, "00000000000000.000000:000") + "\n");
        answer("T-2", 0, 7, "Process Completed");
        const auto out = refresh();
        // Two removals in a row do not make the walk skip T-2; a finish time in the
        // future keeps T-5; a day counts as a day; texts that are no interval give 300 s.
        EXPECT_EQ((Strings{"T-2", "T-3", "T-5", "T-7", "T-8", "T-10", "T-12"}), ids(out));
        EXPECT_EQ(7, out[0].job_state);
        EXPECT_STREQ(ninety.c_str(), out[3].time_before_removal);
        // One clean-up per removed record; Gone has no handler and goes without one.
        EXPECT_EQ((Strings{"T-0", "T-1", "T-6", "T-9", "T-11", "T-13"}), log_lines("cleanup"));
        EXPECT_TRUE(record("ID-4").empty());
        EXPECT_EQ(7u, refresh().size());
        EXPECT_EQ(6u, log_lines("cleanup").size());
        EXPECT_EQ("T-0", create(entry("T")));
        EXPECT_EQ("T-1", create(entry("T")));
        EXPECT_EQ("T-4", create(entry("T")));

        EXPECT_EQ(90, get_expire_time(ninety.c_str()));
        EXPECT_EQ(2 * 86400 + 3600 + 120 + 3, get_expire_time("00000002010203"));
        EXPECT_EQ(-1, get_expire_time("0000000000013"));
        EXPECT_EQ(-1, get_expire_time(nullptr));
    });
}

// A record goes once its age exceeds the allowed age, not when it reaches it. Ages count from
// the second the ledger is read in; a pass that straddles a second boundary is repeated.
TEST(JobExpiry, RemovedOnlyOnceOlderThanAllowed)
{
    nsfixture::Run([] {
        make_dirs();
        write_file(kRegistry, registry_section("T") + "\n");
        const std::string ninety = "00000000000130.000000:000", zero = "00000000000000.000000:000";
        const std::vector<std::pair<long, std::string>> ages = {{299, ""},    {300, ""}, {301, ""}, {90, ninety},
                                                                {91, ninety}, {0, zero}, {1, zero}};
        Strings kept;
        for (int attempt = 0; attempt < 5; ++attempt) {
            const long t0 = now();
            std::string ledger;
            for (size_t i = 0; i < ages.size(); ++i)
                ledger += done_record(static_cast<int>(i), "T-" + std::to_string(i), ages[i].first, ages[i].second);
            write_file(kLedger, ledger + "\n");
            kept = ids(refresh());
            if (now() == t0)
                break;
        }
        EXPECT_EQ((Strings{"T-0", "T-1", "T-3", "T-5"}), kept);
    });
}

TEST(JobExpiry, HandEditedRecordsNeitherCrashNorDisturbOthers)
{
    nsfixture::Run([] {
        make_dirs();
        write_file(kRegistry, registry_section("T") + "\n");
        write_file(kLedger, section("ID-0", {{"jobstate", "7"}, {"jobfinishtime", std::to_string(now() - 1000)}}) +
                                section("ID-1", {{"jobstate", "4"}, {"jobstatus", "no id"}}) +
                                section("ID-2", {{"instanceid", "T-2"}, {"jobstatus", "no state"}}) +
                                section("ID-3", {{"instanceid", "T-3"}, {"jobstate", "abc"}}) +
                                section("ID-4", {{"instanceid", "T-4"}, {"jobstate", "7"}, {"jobfinishtime", "soon"}}) +
                                section("ID-5", {{"instanceid", "T-5"}, {"jobstate", "70000"}}) +
                                section("ID-6", {{"instanceid", "NoDash"}, {"jobstate", "4"}}) +
                                done_record(7, "T-7", 1000).append("extra = \"x\"\n") + section("ID-8", {}) +
                                done_record(9, "T-9", 10) + "\n");
        answer("T-2", 0, 7, "repaired");
        const long before = now();
        const auto out = refresh();
        // Records without an instance id cannot be shown; ID-0 expired without a clean-up.
        EXPECT_EQ((Strings{"T-2", "T-3", "T-4", "T-5", "NoDash", "T-9"}), ids(out));
        EXPECT_EQ((Strings{"T-7"}), log_lines("cleanup"));
        EXPECT_TRUE(record("ID-0").empty());
        EXPECT_TRUE(record("ID-7").empty());  // extra keys go with their record
        EXPECT_EQ("no id", record("ID-1")["jobstatus"]);
        EXPECT_TRUE(exists(kLedger) && read_file(kLedger).find("[ID-8]") != std::string::npos);
        // A record without a state is asked like a running one.
        EXPECT_EQ(7, out[0].job_state);
        EXPECT_STREQ("repaired", out[0].job_status);
        // Unreadable states show as 0 and count as final: such records get a finish time.
        EXPECT_EQ(0, out[1].job_state);
        EXPECT_EQ(0, out[3].job_state);
        for (const char *name : {"ID-3", "ID-4", "ID-5"})
            EXPECT_GE(std::stol(record(name)["jobfinishtime"]), before) << name;
        EXPECT_EQ(4, out[4].job_state);  // type "NoDash" has no handler
        EXPECT_EQ("T-0", create(entry("T")));
    });
}

// Removing expired records costs time in proportion to the ledger: one large ledger takes no
// more CPU than the same records refreshed as many small ledgers. Every seventh record has
// expired; the others stay as they are.
TEST(JobExpiry, LargeLedgerCostsNoMorePerRecord)
{
    nsfixture::Run([] {
        make_dirs();
        auto cpu_of = [](int pieces, int records) {
            std::clock_t spent = 0;
            for (int p = 0; p < pieces; ++p) {
                std::string text;
                for (int n = p * records; n < (p + 1) * records; ++n)
                    text += done_record(n, "Gone-" + std::to_string(n), n % 7 == 0 ? 1000 : 10);
                write_file(kLedger, text + "\n");
                const std::clock_t start = std::clock();
                const size_t kept = refresh().size();
                spent += std::clock() - start;
                EXPECT_EQ(static_cast<size_t>(records / 7 * 6), kept);
            }
            return spent;
        };
        const std::clock_t small = cpu_of(50, 700);
        const std::clock_t large = cpu_of(1, 35000);
        EXPECT_LT(large, 3 * small + CLOCKS_PER_SEC / 20) << "small " << small << " large " << large;
        const std::string text = read_file(kLedger);
        EXPECT_EQ(std::string::npos, text.find("[ID-34986]"));
        EXPECT_NE(std::string::npos, text.find("[ID-34987]"));
    });
}

// The registry names libraries the CIMOM loads. One that anybody but the CIMOM's user may have
// written names none: the jobs stay as they are and the reason is logged, once. Trusted again,
// it is used again.
TEST(JobHandlers, RegistryOthersCouldWriteLoadsNothing)
{
    const std::vector<std::pair<std::string, void (*)()>> cases = {
        {"/tmp/sfcb is writable by group or others (mode 0777)", [] { chmod("/tmp/sfcb", 0777); }},
        {"/tmp/sfcb belongs to uid 1", [] { ASSERT_EQ(0, chown("/tmp/sfcb", 1, 0)); }},
        {"ConcreteJob.reg is writable by group or others (mode 0620)", [] { chmod(kRegistry, 0620); }},
        {"ConcreteJob.reg belongs to uid 1", [] { ASSERT_EQ(0, chown(kRegistry, 1, 0)); }},
        {"ConcreteJob.reg is a symbolic link",
         [] { ASSERT_TRUE(rename(kRegistry, "/tmp/sfcb/r") == 0 && symlink("r", kRegistry) == 0); }},
        // A FIFO must neither hang the refresh nor be read.
        {"ConcreteJob.reg is not a regular file", [] { ASSERT_TRUE(unlink(kRegistry) == 0 && mkfifo(kRegistry, 0600) == 0); }},
    };
    for (const auto &c : cases) {
        nsfixture::Run(
            [&c] {
                SyslogCatcher syslog;
                make_dirs();
                const std::string ledger = section("ID-0", {{"instanceid", "T-0"}, {"jobstate", "4"}}) +
                                           done_record(1, "T-1", 1000) + "\n";
                write_file(kLedger, ledger);
                write_file(kRegistry, registry_section("T") + "\n");
                answer("T-0", 0, 7, "Process Completed");
                ASSERT_NO_FATAL_FAILURE(c.second());
                for (int pass = 0; pass < 2; ++pass)
                    EXPECT_EQ((Strings{"T-0", "T-1"}), ids(refresh())) << c.first;
                EXPECT_EQ(ledger, read_file(kLedger));
                EXPECT_TRUE(log_lines("update").empty() && log_lines("cleanup").empty());
                const Strings logged = syslog.Take();
                ASSERT_EQ(1u, logged.size()) << "once, not at every refresh";
                EXPECT_NE(std::string::npos, logged[0].find(c.first)) << logged[0];

                unlink(kRegistry);
                write_file(kRegistry, registry_section("T") + "\n");
                ASSERT_TRUE(chmod(kRegistry, 0644) == 0 && chown("/tmp/sfcb", 0, 0) == 0 && chmod("/tmp/sfcb", 0755) == 0);
                const auto out = refresh();
                ASSERT_EQ((Strings{"T-0"}), ids(out));
                EXPECT_EQ(7, out[0].job_state);
                EXPECT_EQ((Strings{"T-1"}), log_lines("cleanup"));
            },
            nsfixture::Options{"", {}, 30});
    }
}

TEST(JobHandlers, MissingLedgerAndBadRegistrations)
{
    nsfixture::Run([] {
        make_dirs();
        ConcreteJob_data *jobs = reinterpret_cast<ConcreteJob_data *>(&jobs);
        int count = 99;
        EXPECT_EQ(0, init_job(&jobs, &count));
        EXPECT_EQ(0, count);
        EXPECT_EQ(nullptr, jobs);
        EXPECT_FALSE(exists(kLedger));

        const std::string ledger = section("ID-0", {{"instanceid", "T-0"}, {"jobstate", "4"}}) + "\n";
        const std::string good = registry_section("T");
        std::string eleven = good;
        for (int i = 0; i < 10; ++i)
            eleven += registry_section("X" + std::to_string(i));
        for (const std::string &reg :
             {good + registry_section("U", "/tmp/sfcb/absent.so"), good + registry_section("U", JLT_HANDLER_LIB, "nope"),
              good + registry_section("U", JLT_HANDLER_LIB, "jlt_update", "nope"),
              good + section("U", {{"libpath", JLT_HANDLER_LIB}, {"updatehandler", "jlt_update"}}), eleven}) {
            write_file(kLedger, ledger);
            write_file(kRegistry, reg + "\n");
            EXPECT_EQ(1, init_job(&jobs, &count)) << reg;
            EXPECT_EQ(ledger, read_file(kLedger)) << reg;
            EXPECT_EQ(-1, get_job_handler("T")) << reg;  // everything was unloaded again
        }
        EXPECT_TRUE(log_lines("update").empty());

        write_file(kRegistry, good + registry_section("U") + "\n");
        EXPECT_EQ((Strings{"T-0"}), ids(refresh()));
        EXPECT_EQ(0, get_job_handler("T"));
        EXPECT_EQ(1, get_job_handler("U"));
        free_job_handler();
        EXPECT_EQ(-1, get_job_handler("T"));
    });
}


// A refresh of a settled ledger directory uses the tables it kept and does not look for stale
// temporary files again; a change made after it must show at the next refresh. ID-0 is a
// finished record whose status comes from the file, ID-1 a running one whose handler now
// answers if the registry is still trusted. The ledger is a link, which a refresh follows.
const long kFinished = now();
std::string settled_ledger(const std::string &status)
{
    return section("ID-0", {{"instanceid", "T-0"}, {"jobstate", "7"}, {"jobstatus", status},
                            {"jobfinishtime", std::to_string(kFinished)}}) +
           section("ID-1", {{"instanceid", "T-1"}, {"jobstate", "4"}, {"jobstatus", "Process Running"}}) + "\n";
}
void settle(const char *path)
{
    const timespec long_ago[2] = {{kFinished - 60, 0}, {kFinished - 60, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path, long_ago, 0)) << path;
}

TEST(JobRefresh, ChangesAfterASettledRefreshShow)
{
    const struct {
        void (*change)();
        Strings status;      // of ID-0 and ID-1 after the change
        const char *logged;  // why the registry is refused, or null
    } cases[] = {
        {[] { write_file("/tmp/sfcb/ConcreteJob.reg.tmpAbC123", ""); }, {"one", "Done"}, nullptr},
        {[] { ASSERT_TRUE(rename(kRegistry, "/tmp/sfcb/r") == 0 && symlink("r", kRegistry) == 0); },
         {"one", "Process Running"}, "ConcreteJob.reg is a symbolic link"},
        {[] { ASSERT_EQ(0, chown(kRegistry, 1, 0)); }, {"one", "Process Running"}, "ConcreteJob.reg belongs to uid 1"},
        // Another file of the same size and times; the same file, size and times.
        {[] {
             write_file("/tmp/sfcb/b.ini", settled_ledger("two"));
             settle("/tmp/sfcb/b.ini");
             ASSERT_TRUE(unlink(kLedger) == 0 && symlink("b.ini", kLedger) == 0);
         },
         {"two", "Done"}, nullptr},
        {[] {
             write_file("/tmp/sfcb/a.ini", settled_ledger("six"));
             settle("/tmp/sfcb/a.ini");
         },
         {"six", "Done"}, nullptr},
    };
    for (const auto &c : cases) {
        nsfixture::Run([&c] {
            SyslogCatcher syslog;
            make_dirs();
            write_file("/tmp/sfcb/ConcreteJob.lock", "");
            write_file(kRegistry, registry_section("T") + "\n");
            write_file("/tmp/sfcb/a.ini", settled_ledger("one"));
            ASSERT_EQ(0, symlink("a.ini", kLedger));
            for (const char *path : {kRegistry, "/tmp/sfcb/a.ini", "/tmp/sfcb"})
                settle(path);
            for (int pass = 0; pass < 2; ++pass)
                EXPECT_EQ((Strings{"T-0", "T-1"}), ids(refresh()));
            answer("T-1", 0, 7, "Done");
            ASSERT_NO_FATAL_FAILURE(c.change());
            Strings status;
            for (const auto &j : refresh())
                status.emplace_back(j.job_status);
            EXPECT_EQ(c.status, status);
            EXPECT_FALSE(exists("/tmp/sfcb/ConcreteJob.reg.tmpAbC123"));
            const Strings logged = syslog.Take();
            EXPECT_TRUE(c.logged == nullptr ? logged.empty()
                                            : logged.size() == 1 && logged[0].find(c.logged) != std::string::npos)
                << (c.logged ? c.logged : "nothing logged");
        });
    }
}

}  // namespace
