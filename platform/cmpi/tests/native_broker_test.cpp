/* The native broker: up-calls through a Router, factories and helpers,
 * status messages, and the operating-system services. */
#include <cmpidt.h>
#include <cmpift.h>
#include <cmpimacs.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cmpi_native.h"

using cmpinative::data_to_string;
using cmpinative::live_objects;
using cmpinative::RequestScope;

namespace {

std::string Text(const CMPIString *s) { return s != nullptr ? CMGetCharPtr(s) : "<null>"; }

std::vector<std::string> Names(const char **list) {
  std::vector<std::string> r;
  for (; list != nullptr && *list != nullptr; ++list) r.push_back(*list);
  return r;
}

/* Answers up-calls as configured and records what it was asked. The objects
 * it returns are made in a request scope of its own, as a provider called
 * by a CIMOM would make them. */
class FakeRouter : public cmpinative::Router {
 public:
  const CMPIBroker *broker = nullptr;
  CMPIrc rc = CMPI_RC_OK;
  std::string message;
  int count = 2;  // objects to return
  bool fail_hard = false;
  /* Set: the message is a string the router owns and releases on its next
   * call (or with ForgetMessage), so the caller must get a copy. */
  bool own_message = false;

  std::string op_name, path_text, filters, method, in_arg;
  std::vector<std::string> properties;
  std::string isa;

  CMPIStatus enumerateInstanceNames(const CMPIContext *, const CMPIObjectPath *op, const CMPIResult *out) override {
    return Deliver("enumerateInstanceNames", op, nullptr, out, false);
  }
  CMPIStatus enumerateInstances(const CMPIContext *, const CMPIObjectPath *op, const char **props,
                                const CMPIResult *out) override {
    return Deliver("enumerateInstances", op, props, out, true);
  }
  CMPIStatus getInstance(const CMPIContext *, const CMPIObjectPath *op, const char **props,
                         const CMPIResult *out) override {
    return Deliver("getInstance", op, props, out, true);
  }
  CMPIStatus createInstance(const CMPIContext *, const CMPIObjectPath *op, const CMPIInstance *inst,
                            const CMPIResult *out) override {
    Record("createInstance", op);
    if (rc == CMPI_RC_OK && inst != nullptr) {
      RequestScope own;
      CMReturnObjectPath(out, CMGetObjectPath(inst, nullptr));
    }
    return Finish();
  }
  CMPIStatus modifyInstance(const CMPIContext *, const CMPIObjectPath *op, const CMPIInstance *,
                            const char **props) override {
    Record("modifyInstance", op);
    properties = Names(props);
    return Finish();
  }
  CMPIStatus deleteInstance(const CMPIContext *, const CMPIObjectPath *op) override {
    Record("deleteInstance", op);
    return Finish();
  }
  CMPIStatus execQuery(const CMPIContext *, const CMPIObjectPath *op, const char *query, const char *lang,
                       const CMPIResult *out) override {
    filters = std::string(query) + "|" + lang;
    return Deliver("execQuery", op, nullptr, out, true);
  }
  CMPIStatus associators(const CMPIContext *, const CMPIObjectPath *op, const char *assocClass,
                         const char *resultClass, const char *role, const char *resultRole, const char **props,
                         const CMPIResult *out) override {
    filters = Join({assocClass, resultClass, role, resultRole});
    return Deliver("associators", op, props, out, true);
  }
  CMPIStatus associatorNames(const CMPIContext *, const CMPIObjectPath *op, const char *assocClass,
                             const char *resultClass, const char *role, const char *resultRole,
                             const CMPIResult *out) override {
    filters = Join({assocClass, resultClass, role, resultRole});
    return Deliver("associatorNames", op, nullptr, out, false);
  }
  CMPIStatus references(const CMPIContext *, const CMPIObjectPath *op, const char *resultClass, const char *role,
                        const char **props, const CMPIResult *out) override {
    filters = Join({resultClass, role});
    return Deliver("references", op, props, out, true);
  }
  CMPIStatus referenceNames(const CMPIContext *, const CMPIObjectPath *op, const char *resultClass,
                            const char *role, const CMPIResult *out) override {
    filters = Join({resultClass, role});
    return Deliver("referenceNames", op, nullptr, out, false);
  }
  CMPIStatus invokeMethod(const CMPIContext *, const CMPIObjectPath *op, const char *name, const CMPIArgs *in,
                          CMPIArgs *outArgs, const CMPIResult *out) override {
    Record("invokeMethod", op);
    method = name;
    in_arg = data_to_string(CMGetArg(in, "Input", nullptr));
    if (rc == CMPI_RC_OK) {
      RequestScope own;
      CMAddArg(outArgs, "Job", "job-1", CMPI_chars);
      CMReturnData(out, "first", CMPI_chars);
      CMReturnData(out, "second", CMPI_chars);
    }
    return Finish();
  }
  bool classIsA(const char *ns, const char *cn, const char *type) override {
    isa = Join({ns, cn, type});
    return std::string(type) == "CIM_Job";
  }

 private:
  static std::string Join(std::initializer_list<const char *> parts) {
    std::string r;
    for (const char *p : parts) r += std::string(r.empty() ? "" : "|") + (p != nullptr ? p : "(null)");
    return r;
  }

  void Record(const char *name, const CMPIObjectPath *op) {
    if (fail_hard) throw std::runtime_error("router broke");
    op_name = name;
    RequestScope own;
    path_text = Text(CMObjectPathToString(op, nullptr));
  }

  CMPIStatus Deliver(const char *name, const CMPIObjectPath *op, const char **props, const CMPIResult *out,
                     bool instances) {
    Record(name, op);
    properties = Names(props);
    if (rc == CMPI_RC_OK) {
      RequestScope own;
      for (int i = 0; i < count; ++i) {
        CMPIObjectPath *p = CMNewObjectPath(broker, "root/cimv2", "Qelvo_Job", nullptr);
        std::string id = "j" + std::to_string(i + 1);
        CMAddKey(p, "InstanceID", id.c_str(), CMPI_chars);
        if (instances) {
          CMPIInstance *inst = CMNewInstance(broker, p, nullptr);
          CMSetProperty(inst, "Name", ("job " + id).c_str(), CMPI_chars);
          CMReturnInstance(out, inst);
        } else {
          CMReturnObjectPath(out, p);
        }
      }
      CMReturnDone(out);
    }
    return Finish();
  }

  CMPIStatus Finish() {
    ForgetMessage();
    CMPIStatus st = {rc, nullptr};
    if (message.empty()) return st;
    if (own_message) {
      owned_ = native_new_CMPIString(message.c_str(), nullptr);
      st.msg = owned_;
    } else {
      st.msg = CMNewString(broker, message.c_str(), nullptr);
    }
    return st;
  }

 public:
  void ForgetMessage() {
    if (owned_ != nullptr) CMRelease(owned_);
    owned_ = nullptr;
  }
  ~FakeRouter() override { ForgetMessage(); }

 private:
  CMPIString *owned_ = nullptr;
};

class Broker : public ::testing::Test {
 protected:
  void SetUp() override {
    router_.broker = b_;
    base_ = live_objects();
    scope_.emplace();
    ctx_ = native_new_CMPIContext();
    op_ = CMNewObjectPath(b_, "root/cimv2", "Qelvo_Job", nullptr);
  }
  void TearDown() override {
    CMRelease(ctx_);
    scope_.reset();
    EXPECT_EQ(live_objects(), base_) << "native objects leaked";
  }
  ~Broker() override { cmpinative::delete_broker(b_); }

  /* The InstanceID keys or properties of what an enumeration holds. */
  std::vector<std::string> Ids(CMPIEnumeration *en, CMPIType type) {
    std::vector<std::string> ids;
    while (en != nullptr && CMHasNext(en, nullptr)) {
      CMPIData d = CMGetNext(en, nullptr);
      EXPECT_EQ(d.type, type);
      if (d.type == CMPI_instance)
        ids.push_back(data_to_string(CMGetProperty(d.value.inst, "InstanceID", nullptr)));
      else if (d.type == CMPI_ref)
        ids.push_back(data_to_string(CMGetKey(d.value.ref, "InstanceID", nullptr)));
    }
    return ids;
  }

  FakeRouter router_;
  CMPIBroker *b_ = cmpinative::new_broker(&router_, "test-broker");
  std::optional<RequestScope> scope_;
  CMPIContext *ctx_ = nullptr;
  CMPIObjectPath *op_ = nullptr;
  long base_ = 0;
};

const std::vector<std::string> kTwoJobs = {"j1", "j2"};

TEST_F(Broker, Identity) {
  EXPECT_EQ(CBBrokerVersion(b_), static_cast<unsigned>(CMPICurrentVersion));
  EXPECT_STREQ(CBBrokerName(b_), "test-broker");
  EXPECT_NE(b_->bft->brokerCapabilities & CMPI_MB_Supports_Extended_Error, 0u);
  EXPECT_EQ(CBAttachThread(b_, ctx_).rc, CMPI_RC_OK);
  EXPECT_EQ(CBDetachThread(b_, ctx_).rc, CMPI_RC_OK);

  CMAddContextEntry(ctx_, CMPIPrincipal, "root", CMPI_chars);
  CMPIContext *attached = nullptr;
  {
    RequestScope request;
    attached = CBPrepareAttachThread(b_, ctx_);
  }
  ASSERT_NE(attached, nullptr);
  EXPECT_NE(attached, ctx_);
  EXPECT_EQ(data_to_string(CMGetContextEntry(attached, CMPIPrincipal, nullptr)), "root");
  CMRelease(attached);

  CMPIInstance *ind = CMNewInstance(b_, op_, nullptr);
  EXPECT_EQ(CBDeliverIndication(b_, ctx_, "root/cimv2", ind).rc, CMPI_RC_OK);
}

TEST_F(Broker, EnumerationsHoldWhatTheRouterReturned) {
  const char *props[] = {"Name", "InstanceID", nullptr};
  CMPIStatus rc;
  CMPIEnumeration *en = b_->bft->enumerateInstances(b_, ctx_, op_, props, &rc);
  ASSERT_EQ(rc.rc, CMPI_RC_OK);
  EXPECT_EQ(rc.msg, nullptr);
  EXPECT_EQ(router_.op_name, "enumerateInstances");
  EXPECT_EQ(router_.path_text, "root/cimv2:Qelvo_Job");
  EXPECT_EQ(router_.properties, (std::vector<std::string>{"Name", "InstanceID"}));
  ASSERT_NE(en, nullptr);
  CMPIArray *all = CMToArray(en, nullptr);
  ASSERT_EQ(CMGetArrayCount(all, nullptr), 2u);
  CMPIData second = CMGetArrayElementAt(all, 1, nullptr);
  EXPECT_EQ(data_to_string(CMGetProperty(second.value.inst, "Name", nullptr)), "job j2");
  EXPECT_EQ(Ids(en, CMPI_instance), kTwoJobs);

  en = b_->bft->enumerateInstanceNames(b_, ctx_, op_, &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_OK);
  EXPECT_EQ(router_.op_name, "enumerateInstanceNames");
  EXPECT_EQ(Ids(en, CMPI_ref), kTwoJobs);

  router_.count = 0;
  en = b_->bft->enumerateInstances(b_, ctx_, op_, nullptr, &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_OK);
  ASSERT_NE(en, nullptr);
  EXPECT_FALSE(CMHasNext(en, nullptr));
  EXPECT_TRUE(router_.properties.empty());
}

TEST_F(Broker, AssociationAndQueryUpCallsPassTheirFilters) {
  CMPIStatus rc;
  const char *props[] = {"Name", nullptr};
  EXPECT_EQ(Ids(CBAssociators(b_, ctx_, op_, "Qelvo_Assoc", "Qelvo_Job", "Owner", "Owned", props, &rc),
                CMPI_instance),
            kTwoJobs);
  EXPECT_EQ(rc.rc, CMPI_RC_OK);
  EXPECT_EQ(router_.op_name, "associators");
  EXPECT_EQ(router_.filters, "Qelvo_Assoc|Qelvo_Job|Owner|Owned");
  EXPECT_EQ(router_.properties, std::vector<std::string>{"Name"});

  EXPECT_EQ(Ids(CBAssociatorNames(b_, ctx_, op_, nullptr, "Qelvo_Job", nullptr, nullptr, &rc), CMPI_ref),
            kTwoJobs);
  EXPECT_EQ(router_.op_name, "associatorNames");
  EXPECT_EQ(router_.filters, "(null)|Qelvo_Job|(null)|(null)");

  EXPECT_EQ(Ids(CBReferences(b_, ctx_, op_, "Qelvo_Assoc", "Owner", nullptr, &rc), CMPI_instance), kTwoJobs);
  EXPECT_EQ(router_.op_name, "references");
  EXPECT_EQ(router_.filters, "Qelvo_Assoc|Owner");

  EXPECT_EQ(Ids(CBReferenceNames(b_, ctx_, op_, "Qelvo_Assoc", nullptr, &rc), CMPI_ref), kTwoJobs);
  EXPECT_EQ(router_.op_name, "referenceNames");
  EXPECT_EQ(router_.filters, "Qelvo_Assoc|(null)");

  EXPECT_EQ(Ids(CBExecQuery(b_, ctx_, op_, "SELECT * FROM Qelvo_Job", "WQL", &rc), CMPI_instance), kTwoJobs);
  EXPECT_EQ(router_.op_name, "execQuery");
  EXPECT_EQ(router_.filters, "SELECT * FROM Qelvo_Job|WQL");
}

TEST_F(Broker, SingleResultUpCalls) {
  CMPIStatus rc;
  CMPIInstance *inst = CBGetInstance(b_, ctx_, op_, nullptr, &rc);
  ASSERT_EQ(rc.rc, CMPI_RC_OK);
  ASSERT_NE(inst, nullptr);
  EXPECT_EQ(data_to_string(CMGetProperty(inst, "InstanceID", nullptr)), "j1");

  router_.count = 0;
  EXPECT_EQ(CBGetInstance(b_, ctx_, op_, nullptr, &rc), nullptr);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NOT_FOUND);

  CMPIObjectPath *p = CMNewObjectPath(b_, "root/cimv2", "Qelvo_Job", nullptr);
  CMAddKey(p, "InstanceID", "new", CMPI_chars);
  CMPIInstance *created = CMNewInstance(b_, p, nullptr);
  CMPIObjectPath *made = CBCreateInstance(b_, ctx_, p, created, &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_OK);
  EXPECT_EQ(router_.op_name, "createInstance");
  EXPECT_EQ(Text(CMObjectPathToString(made, nullptr)), "root/cimv2:Qelvo_Job.InstanceID=\"new\"");

  const char *props[] = {"Name", nullptr};
  EXPECT_EQ(CBModifyInstance(b_, ctx_, p, created, props).rc, CMPI_RC_OK);
  EXPECT_EQ(router_.op_name, "modifyInstance");
  EXPECT_EQ(router_.properties, std::vector<std::string>{"Name"});
  EXPECT_EQ(CBDeleteInstance(b_, ctx_, p).rc, CMPI_RC_OK);
  EXPECT_EQ(router_.op_name, "deleteInstance");
  EXPECT_EQ(router_.path_text, "root/cimv2:Qelvo_Job.InstanceID=\"new\"");
}

TEST_F(Broker, InvokeMethodGivesTheFirstReturnValueAndOutArguments) {
  CMPIArgs *in = CMNewArgs(b_, nullptr);
  CMAddArg(in, "Input", "value in", CMPI_chars);
  CMPIArgs *out = CMNewArgs(b_, nullptr);
  CMPIStatus rc;
  long before = live_objects();
  CMPIData ret;
  {
    RequestScope call;
    ret = CBInvokeMethod(b_, ctx_, op_, "Start", in, out, &rc);
    ASSERT_EQ(rc.rc, CMPI_RC_OK);
    EXPECT_EQ(router_.method, "Start");
    EXPECT_EQ(router_.in_arg, "value in");
    ASSERT_EQ(ret.type, CMPI_string);
    EXPECT_EQ(data_to_string(ret), "first");
    EXPECT_EQ(data_to_string(CMGetArg(out, "Job", nullptr)), "job-1");
  }
  /* The returned value belonged to the caller's scope. */
  EXPECT_EQ(live_objects(), before + 1);  // the string inside `out`

  router_.rc = CMPI_RC_ERR_METHOD_NOT_FOUND;
  ret = CBInvokeMethod(b_, ctx_, op_, "Nope", in, out, &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_METHOD_NOT_FOUND);
  EXPECT_TRUE(CMIsNullValue(ret));
}

TEST_F(Broker, RouterStatusAndMessageReachTheCaller) {
  router_.rc = CMPI_RC_ERR_NOT_FOUND;
  router_.message = "no such job";
  CMPIStatus rc;
  EXPECT_EQ(b_->bft->enumerateInstances(b_, ctx_, op_, nullptr, &rc), nullptr);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NOT_FOUND);
  EXPECT_EQ(Text(rc.msg), "no such job");
  EXPECT_EQ(CBGetInstance(b_, ctx_, op_, nullptr, &rc), nullptr);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NOT_FOUND);
  EXPECT_EQ(Text(rc.msg), "no such job");
  CMPIStatus st = CBDeleteInstance(b_, ctx_, op_);
  EXPECT_EQ(st.rc, CMPI_RC_ERR_NOT_FOUND);
  EXPECT_EQ(Text(st.msg), "no such job");

  /* The caller's message is its own copy, whatever becomes of the router's. */
  router_.own_message = true;
  router_.message = "router's own text";
  EXPECT_EQ(b_->bft->enumerateInstances(b_, ctx_, op_, nullptr, &rc), nullptr);
  st = CBDeleteInstance(b_, ctx_, op_);
  router_.ForgetMessage();
  EXPECT_EQ(Text(rc.msg), "router's own text");
  EXPECT_EQ(Text(st.msg), "router's own text");
  router_.own_message = false;
  router_.message = "no such job";

  EXPECT_EQ(CBCreateInstance(b_, ctx_, op_, CMNewInstance(b_, op_, nullptr), &rc), nullptr);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NOT_FOUND);
  EXPECT_EQ(CBAssociatorNames(b_, ctx_, op_, nullptr, nullptr, nullptr, nullptr, &rc), nullptr);
  EXPECT_EQ(Text(rc.msg), "no such job");

  router_.fail_hard = true;
  EXPECT_EQ(b_->bft->enumerateInstanceNames(b_, ctx_, op_, &rc), nullptr);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_FAILED);
  EXPECT_NE(Text(rc.msg).find("router broke"), std::string::npos);
  st = CBModifyInstance(b_, ctx_, op_, CMNewInstance(b_, op_, nullptr), nullptr);
  EXPECT_EQ(st.rc, CMPI_RC_ERR_FAILED);
}

TEST_F(Broker, UpCallsTolerateANullStatus) {
  const char *none[] = {nullptr};
  CMPIArgs *args = CMNewArgs(b_, nullptr);
  CMPIInstance *inst = CMNewInstance(b_, op_, nullptr);
  for (CMPIrc code : {CMPI_RC_OK, CMPI_RC_ERR_FAILED}) {
    router_.rc = code;
    router_.message = code == CMPI_RC_OK ? "" : "failed";
    bool ok = code == CMPI_RC_OK;
    EXPECT_EQ(b_->bft->enumerateInstanceNames(b_, ctx_, op_, nullptr) != nullptr, ok);
    EXPECT_EQ(b_->bft->enumerateInstances(b_, ctx_, op_, none, nullptr) != nullptr, ok);
    EXPECT_EQ(CBGetInstance(b_, ctx_, op_, none, nullptr) != nullptr, ok);
    EXPECT_EQ(CBCreateInstance(b_, ctx_, op_, inst, nullptr) != nullptr, ok);
    EXPECT_EQ(CBExecQuery(b_, ctx_, op_, "q", "WQL", nullptr) != nullptr, ok);
    EXPECT_EQ(CBAssociators(b_, ctx_, op_, nullptr, nullptr, nullptr, nullptr, none, nullptr) != nullptr, ok);
    EXPECT_EQ(CBAssociatorNames(b_, ctx_, op_, nullptr, nullptr, nullptr, nullptr, nullptr) != nullptr, ok);
    EXPECT_EQ(CBReferences(b_, ctx_, op_, nullptr, nullptr, none, nullptr) != nullptr, ok);
    EXPECT_EQ(CBReferenceNames(b_, ctx_, op_, nullptr, nullptr, nullptr) != nullptr, ok);
    EXPECT_EQ(CMIsNullValue(CBInvokeMethod(b_, ctx_, op_, "M", args, args, nullptr)) != 0, !ok);
    CBGetProperty(b_, ctx_, op_, "P", nullptr);
  }
  EXPECT_EQ(CMNewSelectExp(b_, "q", "WQL", nullptr, nullptr), nullptr);
}

TEST_F(Broker, DefaultRouterSupportsNothing) {
  cmpinative::Router plain;
  CMPIBroker *b = cmpinative::new_broker(&plain);
  CMPIStatus rc;
  EXPECT_EQ(b->bft->enumerateInstances(b, ctx_, op_, nullptr, &rc), nullptr);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NOT_SUPPORTED);
  EXPECT_EQ(CBGetInstance(b, ctx_, op_, nullptr, &rc), nullptr);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NOT_SUPPORTED);
  EXPECT_EQ(CBDeleteInstance(b, ctx_, op_).rc, CMPI_RC_ERR_NOT_SUPPORTED);
  CBInvokeMethod(b, ctx_, op_, "M", nullptr, nullptr, &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NOT_SUPPORTED);
  CMPIUint32 v = 1;
  EXPECT_EQ(CBSetProperty(b, ctx_, op_, "P", &v, CMPI_uint32).rc, CMPI_RC_ERR_NOT_SUPPORTED);
  CBGetProperty(b, ctx_, op_, "P", &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NOT_SUPPORTED);
  CMPIArray *projection = reinterpret_cast<CMPIArray *>(&v);
  EXPECT_EQ(CMNewSelectExp(b, "SELECT * FROM C", "WQL", &projection, &rc), nullptr);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NOT_SUPPORTED);
  EXPECT_EQ(projection, nullptr);

  EXPECT_FALSE(plain.classExists("root/cimv2", "Qelvo_Job"));
  EXPECT_TRUE(CMClassPathIsA(b, op_, "QELVO_JOB", &rc));
  EXPECT_EQ(rc.rc, CMPI_RC_OK);
  EXPECT_FALSE(CMClassPathIsA(b, op_, "CIM_Job", &rc));
  cmpinative::delete_broker(b);
}

TEST_F(Broker, ClassPathIsAAsksTheRouter) {
  CMPIStatus rc;
  EXPECT_TRUE(CMClassPathIsA(b_, op_, "CIM_Job", &rc));
  EXPECT_EQ(rc.rc, CMPI_RC_OK);
  EXPECT_EQ(router_.isa, "root/cimv2|Qelvo_Job|CIM_Job");
  EXPECT_FALSE(CMClassPathIsA(b_, op_, "CIM_Service", &rc));
  EXPECT_FALSE(CMClassPathIsA(b_, nullptr, "CIM_Job", &rc));
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_INVALID_PARAMETER);
}

TEST_F(Broker, ObjectsKnowTheirTypes) {
  CMPIResult *result = cmpinative::new_result();
  CMPIContext *ctx = native_new_CMPIContext();
  struct {
    const void *object;
    const char *type;
  } objects[] = {
      {CMNewInstance(b_, op_, nullptr), "CMPIInstance"},
      {op_, "CMPIObjectPath"},
      {CMNewString(b_, "s", nullptr), "CMPIString"},
      {CMNewArray(b_, 1, CMPI_uint8, nullptr), "CMPIArray"},
      {CMNewArgs(b_, nullptr), "CMPIArgs"},
      {CMNewDateTime(b_, nullptr), "CMPIDateTime"},
      {cmpinative::new_enumeration({}), "CMPIEnumeration"},
      {ctx, "CMPIContext"},
      {result, "CMPIResult"},
  };
  CMPIStatus rc;
  for (const auto &o : objects) {
    SCOPED_TRACE(o.type);
    EXPECT_EQ(Text(CDGetType(b_, o.object, &rc)), o.type);
    EXPECT_EQ(rc.rc, CMPI_RC_OK);
    EXPECT_TRUE(CDIsOfType(b_, o.object, o.type, &rc));
    for (const auto &other : objects) {
      if (other.object == o.object) continue;
      EXPECT_FALSE(CDIsOfType(b_, o.object, other.type, nullptr)) << other.type;
    }
  }
  struct {
    void *hdl;
    void *ft;
  } stranger = {&rc, &rc};
  EXPECT_EQ(CDGetType(b_, &stranger, &rc), nullptr);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_INVALID_PARAMETER);
  EXPECT_FALSE(CDIsOfType(b_, &stranger, "CMPIString", &rc));
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_INVALID_PARAMETER);

  EXPECT_EQ(Text(CDToString(b_, CMNewString(b_, "plain", nullptr), &rc)), "plain");
  EXPECT_EQ(Text(CDToString(b_, CMNewDateTimeFromBinary(b_, 0, 0, nullptr), &rc)), "19700101000000.000000+000");
  EXPECT_EQ(CDToString(b_, objects[0].object, &rc), nullptr);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NOT_SUPPORTED);
  EXPECT_EQ(CDToString(b_, nullptr, &rc), nullptr);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_INVALID_PARAMETER);
  CMRelease(ctx);
  CMRelease(result);
}

TEST_F(Broker, GetMessageSubstitutesTypedArguments) {
  CMPIStatus rc;
  CMPIString *job = CMNewString(b_, "job-7", nullptr);
  CMPIString *msg = CMGetMessage(b_, "QLV0001", "$0 of $1 failed after $2s: $3 ($4, $5) $9$", &rc,
                                 CMFmtArgs6(CMFmtString(job), CMFmtChars("transfer"), CMFmtReal(1.5),
                                            CMFmtBoolean(1), CMFmtSint(-12), CMFmtUint64(18446744073709551615ULL)));
  ASSERT_EQ(rc.rc, CMPI_RC_OK);
  EXPECT_EQ(Text(msg), "job-7 of transfer failed after 1.5s: true (-12, 18446744073709551615) $9$");

  msg = CMGetMessage(b_, "QLV0002", "$1/$0 of $2", nullptr,
                     CMFmtArgs3(CMFmtUint(3), CMFmtSint64(-4000000000LL), CMFmtChars(nullptr)));
  EXPECT_EQ(Text(msg), "-4000000000/3 of ");
  msg = CMGetMessage(b_, "QLV0003", "no arguments $0", nullptr, CMFmtArgs0());
  EXPECT_EQ(Text(msg), "no arguments $0");

  CMPIMsgFileHandle file = nullptr;
  EXPECT_EQ(CMOpenMessageFile(b_, "qelvo.msg", &file).rc, CMPI_RC_OK);
  msg = CMGetMessage2(b_, "QLV0004", file, "from $0", &rc, CMFmtArgs1(CMFmtChars("file")));
  EXPECT_EQ(Text(msg), "from file");
  EXPECT_EQ(CMCloseMessageFile(b_, file).rc, CMPI_RC_OK);
}

CMPIStatus FailWithChars(const CMPIBroker *b) {
  std::string text = "failure " + std::to_string(42);
  CMReturnWithChars(b, CMPI_RC_ERR_FAILED, text.c_str());
}

void SetWithChars(const CMPIBroker *b, CMPIStatus *rc) {
  std::string text = "not found " + std::to_string(7);
  CMSetStatusWithChars(b, rc, CMPI_RC_ERR_NOT_FOUND, text.c_str());
}

TEST_F(Broker, StatusMessagesMadeFromCharsStayReadable) {
  CMPIStatus st = FailWithChars(b_);
  EXPECT_EQ(st.rc, CMPI_RC_ERR_FAILED);
  EXPECT_EQ(Text(st.msg), "failure 42");
  CMPIStatus rc;
  SetWithChars(b_, &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NOT_FOUND);
  EXPECT_EQ(Text(rc.msg), "not found 7");
}

TEST_F(Broker, LogAndTraceWriteToStandardError) {
  testing::internal::CaptureStderr();
  CMPIString *s = CMNewString(b_, "from string", nullptr);
  EXPECT_EQ(CMLogMessage(b_, CMPI_SEV_WARNING, "Qelvo", "disk low", nullptr).rc, CMPI_RC_OK);
  EXPECT_EQ(CMTraceMessage(b_, CMPI_LEV_VERBOSE, "jobs", nullptr, s).rc, CMPI_RC_OK);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("warning"), std::string::npos) << err;
  EXPECT_NE(err.find("disk low"), std::string::npos) << err;
  EXPECT_NE(err.find("jobs"), std::string::npos) << err;
  EXPECT_NE(err.find("from string"), std::string::npos) << err;
}

/* --------------------------------------------------- operating-system services */

struct ThreadWork {
  const CMPIBroker *b;
  void *mutex;
  void *cond;
  int value = 0;
};

void *Worker(void *parm) {
  auto *w = static_cast<ThreadWork *>(parm);
  w->b->xft->lockMutex(w->mutex);
  w->value = 42;
  w->b->xft->signalCondition(w->cond);
  w->b->xft->unlockMutex(w->mutex);
  return &w->value;
}

TEST_F(Broker, ThreadsMutexesAndConditions) {
  const CMPIBrokerExtFT *x = b_->xft;
  ThreadWork w{b_, x->newMutex(0), x->newCondition(0)};
  ASSERT_NE(w.mutex, nullptr);
  ASSERT_NE(w.cond, nullptr);
  x->lockMutex(w.mutex);
  void *t = x->newThread(Worker, &w, 0);
  ASSERT_NE(t, nullptr);
  while (w.value == 0) EXPECT_EQ(x->condWait(w.cond, w.mutex), 0);
  x->unlockMutex(w.mutex);
  void *ret = nullptr;
  EXPECT_EQ(x->joinThread(t, &ret), 0);
  EXPECT_EQ(ret, &w.value);

  /* Nobody signals: the wait ends at the deadline. */
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_nsec += 20 * 1000 * 1000;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  x->lockMutex(w.mutex);
  EXPECT_EQ(x->timedCondWait(w.cond, w.mutex, &deadline), ETIMEDOUT);
  x->unlockMutex(w.mutex);
  x->destroyCondition(w.cond);
  x->destroyMutex(w.mutex);
  EXPECT_EQ(x->threadSleep(1), 0);
}

int g_once_calls = 0;
void CountOnce() { ++g_once_calls; }

void *RunOnce(void *parm) {
  auto *b = static_cast<const CMPIBroker *>(parm);
  static int once = 0;
  b->xft->threadOnce(&once, CountOnce);
  return nullptr;
}

TEST_F(Broker, ThreadOnceAndThreadKeys) {
  const CMPIBrokerExtFT *x = b_->xft;
  std::vector<void *> threads;
  for (int i = 0; i < 8; ++i) threads.push_back(x->newThread(RunOnce, b_, 0));
  for (void *t : threads) EXPECT_EQ(x->joinThread(t, nullptr), 0);
  RunOnce(b_);
  EXPECT_EQ(g_once_calls, 1);

  CMPI_THREAD_KEY_TYPE key;
  ASSERT_EQ(x->createThreadKey(&key, nullptr), 0);
  int value = 5;
  EXPECT_EQ(x->getThreadSpecific(key), nullptr);
  EXPECT_EQ(x->setThreadSpecific(key, &value), 0);
  EXPECT_EQ(x->getThreadSpecific(key), &value);
  EXPECT_EQ(x->destroyThreadKey(key), 0);

  char *name = x->resolveFileName("jobledger");
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, "libjobledger.so");
  free(name);
  EXPECT_EQ(x->resolveFileName(nullptr), nullptr);
}

}  // namespace
