// Helpers shared by the TFTP and SFTP download benchmarks: timed runs of a peer program or of
// a function in a child process, with the child's peak memory.
#ifndef QELVO_BENCH_TFTP_SFTP_BENCH_H
#define QELVO_BENCH_TFTP_SFTP_BENCH_H

#include <fcntl.h>
#include <stdint.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "filestore.h"

namespace xferbench {

constexpr size_t kMiB = 1024 * 1024;

// The MD5 of a file as hex text, or "" when it cannot be read.
inline std::string Md5(const std::string &path)
{
    char out[33];
    return util_calculate_md5_checksum(path.c_str(), out, sizeof out) == 0 ? out : "";
}

// Writes size bytes of pseudo-random data (no two megabytes alike), world-readable as the
// servers need.
inline bool MakeFile(const std::string &path, size_t size)
{
    std::string chunk(kMiB, '\0');
    uint32_t x = 362436069u;
    for (auto &c : chunk) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    for (size_t done = 0; done < size; done += kMiB) {
        chunk[0] = static_cast<char>(done / kMiB);
        fwrite(chunk.data(), 1, std::min(kMiB, size - done), f);
    }
    return fclose(f) == 0 && chmod(path.c_str(), 0644) == 0;
}

struct Result {
    bool ok = false;        // exit status 0 within the time limit
    double seconds = 0;     // wall time
    long max_rss_kib = 0;   // peak resident size of the child
    double cpu_seconds = 0; // user and system time of the child
};

// Runs body in a child process (its standard output and error go to /dev/null); the child's
// exit status is body's result.
inline Result Timed(const std::function<int()> &body, int limit_seconds = 300)
{
    Result r;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0)
        return r;
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        _exit(body());
    }
    const auto limit = start + std::chrono::seconds(limit_seconds);
    for (;;) {
        int status = 0;
        struct rusage ru;
        const pid_t w = wait4(pid, &status, WNOHANG, &ru);
        if (w == pid) {
            r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            r.max_rss_kib = ru.ru_maxrss;
            r.cpu_seconds = ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
                            (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
            return r;
        }
        if (w < 0 || std::chrono::steady_clock::now() > limit) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return r;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

// Runs a program with arguments, optionally feeding stdin_text.
inline Result Command(const std::vector<std::string> &argv, const std::string &stdin_text = "")
{
    return Timed([&]() -> int {
        if (!stdin_text.empty()) {
            int p[2];
            if (pipe(p) != 0)
                return 126;
            if (write(p[1], stdin_text.data(), stdin_text.size()) !=
                static_cast<ssize_t>(stdin_text.size()))
                return 126;
            close(p[1]);
            dup2(p[0], 0);
            close(p[0]);
        }
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        return 127;
    });
}

// One client configuration of a benchmark and its best run.
struct Contender {
    Contender(std::string c, int s, std::function<Result()> o)
        : client(std::move(c)), setting(s), once(std::move(o))
    {
    }
    std::string client;
    int setting;                     // block size, read size, ... (0: none)
    std::function<Result()> once;
    Result best;
    std::vector<double> seconds;     // wall time of each round, in order
    bool failed = false;
};

// The median over the rounds of peer's time / mine's time in the same round: against a load
// that changes between rounds it is steadier than the ratio of the best times.
inline double MedianRatio(const Contender &peer, const Contender &mine)
{
    std::vector<double> ratios;
    for (size_t i = 0; i < peer.seconds.size() && i < mine.seconds.size(); ++i)
        ratios.push_back(peer.seconds[i] / mine.seconds[i]);
    if (ratios.empty())
        return 0;
    std::sort(ratios.begin(), ratios.end());
    const size_t n = ratios.size();
    return n % 2 == 1 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
}

// Runs every contender once per round, rounds interleaved so that a change of machine load
// hits all of them alike, and keeps each one's best run and the time of every round. verify checks (and clears) the
// output after each run; a failed run marks its contender failed.
inline void RunRounds(std::vector<Contender> &contenders, int rounds, const std::function<bool()> &verify)
{
    for (int round = 0; round < rounds; ++round) {
        for (Contender &c : contenders) {
            if (c.failed)
                continue;
            const Result r = c.once();
            if (!r.ok || !verify()) {
                c.failed = true;
                continue;
            }
            c.seconds.push_back(r.seconds);
            if (!c.best.ok || r.seconds < c.best.seconds)
                c.best = r;
        }
    }
}

}  // namespace xferbench

#endif
