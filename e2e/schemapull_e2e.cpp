// simhost-options: --nodes 2 --schema-import
//
// The schema import on a host of two nodes whose CIMOM starts without the controllers' classes:
// schemapull stages them, the repository step (simhost-stage-load) loads the staging area, and
// wbemcli reads the controllers' objects through the pass-through provider. Then the runs that
// follow: the state flipped from "ready", the same firmware not fetched again, the node count
// changed (re-staged from the boot-bank archive), changed firmware fetched again over what a
// failed run left behind, two runs at once, 16 runs finding the state "processing", and the
// restricted-association mode fetching its four classes. What schemapull did is read from its
// state file, its staging area and the controller log it writes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using e2e::Result;

const char kState[] = "/etc/cim/qelvo/tavik_fw_schema";
const char kLog[] = "/tmp/QELVOTAVIKLog.log";
const char kStage[] = "/tmp/tpp/stage/";

std::map<std::string, std::string> State() {
  std::map<std::string, std::string> out;
  for (const std::string &l : e2e::Lines(e2e::ReadFile(kState))) {
    char key[101] = {}, value[101] = {};
    if (std::sscanf(l.c_str(), "%100[^ =] = \"%100[^\"]\"", key, value) == 2) out[key] = value;
  }
  return out;
}

void WriteState(const std::string &state, const std::string &version, const std::string &nodes,
                const std::string &times) {
  ASSERT_TRUE(e2e::WriteFile(kState, "SCHEMA_STATE = \"" + state + "\"\nFW_VERSION = \"" + version +
                                         "\"\nTAVIK_NODE_NUM = \"" + nodes + "\"\nPROCESSING_TIMES = \"" + times +
                                         "\"\n"));
}

size_t Count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// One run of schemapull with a fresh controller log; waits for the child it forks (the state
// leaves "processing"). The run's exit status; the log in *log.
int Pull(std::string *log, double *seconds = nullptr) {
  std::remove(kLog);
  const auto start = std::chrono::steady_clock::now();
  const Result r = e2e::Run({"schemapull"}, 120);
  EXPECT_FALSE(r.timed_out) << r.Describe();
  EXPECT_TRUE(e2e::Eventually([] { return State()["SCHEMA_STATE"] != "processing"; }, 600))
      << e2e::ReadFile(kState);
  // The child's last line comes after its last state write.
  e2e::Eventually([] { return e2e::Run({"pgrep", "-x", "schemapull"}).status != 0; }, 60);
  if (seconds != nullptr)
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  *log = e2e::ReadFile(kLog);
  return r.status;
}

// The classes of a registration file as "Class|type line|cimv2" and "...|interop", for the
// kinds of namespace each stanza names.
std::set<std::string> Registered(const std::string &reg) {
  std::set<std::string> out;
  std::string cls, type;
  for (const std::string &l : e2e::Lines(reg)) {
    if (l[0] == '[') cls = l.substr(1, l.size() - 2);
    else if (l.find("type:") != std::string::npos) type = l;
    else if (l.find("namespace:") != std::string::npos)
      for (const char *kind : {"cimv2", "interop"})
        if (l.find(kind) != std::string::npos) out.insert(cls + "|" + type + "|" + kind);
  }
  return out;
}

std::vector<e2e::Object> Instances(const std::string &ns_class) {
  const Result r = e2e::Wbem("ei", ns_class, {}, {"-nl"});
  EXPECT_EQ(0, r.status) << r.Describe();
  return e2e::ParseObjects(r.out);
}

// The staging is loaded and serves both nodes' controllers: their classes and their objects.
void ExpectServed(const std::string &version, const std::string &firmware_id) {
  const Result load = e2e::Run({"simhost-stage-load", "--bootbank"}, 300);
  ASSERT_EQ(0, load.status) << load.Describe();
  EXPECT_EQ(0, access("/var/lib/sfcb/registration/repository/qelvo/tavik0", F_OK));
  EXPECT_EQ(0, access("/bootbank/cimstgc.tgz", F_OK));
  for (int node : {0, 1}) {
    const std::string n = "qelvo/tavik" + std::to_string(node);
    SCOPED_TRACE(n);
    const Result ecn = e2e::Wbem("ecn", n + "/cimv2:CIM_ManagedElement");
    EXPECT_EQ(0, ecn.status) << ecn.Describe();
    for (const char *cls : {"Qelvo_ManagementController", "CIM_SoftwareIdentity", "Qelvo_LoopbackService"})
      EXPECT_NE(std::string::npos, ecn.out.find(cls)) << ecn.out;
    bool found = false;
    for (const e2e::Object &o : Instances(n + "/cimv2:CIM_SoftwareIdentity"))
      if (o.Get("InstanceID") == firmware_id) found = o.Get("VersionString") == version;
    EXPECT_TRUE(found) << firmware_id << " " << version;
    std::set<std::string> names;
    for (const e2e::Object &o : Instances(n + "/interop:CIM_Namespace")) names.insert(o.Get("Name"));
    EXPECT_EQ((std::set<std::string>{"root/cimv2", "root/interop"}), names);
  }
}

TEST(SchemaPull, FirstGenerationImportAndTheRunsAfter) {
  ASSERT_TRUE(e2e::WriteFile("/tmp/QELVOTAVIKLOG", ""));
  // Before any import the host knows nothing of the controllers.
  EXPECT_EQ(std::string::npos, e2e::Wbem("ecn", "qelvo/tavik1/cimv2:CIM_ManagedElement").out.find("Qelvo_ManagementController"));

  std::string log;
  double seconds = 0;
  ASSERT_EQ(0, Pull(&log, &seconds));
  auto st = State();
  EXPECT_EQ("ready", st["SCHEMA_STATE"]) << log;
  EXPECT_EQ("1.42", st["FW_VERSION"]);
  EXPECT_EQ("2", st["TAVIK_NODE_NUM"]);
  EXPECT_EQ("0", st["PROCESSING_TIMES"]);
  EXPECT_EQ(1u, Count(log, "Get Tavik schema: parent exit"));
  const size_t classes = Count(log, "get_class_schema: enter, get class name");
  std::printf("schema import: %zu classes of 2 namespaces in %.2f s (%.1f ms a class)\n", classes, seconds,
              classes > 0 ? 1000.0 * seconds / static_cast<double>(classes) : 0.0);

  // Staged as the build stages the controller's schema for the pass-through: the same classes,
  // the same kinds, every node named.
  const std::string reg = e2e::ReadFile(std::string(kStage) + "regs/qelvotpp.reg");
  const auto expected = Registered(e2e::ReadFile(std::string(std::getenv("SIMHOST_BUILD")) + "/bmcrelay/stage/regs/qelvotpp.reg"));
  EXPECT_EQ(expected, Registered(reg));
  EXPECT_EQ(expected.size(), classes);
  EXPECT_NE(std::string::npos, reg.find("   namespace: qelvo/tavik0/cimv2 qelvo/tavik1/cimv2\n"));
  EXPECT_NE(std::string::npos, reg.find("   namespace: qelvo/tavik0/interop qelvo/tavik1/interop\n"));
  for (const char *f : {"mofs/qelvo/tavik0/cimv2/cimv2.mof", "mofs/qelvo/tavik1/interop/interop.mof"})
    EXPECT_EQ(0, access((std::string(kStage) + f).c_str(), F_OK)) << f;
  EXPECT_NE(0, access("/tmp/tpp/stage_tmp", F_OK));
  ASSERT_NO_FATAL_FAILURE(ExpectServed("1.42", "Tavik"));

  // "ready" flips to "check"; the run after it finds the same firmware and the repository loaded.
  EXPECT_EQ(1, Pull(&log));
  EXPECT_EQ("check", State()["SCHEMA_STATE"]);
  EXPECT_EQ(0, Pull(&log));
  EXPECT_EQ(1u, Count(log, "register file already file exist")) << log;
  EXPECT_EQ(0u, Count(log, "get class name"));
  EXPECT_EQ("check", State()["SCHEMA_STATE"]);

  // Staged for one node before: the two are staged from the boot-bank archive, nothing fetched.
  WriteState("check", "1.42", "1", "0");
  ASSERT_EQ(0, e2e::Sh("rm -rf /tmp/tpp").status);
  EXPECT_EQ(0, Pull(&log));
  EXPECT_EQ(0u, Count(log, "get class name")) << log;
  EXPECT_EQ(1u, Count(log, "porpulate_tavik_reposity successfully, exit"));
  EXPECT_EQ("ready", State()["SCHEMA_STATE"]);
  EXPECT_EQ("2", State()["TAVIK_NODE_NUM"]);
  EXPECT_EQ(Registered(reg), Registered(e2e::ReadFile(std::string(kStage) + "regs/qelvotpp.reg")));
  EXPECT_NE(std::string::npos, e2e::ReadFile(std::string(kStage) + "regs/qelvotpp.reg")
                                   .find("   namespace: qelvo/tavik0/cimv2 qelvo/tavik1/cimv2\n"));
  EXPECT_EQ(0, access("/tmp/tpp/stage/mofs/qelvo/tavik1/cimv2/cimv2.mof", F_OK));

  // New firmware, two runs at once, over what a failed run left in the conversion area: one run
  // imports, the other only counts, and nothing left over reaches the staging area.
  const Result restart = e2e::Run({"simhost-nodes-restart", "--", "--firmware", "2.07"}, 300);
  ASSERT_EQ(0, restart.status) << restart.Describe();
  WriteState("check", "1.42", "2", "0");
  ASSERT_EQ(0, e2e::Sh("mkdir -p /tmp/tpp/stage_tmp/mofs/qelvo/tavik0/cimv2").status);
  ASSERT_TRUE(e2e::WriteFile("/tmp/tpp/stage_tmp/mofs/qelvo/tavik0/cimv2/cimv2.mof", "class Left_Over {\n};\n"));
  std::remove(kLog);
  const Result both = e2e::Sh("schemapull & schemapull & wait", 120);
  EXPECT_EQ(0, both.status) << both.Describe();
  ASSERT_TRUE(e2e::Eventually([] { return State()["SCHEMA_STATE"] != "processing"; }, 600));
  e2e::Eventually([] { return e2e::Run({"pgrep", "-x", "schemapull"}).status != 0; }, 60);
  log = e2e::ReadFile(kLog);
  EXPECT_EQ(1u, Count(log, "child process enter.")) << log;
  EXPECT_EQ(1u, Count(log, "Get Tavik schema: status is processing"));
  st = State();
  EXPECT_EQ("ready", st["SCHEMA_STATE"]) << log;
  EXPECT_EQ("2.07", st["FW_VERSION"]);
  EXPECT_EQ("01", st["PROCESSING_TIMES"]);
  EXPECT_EQ(classes, Count(log, "get class name"));
  EXPECT_EQ(std::string::npos, e2e::ReadFile("/tmp/tpp/stage/mofs/qelvo/tavik0/cimv2/cimv2.mof").find("Left_Over"));
  ASSERT_NO_FATAL_FAILURE(ExpectServed("2.07", "Tavik"));

  // Sixteen runs that find another still working: each only counts, and the sixteenth gives up
  // on it and starts over.
  WriteState("processing", "2.07", "2", "0");
  for (int run = 1; run <= 16; ++run) {
    const Result r = e2e::Run({"schemapull"}, 120);
    EXPECT_EQ(0, r.status) << run << r.Describe();
    char times[12];
    std::snprintf(times, sizeof times, "%02d", run <= 15 ? run : 0);
    st = State();
    EXPECT_EQ(run <= 15 ? "processing" : "check", st["SCHEMA_STATE"]) << run;
    EXPECT_EQ(times, st["PROCESSING_TIMES"]) << run;
    EXPECT_EQ(run <= 15, access("/tmp/tpp/stage", F_OK) == 0) << run;
  }
}

TEST(SchemaPull, SecondGenerationImportAndRestrictedMode) {
  const Result restart = e2e::Run({"simhost-nodes-restart", "--generation", "2"}, 300);
  ASSERT_EQ(0, restart.status) << restart.Describe();
  ASSERT_TRUE(e2e::WriteFile("/tmp/QELVOTAVIKLOG", ""));
  std::string log;
  ASSERT_EQ(0, Pull(&log));
  EXPECT_EQ("ready", State()["SCHEMA_STATE"]) << log;
  // Two firmware banks: the running one (the primary, listed second) gives the version.
  EXPECT_EQ("1.42", State()["FW_VERSION"]);
  EXPECT_EQ(1u, Count(log, "It is testing Tavikv2  find the target instanceID   CIM:Qelvo:Tavik:Primary")) << log;
  ASSERT_NO_FATAL_FAILURE(ExpectServed("1.42", "CIM:Qelvo:Tavik:Primary"));

  // Restricted-association mode: only its four classes are fetched and staged.
  ASSERT_TRUE(e2e::WriteFile("/tmp/CERT_FLAG", ""));
  WriteState("check", "0.1", "2", "0");
  ASSERT_EQ(0, Pull(&log));
  EXPECT_EQ("ready", State()["SCHEMA_STATE"]) << log;
  EXPECT_EQ(2u, Count(log, "get_class_schema new: enter, namespace is"));
  std::set<std::string> staged;
  for (const std::string &c : Registered(e2e::ReadFile(std::string(kStage) + "regs/qelvotpp.reg")))
    staged.insert(c.substr(0, c.find('|')));
  EXPECT_EQ((std::set<std::string>{"CIM_InstalledSoftwareIdentity", "CIM_SoftwareIdentity", "Qelvo_ComputerSystem",
                                   "Qelvo_ManagementController"}),
            staged);
  const std::string mof = e2e::ReadFile("/tmp/tpp/stage/mofs/qelvo/tavik1/cimv2/cimv2.mof");
  EXPECT_EQ(4u, Count(mof, "\nclass ")) << mof;
}

}  // namespace
