// pci-name-tables: writes the host's PCI name tables from the PCI ID database.
//
//   pci-name-tables [IDS [DIR]]
//
// IDS defaults to /usr/share/misc/pci.ids, DIR to /etc/vmware; the tables are DIR/pci.xml and
// DIR/pci.classlist.
#include <cstdio>
#include <string>

#include "pci_name_tables.h"

int main(int argc, char **argv) {
  if (argc > 3 || (argc > 1 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help"))) {
    std::fprintf(stderr, "usage: pci-name-tables [IDS [DIR]]\n");
    return 2;
  }
  const std::string ids = argc > 1 ? argv[1] : "/usr/share/misc/pci.ids";
  const std::string dir = argc > 2 ? argv[2] : "/etc/vmware";
  pciids::Counts counts;
  std::string error;
  if (!pciids::WriteTables(ids, dir, &counts, &error)) {
    std::fprintf(stderr, "pci-name-tables: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "pci-name-tables: %d vendors, %d devices, %d classes, %d subclasses in %s (%d left out)\n",
               counts.vendors, counts.devices, counts.classes, counts.subclasses, dir.c_str(), counts.skipped);
  return 0;
}
