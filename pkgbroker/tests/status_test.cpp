// Status entries, the status line and its file, the job state the ledger's handler derives from
// it, and the removal of what a run leaves behind.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "nsfixture.h"
#include "pkgbroker.h"

namespace {

TEST(SelkJobState, FromTheStatusLine)
{
    const struct {
        const char *line;
        int state;
    } cases[] = {
        {"0|a: 10: Package download completed and the update process is running.|b: 50: x|", 4},
        {"0|a: 50: Package installation successfully.|", 4},
        {"1|a: 50: Package installation successfully.|b: 59: The Updates are obsolete or already installed.|", 7},
        {"1|a: 50: Package installation successfully.|b: 57: The Updates Failed.|", 10},
        {"1|a: 0: Package Initialization finished successfully|", 10},
        {"1|a: 80: This package is not supported by current release.|", 10},
        {"1|id:with: 50: colons in the id|", 7},
        {"1|a:50: no blank after the id|", 10},
        {"1|", 10},
        {"2|a: 50: x|", 10},
    };
    for (const auto &c : cases)
        EXPECT_EQ(selk_job_state(c.line), c.state) << c.line;
}

std::string Read(const std::string &path)
{
    std::ifstream f(path);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// A request of n packages as initPkgInstall leaves it, entries recorded but no job yet.
void Request(int n, const std::string &name_prefix = "p")
{
    memset(pkgInstance, 0, sizeof pkgInstance);
    selk_status_reset();
    is_async_install = 1;
    is_sync_install = 0;
    pkgnum = n;
    for (int i = 0; i < n; ++i) {
        snprintf(pkgInstance[i].TFTPXMLPkgURIs, PKG_FIELD_SIZE, "tftp://h/%s%d.xml", name_prefix.c_str(), i);
        update_Pkg_Install_status(i, SELK_INIT, "Package Initialization finished successfully");
    }
}

int StatusFiles()
{
    int n = 0;
    DIR *d = opendir("/tmp");
    while (const dirent *e = d != nullptr ? readdir(d) : nullptr)
        n += strncmp(e->d_name, "selkstat", 8) == 0;
    if (d != nullptr)
        closedir(d);
    return n;
}

TEST(StatusFile, FollowsTheRunToItsEnd)
{
    nsfixture::Run([] {
        Request(3);
        EXPECT_EQ(StatusFiles(), 0) << "entries before the job exists go to no file";
        selk_status_job_created(7);
        const std::string path = "/tmp/selkstatSelk-7.txt";
        EXPECT_EQ(Read(path),
                  "0|p0: 0: Package Initialization finished successfully|p1: 0: Package Initialization finished "
                  "successfully|p2: 0: Package Initialization finished successfully|");

        update_Pkg_Install_status(0, SELK_DOWNLOADED, "Package download completed and the update process is running.");
        update_Pkg_Install_status(2, SELK_INSTALLED, "Package installation successfully.");
        update_Pkg_Install_status(1, SELK_DOWNLOAD_ERROR, "Package download error message: a|b\nc");
        EXPECT_EQ(get_totalstatus(), 0);
        int state = 99;
        char text[256] = "";
        EXPECT_EQ(getSelkStatus("Selk-7", &state, text, sizeof text), 0);
        EXPECT_EQ(state, 4) << "the last package's entry does not end the job";
        EXPECT_STREQ(text, "0|p0: 10: Package download completed and the update process is running.|p1: 16: Package "
                           "download error message: a b c|p2: 50: Package installation successfully.|");
        EXPECT_EQ(Read(SELK_STATUS_RECORD), std::string("begin to record Selk-7-") + text + "\n");

        selk_status_finish();
        EXPECT_EQ(get_totalstatus(), 1);
        char small[12] = "";
        EXPECT_EQ(getSelkStatus("Selk-7", &state, small, sizeof small), 0);
        EXPECT_EQ(state, 10);
        EXPECT_STREQ(small, "1|p0: 10: P");
        EXPECT_EQ(StatusFiles(), 1) << "no temporary file stays";

        // Ids without a job number, and jobs without a file, leave the state as it was.
        for (const char *id : {"Selk7", "Selk-", "Selk-x", "Selk-8"}) {
            state = 99;
            EXPECT_EQ(getSelkStatus(id, &state, text, sizeof text), 0) << id;
            EXPECT_EQ(state, 99) << id;
        }
        EXPECT_EQ(SelkStatusCleanup("Selk-7"), 1);
        EXPECT_EQ(SelkStatusCleanup("Selk-7"), 0);
        EXPECT_EQ(SelkStatusCleanup("Selk7"), 0);

        // Every package installed or up to date: Completed.
        Request(2);
        selk_status_job_created(1);
        update_Pkg_Install_status(0, SELK_UP_TO_DATE, "The Updates are obsolete or already installed.");
        update_Pkg_Install_status(1, SELK_INSTALLED, "Package installation successfully.");
        selk_status_finish();
        EXPECT_EQ(getSelkStatus("Selk-1", &state, text, sizeof text), 0);
        EXPECT_EQ(state, 7) << text;

        // A synchronous request writes no file.
        Request(1);
        is_async_install = 0;
        is_sync_install = 1;
        selk_status_job_created(2);
        selk_status_finish();
        EXPECT_NE(access("/tmp/selkstatSelk-2.txt", F_OK), 0);
    });
}

TEST(StatusFile, LongLinesKeepWholeEntriesAndTheFailures)
{
    nsfixture::Run([] {
        Request(PKG_MAX_NUM, std::string(150, 'x'));
        selk_status_job_created(0);
        for (int i = 0; i < PKG_MAX_NUM; ++i)
            update_Pkg_Install_status(i, i == PKG_MAX_NUM - 1 ? SELK_INSTALL_FAILED : SELK_INSTALLED,
                                      i == PKG_MAX_NUM - 1 ? "The Updates Failed." : "Package installation successfully.");
        selk_status_finish();
        const std::string line = Read("/tmp/selkstatSelk-0.txt");
        EXPECT_LE(line.size(), 1023u);
        EXPECT_EQ(line.back(), '|');
        EXPECT_NE(line.find("x19: 57: The Updates Failed.|"), std::string::npos) << line;
        size_t entries = 0;
        for (size_t at = 2; at < line.size(); at = line.find('|', at) + 1) {
            EXPECT_EQ(line.compare(at, 150, std::string(150, 'x')), 0) << "entry at " << at << " is whole";
            ++entries;
        }
        EXPECT_GT(entries, 1u);
        EXPECT_LT(entries, static_cast<size_t>(PKG_MAX_NUM));
        EXPECT_EQ(selk_job_state(line.c_str()), 10);
    });
}

TEST(RemoveTree, StaysInsideTheTree)
{
    nsfixture::Run([] {
        ASSERT_EQ(0, system("mkdir -p /tmp/outside /tmp/t/a/b && echo keep >/tmp/outside/f && echo x >/tmp/t/a/b/f"));
        ASSERT_EQ(0, symlink("/tmp/outside", "/tmp/t/a/link"));
        ASSERT_EQ(0, symlink("/tmp/outside/f", "/tmp/t/flink"));
        EXPECT_EQ(util_remove_file("/tmp/t/"), 0);
        EXPECT_NE(access("/tmp/t", F_OK), 0);
        EXPECT_EQ(Read("/tmp/outside/f"), "keep\n") << "links are removed, not followed";
        EXPECT_EQ(util_remove_file("/tmp/t"), 1) << "a missing tree";

        // A child whose path does not fit 255 characters stops the walk; nothing is cut.
        const std::string deep = "/tmp/d/" + std::string(200, 'x');
        ASSERT_EQ(0, system(("mkdir -p " + deep + " && touch " + deep + "/" + std::string(60, 'y')).c_str()));
        EXPECT_LT(util_remove_file("/tmp/d"), 0);
        EXPECT_EQ(access(deep.c_str(), F_OK), 0);
        const std::string log = Read(SELK_DEBUG_LOG);
        EXPECT_NE(log.find("The directory doesn't exist and the error code [1]"), std::string::npos);
    });
}

}  // namespace
