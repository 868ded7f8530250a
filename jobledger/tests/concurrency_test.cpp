#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "dictionary.h"
#include "jobledger.h"
#include "nsfixture.h"
#include "test_util.h"

using namespace jlt;

namespace {

const char *const kLedger = "/tmp/sfcb/ConcreteJob.ini";

int refresh_count()
{
    ConcreteJob_data *jobs = nullptr;
    int count = -1;
    const int rc = init_job(&jobs, &count);
    std::free(jobs);
    return rc == 0 ? count : -1;
}

// One writer process: four threads creating 25 jobs each and one thread
// refreshing meanwhile. Writes its ids to fd; exits 0 when every call worked.
[[noreturn]] void writer_process(int fd)
{
    std::atomic<bool> ok{true};
    std::atomic<int> creators{4};
    std::vector<Strings> made(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &ok, &made, &creators] {
            const ConcreteJob_entry e = entry(t % 2 == 0 ? "FileTransfer" : "Selk");
            for (int j = 0; j < 25; ++j) {
                char id[40];
                if (create_job_instance(id, sizeof id, &e) != 0)
                    ok = false;
                else
                    made[static_cast<size_t>(t)].emplace_back(id);
            }
            --creators;
        });
    }
    threads.emplace_back([&ok, &creators] {
        for (int last = 0; creators > 0; usleep(20000)) {
            const int count = refresh_count();
            ok = ok && count >= last;  // nothing expires, so the count never drops
            last = count;
        }
    });
    for (auto &th : threads)
        th.join();
    std::string text;
    for (const auto &ids : made)
        for (const auto &id : ids)
            text += id + "\n";
    ok = ok && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    _exit(ok ? 0 : 1);
}

TEST(JobConcurrency, ProcessesAndThreadsGetDistinctNumbers)
{
    nsfixture::Run([] {
        make_dirs();
        std::vector<std::pair<pid_t, int>> writers;
        for (int p = 0; p < 8; ++p) {
            int fds[2];
            ASSERT_EQ(0, pipe(fds));
            const pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0)
                writer_process(fds[1]);
            close(fds[1]);
            writers.emplace_back(pid, fds[0]);
        }
        Strings reported;
        for (const auto &w : writers) {
            std::istringstream in(read_file("/proc/self/fd/" + std::to_string(w.second)));
            for (std::string l; std::getline(in, l);)
                reported.push_back(l);
            close(w.second);
            int status = 0;
            waitpid(w.first, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        ASSERT_EQ(800u, reported.size());
        std::set<long> numbers;
        for (const auto &id : reported)
            numbers.insert(std::stol(id.substr(id.find('-') + 1)));
        EXPECT_EQ(800u, numbers.size());  // none twice
        EXPECT_EQ(799, *numbers.rbegin());  // none skipped

        // The ledger holds every job once, each whole and under its own number.
        dictionary *d = dictionary_load_from_file(kLedger);
        ASSERT_NE(nullptr, d);
        Strings in_ledger;
        for (const char *name : util_get_sec_names(d)) {
            const char *id = dictionary_get(d, (std::string(name) + ":instanceid").c_str());
            ASSERT_NE(nullptr, id) << name;
            EXPECT_STREQ("4", dictionary_get(d, (std::string(name) + ":jobstate").c_str()));
            EXPECT_EQ(std::string(name).substr(3), std::string(std::strchr(id, '-') + 1));
            in_ledger.emplace_back(id);
        }
        dictionary_del(d);
        std::sort(in_ledger.begin(), in_ledger.end());
        std::sort(reported.begin(), reported.end());
        EXPECT_EQ(reported, in_ledger);
        EXPECT_EQ(800, refresh_count());
    });
}

TEST(JobConcurrency, WriterKilledInsideASaveLeavesTheOldLedger)
{
    nsfixture::Run([] {
        make_dirs();
        const ConcreteJob_entry e = entry("FileTransfer");
        for (int i = 0; i < 100; ++i)
            create(e);
        const std::string before = read_file(kLedger);
        ASSERT_GT(before.size(), 4096u);

        // The file size limit kills the writer with SIGXFSZ once its new ledger
        // passes 4 KiB, in the middle of writing it.
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const rlimit no_core{0, 0}, small{4096, 4096};
            setrlimit(RLIMIT_CORE, &no_core);
            setrlimit(RLIMIT_FSIZE, &small);
            create(e);
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ);
        EXPECT_EQ(before, read_file(kLedger));
        const auto temp_files = [] {
            return std::system("ls /tmp/sfcb | grep -q 'ConcreteJob.ini.tmp'") == 0;
        };
        EXPECT_TRUE(temp_files());
        // The lock died with the writer; a refresh sees every record and clears the leftover.
        EXPECT_EQ(100, refresh_count());
        EXPECT_FALSE(temp_files());
        EXPECT_EQ("FileTransfer-100", create(e));
    });
}

}  // namespace
