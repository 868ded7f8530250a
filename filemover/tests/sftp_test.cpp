// SFTP client against OpenSSH's sshd in its three login set-ups.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "active_lock.h"
#include "filestore.h"
#include "nsfixture.h"
#include "sftp_client.h"
#include "sftp_sshd.h"

namespace {

using sftptest::AddAccount;
using sftptest::Sshd;
using sftptest::SshdConfig;
using sftptest::WriteFile;

const char kLocal[] = "/var/tmp/got.bin";
const char kNotSupported[] =
    "Do not support the sftp authentication methods found! Only support password and "
    "keyboard-interactive \n";

sftp_date_struct Record(const Sshd &d, const std::string &user, const std::string &password,
                        const std::string &remote, const std::string &local = kLocal)
{
    sftp_date_struct r;
    memset(&r, 0, sizeof r);
    snprintf(r.hostname, sizeof r.hostname, "127.0.0.1");
    snprintf(r.userid, sizeof r.userid, "%s", user.c_str());
    snprintf(r.passwd, sizeof r.passwd, "%s", password.c_str());
    snprintf(r.port, sizeof r.port, "%s", d.port_text().c_str());
    snprintf(r.local_file_path, sizeof r.local_file_path, "%s", local.c_str());
    snprintf(r.remote_file_path, sizeof r.remote_file_path, "%s", remote.c_str());
    r.status = 12345;
    return r;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool Exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string Pattern(size_t n, uint32_t seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        s[i] = static_cast<char>(seed >> 16);
    }
    return s;
}

// Accepts one connection on listener and relays it to the server on 127.0.0.1:port, until more
// than limit bytes came back from the server: then it closes both ends.
void RelayAndCut(int listener, uint16_t port, size_t limit)
{
    pollfd lp{listener, POLLIN, 0};
    const int c = poll(&lp, 1, 60 * 1000) == 1 ? accept(listener, nullptr, nullptr) : -1;
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (c >= 0 && s >= 0 && connect(s, reinterpret_cast<sockaddr *>(&sin), sizeof sin) == 0) {
        std::vector<char> buf(64 * 1024);
        size_t back = 0;
        pollfd p[2] = {{c, POLLIN, 0}, {s, POLLIN, 0}};
        bool open = true;
        while (open && back <= limit && poll(p, 2, 60 * 1000) > 0) {
            for (int i = 0; i < 2 && open; ++i) {
                if (p[i].revents == 0)
                    continue;
                const ssize_t n = read(p[i].fd, buf.data(), buf.size());
                open = n > 0 && send(p[1 - i].fd, buf.data(), n, MSG_NOSIGNAL | MSG_WAITALL) == n;
                back += i == 1 && n > 0 ? static_cast<size_t>(n) : 0;
            }
        }
    }
    close(c);
    close(s);
}

TEST(SftpPassword, Downloads)
{
    nsfixture::Run([] {
        ASSERT_TRUE(AddAccount("xferuser", "S3cret-pw"));
        Sshd d(SshdConfig{});
        ASSERT_TRUE(d.ok()) << d.error();
        const std::string small = Pattern(5000, 1), large = Pattern(8 * 1024 * 1024 + 3, 2);
        ASSERT_TRUE(WriteFile("/tmp/home/xferuser/small.bin", small));
        ASSERT_TRUE(WriteFile("/tmp/home/xferuser/large.bin", large));
        ASSERT_TRUE(WriteFile("/tmp/home/xferuser/empty.bin", ""));

        sftp_date_struct r = Record(d, "xferuser", "S3cret-pw", "/tmp/home/xferuser/small.bin");
        sftp_read(&r);
        EXPECT_EQ(SFTP_OK, r.status);
        EXPECT_STREQ("SUCCESS", r.message);
        EXPECT_EQ(small, ReadFile(kLocal));
        struct stat st;
        ASSERT_EQ(0, stat(kLocal, &st));
        EXPECT_EQ(0600u, st.st_mode & 0777);
        EXPECT_FALSE(Exists(std::string(kLocal) + "xfer_fw.!lock"));

        r = Record(d, "xferuser", "S3cret-pw", "/tmp/home/xferuser/large.bin");
        sftp_read(&r);
        EXPECT_EQ(SFTP_OK, r.status);
        EXPECT_TRUE(large == ReadFile(kLocal));

        // Sizes on and beside the boundaries of the copy's buffers, each over the longer local
        // file the one before left.
        const size_t kMiB = 1024 * 1024;
        for (const size_t size : {4 * kMiB + 7, 3 * kMiB, kMiB + 1, kMiB, kMiB - 1}) {
            const std::string content = Pattern(size, static_cast<uint32_t>(size));
            ASSERT_TRUE(WriteFile("/tmp/home/xferuser/sized.bin", content));
            r = Record(d, "xferuser", "S3cret-pw", "/tmp/home/xferuser/sized.bin");
            sftp_read(&r);
            EXPECT_EQ(SFTP_OK, r.status) << size;
            EXPECT_TRUE(content == ReadFile(kLocal)) << size;
        }

        r = Record(d, "xferuser", "S3cret-pw", "/tmp/home/xferuser/empty.bin");
        sftp_read(&r);
        EXPECT_EQ(SFTP_OK, r.status);
        EXPECT_TRUE(Exists(kLocal));
        EXPECT_EQ("", ReadFile(kLocal));
    });
}

TEST(SftpPassword, Failures)
{
    nsfixture::Run([] {
        ASSERT_TRUE(AddAccount("xferuser", "right"));
        Sshd d(SshdConfig{});
        ASSERT_TRUE(d.ok()) << d.error();
        ASSERT_TRUE(WriteFile("/tmp/home/xferuser/f.bin", "content"));

        // Refused login: and a failed download leaves no file of that name behind.
        ASSERT_TRUE(WriteFile(kLocal, "older copy"));
        sftp_date_struct r = Record(d, "xferuser", "wrong", "/tmp/home/xferuser/f.bin");
        sftp_read(&r);
        EXPECT_EQ(SFTP_ERR_AUTH, r.status);
        EXPECT_STREQ("Authentication by password failed.", r.message);
        EXPECT_FALSE(Exists(kLocal));

        r = Record(d, "xferuser", "right", "/tmp/home/xferuser/none.bin");
        sftp_read(&r);
        EXPECT_EQ(SFTP_ERR_REMOTE_FILE, r.status);
        EXPECT_STREQ("Unable to open file with SFTP.", r.message);
        EXPECT_FALSE(Exists(kLocal));

        r = Record(d, "xferuser", "right", "/tmp/home/xferuser/f.bin", "/var/tmp/nodir/f.bin");
        sftp_read(&r);
        EXPECT_EQ(SFTP_ERR_LOCAL_FILE, r.status);
        EXPECT_STREQ("Unable to open local file.", r.message);

        // A file another transfer is writing is neither written nor removed.
        ASSERT_TRUE(WriteFile(kLocal, "being written"));
        ASSERT_EQ(0, get_active_lock(kLocal, XFER_LOCK_OWNER));
        r = Record(d, "xferuser", "right", "/tmp/home/xferuser/f.bin");
        sftp_read(&r);
        EXPECT_EQ(SFTP_ERR_LOCAL_FILE, r.status);
        EXPECT_STREQ("Unable to open local file.", r.message);
        EXPECT_EQ("being written", ReadFile(kLocal));
        ASSERT_EQ(0, release_active_lock(kLocal, XFER_LOCK_OWNER));

        // A local file system that fills up during the copy: the failed write is reported, and
        // neither the partial file nor its marker stays behind.
        ASSERT_EQ(0, mkdir("/var/tmp/small", 0755));
        ASSERT_EQ(0, mount("tmpfs", "/var/tmp/small", "tmpfs", 0, "size=1m"));
        ASSERT_TRUE(WriteFile("/tmp/home/xferuser/big.bin", Pattern(6 * 1024 * 1024, 5)));
        r = Record(d, "xferuser", "right", "/tmp/home/xferuser/big.bin", "/var/tmp/small/big.bin");
        sftp_read(&r);
        EXPECT_EQ(SFTP_ERR_LOCAL_FILE, r.status);
        EXPECT_STREQ("Unable to write local file.", r.message);
        EXPECT_FALSE(Exists("/var/tmp/small/big.bin"));
        EXPECT_FALSE(Exists("/var/tmp/small/big.binxfer_fw.!lock"));

        // The connection breaks in the middle of the copy, after some chunks were written: the
        // failed read is reported, the download ends, and nothing stays behind.
        ASSERT_TRUE(WriteFile("/tmp/home/xferuser/big.bin", Pattern(16 * 1024 * 1024, 6)));
        const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sin;
        ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr *>(&sin), sizeof sin));
        ASSERT_EQ(0, listen(listener, 1));
        ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr *>(&sin), &len));
        std::thread relay(RelayAndCut, listener, d.port(), 5 * 1024 * 1024);
        r = Record(d, "xferuser", "right", "/tmp/home/xferuser/big.bin");
        snprintf(r.port, sizeof r.port, "%u", ntohs(sin.sin_port));
        sftp_read(&r);
        relay.join();
        close(listener);
        EXPECT_EQ(SFTP_ERR_REMOTE_FILE, r.status);
        EXPECT_STREQ("Unable to read file with SFTP.", r.message);
        EXPECT_FALSE(Exists(kLocal));
        EXPECT_FALSE(Exists(std::string(kLocal) + "xfer_fw.!lock"));

        // Reading a directory fails on the first read: that must not pass for an empty file.
        r = Record(d, "xferuser", "right", "/tmp/home/xferuser");
        sftp_read(&r);
        EXPECT_EQ(SFTP_ERR_REMOTE_FILE, r.status);
        EXPECT_STREQ("Unable to read file with SFTP.", r.message);
        EXPECT_FALSE(Exists(kLocal));
    });
}

TEST(SftpKeyboardInteractive, Downloads)
{
    nsfixture::Run([] {
        const std::string long_password(200, 'k');
        ASSERT_TRUE(AddAccount("kbduser", "kbd-pass"));
        ASSERT_TRUE(AddAccount("longpw", long_password));
        Sshd d(SshdConfig{false, true, false});
        ASSERT_TRUE(d.ok()) << d.error();
        const std::string content = Pattern(100000, 3);
        ASSERT_TRUE(WriteFile("/tmp/k.bin", content));

        sftp_date_struct r = Record(d, "kbduser", "kbd-pass", "/tmp/k.bin");
        sftp_read(&r);
        EXPECT_EQ(SFTP_OK, r.status) << r.message;
        EXPECT_EQ(content, ReadFile(kLocal));

        // Longer than the 39 characters a small answer buffer would hold.
        r = Record(d, "longpw", long_password, "/tmp/k.bin");
        sftp_read(&r);
        EXPECT_EQ(SFTP_OK, r.status) << r.message;

        r = Record(d, "kbduser", "not-it", "/tmp/k.bin");
        sftp_read(&r);
        EXPECT_EQ(SFTP_ERR_AUTH, r.status);
        EXPECT_STREQ("\tAuthentication by keyboard-interactive failed!\n", r.message);
        EXPECT_FALSE(Exists(kLocal));
    });
}

// Logins running at the same time each answer with their own password.
TEST(SftpKeyboardInteractive, ConcurrentLoginsKeepTheirPasswords)
{
    nsfixture::Run([] {
        ASSERT_TRUE(AddAccount("alice", "alice-password-1"));
        ASSERT_TRUE(AddAccount("bob", "bob-password-22"));
        Sshd d(SshdConfig{false, true, false});
        ASSERT_TRUE(d.ok()) << d.error();
        ASSERT_TRUE(WriteFile("/tmp/shared.bin", Pattern(2000, 4)));

        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; ++t) {
            threads.emplace_back([&, t] {
                const bool a = t % 2 == 0;
                for (int i = 0; i < 4; ++i) {
                    sftp_date_struct r = Record(d, a ? "alice" : "bob",
                                                a ? "alice-password-1" : "bob-password-22", "/tmp/shared.bin",
                                                "/var/tmp/out" + std::to_string(t));
                    sftp_read(&r);
                    if (r.status != SFTP_OK)
                        ++failures;
                }
            });
        }
        for (auto &th : threads)
            th.join();
        EXPECT_EQ(0, failures.load());
    });
}

TEST(SftpPublicKeyOnly, IsNotSupported)
{
    nsfixture::Run([] {
        ASSERT_TRUE(AddAccount("keyuser", "pw"));
        Sshd d(SshdConfig{false, false, true});
        ASSERT_TRUE(d.ok()) << d.error();
        ASSERT_TRUE(WriteFile("/tmp/p.bin", "x"));
        sftp_date_struct r = Record(d, "keyuser", "pw", "/tmp/p.bin");
        sftp_read(&r);
        EXPECT_EQ(SFTP_ERR_AUTH, r.status);
        EXPECT_STREQ(kNotSupported, r.message);
        EXPECT_FALSE(Exists(kLocal));
    });
}

TEST(SftpConnect, Failures)
{
    nsfixture::Run([] {
        // Port 1: nobody listens there.
        sftp_date_struct r;
        memset(&r, 0, sizeof r);
        snprintf(r.hostname, sizeof r.hostname, "127.0.0.1");
        snprintf(r.userid, sizeof r.userid, "u");
        snprintf(r.passwd, sizeof r.passwd, "p");
        snprintf(r.port, sizeof r.port, "1");
        snprintf(r.local_file_path, sizeof r.local_file_path, "%s", kLocal);
        snprintf(r.remote_file_path, sizeof r.remote_file_path, "/x");
        sftp_read(&r);
        EXPECT_EQ(SFTP_ERR_CONNECT, r.status);
        EXPECT_STREQ("connect sock failed", r.message);

        snprintf(r.hostname, sizeof r.hostname, "localhost");  // names are not resolved
        sftp_read(&r);
        EXPECT_EQ(SFTP_ERR_CONNECT, r.status);
        EXPECT_FALSE(Exists(kLocal));
        EXPECT_FALSE(Exists(std::string(kLocal) + "xfer_fw.!lock"));
    });
}

TEST(SftpParameters, Refused)
{
    nsfixture::Run([] {
        sftp_read(nullptr);  // nothing to report into; must not crash

        sftp_date_struct good;
        memset(&good, 0, sizeof good);
        snprintf(good.hostname, sizeof good.hostname, "127.0.0.1");
        snprintf(good.userid, sizeof good.userid, "u");
        snprintf(good.port, sizeof good.port, "22");
        snprintf(good.local_file_path, sizeof good.local_file_path, "%s", kLocal);
        snprintf(good.remote_file_path, sizeof good.remote_file_path, "/x");

        std::vector<sftp_date_struct> bad(8, good);
        memset(bad[0].hostname, 'h', sizeof bad[0].hostname);
        memset(bad[1].passwd, 'p', sizeof bad[1].passwd);
        memset(bad[2].port, '2', sizeof bad[2].port);
        memset(bad[3].local_file_path, 'l', sizeof bad[3].local_file_path);
        memset(bad[4].remote_file_path, 'r', sizeof bad[4].remote_file_path);
        snprintf(bad[5].port, sizeof bad[5].port, "0");
        snprintf(bad[6].port, sizeof bad[6].port, "65536");
        bad[7].local_file_path[0] = '\0';
        for (size_t i = 0; i < bad.size(); ++i) {
            sftp_read(&bad[i]);
            EXPECT_EQ(SFTP_ERR_PARAMETERS, bad[i].status) << i;
            EXPECT_STREQ("error parameters", bad[i].message) << i;
        }
        EXPECT_FALSE(Exists(kLocal));
    });
}

TEST(SftpKeyboardCallback, AnswersPasswordPromptsOnly)
{
    sftp_kbd_context ctx;
    memset(&ctx, 0, sizeof ctx);
    snprintf(ctx.password, sizeof ctx.password, "pw-123");
    void *abstract = &ctx;

    std::string long_prompt(5000, 'x');
    long_prompt += "Password:";
    char p0[] = "password for you: ", p1[] = "One-time token: ", p2[] = "PASSWORD";
    LIBSSH2_USERAUTH_KBDINT_PROMPT prompts[4] = {
        {p0, static_cast<unsigned>(strlen(p0)), 0},
        {p1, static_cast<unsigned>(strlen(p1)), 1},
        {&long_prompt[0], static_cast<unsigned>(long_prompt.size()), 0},
        {p2, 4, 0},  // only "PASS" is part of the prompt
    };
    LIBSSH2_USERAUTH_KBDINT_RESPONSE responses[4] = {};
    kbd_callback("", 0, "", 0, 4, prompts, responses, &abstract);

    ASSERT_NE(nullptr, responses[0].text);
    EXPECT_EQ(std::string("pw-123"), std::string(responses[0].text, responses[0].length));
    EXPECT_EQ(nullptr, responses[1].text);
    EXPECT_EQ(nullptr, responses[2].text);  // the word lies past the copied part
    EXPECT_EQ(nullptr, responses[3].text);
    for (auto &r : responses)
        free(r.text);
}

}  // namespace
