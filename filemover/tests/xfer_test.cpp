// Transfer status files, job handlers, workers, and transfer jobs end to end through the job
// ledger library at its fixed path.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "filestore.h"
#include "nsfixture.h"
#include "provider_harness.h"
#include "sftp_sshd.h"
#include "tftp_fake_server.h"
#include "tftpd_server.h"
#include "xfer_status.h"
#include "xfer_worker.h"

namespace {

using Clock = std::chrono::steady_clock;

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

int StoredCode(int jobid)
{
    const std::string s = ReadFile("/tmp/sfcb/" + std::to_string(jobid) + ".xferstat");
    int code = -1;
    if (s.size() == sizeof code)
        memcpy(&code, s.data(), sizeof code);
    return code;
}

// Waits (bounded) until no worker runs.
bool WorkersDone(int seconds)
{
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (util_get_child_thread_num() != 0) {
        if (Clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

TEST(XferStatus, CodesBecomeJobStates)
{
    nsfixture::Run([] {
        ASSERT_EQ(0, mkdir("/tmp/sfcb", 0755));
        struct Case {
            int code, state;
            const char *text;
        };
        const Case cases[] = {
            {0x20000, 7, "Process Completed"},
            {0x20001, 4, "Process Running"},
            {0x20002, 10, "Fail to transfer files"},
            {0x20003, 10, "Fail to transfer files - Invalid parameter"},
            {0x20004, 10, "Fail to transfer files - Not enough space"},
            {0x20005, 10, "Fail to transfer files - Timeout"},
            {0x20006, 10, "Fail to transfer files - authentication failed"},
            {0x12345, 10, "Fail to transfer files"},
        };
        for (const Case &c : cases) {
            ASSERT_EQ(0, util_write_xfer_status(12, c.code));
            EXPECT_EQ(4u, ReadFile("/tmp/sfcb/12.xferstat").size());  // one code, never more
            EXPECT_EQ(c.code, StoredCode(12));
            int state = -1;
            char text[256];
            memset(text, 'x', sizeof text);
            ASSERT_EQ(0, getXferStatus("FileTransfer-12", &state, text, sizeof text));
            EXPECT_EQ(c.state, state) << std::hex << c.code;
            EXPECT_STREQ(c.text, text);
        }

        // A short buffer gets a cut, terminated text.
        ASSERT_EQ(0, util_write_xfer_status(12, XFER_STATUS_RUNNING));
        char small[9];
        memset(small, 'x', sizeof small);
        int state = 0;
        ASSERT_EQ(0, getXferStatus("FileTransfer-12", &state, small, 8));
        EXPECT_STREQ("Process", small);
        EXPECT_EQ('x', small[8]);
        ASSERT_EQ(0, util_write_xfer_status(12, XFER_STATUS_AUTH_FAILED));
        ASSERT_EQ(0, getXferStatus("FileTransfer-12", &state, small, 8));
        EXPECT_STREQ("Fail to", small);
    });
}

TEST(XferStatus, UnusableIdsAndFiles)
{
    nsfixture::Run([] {
        int state = 0;
        char text[64];
        // No /tmp/sfcb yet: nothing can be written or read.
        EXPECT_EQ(1, util_write_xfer_status(1, XFER_STATUS_COMPLETED));
        EXPECT_EQ(1, getXferStatus("FileTransfer-1", &state, text, sizeof text));

        ASSERT_EQ(0, mkdir("/tmp/sfcb", 0755));
        ASSERT_EQ(0, util_write_xfer_status(0, XFER_STATUS_COMPLETED));
        for (const char *id : {"FileTransfer", "FileTransfer-", "FileTransfer-x", "FileTransfer-0x",
                               "FileTransfer--0", "FileTransfer-+0", "FileTransfer-99999999999"}) {
            EXPECT_EQ(1, getXferStatus(id, &state, text, sizeof text)) << id;
            EXPECT_EQ(1, xferStatusCleanup(id)) << id;
        }
        EXPECT_EQ(1, getXferStatus(nullptr, &state, text, sizeof text));
        EXPECT_EQ(1, getXferStatus("FileTransfer-0", nullptr, text, sizeof text));
        EXPECT_EQ(1, getXferStatus("FileTransfer-0", &state, text, 0));
        EXPECT_TRUE(Exists("/tmp/sfcb/0.xferstat"));  // none of those touched job 0

        // A status file deleted by hand: the read leaves an empty one and has no answer.
        EXPECT_EQ(1, getXferStatus("FileTransfer-7", &state, text, sizeof text));
        EXPECT_TRUE(Exists("/tmp/sfcb/7.xferstat"));
        EXPECT_EQ(0u, ReadFile("/tmp/sfcb/7.xferstat").size());

        EXPECT_EQ(0, xferStatusCleanup("FileTransfer-7"));
        EXPECT_FALSE(Exists("/tmp/sfcb/7.xferstat"));
        EXPECT_EQ(1, xferStatusCleanup("FileTransfer-7"));
    });
}

TEST(XferStatus, ResultMappings)
{
    char msg[64];
    struct Case {
        int result, code, rc;
        const char *text;
    };
    for (const Case &c : {Case{-3, 0x20005, 2, "Fail to transfer files - Timeout"},
                          Case{-2, 0x20003, 3, "Fail to transfer files - Invalid parameter"},
                          Case{-4, 0x20004, 4, "Fail to transfer files - Not enough space"},
                          Case{-1, 0x20002, 1, "Fail to transfer files"},
                          Case{-77, 0x20002, 1, "Fail to transfer files"}}) {
        EXPECT_EQ(c.code, util_map_xfer_status(c.result, nullptr, 0, 0));
        EXPECT_EQ(c.rc, util_map_xfer_status(c.result, msg, sizeof msg, 1));
        EXPECT_STREQ(c.text, msg);
    }
    for (const Case &c : {Case{-7, 0x20006, 2, "Fail to transfer files - authenticate fail"},
                          Case{-1, 0x20003, 3, "Fail to transfer files - Invalid parameter"},
                          Case{-3, 0x20002, 1, "Fail to transfer files"},
                          Case{-6, 0x20002, 1, "Fail to transfer files"}}) {
        EXPECT_EQ(c.code, util_map_sftp_status(c.result, msg, sizeof msg, 0));
        EXPECT_STREQ(c.text, msg);
        EXPECT_EQ(c.rc, util_map_sftp_status(c.result, nullptr, 0, 1));
    }
    char cut[5];
    util_map_xfer_status(-3, cut, sizeof cut, 1);
    EXPECT_STREQ("Fail", cut);
    setXferStatus(cut, sizeof cut, XFER_STATUS_TIMEOUT);
    EXPECT_STREQ("Fail", cut);
}

xfer_thread_arg TftpArg(int jobid, const std::string &port, const std::string &remote,
                        const std::string &local, int timeout = 1)
{
    xfer_thread_arg a;
    memset(&a, 0, sizeof a);
    a.jobid = jobid;
    snprintf(a.filename, sizeof a.filename, "%s", local.c_str());
    snprintf(a.hostname, sizeof a.hostname, "127.0.0.1");
    a.tftp_op.blksize = 1468;
    a.tftp_op.timeout = timeout;
    snprintf(a.tftp_op.port, sizeof a.tftp_op.port, "%s", port.c_str());
    EXPECT_EQ(0, tftp_set_remotefile(&a.tftp_op, remote.c_str()));
    return a;
}

// The count is raised before a worker exists and lowered as it ends, whatever the number of
// workers starting and ending at once.
TEST(XferWorker, RunningCountStaysExact)
{
    nsfixture::Run([] {
        ASSERT_EQ(0, mkdir("/tmp/sfcb", 0755));
        ASSERT_EQ(0, util_get_child_thread_num());

        // Workers held by a server that never answers (one second each).
        tftptest::FakeServer silent;
        for (int i = 0; i < 8; ++i) {
            const xfer_thread_arg a =
                TftpArg(i, silent.port_text(), "/f", "/var/tmp/held" + std::to_string(i));
            ASSERT_EQ(0, util_start_xfer_thread(&a, XFER_TFTP));
        }
        EXPECT_EQ(8, util_get_child_thread_num());

        // Meanwhile many quick ones, started from several threads at once.
        std::vector<std::thread> starters;
        for (int t = 0; t < 4; ++t)
            starters.emplace_back([t] {
                for (int i = 0; i < 25; ++i) {
                    xfer_thread_arg a = TftpArg(100 + t * 25 + i, "0", "/f", "/var/tmp/quick");
                    EXPECT_EQ(0, util_start_xfer_thread(&a, XFER_TFTP));
                }
            });
        for (auto &s : starters)
            s.join();
        EXPECT_GE(util_get_child_thread_num(), 8);

        ASSERT_TRUE(WorkersDone(10));
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(XFER_STATUS_TIMEOUT, StoredCode(i));
        for (int j = 100; j < 200; ++j)
            EXPECT_EQ(XFER_STATUS_INVALID_PARAMETER, StoredCode(j));
        EXPECT_EQ(0, util_get_child_thread_num());
    });
}

// Jobs in the real ledger, read back through its provider as a client would see them.
class LedgerView {
public:
    LedgerView()
    {
        std::string err;
        provider_ = cmpiharness::Provider::Load("/lib/cim/libjobledger.so", "Qelvo_ConcreteJobProvider",
                                                &router_, &err);
        EXPECT_TRUE(provider_) << err;
    }
    // State and status text of the job, refreshed through the handlers.
    bool Get(const std::string &id, std::string *state, std::string *status)
    {
        if (!provider_)
            return false;
        auto path = cmpiharness::Path("root/cimv2", "Qelvo_ConcreteJob", {{"InstanceID", id}});
        cmpiharness::Outcome out = provider_->GetInstance(path.get());
        if (!out.ok() || out.instances.size() != 1)
            return false;
        *state = out.PropertyText(0, "JobState");
        *status = out.PropertyText(0, "JobStatus");
        return true;
    }

private:
    cmpiharness::Router router_;
    std::unique_ptr<cmpiharness::Provider> provider_;
};

nsfixture::Options WithLibraries()
{
    nsfixture::Options o;
    o.lib_cim = QELVO_PROVIDER_DIR;
    return o;
}

TEST(XferJob, TftpJobCompletes)
{
    nsfixture::Run(
        [] {
            ASSERT_EQ(0, mkdir("/tmp/sfcb", 0755));
            ASSERT_EQ(0, mkdir("/tmp/served", 0755));
            const std::string content(300000, 'j');
            ASSERT_TRUE(tftptest::WriteServedFile("/tmp/served/fw.bin", content));
            tftptest::Tftpd d("/tmp/served");
            ASSERT_TRUE(d.ok()) << d.error();
            ASSERT_EQ(0, util_create_file_store(FILE_STORE_DIR));
            std::ofstream("/tmp/QELVOTAVIKLOG").flush();  // controller log on

            char id[XFER_JOB_ID_SIZE];
            int jobid = -1;
            ASSERT_EQ(0, util_create_xfer_job(id, sizeof id, &jobid));
            EXPECT_STREQ("FileTransfer-0", id);
            EXPECT_EQ(0, jobid);
            EXPECT_EQ(XFER_STATUS_RUNNING, StoredCode(0));

            LedgerView ledger;
            std::string state, status;
            ASSERT_TRUE(ledger.Get(id, &state, &status));
            EXPECT_EQ("4", state);
            EXPECT_EQ("Process Running", status);

            const xfer_thread_arg a = TftpArg(jobid, d.port_text(), "/fw.bin", FILE_STORE_DIR "fw.bin", 5);
            ASSERT_EQ(0, util_start_xfer_thread(&a, XFER_TFTP));
            ASSERT_TRUE(WorkersDone(20));
            EXPECT_EQ(content, ReadFile(FILE_STORE_DIR "fw.bin"));

            ASSERT_TRUE(ledger.Get(id, &state, &status));
            EXPECT_EQ("7", state);
            EXPECT_EQ("Process Completed", status);

            const std::string log = ReadFile("/tmp/QELVOTAVIKLog.log");
            const std::string port = d.port_text();
            const std::vector<std::string> lines = {
                "Filetrans : tftp thread start\n",
                "Filetrans : tftp thread port " + port + "\n",
                "Filetrans : tftp get init port " + port + "\n",
                "Filetrans : tftp_init_transfer\n",
                "Filetrans : tftp_init_transfer port is " + port + "\n",
                "Filetrans : tftp_init_transfer exit\n",
                "Filetrans : tftp thread end\n",
            };
            for (const std::string &line : lines)
                EXPECT_NE(std::string::npos, log.find(" " + line)) << line << "\nin:\n" << log;

            // The ledger knows where the handlers live.
            const std::string reg = ReadFile("/tmp/sfcb/ConcreteJob.reg");
            EXPECT_NE(std::string::npos, reg.find("[FileTransfer]"));
            EXPECT_NE(std::string::npos, reg.find("/lib/cim/libfilemover.so"));
            EXPECT_NE(std::string::npos, reg.find("getXferStatus"));
            EXPECT_NE(std::string::npos, reg.find("xferStatusCleanup"));

            // A second job gets the next number.
            char id2[XFER_JOB_ID_SIZE];
            int jobid2 = -1;
            ASSERT_EQ(0, util_create_xfer_job(id2, sizeof id2, &jobid2));
            EXPECT_STREQ("FileTransfer-1", id2);
            EXPECT_EQ(1, jobid2);
        },
        WithLibraries());
}

TEST(XferJob, FailuresShowAsExceptions)
{
    nsfixture::Run(
        [] {
            ASSERT_EQ(0, mkdir("/tmp/sfcb", 0755));
            ASSERT_EQ(0, util_create_file_store(FILE_STORE_DIR));
            LedgerView ledger;

            // A server that never answers: timeout.
            tftptest::FakeServer silent;
            char tid[XFER_JOB_ID_SIZE];
            int tjob = -1;
            ASSERT_EQ(0, util_create_xfer_job(tid, sizeof tid, &tjob));
            const xfer_thread_arg t = TftpArg(tjob, silent.port_text(), "/fw.bin", FILE_STORE_DIR "t.bin", 1);
            ASSERT_EQ(0, util_start_xfer_thread(&t, XFER_TFTP));

            // A refused SFTP login: authentication failure.
            ASSERT_TRUE(sftptest::AddAccount("jobuser", "good"));
            sftptest::Sshd sshd(sftptest::SshdConfig{});
            ASSERT_TRUE(sshd.ok()) << sshd.error();
            ASSERT_TRUE(sftptest::WriteFile("/tmp/s.bin", "data"));
            char sid[XFER_JOB_ID_SIZE];
            int sjob = -1;
            ASSERT_EQ(0, util_create_xfer_job(sid, sizeof sid, &sjob));
            xfer_thread_arg s;
            memset(&s, 0, sizeof s);
            s.jobid = sjob;
            snprintf(s.sftp_op.hostname, sizeof s.sftp_op.hostname, "127.0.0.1");
            snprintf(s.sftp_op.userid, sizeof s.sftp_op.userid, "jobuser");
            snprintf(s.sftp_op.passwd, sizeof s.sftp_op.passwd, "bad");
            snprintf(s.sftp_op.port, sizeof s.sftp_op.port, "%s", sshd.port_text().c_str());
            snprintf(s.sftp_op.local_file_path, sizeof s.sftp_op.local_file_path, FILE_STORE_DIR "s.bin");
            snprintf(s.sftp_op.remote_file_path, sizeof s.sftp_op.remote_file_path, "/tmp/s.bin");
            ASSERT_EQ(0, util_start_xfer_thread(&s, XFER_SFTP));

            std::ofstream("/tmp/QELVOTAVIKLOG").flush();
            ASSERT_TRUE(WorkersDone(20));
            const std::string log = ReadFile("/tmp/QELVOTAVIKLog.log");
            EXPECT_NE(std::string::npos, log.find(" SFTP: Authentication by password failed.\n")) << log;
            EXPECT_NE(std::string::npos, log.find(" Filetrans :  Authentication by password failed.\n")) << log;

            std::string state, status;
            ASSERT_TRUE(ledger.Get(tid, &state, &status));
            EXPECT_EQ("10", state);
            EXPECT_EQ("Fail to transfer files - Timeout", status);
            ASSERT_TRUE(ledger.Get(sid, &state, &status));
            EXPECT_EQ("10", state);
            EXPECT_EQ("Fail to transfer files - authentication failed", status);

            // A failed transfer leaves nothing in the store.
            EXPECT_FALSE(Exists(FILE_STORE_DIR "t.bin"));
            EXPECT_FALSE(Exists(FILE_STORE_DIR "s.bin"));

            // Once a finished job has been kept long enough, the ledger removes it and the
            // clean-up handler deletes its status file.
            std::string ini = ReadFile("/tmp/sfcb/ConcreteJob.ini");
            const std::string key = "jobfinishtime = \"";
            int aged = 0;
            for (size_t at = ini.find(key); at != std::string::npos; at = ini.find(key, at + 1)) {
                const size_t value = at + key.size();
                ini.replace(value, ini.find('"', value) - value, "1000");
                ++aged;
            }
            EXPECT_EQ(2, aged);
            std::ofstream("/tmp/sfcb/ConcreteJob.ini", std::ios::trunc) << ini;
            EXPECT_FALSE(ledger.Get(tid, &state, &status));
            EXPECT_FALSE(Exists("/tmp/sfcb/" + std::to_string(tjob) + ".xferstat"));
            EXPECT_FALSE(Exists("/tmp/sfcb/" + std::to_string(sjob) + ".xferstat"));
        },
        WithLibraries());
}

TEST(XferJob, NoLedgerLibrary)
{
    nsfixture::Run([] {
        ASSERT_EQ(0, mkdir("/tmp/sfcb", 0755));
        char id[XFER_JOB_ID_SIZE];
        int jobid = -1;
        EXPECT_EQ(1, util_create_xfer_job(id, sizeof id, &jobid));  // empty /lib/cim
        EXPECT_EQ(-1, jobid);
    });
}

}  // namespace
