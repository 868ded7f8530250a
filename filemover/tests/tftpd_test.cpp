// TFTP client against the system's tftpd-hpa.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include "filestore.h"
#include "nsfixture.h"
#include "tftp_client.h"
#include "tftpd_server.h"

namespace {

using tftptest::Tftpd;
using tftptest::WriteServedFile;

const char kServed[] = "/tmp/served";

std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    uint32_t x = 2463534242u;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = static_cast<char>(x);
    }
    return s;
}

std::string Md5Of(const std::string &path)
{
    char out[33];
    return util_calculate_md5_checksum(path.c_str(), out, sizeof out) == 0 ? out : "";
}

tftp_options Opts(const Tftpd &d, uint16_t blksize, int32_t timeout, const std::string &remote)
{
    tftp_options o{};
    o.blksize = blksize;
    o.timeout = timeout;
    snprintf(o.port, sizeof o.port, "%s", d.port_text().c_str());
    EXPECT_EQ(0, tftp_set_remotefile(&o, remote.c_str()));
    return o;
}

// Small, empty, exact multiples of each block size, and a file large enough for the 16-bit
// block numbers to roll over at 512-byte blocks; at each block size, with and without options.
TEST(Tftpd, RealTransfers)
{
    nsfixture::Run(
        [] {
            ASSERT_EQ(0, mkdir(kServed, 0755));
            ASSERT_EQ(0, mkdir("/tmp/served/sub", 0755));
            struct File {
                std::string name;
                size_t size;
            };
            const File files[] = {
                {"small.bin", 100},         {"empty.bin", 0},
                {"m512.bin", 512 * 4},      {"m1468.bin", 1468 * 3},
                {"m65464.bin", 65464 * 2},  {"sub/large.bin", 40 * 1024 * 1024 + 77},
            };
            for (const File &f : files)
                ASSERT_TRUE(WriteServedFile(std::string(kServed) + "/" + f.name, Pattern(f.size)));

            Tftpd d(kServed);
            ASSERT_TRUE(d.ok()) << d.error();
            ASSERT_EQ(0, util_create_file_store(FILE_STORE_DIR));
            const std::string local = FILE_STORE_DIR "got.bin";

            for (uint16_t blksize : {512, 1468, 65464}) {
                for (int32_t timeout : {0, 5}) {
                    for (const File &f : files) {
                        if (f.size > 1024 * 1024 && (timeout == 0 || blksize == 1468))
                            continue;  // the large file once per block size is enough
                        SCOPED_TRACE(f.name + " blksize " + std::to_string(blksize) + " timeout " +
                                     std::to_string(timeout));
                        const tftp_options o = Opts(d, blksize, timeout, "/" + f.name);
                        ASSERT_EQ(TFTP_OK, tftp_get("127.0.0.1", local.c_str(), &o));
                        EXPECT_EQ(static_cast<long long>(f.size), util_get_file_size(local.c_str()));
                        EXPECT_EQ(Md5Of(std::string(kServed) + "/" + f.name), Md5Of(local));
                    }
                }
            }
        },
        nsfixture::Options{"", {}, 110});
}

TEST(Tftpd, MissingFileFailsAndLeavesNothing)
{
    nsfixture::Run([] {
        ASSERT_EQ(0, mkdir(kServed, 0755));
        Tftpd d(kServed);
        ASSERT_TRUE(d.ok()) << d.error();
        const tftp_options o = Opts(d, 1468, 2, "/nothere.bin");
        EXPECT_EQ(TFTP_FAILED, tftp_get("127.0.0.1", "/var/tmp/x.bin", &o));
        EXPECT_EQ(-1, util_get_file_size("/var/tmp/x.bin"));
        EXPECT_EQ(-1, util_get_file_size("/var/tmp/x.binxfer_fw.!lock"));
    });
}

TEST(Tftpd, Ipv6)
{
    nsfixture::Run([] {
        ASSERT_EQ(0, mkdir(kServed, 0755));
        const std::string content = Pattern(3000);
        ASSERT_TRUE(WriteServedFile(std::string(kServed) + "/v6.bin", content));
        Tftpd d(kServed, "::1");
        if (!d.ok())
            GTEST_SKIP() << d.error();
        const tftp_options o = Opts(d, 1024, 2, "/v6.bin");
        ASSERT_EQ(TFTP_OK, tftp_get("::1", "/var/tmp/v6.bin", &o));
        EXPECT_EQ(Md5Of(std::string(kServed) + "/v6.bin"), Md5Of("/var/tmp/v6.bin"));
    });
}

}  // namespace
