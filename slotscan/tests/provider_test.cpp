// PCIInfoProvider loaded as the CIMOM loads it, with the controller simulator serving a
// recorded SMBIOS table, a recorded PCI tree over /proc/bus/pci and the broker routing the
// provider's own up-calls back to it.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "ipmi_testing.h"
#include "nsfixture.h"
#include "provider_harness.h"
#include "sim_process.h"
#include "smbios_gen.h"
#include "test_support.h"

using cmpiharness::Outcome;
using cmpiharness::Path;
using cmpiharness::Provider;
using cmpiharness::Router;

namespace {

const char kNs[] = "root/qelvosd";
const char *const kClasses[] = {"QelvoSG_PCIDevice",     "QelvoSG_PCIBridge",      "QelvoSG_SystemSlot",
                                "QelvoSG_SystemBoard",   "QelvoSG_DeviceInSlot",   "QelvoSG_OnBoardDevice",
                                "QelvoSG_SSPCIController", "QelvoSG_OBDPCIController"};

const char kVendors[] =
    "<pcitable>\n <vendor id=\"8086\">\n  <name>Intel Corporation</name>\n"
    "  <device id=\"1533\">\n   <name>I210 Gigabit Network Connection</name>\n  </device>\n </vendor>\n"
    " <vendor id=\"144d\">\n  <name>Samsung Electronics Co Ltd</name>\n"
    "  <device id=\"a808\">\n   <name>NVMe SSD Controller SM981/PM981/PM983</name>\n  </device>\n </vendor>\n"
    "</pcitable>\n";
const char kClassList[] = "C 01  Mass storage controller\n\t08  Non-Volatile memory controller\n"
                          "C 02  Network controller\n\t00  Ethernet controller\n"
                          "C 06  Bridge\n\t04  PCI bridge\n";

std::string HostName()
{
    char buf[65] = {};
    gethostname(buf, 64);
    return buf;
}

std::string Fn(int bus, int dev, int fn)
{
    return "PCI Bus " + std::to_string(bus) + ", device " + std::to_string(dev) + ", function " + std::to_string(fn);
}

// The functions of the recorded server in each slot of its SMBIOS tables, and on the board.
const std::set<std::string> kInSlot1 = {Fn(0x1a, 0, 0), Fn(0x1b, 0, 0), Fn(0x1c, 0, 0)};
const std::set<std::string> kInSlot2 = {Fn(0x3b, 0, 0), Fn(0x3b, 0, 1)};
const std::set<std::string> kInSlot3 = {Fn(0x5d, 2, 0), Fn(0x5d, 2, 1), Fn(0x5e, 0, 0)};
const std::set<std::string> kOnBoard = {Fn(0, 0, 0),    Fn(0, 1, 0),    Fn(0, 2, 0),    Fn(0, 3, 0),
                                        Fn(0, 0x19, 0), Fn(0, 0x1c, 0), Fn(0, 0x1f, 0), Fn(0, 0x1f, 2),
                                        Fn(0, 0x1f, 4), Fn(0, 0x1f, 5), Fn(2, 0, 0)};

std::set<std::string> Union(std::initializer_list<std::set<std::string>> sets)
{
    std::set<std::string> out;
    for (const auto &s : sets)
        out.insert(s.begin(), s.end());
    return out;
}

std::set<std::string> AsSet(const std::vector<std::string> &v) { return std::set<std::string>(v.begin(), v.end()); }

// Runs body with the provider loaded and its classes routed back to it; the controller serves
// the recorded table `table`, or `image` when one is given.
void WithProvider(const std::string &table, const std::function<void(Provider &, Router &)> &body,
                  const std::vector<unsigned char> &image = {})
{
    nsfixture::Options o;
    o.lib_cim = QELVO_PROVIDER_DIR;
    nsfixture::Run(
        [&] {
            ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
            slotscantest::InstallPciTree("server-a");
            slotscantest::WriteNameTables(kVendors, kClassList);
            std::string table_path = slotscantest::RecordedTable(table);
            if (!image.empty()) {
                table_path = "/tmp/smbios-table.bin";
                slotscantest::WriteFile(table_path, std::string(image.begin(), image.end()));
            }
            tavikt::SimProcess bmc({"--file", "smbios-table=" + table_path});
            ASSERT_TRUE(bmc.ok());
            Router router;
            std::string err;
            auto p = Provider::Load("/lib/cim/libslotscan.so", "PCIInfoProvider", &router, &err);
            ASSERT_TRUE(p) << err;
            for (const char *cls : kClasses)
                router.Route(kNs, cls, p.get());
            body(*p, router);
        },
        o);
}

// The DeviceID of the PCI function each returned object (path or instance) names.
std::vector<std::string> DeviceIDs(const Outcome &out) { return out.KeyTexts("DeviceID"); }

// "<antecedent key>|<dependent DeviceID>" of association paths or instances.
std::set<std::string> Pairs(const Outcome &out, const char *antecedent_key)
{
    std::set<std::string> pairs;
    const size_t n = std::max(out.paths.size(), out.instances.size());
    for (size_t i = 0; i < n; ++i) {
        cmpiharness::Value ant, dep;
        if (!out.paths.empty()) {
            CMPIStatus rc;
            ant = cmpiharness::Value::Of(CMGetKey(out.paths[i], "Antecedent", &rc));
            dep = cmpiharness::Value::Of(CMGetKey(out.paths[i], "Dependent", &rc));
        } else {
            ant = out.Property(i, "Antecedent");
            dep = out.Property(i, "Dependent");
        }
        if (ant.type() != CMPI_ref || dep.type() != CMPI_ref) {
            pairs.insert("not references");
            continue;
        }
        pairs.insert(cmpiharness::KeyText(ant.data().value.ref, antecedent_key) + "|" +
                     cmpiharness::KeyText(dep.data().value.ref, "DeviceID"));
    }
    return pairs;
}

std::set<std::string> Prefixed(const std::string &prefix, const std::set<std::string> &functions)
{
    std::set<std::string> out;
    for (const std::string &f : functions)
        out.insert(prefix + "|" + f);
    return out;
}

// A function's path; the views' paths carry the keys of the function's own class.
cmpiharness::PathPtr FunctionPath(const char *cls, const std::string &device_id,
                                  const char *creation_class = nullptr)
{
    return Path(kNs, cls,
                {{"SystemCreationClassName", "QelvoSG_ASSETID"}, {"SystemName", HostName()},
                 {"CreationClassName", creation_class != nullptr ? creation_class : cls}, {"DeviceID", device_id}});
}

cmpiharness::PathPtr SlotPath(const std::string &tag)
{
    return Path(kNs, "QelvoSG_SystemSlot",
                {{"SystemCreationClassName", "QelvoSG_ASSETID"}, {"SystemName", HostName()},
                 {"CreationClassName", "QelvoSG_SystemSlot"}, {"Tag", tag}});
}

cmpiharness::PathPtr BoardPath(const std::string &system = HostName())
{
    return Path(kNs, "QelvoSG_SystemBoard",
                {{"SystemCreationClassName", "QelvoSG_ASSETID"}, {"SystemName", system},
                 {"CreationClassName", "QelvoSG_SystemBoard"}, {"DeviceID", "SystemBoard1"}});
}

TEST(PCIInfoProvider, DevicesAndBridges)
{
    WithProvider("smbios-2.7.bin", [](Provider &p, Router &) {
        const Outcome bridges = p.EnumInstanceNames(kNs, "qelvosg_pcibridge");  // any letter case
        ASSERT_TRUE(bridges.ok()) << bridges.Describe();
        EXPECT_EQ((std::set<std::string>{Fn(0, 0, 0), Fn(0, 1, 0), Fn(0, 2, 0), Fn(0, 3, 0), Fn(0, 0x1c, 0),
                                         Fn(0, 0x1f, 0), Fn(0x1a, 0, 0), Fn(0x1b, 0, 0), Fn(0x5d, 2, 0)}),
                  AsSet(DeviceIDs(bridges)));
        const Outcome devices = p.EnumInstances(kNs, "QelvoSG_PCIDevice");
        ASSERT_EQ(10u, devices.instances.size()) << devices.Describe();
        EXPECT_EQ(1, devices.done_count);

        const CMPIInstance *nic = devices.Find("DeviceID", Fn(0, 0x19, 0));
        ASSERT_NE(nullptr, nic);
        const std::pair<const char *, std::string> want[] = {
            {"SystemName", HostName()}, {"VendorID", "32902"}, {"PciDeviceID", "5427"}, {"UINumber", "0"},
            {"ClassCode", "2"}, {"Location", Fn(0, 0x19, 0)}, {"IRQ", "16"}, {"SubsystemVendorID", "7497"},
            {"Description", "Ethernet controller: Intel Corporation I210 Gigabit Network Connection (rev 03)"}};
        for (const auto &w : want)
            EXPECT_EQ(w.second, cmpiharness::PropertyText(nic, w.first)) << w.first;
        EXPECT_EQ((std::vector<std::string>{"4213178368", "4214226944"}),
                  cmpiharness::ElementTexts(cmpiharness::PropertyOf(nic, "MEMAddress")));
        EXPECT_EQ((std::vector<std::string>{"12288"}), cmpiharness::ElementTexts(cmpiharness::PropertyOf(nic, "IOAddress")));

        const CMPIInstance *nvme = devices.Find("DeviceID", Fn(0x1c, 0, 0));
        ASSERT_NE(nullptr, nvme);
        EXPECT_EQ("1", cmpiharness::PropertyText(nvme, "UINumber"));
        EXPECT_FALSE(cmpiharness::HasProperty(nvme, "IRQ"));  // IRQ 0 is not published
        EXPECT_FALSE(cmpiharness::HasProperty(nvme, "IOAddress"));
        const CMPIInstance *cx = devices.Find("DeviceID", Fn(0x3b, 0, 0));
        ASSERT_NE(nullptr, cx);
        EXPECT_FALSE(cmpiharness::HasProperty(cx, "MEMAddress"));  // its memory lies above 4 GiB
    });
}

TEST(PCIInfoProvider, SlotsAndBoard)
{
    WithProvider("smbios-2.7.bin", [](Provider &p, Router &) {
        EXPECT_EQ((std::vector<std::string>{"Tag 1", "Tag 2", "Tag 3", "Tag 4"}),
                  p.EnumInstanceNames(kNs, "QelvoSG_SystemSlot").KeyTexts("Tag"));
        const Outcome slots = p.EnumInstances(kNs, "QelvoSG_SystemSlot");
        ASSERT_EQ(4u, slots.instances.size()) << slots.Describe();
        EXPECT_EQ("PCIe Slot 3, Tag 3", slots.PropertyText(2, "SlotAllInfo"));
        const Outcome board = p.EnumInstances(kNs, "QelvoSG_SystemBoard");
        ASSERT_EQ(1u, board.instances.size()) << board.Describe();
        EXPECT_EQ("VNL24-MB", board.PropertyText(0, "Name"));
        EXPECT_EQ("QVB000427", board.PropertyText(0, "SerialNumber"));
    });
}

TEST(PCIInfoProvider, GetInstanceReturnsTheNamedObjectOnly)
{
    WithProvider("smbios-2.7.bin", [](Provider &p, Router &) {
        const Outcome slot = p.GetInstance(SlotPath("Tag 2").get());
        ASSERT_TRUE(slot.ok()) << slot.Describe();
        ASSERT_EQ(1u, slot.instances.size());
        EXPECT_EQ("2", slot.PropertyText(0, "Number"));
        EXPECT_EQ("PCIe Slot 2", slot.PropertyText(0, "SlotDesignation"));

        EXPECT_EQ(CMPI_RC_ERR_NOT_FOUND, p.GetInstance(SlotPath("Tag 9").get()).rc);
        EXPECT_EQ(CMPI_RC_ERR_NOT_FOUND, p.GetInstance(Path(kNs, "QelvoSG_SystemSlot", {{"Tag", "Tag 1"}}).get()).rc);

        const Outcome nic = p.GetInstance(FunctionPath("QelvoSG_PCIDevice", Fn(0, 0x19, 0)).get());
        ASSERT_EQ(1u, nic.instances.size()) << nic.Describe();
        EXPECT_EQ("5427", nic.PropertyText(0, "PciDeviceID"));
        EXPECT_EQ(CMPI_RC_ERR_NOT_FOUND, p.GetInstance(FunctionPath("QelvoSG_PCIDevice", Fn(0, 1, 0)).get()).rc);
        EXPECT_EQ(1u, p.GetInstance(FunctionPath("QelvoSG_PCIBridge", Fn(0, 1, 0)).get()).instances.size());
        for (const std::string bad : {"PCI Bus 0, device 25, function 0 ", "PCI Bus 256, device 0, function 0",
                                      "PCI Bus 254, device 0, function 0"})
            EXPECT_EQ(CMPI_RC_ERR_NOT_FOUND, p.GetInstance(FunctionPath("QelvoSG_PCIDevice", bad).get()).rc) << bad;

        // The views hold the functions in slots and on the board.
        const char *dev = "QelvoSG_PCIDevice";
        EXPECT_EQ(1u, p.GetInstance(FunctionPath("QelvoSG_SSPCIController", Fn(0x1c, 0, 0), dev).get()).instances.size());
        EXPECT_EQ(CMPI_RC_ERR_NOT_FOUND,
                  p.GetInstance(FunctionPath("QelvoSG_OBDPCIController", Fn(0x1c, 0, 0), dev).get()).rc);
        EXPECT_EQ(1u, p.GetInstance(FunctionPath("QelvoSG_OBDPCIController", Fn(0, 0x19, 0), dev).get()).instances.size());

        EXPECT_EQ(1u, p.GetInstance(BoardPath().get()).instances.size());
        EXPECT_EQ(CMPI_RC_ERR_NOT_FOUND, p.GetInstance(BoardPath("another-host").get()).rc);
        EXPECT_EQ(CMPI_RC_ERR_INVALID_CLASS, p.GetInstance(Path(kNs, "QelvoSG_Other", {{"DeviceID", "x"}}).get()).rc);

        auto assoc = [](const char *cls, cmpiharness::PathPtr ant, cmpiharness::PathPtr dep) {
            return Path(kNs, cls,
                        {{"Antecedent", cmpiharness::Value::Ref(ant.get())},
                         {"Dependent", cmpiharness::Value::Ref(dep.get())}});
        };
        const Outcome in_slot = p.GetInstance(
            assoc("QelvoSG_DeviceInSlot", SlotPath("Tag 1"), FunctionPath("QelvoSG_PCIDevice", Fn(0x1c, 0, 0))).get());
        ASSERT_EQ(1u, in_slot.instances.size()) << in_slot.Describe();
        EXPECT_EQ((std::set<std::string>{"Tag 1|" + Fn(0x1c, 0, 0)}), Pairs(in_slot, "Tag"));
        EXPECT_EQ(CMPI_RC_ERR_NOT_FOUND,
                  p.GetInstance(assoc("QelvoSG_DeviceInSlot", SlotPath("Tag 2"),
                                      FunctionPath("QelvoSG_PCIDevice", Fn(0x1c, 0, 0))).get())
                      .rc);
        EXPECT_EQ(1u, p.GetInstance(assoc("QelvoSG_OnBoardDevice", BoardPath(),
                                          FunctionPath("QelvoSG_PCIDevice", Fn(0, 0x19, 0))).get())
                          .instances.size());
        EXPECT_EQ(CMPI_RC_ERR_NOT_FOUND,
                  p.GetInstance(assoc("QelvoSG_OnBoardDevice", BoardPath(),
                                      FunctionPath("QelvoSG_PCIDevice", Fn(0x1c, 0, 0))).get())
                      .rc);

        // Nothing changes; unknown classes are refused.
        auto inst = cmpiharness::Instance(SlotPath("Tag 1").get());
        EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, p.CreateInstance(inst.get()).rc);
        EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, p.ModifyInstance(inst.get()).rc);
        EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, p.DeleteInstance(SlotPath("Tag 1").get()).rc);
        EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, p.ExecQuery(kNs, "QelvoSG_PCIDevice", "SELECT * FROM QelvoSG_PCIDevice").rc);
        EXPECT_EQ(CMPI_RC_ERR_INVALID_CLASS, p.EnumInstances(kNs, "QelvoSG_Other").rc);
    });
}

// Every path any enumeration gives names exactly the object enumerated with it.
TEST(PCIInfoProvider, EnumeratedPathsGetTheirInstances)
{
    WithProvider("smbios-2.7.bin", [](Provider &p, Router &) {
        for (const char *cls : kClasses) {
            const Outcome names = p.EnumInstanceNames(kNs, cls);
            const Outcome insts = p.EnumInstances(kNs, cls);
            ASSERT_TRUE(names.ok() && insts.ok()) << cls << ": " << names.Describe() << " / " << insts.Describe();
            ASSERT_EQ(names.paths.size(), insts.instances.size()) << cls;
            EXPECT_FALSE(names.paths.empty()) << cls;
            for (size_t i = 0; i < names.paths.size(); ++i) {
                const Outcome got = p.GetInstance(names.paths[i]);
                ASSERT_EQ(1u, got.instances.size()) << cls << " " << cmpiharness::PathText(names.paths[i]);
                EXPECT_EQ(cmpiharness::PathText(names.paths[i]),
                          cmpiharness::PathText(cmpiharness::PathOf(got.instances[0]).get()));
                EXPECT_EQ(cmpiharness::PathText(names.paths[i]),
                          cmpiharness::PathText(cmpiharness::PathOf(insts.instances[i]).get()));
            }
        }
    });
}

// Each function is either in the slots the SMBIOS table ties it to or on the board; the
// association classes, the views, and the walks from either end agree on it.
TEST(PCIInfoProvider, DeviceInSlotAndOnBoardAssociations)
{
    WithProvider("smbios-2.7.bin", [](Provider &p, Router &router) {
        const std::set<std::string> in_slots =
            Union({Prefixed("Tag 1", kInSlot1), Prefixed("Tag 2", kInSlot2), Prefixed("Tag 3", kInSlot3)});
        const Outcome names = p.EnumInstanceNames(kNs, "QelvoSG_DeviceInSlot");
        ASSERT_TRUE(names.ok()) << names.Describe();
        EXPECT_EQ(in_slots, Pairs(names, "Tag"));
        EXPECT_EQ(8u, names.paths.size());
        EXPECT_GE(router.Calls(cmpiharness::Op::EnumInstances, kNs, "QelvoSG_SystemSlot"), 1);
        const Outcome insts = p.EnumInstances(kNs, "QelvoSG_DeviceInSlot");
        EXPECT_EQ(in_slots, Pairs(insts, "Tag"));

        const std::set<std::string> on_board = Prefixed("SystemBoard1", kOnBoard);
        const Outcome board = p.EnumInstances(kNs, "QelvoSG_OnBoardDevice");
        ASSERT_TRUE(board.ok()) << board.Describe();
        EXPECT_EQ(on_board, Pairs(board, "DeviceID"));
        EXPECT_EQ(11u, board.instances.size());
        EXPECT_GE(router.Calls(cmpiharness::Op::EnumInstances, kNs, "QelvoSG_PCIBridge"), 1);
        EXPECT_EQ(on_board, Pairs(p.EnumInstanceNames(kNs, "QelvoSG_OnBoardDevice"), "DeviceID"));

        const Outcome ss = p.EnumInstances(kNs, "QelvoSG_SSPCIController");
        EXPECT_EQ(Union({kInSlot1, kInSlot2, kInSlot3}), AsSet(DeviceIDs(ss)));
        EXPECT_EQ(8u, ss.instances.size());
        const Outcome obd = p.EnumInstanceNames(kNs, "QelvoSG_OBDPCIController");
        EXPECT_EQ(kOnBoard, AsSet(DeviceIDs(obd)));
        EXPECT_EQ(11u, obd.paths.size());
    });
}

TEST(PCIInfoProvider, AssociatorsAndReferences)
{
    WithProvider("smbios-2.7.bin", [](Provider &p, Router &) {
        auto nvme = FunctionPath("QelvoSG_PCIDevice", Fn(0x1c, 0, 0));
        auto nic = FunctionPath("QelvoSG_PCIDevice", Fn(0, 0x19, 0));
        auto slot1 = SlotPath("Tag 1");

        Outcome out = p.Associators(nvme.get());
        ASSERT_TRUE(out.ok()) << out.Describe();
        ASSERT_EQ(1u, out.instances.size());
        EXPECT_EQ("Tag 1", out.PropertyText(0, "Tag"));
        EXPECT_EQ(1u, p.Associators(nvme.get(), "QelvoSG_DeviceInSlot", "QelvoSG_SystemSlot", "Dependent",
                                    "Antecedent")
                          .instances.size());
        EXPECT_TRUE(p.Associators(nvme.get(), "QelvoSG_OnBoardDevice").instances.empty());
        EXPECT_TRUE(p.Associators(nvme.get(), "", "QelvoSG_SystemBoard").instances.empty());
        EXPECT_TRUE(p.Associators(nvme.get(), "", "", "", "Dependent").instances.empty());
        EXPECT_TRUE(p.Associators(nvme.get(), "", "", "Antecedent").instances.empty());
        EXPECT_EQ((std::vector<std::string>{"Tag 1"}),
                  p.AssociatorNames(FunctionPath("QelvoSG_SSPCIController", Fn(0x1b, 0, 0)).get()).KeyTexts("Tag"));

        out = p.Associators(nic.get());
        ASSERT_EQ(1u, out.instances.size()) << out.Describe();
        EXPECT_EQ("SystemBoard1", out.PropertyText(0, "DeviceID"));
        EXPECT_TRUE(p.Associators(nic.get(), "QelvoSG_DeviceInSlot").instances.empty());

        EXPECT_EQ(kInSlot1, AsSet(p.AssociatorNames(slot1.get()).KeyTexts("DeviceID")));
        EXPECT_EQ(kInSlot1, AsSet(DeviceIDs(p.Associators(slot1.get(), "", "QelvoSG_SSPCIController"))));
        EXPECT_EQ((std::set<std::string>{Fn(0x1a, 0, 0), Fn(0x1b, 0, 0)}),
                  AsSet(DeviceIDs(p.Associators(slot1.get(), "", "QelvoSG_PCIBridge"))));
        EXPECT_TRUE(p.Associators(slot1.get(), "", "QelvoSG_OBDPCIController").instances.empty());
        EXPECT_TRUE(p.Associators(slot1.get(), "", "", "", "Antecedent").instances.empty());
        EXPECT_EQ(kInSlot2, AsSet(p.AssociatorNames(SlotPath("System Slot 2").get()).KeyTexts("DeviceID")));
        EXPECT_TRUE(p.AssociatorNames(SlotPath("Tag 4").get()).paths.empty());
        EXPECT_TRUE(p.AssociatorNames(SlotPath("Tag 5").get()).paths.empty());

        EXPECT_EQ(kOnBoard, AsSet(DeviceIDs(p.Associators(BoardPath().get(), "", "QelvoSG_OBDPCIController", "",
                                                          "Dependent"))));
        EXPECT_EQ(kOnBoard, AsSet(p.AssociatorNames(BoardPath().get()).KeyTexts("DeviceID")));
        EXPECT_TRUE(p.Associators(BoardPath().get(), "", "QelvoSG_SSPCIController").instances.empty());

        Outcome refs = p.References(nvme.get());
        ASSERT_TRUE(refs.ok()) << refs.Describe();
        EXPECT_EQ((std::set<std::string>{"Tag 1|" + Fn(0x1c, 0, 0)}), Pairs(refs, "Tag"));
        EXPECT_TRUE(p.References(nvme.get(), "QelvoSG_OnBoardDevice").instances.empty());
        EXPECT_EQ((std::set<std::string>{"SystemBoard1|" + Fn(0, 0x19, 0)}),
                  Pairs(p.ReferenceNames(nic.get(), "qelvosg_onboarddevice"), "DeviceID"));
        EXPECT_EQ(Prefixed("Tag 2", kInSlot2), Pairs(p.ReferenceNames(SlotPath("Tag 2").get()), "Tag"));
        EXPECT_TRUE(p.ReferenceNames(SlotPath("Tag 2").get(), "", "Dependent").paths.empty());
        EXPECT_EQ(Prefixed("SystemBoard1", kOnBoard), Pairs(p.References(BoardPath().get()), "DeviceID"));
        EXPECT_TRUE(p.References(Path(kNs, "QelvoSG_Other", {{"DeviceID", "x"}}).get()).instances.empty());
    });
}

// A table without bus addresses (SMBIOS 2.4) ties no function to a slot: every function is on
// the board and the enumeration of QelvoSG_DeviceInSlot is empty. A slot is paired with the
// functions whose device number is its Number: the slot view and the walks from either end
// follow that pairing, and the references they hand out can be read back.
TEST(PCIInfoProvider, TableWithoutBusAddressesPairsSlotsByDeviceNumber)
{
    WithProvider("smbios-2.4.bin", [](Provider &p, Router &) {
        const std::set<std::string> all = Union({kOnBoard, kInSlot1, kInSlot2, kInSlot3});
        const Outcome devices = p.EnumInstances(kNs, "QelvoSG_PCIDevice");
        ASSERT_FALSE(devices.instances.empty()) << devices.Describe();
        for (size_t i = 0; i < devices.instances.size(); ++i)
            EXPECT_EQ("0", devices.PropertyText(i, "UINumber"));
        EXPECT_TRUE(p.EnumInstanceNames(kNs, "QelvoSG_DeviceInSlot").paths.empty());
        EXPECT_EQ(all, AsSet(p.EnumInstanceNames(kNs, "QelvoSG_OBDPCIController").KeyTexts("DeviceID")));
        EXPECT_EQ(Prefixed("SystemBoard1", all), Pairs(p.EnumInstanceNames(kNs, "QelvoSG_OnBoardDevice"), "DeviceID"));

        // Slots 1 to 4 of the table, and the functions whose device number is theirs.
        const std::pair<const char *, std::set<std::string>> by_device[] = {
            {"Tag 1", {Fn(0, 1, 0)}},
            {"Tag 2", {Fn(0, 2, 0), Fn(0x5d, 2, 0), Fn(0x5d, 2, 1)}},
            {"Tag 3", {Fn(0, 3, 0)}},
            {"Tag 4", {}}};
        std::set<std::string> in_view;
        for (const auto &slot : by_device) {
            SCOPED_TRACE(slot.first);
            in_view.insert(slot.second.begin(), slot.second.end());
            auto path = SlotPath(slot.first);
            EXPECT_EQ(slot.second, AsSet(p.AssociatorNames(path.get()).KeyTexts("DeviceID")));
            EXPECT_EQ(slot.second, AsSet(DeviceIDs(p.Associators(path.get(), "", "QelvoSG_SSPCIController"))));
            const Outcome refs = p.ReferenceNames(path.get(), "QelvoSG_DeviceInSlot");
            EXPECT_EQ(Prefixed(slot.first, slot.second), Pairs(refs, "Tag"));
            for (const CMPIObjectPath *ref : refs.paths)
                EXPECT_EQ(1u, p.GetInstance(ref).instances.size()) << cmpiharness::PathText(ref);
        }
        EXPECT_EQ(in_view, AsSet(DeviceIDs(p.EnumInstances(kNs, "QelvoSG_SSPCIController"))));

        // From the function: its slot by device number, and the board.
        auto fn = FunctionPath("QelvoSG_PCIDevice", Fn(0x5d, 2, 1));
        EXPECT_EQ((std::vector<std::string>{"Tag 2"}), p.AssociatorNames(fn.get(), "", "QelvoSG_SystemSlot").KeyTexts("Tag"));
        EXPECT_EQ((std::vector<std::string>{"SystemBoard1"}),
                  p.AssociatorNames(fn.get(), "", "QelvoSG_SystemBoard").KeyTexts("DeviceID"));
        EXPECT_EQ((std::set<std::string>{"Tag 2|" + Fn(0x5d, 2, 1)}),
                  Pairs(p.References(fn.get(), "QelvoSG_DeviceInSlot"), "Tag"));
        EXPECT_EQ(1u, p.GetInstance(FunctionPath("QelvoSG_SSPCIController", Fn(0x5d, 2, 1), "QelvoSG_PCIDevice").get())
                          .instances.size());
        // Device number 0 names no slot.
        auto bridge = FunctionPath("QelvoSG_PCIBridge", Fn(0x1a, 0, 0));
        EXPECT_TRUE(p.AssociatorNames(bridge.get(), "", "QelvoSG_SystemSlot").paths.empty());
        EXPECT_EQ(CMPI_RC_ERR_NOT_FOUND,
                  p.GetInstance(FunctionPath("QelvoSG_SSPCIController", Fn(0x1a, 0, 0), "QelvoSG_PCIBridge").get()).rc);
    });
}

// The functions behind a slot whose Number (300) does not fit UINumber (uint8) publish no
// UINumber rather than a number cut to fit, which would be another slot's (300 & 0xFF is 44,
// capped it is 255): they are not on the board, and they stay in their slot.
TEST(PCIInfoProvider, ASlotNumberAboveWhatUINumberHoldsIsNotCutToFit)
{
    smbiosgen::TableBuilder t;
    const std::pair<uint16_t, std::pair<uint8_t, uint8_t>> slots[] = {
        {300, {0x1a, 0x00}}, {44, {0x3b, 0x00}}, {255, {0x5d, 0x10}}};
    for (const auto &s : slots) {
        const uint16_t id = s.first;
        t.Add(9, {1, 0xb5, 0x0b, 0x04, 0x04, static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), 0x04, 0x01, 0, 0,
                  s.second.first, s.second.second},
              {"PCIe Slot " + std::to_string(id)});
    }
    t.Add(127, {}, {});
    WithProvider(
        "",
        [](Provider &p, Router &) {
            const Outcome devices = p.EnumInstances(kNs, "QelvoSG_PCIDevice");
            const Outcome bridges = p.EnumInstances(kNs, "QelvoSG_PCIBridge");
            ASSERT_TRUE(devices.ok() && bridges.ok()) << devices.Describe();
            const std::pair<std::set<std::string>, const char *> expected[] = {
                {kInSlot1, nullptr}, {kInSlot2, "44"}, {kInSlot3, "255"}, {kOnBoard, "0"}};
            for (const auto &e : expected) {
                for (const std::string &fn : e.first) {
                    const CMPIInstance *inst = devices.Find("DeviceID", fn);
                    if (inst == nullptr)
                        inst = bridges.Find("DeviceID", fn);
                    ASSERT_NE(nullptr, inst) << fn;
                    if (e.second == nullptr)
                        EXPECT_FALSE(cmpiharness::HasProperty(inst, "UINumber")) << fn;
                    else
                        EXPECT_EQ(e.second, cmpiharness::PropertyText(inst, "UINumber")) << fn;
                }
            }
            EXPECT_EQ(Union({Prefixed("Tag 1", kInSlot1), Prefixed("Tag 2", kInSlot2), Prefixed("Tag 3", kInSlot3)}),
                      Pairs(p.EnumInstanceNames(kNs, "QelvoSG_DeviceInSlot"), "Tag"));
            EXPECT_EQ(Prefixed("SystemBoard1", kOnBoard), Pairs(p.EnumInstances(kNs, "QelvoSG_OnBoardDevice"), "DeviceID"));
            EXPECT_EQ(kOnBoard, AsSet(p.EnumInstanceNames(kNs, "QelvoSG_OBDPCIController").KeyTexts("DeviceID")));
            EXPECT_EQ(kInSlot1, AsSet(p.AssociatorNames(SlotPath("Tag 1").get()).KeyTexts("DeviceID")));
        },
        t.Image(2, 7));
}

}  // namespace
