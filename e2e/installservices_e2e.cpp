// The host's installation services through the CIMOM, with wbemcli: the adapters, systems and
// service instances a scenario gives each vendor's provider, the hypervisor and the controller;
// InstallFromURI on every service with what it answers and records; jobs walking through their
// JobStatus texts; and a scenario changed between calls.
//
// Skipped until the stand-ins are built (build/platform/esxi/services/providers).
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using e2e::MethodAnswer;
using e2e::Object;
using e2e::Result;

const char kScenario[] = "/etc/simhost/scenario";
const char kPackage[] = "/var/tmp/Qelvo/Morv/Package/";
const char kReboot[] =
    "The update completed successfully, but the system needs to be rebooted for the changes to be effective.";

std::string ServicePath(const std::string &ns, const std::string &cls, const std::string &system_class,
                        const std::string &system, const std::string &name) {
  return ns + ":" + cls + ".SystemCreationClassName=\"" + system_class + "\",SystemName=\"" + system +
         "\",CreationClassName=\"" + cls + "\",Name=\"" + name + "\"";
}

// Target=<class>.<keys> as wbemcli takes a reference; it must come last.
std::string Port(const std::string &cls, const std::string &system_class, const std::string &device) {
  return "Target=" + cls + ".CreationClassName=\"" + cls + "\",DeviceID=\"" + device +
         "\",SystemCreationClassName=\"" + system_class + "\",SystemName=\"esx-lab-1\"";
}

// The install record, one field map per call.
std::vector<std::map<std::string, std::string>> Records() {
  std::vector<std::map<std::string, std::string>> out;
  std::istringstream in(e2e::ReadFile("/etc/simhost/installs"));
  std::string line;
  while (std::getline(in, line)) {
    std::map<std::string, std::string> rec;
    std::istringstream fields(line);
    std::string f;
    while (std::getline(fields, f, '\t'))
      if (f.find('=') != std::string::npos) rec[f.substr(0, f.find('='))] = f.substr(f.find('=') + 1);
    out.push_back(rec);
  }
  return out;
}

std::vector<Object> Enumerate(const std::string &path) {
  const Result r = e2e::Wbem("ei", path, {}, {"-nl"});
  EXPECT_EQ(r.status, 0) << r.Describe();
  return e2e::ParseObjects(r.out);
}

TEST(InstallServices, EveryServiceThroughTheCimom) {
  if (access(E2E_PROVIDER_DIR "/../platform/esxi/services/providers/libesxiservices.so", R_OK) != 0)
    GTEST_SKIP() << "the installation service stand-ins are not built";
  ASSERT_EQ(e2e::Sh("mkdir -p /etc/simhost").status, 0);
  ASSERT_TRUE(e2e::WriteFile(kScenario, R"(host esx-lab-1
brocade package 425 BUK0001
brocade package 1860 BUK0002
brocade port 10:00:00:05:1e:00:00:01 BUK0001
brocade port 10:00:00:05:1e:00:00:02 BUK0002
emulex-cna port 0x0720:10000000C9A1B2C3
emulex-cna port NoColon
emulex-fc vpd 10000000C9AAAAAA LPe12002
emulex-fc vpd 10000000C9BBBBBB -
qlogic port 2100001B32A1B2C3_0_1 QLE2562
hypervisor system esx-lab-0
hypervisor system esx-lab-1
hypervisor job "Scanning URI for installable packages"
hypervisor job ")" + std::string(kReboot) + R"("
controller job "Process Running"
controller job "Process Completed"
controller old-job "Process Completed"
)"));

  // Every service, with the keys the package broker builds its paths from.
  const std::string brocade = ServicePath("root/brocade", "BROCADE_HBASoftwareInstallationService",
                                          "BROCADE_ComputerSystem", "esx-lab-1",
                                          "Brocade Adapter Software Update Service");
  const std::string cna = ServicePath("root/emulex", "ELXUCNA_SoftwareInstallationService",
                                      "OMC_UnitaryComputerSystem", "esx-lab-1",
                                      "ELXUCNA_SoftwareInstallationService");
  const std::string fc = ServicePath("root/emulex", "ELXHBA_SoftwareInstallationService",
                                     "OMC_UnitaryComputerSystem", "esx-lab-1", "ELXHBA_FCSoftwareInstallationService");
  const std::string qlogic = ServicePath("qlogic/cimv2", "QLogicFCHBA_SoftwareInstallationService",
                                         "QLogicFCHBA_ComputerSystem", "esx-lab-1", "FC_SW_INSTALLER");
  const std::string vmware = ServicePath("root/cimv2", "VMware_SoftwareInstallationService",
                                         "OMC_UnitaryComputerSystem", "esx-lab-1", "SoftwareInstallationService");
  const std::string controller =
      ServicePath("qelvo/cimv2", "Qelvo_SoftwareInstallationService", "Qelvo_ManagementController",
                  "ManagementController", "TavikSoftwareInstallatiIonService");
  for (const std::string &service : {brocade, cna, fc, qlogic, vmware, controller}) {
    const std::string cls = service.substr(0, service.find('.'));
    const Result r = e2e::Wbem("ein", cls);
    ASSERT_EQ(r.status, 0) << r.Describe();
    const std::vector<std::string> lines = e2e::Lines(r.out);
    ASSERT_FALSE(lines.empty()) << cls;
    EXPECT_EQ(lines.back(), "127.0.0.1:5988/" + service);  // the hypervisor: the last of two
  }
  EXPECT_EQ(e2e::Lines(e2e::Wbem("ein", "root/cimv2:OMC_UnitaryComputerSystem").out).size(), 2u);

  // The adapters as the vendors' providers show them.
  std::vector<Object> o = Enumerate("root/brocade:BROCADE_PhysicalPackage");
  ASSERT_EQ(o.size(), 2u);
  EXPECT_EQ(o[1].Get("Model") + " " + o[1].Get("SerialNumber"), "1860 BUK0002");
  o = Enumerate("root/brocade:BROCADE_PortController");
  ASSERT_EQ(o.size(), 2u);
  EXPECT_EQ(o[0].Get("Name") + " " + o[0].Get("DeviceID"), "BUK0001 10:00:00:05:1e:00:00:01");
  o = Enumerate("root/emulex:ELXUCNA_EthernetPort");
  ASSERT_EQ(o.size(), 2u);
  EXPECT_EQ(o[0].Get("InstanceID"), "0x0720:10000000C9A1B2C3");
  EXPECT_EQ(o[1].Get("InstanceID"), "NoColon");
  o = Enumerate("root/emulex:ELXHBA_VitalProductData");
  ASSERT_EQ(o.size(), 2u);
  EXPECT_EQ(o[0].Get("FieldV2"), "LPe12002");
  EXPECT_FALSE(o[1].Has("FieldV2"));
  o = Enumerate("qlogic/cimv2:QLogicFCHBA_FCPort");
  ASSERT_EQ(o.size(), 1u);
  EXPECT_EQ(o[0].Get("DeviceID") + " " + o[0].Get("Model"), "2100001B32A1B2C3_0_1 QLE2562");

  // InstallFromURI on each service.
  ASSERT_EQ(e2e::Sh(std::string("mkdir -p ") + kPackage + " /var/tmp/filestore /var/tmp/depot").status, 0);
  ASSERT_TRUE(e2e::WriteFile(std::string(kPackage) + "brcd.bin", e2e::RandomBytes(40000, 1)));
  ASSERT_TRUE(e2e::WriteFile(std::string(kPackage) + "elx.bin", e2e::RandomBytes(30000, 2)));
  ASSERT_TRUE(e2e::WriteFile(std::string(kPackage) + "qlg.bin", e2e::RandomBytes(20000, 3)));
  ASSERT_TRUE(e2e::WriteFile("/var/tmp/filestore/uefi.bin", e2e::RandomBytes(50000, 4)));
  ASSERT_TRUE(e2e::WriteFile("/var/tmp/depot/metadata.zip", e2e::RandomBytes(1000, 5)));
  const std::string file = "URI=\"file:///var/tmp/Qelvo/Morv/Package/";
  const std::string omc = "Target=OMC_UnitaryComputerSystem.CreationClassName=\"OMC_UnitaryComputerSystem\",Name=";
  const struct {
    const char *what;
    std::string service, args, answer, target, options, bank;
  } calls[] = {
      {"Brocade port", brocade,
       file + "brcd.bin\",InstallOptions=5," +
           Port("BROCADE_PortController", "BROCADE_ComputerSystem", "10:00:00:05:1e:00:00:02"),
       "0", "10:00:00:05:1e:00:00:02", "5", ""},
      {"Emulex converged port", cna,
       file + "elx.bin\"," + Port("ELXUCNA_EthernetPort", "OMC_UnitaryComputerSystem", "10000000C9A1B2C3"), "0",
       "10000000C9A1B2C3", "", ""},
      {"Emulex payload not there", cna,
       file + "gone.bin\"," + Port("ELXUCNA_EthernetPort", "OMC_UnitaryComputerSystem", "10000000C9A1B2C3"),
       "4107", "10000000C9A1B2C3", "", ""},
      {"Emulex port without applicability value", cna,
       file + "elx.bin\"," + Port("ELXUCNA_EthernetPort", "OMC_UnitaryComputerSystem", "NoColon"), "5", "NoColon",
       "", ""},
      {"Emulex Fibre Channel adapter", fc,
       file + "elx.bin\"," + Port("ELXHBA_FCPort", "OMC_UnitaryComputerSystem", "10000000C9AAAAAA"), "0",
       "10000000C9AAAAAA", "", ""},
      {"Emulex Fibre Channel through a converged port", fc,
       file + "elx.bin\"," + Port("ELXUCNA_EthernetPort", "OMC_UnitaryComputerSystem", "10000000C9AAAAAA"), "4097",
       "10000000C9AAAAAA", "", ""},
      {"QLogic adapter", qlogic,
       file + "qlg.bin\",InstallOptions=5," +
           Port("QLogicFCHBA_PortController", "QLogicFCHBA_ComputerSystem", "2100001B32A1B2C3"),
       "0", "2100001B32A1B2C3", "5", ""},
      {"hypervisor depot", vmware, "URI=\"file:///var/tmp/depot/metadata.zip\"," + omc + "\"esx-lab-1\"", "4096",
       "esx-lab-1", "", ""},
      {"controller image, backup bank", controller,
       "URI=\"file://var/tmp/filestore/uefi.bin\",Update_Operation=1", "4096", "", "", "1"},
  };
  for (const auto &c : calls) {
    SCOPED_TRACE(c.what);
    const Result r = e2e::Wbem("cm", c.service, {"InstallFromURI." + c.args}, {"-nl"});
    const MethodAnswer a = e2e::ParseMethod(r);
    ASSERT_TRUE(a.ok) << r.Describe();
    EXPECT_EQ(a.return_value, c.answer);
    const auto records = Records();
    ASSERT_FALSE(records.empty());
    auto rec = records.back();
    EXPECT_EQ(rec["service"], c.service.substr(c.service.find(':') + 1, c.service.find('.') - c.service.find(':') - 1));
    EXPECT_EQ(rec["return"], c.answer);
    EXPECT_EQ(rec["target"], c.target);
    EXPECT_EQ(rec["options"], c.options);
    EXPECT_EQ(rec["bank"], c.bank);
    if (c.answer == "0" || c.answer == "4096") {
      EXPECT_EQ(rec["md5"], e2e::Md5(rec["file"])) << rec["file"];
    }
    if (c.answer == "4096") {
      ASSERT_TRUE(a.out.count("Job")) << a.raw;
      EXPECT_NE(a.out.at("Job").find("InstanceID=\"" + rec["job"] + "\""), std::string::npos) << a.out.at("Job");
    }
  }
  ASSERT_EQ(Records().size(), sizeof calls / sizeof calls[0]);

  // The hypervisor's job walks through its texts, one per enumeration; the last one stays.
  for (const std::string &status : {std::string("Scanning URI for installable packages"), std::string(kReboot),
                                    std::string(kReboot)}) {
    o = Enumerate("root/cimv2:VMware_ConcreteJob");
    ASSERT_EQ(o.size(), 1u);
    EXPECT_EQ(o[0].Get("JobStatus"), status);
    EXPECT_EQ(o[0].Get("JobState"), status == kReboot ? "7" : "4");
  }
  // The controller's jobs are CIM_ConcreteJobs of qelvo/cimv2: the old one first, then the new one.
  for (const char *status : {"Process Running", "Process Completed"}) {
    o = Enumerate("qelvo/cimv2:CIM_ConcreteJob");
    ASSERT_EQ(o.size(), 2u);
    EXPECT_EQ(o[0].Get("InstanceID"), "FirmwareUpdate-old-1");
    EXPECT_NE(o[1].path.find("Qelvo_FirmwareUpdateJob.InstanceID=\"FirmwareUpdate-1\""), std::string::npos) << o[1].path;
    EXPECT_EQ(o[1].Get("JobStatus"), status);
  }

  // A changed scenario holds from the next call on.
  ASSERT_TRUE(e2e::WriteFile(kScenario, "host esx-lab-1\ncontroller answer 0\n"
                                        "emulex-cna port 0x0720:10000000C9A1B2C3\n"
                                        "emulex-cna answer fail \"adapter busy\"\n"
                                        "fail QLogicFCHBA_FCPort \"no HBA API\"\n"));
  MethodAnswer a = e2e::ParseMethod(
      e2e::Wbem("cm", controller, {"InstallFromURI.URI=\"file:///nowhere\",Update_Operation=0"}, {"-nl"}));
  EXPECT_EQ(a.return_value, "0") << a.raw;
  Result r = e2e::Wbem("cm", cna,
                       {"InstallFromURI." + file + "elx.bin\"," +
                        Port("ELXUCNA_EthernetPort", "OMC_UnitaryComputerSystem", "10000000C9A1B2C3")});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("adapter busy"), std::string::npos) << r.Describe();
  r = e2e::Wbem("ei", "qlogic/cimv2:QLogicFCHBA_FCPort");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("no HBA API"), std::string::npos) << r.Describe();
  ASSERT_TRUE(e2e::WriteFile(kScenario, "host a\nqlogic port x\n"));
  r = e2e::Wbem("ei", "qlogic/cimv2:QLogicFCHBA_FCPort");
  EXPECT_NE(r.err.find("line 2: expected: qlogic port DEVICEID MODEL"), std::string::npos) << r.Describe();
}

}  // namespace
