/*
 * libFuzzer target for the PCI inventory's reader of the SMBIOS table image: the board and slot
 * records, the slot ID retrieval type and the slot locations (type 9 bus fields and "$T9" OEM
 * strings). The input is a table image.
 *
 * Seeds: fuzz/corpus/smbios_slots.
 */
#include <cstddef>
#include <cstdint>
#include <vector>

#include "smbios.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::vector<unsigned char> image(data, data + size);
  Smbios smbios([&image](std::vector<unsigned char> &out) {
    out = image;
    return 0;
  });
  smbios.GetSlotIDRetrievalType();
  std::vector<SlotLocation> locations;
  smbios.readPCISlotLocation(locations);
  return 0;
}
