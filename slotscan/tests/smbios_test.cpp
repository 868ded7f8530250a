// The SMBIOS table reader: board and slot records, the slot ID retrieval type and the slot
// locations, over built tables, the controller simulator's recorded tables, and the data store.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ipmi_testing.h"
#include "nsfixture.h"
#include "sim_process.h"
#include "smbios.h"
#include "smbios_gen.h"
#include "test_support.h"

using slotscantest::FailingSource;
using slotscantest::FileSource;
using slotscantest::ImageSource;
using slotscantest::RecordedTable;
using smbiosgen::TableBuilder;

namespace {

using Bytes = std::vector<uint8_t>;

// The formatted area after the header of a type 9 structure: designation string 1, type, width,
// usage, length, ID, characteristics, and (long) the segment, bus and device/function.
Bytes Slot9(uint16_t id, uint8_t usage = 4, bool with_bus = false, uint8_t bus = 0, uint8_t devfn = 0,
            uint8_t ch1 = 0x04, uint8_t ch2 = 0x01)
{
    Bytes f = {1, 0xa5, 0x0b, usage, 0x04, static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), ch1, ch2};
    if (with_bus)
        f.insert(f.end(), {0x00, 0x00, bus, devfn});
    return f;
}

std::vector<unsigned char> Table(TableBuilder &t, uint8_t major, uint8_t minor)
{
    t.Add(127, {}, {});
    const Bytes image = t.Image(major, minor);
    return std::vector<unsigned char>(image.begin(), image.end());
}

int RetrievalOf(const std::vector<unsigned char> &image)
{
    Smbios s(ImageSource(image));
    return s.GetSlotIDRetrievalType();
}

std::vector<SlotLocation> LocationsOf(const std::vector<unsigned char> &image, int *rc = nullptr)
{
    Smbios s(ImageSource(image));
    s.GetSlotIDRetrievalType();
    std::vector<SlotLocation> out;
    const int r = s.readPCISlotLocation(out);
    if (rc != nullptr)
        *rc = r;
    return out;
}

std::string Describe(const SlotLocation &l)
{
    return "tag " + std::to_string(l.tag) + " id " + std::to_string(l.slotID) + " seg " +
           std::to_string(l.segGroupNum) + " " + std::to_string(l.busNum) + ":" + std::to_string(l.deviceNum) + "." +
           std::to_string(l.FunctionNum);
}

std::vector<std::string> Describe(const std::vector<SlotLocation> &v)
{
    std::vector<std::string> out;
    for (const SlotLocation &l : v)
        out.push_back(Describe(l));
    return out;
}

TEST(SmbiosRetrievalType, ByVersionAndStructures)
{
    struct Case {
        const char *what;
        uint8_t major, minor;
        std::function<void(TableBuilder &)> fill;
        int want;
    };
    const Case cases[] = {
        {"1.x", 1, 9, [](TableBuilder &t) { t.Add(9, Slot9(1, 4, true, 5), {"PCI1"}); }, 0},
        {"2.4", 2, 4, [](TableBuilder &t) { t.Add(9, Slot9(1, 4, true, 5), {"PCI1"}); }, 0},
        {"2.5 without type 11", 2, 5, [](TableBuilder &t) { t.Add(9, Slot9(1), {"PCI1"}); }, 0},
        {"2.5, type 11 without $T9", 2, 5, [](TableBuilder &t) { t.Add(11, {1}, {"Tavik [TVK1.42-7]"}); }, 0},
        {"2.5, $T9 in a later type 11", 2, 5,
         [](TableBuilder &t) {
             t.Add(11, {1}, {"Tavik [TVK1.42-7]"});
             t.Add(11, {1}, {"$T9 SID:0x0001 SegGrp:0x0000 B:0x05 D:0x00 F:0x0"});
         },
         1},
        {"2.5, $T9 only as a second string", 2, 5,
         [](TableBuilder &t) { t.Add(11, {2}, {"notes", "$T9 SID:0x0001 B:0x05"}); }, 0},
        {"2.6 without type 9", 2, 6, [](TableBuilder &t) { t.Add(2, {}, {"Maker"}); }, 0},
        {"2.6, first type 9 of length 0x0D", 2, 6,
         [](TableBuilder &t) {
             t.Add(9, Slot9(1), {"PCI1"});
             t.Add(9, Slot9(2, 4, true, 7), {"PCI2"});
         },
         0},
        {"2.6, first type 9 of length 0x11", 2, 6, [](TableBuilder &t) { t.Add(9, Slot9(1, 4, true, 5), {"PCI1"}); },
         2},
        {"3.0 with the bus fields", 3, 0, [](TableBuilder &t) { t.Add(9, Slot9(1, 4, true, 5), {"PCI1"}); }, 2},
    };
    for (const Case &c : cases) {
        TableBuilder t;
        t.Add(0, {1, 2, 0, 0xe8, 3, 0xff}, {"Qelvo", "1.0", "01/01/2024"});
        c.fill(t);
        EXPECT_EQ(c.want, RetrievalOf(Table(t, c.major, c.minor))) << c.what;
    }
}

TEST(SmbiosRetrievalType, TablesWithoutStructuresAndFailedFetches)
{
    for (int count : {0, 1}) {
        for (uint8_t minor : {5, 6}) {
            TableBuilder t;
            t.Add(9, Slot9(1, 4, true, 5), {"PCI1"});
            t.Add(11, {1}, {"$T9 SID:0x0001 B:0x05"});
            const Bytes image = t.Image(2, minor, count);
            Smbios s(ImageSource(std::vector<unsigned char>(image.begin(), image.end())));
            EXPECT_TRUE(s.table9.empty());
            EXPECT_TRUE(s.table2.empty());
            EXPECT_EQ(0, s.GetSlotIDRetrievalType()) << "count " << count << ", 2." << int(minor);
        }
    }
    Smbios failed(FailingSource());
    EXPECT_TRUE(failed.table2.empty() && failed.table9.empty());
    EXPECT_EQ(0, failed.GetSlotIDRetrievalType());
    std::vector<SlotLocation> locations;
    EXPECT_EQ(-1, failed.readPCISlotLocation(locations));
    EXPECT_TRUE(locations.empty());
}

TEST(SmbiosRecords, BoardAndSlotFields)
{
    TableBuilder t;
    t.Add(2, {1, 2, 0, 0, 0, 0x09, 0, 0, 0, 0x0a, 0}, {"Qelvo", "VNL24-MB"});
    t.Add(2, {1, 2, 0, 3}, {"Second", "Board", "SN2"});  // no version: the serial number is string 3
    t.Add(9, {0, 0xb6, 0x0d, 0x03, 0x04, 0x02, 0x01, 0x0c, 0x03}, {});
    t.Add(9, Slot9(7, 4, true, 0x3b, 0x10, 0x06, 0x02), {"PCIe Slot 7"});
    Smbios s(ImageSource(Table(t, 2, 7)));

    ASSERT_EQ(2u, s.table2.size());
    EXPECT_EQ("Qelvo", s.table2[0].manufacturer);
    EXPECT_EQ("VNL24-MB", s.table2[0].product);
    EXPECT_EQ("Not Available", s.table2[0].version);
    EXPECT_EQ("Not Available", s.table2[0].serialNumber);
    EXPECT_EQ("Not Available", s.table2[1].version);
    EXPECT_EQ("SN2", s.table2[1].serialNumber);

    ASSERT_EQ(2u, s.table9.size());
    const tableType9 &a = s.table9[0];
    EXPECT_EQ(258, a.slotID);
    EXPECT_EQ("System Slot 258", a.designation);
    EXPECT_EQ(0xb6, a.slotType);
    EXPECT_EQ(0x0d, a.dataBusWidth);
    EXPECT_EQ(3, a.currentUsage);
    EXPECT_EQ(4, a.slotLength);
    EXPECT_EQ(0x0c, a.characteristics1);
    EXPECT_EQ(0x03, a.characteristics2);
    EXPECT_EQ("PCIe Slot 7", s.table9[1].designation);
    EXPECT_EQ(7, s.table9[1].slotID);
}

// A structure cut short by the end of the image, or a count beyond the structures present,
// ends the walk without a record for it.
TEST(SmbiosRecords, TruncatedImages)
{
    TableBuilder t;
    t.Add(9, Slot9(3), {"PCI3"});
    t.Add(9, Slot9(4), {"PCI4"});
    const std::vector<unsigned char> whole = Table(t, 2, 6);
    Smbios cut(ImageSource(std::vector<unsigned char>(whole.begin(), whole.end() - 9)));
    ASSERT_EQ(1u, cut.table9.size());
    EXPECT_EQ("PCI3", cut.table9[0].designation);
    const Bytes many = t.Image(2, 6, 5000);
    EXPECT_EQ(2u, Smbios(ImageSource(std::vector<unsigned char>(many.begin(), many.end()))).table9.size());
}

TEST(SmbiosSlotLocations, OemStringsOfA25Table)
{
    TableBuilder t;
    t.Add(11, {1}, {"Tavik [TVK1.42-7]"});
    t.Add(11, {1}, {"$T9 SID:0x0003 SegGrp:0x0000 B:0x0a D:0x00 F:0x0"});
    t.Add(11, {1}, {"$T9 SID:0x0004 SegGrp:0x0000 B:0x00 D:0x00 F:0x0"});
    t.Add(11, {1}, {"$T9 F:0x3 D:0x1f B:0x3b SID:0x0105 SegGrp:0x0001"});
    int rc = 1;
    EXPECT_EQ((std::vector<std::string>{"tag 1 id 3 seg 0 10:0.0", "tag 3 id 261 seg 1 59:31.3"}),
              Describe(LocationsOf(Table(t, 2, 5), &rc)));
    EXPECT_EQ(0, rc);
}

TEST(SmbiosSlotLocations, BusFieldsOfType9)
{
    TableBuilder t;
    t.Add(9, Slot9(1, 4, true, 0x00, 0x00), {"PCI1"});
    t.Add(9, Slot9(2, 4, true, 0x00, 0x08), {"PCI2"});
    t.Add(11, {1}, {"$T9 SID:0x0009 B:0x44"});  // not read for retrieval type 2
    t.Add(9, Slot9(0x0203, 4, true, 0x5d, 0x12), {"PCI3"});
    t.Add(9, Slot9(4), {"short"});                 // no bus fields: its tag is used, nothing recorded
    t.Add(9, Slot9(5, 4, true, 0x80, 0xff), {"PCI5"});
    EXPECT_EQ((std::vector<std::string>{"tag 3 id 515 seg 0 93:2.2", "tag 5 id 5 seg 0 128:31.7"}),
              Describe(LocationsOf(Table(t, 2, 6))));

    // With retrieval type 0 nothing is read, though the table is.
    TableBuilder old;
    old.Add(9, Slot9(1, 4, true, 0x10), {"PCI1"});
    int rc = 1;
    EXPECT_TRUE(LocationsOf(Table(old, 2, 4), &rc).empty());
    EXPECT_EQ(0, rc);
}

// The controller simulator's recorded tables describe slots on buses 0x1a, 0x3b and 0x5d and
// an empty fourth slot (bus 0xff from 2.6; "B:0x00" in the 2.5 OEM strings).
TEST(SmbiosSlotLocations, RecordedTables)
{
    struct Case {
        const char *file;
        int type;
        std::vector<std::string> locations;
    };
    const std::vector<std::string> with_empty_slot = {"tag 1 id 1 seg 0 26:0.0", "tag 2 id 2 seg 0 59:0.0",
                                                      "tag 3 id 3 seg 0 93:2.0", "tag 4 id 4 seg 65535 255:31.7"};
    const Case cases[] = {
        {"smbios-2.4.bin", 0, {}},
        {"smbios-2.5.bin", 1, {"tag 1 id 1 seg 0 26:0.0", "tag 2 id 2 seg 0 59:0.0", "tag 3 id 3 seg 0 93:2.0"}},
        {"smbios-2.7.bin", 2, with_empty_slot},
        {"smbios-3.2.bin", 2, with_empty_slot},
    };
    for (const Case &c : cases) {
        Smbios s(FileSource(RecordedTable(c.file)));
        EXPECT_EQ(c.type, s.GetSlotIDRetrievalType()) << c.file;
        std::vector<SlotLocation> got;
        EXPECT_EQ(0, s.readPCISlotLocation(got)) << c.file;
        EXPECT_EQ(c.locations, Describe(got)) << c.file;
        ASSERT_EQ(4u, s.table9.size()) << c.file;
        EXPECT_EQ("PCIe Slot 1", s.table9[0].designation);
        ASSERT_EQ(1u, s.table2.size()) << c.file;
        EXPECT_EQ("Qelvo", s.table2[0].manufacturer);
    }
}

// The default reader fetches "smbios-table" from the controller's data store over IPMI, and
// this library's copy of the store writes nothing on standard output.
TEST(SmbiosDataStore, ReadsTheControllersTableSilently)
{
    nsfixture::Run([] {
        ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
        tavikt::SimProcess bmc({"--file", "smbios-table=" + RecordedTable("smbios-2.5.bin")});
        ASSERT_TRUE(bmc.ok());
        testing::internal::CaptureStdout();
        Smbios s;
        const int type = s.GetSlotIDRetrievalType();
        std::vector<SlotLocation> got;
        const int read = s.readPCISlotLocation(got);
        EXPECT_EQ("", testing::internal::GetCapturedStdout());
        ASSERT_EQ(4u, s.table9.size());
        EXPECT_EQ("PCIe Slot 4", s.table9[3].designation);
        EXPECT_EQ(1, type);
        EXPECT_EQ(0, read);
        EXPECT_EQ(3u, got.size());
    });
}

// A controller that announces a table larger than the 65,536-byte buffer: the table is refused
// before anything is read, and nothing is written past the buffer.
TEST(SmbiosDataStore, RefusesATableLargerThanTheBuffer)
{
    nsfixture::Run([] {
        ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
        ipmitest::FakeController bmc("/dev/ipmi0", [](const ipmisim::Packet &req) {
            const std::vector<uint8_t> d(req.data, req.data + req.data_len);
            std::vector<uint8_t> reply = {0x00, d.size() > 0 ? d[0] : uint8_t{0}, d.size() > 1 ? d[1] : uint8_t{0},
                                          d.size() > 2 ? d[2] : uint8_t{0}};
            const uint8_t op = d.size() > 3 ? d[3] : 0;
            if (op == 1)
                reply.insert(reply.end(), {1, 0, 0, 0});                    // handle 1
            else if (op == 6)
                reply.insert(reply.end(), {0x70, 0x11, 0x01, 0x00});        // 70,000 bytes
            else if (op == 2) {
                const uint8_t count = d.size() > 12 ? d[12] : 0;
                reply.insert(reply.end(), {count, 0});
                reply.insert(reply.end(), count, 0xAB);
            }
            return ipmitest::Reaction{{ipmitest::Response(req, reply)}};
        });
        Smbios s;
        EXPECT_TRUE(s.table2.empty() && s.table9.empty());
        ASSERT_FALSE(bmc.Requests().empty());
        for (const ipmisim::Packet &r : bmc.Requests())
            EXPECT_FALSE(r.data_len > 3 && r.data[3] == 2) << "a read was sent";
    });
}

}  // namespace
