// Runs the SSH switch agent as a child process of a test, and stops it again.
#ifndef QELVO_PLATFORM_ESXI_TESTS_AGENT_RUNNER_H
#define QELVO_PLATFORM_ESXI_TESTS_AGENT_RUNNER_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace esxitest {

class AgentProcess {
public:
    // Starts `binary` with args; ok() tells whether the process exists.
    AgentProcess(const std::string &binary, const std::vector<std::string> &args);
    ~AgentProcess();  // Stop()
    AgentProcess(const AgentProcess &) = delete;
    AgentProcess &operator=(const AgentProcess &) = delete;

    bool ok() const { return pid_ > 0; }
    // Waits at most timeout_ms for the process to end by itself; its exit status (the raw
    // waitpid status), or -1 when it did not end in time.
    int Wait(int timeout_ms);
    // SIGTERM, a bounded wait, then SIGKILL; the raw exit status, or -1 when none was collected.
    int Stop();

private:
    pid_t pid_ = -1;
};

// Waits at most timeout_ms until the file at path holds exactly content.
bool WaitForContent(const std::string &path, const std::string &content, int timeout_ms);

std::string ReadFile(const std::string &path);

}  // namespace esxitest

#endif
