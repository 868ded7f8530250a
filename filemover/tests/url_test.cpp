#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fileutil.h"
#include "url.h"

namespace {

TEST(ParseUrl, TftpWithAndWithoutPort)
{
    url_struct u;
    ASSERT_EQ(0, parse_url("tftp://10.0.0.5/fw/a.bin", &u));
    EXPECT_STREQ("tftp", u.protocol);
    EXPECT_STREQ("10.0.0.5", u.hostname);
    EXPECT_STREQ("69", u.port);
    EXPECT_STREQ("/fw/a.bin", u.path);

    ASSERT_EQ(0, parse_url("TFTP://h:1069/a.bin", &u));
    EXPECT_STREQ("tftp", u.protocol);
    EXPECT_STREQ("h", u.hostname);
    EXPECT_STREQ("1069", u.port);
    EXPECT_STREQ("/a.bin", u.path);
}

TEST(ParseUrl, ColonInTheTftpPathIsNotAPort)
{
    url_struct u;
    ASSERT_EQ(0, parse_url("tftp://h/dir:1/f", &u));
    EXPECT_STREQ("h", u.hostname);
    EXPECT_STREQ("69", u.port);
    EXPECT_STREQ("/dir:1/f", u.path);
}

TEST(ParseUrl, Sftp)
{
    url_struct u;
    ASSERT_EQ(0, parse_url("sftp://root:se:cret@192.168.1.2/dir/f", &u));
    EXPECT_STREQ("sftp", u.protocol);
    EXPECT_STREQ("root", u.userid);
    EXPECT_STREQ("se:cret", u.passwd);  // the user ends at the first ":"
    EXPECT_STREQ("192.168.1.2", u.hostname);
    EXPECT_STREQ("22", u.port);
    EXPECT_STREQ("/dir/f", u.path);

    ASSERT_EQ(0, parse_url("SfTp://u:p@h:2222/x", &u));
    EXPECT_STREQ("sftp", u.protocol);
    EXPECT_STREQ("2222", u.port);
    EXPECT_STREQ("/x", u.path);

    EXPECT_EQ(-1, parse_url("sftp://192.168.1.2/dir/f", &u));  // no user and password
}

TEST(ParseUrl, FileUrls)
{
    url_struct u;
    ASSERT_EQ(0, parse_url("file:///var/x", &u));
    EXPECT_STREQ("file", u.protocol);
    EXPECT_STREQ("/var/x", u.path);
    ASSERT_EQ(0, parse_url("FILE:/var/y", &u));
    EXPECT_STREQ("/var/y", u.path);
}

TEST(ParseUrl, RejectsUnknownFormsAndBadPorts)
{
    url_struct u;
    EXPECT_EQ(-1, parse_url("http://h/x", &u));
    EXPECT_EQ(-1, parse_url("/var/tmp/x", &u));
    EXPECT_EQ(-1, parse_url("tftp://h", &u));       // empty path
    EXPECT_EQ(-1, parse_url("tftp://h:abc/x", &u));
    EXPECT_EQ(-1, parse_url("tftp://h:0/x", &u));
    EXPECT_EQ(-1, parse_url("tftp://h:65605/x", &u));  // would wrap to port 69
    EXPECT_EQ(-1, parse_url("sftp://u:p@h:99999999999/x", &u));
    EXPECT_EQ(-1, parse_url("averyveryverylongprotocol://h/x", &u));
    EXPECT_EQ(-1, parse_url(nullptr, &u));
}

// Every field takes values up to its size less the terminator; one more character is refused,
// never cut and never written past the field.
TEST(ParseUrl, FieldLimits)
{
    url_struct u;
    const std::string host63(63, 'h'), host64(64, 'h');
    EXPECT_EQ(0, parse_url(("tftp://" + host63 + "/f").c_str(), &u));
    EXPECT_EQ(host63, u.hostname);
    EXPECT_EQ(-1, parse_url(("tftp://" + host64 + "/f").c_str(), &u));
    EXPECT_EQ(-1, parse_url(("tftp://" + host64 + ":69/f").c_str(), &u));

    const std::string path255 = "/" + std::string(254, 'p'), path256 = "/" + std::string(255, 'p');
    EXPECT_EQ(0, parse_url(("tftp://h" + path255).c_str(), &u));
    EXPECT_EQ(path255, u.path);
    EXPECT_EQ(-1, parse_url(("tftp://h" + path256).c_str(), &u));
    EXPECT_EQ(-1, parse_url(("file:" + path256).c_str(), &u));

    const std::string long_user(256, 'u'), long_pass(256, 'w'), ok_pass(255, 'w');
    EXPECT_EQ(-1, parse_url(("sftp://" + long_user + ":p@h/f").c_str(), &u));
    EXPECT_EQ(-1, parse_url(("sftp://u:" + long_pass + "@h/f").c_str(), &u));
    EXPECT_EQ(0, parse_url(("sftp://u:" + ok_pass + "@h/f").c_str(), &u));
    EXPECT_EQ(ok_pass, u.passwd);

    // A URL far longer than any field.
    const std::string huge = "sftp://" + std::string(5000, 'a') + ":" + std::string(5000, 'b') + "@" +
                             std::string(5000, 'c') + ":22/" + std::string(5000, 'd');
    EXPECT_EQ(-1, parse_url(huge.c_str(), &u));
}

// A client's URL may be of any length; a first line longer than all fields together is refused
// before the parser sets aside room for its parts, and what follows a line end is not read. The
// child process gets an address space that holds the URL with little to spare, so scratch room
// of a few times its length cannot be had.
TEST(ParseUrl, OverlongUrlIsRefusedBeforeScratchRoomIsTaken)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's shadow memory needs an unlimited address space";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "the sanitizer's shadow memory needs an unlimited address space";
#endif
#endif
    constexpr size_t kUrlBytes = 64u << 20;
    std::string url = "tftp://h/" + std::string(kUrlBytes, 'p');
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        unsigned long pages = 0;
        FILE *statm = fopen("/proc/self/statm", "r");
        if (statm == nullptr || fscanf(statm, "%lu", &pages) != 1)
            _exit(3);
        fclose(statm);
        const rlim_t limit = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + kUrlBytes;
        const rlimit lim{limit, limit};
        if (setrlimit(RLIMIT_AS, &lim) != 0)
            _exit(3);
        url_struct u;
        try {
            if (parse_url(url.c_str(), &u) != -1)
                _exit(1);
            url[10] = '\n';
            _exit(parse_url(url.c_str(), &u) == 0 && strcmp(u.path, "/p") == 0 ? 0 : 1);
        } catch (...) {
            _exit(2);  // the scratch room could not be had
        }
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST(GetIpAddr, LiteralsAndNames)
{
    ip_addr_struct a;
    ASSERT_EQ(0, get_ip_addr("10.1.2.3", &a));
    EXPECT_EQ(AF_INET, a.ip_type);
    const unsigned char v4[4] = {10, 1, 2, 3};
    EXPECT_EQ(0, memcmp(v4, a.ip, 4));

    ASSERT_EQ(0, get_ip_addr("::1", &a));
    EXPECT_EQ(AF_INET6, a.ip_type);
    unsigned char v6[16] = {};
    v6[15] = 1;
    EXPECT_EQ(0, memcmp(v6, a.ip, 16));

    ASSERT_EQ(0, get_ip_addr("localhost", &a));
    EXPECT_TRUE(a.ip_type == AF_INET || a.ip_type == AF_INET6);

    EXPECT_EQ(-1, get_ip_addr("", &a));
}

TEST(FileUtil, FullName)
{
    char out[64];
    EXPECT_EQ(24, util_full_name("/var/tmp/filestore/", "/a.bin", out, sizeof out));
    EXPECT_STREQ("/var/tmp/filestore/a.bin", out);
    util_full_name("/tmp", "b", out, sizeof out);
    EXPECT_STREQ("/tmp/b", out);
    util_full_name("/tmp", "///c", out, sizeof out);
    EXPECT_STREQ("/tmp/c", out);

    char small[8];
    memset(small, 'x', sizeof small);
    EXPECT_EQ(10, util_full_name("/tmp", "abcde", small, 6));
    EXPECT_STREQ("/tmp/", small);
    EXPECT_EQ('x', small[6]);
}

TEST(FileUtil, SysNameIsCutAndTerminated)
{
    char full[256];
    ASSERT_EQ(0, get_sys_name(full, sizeof full));
    ASSERT_GT(strlen(full), 0u);

    char cut[3];
    memset(cut, 'x', sizeof cut);
    ASSERT_EQ(0, get_sys_name(cut, 2));
    EXPECT_EQ(full[0], cut[0]);
    EXPECT_EQ('\0', cut[1]);
    EXPECT_EQ('x', cut[2]);
}

}  // namespace
