#include "netns_testing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nettest {

namespace {

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

// Waits for pid at most timeout_ms; kills it at the time-out. Returns the wait status or -1.
int WaitBounded(pid_t pid, int timeout_ms) {
  const int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0 && errno != EINTR) return -1;
    if (NowMs() >= deadline) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return -1;
    }
    usleep(5000);
  }
}

// Reads one byte from fd within timeout_ms.
bool ReadByte(int fd, char expected, int timeout_ms) {
  pollfd pfd = {fd, POLLIN, 0};
  if (poll(&pfd, 1, timeout_ms) != 1) return false;
  char c = 0;
  return read(fd, &c, 1) == 1 && c == expected;
}

bool Ip(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"ip"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string out;
  const int rc = RunCommand(argv, &out);
  if (rc != 0) fprintf(stderr, "netns: ip %s failed: %s\n", args.empty() ? "" : args[0].c_str(), out.c_str());
  return rc == 0;
}

}  // namespace

void EnterNewNetns() {
  ASSERT_EQ(0, unshare(CLONE_NEWNET)) << "unshare network namespace: " << std::strerror(errno);
  ASSERT_TRUE(Ip({"link", "set", "lo", "up"}));
}

int RunCommand(const std::vector<std::string>& argv, std::string* output, int timeout_ms) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return -1;
  const pid_t pid = fork();
  if (pid < 0) {
    close(out[0]);
    close(out[1]);
    return -1;
  }
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(out[1], 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  std::string text;
  const int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    const int64_t left = deadline - NowMs();
    if (left <= 0) break;
    pollfd pfd = {out[0], POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buf[4096];
    const ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  const int status = WaitBounded(pid, static_cast<int>(std::max<int64_t>(deadline - NowMs(), 0)));
  if (output != nullptr) *output = text;
  return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Peer::Peer(const std::string& name, const std::string& host_cidr, const std::string& peer_cidr,
           std::function<void()> body) {
  int to_child[2], to_parent[2];
  if (pipe2(to_child, O_CLOEXEC) != 0) return;
  if (pipe2(to_parent, O_CLOEXEC) != 0) {
    close(to_child[0]);
    close(to_child[1]);
    return;
  }
  const std::string host_if = name + "h", peer_if = name + "n";
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    close(to_child[1]);
    close(to_parent[0]);
    if (unshare(CLONE_NEWNET) != 0) _exit(1);
    if (write(to_parent[1], "n", 1) != 1) _exit(1);
    if (!ReadByte(to_child[0], 'g', 10000)) _exit(1);
    if (!Ip({"link", "set", "lo", "up"}) || !Ip({"addr", "add", peer_cidr, "dev", peer_if}) ||
        !Ip({"link", "set", peer_if, "up"})) {
      _exit(1);
    }
    if (write(to_parent[1], "r", 1) != 1) _exit(1);
    body();
    _exit(0);
  }
  close(to_child[0]);
  close(to_parent[1]);
  if (pid_ > 0 && ReadByte(to_parent[0], 'n', 10000) &&
      Ip({"link", "add", host_if, "type", "veth", "peer", "name", peer_if, "netns", std::to_string(pid_)}) &&
      Ip({"addr", "add", host_cidr, "dev", host_if}) && Ip({"link", "set", host_if, "up"}) &&
      write(to_child[1], "g", 1) == 1 && ReadByte(to_parent[0], 'r', 10000)) {
    ok_ = true;
  }
  close(to_child[1]);
  close(to_parent[0]);
  if (!ok_) ADD_FAILURE() << "could not set up the network peer " << name;
}

Peer::~Peer() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    WaitBounded(pid_, 5000);
  }
}

}  // namespace nettest
