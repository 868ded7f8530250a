// The steps of the LAN-over-USB setup: the host's network commands run through the shell, and
// the controller found behind each NIC by SLP.
//
// Everything that goes into a command line has been checked first: NIC, switch and port group
// names are plain words (listings.h, command_word), addresses are link-local dotted quads, and a
// command line that would not fit USB_LINE_SIZE is not run. A listing that prints a line longer
// than USB_LINE_SIZE - 1 characters, or more than USB_LISTING_MAX in all, is refused as if it could
// not be run: cut, it would name another switch or port group.
#include "usblanset.h"

#include <arpa/inet.h>
#include <sys/wait.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tavik_discovery.h"

const char *const usb_vswitch_names[USB_NIC_COUNT] = {"vSwitchUSB0", "vSwitchUSB1", "vSwitchUSB2", "vSwitchUSB3"};
const char *const usb_port_group_names[USB_NIC_COUNT] = {"TAVIK_Network0", "TAVIK_Network1", "TAVIK_Network2",
                                                         "TAVIK_Network3"};
const char *const usb_initial_addresses[USB_NIC_COUNT] = {"169.254.30.30", "169.254.30.31", "169.254.30.32",
                                                          "169.254.30.33"};
const char *const usb_default_addresses[USB_NIC_COUNT] = {"169.254.95.101", "169.254.96.101", "169.254.97.101",
                                                          "169.254.98.101"};

namespace {

using usblan::command_word;

__attribute__((format(printf, 2, 0))) bool vformat(char (&cmd)[USB_LINE_SIZE], const char *fmt, va_list ap) {
  const int n = std::vsnprintf(cmd, sizeof cmd, fmt, ap);
  return n >= 0 && n < USB_LINE_SIZE;
}

// Runs a command line through the shell: 0 when it ran and exited with 0, else 1.
__attribute__((format(printf, 1, 2))) int run_command(const char *fmt, ...) {
  char cmd[USB_LINE_SIZE];
  va_list ap;
  va_start(ap, fmt);
  const bool fits = vformat(cmd, fmt, ap);
  va_end(ap);
  if (!fits) return 1;
  const int status = std::system(cmd);
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

// Reads what a listing prints into *out: false when it cannot be run or prints too much. Its exit
// status is not looked at: grep ends with 1 when nothing matched.
__attribute__((format(printf, 2, 3))) bool read_listing(std::string *out, const char *fmt, ...) {
  char cmd[USB_LINE_SIZE];
  va_list ap;
  va_start(ap, fmt);
  const bool fits = vformat(cmd, fmt, ap);
  va_end(ap);
  out->clear();
  if (!fits) return false;
  FILE *pipe = popen(cmd, "r");
  if (pipe == nullptr) return false;
  bool ok = true;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) {
    if (out->size() + n > USB_LISTING_MAX) {
      ok = false;
      break;
    }
    out->append(buf, n);
  }
  const int status = pclose(pipe);
  return ok && status != -1 && usblan::lines_fit(*out);
}

// Finds the controller behind the VMkernel NIC at bind_addr (a dotted quad); true with its address in found only
// when that is a link-local dotted quad. Anything else a device on the link may answer counts as
// no controller.
bool discover(const char *bind_addr, char (&found)[USB_ADDR_SIZE]) {
  std::memset(found, 0, sizeof found);
  // Without an address of its own the search would go out of any interface.
  in_addr a;
  if (inet_pton(AF_INET, bind_addr, &a) != 1) return false;
  return util_tavik_addr_slp_discovery(bind_addr, found, sizeof found) == 0 && usblan::link_local_address(found);
}

}  // namespace

int get_lan_usb_nics(char *nic_list) {
  std::string names;
  if (!read_listing(&names, "esxcfg-nics -l | grep vusb | cut -d' ' -f 1")) return 1;
  return usblan::make_nic_list(names, nic_list) ? 0 : 1;
}

int del_failed_switch() {
  std::string listing;
  if (!read_listing(&listing, "esxcfg-vswitch -l | awk -F' ' {'print $1, $6'}")) return 1;
  for (const usblan::SwitchStep &step : usblan::failed_switch_steps(listing)) {
    if (!command_word(step.name)) continue;
    // A port group without a VMkernel NIC makes the deletion fail; that is no failure here.
    if (step.delete_switch) {
      run_command("esxcfg-vswitch -d %s", step.name.c_str());
    } else {
      run_command("esxcfg-vmknic -d %s", step.name.c_str());
    }
  }
  return 0;
}

int del_unused_vnic(const char *nic_list) {
  if (del_failed_switch() != 0) return 1;
  std::string usb_listing, listing;
  if (!read_listing(&usb_listing, "esxcfg-vswitch -l | grep vusb | awk -F' ' {'print $1, $6'}")) return 1;
  const std::vector<std::string> gone = usblan::vanished_switches(usb_listing, nic_list);
  if (gone.empty()) return 0;
  if (!read_listing(&listing, "esxcfg-vswitch -l | awk -F' ' {'print $1'}")) return 1;
  const std::map<std::string, std::vector<std::string>> port_groups = usblan::port_groups_by_switch(listing);
  for (const std::string &vswitch : gone) {
    const auto found = port_groups.find(vswitch);
    if (found == port_groups.end()) continue;
    for (const std::string &port_group : found->second) {
      if (command_word(port_group)) run_command("esxcfg-vmknic -d %s", port_group.c_str());
    }
  }
  return 0;
}

int lan_usb_config(const char *nic) {
  const int n = usblan::nic_number(nic);
  if (n < 0) return 1;  // no switch, port group or addresses for it

  std::string lines, vswitch, port_group;
  if (!read_listing(&lines, "esxcfg-vswitch -l | grep %s", nic)) return 1;
  usblan::nic_switch(lines, &vswitch, &port_group);
  if (vswitch.empty()) {
    vswitch = usb_vswitch_names[n];
    if (run_command("esxcfg-vswitch -a %s", vswitch.c_str()) != 0 ||
        run_command("esxcfg-vswitch --link=%s %s", nic, vswitch.c_str()) != 0) {
      return 1;
    }
  }
  if (!command_word(vswitch)) return 1;

  bool has_vmknic = false;
  std::string address, netmask;
  if (!port_group.empty()) {
    if (!command_word(port_group) || !read_listing(&lines, "esxcfg-vmknic -l | grep %s", port_group.c_str())) {
      return 1;
    }
    has_vmknic = usblan::vmknic_address(lines, &address, &netmask);
  } else {
    port_group = usb_port_group_names[n];
    if (run_command("esxcfg-vswitch --add-pg=%s %s", port_group.c_str(), vswitch.c_str()) != 0) return 1;
  }

  if (!has_vmknic) {
    if (run_command("esxcfg-vmknic -a -i %s -n " USB_SEARCH_NETMASK " -p %s", usb_initial_addresses[n],
                    port_group.c_str()) != 0) {
      return 1;
    }
    address = usb_initial_addresses[n];
    netmask = USB_SEARCH_NETMASK;
  }
  return config_lan_addr(address.c_str(), netmask.c_str(), port_group.c_str(), n) >= 0 ? 0 : 1;
}

int config_lan_addr(const char *cur_addr, const char *cur_mask, const char *port_group, int n) {
  if (n < 0 || n >= USB_NIC_COUNT || cur_addr == nullptr || cur_mask == nullptr || port_group == nullptr ||
      !command_word(port_group)) {
    return -1;
  }
  char found[USB_ADDR_SIZE];
  const char *bound = cur_addr;
  const char *mask = cur_mask;
  if (!discover(bound, found)) {
    if (run_command("esxcfg-vmknic -i %s -n " USB_SEARCH_NETMASK " -p %s", usb_initial_addresses[n], port_group) != 0) {
      return -1;
    }
    bound = usb_initial_addresses[n];
    mask = USB_SEARCH_NETMASK;
    if (!discover(bound, found)) {
      return run_command("esxcfg-vmknic -i %s -n " USB_FINAL_NETMASK " -p %s", usb_default_addresses[n],
                         port_group) == 0
                 ? 1
                 : -1;
    }
  }
  char host[USB_ADDR_SIZE];
  if (!usblan::host_address(found, host, sizeof host)) return -1;
  if (std::strcmp(host, bound) == 0 && std::strcmp(mask, USB_FINAL_NETMASK) == 0) return 0;
  if (run_command("esxcfg-vmknic -i %s -n " USB_FINAL_NETMASK " -p %s", host, port_group) == 0) return 0;
  run_command("esxcfg-vmknic -i %s -n " USB_SEARCH_NETMASK " -p %s", usb_initial_addresses[n], port_group);
  return -1;
}

int usblanset_main() {
  char nic_list[USB_NIC_LIST_SIZE];
  if (get_lan_usb_nics(nic_list) != 0) return 1;
  del_unused_vnic(nic_list);

  // Every NIC that fails gets a second try once the others are configured; the first that fails
  // again ends the program with 1.
  std::vector<std::string> failed;
  for (const std::string &nic : usblan::split_nic_list(nic_list)) {
    if (lan_usb_config(nic.c_str()) != 0) failed.push_back(nic);
  }
  for (const std::string &nic : failed) {
    if (lan_usb_config(nic.c_str()) != 0) return 1;
  }
  return 0;
}
