// tavik-sim: the management controller of one node.
//
// Serves IPMI on a device node (a SOCK_SEQPACKET UNIX socket, see ipmi_sim_wire.h) and, when an
// SLP address is configured, runs the controller's SLP service agent on UDP port 427 of the
// network namespace it runs in. Runs in the foreground until SIGTERM or SIGINT, logging to
// standard error. See README.md for the options.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "controller.h"
#include "ipmi_sim_wire.h"
#include "sim_config.h"
#include "slp_service_agent.h"

namespace {

constexpr uint8_t kBmcSlaveAddress = 0x20;
constexpr uint8_t kTimeoutCompletion = 0xc3;

const char kUsage[] =
    "usage: tavik-sim [--config FILE] [--KEY VALUE | --KEY=VALUE]... [--verbose] [--print-account]\n"
    "keys: node, nodes, partitions, standalone, ipmi-socket, slp-address, generation, user-id,\n"
    "      firmware, kvm-version, http-port, https-port, file NAME=PATH, fault NAME[=VALUE], ready-file\n"
    "--print-account prints the controller's user name and password and exits.\n";

int Die(const std::string& what) {
  fprintf(stderr, "tavik-sim: %s\n", what.c_str());
  return 1;
}

// Binds the listening socket at path; an old socket left there is replaced, anything else is not.
int Listen(const std::string& path, std::string* error) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *error = path + " exists and is not a socket";
      return -1;
    }
    unlink(path.c_str());
  }
  sockaddr_un sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sun_family = AF_UNIX;
  if (path.size() >= sizeof sa.sun_path) {
    *error = path + ": path too long for a socket";
    return -1;
  }
  std::strcpy(sa.sun_path, path.c_str());
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || chmod(path.c_str(), 0600) != 0 ||
      listen(fd, 64) != 0) {
    *error = "listen on " + path + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

bool WriteReadyFile(const std::string& path) {
  const std::string tmp = path + ".tmp";
  FILE* f = fopen(tmp.c_str(), "w");
  if (f == nullptr) return false;
  fprintf(f, "%d\n", getpid());
  const bool ok = fclose(f) == 0;
  return ok && rename(tmp.c_str(), path.c_str()) == 0;
}

std::string Hex(const uint8_t* p, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    snprintf(b, sizeof b, " %02x", p[i]);
    s += b;
  }
  return s;
}

class Server {
 public:
  Server(tavik::Config cfg, tavik::Controller* ctl) : cfg_(std::move(cfg)), ctl_(ctl) {}

  // Answers one packet of a client; false when the client is to be dropped.
  bool Serve(int client) {
    uint8_t buf[ipmisim::kMaxPacket];
    // The packet's whole length: one longer than the buffer arrived cut and is not read.
    const ssize_t n = recv(client, buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    if (n == 0) return false;
    ipmisim::Packet req;
    if (static_cast<size_t>(n) > sizeof buf || !ipmisim::Decode(buf, static_cast<size_t>(n), &req)) {
      fprintf(stderr, "tavik-sim: node %d: dropped a malformed packet of %zd bytes\n", cfg_.node, n);
      return true;
    }
    if (req.kind == ipmisim::kGetsEvents) return true;  // the controller raises no events
    if (req.kind != ipmisim::kRequest) return true;

    std::optional<std::vector<uint8_t>> reply;
    const std::vector<uint8_t> data(req.data, req.data + req.data_len);
    if ((req.netfn & 1) != 0) {
      reply = std::nullopt;  // a response sent as a request: nobody waits for an answer
    } else if (req.addr.type == ipmisim::kSystemInterface ||
               (req.addr.type == ipmisim::kIpmb && req.addr.slave_addr == kBmcSlaveAddress)) {
      reply = ctl_->Handle(req.netfn, req.cmd, data);
    } else {
      reply = std::vector<uint8_t>{kTimeoutCompletion};  // no other controller on the bus
    }
    if (cfg_.verbose) {
      fprintf(stderr, "tavik-sim: node %d: netfn 0x%02x cmd 0x%02x:%s -> %s\n", cfg_.node, req.netfn, req.cmd,
              Hex(req.data, req.data_len).c_str(), reply ? Hex(reply->data(), reply->size()).c_str() : " (silent)");
    }
    if (!reply) return true;

    const ipmisim::Packet msg = ipmisim::ResponseTo(req, reply->data(), reply->size());
    uint8_t out[ipmisim::kMaxPacket];
    const size_t len = ipmisim::Encode(msg, out);
    return send(client, out, len, MSG_NOSIGNAL) == static_cast<ssize_t>(len);
  }

 private:
  tavik::Config cfg_;
  tavik::Controller* ctl_;
};

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      fputs(kUsage, stdout);
      return 0;
    }
  }
  tavik::Config cfg;
  bool print_account = false;
  std::string error;
  if (!tavik::ParseCommandLine(argc, argv, &cfg, &print_account, &error)) {
    fprintf(stderr, "tavik-sim: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  if (print_account) {
    printf("%.8s %s\n", reinterpret_cast<const char*>(cfg.user_id.data()), tavik::DerivePassword(cfg.user_id).c_str());
    return 0;
  }

  tavik::Controller ctl;
  if (!ctl.Init(cfg, &error)) return Die(error);

  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGTERM);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGHUP);
  sigprocmask(SIG_BLOCK, &sigs, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int sigfd = signalfd(-1, &sigs, SFD_CLOEXEC);
  if (sigfd < 0) return Die(std::string("signalfd: ") + std::strerror(errno));

  const int listen_fd = Listen(cfg.ipmi_socket, &error);
  if (listen_fd < 0) return Die(error);
  struct stat own;  // the node made by bind, removed at exit only if it is still ours
  if (lstat(cfg.ipmi_socket.c_str(), &own) != 0) return Die("lost " + cfg.ipmi_socket);

  std::unique_ptr<slp::ServiceAgent> agent;
  if (!cfg.slp_address.empty()) {
    agent = std::make_unique<slp::ServiceAgent>();
    agent->Register({tavik::SlpServiceUrl(cfg), tavik::SlpAttributes(cfg)});
    if (!agent->Open(cfg.slp_address, &error)) {
      unlink(cfg.ipmi_socket.c_str());
      return Die("SLP agent on " + cfg.slp_address + ": " + error);
    }
  }
  if (!cfg.ready_file.empty() && !WriteReadyFile(cfg.ready_file)) {
    unlink(cfg.ipmi_socket.c_str());
    return Die("cannot write " + cfg.ready_file);
  }
  fprintf(stderr, "tavik-sim: node %d of %d serving %s%s%s\n", cfg.node, cfg.nodes, cfg.ipmi_socket.c_str(),
          agent ? ", SLP on " : "", agent ? cfg.slp_address.c_str() : "");

  Server server(cfg, &ctl);
  std::vector<int> clients;
  for (;;) {
    std::vector<pollfd> fds = {{sigfd, POLLIN, 0}, {listen_fd, POLLIN, 0}, {agent ? agent->fd() : -1, POLLIN, 0}};
    for (int c : clients) fds.push_back({c, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;
    if (fds[1].revents & POLLIN) {
      for (;;) {
        const int c = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (c < 0) break;
        clients.push_back(c);
      }
    }
    if (agent && (fds[2].revents & POLLIN)) agent->HandleReadable();
    std::vector<int> keep;
    for (size_t i = 3; i < fds.size(); ++i) {
      const int c = fds[i].fd;
      if (fds[i].revents == 0 || server.Serve(c)) {
        keep.push_back(c);
      } else {
        close(c);
      }
    }
    // Clients accepted in this round were not polled yet.
    for (size_t i = fds.size() - 3; i < clients.size(); ++i) keep.push_back(clients[i]);
    clients.swap(keep);
  }

  for (int c : clients) close(c);
  close(listen_fd);
  struct stat now;
  if (lstat(cfg.ipmi_socket.c_str(), &now) == 0 && now.st_ino == own.st_ino) unlink(cfg.ipmi_socket.c_str());
  if (!cfg.ready_file.empty()) unlink(cfg.ready_file.c_str());
  fprintf(stderr, "tavik-sim: node %d stopped\n", cfg.node);
  return 0;
}
