// The host's virtual network configuration as the network commands keep it: virtual switches
// with their uplinks and port groups, and the VMkernel NICs on the port groups.
//
// It lives in /etc/vmware/esx.conf as "KEY = "VALUE"" lines under /net/vswitch and
// /net/vmkernelnic; lines under other keys are kept as they are. Every command takes the lock
// file beside it (shared to list, exclusive to change) for the whole of its run, and a change is
// written to a new file that replaces the old one, so a reader never sees half a configuration.
#ifndef QELVO_ESXI_NETCMDS_NET_CONFIG_H
#define QELVO_ESXI_NETCMDS_NET_CONFIG_H

#include <string>
#include <vector>

namespace esxnet {

#define ESXNET_CONFIG_FILE "/etc/vmware/esx.conf"
#define ESXNET_LOCK_FILE "/etc/vmware/esx.conf.lock"

struct PortGroup {
  std::string name;
  int vlan = 0;
};

struct VSwitch {
  std::string name;
  int num_ports = 128;
  int mtu = 1500;
  std::vector<std::string> uplinks;
  std::vector<PortGroup> port_groups;
};

struct Vmknic {
  std::string name;  // vmk<N>
  std::string port_group;
  std::string address;
  std::string netmask;
  int mtu = 1500;
};

struct NetConfig {
  std::vector<VSwitch> switches;
  std::vector<Vmknic> vmknics;
  std::vector<std::string> other_lines;  // the rest of the file, in order

  VSwitch *FindSwitch(const std::string &name);
  // The switch that carries the port group, or that has the NIC as an uplink.
  VSwitch *SwitchOfPortGroup(const std::string &port_group);
  VSwitch *SwitchOfUplink(const std::string &nic);
  Vmknic *VmknicOn(const std::string &port_group);
  Vmknic *FindVmknic(const std::string &name);
  // Vmknics on any port group of the switch.
  int VmknicsOnSwitch(const VSwitch &sw) const;
  int VmknicsOnPortGroup(const std::string &port_group) const;
};

// Reads the file's text; false with *error naming the line that is not a configuration line.
bool ParseNetConfig(const std::string &text, NetConfig *config, std::string *error);
std::string FormatNetConfig(const NetConfig &config);

// The configuration under its lock, for the length of one command.
class ConfigStore {
 public:
  ConfigStore() = default;
  ~ConfigStore();
  ConfigStore(const ConfigStore &) = delete;
  ConfigStore &operator=(const ConfigStore &) = delete;

  // Takes the lock (exclusive when the command changes the configuration) and reads the file;
  // a missing file is an empty configuration.
  bool Load(bool exclusive, std::string *error);
  NetConfig &config() { return config_; }
  // Writes the configuration in place of the file.
  bool Save(std::string *error);

 private:
  int lock_fd_ = -1;
  NetConfig config_;
};

}  // namespace esxnet

#endif  // QELVO_ESXI_NETCMDS_NET_CONFIG_H
