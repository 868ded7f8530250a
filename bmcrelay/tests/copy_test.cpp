// The pass-through provider's copies between controller and host objects, its namespace
// translation and its node table, in-process. The host broker is the native one behind a
// counting wrapper, so that a test sees which objects the copies made through it.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "multinode.h"
#include "provider_harness.h"
#include "tpp.h"

namespace {

using cmpiharness::Path;
using cmpiharness::PathText;
using cmpiharness::Value;

// The host broker: native objects, each constructor call counted by kind.
struct CountingBroker {
  CMPIBroker *real = nullptr;
  CMPIBrokerEncFT eft{};
  CMPIBroker broker{};
  static inline std::map<std::string, int> made;
  static inline CMPIBroker *inner = nullptr;

  explicit CountingBroker(cmpinative::Router *router) : real(cmpinative::new_broker(router)) {
    inner = real;
    eft = *real->eft;
    eft.newObjectPath = [](const CMPIBroker *, const char *ns, const char *cn, CMPIStatus *rc) {
      ++made["path"];
      return inner->eft->newObjectPath(inner, ns, cn, rc);
    };
    eft.newInstance = [](const CMPIBroker *, const CMPIObjectPath *op, CMPIStatus *rc) {
      ++made["instance"];
      return inner->eft->newInstance(inner, op, rc);
    };
    eft.newArray = [](const CMPIBroker *, CMPICount n, CMPIType t, CMPIStatus *rc) {
      ++made["array"];
      return inner->eft->newArray(inner, n, t, rc);
    };
    eft.newDateTimeFromBinary = [](const CMPIBroker *, CMPIUint64 t, CMPIBoolean interval, CMPIStatus *rc) {
      ++made["datetime"];
      return inner->eft->newDateTimeFromBinary(inner, t, interval, rc);
    };
    broker = *real;
    broker.eft = &eft;
    made.clear();
  }
  ~CountingBroker() { cmpinative::delete_broker(real); }
};

class Copy : public ::testing::Test {
 protected:
  void SetUp() override {
    live_ = cmpinative::live_objects();
    _broker = &counting_.broker;
  }
  void TearDown() override {
    _broker = nullptr;
    scope_.reset();
    EXPECT_EQ(live_, cmpinative::live_objects()) << "objects were leaked";
  }
  cmpiharness::Router router_;
  CountingBroker counting_{&router_};
  long live_ = 0;
  std::unique_ptr<cmpinative::RequestScope> scope_ = std::make_unique<cmpinative::RequestScope>();
};

TEST_F(Copy, ControllerValuesBecomeHostObjectsInTheNodesNamespace) {
  auto software = Path("root/cimv2", "CIM_SoftwareIdentity", {{"InstanceID", "Tavik"}});
  auto controller =
      Path("root/cimv2", "Qelvo_ManagementController",
           {{"CreationClassName", "Qelvo_ManagementController"}, {"Name", "TAVIK-1"}, {"Spare", Value()}});
  auto link = Path("root/interop", "CIM_ElementSoftwareIdentity",
                   {{"Antecedent", Value::Ref(software.get())}, {"Dependent", Value::Ref(controller.get())}});
  auto inst = cmpiharness::Instance(
      link.get(), {{"Elements", Value::Array(CMPI_ref, {Value::Ref(software.get()), Value::Ref(controller.get())})},
                   {"Since", Value::DateTime(90061000005ULL, true)},
                   {"Note", "kept as it is"}});
  auto foreign = Path("root/other", "X_Thing", {{"Id", "1"}});
  struct Case {
    const char *what;
    Value source;
    int id;
    std::map<std::string, int> made;  // host objects the copy must make, by kind
    std::string text;                 // of the copy
  } cases[] = {
      {"a reference in root/interop, its nested references translated and a null key dropped", Value::Ref(link.get()),
       1, {{"path", 3}},
       PathText(Path("qelvo/tavik1/interop", "CIM_ElementSoftwareIdentity",
                     {{"Dependent", Value::Ref(Path("qelvo/tavik1/cimv2", "Qelvo_ManagementController",
                                                    {{"Name", "TAVIK-1"}, {"CreationClassName",
                                                                           "Qelvo_ManagementController"}})
                                                   .get())},
                      {"Antecedent", Value::Ref(Path("qelvo/tavik1/cimv2", "CIM_SoftwareIdentity",
                                                     {{"InstanceID", "Tavik"}})
                                                    .get())}})
                    .get())},
      {"a reference outside the two namespaces keeps its namespace", Value::Ref(foreign.get()), 2, {{"path", 1}},
       "root/other:X_Thing.Id=\"1\""},
      {"an interval", Value::DateTime(90061000005ULL, true), 0, {{"datetime", 1}}, "00000001010101.000005:000"},
      {"a string", "text", 3, {}, "text"},
      {"an array of references", Value::Array(CMPI_ref, {Value::Ref(software.get()), Value()}), 2,
       {{"array", 1}, {"path", 1}}, ""},
      {"an instance with an array of references", Value::Instance(inst.get()), 2,
       {{"instance", 1}, {"array", 1}, {"path", 5}, {"datetime", 1}}, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    CountingBroker::made.clear();
    CMPIStatus st = {CMPI_RC_OK, nullptr};
    CMPIData out = {};
    ASSERT_EQ(CMPI_RC_OK, util_data_copy(&c.source.data(), &out, &st, c.id));
    EXPECT_EQ(c.source.type(), out.type);
    EXPECT_EQ(c.made, CountingBroker::made) << "every nested object is rebuilt through the host broker";
    if (!c.text.empty()) {
      EXPECT_EQ(c.text, cmpiharness::Text(out));
    }
    if (out.type == CMPI_dateTime) {
      EXPECT_TRUE(CMIsInterval(out.value.dateTime, nullptr));
    }
    if (out.type == (CMPI_ref | CMPI_ARRAY)) {
      const auto elements = cmpiharness::Elements(Value::Of(out));
      ASSERT_EQ(2u, elements.size());
      EXPECT_EQ("qelvo/tavik2/cimv2:CIM_SoftwareIdentity.InstanceID=\"Tavik\"", cmpiharness::Text(elements[0].data()));
      EXPECT_TRUE(elements[1].is_null());
    }
    if (out.type == CMPI_instance) {
      EXPECT_EQ("qelvo/tavik2/interop", cmpiharness::NameSpace(cmpiharness::PathOf(out.value.inst).get()));
      EXPECT_EQ("kept as it is", cmpiharness::PropertyText(out.value.inst, "Note"));
      const auto refs = cmpiharness::ElementTexts(cmpiharness::PropertyOf(out.value.inst, "Elements"));
      ASSERT_EQ(2u, refs.size());
      for (const std::string &r : refs) EXPECT_EQ(0u, r.find("qelvo/tavik2/cimv2:")) << r;
      EXPECT_TRUE(CMIsInterval(cmpiharness::PropertyOf(out.value.inst, "Since").data().value.dateTime, nullptr));
    }
  }
}

TEST_F(Copy, HostObjectsBecomeClientObjectsInTheControllersNamespace) {
  auto software = Path("qelvo/tavik1/cimv2", "CIM_SoftwareIdentity", {{"InstanceID", "Tavik"}});
  auto link = Path("qelvo/tavik1/interop", "CIM_ElementSoftwareIdentity",
                   {{"Antecedent", Value::Ref(software.get())}, {"Gone", Value()}});
  CMPIData broken = {CMPI_ref, CMPI_goodValue, {}};  // a reference without its path
  auto inst = cmpiharness::Instance(link.get(), {{"Refs", Value::Array(CMPI_ref, {Value::Ref(software.get())})},
                                                 {"When", Value::DateTime(5, true)}});
  CountingBroker::made.clear();
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  CMPIObjectPath *op = nullptr;
  ASSERT_NE(nullptr, util_new_objpath_from_old(&op, link.get(), &st));
  EXPECT_EQ("root/interop:CIM_ElementSoftwareIdentity.Antecedent=\"root/cimv2:CIM_SoftwareIdentity.InstanceID="
            "\\\"Tavik\\\"\"",
            PathText(op));
  CMPIInstance *ci = util_new_inst_from_old(nullptr, inst.get(), &st);
  ASSERT_NE(nullptr, ci);
  EXPECT_EQ("root/interop", cmpiharness::NameSpace(cmpiharness::PathOf(ci).get()));
  EXPECT_EQ(std::vector<std::string>{"root/cimv2:CIM_SoftwareIdentity.InstanceID=\"Tavik\""},
            cmpiharness::ElementTexts(cmpiharness::PropertyOf(ci, "Refs")));
  EXPECT_TRUE(CMIsInterval(cmpiharness::PropertyOf(ci, "When").data().value.dateTime, nullptr));
  CMPIData out = {};
  ASSERT_NE(nullptr, util_sfcc_single_data_copy(&broken, &out, &st));
  EXPECT_TRUE(out.state & CMPI_nullValue) << "a reference without its path is passed on as null";
  EXPECT_TRUE(CountingBroker::made.empty()) << "client objects are never made by the host broker";
  CMRelease(op);
  CMRelease(ci);
}

TEST(TppNamespace, TranslationAndNodeIds) {
  struct Case {
    const char *ns;
    int direction, id;
    int rc;
    const char *out;
    int node;  // util_get_id_from_ns
  } cases[] = {
      {"qelvo/tavik2/interop", TPP_TO_CONTROLLER, 0, 0, "root/interop", 2},
      {"root/interop", TPP_TO_HOST, 2, 0, "qelvo/tavik2/interop", -1},
      {"root/cimv2", TPP_TO_HOST, 3, 0, "qelvo/tavik3/cimv2", -1},
      {"qelvo/tavik0/root", TPP_TO_CONTROLLER, 0, 0, "qelvo/tavik0/root", 0},
      {"root/cimv2x", TPP_TO_HOST, 1, 0, "root/cimv2x", -1},
      {"root/cimv2", TPP_TO_CONTROLLER, 0, 0, "", -1},
      {"qelvo/tavik/cimv2", TPP_TO_CONTROLLER, 0, 0, "root/cimv2", -1},
      {"qelvo/tavikx/interop", TPP_TO_CONTROLLER, 0, 0, "root/interop", 'x' - '0'},  // no digit check
      {"qelvo/tavik4/cimv2", TPP_TO_CONTROLLER, 0, 0, "root/cimv2", 4},
      {"qelvo/tavik0/a-namespace-whose-name-is-longer-than-the-buffer", TPP_TO_CONTROLLER, 0, -1, "", 0},
      {"root/a-controller-namespace-longer-than-the-buffer-holds", TPP_TO_HOST, 0, -1, "", -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.ns);
    char out[TPP_NS_BUFFER_SIZE] = {};
    EXPECT_EQ(c.rc, util_change_namespce(c.ns, out, sizeof out, c.direction, c.id));
    EXPECT_STREQ(c.out, out);
    EXPECT_EQ(c.node, util_get_id_from_ns(c.ns));
  }
  char bind_addr[TPP_FIELD_SIZE] = "untouched";
  for (int id : {-1, 4, 49})
    EXPECT_EQ(-1, get_intf_from_id(bind_addr, sizeof bind_addr, nullptr, 0, id)) << id;
  EXPECT_STREQ("untouched", bind_addr);
}

TEST(TppNodeTable, SlotsFromThePartitionDescriptor) {
  node_entry nodes[6] = {};
  const struct {
    unsigned char logical_id;
    const char *dev;
  } layout[] = {{1, "/dev/ipmi1"}, {255, "/dev/ipmi0"}, {0, ""}, {4, "/dev/ipmi4"}, {2, ""},
                {3, "/dev/ipmidev/with-a-long-name"}};
  for (int i = 0; i < 6; ++i) {
    nodes[i].logical_id = layout[i].logical_id;
    std::strcpy(nodes[i].dev_path, layout[i].dev);
  }
  multinode_info info = {};
  info.parsed_complex.complex_node_count = 6;
  info.parsed_complex.node_list = nodes;
  char lan[TPP_SLOT_COUNT][TPP_FIELD_SIZE] = {};
  char dev[TPP_SLOT_COUNT][TPP_FIELD_SIZE] = {};
  util_fill_node_table(&info, lan, dev);
  // 255 is slot 0, and a node no device reaches (another partition's logical id 0) does not take
  // it; id 4 has no slot; a device path too long for its field is left out, not cut.
  const char *want_lan[] = {"169.254.95.101", "169.254.96.101", "169.254.97.101", "169.254.98.101"};
  const char *want_dev[] = {"/dev/ipmi0", "/dev/ipmi1", "", ""};
  for (int s = 0; s < TPP_SLOT_COUNT; ++s) {
    EXPECT_STREQ(want_lan[s], lan[s]) << s;
    EXPECT_STREQ(want_dev[s], dev[s]) << s;
  }
}

}  // namespace
