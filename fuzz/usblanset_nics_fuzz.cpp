/*
 * libFuzzer target for usblanset's reading of the USB NIC names the NIC listing printed: the NIC
 * list it makes of them, and the interface number of each NIC.
 *
 * Seeds: fuzz/corpus/usblanset_nics_fuzz (NIC names, one per line).
 */
#include <cstddef>
#include <cstdint>
#include <string>

#include "listings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string names(reinterpret_cast<const char *>(data), size);
  if (!usblan::lines_fit(names)) return 0;
  char nic_list[USB_NIC_LIST_SIZE];
  if (!usblan::make_nic_list(names, nic_list)) return 0;
  for (const std::string &nic : usblan::split_nic_list(nic_list)) usblan::nic_number(nic);
  return 0;
}
