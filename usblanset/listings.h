// What usblanset reads from the host's network command listings, as pure functions of the text
// the commands printed, and the checks every word passes before it goes into a command line.
//
// The listings are the outputs of the shell pipelines in lan_usb.cpp: the USB NIC names, the
// switch listing cut to its first and sixth words (a switch line holds the switch name and its
// uplinks there), cut to its first words, or filtered by a NIC or port group name, and the
// VMkernel NIC listing filtered by a port group name.
#ifndef QELVO_USBLANSET_LISTINGS_H
#define QELVO_USBLANSET_LISTINGS_H

#include <cstddef>
#include <map>
#include <string>
#include <vector>

// The NIC list ("vusb0;vusb1;") and one line of command output or one command line, with their
// terminators.
#define USB_NIC_LIST_SIZE 204
#define USB_LINE_SIZE 1024
// The most a listing may print in all.
#define USB_LISTING_MAX (256 * 1024)

namespace usblan {

// True when no line of text is longer than USB_LINE_SIZE - 1 characters with its newline.
bool lines_fit(const std::string &text);

// A word that stands in a shell command line as it is: 1 to 64 letters, digits, "_", "-", ".".
bool command_word(const std::string &word);

// The interface number n of a USB NIC, "vusb0" to "vusb3", or -1 for any other name.
int nic_number(const std::string &nic);

// The NIC list from the NIC names the listing printed, one per line: each name followed by ";".
// False (nic_list then empty) when the names would not fit USB_NIC_LIST_SIZE bytes.
bool make_nic_list(const std::string &names, char *nic_list);
std::vector<std::string> split_nic_list(const char *nic_list);

// A change to make over the two-word switch listing, in order.
struct SwitchStep {
  bool delete_switch;  // else: delete the VMkernel NIC on the port group `name`
  std::string name;
};

// Switches named vSwitchUSB<c> whose uplinks lack vusb<c> are broken: the VMkernel NIC of each of
// their port groups is deleted, then the switch.
std::vector<SwitchStep> failed_switch_steps(const std::string &listing);

// From the two-word lines of the switch listing that mention a USB NIC: the switches whose USB
// uplinks are none of them in the NIC list.
std::vector<std::string> vanished_switches(const std::string &usb_listing, const char *nic_list);

// The port groups of every switch in the one-word switch listing, by switch name, in the order
// listed (a switch listed twice has those of both blocks). Switches without one may be absent.
std::map<std::string, std::vector<std::string>> port_groups_by_switch(const std::string &listing);

// The lines of the switch listing that mention a NIC: the first word of the first line is its
// switch, the first word of the second its port group ("" when absent).
void nic_switch(const std::string &lines, std::string *vswitch, std::string *port_group);

// The lines of the VMkernel NIC listing for a port group: true when there is a VMkernel NIC; its
// IPv4 address and net mask are the two words after "IPv4" ("" when absent).
bool vmknic_address(const std::string &lines, std::string *address, std::string *netmask);

// A dotted-quad IPv4 address in 169.254.0.0/16: four decimal numbers 0 to 255 without leading
// zeros, nothing else.
bool link_local_address(const char *address);

// The host's address on a controller's link: the controller's address with its last number
// replaced by 101. False when the controller's address is not link-local or host is too small.
bool host_address(const char *controller, char *host, size_t size);

}  // namespace usblan

#endif  // QELVO_USBLANSET_LISTINGS_H
