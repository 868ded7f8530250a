# simhost-options: --nodes 2 --fresh-usb
# Demo section: the LAN-over-USB setup on a host whose USB links to its two nodes are fresh.
# Sourced by scripts/demo inside the simulated host (section, say and show come from there).

section "LAN-over-USB setup"
if [ "${SIMHOST_USB_LINKS:-}" != fresh ]; then
  say "(This simulated host has no fresh USB links to set up: it needs simhost --fresh-usb.)"
  return 0
fi
say "Two nodes; the host ends of their USB links, vusb0 and vusb1, have no address and the host"
say "no virtual network yet:"
show esxcfg-nics -l
show esxcfg-vswitch -l
show esxcfg-vmknic -l
say "usblanset gives each link a switch, a port group and a VMkernel NIC, finds the controller"
say "behind it by SLP and takes the address beside the controller's (.101 for .118):"
show usblanset
show esxcfg-vswitch -l
show esxcfg-vmknic -l
show ip -brief -4 addr show
say "Each node's CIMOM answers there, to the account derived from its controller's user ID:"
for n in 0 1; do
  account=$("$SIMHOST_BUILD/platform/tavik/tavik-sim" --node "$n" --nodes 2 --print-account)
  show wbemcli ecn "http://${account% *}:${account#* }@169.254.$((95 + n)).118:5988/root/cimv2:CIM_SoftwareIdentity"
done
say "A second run finds everything in place: the commands it ran only list."
rm -f /tmp/usblanset.trace
ESXCFG_TRACE_FILE=/tmp/usblanset.trace usblanset
show cat /tmp/usblanset.trace
