/*
 * libFuzzer target for usblanset's reader of the VMkernel NIC listing and its check of the
 * addresses found there or announced by a controller.
 *
 * Seeds: fuzz/corpus/usblanset_vmknic_fuzz (listing lines, and bare addresses).
 */
#include <cstddef>
#include <cstdint>
#include <string>

#include "listings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string lines(reinterpret_cast<const char *>(data), size);
  std::string address, netmask;
  usblan::vmknic_address(lines, &address, &netmask);
  char host[20];
  usblan::host_address(address.c_str(), host, sizeof host);
  usblan::host_address(lines.c_str(), host, sizeof host);
  return 0;
}
