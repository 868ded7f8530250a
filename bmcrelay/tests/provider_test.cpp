// QelvoTPP loaded as the host CIMOM loads it, against two simulated controllers with their
// CIMOMs: what reaches the controllers (flags, queries, method arguments, the restricted
// association defaults), the statuses and messages of every failure, and the schema check. This
// program stands in for the CIMOM's process: it exports getConstClass, answered from g_unknown.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmpi_host.h>

#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>

#include "controller_host.h"
#include "ipmi_testing.h"
#include "netns_testing.h"
#include "nsfixture.h"
#include "provider_harness.h"
#include "tavik_log.h"
#include "tpp.h"

namespace {

std::mutex g_mu;
std::set<std::string> g_unknown;  // classes the host repository does not hold

}  // namespace

extern "C" __attribute__((visibility("default"))) CMPIConstClass *getConstClass(const char *, const char *cn) {
  static int found;
  std::lock_guard<std::mutex> lock(g_mu);
  return cn != nullptr && g_unknown.count(cn) == 0 ? reinterpret_cast<CMPIConstClass *>(&found) : nullptr;
}

namespace {

using cmpiharness::Outcome;
using cmpiharness::Path;
using cmpiharness::Value;

std::string ReadAll(const std::string &path) {
  std::ifstream in(path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void SetUnknown(std::set<std::string> classes) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_unknown = std::move(classes);
}

// The InstanceIDs of an outcome's instances, or the class names of its paths.
std::multiset<std::string> Ids(const Outcome &o) {
  std::multiset<std::string> out;
  for (size_t i = 0; i < o.instances.size(); ++i) out.insert(o.PropertyText(i, "InstanceID"));
  for (const CMPIObjectPath *p : o.paths) out.insert(cmpiharness::ClassName(p));
  return out;
}

cmpiharness::PathPtr Controller(int node) {
  return Path("qelvo/tavik" + std::to_string(node) + "/cimv2", "Qelvo_ManagementController",
              {{"CreationClassName", "Qelvo_ManagementController"}, {"Name", "TAVIK-" + std::to_string(node)}});
}

cmpiharness::PathPtr Software(const std::string &ns, const std::string &id) {
  return Path(ns, "CIM_SoftwareIdentity", {{"InstanceID", id}});
}

TEST(QelvoTPP, ForwardsToTheControllerOfEachNode) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    ASSERT_NO_FATAL_FAILURE(nettest::EnterNewNetns());
    tavikt::HostOptions options;
    options.nodes = 2;
    tavikt::ControllerHost host(options);
    ASSERT_TRUE(host.ok()) << host.error();
    std::ofstream(TAVIK_LOG_FLAG_FILE) << "";
    std::string err;
    auto p = cmpiharness::Provider::Load(std::string(QELVO_PROVIDER_DIR) + "/libbmcrelay.so", "QelvoTPP", nullptr,
                                         &err);
    ASSERT_TRUE(p) << err;

    // A filtered class answers nothing, without a word to the controller.
    Outcome o = p->EnumInstances("qelvo/tavik0/cimv2", "CIM_ComputerSystem");
    EXPECT_TRUE(o.ok() && o.instances.empty() && o.done_count == 0) << o.Describe();
    std::string log = ReadAll(TAVIK_LOG_FILE);
    EXPECT_NE(std::string::npos, log.find("TPP:QelvoTPPEnumInstanceNames filte class CIM_ComputerSystem")) << log;
    EXPECT_EQ(std::string::npos, log.find("check_schema")) << log;

    // The invocation flags reach the controller: without DeepInheritance the subclass instance
    // comes without its own property.
    const std::multiset<std::string> software = {"Tavik", "BIOS", "Diagnostics", "Qelvo:Pending:1"};
    for (CMPIUint32 flags : {0u, unsigned(CMPI_FLAG_DeepInheritance)}) {
      p->SetContextEntry(CMPIInvocationFlags, Value::Uint32(flags));
      o = p->EnumInstances("qelvo/tavik1/cimv2", "CIM_SoftwareIdentity");
      ASSERT_TRUE(o.ok()) << o.Describe();
      EXPECT_EQ("", o.message);
      EXPECT_EQ(software, Ids(o));
      const CMPIInstance *pending = o.Find("InstanceID", "Qelvo:Pending:1");
      ASSERT_NE(nullptr, pending);
      EXPECT_EQ(flags != 0, cmpiharness::HasProperty(pending, "ReceivedDate")) << flags;
      EXPECT_EQ("qelvo/tavik1/cimv2", cmpiharness::NameSpace(cmpiharness::PathOf(pending).get()));
    }

    // A result of a class the host does not know: success, with the message.
    SetUnknown({"Qelvo_PendingSoftwareIdentity"});
    o = p->EnumInstanceNames("qelvo/tavik1/cimv2", "CIM_SoftwareIdentity");
    EXPECT_TRUE(o.ok()) << o.Describe();
    EXPECT_EQ("Mismatch schemas with Tavik", o.message);
    EXPECT_EQ(4u, o.paths.size());
    o = p->GetInstance(Path("qelvo/tavik1/cimv2", "Qelvo_PendingSoftwareIdentity", {{"InstanceID", "Qelvo:Pending:1"}})
                           .get(),
                       {"VersionString"});
    EXPECT_TRUE(o.ok() && o.message.empty() && o.instances.size() == 1) << "GetInstance checks no schema";
    EXPECT_EQ("9.90", o.PropertyText(0, "VersionString"));
    EXPECT_FALSE(cmpiharness::HasProperty(o.instances[0], "ElementName")) << "the property list reaches the controller";
    SetUnknown({});

    // A query goes as it is.
    o = p->ExecQuery("qelvo/tavik0/cimv2", "CIM_SoftwareIdentity",
                     "SELECT * FROM CIM_SoftwareIdentity WHERE InstanceID = 'BIOS'");
    EXPECT_EQ(std::multiset<std::string>{"BIOS"}, Ids(o)) << o.Describe();

    // A reference, a list and an interval go to node 1's controller and come back for the host.
    auto loop = Path("qelvo/tavik1/cimv2", "Qelvo_LoopbackService",
                     {{"SystemCreationClassName", "Qelvo_ManagementController"}, {"SystemName", "TAVIK-1"},
                      {"CreationClassName", "Qelvo_LoopbackService"}, {"Name", "Loopback"}});
    auto bios = Software("qelvo/tavik1/cimv2", "BIOS");
    auto in = cmpiharness::Args({{"Element", Value::Ref(bios.get())},
                                 {"Lines", Value::Strings({"a", "b,c"})},
                                 {"Interval", Value::DateTime(3723000004ULL, true)}});
    o = p->InvokeMethod(loop.get(), "Loopback", in.get());
    ASSERT_TRUE(o.ok()) << o.Describe();
    EXPECT_EQ("0", cmpiharness::Text(o.Return().data()));
    EXPECT_EQ(1, o.done_count);
    EXPECT_EQ(cmpiharness::PathText(bios.get()), cmpiharness::Text(o.Out("Element").data()));
    EXPECT_EQ((std::vector<std::string>{"a", "b,c"}), cmpiharness::ElementTexts(o.Out("Lines")));
    EXPECT_EQ("00000000010203.000004:000", cmpiharness::Text(o.Out("Interval").data()));

    // Failures: no node, no node id, the controller's own, and foreign namespaces.
    auto inst = cmpiharness::Instance(Path("qelvo/tavik3/cimv2", "Qelvo_AlertRecipient", {{"Name", "x"}}).get());
    auto none = Path("qelvo/tavik/cimv2", "Qelvo_LoopbackService");
    // A letter for the node id makes an id that names no node, not a negative one.
    auto letter = Path("qelvo/tavikx/cimv2", "Qelvo_LoopbackService");
    auto elsewhere = Controller(0);
    elsewhere->ft->setNameSpace(elsewhere.get(), "root/cimv2");
    struct Case {
      const char *what;
      Outcome outcome;
      CMPIrc rc;
      const char *message;
    } cases[] = {
        {"GetInstance, no node 3", p->GetInstance(Software("qelvo/tavik3/cimv2", "BIOS").get()),
         CMPI_RC_ERR_ACCESS_DENIED, "Fails to connect to Tavik"},
        {"ModifyInstance, no node 3", p->ModifyInstance(inst.get()), CMPI_RC_ERR_ACCESS_DENIED,
         "Fails to connect to Tavik"},
        {"DeleteInstance, no node 3", p->DeleteInstance(cmpiharness::PathOf(inst.get()).get()),
         CMPI_RC_ERR_ACCESS_DENIED, "Fails to connect to Tavik"},
        {"InvokeMethod, no node id", p->InvokeMethod(none.get(), "Loopback"), CMPI_RC_ERR_ACCESS_DENIED,
         "Invalid namespace"},
        {"ReferenceNames, no node id", p->ReferenceNames(none.get()), CMPI_RC_ERR_ACCESS_DENIED, "Invalid namespace"},
        {"InvokeMethod, a letter for the node", p->InvokeMethod(letter.get(), "Loopback"), CMPI_RC_ERR_ACCESS_DENIED,
         "Fails to connect to Tavik"},
        {"ReferenceNames, a letter for the node", p->ReferenceNames(letter.get()), CMPI_RC_ERR_ACCESS_DENIED,
         "Fails to connect to Tavik"},
        {"a namespace too long for the controller's", p->EnumInstances("qelvo/tavik0/" + std::string(40, 'n'), "X"),
         CMPI_RC_ERR_ACCESS_DENIED, "Invalid namespace"},
        {"Associators outside the controllers' namespaces", p->Associators(elsewhere.get()), CMPI_RC_OK, ""},
        {"the controller's own failure",
         p->DeleteInstance(Path("qelvo/tavik0/cimv2", "Qelvo_AlertRecipient", {{"Name", "nobody"}}).get()),
         CMPI_RC_ERR_NOT_FOUND, nullptr},
    };
    for (const Case &c : cases) {
      SCOPED_TRACE(c.what);
      EXPECT_EQ(c.rc, c.outcome.rc) << c.outcome.Describe();
      if (c.message != nullptr) EXPECT_EQ(c.message, c.outcome.message);
      else EXPECT_NE("", c.outcome.message) << "the controller's message is passed on";
      EXPECT_TRUE(c.outcome.instances.empty() && c.outcome.paths.empty() && c.outcome.done_count == 0);
    }

    // Restricted-association mode: only three source classes, with the defaults filled in.
    auto tavik = Software("qelvo/tavik0/cimv2", "Tavik");
    EXPECT_EQ((std::multiset<std::string>{"CIM_ElementSoftwareIdentity", "CIM_InstalledSoftwareIdentity"}),
              Ids(p->ReferenceNames(tavik.get())));
    std::ofstream(TPP_CERT_FLAG_FILE) << "";
    o = p->Associators(Controller(0).get());
    EXPECT_EQ(std::multiset<std::string>{"Tavik"}, Ids(o)) << "through CIM_ElementSoftwareIdentity only";
    ASSERT_EQ(1u, o.instances.size());
    EXPECT_EQ("qelvo/tavik0/cimv2", cmpiharness::NameSpace(cmpiharness::PathOf(o.instances[0]).get()));
    EXPECT_EQ(std::multiset<std::string>{"CIM_InstalledSoftwareIdentity"}, Ids(p->ReferenceNames(tavik.get())))
        << "in the role InstalledSoftware only";
    o = p->AssociatorNames(Path("qelvo/tavik0/cimv2", "CIM_BIOSAttribute", {{"InstanceID", "Tavik:BIOS:Turbo"}}).get());
    EXPECT_EQ(CMPI_RC_ERR_ACCESS_DENIED, o.rc);
    EXPECT_EQ("Fails to connect to Tavik", o.message);
    unlink(TPP_CERT_FLAG_FILE);
  });
}

}  // namespace
