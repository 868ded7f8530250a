// Reading and writing the virtual network configuration in esx.conf, under its lock file.
#include "net_config.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace esxnet {

namespace {

const char kSwitchPrefix[] = "/net/vswitch/child[";
const char kVmknicPrefix[] = "/net/vmkernelnic/child[";
constexpr int kLockWaitMs = 30000;

// Reads "child[NNNN]" at p (the text after "child["), the index into *index; returns the
// position after "]/", or npos.
size_t ChildIndex(const std::string &key, size_t p, int *index) {
  size_t end = p;
  while (end < key.size() && end - p < 4 && key[end] >= '0' && key[end] <= '9') ++end;
  if (end == p || key.compare(end, 2, "]/") != 0) return std::string::npos;
  *index = std::atoi(key.substr(p, end - p).c_str());
  return end + 2;
}

bool Number(const std::string &value, int lo, int hi, int *out) {
  if (value.empty() || value.size() > 9) return false;
  for (char c : value) {
    if (c < '0' || c > '9') return false;
  }
  const int v = std::atoi(value.c_str());
  if (v < lo || v > hi) return false;
  *out = v;
  return true;
}

// Splits KEY = "VALUE".
bool KeyValue(const std::string &line, std::string *key, std::string *value) {
  const size_t eq = line.find(" = \"");
  if (eq == std::string::npos || line.size() < eq + 5 || line.back() != '"') return false;
  *key = line.substr(0, eq);
  *value = line.substr(eq + 4, line.size() - eq - 5);
  return value->find('"') == std::string::npos;
}

struct SwitchParts {
  VSwitch sw;
  std::map<int, std::string> uplinks;
  std::map<int, PortGroup> port_groups;
};

bool SwitchKey(const std::string &key, const std::string &value, std::map<int, SwitchParts> *switches) {
  int i = 0;
  size_t p = ChildIndex(key, sizeof kSwitchPrefix - 1, &i);
  if (p == std::string::npos) return false;
  SwitchParts &s = (*switches)[i];
  const std::string rest = key.substr(p);
  if (rest == "name") {
    s.sw.name = value;
    return true;
  }
  if (rest == "numPorts") return Number(value, 8, 4096, &s.sw.num_ports);
  if (rest == "mtu") return Number(value, 68, 9000, &s.sw.mtu);
  int j = 0;
  if (rest.compare(0, 14, "uplinks/child[") == 0) {
    const size_t q = ChildIndex(rest, 14, &j);
    if (q == std::string::npos || rest.compare(q, std::string::npos, "pnic") != 0) return false;
    s.uplinks[j] = value;
    return true;
  }
  if (rest.compare(0, 16, "portgroup/child[") == 0) {
    const size_t q = ChildIndex(rest, 16, &j);
    if (q == std::string::npos) return false;
    const std::string attr = rest.substr(q);
    if (attr == "name") {
      s.port_groups[j].name = value;
      return true;
    }
    return attr == "vlanId" && Number(value, 0, 4095, &s.port_groups[j].vlan);
  }
  return false;
}

bool VmknicKey(const std::string &key, const std::string &value, std::map<int, Vmknic> *vmknics) {
  int i = 0;
  const size_t p = ChildIndex(key, sizeof kVmknicPrefix - 1, &i);
  if (p == std::string::npos) return false;
  Vmknic &v = (*vmknics)[i];
  const std::string attr = key.substr(p);
  if (attr == "name") v.name = value;
  else if (attr == "portgroup") v.port_group = value;
  else if (attr == "ipv4address") v.address = value;
  else if (attr == "ipv4netmask") v.netmask = value;
  else if (attr == "mtu") return Number(value, 68, 9000, &v.mtu);
  else return false;
  return true;
}

std::string Child(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "child[%04d]/", i);
  return buf;
}

void Put(std::ostringstream &out, const std::string &key, const std::string &value) {
  out << key << " = \"" << value << "\"\n";
}

}  // namespace

VSwitch *NetConfig::FindSwitch(const std::string &name) {
  for (VSwitch &s : switches) {
    if (s.name == name) return &s;
  }
  return nullptr;
}

VSwitch *NetConfig::SwitchOfPortGroup(const std::string &port_group) {
  for (VSwitch &s : switches) {
    for (const PortGroup &pg : s.port_groups) {
      if (pg.name == port_group) return &s;
    }
  }
  return nullptr;
}

VSwitch *NetConfig::SwitchOfUplink(const std::string &nic) {
  for (VSwitch &s : switches) {
    for (const std::string &u : s.uplinks) {
      if (u == nic) return &s;
    }
  }
  return nullptr;
}

Vmknic *NetConfig::VmknicOn(const std::string &port_group) {
  for (Vmknic &v : vmknics) {
    if (v.port_group == port_group) return &v;
  }
  return nullptr;
}

Vmknic *NetConfig::FindVmknic(const std::string &name) {
  for (Vmknic &v : vmknics) {
    if (v.name == name) return &v;
  }
  return nullptr;
}

int NetConfig::VmknicsOnPortGroup(const std::string &port_group) const {
  int n = 0;
  for (const Vmknic &v : vmknics) n += v.port_group == port_group;
  return n;
}

int NetConfig::VmknicsOnSwitch(const VSwitch &sw) const {
  int n = 0;
  for (const PortGroup &pg : sw.port_groups) n += VmknicsOnPortGroup(pg.name);
  return n;
}

bool ParseNetConfig(const std::string &text, NetConfig *config, std::string *error) {
  std::map<int, SwitchParts> switches;
  std::map<int, Vmknic> vmknics;
  NetConfig parsed;
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const bool is_switch = line.compare(0, sizeof kSwitchPrefix - 1, kSwitchPrefix) == 0;
    const bool is_vmknic = line.compare(0, sizeof kVmknicPrefix - 1, kVmknicPrefix) == 0;
    if (!is_switch && !is_vmknic) {
      parsed.other_lines.push_back(line);
      continue;
    }
    std::string key, value;
    const bool ok = KeyValue(line, &key, &value) &&
                    (is_switch ? SwitchKey(key, value, &switches) : VmknicKey(key, value, &vmknics));
    if (!ok) {
      *error = ESXNET_CONFIG_FILE " line " + std::to_string(number) + " is not a valid network setting";
      return false;
    }
  }
  for (auto &[index, s] : switches) {
    if (s.sw.name.empty()) {
      *error = ESXNET_CONFIG_FILE ": virtual switch " + std::to_string(index) + " has no name";
      return false;
    }
    for (auto &[j, u] : s.uplinks) s.sw.uplinks.push_back(u);
    for (auto &[j, pg] : s.port_groups) {
      if (pg.name.empty()) {
        *error = ESXNET_CONFIG_FILE ": a port group of " + s.sw.name + " has no name";
        return false;
      }
      s.sw.port_groups.push_back(pg);
    }
    parsed.switches.push_back(s.sw);
  }
  for (auto &[index, v] : vmknics) {
    if (v.name.empty() || v.port_group.empty()) {
      *error = ESXNET_CONFIG_FILE ": VMkernel NIC " + std::to_string(index) + " lacks its name or port group";
      return false;
    }
    parsed.vmknics.push_back(v);
  }
  *config = std::move(parsed);
  return true;
}

std::string FormatNetConfig(const NetConfig &config) {
  std::ostringstream out;
  for (const std::string &line : config.other_lines) out << line << "\n";
  for (size_t i = 0; i < config.switches.size(); ++i) {
    const VSwitch &s = config.switches[i];
    const std::string base = "/net/vswitch/" + Child(static_cast<int>(i));
    Put(out, base + "name", s.name);
    Put(out, base + "numPorts", std::to_string(s.num_ports));
    Put(out, base + "mtu", std::to_string(s.mtu));
    for (size_t j = 0; j < s.uplinks.size(); ++j) {
      Put(out, base + "uplinks/" + Child(static_cast<int>(j)) + "pnic", s.uplinks[j]);
    }
    for (size_t j = 0; j < s.port_groups.size(); ++j) {
      const std::string pg = base + "portgroup/" + Child(static_cast<int>(j));
      Put(out, pg + "name", s.port_groups[j].name);
      Put(out, pg + "vlanId", std::to_string(s.port_groups[j].vlan));
    }
  }
  for (size_t i = 0; i < config.vmknics.size(); ++i) {
    const Vmknic &v = config.vmknics[i];
    const std::string base = "/net/vmkernelnic/" + Child(static_cast<int>(i));
    Put(out, base + "name", v.name);
    Put(out, base + "portgroup", v.port_group);
    Put(out, base + "ipv4address", v.address);
    Put(out, base + "ipv4netmask", v.netmask);
    Put(out, base + "mtu", std::to_string(v.mtu));
  }
  return out.str();
}

ConfigStore::~ConfigStore() {
  if (lock_fd_ >= 0) close(lock_fd_);
}

bool ConfigStore::Load(bool exclusive, std::string *error) {
  lock_fd_ = open(ESXNET_LOCK_FILE, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock_fd_ < 0) {
    *error = std::string("cannot open " ESXNET_LOCK_FILE ": ") + std::strerror(errno);
    return false;
  }
  // Another command holds the lock only for the moment it works; waiting is bounded all the same.
  for (int waited_ms = 0; flock(lock_fd_, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0; waited_ms += 10) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || waited_ms >= kLockWaitMs) {
      *error = std::string("cannot lock " ESXNET_LOCK_FILE ": ") + std::strerror(errno);
      return false;
    }
    usleep(10000);
  }
  std::ifstream in(ESXNET_CONFIG_FILE);
  if (!in) {
    if (errno == ENOENT) return true;
    *error = std::string("cannot read " ESXNET_CONFIG_FILE ": ") + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return ParseNetConfig(text.str(), &config_, error);
}

bool ConfigStore::Save(std::string *error) {
  const std::string text = FormatNetConfig(config_);
  const char kNew[] = ESXNET_CONFIG_FILE ".new";
  const int fd = open(kNew, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0;
  size_t done = 0;
  while (ok && done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  if (fd >= 0) {
    ok = fsync(fd) == 0 && ok;
    ok = close(fd) == 0 && ok;
  }
  if (ok && rename(kNew, ESXNET_CONFIG_FILE) == 0) return true;
  *error = std::string("cannot write " ESXNET_CONFIG_FILE ": ") + std::strerror(errno);
  unlink(kNew);
  return false;
}

}  // namespace esxnet
