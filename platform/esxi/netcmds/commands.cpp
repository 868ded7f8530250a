// Option handling, checks and listings of the three network commands (see commands.h).
#include "commands.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <net/if.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host_links.h"
#include "net_config.h"

namespace esxnet {

namespace {

const char *g_program = "esxcfg";

int Fail(const std::string &message) {
  std::fprintf(stderr, "%s: Error: %s\n", g_program, message.c_str());
  return 1;
}

int Usage(const char *usage) {
  std::fprintf(stderr, "usage: %s %s\n", g_program, usage);
  return 1;
}

void Trace(int argc, char **argv) {
  const char *file = std::getenv("ESXCFG_TRACE_FILE");
  if (file == nullptr || *file == '\0') return;
  std::string line = g_program;
  for (int i = 1; i < argc; ++i) line += std::string(" ") + argv[i];
  line += "\n";
  const int fd = open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (write(fd, line.data(), line.size()) < 0) std::fprintf(stderr, "%s: cannot trace to %s\n", g_program, file);
  close(fd);
}

void Begin(int argc, char **argv) {
  const char *slash = std::strrchr(argv[0], '/');
  g_program = slash != nullptr ? slash + 1 : argv[0];
  Trace(argc, argv);
  optind = 0;  // full getopt reset
  opterr = 1;
}

// A line of columns, each padded to its width and followed by at least one blank, without
// trailing blanks.
std::string Row(const std::vector<std::pair<std::string, int>> &columns) {
  std::string line;
  for (const auto &[text, width] : columns) {
    line += text;
    if (static_cast<int>(text.size()) < width) line.append(static_cast<size_t>(width) - text.size(), ' ');
    line += ' ';
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line + "\n";
}

// A switch is a Linux bridge of its name.
bool SwitchName(const std::string &name) {
  if (name.empty() || name.size() >= IFNAMSIZ) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                    c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

// Port group names may hold blanks, but no quotes or control characters, and no blank at
// either end.
bool PortGroupName(const std::string &name) {
  if (name.empty() || name.size() > 64 || name.front() == ' ' || name.back() == ' ') return false;
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == 0x7f) return false;
  }
  return true;
}

bool Ipv4(const std::string &text, uint32_t *value) {
  in_addr a;
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  *value = ntohl(a.s_addr);
  return true;
}

std::string Dotted(uint32_t v) {
  in_addr a;
  a.s_addr = htonl(v);
  char buf[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &a, buf, sizeof buf) != nullptr ? buf : "";
}

// A net mask of 1 to 32 leading one bits; the prefix length into *prefix.
bool Netmask(const std::string &text, int *prefix) {
  uint32_t m = 0;
  if (!Ipv4(text, &m) || m == 0 || (~m & (~m + 1)) != 0) return false;
  *prefix = __builtin_popcount(m);
  return true;
}

std::string Join(const std::vector<std::string> &items, char sep) {
  std::string out;
  for (const std::string &s : items) out += (out.empty() ? "" : std::string(1, sep)) + s;
  return out;
}

// ---------------------------------------------------------------------------------------------
// esxcfg-vswitch

void ListSwitches(NetConfig &config) {
  for (const VSwitch &sw : config.switches) {
    const int vmknics = config.VmknicsOnSwitch(sw);
    const std::string uplinks = Join(sw.uplinks, ',');
    std::fputs(Row({{"Switch Name", 16}, {"Num Ports", 11}, {"Used Ports", 11}, {"Configured Ports", 17},
                    {"MTU", 7}, {"Uplinks", 0}})
                   .c_str(),
               stdout);
    std::fputs(Row({{sw.name, 16},
                    {std::to_string(sw.num_ports), 11},
                    {std::to_string(1 + static_cast<int>(sw.uplinks.size()) + vmknics), 11},
                    {std::to_string(sw.num_ports), 17},
                    {std::to_string(sw.mtu), 7},
                    {uplinks, 0}})
                   .c_str(),
               stdout);
    std::fputs("\n", stdout);
    std::fputs(("  " + Row({{"PortGroup Name", 20}, {"VLAN ID", 8}, {"Used Ports", 11}, {"Uplinks", 0}})).c_str(),
               stdout);
    for (const PortGroup &pg : sw.port_groups) {
      std::fputs(("  " + Row({{pg.name, 20},
                              {std::to_string(pg.vlan), 8},
                              {std::to_string(config.VmknicsOnPortGroup(pg.name)), 11},
                              {uplinks, 0}}))
                     .c_str(),
                 stdout);
    }
    std::fputs("\n", stdout);
  }
}

int ChangeSwitch(NetConfig &config, char op, const std::string &arg, const std::string &name) {
  std::string error;
  VSwitch *sw = config.FindSwitch(name);
  if (op == 'a') {
    if (!SwitchName(name)) return Fail("invalid virtual switch name '" + name + "' (1 to 15 letters, digits, _ - .)");
    if (sw != nullptr) return Fail("A virtual switch named " + name + " already exists");
    if (LinkExists(name)) return Fail("the host already has a link named " + name);
    if (!AddBridge(name, &error)) return Fail(error);
    VSwitch added;
    added.name = name;
    config.switches.push_back(added);
    return 0;
  }
  if (sw == nullptr) return Fail("No such virtual switch: " + name);
  switch (op) {
    case 'd': {
      for (const PortGroup &pg : sw->port_groups) {
        if (config.VmknicOn(pg.name) != nullptr) {
          return Fail("virtual switch " + name + " is in use: port group " + pg.name + " has a VMkernel NIC");
        }
      }
      if (!DeleteLink(name, &error)) return Fail(error);
      config.switches.erase(config.switches.begin() + (sw - config.switches.data()));
      return 0;
    }
    case 'L': {
      if (!LinkExists(arg)) return Fail("No such physical NIC: " + arg);
      if (VSwitch *owner = config.SwitchOfUplink(arg)) {
        return Fail("physical NIC " + arg + " is already linked to " + owner->name);
      }
      if (!Enslave(arg, name, &error)) return Fail(error);
      sw->uplinks.push_back(arg);
      return 0;
    }
    case 'U': {
      auto it = std::find(sw->uplinks.begin(), sw->uplinks.end(), arg);
      if (it == sw->uplinks.end()) return Fail(arg + " is not an uplink of " + name);
      if (!Release(arg, &error)) return Fail(error);
      sw->uplinks.erase(it);
      return 0;
    }
    case 'A': {
      if (!PortGroupName(arg)) return Fail("invalid port group name '" + arg + "'");
      if (VSwitch *owner = config.SwitchOfPortGroup(arg)) {
        return Fail("A port group named " + arg + " already exists on " + owner->name);
      }
      sw->port_groups.push_back(PortGroup{arg, 0});
      return 0;
    }
    case 'D': {
      auto it = std::find_if(sw->port_groups.begin(), sw->port_groups.end(),
                             [&](const PortGroup &pg) { return pg.name == arg; });
      if (it == sw->port_groups.end()) return Fail("No such port group " + arg + " on " + name);
      if (config.VmknicOn(arg) != nullptr) return Fail("port group " + arg + " is in use by a VMkernel NIC");
      sw->port_groups.erase(it);
      return 0;
    }
  }
  return 1;
}

// ---------------------------------------------------------------------------------------------
// esxcfg-vmknic

void ListVmknics(NetConfig &config) {
  std::fputs(Row({{"Interface", 10}, {"Port Group/DVPort", 19}, {"IP Family", 9}, {"IP Address", 39},
                  {"Netmask", 15}, {"Broadcast", 15}, {"MAC Address", 17}, {"MTU", 7}, {"TSO MSS", 9},
                  {"Enabled", 7}, {"Type", 0}})
                 .c_str(),
             stdout);
  for (const Vmknic &v : config.vmknics) {
    uint32_t a = 0, m = 0;
    const std::string broadcast = Ipv4(v.address, &a) && Ipv4(v.netmask, &m) ? Dotted(a | ~m) : "";
    std::string mac = LinkMac(v.name);
    if (mac.empty()) mac = "00:00:00:00:00:00";
    std::fputs(Row({{v.name, 10}, {v.port_group, 19}, {"IPv4", 9}, {v.address, 39}, {v.netmask, 15},
                    {broadcast, 15}, {mac, 17}, {std::to_string(v.mtu), 7}, {"65535", 9}, {"true", 7},
                    {"STATIC", 0}})
                   .c_str(),
               stdout);
  }
}

std::string NewVmknicName(NetConfig &config) {
  for (int n = 0;; ++n) {
    const std::string name = "vmk" + std::to_string(n);
    if (config.FindVmknic(name) == nullptr && !LinkExists(name) && !LinkExists(VmknicPort(name))) return name;
  }
}

int ChangeVmknic(NetConfig &config, char op, const std::string &ip, const std::string &mask,
                 const std::string &port_group) {
  std::string error;
  VSwitch *sw = config.SwitchOfPortGroup(port_group);
  Vmknic *existing = config.VmknicOn(port_group);
  if (op == 'd') {
    if (existing == nullptr) return Fail("No VMkernel NIC on port group " + port_group);
    if (!DeleteLink(existing->name, &error)) return Fail(error);
    config.vmknics.erase(config.vmknics.begin() + (existing - config.vmknics.data()));
    return 0;
  }
  uint32_t address = 0;
  int prefix = 0;
  if (!Ipv4(ip, &address)) return Fail("invalid IP address '" + ip + "'");
  if (!Netmask(mask, &prefix)) return Fail("invalid netmask '" + mask + "'");
  uint32_t m = 0;
  Ipv4(mask, &m);
  for (const Vmknic &v : config.vmknics) {
    if (v.address == Dotted(address) && &v != existing) return Fail("IP address " + ip + " is in use by " + v.name);
  }
  const std::string broadcast = Dotted(address | ~m);
  if (op == 'a') {
    if (sw == nullptr) return Fail("No such port group: " + port_group);
    if (existing != nullptr) {
      return Fail("A VMkernel NIC (" + existing->name + ") already exists on port group " + port_group);
    }
    Vmknic v;
    v.name = NewVmknicName(config);
    v.port_group = port_group;
    v.address = Dotted(address);
    v.netmask = Dotted(m);
    if (!AddVmknicLink(v.name, sw->name, &error)) return Fail(error);
    if (!SetAddress(v.name, v.address, prefix, broadcast, &error)) {
      std::string ignored;
      DeleteLink(v.name, &ignored);
      return Fail(error);
    }
    config.vmknics.push_back(v);
    return 0;
  }
  if (existing == nullptr) return Fail("No VMkernel NIC on port group " + port_group);
  if (!SetAddress(existing->name, Dotted(address), prefix, broadcast, &error)) return Fail(error);
  existing->address = Dotted(address);
  existing->netmask = Dotted(m);
  return 0;
}

// Loads the configuration, lets change() work on it and saves it when change() returns 0.
template <class Change>
int Update(Change change) {
  ConfigStore store;
  std::string error;
  if (!store.Load(true, &error)) return Fail(error);
  const int rc = change(store.config());
  if (rc != 0) return rc;
  if (!store.Save(&error)) return Fail(error);
  return 0;
}

template <class List>
int Show(List list) {
  ConfigStore store;
  std::string error;
  if (!store.Load(false, &error)) return Fail(error);
  list(store.config());
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int NicsCommand(int argc, char **argv) {
  Begin(argc, argv);
  const char kUsage[] = "-l";
  static const option kOptions[] = {{"list", no_argument, nullptr, 'l'}, {nullptr, 0, nullptr, 0}};
  bool list = false;
  for (int c; (c = getopt_long(argc, argv, "l", kOptions, nullptr)) != -1;) {
    if (c != 'l') return Usage(kUsage);
    list = true;
  }
  if (!list || optind != argc) return Usage(kUsage);
  std::fputs(Row({{"Name", 7}, {"PCI", 12}, {"Driver", 11}, {"Link", 4}, {"Speed", 10}, {"Duplex", 6},
                  {"MAC Address", 17}, {"MTU", 6}, {"Description", 0}})
                 .c_str(),
             stdout);
  for (const HostNic &nic : ListHostNics()) {
    std::fputs(Row({{nic.name, 7}, {"Pseudo", 12}, {"cdc_ether", 11}, {nic.link_up ? "Up" : "Down", 4},
                    {nic.link_up ? "100Mbps" : "0Mbps", 10}, {"Full", 6}, {nic.mac, 17},
                    {std::to_string(nic.mtu), 6}, {"USB network link", 0}})
                   .c_str(),
               stdout);
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

int VswitchCommand(int argc, char **argv) {
  Begin(argc, argv);
  const char kUsage[] =
      "-l | -a SWITCH | -d SWITCH | --link=NIC SWITCH | --unlink=NIC SWITCH | --add-pg=PORTGROUP SWITCH | "
      "--del-pg=PORTGROUP SWITCH";
  static const option kOptions[] = {
      {"list", no_argument, nullptr, 'l'},       {"add", no_argument, nullptr, 'a'},
      {"delete", no_argument, nullptr, 'd'},     {"link", required_argument, nullptr, 'L'},
      {"unlink", required_argument, nullptr, 'U'}, {"add-pg", required_argument, nullptr, 'A'},
      {"del-pg", required_argument, nullptr, 'D'}, {nullptr, 0, nullptr, 0}};
  char op = 0;
  std::string arg;
  for (int c; (c = getopt_long(argc, argv, "ladL:U:A:D:", kOptions, nullptr)) != -1;) {
    if (c == '?' || op != 0) return Usage(kUsage);
    op = static_cast<char>(c);
    if (optarg != nullptr) arg = optarg;
  }
  if (op == 'l') return optind == argc ? Show(ListSwitches) : Usage(kUsage);
  if (op == 0 || optind != argc - 1) return Usage(kUsage);
  const std::string name = argv[optind];
  return Update([&](NetConfig &config) { return ChangeSwitch(config, op, arg, name); });
}

int VmknicCommand(int argc, char **argv) {
  Begin(argc, argv);
  const char kUsage[] =
      "-l | -a -i IP -n NETMASK -p PORTGROUP | -i IP -n NETMASK -p PORTGROUP | -d -p PORTGROUP";
  static const option kOptions[] = {
      {"list", no_argument, nullptr, 'l'},         {"add", no_argument, nullptr, 'a'},
      {"del", no_argument, nullptr, 'd'},          {"ip", required_argument, nullptr, 'i'},
      {"netmask", required_argument, nullptr, 'n'}, {"portgroup", required_argument, nullptr, 'p'},
      {nullptr, 0, nullptr, 0}};
  char op = 0;
  std::string ip, mask, port_group;
  bool have_ip = false, have_mask = false;
  for (int c; (c = getopt_long(argc, argv, "ladi:n:p:", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'l':
      case 'a':
      case 'd':
        if (op != 0) return Usage(kUsage);
        op = static_cast<char>(c);
        break;
      case 'i':
        ip = optarg;
        have_ip = true;
        break;
      case 'n':
        mask = optarg;
        have_mask = true;
        break;
      case 'p':
        port_group = optarg;
        break;
      default:
        return Usage(kUsage);
    }
  }
  if (op == 'l') return optind == argc && !have_ip && !have_mask ? Show(ListVmknics) : Usage(kUsage);
  if (port_group.empty() && optind == argc - 1) port_group = argv[optind++];
  if (port_group.empty() || optind != argc) return Usage(kUsage);
  if (op == 'd' ? (have_ip || have_mask) : !(have_ip && have_mask)) return Usage(kUsage);
  if (op == 0) op = 'm';
  return Update([&](NetConfig &config) { return ChangeVmknic(config, op, ip, mask, port_group); });
}

}  // namespace esxnet
