// Downloads a 256 MiB file from one OpenSSH sshd on loopback with sftp_read, with curl's
// sftp:// and with OpenSSH's sftp, in one run, and reports each best time and the ratio
// peer time / sftp_read time (above 1: sftp_read is faster), of the best times and as the
// median of the rounds.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "filestore.h"
#include "nsfixture.h"
#include "sftp_client.h"
#include "sftp_sshd.h"
#include "tftp_sftp_bench.h"

namespace {

using xferbench::Contender;
using xferbench::kMiB;
using xferbench::MakeFile;
using xferbench::Md5;
using xferbench::Result;

const char kRemote[] = "/tmp/sftpsrc/big.bin";
const char kOut[] = "/var/tmp/out.bin";
const char kUser[] = "benchuser";
const char kPassword[] = "bench-Pw-1";
constexpr int kRounds = 7;


TEST(SftpBench, Download256MiB)
{
    nsfixture::Options opts;
    opts.timeout_seconds = 900;
    nsfixture::Run(
        [] {
            ASSERT_TRUE(sftptest::AddAccount(kUser, kPassword));
            sftptest::SshdConfig config;
            config.password = true;
            config.public_key = true;  // for OpenSSH's sftp, which has no password option
            sftptest::Sshd d(config);
            ASSERT_TRUE(d.ok()) << d.error();
            ASSERT_EQ(0, mkdir("/tmp/sftpsrc", 0755));
            ASSERT_TRUE(MakeFile(kRemote, 256 * kMiB));
            const std::string want = Md5(kRemote);
            auto verify = [&] {
                const bool same = Md5(kOut) == want;
                unlink(kOut);
                return same;
            };

            std::vector<Contender> rows;
            rows.emplace_back("sftp_read", 0, [&d] {
                return xferbench::Timed([&d] {
                    sftp_date_struct r;
                    memset(&r, 0, sizeof r);
                    snprintf(r.hostname, sizeof r.hostname, "127.0.0.1");
                    snprintf(r.userid, sizeof r.userid, "%s", kUser);
                    snprintf(r.passwd, sizeof r.passwd, "%s", kPassword);
                    snprintf(r.port, sizeof r.port, "%s", d.port_text().c_str());
                    snprintf(r.local_file_path, sizeof r.local_file_path, "%s", kOut);
                    snprintf(r.remote_file_path, sizeof r.remote_file_path, "%s", kRemote);
                    sftp_read(&r);
                    return r.status == SFTP_OK ? 0 : 1;
                });
            });
            const std::string url = "sftp://127.0.0.1:" + d.port_text() + kRemote;
            rows.emplace_back("curl", 0, [url] {
                return xferbench::Command({"curl", "-s", "-f", "-k", "-u",
                                           std::string(kUser) + ":" + kPassword, "-o", kOut, url});
            });
            rows.emplace_back("sftp", 0, [&d] {
                return xferbench::Command({"sftp", "-q", "-i", d.client_key(), "-o", "BatchMode=yes", "-o",
                                           "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
                                           "-P", d.port_text(), "-b", "-",
                                           std::string(kUser) + "@127.0.0.1"},
                                          std::string("get ") + kRemote + " " + kOut + "\n");
            });
            xferbench::RunRounds(rows, kRounds, verify);

            const Contender &mine = rows[0];
            printf("\nSFTP download of 256 MiB from OpenSSH sshd on loopback (best of %d rounds)\n", kRounds);
            printf("%-10s %10s %10s %10s %12s %14s\n", "client", "seconds", "cpu s", "MiB/s", "ratio best",
                   "ratio median");
            printf("%-10s %10s %10s %10s %27s\n", "", "", "", "", "(peer time / sftp_read time)");
            for (const Contender &r : rows) {
                if (r.failed) {
                    printf("%-10s %10s\n", r.client.c_str(), "failed");
                    ADD_FAILURE() << r.client << " failed";
                    continue;
                }
                const bool compare = !mine.failed && &r != &mine;
                printf("%-10s %10.3f %10.3f %10.1f %12.2f %14.2f\n", r.client.c_str(), r.best.seconds,
                       r.best.cpu_seconds, 256.0 / r.best.seconds,
                       compare ? r.best.seconds / mine.best.seconds : 1.0,
                       compare ? xferbench::MedianRatio(r, mine) : 1.0);
            }
            if (!rows[0].failed)
                printf("sftp_read peak RSS %ld KiB\n", rows[0].best.max_rss_kib);
        },
        opts);
}

}  // namespace
