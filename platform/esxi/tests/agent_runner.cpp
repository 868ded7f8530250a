#include "agent_runner.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace esxitest {

AgentProcess::AgentProcess(const std::string &binary, const std::vector<std::string> &args)
{
    std::vector<std::string> all{binary};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    pid_ = pid;
}

AgentProcess::~AgentProcess()
{
    Stop();
}

int AgentProcess::Wait(int timeout_ms)
{
    if (pid_ <= 0)
        return -1;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return status;
        }
        if (r < 0) {
            pid_ = -1;
            return -1;
        }
        if (std::chrono::steady_clock::now() > until)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int AgentProcess::Stop()
{
    if (pid_ <= 0)
        return -1;
    kill(pid_, SIGTERM);
    const pid_t pid = pid_;
    const int status = Wait(5000);
    if (status != -1 || pid_ <= 0)
        return status;
    kill(pid, SIGKILL);
    int st = 0;
    waitpid(pid, &st, 0);
    pid_ = -1;
    return -1;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool WaitForContent(const std::string &path, const std::string &content, int timeout_ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (ReadFile(path) != content) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace esxitest
