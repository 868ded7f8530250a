/*
 * libFuzzer target for usblanset's readers of the virtual switch listing: broken switches, the
 * switches of vanished NICs, the port groups of every switch and a NIC's switch and port group.
 *
 * Seeds: fuzz/corpus/usblanset_vswitch_fuzz (listings as the awk and grep pipelines cut them).
 */
#include <cstddef>
#include <cstdint>
#include <string>

#include "listings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string listing(reinterpret_cast<const char *>(data), size);
  usblan::failed_switch_steps(listing);
  usblan::vanished_switches(listing, "vusb0;vusb2;");
  usblan::port_groups_by_switch(listing);
  std::string vswitch, port_group;
  usblan::nic_switch(listing, &vswitch, &port_group);
  usblan::command_word(vswitch);
  return 0;
}
