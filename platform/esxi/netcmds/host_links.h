// The network of the namespace the commands run in, as the host's virtual network is made of it.
//
// A virtual switch is a Linux bridge of the switch's name; a physical NIC (vusbN, the host end of
// node N's USB link, or vmnicN) is an existing link, which linking enslaves to the bridge. A
// VMkernel NIC vmkN is one end of a veth pair whose other end, vmkN-port, is a port of the bridge:
// like a VMkernel NIC it is an interface of its own with its own MAC address, it holds the
// address, and a switch may carry several of them next to its uplinks. (An address on the bridge
// itself would allow one per switch and share the switch's MAC.) The changes are made with
// iproute2's ip command.
#ifndef QELVO_ESXI_NETCMDS_HOST_LINKS_H
#define QELVO_ESXI_NETCMDS_HOST_LINKS_H

#include <string>
#include <vector>

namespace esxnet {

struct HostNic {
  std::string name;
  bool link_up = false;
  std::string mac;
  int mtu = 0;
};

// Links that are physical NICs to the host (vusbN, vmnicN), in the order of their numbers.
std::vector<HostNic> ListHostNics();
bool LinkExists(const std::string &name);
// The link's MAC address as xx:xx:xx:xx:xx:xx, or "" when it has none.
std::string LinkMac(const std::string &name);

// The peer of vmknic's veth pair, the bridge port.
std::string VmknicPort(const std::string &vmknic);

// Each returns false with *error set (ip's own message goes to standard error).
bool AddBridge(const std::string &name, std::string *error);
bool DeleteLink(const std::string &name, std::string *error);
bool Enslave(const std::string &nic, const std::string &bridge, std::string *error);
bool Release(const std::string &nic, std::string *error);
bool AddVmknicLink(const std::string &vmknic, const std::string &bridge, std::string *error);
// Replaces the link's IPv4 addresses with address/prefix and its broadcast address.
bool SetAddress(const std::string &link, const std::string &address, int prefix, const std::string &broadcast,
                std::string *error);

}  // namespace esxnet

#endif  // QELVO_ESXI_NETCMDS_HOST_LINKS_H
