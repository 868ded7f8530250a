#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "pci_name_tables.h"

namespace {

struct Tables {
  bool ok = false;
  std::string xml, classlist, error;
  pciids::Counts counts;
};

Tables ConvertText(const std::string &ids) {
  std::istringstream in(ids);
  std::ostringstream xml, classlist;
  Tables t;
  t.ok = pciids::Convert(in, xml, classlist, &t.counts, &t.error);
  t.xml = xml.str();
  t.classlist = classlist.str();
  return t;
}

const char kSample[] =
    "#\n"
    "#\tList of PCI ID's\n"
    "#\n"
    "\n"
    "1000  Broadcom / LSI\n"
    "\t0001  53c810\n"
    "\t\t1000 1000  LSI53C810AE PCI to SCSI I/O Processor\n"
    "10B5  PLX Technology, Inc.\n"
    "\t9030  PCI9030 32-bit 33MHz PCI <-> IOBus Bridge\n"
    "# a comment between devices\n"
    "\t9733  PEX 9733 33-lane, 9-port PCI Express Gen 3 (8.0 GT/s) Switch\n"
    "1af4  Red Hat, Inc.\n"
    "\t1041  Virtio 1.0 network device\n"
    "\n"
    "# List of known device classes, subclasses and programming interfaces\n"
    "C 01  Mass storage controller\n"
    "\t01  IDE interface\n"
    "\t\t00  ISA Compatibility mode-only controller\n"
    "\t80  Mass storage controller\n"
    "C 02  Network controller\n"
    "\t00  Ethernet controller\n"
    "C ff  Unassigned class\n";

TEST(PciNameTables, VendorsDevicesAndClassesInTheScannerLayout) {
  const Tables t = ConvertText(kSample);
  ASSERT_TRUE(t.ok) << t.error;
  EXPECT_EQ(
      "<!-- PCI vendor and device names, generated from the PCI ID database -->\n<pcitable>\n"
      " <vendor id=\"1000\">\n  <name>Broadcom / LSI</name>\n"
      "  <device id=\"0001\">\n   <name>53c810</name>\n  </device>\n </vendor>\n"
      " <vendor id=\"10b5\">\n  <name>PLX Technology, Inc.</name>\n"
      "  <device id=\"9030\">\n   <name>PCI9030 32-bit 33MHz PCI <-> IOBus Bridge</name>\n  </device>\n"
      "  <device id=\"9733\">\n   <name>PEX 9733 33-lane, 9-port PCI Express Gen 3 (8.0 GT/s) Switch</name>\n"
      "  </device>\n </vendor>\n"
      " <vendor id=\"1af4\">\n  <name>Red Hat, Inc.</name>\n"
      "  <device id=\"1041\">\n   <name>Virtio 1.0 network device</name>\n  </device>\n </vendor>\n"
      "</pcitable>\n",
      t.xml);
  EXPECT_EQ(
      "# PCI classes and subclasses, generated from the PCI ID database\n"
      "C 01  Mass storage controller\n\t01  IDE interface\n\t80  Mass storage controller\n"
      "C 02  Network controller\n\t00  Ethernet controller\n"
      "C ff  Unassigned class\n",
      t.classlist);
  EXPECT_EQ(0, t.counts.skipped);
}

TEST(PciNameTables, MalformedLinesAreLeftOutAndCarriageReturnsDropped) {
  const Tables t = ConvertText(
      "8086  Intel Corporation\r\n"
      "\t15b  too short\r\n"
      "\t1533  I210 Gigabit Network Connection\r\n"
      "\tzzzz  not hexadecimal\r\n"
      "\t1534  <name>broken</name>\r\n"
      "12345 vendor without its double blank\r\n"
      "\t0001  device of a dropped vendor\r\n"
      "C 0x  bad class\r\n"
      "\t00  subclass of a dropped class\r\n");
  ASSERT_TRUE(t.ok) << t.error;
  EXPECT_NE(std::string::npos, t.xml.find("<device id=\"1533\">\n   <name>I210 Gigabit Network Connection</name>"));
  EXPECT_EQ(std::string::npos, t.xml.find('\r'));
  EXPECT_EQ(std::string::npos, t.xml.find("broken"));
  EXPECT_EQ(std::string::npos, t.xml.find("dropped"));
  EXPECT_EQ(1, t.counts.vendors);
  EXPECT_EQ(1, t.counts.devices);
  EXPECT_EQ(0, t.counts.classes);
  EXPECT_EQ(5, t.counts.skipped);  // 15b, zzzz, 1534, 12345, C 0x
  EXPECT_EQ("# PCI classes and subclasses, generated from the PCI ID database\n", t.classlist);
}

// The tool writes both tables into the directory it is given, through temporary files.
TEST(PciNameTables, ToolWritesBothTables) {
  char dir[] = "/tmp/pci-name-tables-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  const std::string d = dir;
  std::ofstream(d + "/pci.ids") << kSample;
  const std::string tool = std::string(PCI_NAME_TABLES_TOOL) + " ";
  EXPECT_EQ(0, std::system((tool + d + "/pci.ids " + d + " 2>/dev/null").c_str()));
  EXPECT_NE(0, std::system((tool + d + "/none " + d + " 2>/dev/null").c_str()));
  std::stringstream xml, classes;
  xml << std::ifstream(d + "/pci.xml").rdbuf();
  classes << std::ifstream(d + "/pci.classlist").rdbuf();
  EXPECT_NE(std::string::npos, xml.str().find("<vendor id=\"1af4\">"));
  EXPECT_NE(std::string::npos, classes.str().find("\t00  Ethernet controller\n"));
  for (const char *f : {"/pci.ids", "/pci.xml", "/pci.classlist"}) std::remove((d + f).c_str());
  EXPECT_EQ(0, rmdir(dir));  // nothing else was left there
}

}  // namespace
