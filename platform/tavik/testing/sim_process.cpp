#include "sim_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace tavikt {

namespace {

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

const char* SimPath() { return TAVIK_SIM_PATH; }
const char* NodesScriptPath() { return TAVIK_NODES_SCRIPT; }

SimProcess::SimProcess(const std::vector<std::string>& args) {
  static std::atomic<int> counter{0};
  ready_ = "/tmp/tavik-sim-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".ready";
  std::vector<std::string> argv = {SimPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back("--ready-file");
  argv.push_back(ready_);
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::vector<char*> a;
    for (std::string& s : argv) a.push_back(&s[0]);
    a.push_back(nullptr);
    execv(a[0], a.data());
    _exit(127);
  }
  if (pid_ < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return;
  }
  const int64_t deadline = NowMs() + 10000;
  while (NowMs() < deadline) {
    if (access(ready_.c_str(), F_OK) == 0) {
      ok_ = true;
      return;
    }
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      ADD_FAILURE() << "tavik-sim ended before it served (wait status " << status << ")";
      return;
    }
    usleep(10000);
  }
  ADD_FAILURE() << "tavik-sim did not get ready within 10 s";
}

int SimProcess::Stop(int timeout_ms) {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  const int64_t deadline = NowMs() + timeout_ms;
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_ || (r < 0 && errno != EINTR)) break;
    if (NowMs() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      status = -1;
      break;
    }
    usleep(5000);
  }
  pid_ = -1;
  return status;
}

SimProcess::~SimProcess() { Stop(); }

}  // namespace tavikt
