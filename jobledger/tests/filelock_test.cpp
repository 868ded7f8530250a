#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "filelock.h"
#include "nsfixture.h"

namespace {

constexpr const char *kPath = "/tmp/status.lock";

// Result of a non-waiting GetFileLock in another process.
int lock_in_child(int type)
{
    const pid_t pid = fork();
    if (pid == 0) {
        int fd;
        _exit(GetFileLock(kPath, type | FILELOCK_NOWAIT, &fd));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(FileLock, ExclusiveAndSharedAcrossDescriptorsAndProcesses)
{
    nsfixture::Run([] {
        int fd = -1, other = -1;
        ASSERT_EQ(0, GetFileLock(kPath, FILELOCK_EXCLUSIVE, &fd));
        // flock belongs to the open file: a second descriptor of this process is refused too.
        EXPECT_EQ(1, GetFileLock(kPath, FILELOCK_EXCLUSIVE | FILELOCK_NOWAIT, &other));
        EXPECT_EQ(1, GetFileLock(kPath, FILELOCK_NOWAIT, &other));
        EXPECT_EQ(1, lock_in_child(0));
        EXPECT_EQ(0, ReleaseFileLock(fd));
        EXPECT_EQ(-1, fcntl(fd, F_GETFD));  // closed by the release

        int a = -1, b = -1;
        ASSERT_EQ(0, GetFileLock(kPath, 0, &a));
        ASSERT_EQ(0, GetFileLock(kPath, FILELOCK_NOWAIT, &b));
        EXPECT_EQ(0, lock_in_child(0));
        EXPECT_EQ(1, lock_in_child(FILELOCK_EXCLUSIVE));
        ReleaseFileLock(a);
        EXPECT_EQ(1, lock_in_child(FILELOCK_EXCLUSIVE));
        ReleaseFileLock(b);
        EXPECT_EQ(0, lock_in_child(FILELOCK_EXCLUSIVE));
        // Only the low byte selects the mode.
        ASSERT_EQ(0, GetFileLock(kPath, 0x100, &a));
        EXPECT_EQ(0, lock_in_child(0));
        ReleaseFileLock(a);
    });
}

TEST(FileLock, DescriptorModesCreationAndFailures)
{
    nsfixture::Run([] {
        int fd = -1;
        ASSERT_EQ(0, GetFileLock(kPath, FILELOCK_EXCLUSIVE, &fd));
        ASSERT_EQ(4, write(fd, "\x01\x00\x02\x00", 4));
        char c;
        EXPECT_EQ(-1, read(fd, &c, 1));  // write-only
        EXPECT_NE(0, fcntl(fd, F_GETFD) & FD_CLOEXEC);
        ReleaseFileLock(fd);

        // Taking the lock again neither truncates nor removes the file; the shared descriptor reads.
        ASSERT_EQ(0, GetFileLock(kPath, FILELOCK_EXCLUSIVE, &fd));
        ReleaseFileLock(fd);
        ASSERT_EQ(0, GetFileLock(kPath, 0, &fd));
        char buf[8] = {};
        EXPECT_EQ(4, read(fd, buf, sizeof buf));
        EXPECT_EQ(0, std::memcmp(buf, "\x01\x00\x02\x00", 4));
        EXPECT_EQ(-1, write(fd, "x", 1));  // read-only
        ReleaseFileLock(fd);
        struct stat st;
        ASSERT_EQ(0, stat(kPath, &st));
        EXPECT_EQ(0u, st.st_mode & 0022);

        fd = 12345;
        EXPECT_EQ(1, GetFileLock("/tmp/no/such/dir/x.lock", FILELOCK_EXCLUSIVE, &fd));
        EXPECT_EQ(1, GetFileLock("/tmp/no/such/dir/x.lock", 0, &fd));
        EXPECT_EQ(12345, fd);
        EXPECT_EQ(1, GetFileLock(nullptr, 0, &fd));
        EXPECT_EQ(1, ReleaseFileLock(-1));
    });
}

}  // namespace
