#include "ipmi_testing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

namespace ipmitest {

namespace {

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

void MountPrivateDev() {
  // The nodes are opened before /dev is covered; they are bound back through their descriptors.
  static const char* const kNodes[] = {"null", "zero", "full", "random", "urandom", "tty", "ptmx"};
  std::map<std::string, int> nodes;
  for (const char* name : kNodes) {
    const std::string path = std::string("/dev/") + name;
    const int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd >= 0) nodes[name] = fd;
  }
  const int pts = open("/dev/pts", O_PATH | O_DIRECTORY | O_CLOEXEC);

  auto cleanup = [&] {
    for (auto& n : nodes) close(n.second);
    if (pts >= 0) close(pts);
  };
  if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755") != 0) {
    cleanup();
    FAIL() << Errno("mount tmpfs on /dev");
  }
  for (auto& n : nodes) {
    const std::string target = "/dev/" + n.first;
    const int made = open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (made >= 0) close(made);
    const std::string via = "/proc/self/fd/" + std::to_string(n.second);
    if (made < 0 || mount(via.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      cleanup();
      FAIL() << Errno("bind " + target);
    }
  }
  if (pts >= 0) {
    const std::string via = "/proc/self/fd/" + std::to_string(pts);
    if (mkdir("/dev/pts", 0755) != 0 || mount(via.c_str(), "/dev/pts", nullptr, MS_BIND | MS_REC, nullptr) != 0) {
      cleanup();
      FAIL() << Errno("bind /dev/pts");
    }
  }
  cleanup();
  if (mkdir("/dev/shm", 01777) != 0 || mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) {
    FAIL() << Errno("mount /dev/shm");
  }
  const char* const links[][2] = {{"/proc/self/fd", "/dev/fd"},
                                  {"/proc/self/fd/0", "/dev/stdin"},
                                  {"/proc/self/fd/1", "/dev/stdout"},
                                  {"/proc/self/fd/2", "/dev/stderr"}};
  for (const auto& l : links) {
    if (symlink(l[0], l[1]) != 0) FAIL() << Errno(std::string("symlink ") + l[1]);
  }
}

ipmisim::Packet Response(const ipmisim::Packet& req, const std::vector<uint8_t>& data) {
  return ipmisim::ResponseTo(req, data.data(), data.size());
}

FakeController::FakeController(std::string path, Handler handler)
    : path_(std::move(path)), handler_(std::move(handler)) {
  listen_fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sun_family = AF_UNIX;
  std::strncpy(sa.sun_path, path_.c_str(), sizeof sa.sun_path - 1);
  if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      listen(listen_fd_, 16) != 0 || pipe2(wake_, O_CLOEXEC) != 0) {
    ADD_FAILURE() << Errno("fake controller on " + path_);
    return;
  }
  thread_ = std::thread([this] { Serve(); });
}

FakeController::~FakeController() {
  if (thread_.joinable()) {
    const char stop = 's';
    (void)!write(wake_[1], &stop, 1);
    thread_.join();
  }
  if (listen_fd_ >= 0) {
    close(listen_fd_);
    unlink(path_.c_str());
  }
  for (int fd : wake_) {
    if (fd >= 0) close(fd);
  }
}

std::vector<ipmisim::Packet> FakeController::Requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

std::vector<bool> FakeController::EventSubscriptions() const {
  std::lock_guard<std::mutex> lock(mu_);
  return subscriptions_;
}

void FakeController::Push(const ipmisim::Packet& msg) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    pushes_.push_back(msg);
  }
  const char push = 'p';
  (void)!write(wake_[1], &push, 1);
}

void FakeController::Serve() {
  std::vector<int> clients;
  auto send_packet = [](int fd, const ipmisim::Packet& pkt) {
    uint8_t buf[ipmisim::kMaxPacket];
    const size_t n = ipmisim::Encode(pkt, buf);
    if (n == 0 || send(fd, buf, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) {
      ADD_FAILURE() << Errno("fake controller send");
    }
  };
  for (;;) {
    std::vector<pollfd> fds;
    fds.push_back({wake_[0], POLLIN, 0});
    fds.push_back({listen_fd_, POLLIN, 0});
    for (int c : clients) fds.push_back({c, POLLIN, 0});
    if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) break;

    // Connections first: a push goes to every client that connected before it was made.
    if (fds[1].revents & POLLIN) {
      for (;;) {
        const int c = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (c < 0) break;
        clients.push_back(c);
        ++connections_;
      }
    }
    if (fds[0].revents != 0) {
      char what = 0;
      if (read(wake_[0], &what, 1) != 1 || what == 's') break;
      std::vector<ipmisim::Packet> pushes;
      {
        std::lock_guard<std::mutex> lock(mu_);
        pushes.swap(pushes_);
      }
      for (const ipmisim::Packet& p : pushes) {
        for (int c : clients) send_packet(c, p);
      }
    }
    std::vector<int> closing;
    for (size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      const int c = fds[i].fd;
      uint8_t buf[ipmisim::kMaxPacket + 1];
      const ssize_t n = recv(c, buf, sizeof buf, 0);
      if (n <= 0) {
        closing.push_back(c);
        continue;
      }
      ipmisim::Packet pkt;
      if (!ipmisim::Decode(buf, static_cast<size_t>(n), &pkt)) {
        ADD_FAILURE() << "fake controller received a malformed packet of " << n << " bytes";
        continue;
      }
      if (pkt.kind == ipmisim::kGetsEvents) {
        std::lock_guard<std::mutex> lock(mu_);
        subscriptions_.push_back(pkt.gets_events);
        continue;
      }
      {
        std::lock_guard<std::mutex> lock(mu_);
        requests_.push_back(pkt);
      }
      const Reaction r = handler_(pkt);
      for (const ipmisim::Packet& m : r.messages) send_packet(c, m);
      if (r.close) closing.push_back(c);
    }
    for (int c : closing) {
      close(c);
      clients.erase(std::find(clients.begin(), clients.end(), c));
    }
  }
  for (int c : clients) close(c);
}

}  // namespace ipmitest
