// LAN-over-USB setup: makes each USB NIC to a node's controller (vusb0 to vusb3) usable from the
// host, with the host's network commands run through the shell.
//
// Left-over switches and the VMkernel NICs of NICs that are gone are removed; then every present
// NIC gets a virtual switch linked to it, a port group on that switch and a VMkernel NIC on the
// port group, whose address is chosen by finding the controller behind the NIC with SLP: the
// controller's address with 101 as its last number, or the NIC's default address when no
// controller answers.
#ifndef QELVO_USBLANSET_USBLANSET_H
#define QELVO_USBLANSET_USBLANSET_H

#include "listings.h"

#define USB_NIC_COUNT 4
#define USB_SEARCH_NETMASK "255.255.0.0"
#define USB_FINAL_NETMASK "255.255.255.0"
// Room for a discovered controller address.
#define USB_ADDR_SIZE 20

// Per interface number n: the switch, the port group, the address the search starts from and the
// address used when no controller answers.
extern const char *const usb_vswitch_names[USB_NIC_COUNT];
extern const char *const usb_port_group_names[USB_NIC_COUNT];
extern const char *const usb_initial_addresses[USB_NIC_COUNT];
extern const char *const usb_default_addresses[USB_NIC_COUNT];

// The NIC list into nic_list (USB_NIC_LIST_SIZE bytes): 0, or 1 when the listing cannot be run or
// its names do not fit.
int get_lan_usb_nics(char *nic_list);

// Removes broken USB switches with their VMkernel NICs: 0, or 1 when the listing cannot be run.
int del_failed_switch();

// Removes broken switches, then the VMkernel NICs of switches whose USB NIC is not in nic_list:
// 0, or 1 when a listing cannot be run.
int del_unused_vnic(const char *nic_list);

// Makes sure the NIC has its switch, port group and VMkernel NIC and gives the VMkernel NIC its
// address: 0 when configured, 1 otherwise.
int lan_usb_config(const char *nic);

// Chooses the address of the VMkernel NIC on port_group (now at cur_addr with cur_mask) for
// interface number n: 0 when it holds the controller's host address, 1 when it holds the default
// address because no controller answered, -1 when a command failed.
int config_lan_addr(const char *cur_addr, const char *cur_mask, const char *port_group, int n);

// The program: 0 when every NIC was configured, 1 otherwise.
int usblanset_main();

#endif  // QELVO_USBLANSET_USBLANSET_H
