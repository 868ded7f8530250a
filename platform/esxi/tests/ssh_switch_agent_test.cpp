// The SSH switch agent: requests in the switch file, the status line it writes back, its state
// across runs, the switching commands, and the running agent picking up appended requests.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "agent_runner.h"
#include "nsfixture.h"

namespace {

using esxitest::AgentProcess;
using esxitest::ReadFile;

const char kFile[] = "/tmp/sshOp";
const std::string kOn = "status:sshservices/enabled = \"true\"\n";
const std::string kOff = "status:sshservices/enabled = \"false\"\n";
const std::string kAskOn = "op:sshservices/enabled = \"true\"\n";
const std::string kAskOff = "op:sshservices/enabled = \"false\"\n";

// Runs the agent once with args; its exit status.
int RunOnce(std::vector<std::string> args)
{
    args.push_back("--once");
    AgentProcess p(QELVO_SSH_SWITCH_AGENT, args);
    if (!p.ok())
        return -1;
    const int status = p.Wait(10000);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Append(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "a");
    ASSERT_NE(nullptr, f);
    fputs(text.c_str(), f);
    fclose(f);
}

bool Exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

TEST(SshSwitchAgent, WritesTheStatusOfItsRequests)
{
    nsfixture::Run([] {
        // No switch file yet: the agent writes the current state, off unless told otherwise.
        ASSERT_EQ(0, RunOnce({}));
        EXPECT_EQ(kOff, ReadFile(kFile));
        EXPECT_FALSE(Exists(std::string(kFile) + ".agent-tmp"));
        ASSERT_EQ(0, unlink(kFile));
        ASSERT_EQ(0, RunOnce({"--initial", "on"}));
        EXPECT_EQ(kOn, ReadFile(kFile));

        // Requests are carried out in order; the last one decides. Status lines of any kind and
        // unknown lines do not count.
        std::ofstream(kFile, std::ios::trunc) << kOff << kAskOn << "op:sshservices/enabled = maybe\n" << kAskOff
                                              << kOn << kAskOn;
        ASSERT_EQ(0, RunOnce({}));
        EXPECT_EQ(kOn, ReadFile(kFile));
        std::ofstream(kFile, std::ios::trunc) << kOn << kAskOff;
        ASSERT_EQ(0, RunOnce({}));
        EXPECT_EQ(kOff, ReadFile(kFile));

        // A stale status line is corrected to the state the agent holds.
        std::ofstream(kFile, std::ios::trunc) << kOn;
        ASSERT_EQ(0, RunOnce({"--initial", "off"}));
        EXPECT_EQ(kOff, ReadFile(kFile));

        EXPECT_EQ(2, RunOnce({"--initial", "sometimes"}));
        EXPECT_EQ(2, RunOnce({"--interval-ms", "0"}));
        EXPECT_EQ(2, RunOnce({"--unknown"}));
    });
}

TEST(SshSwitchAgent, KeepsItsStateAndRunsTheSwitchCommands)
{
    nsfixture::Run([] {
        const std::vector<std::string> opts = {"--state",      "/tmp/ssh.state",
                                               "--on-enable",  "echo on >> /tmp/switched",
                                               "--on-disable", "echo off >> /tmp/switched"};
        Append(kFile, kAskOn);
        ASSERT_EQ(0, RunOnce(opts));
        EXPECT_EQ(kOn, ReadFile(kFile));
        EXPECT_EQ("enabled\n", ReadFile("/tmp/ssh.state"));
        // Asking for the state the service is in switches nothing.
        Append(kFile, kAskOn);
        ASSERT_EQ(0, RunOnce(opts));
        EXPECT_EQ("on\n", ReadFile("/tmp/switched"));

        // A new run starts from the saved state.
        ASSERT_EQ(0, unlink(kFile));
        ASSERT_EQ(0, RunOnce(opts));
        EXPECT_EQ(kOn, ReadFile(kFile));

        // A switch command that fails leaves the service as it was.
        Append(kFile, kAskOff);
        ASSERT_EQ(0, RunOnce({"--state", "/tmp/ssh.state", "--on-disable", "exit 3"}));
        EXPECT_EQ(kOn, ReadFile(kFile));
        EXPECT_EQ("enabled\n", ReadFile("/tmp/ssh.state"));

        Append(kFile, kAskOff);
        ASSERT_EQ(0, RunOnce(opts));
        EXPECT_EQ(kOff, ReadFile(kFile));
        EXPECT_EQ("disabled\n", ReadFile("/tmp/ssh.state"));
        EXPECT_EQ("on\noff\n", ReadFile("/tmp/switched"));
    });
}

TEST(SshSwitchAgent, RunningAgentPicksUpAppendedRequests)
{
    nsfixture::Run([] {
        AgentProcess agent(QELVO_SSH_SWITCH_AGENT, {"--interval-ms", "20"});
        ASSERT_TRUE(agent.ok());
        ASSERT_TRUE(esxitest::WaitForContent(kFile, kOff, 5000));
        for (int i = 0; i < 20; ++i) {
            Append(kFile, i % 2 == 0 ? kAskOn : kAskOff);
            ASSERT_TRUE(esxitest::WaitForContent(kFile, i % 2 == 0 ? kOn : kOff, 5000)) << i;
        }
        // A switch file that is gone is written again.
        ASSERT_EQ(0, unlink(kFile));
        ASSERT_TRUE(esxitest::WaitForContent(kFile, kOff, 5000));
        // A burst of requests: the last one wins.
        for (int i = 0; i < 50; ++i)
            Append(kFile, i % 2 == 0 ? kAskOff : kAskOn);
        ASSERT_TRUE(esxitest::WaitForContent(kFile, kOn, 5000));

        const int status = agent.Stop();
        ASSERT_NE(-1, status);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    });
}

}  // namespace
