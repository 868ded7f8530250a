// The host's PCI name tables, made from the PCI ID database (pci.ids, as Debian ships it in
// /usr/share/misc/pci.ids):
//
//   pci.xml        vendors and their devices:
//                    <vendor id="8086">
//                     <name>Intel Corporation</name>
//                     <device id="1533">
//                      <name>I210 Gigabit Network Connection</name>
//                     </device>
//                    </vendor>
//                  Identifiers are four lower-case hexadecimal digits; names are written as they
//                  are (the table is read as text, not parsed as XML).
//   pci.classlist  base classes and subclasses:
//                    C 02  Network controller
//                    \t00  Ethernet controller
//
// Subsystem and programming-interface lines of the database are left out.
#ifndef QELVO_PLATFORM_ESXI_PCI_NAME_TABLES_H
#define QELVO_PLATFORM_ESXI_PCI_NAME_TABLES_H

#include <iosfwd>
#include <string>

namespace pciids {

struct Counts {
  int vendors = 0;
  int devices = 0;
  int classes = 0;
  int subclasses = 0;
  int skipped = 0;  // entries left out (malformed lines, names that would break the table)
};

// Converts the database read from ids into the two tables. False (with *error) only when ids
// cannot be read; malformed lines are counted in skipped and left out.
bool Convert(std::istream &ids, std::ostream &xml, std::ostream &classlist, Counts *counts, std::string *error);

// Reads ids_path and writes dir/pci.xml and dir/pci.classlist (each through a temporary file
// renamed into place). False with *error when a file cannot be read or written.
bool WriteTables(const std::string &ids_path, const std::string &dir, Counts *counts, std::string *error);

}  // namespace pciids

#endif  // QELVO_PLATFORM_ESXI_PCI_NAME_TABLES_H
