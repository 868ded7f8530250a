/*
 * libFuzzer target for the readers of the kernel's PCI files: the input's first 64 bytes are a
 * configuration header, decoded for a function and for a slot location; the rest is a devices
 * list, every line of it parsed.
 *
 * Seeds: fuzz/corpus/pci_devices.
 */
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "pcidevinfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < kConfigHeaderSize) return 0;
  const std::string devices(reinterpret_cast<const char *>(data) + kConfigHeaderSize, size - kConfigHeaderSize);
  unsigned long fields[kDevicesFields] = {};
  int nfields = 0;
  for (size_t pos = 0; pos < devices.size();) {
    size_t eol = devices.find('\n', pos);
    if (eol == std::string::npos) eol = devices.size();
    const std::string line = devices.substr(pos, eol - pos);
    std::memset(fields, 0, sizeof fields);
    nfields = ParsePciDevicesLine(line.c_str(), fields);
    pos = eol + 1;
  }
  const PciClassTable classes;
  sPciDevices dev;
  TPciDevInfo::DecodeConfig(dev, data, fields, nfields, classes);
  TPciDevInfo::GetDeviceDescription(dev);
  SlotLocation loc;
  loc.busNum = data[0x19];
  SlotBusCollection rec;
  TPciDevInfo::SlotBusOfHeader(loc, data, &rec);
  return 0;
}
