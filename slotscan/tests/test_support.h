// Helpers of the PCI inventory tests: recorded PCI trees bound over /proc/bus/pci, name tables
// in /etc/vmware, and SMBIOS table sources. The tree and table helpers change fixed paths and
// run only inside an nsfixture body (a private mount namespace, whose /proc is the body's own:
// the tree is bound over it there, after nsfixture has mounted it).
#ifndef QELVO_SLOTSCAN_TEST_SUPPORT_H
#define QELVO_SLOTSCAN_TEST_SUPPORT_H

#include <map>
#include <string>
#include <vector>

#include "smbios.h"

namespace slotscantest {

// slotscan/tests/data.
std::string DataDir();
// The controller simulator's recorded SMBIOS table `name` ("smbios-2.7.bin", ...).
std::string RecordedTable(const std::string &name);

std::vector<unsigned char> ReadBytes(const std::string &path);
void WriteFile(const std::string &path, const std::string &content);

// Binds the recorded tree data/pci/<name> (its devices list and the configuration headers of
// its "config" file) over /proc/bus/pci.
void InstallPciTree(const std::string &name);
// Binds a tree made of a devices list and configuration files ("BB/DD.F" -> bytes).
void InstallPciTree(const std::string &devices, const std::map<std::string, std::string> &configs);

// Writes /etc/vmware/pci.xml and /etc/vmware/pci.classlist (an empty text leaves it out).
void WriteNameTables(const std::string &xml, const std::string &classlist);

// Table sources for Smbios: a fixed image, a file, a failing source.
Smbios::TableSource ImageSource(std::vector<unsigned char> image);
Smbios::TableSource FileSource(const std::string &path);
Smbios::TableSource FailingSource();

}  // namespace slotscantest

#endif  // QELVO_SLOTSCAN_TEST_SUPPORT_H
