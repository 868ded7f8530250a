// Downloads a 64 MiB file from one tftpd-hpa on loopback with tftp_get and with the TFTP
// clients at hand (curl, atftp, tftp-hpa), in one run, and reports each time and the ratio
// peer time / tftp_get time (above 1: tftp_get is faster). Also checks that tftp_get's peak
// memory does not grow with the file size.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "filestore.h"
#include "nsfixture.h"
#include "tftp_client.h"
#include "tftp_sftp_bench.h"
#include "tftpd_server.h"

namespace {

using xferbench::kMiB;
using xferbench::MakeFile;
using xferbench::Md5;
using xferbench::Result;

const char kServed[] = "/tmp/served";
const char kOut[] = "/var/tmp/out.bin";
constexpr int kRepeats = 5;


bool Installed(const char *path)
{
    return access(path, X_OK) == 0;
}

Result Ours(const tftptest::Tftpd &d, const std::string &remote, uint16_t blksize)
{
    return xferbench::Timed([&] {
        tftp_options o{};
        o.blksize = blksize;
        o.timeout = 5;
        snprintf(o.port, sizeof o.port, "%s", d.port_text().c_str());
        tftp_set_remotefile(&o, remote.c_str());
        return tftp_get("127.0.0.1", kOut, &o) == TFTP_OK ? 0 : 1;
    });
}

TEST(TftpBench, Download64MiB)
{
    nsfixture::Options opts;
    opts.timeout_seconds = 900;
    nsfixture::Run(
        [] {
            ASSERT_EQ(0, mkdir(kServed, 0755));
            ASSERT_TRUE(MakeFile(std::string(kServed) + "/big.bin", 64 * kMiB));
            ASSERT_TRUE(MakeFile(std::string(kServed) + "/mid.bin", 8 * kMiB));
            const std::string want = Md5(std::string(kServed) + "/big.bin");
            tftptest::Tftpd d(kServed);
            ASSERT_TRUE(d.ok()) << d.error();
            const std::string url = "tftp://127.0.0.1:" + d.port_text() + "/big.bin";
            auto verify = [&] {
                const bool same = Md5(kOut) == want;
                unlink(kOut);
                return same;
            };

            using xferbench::Contender;
            std::vector<Contender> rows;
            for (int bs : {512, 1468, 8192}) {
                const std::string b = std::to_string(bs);
                rows.push_back({"tftp_get", bs, [&d, bs] { return Ours(d, "/big.bin", static_cast<uint16_t>(bs)); }});
                rows.push_back({"curl", bs, [&url, b] {
                                    return xferbench::Command({"curl", "-s", "-f", "--tftp-blksize", b, "-o", kOut, url});
                                }});
                if (Installed("/usr/bin/atftp"))
                    rows.push_back({"atftp", bs, [&d, b] {
                                        return xferbench::Command({"atftp", "--option", "blksize " + b, "--option",
                                                                   "tsize", "--get", "-r", "big.bin", "-l", kOut,
                                                                   "127.0.0.1", d.port_text()});
                                    }});
            }
            rows.push_back({"tftp-hpa", 512, [&d] {
                                return xferbench::Command({"tftp", "127.0.0.1", d.port_text(), "-m", "binary", "-c",
                                                           "get", "big.bin", kOut});
                            }});
            xferbench::RunRounds(rows, kRepeats, verify);

            printf("\nTFTP download of 64 MiB from tftpd-hpa on loopback (best of %d rounds)\n", kRepeats);
            printf("%-10s %8s %10s %10s %22s\n", "client", "blksize", "seconds", "MiB/s",
                   "ratio peer/tftp_get");
            for (const Contender &r : rows) {
                double mine = 0;
                for (const Contender &o : rows)
                    if (o.client == "tftp_get" && o.setting == r.setting && !o.failed)
                        mine = o.best.seconds;
                if (r.failed) {
                    printf("%-10s %8d %10s\n", r.client.c_str(), r.setting, "failed");
                    ADD_FAILURE() << r.client << " at " << r.setting << " failed";
                    continue;
                }
                printf("%-10s %8d %10.3f %10.1f %22.2f\n", r.client.c_str(), r.setting, r.best.seconds,
                       64.0 / r.best.seconds, mine > 0 ? r.best.seconds / mine : 0.0);
            }

            // Peak memory of tftp_get for an 8 MiB and a 64 MiB file.
            const Result small = Ours(d, "/mid.bin", 1468);
            unlink(kOut);
            const Result big = Ours(d, "/big.bin", 1468);
            unlink(kOut);
            ASSERT_TRUE(small.ok && big.ok);
            printf("tftp_get peak RSS: 8 MiB file %ld KiB, 64 MiB file %ld KiB\n", small.max_rss_kib,
                   big.max_rss_kib);
            EXPECT_LT(big.max_rss_kib - small.max_rss_kib, 2048) << "peak memory grows with the file";
        },
        opts);
}

}  // namespace
