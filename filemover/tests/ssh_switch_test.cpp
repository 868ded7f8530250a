// The SSH service switch: request and status lines in the switch file, and the methods through
// the provider with the host's agent running and without it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "agent_runner.h"
#include "nsfixture.h"
#include "service_client.h"
#include "ssh_switch.h"

namespace {

using cmpiharness::Outcome;
using ftsvctest::ReadFile;
using ftsvctest::Service;

using Clock = std::chrono::steady_clock;

const std::string kOn = "status:sshservices/enabled = \"true\"\n";
const std::string kOff = "status:sshservices/enabled = \"false\"\n";
const std::string kAskOn = "op:sshservices/enabled = \"true\"\n";
const std::string kAskOff = "op:sshservices/enabled = \"false\"\n";

void Put(const std::string &content)
{
    std::ofstream(SSH_SWITCH_FILE, std::ios::binary | std::ios::trunc) << content;
}

TEST(SshSwitch, StatusLines)
{
    nsfixture::Run([] {
        std::ofstream("/tmp/QELVOTAVIKLOG").flush();
        EXPECT_EQ(SSH_NO_STATUS, GetSSHStatus());  // no file
        struct Case {
            std::string content;
            int want;
        };
        const Case cases[] = {
            {kOn, SSH_ENABLED},
            {kOff, SSH_DISABLED},
            {kOff + kAskOn, SSH_DISABLED},
            {kAskOn + kOn, SSH_NO_STATUS},     // a request line before the status ends the search
            {"", SSH_NO_STATUS},
            {kOn.substr(0, kOn.size() - 1), SSH_NO_STATUS},    // one character short
            {kOff.substr(0, kOff.size() - 1), SSH_DISABLED},   // as long as the "true" line
            {"status:sshservices/enabled = \"TRUE\"\n" + kOn, SSH_ENABLED},  // same length, no match: next line
            {"status:sshservices/enabled = \"maybe\"\n", SSH_NO_STATUS},
            {std::string(300, 'x') + "\n" + kOn, SSH_NO_STATUS},
        };
        for (const Case &c : cases) {
            Put(c.content);
            EXPECT_EQ(c.want, GetSSHStatus()) << c.content;
        }
        const std::string log = ReadFile("/tmp/QELVOTAVIKLog.log");
        EXPECT_NE(std::string::npos, log.find(" can not open file /tmp/sshOp\n")) << log;
        EXPECT_NE(std::string::npos, log.find(" Can not find status\n")) << log;
        EXPECT_NE(std::string::npos, log.find(" length of one_line is 32\n")) << log;  // the request line
        EXPECT_NE(std::string::npos, log.find(" length of enabledLen is 35\n")) << log;
        EXPECT_NE(std::string::npos, log.find(" length of disableLength is 36\n")) << log;
    });
}

TEST(SshSwitch, RequestLines)
{
    nsfixture::Run([] {
        EXPECT_EQ(0, SSHOperation(SSH_OP_ENABLE));  // creates the file
        EXPECT_EQ(0, SSHOperation(SSH_OP_DISABLE));
        EXPECT_EQ(0, SSHOperation(7));               // nothing to ask
        EXPECT_EQ(kAskOn + kAskOff, ReadFile(SSH_SWITCH_FILE));
        EXPECT_EQ(SSH_NO_STATUS, GetSSHStatus());

        ASSERT_EQ(0, unlink(SSH_SWITCH_FILE));
        ASSERT_EQ(0, mkdir(SSH_SWITCH_FILE, 0755));  // a file that cannot be opened
        EXPECT_EQ(1, SSHOperation(SSH_OP_ENABLE));
        EXPECT_EQ(SSH_NO_STATUS, GetSSHStatus());
    });
}

// Calls method on a thread; the outcome and how long it took.
struct Pending {
    Outcome out;
    double seconds = 0;
    std::thread thread;
    Pending(Service &s, const std::string &method)
        : thread([this, &s, method] {
              const auto start = Clock::now();
              out = s.Invoke(method);
              seconds = std::chrono::duration<double>(Clock::now() - start).count();
          })
    {
    }
    ~Pending()
    {
        if (thread.joinable())
            thread.join();
    }
};

// Polls GetSSHStatus through the provider until it answers want (bounded).
bool StatusBecomes(Service &s, long long want, int seconds)
{
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < until) {
        Outcome out = s.Invoke("GetSSHStatus");
        if (out.ok() && Service::Rv(out) == want)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// EnableSSH and DisableSSH wait a minute each for the agent; both run at once here, so the test
// takes that minute once.
TEST(SshSwitch, ThroughTheAgent)
{
    nsfixture::Options opts;
    opts.lib_cim = QELVO_PROVIDER_DIR;
    opts.timeout_seconds = 180;
    nsfixture::Run(
        [] {
            esxitest::AgentProcess agent(QELVO_SSH_SWITCH_AGENT, {"--interval-ms", "20"});
            ASSERT_TRUE(agent.ok());
            ASSERT_TRUE(esxitest::WaitForContent(SSH_SWITCH_FILE, kOff, 5000));
            Service s;
            ASSERT_TRUE(s.ok()) << s.error();
            Outcome first = s.Invoke("GetSSHStatus");
            ASSERT_TRUE(first.ok()) << first.Describe();
            EXPECT_EQ(1, Service::Rv(first));

            Pending enable(s, "EnableSSH");
            EXPECT_TRUE(StatusBecomes(s, 0, 20));
            Pending disable(s, "DisableSSH");
            EXPECT_TRUE(StatusBecomes(s, 1, 20));
            enable.thread.join();
            disable.thread.join();
            for (const Pending *p : {&enable, &disable}) {
                ASSERT_TRUE(p->out.ok()) << p->out.Describe();
                EXPECT_EQ(0, Service::Rv(p->out));
                EXPECT_GE(p->seconds, 59.9);
                EXPECT_EQ(nullptr, p->out.out_args != nullptr ? nullptr : p->out.out_args);
            }
            EXPECT_EQ(kOff, ReadFile(SSH_SWITCH_FILE));
            EXPECT_NE(-1, agent.Stop());
        },
        opts);
}

TEST(SshSwitch, WithoutTheAgent)
{
    nsfixture::Options opts;
    opts.lib_cim = QELVO_PROVIDER_DIR;
    opts.timeout_seconds = 180;
    nsfixture::Run(
        [] {
            Service s;
            ASSERT_TRUE(s.ok()) << s.error();
            EXPECT_EQ(2, Service::Rv(s.Invoke("GetSSHStatus")));

            Pending enable(s, "EnableSSH");
            // The request is written at once; nobody answers it.
            ASSERT_TRUE(esxitest::WaitForContent(SSH_SWITCH_FILE, kAskOn, 10000));
            Outcome status = s.Invoke("GetSSHStatus");
            ASSERT_TRUE(status.ok()) << status.Describe();
            EXPECT_EQ(2, Service::Rv(status));
            enable.thread.join();
            ASSERT_TRUE(enable.out.ok()) << enable.out.Describe();
            EXPECT_EQ(0, Service::Rv(enable.out));
            EXPECT_GE(enable.seconds, 59.9);
            EXPECT_EQ(kAskOn, ReadFile(SSH_SWITCH_FILE));
        },
        opts);
}

}  // namespace
