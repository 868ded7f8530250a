// The scenario reader (statements, words, mistakes) and how the installation services decide
// InstallFromURI calls on the host a scenario describes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "services.h"

namespace hostservices {
namespace {

Scenario Parse(const std::string &text) {
  Scenario sc;
  std::string error;
  EXPECT_TRUE(ParseScenario(text, &sc, &error)) << error;
  return sc;
}

TEST(Scenario, ReadsEveryStatement) {
  const Scenario sc = Parse(R"(# one host with a bit of everything
host esx-7
brocade package 425 BUK0123   # comments may end a line
brocade port 10:00:00:05 BUK0123
brocade port 10:00:00:06 -
emulex-cna port 0x0720:10000000C9A1B2C3
emulex-cna port "-"
emulex-cna port -
	emulex-fc vpd 10000000C9AAAAAA LPe12002
emulex-fc vpd - ""
qlogic port 2100001B32A1B2C3_0_1 QLE2562
hypervisor system esx-a
hypervisor system "esx b"
hypervisor job "Scanning URI for installable packages"
hypervisor job -
hypervisor old-job "Updates at supplied URI are obsolete or already installed"
controller answer 0
qlogic answer fail "adapter \"busy\""
emulex-cna answer 4107 device 10000000C9A1B2C3
brocade answer auto
fail VMware_ConcreteJob "job store down"
)");
  EXPECT_EQ(sc.HostName(), "esx-7");
  ASSERT_EQ(sc.brocade_packages.size(), 1u);
  EXPECT_EQ(sc.brocade_packages[0].model, Text::Of("425"));
  EXPECT_EQ(sc.brocade_packages[0].serial, Text::Of("BUK0123"));
  ASSERT_EQ(sc.brocade_ports.size(), 2u);
  EXPECT_EQ(sc.brocade_ports[0].name, Text::Of("BUK0123"));
  EXPECT_EQ(sc.brocade_ports[1].name, Text{});
  EXPECT_EQ(sc.emulex_cna_ports,
            (std::vector<Text>{Text::Of("0x0720:10000000C9A1B2C3"), Text::Of("-"), Text{}}));
  ASSERT_EQ(sc.emulex_vpds.size(), 2u);
  EXPECT_EQ(sc.emulex_vpds[0].field_v2, Text::Of("LPe12002"));
  EXPECT_EQ(sc.emulex_vpds[1].instance_id, Text{});
  EXPECT_EQ(sc.emulex_vpds[1].field_v2, Text::Of(""));
  ASSERT_EQ(sc.qlogic_ports.size(), 1u);
  EXPECT_EQ(sc.qlogic_ports[0].device_id, "2100001B32A1B2C3_0_1");
  EXPECT_EQ(sc.hypervisor_systems, (std::vector<std::string>{"esx-a", "esx b"}));
  EXPECT_EQ(sc.of(Service::kHypervisor).job,
            (std::vector<Text>{Text::Of("Scanning URI for installable packages"), Text{}}));
  EXPECT_EQ(sc.of(Service::kHypervisor).old_jobs.size(), 1u);
  EXPECT_EQ(sc.AnswerFor(Service::kController, ""), (Answer{Answer::kValue, 0, ""}));
  EXPECT_EQ(sc.AnswerFor(Service::kQlogic, "x"), (Answer{Answer::kFail, 0, "adapter \"busy\""}));
  EXPECT_EQ(sc.AnswerFor(Service::kEmulexCna, "10000000C9A1B2C3"), (Answer{Answer::kValue, 4107, ""}));
  EXPECT_EQ(sc.AnswerFor(Service::kEmulexCna, "10000000C9A1B2C4"), Answer{});
  ASSERT_NE(sc.Failure("vmware_concretejob"), nullptr);
  EXPECT_EQ(*sc.Failure("vmware_concretejob"), "job store down");
  EXPECT_EQ(sc.Failure("VMware_SoftwareInstallationService"), nullptr);
}

TEST(Scenario, WordsSurviveQuoting) {
  for (const char *s : {"plain", "two words", "", "-", "#hash", "say \"hi\"", "back\\slash", "tab\there"}) {
    std::vector<Word> words;
    std::string error;
    ASSERT_TRUE(SplitWords(std::string("x ") + QuoteWord(s) + " y", &words, &error)) << s << ": " << error;
    ASSERT_EQ(words.size(), 3u) << s;
    EXPECT_EQ(words[1].text, s);
  }
  EXPECT_EQ(QuoteWord(Text{}), "-");
}

TEST(Scenario, MistakesNameTheirLine) {
  const struct {
    const char *text;
    const char *error;
  } cases[] = {
      {"brocade port 1", "line 1: expected: brocade port DEVICEID NAME"},
      {"\n# fine\nvmware answer 0", "line 3: unknown statement \"vmware\""},
      {"controller answer 4294967296", "line 1: answer: \"4294967296\" is not auto"},
      {"controller answer -1", "is not auto"},
      {"controller answer fail", "answer fail: the message is missing"},
      {"qlogic answer 5 for x", "only \"device ID\" may follow"},
      {"brocade job x", "brocade: unknown item \"job\""},
      {"hypervisor old-job a b", "expected: hypervisor old-job TEXT"},
      {"host \"esx", "a quote is not closed"},
      {"host a\"b", "a quote inside a word"},
      {"host \"a\"b", "text right after a closing quote"},
      {"emulex-fc", "emulex-fc: what about it?"},
      {"\"host\" x", "unknown statement"},
  };
  for (const auto &c : cases) {
    Scenario sc;
    std::string error;
    EXPECT_FALSE(ParseScenario(c.text, &sc, &error)) << c.text;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.text << " gave: " << error;
  }
}

// The keys of an object, by lower-case name.
std::map<std::string, std::string> KeysOf(const Object &o) {
  std::map<std::string, std::string> keys;
  for (const Prop &p : o.props)
    if (p.key) keys[LowerCase(p.name)] = p.text;
  return keys;
}

TEST(Installs, AnswerAsTheHostAndTheScenarioSay) {
  char file[] = "/tmp/install-test.XXXXXX";
  const int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string existing = std::string("file://") + file, missing = existing + ".gone";

  const std::string host = R"(host esx-7
brocade port 10:00:00:05 BUK0123
brocade port 10:00:00:06 BUK0124
brocade answer 4107 device 10:00:00:05
emulex-cna port 0x0720:10000000C9A1B2C3
emulex-cna port NoColon
emulex-cna port :10000000C9FFFFFF
emulex-fc vpd 10000000C9AAAAAA LPe12002
emulex-fc answer fail "adapter busy"
qlogic port 2100001B32A1B2C3_0_1 QLE2562
hypervisor system esx-a
hypervisor system esx-b
)";
  enum Kind { kNotFound = InstallDecision::kNotFound, kFailed = InstallDecision::kFailed, kReturn };
  const struct Case {
    const char *what;
    std::string extra;  // scenario lines beyond `host`
    Service service;
    std::string uri;
    std::string target_class;
    std::string target;  // DeviceID, or Name of a hypervisor system
    int kind;
    uint32_t value;
    bool job;
  } cases[] = {
      {"converged port named after its colon", "", Service::kEmulexCna, existing, "ELXUCNA_EthernetPort",
       "10000000C9A1B2C3", kReturn, 0, false},
      {"file not there", "", Service::kEmulexCna, missing, "ELXUCNA_EthernetPort", "10000000C9A1B2C3", kReturn,
       4107, false},
      {"remote URI on an adapter", "", Service::kEmulexCna, "tftp://10.0.0.1/fw.bin", "ELXUCNA_EthernetPort",
       "10000000C9A1B2C3", kReturn, 4107, false},
      {"whole InstanceID is no DeviceID", "", Service::kEmulexCna, existing, "ELXUCNA_EthernetPort",
       "0x0720:10000000C9A1B2C3", kReturn, 5, false},
      {"port without applicability value", "", Service::kEmulexCna, existing, "ELXUCNA_EthernetPort",
       "10000000C9FFFFFF", kReturn, 5, false},
      {"wrong target class", "", Service::kEmulexCna, existing, "ELXHBA_FCPort", "10000000C9A1B2C3", kReturn,
       4097, false},
      {"no target", "", Service::kEmulexCna, existing, "", "", kReturn, 5, false},
      {"adapter answering a failure", "", Service::kEmulexFc, existing, "ELXHBA_FCPort", "10000000C9AAAAAA",
       kFailed, 0, false},
      {"QLogic adapter named before the first _", "", Service::kQlogic, existing, "QLogicFCHBA_PortController",
       "2100001B32A1B2C3", kReturn, 0, false},
      {"QLogic port's whole DeviceID", "", Service::kQlogic, existing, "QLogicFCHBA_PortController",
       "2100001B32A1B2C3_0_1", kReturn, 5, false},
      {"answer for one device", "", Service::kBrocade, existing, "BROCADE_PortController", "10:00:00:05",
       kReturn, 4107, false},
      {"the other device", "", Service::kBrocade, existing, "BROCADE_PortController", "10:00:00:06", kReturn, 0,
       false},
      {"answer for every device", "brocade answer 4097\n", Service::kBrocade, existing,
       "BROCADE_PortController", "10:00:00:06", kReturn, 4097, false},
      {"second hypervisor system", "", Service::kHypervisor, existing, "OMC_UnitaryComputerSystem", "esx-b",
       kReturn, 4096, true},
      {"unknown hypervisor system", "", Service::kHypervisor, existing, "OMC_UnitaryComputerSystem", "esx-7",
       kReturn, 5, false},
      {"depot fetched by the hypervisor", "", Service::kHypervisor, "ftp://10.0.0.1/depot/metadata.zip",
       "OMC_UnitaryComputerSystem", "esx-a", kReturn, 4096, true},
      {"hypervisor depot not there", "", Service::kHypervisor, missing, "OMC_UnitaryComputerSystem", "esx-a",
       kReturn, 4107, false},
      {"controller image", "", Service::kController, existing, "", "", kReturn, 4096, true},
      {"controller answering 0", "controller answer 0\n", Service::kController, existing, "", "", kReturn, 0,
       true},
      {"controller answering a failure", "controller answer fail \"flash locked\"\n", Service::kController,
       existing, "", "", kFailed, 0, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const Scenario sc = Parse(host + c.extra);
    const ServiceInfo &info = InfoOf(c.service);
    const std::vector<Object> services = Inventory(sc, ClassInfo{info.cls, info.ns, info.id, ClassInfo::kService});
    ASSERT_FALSE(services.empty());
    InstallCall call;
    call.service = c.service;
    call.keys = KeysOf(services.back());
    call.uri = c.uri;
    if (!c.target_class.empty()) {
      call.has_target = true;
      call.target_class = c.target_class;
      call.target_keys = {{"creationclassname", c.target_class}};
      if (c.service == Service::kHypervisor) {
        call.target_keys["name"] = c.target;
      } else {
        call.target_keys["systemcreationclassname"] = info.system_class;
        call.target_keys["systemname"] = "esx-7";
        call.target_keys["deviceid"] = c.target;
      }
    }
    const InstallDecision d = DecideInstall(sc, call);
    EXPECT_EQ(d.kind, c.kind) << d.message;
    if (c.kind == kReturn) {
      EXPECT_EQ(d.value, c.value) << d.note;
    }
    EXPECT_EQ(d.start_job, c.job);

    // The same call on a service instance that is not there.
    call.keys["name"] += "x";
    EXPECT_EQ(DecideInstall(sc, call).kind, InstallDecision::kNotFound);
  }
  unlink(file);

  // The controller's bank is 0 or 1.
  InstallCall bank;
  bank.service = Service::kController;
  const ServiceInfo &ctl = InfoOf(Service::kController);
  bank.keys = KeysOf(Inventory(Scenario{}, ClassInfo{ctl.cls, ctl.ns, ctl.id, ClassInfo::kService}).at(0));
  bank.uri = "file:///nowhere";
  bank.update_operation = Text::Of("2");
  EXPECT_EQ(DecideInstall(Scenario{}, bank).value, kInvalidParameter);
}

TEST(Installs, LocalPathsOfFileUris) {
  const struct {
    const char *uri, *path;
  } cases[] = {
      {"file:///var/tmp/Qelvo/Morv/Package/fw.bin", "/var/tmp/Qelvo/Morv/Package/fw.bin"},
      {"file://var/tmp/filestore/fw.bin", "/var/tmp/filestore/fw.bin"},
      {"FILE:/x", "/x"},
      {"file://", ""},
      {"tftp://127.0.0.1/fw.bin", ""},
      {"fil", ""},
  };
  for (const auto &c : cases) EXPECT_EQ(LocalPath(c.uri), c.path) << c.uri;
}

}  // namespace
}  // namespace hostservices
