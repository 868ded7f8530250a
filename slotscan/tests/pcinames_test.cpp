// The name tables: vendor, device and class look-ups over the text the host keeps.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "pci_name_tables.h"
#include "pcinames.h"

namespace {

const char kVendors[] =
    "<pcitable>\n"
    " <vendor id=\"10b5\">\n  <name>PLX Technology, Inc.</name>\n"
    "  <device id=\"9030\">\n   <name>PCI9030 32-bit 33MHz PCI <-> IOBus Bridge</name>\n  </device>\n"
    "  <device id=\"1041\">\n   <name>PLX 1041</name>\n  </device>\n"
    " </vendor>\n"
    " <vendor id=\"1af4\">\n  <name>Red Hat, Inc.</name>\n"
    "  <device id=\"1041\">\n   <name>Virtio 1.0 network device</name>\n  </device>\n"
    "  <device id=\"1042\">\n  </device>\n"
    "  <device id=\"1043\">\n   <name>Virtio 1.0 console</name>\n  </device>\n"
    " </vendor>\n"
    " <vendor id=\"10b5\">\n  <name>PLX again</name>\n"
    "  <device id=\"9030\">\n   <name>second listing</name>\n  </device>\n"
    "  <device id=\"8732\">\n   <name>PEX 8732</name>\n  </device>\n"
    " </vendor>\n"
    " <vendor id=\"ABCD\">\n  <name>upper-case identifier</name>\n </vendor>\n"
    "</pcitable>\n";

TEST(PciVendorTable, VendorsAndTheirOwnDevices)
{
    const PciVendorTable t(kVendors);
    EXPECT_EQ("PLX Technology, Inc.", t.Vendor(0x10b5, "vendor"));  // the first listing wins
    EXPECT_EQ("PCI9030 32-bit 33MHz PCI <-> IOBus Bridge", t.Device(0x10b5, 0x9030, "descrip"));
    EXPECT_EQ("PEX 8732", t.Device(0x10b5, 0x8732, "descrip"));  // only in the second listing
    // One device ID under two vendors: each vendor's own name.
    EXPECT_EQ("PLX 1041", t.Device(0x10b5, 0x1041, "descrip"));
    EXPECT_EQ("Virtio 1.0 network device", t.Device(0x1af4, 0x1041, "descrip"));
    // A device without a name does not take the next device's.
    EXPECT_EQ("descrip", t.Device(0x1af4, 0x1042, "descrip"));
    EXPECT_EQ("Virtio 1.0 console", t.Device(0x1af4, 0x1043, "descrip"));
    EXPECT_EQ("descrip", t.Device(0x1af4, 0x9030, "descrip"));
    EXPECT_EQ("vendor", t.Vendor(0x8086, "vendor"));
    EXPECT_EQ("vendor", t.Vendor(0xabcd, "vendor"));
}

TEST(PciVendorTable, TruncatedAndDamagedText)
{
    // A name without its end names nothing; what starts inside it is read as usual.
    const PciVendorTable cut(
        "<vendor id=\"8086\"><name>Intel Corporation</name>"
        "<device id=\"1533\"><name>I210 Gigabit Network Connection"
        "<device id=\"1539\"><name>I211</name>"
        "<device id=\"153a\"><name>I217-LM");
    EXPECT_EQ("Intel Corporation", cut.Vendor(0x8086, "vendor"));
    EXPECT_EQ("descrip", cut.Device(0x8086, 0x1533, "descrip"));
    EXPECT_EQ("I211", cut.Device(0x8086, 0x1539, "descrip"));
    EXPECT_EQ("descrip", cut.Device(0x8086, 0x153a, "descrip"));

    // Attributes cut at the end of the text, malformed identifiers, a device before any vendor.
    for (const char *text : {"<vendor id=\"80", "<vendor id=\"8086", "<vendor id=\"8086\"><name>Intel",
                             "<device id=\"1533\"><name>orphan</name>", "<vendor id=\"80x6\"><name>bad</name>", ""}) {
        const PciVendorTable t{std::string(text)};
        EXPECT_EQ("vendor", t.Vendor(0x8086, "vendor")) << text;
        EXPECT_EQ("descrip", t.Device(0x8086, 0x1533, "descrip")) << text;
    }
    const char raw[] = "<vendor id=\"8086\"><name>In\0tel</name>";
    EXPECT_EQ(std::string("In\0tel", 6), PciVendorTable(std::string(raw, sizeof raw - 1)).Vendor(0x8086, "vendor"));
}

TEST(PciClassTable, ClassesSubclassesAndLineEnds)
{
    const PciClassTable t(
        "# PCI classes\r\n"
        "C 01  Mass storage controller\r\n"
        "\t01  IDE interface\r\n"
        "\t\t80  ISA Compatibility mode-only controller, supports bus mastering\r\n"
        "\t80  Mass storage controller\r\n"
        "C 02  Network controller\r\n"
        "\t00  Ethernet controller\r\n"
        "C 06  Bridge\n"
        "\t04  PCI bridge\n"
        "C ff  Unassigned class");
    EXPECT_EQ("Ethernet controller", t.Class(0x02, 0x00, "PIC:"));
    EXPECT_EQ("IDE interface", t.Class(0x01, 0x01, "PIC:"));         // not the class line's own digits
    EXPECT_EQ("Mass storage controller", t.Class(0x01, 0x80, "PIC:"));  // not the interface line
    EXPECT_EQ("PCI bridge", t.Class(0x06, 0x04, "PCI Bridge:"));
    // A subclass the class does not list is named by its class, not by the next class's line.
    EXPECT_EQ("Network controller", t.Class(0x02, 0x04, "PIC:"));
    EXPECT_EQ("Bridge", t.Class(0x06, 0x00, "PCI Bridge:"));
    EXPECT_EQ("Unassigned class", t.Class(0xff, 0xff, "PIC:"));
    EXPECT_EQ("PIC:", t.Class(0x03, 0x00, "PIC:"));
    EXPECT_EQ("PIC:", PciClassTable("").Class(0x02, 0x00, "PIC:"));
}

// The tables generated from the PCI ID database this machine has name what the database names.
TEST(PciNameTablesFromTheDatabase, LookUpsAgreeWithTheDatabase)
{
    std::ifstream ids("/usr/share/misc/pci.ids");
    if (!ids)
        GTEST_SKIP() << "no /usr/share/misc/pci.ids (package pci.ids)";
    std::ostringstream xml, classlist;
    std::string error;
    ASSERT_TRUE(pciids::Convert(ids, xml, classlist, nullptr, &error)) << error;
    const PciVendorTable vendors(xml.str());
    const PciClassTable classes(classlist.str());
    EXPECT_EQ("Intel Corporation", vendors.Vendor(0x8086, "vendor"));
    EXPECT_EQ("Red Hat, Inc.", vendors.Vendor(0x1af4, "vendor"));
    // Device 1041 is listed under several vendors before Red Hat's.
    EXPECT_EQ("Virtio 1.0 network device", vendors.Device(0x1af4, 0x1041, "descrip"));
    EXPECT_EQ("Host bridge", classes.Class(0x06, 0x00, "PCI Bridge:"));
    EXPECT_EQ("Non-Volatile memory controller", classes.Class(0x01, 0x08, "PIC:"));
    EXPECT_EQ("Unassigned class", classes.Class(0xff, 0xff, "PIC:"));
}

}  // namespace
