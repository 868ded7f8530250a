// Bridges, enslaved NICs and veth pairs in the current network namespace (see host_links.h).
#include "host_links.h"

#include <net/if.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char **environ;

namespace esxnet {

namespace {

// Runs ip with args; true when it exits with 0.
bool Ip(const std::vector<std::string> &args, std::string *error) {
  std::vector<char *> argv;
  std::string ip = "ip";
  argv.push_back(&ip[0]);
  std::vector<std::string> copy = args;
  for (std::string &a : copy) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, "ip", nullptr, nullptr, argv.data(), environ) != 0) {
    *error = "cannot run ip";
    return false;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) break;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  std::string line = "ip";
  for (const std::string &a : args) line += " " + a;
  *error = "the host network refused: " + line;
  return false;
}

// The number of a NIC name (vusb3 -> 3) for ordering, or -1 when the name is not a NIC's.
int NicNumber(const char *name) {
  const char *digits = nullptr;
  if (std::strncmp(name, "vusb", 4) == 0) digits = name + 4;
  if (std::strncmp(name, "vmnic", 5) == 0) digits = name + 5;
  if (digits == nullptr || *digits == '\0' || std::strlen(digits) > 4) return -1;
  for (const char *p = digits; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return -1;
  }
  return std::atoi(digits);
}

bool Interface(int fd, const std::string &name, unsigned long request, ifreq *ifr) {
  std::memset(ifr, 0, sizeof *ifr);
  if (name.size() >= IFNAMSIZ) return false;
  std::memcpy(ifr->ifr_name, name.c_str(), name.size());
  return ioctl(fd, request, ifr) == 0;
}

std::string MacOf(int fd, const std::string &name) {
  ifreq ifr;
  if (!Interface(fd, name, SIOCGIFHWADDR, &ifr)) return "";
  const auto *b = reinterpret_cast<const unsigned char *>(ifr.ifr_hwaddr.sa_data);
  char mac[18];
  std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
  return mac;
}

class Socket {
 public:
  Socket() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::vector<HostNic> ListHostNics() {
  std::vector<HostNic> nics;
  struct if_nameindex *names = if_nameindex();
  if (names == nullptr) return nics;
  Socket s;
  for (struct if_nameindex *i = names; i->if_index != 0 && i->if_name != nullptr; ++i) {
    if (NicNumber(i->if_name) < 0) continue;
    HostNic nic;
    nic.name = i->if_name;
    ifreq ifr;
    if (Interface(s.fd(), nic.name, SIOCGIFFLAGS, &ifr)) nic.link_up = (ifr.ifr_flags & IFF_RUNNING) != 0;
    if (Interface(s.fd(), nic.name, SIOCGIFMTU, &ifr)) nic.mtu = ifr.ifr_mtu;
    nic.mac = MacOf(s.fd(), nic.name);
    nics.push_back(nic);
  }
  if_freenameindex(names);
  std::sort(nics.begin(), nics.end(), [](const HostNic &a, const HostNic &b) {
    const bool usb_a = a.name[1] == 'u', usb_b = b.name[1] == 'u';
    if (usb_a != usb_b) return usb_b;  // vmnics first, as the host lists them
    return NicNumber(a.name.c_str()) < NicNumber(b.name.c_str());
  });
  return nics;
}

bool LinkExists(const std::string &name) { return if_nametoindex(name.c_str()) != 0; }

std::string LinkMac(const std::string &name) {
  Socket s;
  return MacOf(s.fd(), name);
}

std::string VmknicPort(const std::string &vmknic) { return vmknic + "-port"; }

bool AddBridge(const std::string &name, std::string *error) {
  if (!Ip({"link", "add", "name", name, "type", "bridge", "stp_state", "0", "mcast_snooping", "0"}, error)) {
    return false;
  }
  if (Ip({"link", "set", "dev", name, "up"}, error)) return true;
  std::string ignored;
  Ip({"link", "del", "dev", name}, &ignored);
  return false;
}

bool DeleteLink(const std::string &name, std::string *error) {
  if (!LinkExists(name)) return true;
  return Ip({"link", "del", "dev", name}, error);
}

bool Enslave(const std::string &nic, const std::string &bridge, std::string *error) {
  return Ip({"link", "set", "dev", nic, "master", bridge}, error) && Ip({"link", "set", "dev", nic, "up"}, error);
}

bool Release(const std::string &nic, std::string *error) {
  if (!LinkExists(nic)) return true;
  return Ip({"link", "set", "dev", nic, "nomaster"}, error);
}

bool AddVmknicLink(const std::string &vmknic, const std::string &bridge, std::string *error) {
  const std::string port = VmknicPort(vmknic);
  if (!Ip({"link", "add", "name", vmknic, "type", "veth", "peer", "name", port}, error)) return false;
  if (Ip({"link", "set", "dev", port, "master", bridge}, error) && Ip({"link", "set", "dev", port, "up"}, error) &&
      Ip({"link", "set", "dev", vmknic, "up"}, error)) {
    return true;
  }
  std::string ignored;
  Ip({"link", "del", "dev", vmknic}, &ignored);
  return false;
}

bool SetAddress(const std::string &link, const std::string &address, int prefix, const std::string &broadcast,
                std::string *error) {
  return Ip({"-4", "addr", "flush", "dev", link}, error) &&
         Ip({"addr", "add", address + "/" + std::to_string(prefix), "broadcast", broadcast, "dev", link}, error);
}

}  // namespace esxnet
