#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "active_lock.h"
#include "filestore.h"
#include "nsfixture.h"

namespace {

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream f(path, std::ios::binary);
    f << content;
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

TEST(FileStore, UriHelpers)
{
    EXPECT_EQ(nullptr, util_get_file_from_uri("/dir/"));
    EXPECT_EQ(nullptr, util_get_file_from_uri("nodir"));
    EXPECT_STREQ("f.bin", util_get_file_from_uri("/dir/f.bin"));
    EXPECT_STREQ("/var/tmp/filestore/x", util_get_full_file_from_uri("file://var/tmp/filestore/x"));
    EXPECT_EQ(nullptr, util_get_full_file_from_uri("file://tmp/x"));
}

TEST(ActiveLock, MarkersBlockBySubstring)
{
    nsfixture::Run([] {
        ASSERT_EQ(0, util_create_file_store(FILE_STORE_DIR));
        const std::string fw = FILE_STORE_DIR "fw.bin";
        ASSERT_EQ(0, get_active_lock(fw.c_str(), XFER_LOCK_OWNER));
        EXPECT_TRUE(exists(FILE_STORE_DIR "fw.binxfer_fw.!lock"));
        EXPECT_EQ(-1, get_active_lock(fw.c_str(), XFER_LOCK_OWNER));
        EXPECT_EQ(-1, get_active_lock(fw.c_str(), "other"));  // any owner blocks
        EXPECT_EQ(-1, get_active_lock(FILE_STORE_DIR "w.bin", XFER_LOCK_OWNER));
        EXPECT_EQ(0, get_active_lock(FILE_STORE_DIR "fw.bi2", XFER_LOCK_OWNER));

        EXPECT_EQ(0, release_active_lock(fw.c_str(), XFER_LOCK_OWNER));
        EXPECT_FALSE(exists(FILE_STORE_DIR "fw.binxfer_fw.!lock"));
        EXPECT_EQ(0, release_active_lock(fw.c_str(), XFER_LOCK_OWNER));  // none left: fine
        EXPECT_EQ(0, get_active_lock(fw.c_str(), XFER_LOCK_OWNER));

        EXPECT_EQ(-1, get_active_lock("nodir.bin", XFER_LOCK_OWNER));
        EXPECT_EQ(-1, get_active_lock(FILE_STORE_DIR, XFER_LOCK_OWNER));
        EXPECT_EQ(-1, get_active_lock("/var/tmp/nosuchdir/f", XFER_LOCK_OWNER));
    });
}

TEST(ActiveLock, ReleaseAllOfOneOwner)
{
    nsfixture::Run([] {
        ASSERT_EQ(0, util_create_file_store(FILE_STORE_DIR));
        ASSERT_EQ(0, get_active_lock(FILE_STORE_DIR "a.dat", XFER_LOCK_OWNER));
        ASSERT_EQ(0, get_active_lock(FILE_STORE_DIR "b.dat", XFER_LOCK_OWNER));
        ASSERT_EQ(0, get_active_lock(FILE_STORE_DIR "p.dat", "pkg"));
        write_file(FILE_STORE_DIR "a.dat", "data");
        EXPECT_EQ(0, release_all_active_locks(FILE_STORE_DIR, XFER_LOCK_OWNER));
        EXPECT_FALSE(exists(FILE_STORE_DIR "a.datxfer_fw.!lock"));
        EXPECT_FALSE(exists(FILE_STORE_DIR "b.datxfer_fw.!lock"));
        EXPECT_TRUE(exists(FILE_STORE_DIR "p.datpkg.!lock"));
        EXPECT_TRUE(exists(FILE_STORE_DIR "a.dat"));
        EXPECT_EQ(-1, release_all_active_locks("/var/tmp/none/", XFER_LOCK_OWNER));
    });
}

// Removal keeps an in-use file, its marker and the store, removes everything else, and says
// -2, whichever entry the directory walk meets first.
TEST(FileStore, RemoveKeepsFilesInUse)
{
    for (const char *busy : {"aaa.bin", "zzz.bin"}) {
        nsfixture::Run([busy] {
            ASSERT_EQ(0, util_create_file_store(FILE_STORE_DIR));
            const std::string in_use = std::string(FILE_STORE_DIR) + busy;
            write_file(in_use, "busy");
            write_file(FILE_STORE_DIR "mmm.dat", "free");
            mkdir(FILE_STORE_DIR "sub", 0755);
            write_file(FILE_STORE_DIR "sub/deep.dat", "free");
            ASSERT_EQ(0, get_active_lock(in_use.c_str(), XFER_LOCK_OWNER));

            EXPECT_EQ(-2, util_remove_file(FILE_STORE_DIR, 0)) << busy;
            EXPECT_TRUE(exists(in_use));
            EXPECT_TRUE(exists(in_use + "xfer_fw.!lock"));
            EXPECT_FALSE(exists(FILE_STORE_DIR "mmm.dat"));
            EXPECT_FALSE(exists(FILE_STORE_DIR "sub"));

            ASSERT_EQ(0, release_active_lock(in_use.c_str(), XFER_LOCK_OWNER));
            EXPECT_GE(util_remove_file(FILE_STORE_DIR, 0), 0);
            EXPECT_FALSE(exists(FILE_STORE_DIR));
            EXPECT_EQ(1, util_remove_file(FILE_STORE_DIR, 0));
        });
    }
}

TEST(FileStore, RemoveSingleFilesAndEnforce)
{
    nsfixture::Run([] {
        ASSERT_EQ(0, util_create_file_store(FILE_STORE_DIR));
        write_file(FILE_STORE_DIR "x", "1");
        EXPECT_EQ(0, util_remove_file(FILE_STORE_DIR "x", 0));
        EXPECT_FALSE(exists(FILE_STORE_DIR "x"));
        EXPECT_FALSE(exists(FILE_STORE_DIR "xxfer_fw.!lock"));  // its own marker is released

        write_file(FILE_STORE_DIR "y", "1");
        ASSERT_EQ(0, get_active_lock(FILE_STORE_DIR "y", XFER_LOCK_OWNER));
        EXPECT_EQ(-2, util_remove_file(FILE_STORE_DIR "y", 0));
        EXPECT_EQ(0, util_remove_file(FILE_STORE_DIR "y", 1));
        EXPECT_FALSE(exists(FILE_STORE_DIR "y"));
        EXPECT_EQ(0, util_remove_file(FILE_STORE_DIR "yxfer_fw.!lock", 0));  // markers stay
        EXPECT_TRUE(exists(FILE_STORE_DIR "yxfer_fw.!lock"));

        // A symbolic link is removed itself; what it points to stays.
        write_file("/var/tmp/target", "keep");
        ASSERT_EQ(0, symlink("/var/tmp", FILE_STORE_DIR "link"));
        EXPECT_EQ(0, util_remove_file(FILE_STORE_DIR "link", 0));
        EXPECT_TRUE(exists("/var/tmp/target"));
    });
}

TEST(FileStore, ListingCountsAndWrites)
{
    nsfixture::Run([] {
        int count = 0;
        EXPECT_EQ(1, util_list_file(FILE_STORE_DIR, &count, 0, 1));
        EXPECT_EQ(-1, util_create_file_store("/var/tmp/missing/parent/dir"));
        ASSERT_EQ(0, util_create_file_store(FILE_STORE_DIR));
        EXPECT_EQ(0, util_create_file_store(FILE_STORE_DIR));  // exists already

        char buf[256];
        memset(buf, 'x', sizeof buf);
        EXPECT_EQ(0, util_list_file(FILE_STORE_DIR, buf, sizeof buf, 0));
        EXPECT_STREQ("", buf);

        write_file(FILE_STORE_DIR "fw.bin", "1");
        mkdir(FILE_STORE_DIR "d", 0755);
        write_file(FILE_STORE_DIR "d/e", "2");
        ASSERT_EQ(0, get_active_lock(FILE_STORE_DIR "d/e", XFER_LOCK_OWNER));

        count = 0;
        EXPECT_EQ(0, util_list_file(FILE_STORE_DIR, &count, 0, 1));
        const std::string a = "file://var/tmp/filestore/fw.bin;", b = "file://var/tmp/filestore/d/e;";
        EXPECT_EQ(static_cast<int>(a.size() + b.size()), count);

        std::vector<char> out(count + 1, 'x');
        EXPECT_EQ(0, util_list_file(FILE_STORE_DIR, out.data(), count + 1, 0));
        const std::string listed(out.data());
        EXPECT_EQ(listed.size(), a.size() + b.size());
        EXPECT_NE(std::string::npos, listed.find(a));
        EXPECT_NE(std::string::npos, listed.find(b));

        // A single file lists as its own entry.
        EXPECT_EQ(static_cast<int>(a.size()), util_list_file(FILE_STORE_DIR "fw.bin", buf, sizeof buf, 0));
        EXPECT_EQ(a, std::string(buf));
    });
}

// When the store grew between the counting and the writing pass, entries that no longer fit
// are left out whole; nothing is written past the buffer and the text stays terminated.
TEST(FileStore, ListingNeverOverrunsTheBuffer)
{
    nsfixture::Run([] {
        ASSERT_EQ(0, util_create_file_store(FILE_STORE_DIR));
        for (int i = 0; i < 20; ++i)
            write_file(FILE_STORE_DIR "file" + std::to_string(i), "x");
        const int entry = static_cast<int>(strlen("file://var/tmp/filestore/file10;"));
        for (int len : {0, 1, 10, entry, entry + 1, 3 * entry + 5}) {
            std::vector<char> buf(len + 64, '#');
            EXPECT_GE(util_list_file(FILE_STORE_DIR, buf.data(), len, 0), 0);
            for (size_t i = static_cast<size_t>(len); i < buf.size(); ++i)
                ASSERT_EQ('#', buf[i]) << "written past " << len << " at " << i;
            if (len > 0) {
                const size_t used = strnlen(buf.data(), len);
                ASSERT_LT(used, static_cast<size_t>(len));
                // Only whole entries: each piece up to a ";" names one of the files.
                std::string text(buf.data(), used);
                while (!text.empty()) {
                    const size_t end = text.find(';');
                    ASSERT_NE(std::string::npos, end) << text;
                    const std::string piece = text.substr(0, end);
                    ASSERT_EQ(0u, piece.rfind("file://var/tmp/filestore/file", 0)) << piece;
                    ASSERT_TRUE(exists(piece.substr(strlen("file:/")))) << piece;
                    text.erase(0, end + 1);
                }
            }
        }
    });
}

TEST(FileStore, SizeAndMd5)
{
    nsfixture::Run([] {
        write_file("/var/tmp/abc", "abc");
        ASSERT_EQ(0, symlink("/var/tmp/abc", "/var/tmp/link"));
        EXPECT_EQ(3, util_get_file_size("/var/tmp/link"));
        EXPECT_EQ(-1, util_get_file_size("/var/tmp/none"));
        char out[40];
        memset(out, 'x', sizeof out);
        ASSERT_EQ(0, util_calculate_md5_checksum("/var/tmp/abc", out, 33));
        EXPECT_STREQ("900150983cd24fb0d6963f7d28e17f72", out);
        EXPECT_EQ(-1, util_calculate_md5_checksum("/var/tmp/abc", out, 32));

        write_file("/var/tmp/empty", "");
        ASSERT_EQ(0, util_calculate_md5_checksum("/var/tmp/empty", out, sizeof out));
        EXPECT_STREQ("d41d8cd98f00b204e9800998ecf8427e", out);

        // Larger than one read: a million 'a' characters.
        write_file("/var/tmp/million", std::string(1000000, 'a'));
        ASSERT_EQ(0, util_calculate_md5_checksum("/var/tmp/million", out, sizeof out));
        EXPECT_STREQ("7707d6ae4e027c70eea2a935c2296f21", out);

        // Only regular files have a digest: a FIFO without a writer must not block the caller,
        // and a device is never read.
        ASSERT_EQ(0, mkfifo("/var/tmp/fifo", 0600));
        ASSERT_EQ(0, symlink("/var/tmp/fifo", "/var/tmp/fifolink"));
        for (const char *path : {"/var/tmp/none", "/var/tmp", "/var/tmp/fifo", "/var/tmp/fifolink", "/dev/zero"})
            EXPECT_EQ(-1, util_calculate_md5_checksum(path, out, sizeof out)) << path;
    });
}

TEST(FileStore, FreeSpaceSaturatesAt32Bits)
{
    nsfixture::Run([] {
        ASSERT_EQ(0, mount("tmpfs", "/var/tmp", "tmpfs", 0, "size=8g")) << strerror(errno);
        EXPECT_GT(util_get_free_space64(), 0xFFFFFFFFull);
        EXPECT_EQ(0xFFFFFFFFu, util_get_free_space());

        ASSERT_EQ(0, mount("tmpfs", "/var/tmp", "tmpfs", 0, "size=1m"));
        const uint32_t small = util_get_free_space();
        EXPECT_GT(small, 512u * 1024);
        EXPECT_LE(small, 1024u * 1024);
        EXPECT_EQ(small, util_get_free_space64());
    });
}

}  // namespace
