// The PCI device scan over recorded /proc/bus/pci trees: device and bridge lists, configuration
// fields, names, slot bus records and the slot each function lies behind.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <thread>

#include "nsfixture.h"
#include "pcidevinfo.h"
#include "test_support.h"

using slotscantest::FailingSource;
using slotscantest::FileSource;
using slotscantest::InstallPciTree;
using slotscantest::RecordedTable;
using slotscantest::WriteNameTables;

namespace {

const char kServerVendors[] =
    "<pcitable>\n"
    " <vendor id=\"102b\">\n  <name>Matrox Electronics Systems Ltd.</name>\n"
    "  <device id=\"0522\">\n   <name>MGA G200e [Pilot] ServerEngines (SEP1)</name>\n  </device>\n </vendor>\n"
    " <vendor id=\"10b5\">\n  <name>PLX Technology, Inc.</name>\n"
    "  <device id=\"9733\">\n   <name>PEX 9733 33-lane, 9-port PCI Express Gen 3 (8.0 GT/s) Switch</name>\n"
    "  </device>\n </vendor>\n"
    " <vendor id=\"144d\">\n  <name>Samsung Electronics Co Ltd</name>\n"
    "  <device id=\"a808\">\n   <name>NVMe SSD Controller SM981/PM981/PM983</name>\n  </device>\n </vendor>\n"
    " <vendor id=\"8086\">\n  <name>Intel Corporation</name>\n"
    "  <device id=\"1533\">\n   <name>I210 Gigabit Network Connection</name>\n  </device>\n"
    "  <device id=\"2020\">\n   <name>Sky Lake-E DMI3 Registers</name>\n  </device>\n </vendor>\n"
    "</pcitable>\n";

const char kServerClasses[] =
    "C 01  Mass storage controller\n\t06  SATA controller\n\t08  Non-Volatile memory controller\n"
    "C 02  Network controller\n\t00  Ethernet controller\n"
    "C 03  Display controller\n\t00  VGA compatible controller\n"
    "C 06  Bridge\n\t00  Host bridge\n\t01  ISA bridge\n\t04  PCI bridge\n"
    "C 0c  Serial bus controller\n\t03  USB controller\n";

std::string Address(const sPciDevices &d)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02x:%02x.%x", d.bus, d.device, d.function);
    return buf;
}

std::vector<std::string> Addresses(const std::vector<sPciDevices> &list)
{
    std::vector<std::string> out;
    for (const sPciDevices &d : list)
        out.push_back(Address(d));
    return out;
}

// uiNumber of every listed function, by address.
std::map<std::string, int> SlotsOf(const TPciDevInfo &scan)
{
    std::map<std::string, int> out;
    for (const auto *list : {&scan.deviceList, &scan.bridgeList}) {
        for (const sPciDevices &d : *list)
            out[Address(d)] = d.uiNumber;
    }
    return out;
}

const sPciDevices &Find(const TPciDevInfo &scan, uint8_t bus, uint8_t dev, uint8_t fn)
{
    const sPciDevices *d = scan.FindDevice(bus, dev, fn);
    if (d == nullptr)
        throw std::runtime_error("function not listed");
    return *d;
}

const std::vector<std::string> kServerDevices = {"00:19.0", "00:1f.2", "00:1f.4", "00:1f.5", "02:00.0",
                                                 "1c:00.0", "3b:00.0", "3b:00.1", "5d:02.1", "5e:00.0"};
const std::vector<std::string> kServerBridges = {"00:00.0", "00:01.0", "00:02.0", "00:03.0", "00:1c.0",
                                                 "00:1f.0", "1a:00.0", "1b:00.0", "5d:02.0"};

TEST(PciScan, RecordedServerWithoutSlotInformation)
{
    nsfixture::Run([] {
        InstallPciTree("server-a");
        WriteNameTables(kServerVendors, kServerClasses);
        Smbios smbios(FailingSource());
        TPciDevInfo scan("QelvoSG_PCIDevice", &smbios);

        // Bus 0xfe and vendor 0 are in neither list; class 6 functions of every kind are bridges.
        EXPECT_EQ(kServerDevices, Addresses(scan.deviceList));
        EXPECT_EQ(kServerBridges, Addresses(scan.bridgeList));
        EXPECT_EQ(kServerDevices, Addresses(scan.pciDevices));
        EXPECT_EQ(0, TPciDevInfo::SlotIDRetrievalType());
        for (const auto &s : SlotsOf(scan))
            EXPECT_EQ(0, s.second) << s.first;

        const sPciDevices &nic = Find(scan, 0, 0x19, 0);
        EXPECT_EQ(0x8086, nic.vendorID);
        EXPECT_EQ(0x1533, nic.deviceID);
        EXPECT_EQ(16, nic.irq);
        EXPECT_EQ(0x1d49, nic.subsystemVendorID);
        EXPECT_EQ(0x0001, nic.subsystemID);
        EXPECT_EQ("Ethernet controller: Intel Corporation I210 Gigabit Network Connection (rev 03)",
                  TPciDevInfo::GetDeviceDescription(nic));
        // Memory registers whose low byte is zero are memory registers too; I/O ports are bytes.
        EXPECT_EQ((std::vector<uint32_t>{0xfb200000, 0, 0, 0xfb300000, 0, 0}),
                  std::vector<uint32_t>(nic.memAddress, nic.memAddress + 6));
        EXPECT_EQ((std::vector<uint16_t>{0, 0, 0x3000, 0, 0, 0}), std::vector<uint16_t>(nic.ioAddress, nic.ioAddress + 6));
        EXPECT_EQ(0x100000u, nic.memLength[0]);
        EXPECT_EQ(0x4000u, nic.memLength[3]);

        const sPciDevices &sata = Find(scan, 0, 0x1f, 2);
        EXPECT_EQ((std::vector<uint16_t>{0x3050, 0x3040, 0x3030, 0x3020, 0x3060, 0}),
                  std::vector<uint16_t>(sata.ioAddress, sata.ioAddress + 6));
        EXPECT_EQ(0xfb410000u, sata.memAddress[5]);
        EXPECT_EQ("SATA controller: Intel Corporation descrip (rev 09)", TPciDevInfo::GetDeviceDescription(sata));

        // A 64-bit register below 4 GiB is published; one above it does not fit.
        const sPciDevices &nvme = Find(scan, 0x1c, 0, 0);
        EXPECT_EQ(0xfa000000u, nvme.memAddress[0]);
        EXPECT_EQ(0u, nvme.memAddress[1]);
        EXPECT_EQ(0, nvme.irq);
        const sPciDevices &cx = Find(scan, 0x3b, 0, 1);
        EXPECT_EQ(std::vector<uint32_t>(6, 0), std::vector<uint32_t>(cx.memAddress, cx.memAddress + 6));
        EXPECT_EQ("Ethernet controller: vendor descrip (rev 00)", TPciDevInfo::GetDeviceDescription(cx));

        // A header that reads short, and one that is missing, leave the function listed with
        // zero class fields and the short-read marker.
        for (const sPciDevices *d : {&Find(scan, 0, 0x1f, 4), &Find(scan, 0, 0x1f, 5)}) {
            EXPECT_EQ(2, d->subsystemVendorID) << Address(*d);
            EXPECT_EQ(0, d->classCode);
            EXPECT_EQ(0, d->revision);
            EXPECT_EQ(0u, d->memAddress[4]);
        }
        EXPECT_EQ("PIC:: Intel Corporation descrip (rev 00)", TPciDevInfo::GetDeviceDescription(Find(scan, 0, 0x1f, 4)));

        // Bridges: the bridge list is the working list of QelvoSG_PCIBridge.
        EXPECT_EQ("Host bridge: Intel Corporation Sky Lake-E DMI3 Registers (rev 04)",
                  TPciDevInfo::GetDeviceDescription(Find(scan, 0, 0, 0)));
        TPciDevInfo bridges("QelvoSG_PCIBridge", &smbios);
        EXPECT_EQ(kServerBridges, Addresses(bridges.pciDevices));
        EXPECT_TRUE(TPciDevInfo(nullptr, &smbios).pciDevices.empty());

        // A second scan on the same object lists every function once.
        scan.ScanPciDevices();
        EXPECT_EQ(kServerDevices, Addresses(scan.deviceList));
        EXPECT_EQ(kServerBridges, Addresses(scan.bridgeList));
    });
}

TEST(PciScan, WithoutNameTablesOrDevicesList)
{
    nsfixture::Run([] {
        InstallPciTree("server-a");
        Smbios smbios(FailingSource());
        TPciDevInfo scan("QelvoSG_PCIDevice", &smbios);
        EXPECT_EQ("PIC:: vendor descrip (rev 03)", TPciDevInfo::GetDeviceDescription(Find(scan, 0, 0x19, 0)));
        EXPECT_EQ("PCI Bridge:: vendor descrip (rev 04)", TPciDevInfo::GetDeviceDescription(Find(scan, 0, 1, 0)));

        // Empty tables count as missing.
        slotscantest::WriteFile("/etc/vmware/pci.xml", "");
        slotscantest::WriteFile("/etc/vmware/pci.classlist", "");
        TPciDevInfo empty("QelvoSG_PCIDevice", &smbios);
        EXPECT_EQ("vendor", Find(empty, 0, 0x19, 0).vendorName);

        ASSERT_EQ(0, unlink("/tmp/recorded-pci-tree/devices"));
        TPciDevInfo none("QelvoSG_PCIDevice", &smbios);
        EXPECT_TRUE(none.deviceList.empty() && none.bridgeList.empty() && none.pciDevices.empty());
        EXPECT_FALSE(none.getAltHDList());
    });
}

// Each recorded SMBIOS table ties the functions behind its slots to the slot's Number.
TEST(PciScan, FunctionsBehindTheRecordedSlots)
{
    const std::map<std::string, int> in_slots = {
        {"1a:00.0", 1}, {"1b:00.0", 1}, {"1c:00.0", 1}, {"3b:00.0", 2}, {"3b:00.1", 2},
        {"5d:02.0", 3}, {"5d:02.1", 3}, {"5e:00.0", 3},
    };
    for (const char *table : {"smbios-2.5.bin", "smbios-2.7.bin", "smbios-3.2.bin", "smbios-2.4.bin"}) {
        SCOPED_TRACE(table);
        nsfixture::Run([&] {
            InstallPciTree("server-a");
            Smbios smbios(FileSource(RecordedTable(table)));
            TPciDevInfo scan("QelvoSG_PCIDevice", &smbios);
            const bool slotted = TPciDevInfo::SlotIDRetrievalType() != 0;
            EXPECT_EQ(std::string(table) != "smbios-2.4.bin", slotted);
            for (const auto &s : SlotsOf(scan)) {
                auto it = in_slots.find(s.first);
                EXPECT_EQ(slotted && it != in_slots.end() ? it->second : 0, s.second) << s.first;
            }
            std::vector<std::string> records;
            for (const SlotBusCollection &r : TPciDevInfo::SlotBuses()) {
                char buf[64];
                std::snprintf(buf, sizeof buf, "tag %d id %d: %02x %02x %02x", r.tag, r.slotID, r.primaryBus,
                              r.secondaryBus, r.subordinateBus);
                records.push_back(buf);
            }
            // Slot 1 holds a switch (a single-function bridge), slot 2 a multi-function endpoint,
            // slot 3 a multi-function bridge (header type 0x81), whose buses count too.
            const std::vector<std::string> want = {"tag 1 id 1: 1a 1b 1c", "tag 2 id 2: 3b 3b 3b",
                                                   "tag 3 id 3: 5d 5e 5e"};
            EXPECT_EQ(slotted ? want : std::vector<std::string>{}, records);
        });
    }
}

TEST(PciSlotBuses, RecordsByHeaderType)
{
    nsfixture::Run([] {
        auto header = [](uint16_t vendor, uint8_t type, uint8_t pri, uint8_t sec, uint8_t sub, size_t size = 64) {
            std::string h(size, '\0');
            h[0] = static_cast<char>(vendor & 0xff);
            h[1] = static_cast<char>(vendor >> 8);
            if (size > 0x1a) {
                h[0x0b] = 6;
                h[0x0e] = static_cast<char>(type);
                h[0x18] = static_cast<char>(pri);
                h[0x19] = static_cast<char>(sec);
                h[0x1a] = static_cast<char>(sub);
            }
            return h;
        };
        InstallPciTree("", {
                               {"05/00.0", header(0x8086, 0x00, 0, 0, 0)},        // endpoint
                               {"06/00.0", header(0x10b5, 0x01, 6, 7, 9)},        // single-function bridge
                               {"0a/00.0", header(0x8086, 0x81, 0x0a, 0x0b, 0x0c)}, // multi-function bridge
                               {"0d/00.0", header(0x8086, 0x80, 0, 0x20, 0x21)},  // multi-function endpoint
                               {"0e/00.0", header(0xffff, 0x01, 0x0e, 0x0f, 0x0f)},
                               {"0f/00.0", header(0x0000, 0x01, 0x0f, 0x10, 0x10)},
                               {"10/00.0", header(0x8086, 0x01, 0x10, 0x11, 0x11, 40)},
                           });
        std::vector<SlotLocation> locations;
        uint16_t tag = 1;
        for (uint8_t bus : {0x05, 0x06, 0x0a, 0x0d, 0x0e, 0x0f, 0x10, 0x11}) {
            SlotLocation l;
            l.tag = tag++;
            l.slotID = static_cast<uint16_t>(100 + l.tag);
            l.busNum = bus;
            locations.push_back(l);
        }
        std::vector<SlotBusCollection> slots;
        EXPECT_EQ(0, TPciDevInfo::readPCIConfigForSlots(locations, slots));
        std::vector<std::string> got;
        for (const SlotBusCollection &s : slots) {
            char buf[48];
            std::snprintf(buf, sizeof buf, "%d/%d: %x %x %x", s.tag, s.slotID, s.primaryBus, s.secondaryBus,
                          s.subordinateBus);
            got.push_back(buf);
        }
        EXPECT_EQ((std::vector<std::string>{"1/101: 5 5 5", "2/102: 6 7 9", "3/103: a b c", "4/104: d d d"}), got);
    });
}

TEST(PciSlotBuses, Correlation)
{
    std::vector<SlotBusCollection> slots(2);
    slots[0].tag = 1;
    slots[0].slotID = 11;
    slots[0].primaryBus = slots[0].secondaryBus = slots[0].subordinateBus = 5;
    slots[1].tag = 2;
    slots[1].slotID = 12;
    slots[1].primaryBus = 0;
    slots[1].secondaryBus = 6;
    slots[1].subordinateBus = 8;
    EXPECT_EQ(1, TPciDevInfo::correlateDeviceAndSlot(5, slots));
    EXPECT_EQ(2, TPciDevInfo::correlateDeviceAndSlot(7, slots));
    EXPECT_EQ(2, TPciDevInfo::correlateDeviceAndSlot(0, slots));  // the primary bus matches
    EXPECT_EQ(-1, TPciDevInfo::correlateDeviceAndSlot(9, slots));
    EXPECT_EQ(-1, TPciDevInfo::correlateDeviceAndSlot(5, {}));
    EXPECT_EQ(12, TPciDevInfo::FindSlotOfBus(8, slots)->slotID);
}

// Lines longer than the line buffer, lines without fields, and short lines.
TEST(PciScan, DevicesListLinesAreBounded)
{
    nsfixture::Run([] {
        std::string hdr(64, '\0');
        hdr[0] = static_cast<char>(0x86);
        hdr[1] = static_cast<char>(0x80);
        hdr[0x0b] = 2;
        // A line of 3,000 characters whose tail looks like a line of its own.
        std::string devices = "0008\t80861533\t10" + std::string(2200, ' ') + "0300\t10de1234\t0\n";
        devices += "\n";                 // no field
        devices += "garbage line\n";     // no hexadecimal field
        devices += "0018\n";             // only the address: vendor 0, dropped
        devices += "0020\t8086153a";     // no IRQ and no line end
        InstallPciTree(devices, {{"00/01.0", hdr}, {"00/04.0", hdr}, {"03/00.0", hdr}});
        Smbios smbios(FailingSource());
        TPciDevInfo scan("QelvoSG_PCIDevice", &smbios);
        EXPECT_EQ((std::vector<std::string>{"00:01.0", "00:04.0"}), Addresses(scan.deviceList));
        EXPECT_TRUE(scan.bridgeList.empty());
        EXPECT_EQ(16, Find(scan, 0, 1, 0).irq);
        EXPECT_EQ(0x153a, Find(scan, 0, 4, 0).deviceID);
        EXPECT_EQ(0, Find(scan, 0, 4, 0).irq);
    });
}

// Concurrent first scans: none may see the slot information half filled.
TEST(PciScan, ConcurrentFirstScansWaitForTheSlotInformation)
{
    nsfixture::Run([] {
        InstallPciTree("server-a");
        const std::vector<unsigned char> image = slotscantest::ReadBytes(RecordedTable("smbios-2.7.bin"));
        std::atomic<int> fetches{0};
        Smbios smbios([&](std::vector<unsigned char> &out) {
            if (fetches++ > 0)  // the constructor's fetch is quick, the first scan's are slow
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
            out = image;
            return 0;
        });
        std::vector<std::thread> threads;
        std::atomic<int> wrong{0};
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back([&] {
                TPciDevInfo scan("QelvoSG_PCIDevice", &smbios);
                const sPciDevices *nvme = scan.FindDevice(0x1c, 0, 0);
                if (nvme == nullptr || nvme->uiNumber != 1)
                    ++wrong;
            });
        }
        for (std::thread &t : threads)
            t.join();
        EXPECT_EQ(0, wrong.load());
        EXPECT_EQ(3, fetches.load());  // construction, retrieval type, slot locations: once
    });
}

}  // namespace
