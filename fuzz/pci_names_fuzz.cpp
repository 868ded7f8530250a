/*
 * libFuzzer target for the host's PCI name tables: the input is read as a vendor/device table
 * ("/etc/vmware/pci.xml") and as a class table ("/etc/vmware/pci.classlist"), and looked up.
 *
 * Seeds: fuzz/corpus/pci_names.
 */
#include <cstddef>
#include <cstdint>
#include <string>

#include "pcinames.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  const PciVendorTable vendors(text);
  vendors.Vendor(0x1f3a, "vendor");
  vendors.Device(0x1f3a, 0x0c11, "descrip");
  const PciClassTable classes(text);
  classes.Class(0x02, 0x00, "PIC:");
  classes.Class(0x06, 0x06, "PCI Bridge:");
  return 0;
}
