/* wbemcli, the client the system is driven with, against responses built by
 * this library: what it prints shows that it understood them, and the
 * requests it sends must parse. */
#include "test_support.h"

#include <cmpi_native.h>

using namespace cimxml;
using namespace cimxml_test;

namespace {

ClassDecl service_class() {
  ClassDecl c;
  c.name = "Test_Service";
  c.superclass = "CIM_Service";
  PropertyDecl name;
  name.name = "Name";
  name.type = CimType::String;
  Qualifier key;
  key.name = "Key";
  key.value = Literal::scalar("TRUE");
  name.qualifiers.push_back(key);
  c.properties.push_back(name);
  PropertyDecl count;
  count.name = "Count";
  count.type = CimType::Uint32;
  c.properties.push_back(count);
  MethodDecl m;
  m.name = "Transfer";
  m.return_type = CimType::Uint32;
  ParameterDecl uri;
  uri.name = "SourceURI";
  uri.type = CimType::String;
  ParameterDecl timeout;
  timeout.name = "Timeout";
  timeout.type = CimType::Uint32;
  ParameterDecl opts;
  opts.name = "Options";
  opts.type = CimType::Uint16;
  opts.is_array = true;
  ParameterDecl target;
  target.name = "Target";
  target.type = CimType::Reference;
  target.reference_class = "CIM_ManagedElement";
  ParameterDecl job;
  job.name = "Job";
  job.type = CimType::Reference;
  job.reference_class = "CIM_ConcreteJob";
  Qualifier out;
  out.name = "OUT";
  out.value = Literal::scalar("TRUE");
  job.qualifiers.push_back(out);
  m.parameters = {uri, timeout, opts, target, job};
  c.methods.push_back(m);
  return c;
}

/* An instance with one property of every kind. */
InstancePtr sample_instance() {
  PathPtr op = path("root/cimv2:Test_Service.Name=\"svc <1> & \\\"q\\\"\"");
  InstancePtr inst(native_new_CMPIInstance(op.get(), nullptr));
  auto set = [&](const char *n, const Value &v) {
    CMPIValue val = v.data().value;
    inst->ft->setProperty(inst.get(), n, &val, v.type());
  };
  set("Count", u32(42));
  set("Negative", s64(-9000000000LL));
  set("Flag", boolean(true));
  set("Ratio", value_from_text("0.25", CimType::Real64));
  set("Started", datetime("20240102030405.123456+060"));
  set("Tags", string_array({"a", "b&c"}));
  set("Codes", u16_array({1, 2, 3}));
  ArrayPtr sparse(native_new_CMPIArray(3, CMPI_uint32, nullptr));
  CMPIValue e;
  e.uint32 = 5;
  sparse->ft->setElementAt(sparse.get(), 0, &e, CMPI_uint32);
  e.uint32 = 6;
  sparse->ft->setElementAt(sparse.get(), 2, &e, CMPI_uint32);
  CMPIValue av;
  av.array = sparse.get();
  inst->ft->setProperty(inst.get(), "Sparse", &av, CMPI_uint32A);
  inst->ft->setProperty(inst.get(), "Missing", nullptr, CMPI_string);
  PathPtr other = path("root/cimv2:CIM_ManagedElement.InstanceID=\"x1\"");
  set("Owner", ref_value(other));
  return inst;
}

class WbemcliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_wbemcli()) GTEST_SKIP() << "wbemcli is not installed";
  }

  /* Answers what wbemcli asks with responses of this library. */
  std::string answer(const FakeCimom::Exchange &ex) {
    Request req;
    try {
      req = parse_request(ex.body);
    } catch (const Error &e) {
      parse_failures.push_back(e.what());
      return ResponseWriter::error("0", "?", true, e.code(), e.what());
    }
    requests.push_back(req.method);
    ResponseWriter w(req.message_id, req.method, req.intrinsic);
    InstancePtr inst = sample_instance();
    ClassDecl cls = service_class();
    switch (req.op) {
      case Operation::GetClass:
        w.add_class(cls);
        break;
      case Operation::EnumerateInstances:
        w.add_named_instance(inst.get());
        break;
      case Operation::GetInstance:
        if (fail_get_instance) return ResponseWriter::error(req.message_id, req.method, true, CMPI_RC_ERR_NOT_FOUND,
                                                            "no such <instance>");
        w.add_instance(inst.get());
        break;
      case Operation::EnumerateInstanceNames: {
        PathPtr op = path("root/cimv2:Test_Service.Name=\"n\\\"1\",Count=7,Flag=TRUE");
        PathPtr r = path("//h1/root/cimv2:CIM_ManagedElement.InstanceID=\"x1\"");
        Value rv = ref_value(r);
        CMPIValue v = rv.data().value;
        op->ft->addKey(op.get(), "Owner", &v, CMPI_ref);
        w.add_instance_name(op.get());
        break;
      }
      case Operation::EnumerateClassNames:
        w.add_class_name("Test_Service");
        w.add_class_name("Test_Job");
        break;
      case Operation::Associators:
      case Operation::References: {
        w.set_default_host("cimhost");
        w.add_object_with_path(inst.get());
        break;
      }
      case Operation::AssociatorNames:
      case Operation::ReferenceNames: {
        w.set_default_host("cimhost");
        PathPtr op = path("root/cimv2:Test_Job.InstanceID=\"j1\"");
        w.add_object_path(op.get());
        break;
      }
      case Operation::Extrinsic: {
        call_params = params_from_args(make_args(req.params).get()).size();
        w.set_return_value(u32(4096).data());
        PathPtr job = path("//cimhost/root/cimv2:Test_Job.InstanceID=\"j1\"");
        w.add_out_param("Job", ref_value(job).data());
        break;
      }
      default:
        break;
    }
    return w.finish();
  }

  std::string wbemcli(const std::string &args, int *status) {
    return run_command("/usr/bin/wbemcli " + args, status);
  }

  std::vector<std::string> requests;
  std::vector<std::string> parse_failures;
  std::size_t call_params = 0;
  bool fail_get_instance = false;
};

TEST_F(WbemcliTest, PrintsEnumeratedInstancesWithEveryValueKind) {
  FakeCimom cimom([this](const FakeCimom::Exchange &ex) { return answer(ex); });
  int st;
  std::string out = wbemcli("-nl ei '" + cimom.url() + ":Test_Service'", &st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_TRUE(parse_failures.empty());
  EXPECT_NE(out.find("-Count=42"), std::string::npos) << out;
  EXPECT_NE(out.find("-Negative=-9000000000"), std::string::npos) << out;
  EXPECT_NE(out.find("-Flag=TRUE"), std::string::npos) << out;
  EXPECT_NE(out.find("-Ratio=0.25"), std::string::npos) << out;
  /* Native date-times hold the instant; their text is in UTC. */
  EXPECT_NE(out.find("-Started=20240102020405.123456+000"), std::string::npos) << out;
  EXPECT_NE(out.find("-Tags=\"a\",\"b&c\""), std::string::npos) << out;
  EXPECT_NE(out.find("-Codes=1,2,3"), std::string::npos) << out;
  EXPECT_NE(out.find("CIM_ManagedElement.InstanceID=\"x1\""), std::string::npos) << out;
  EXPECT_NE(out.find("svc <1> & "), std::string::npos) << out;
  EXPECT_NE(out.find("-Sparse=5,,6"), std::string::npos) << out;
  EXPECT_NE(out.find("-Missing=\n"), std::string::npos) << out;
}

TEST_F(WbemcliTest, PrintsInstanceNamesClassNamesAndPaths) {
  FakeCimom cimom([this](const FakeCimom::Exchange &ex) { return answer(ex); });
  int st;
  std::string out = wbemcli("ein '" + cimom.url() + ":Test_Service'", &st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_NE(out.find("Test_Service.Name=\"n\\\"1\",Count=7,Flag=TRUE"), std::string::npos) << out;
  EXPECT_NE(out.find("CIM_ManagedElement.InstanceID="), std::string::npos) << out;

  out = wbemcli("ecn '" + cimom.url() + ":'", &st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_NE(out.find("Test_Service"), std::string::npos) << out;
  EXPECT_NE(out.find("Test_Job"), std::string::npos) << out;

  out = wbemcli("ain '" + cimom.url() + ":Test_Service.Name=\"n1\"'", &st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_NE(out.find("cimhost/root/cimv2:Test_Job.InstanceID=\"j1\""), std::string::npos) << out;

  out = wbemcli("ai '" + cimom.url() + ":Test_Service.Name=\"n1\"'", &st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_NE(out.find("Count=42"), std::string::npos) << out;
  EXPECT_TRUE(parse_failures.empty());
}

TEST_F(WbemcliTest, GetsInstanceAndClass) {
  FakeCimom cimom([this](const FakeCimom::Exchange &ex) { return answer(ex); });
  int st;
  std::string out = wbemcli("gi '" + cimom.url() + ":Test_Service.Name=\"n1\"'", &st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_NE(out.find("Count=42"), std::string::npos) << out;

  out = wbemcli("gc '" + cimom.url() + ":Test_Service'", &st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_NE(out.find(":Test_Service Name=,Count="), std::string::npos) << out;
}

TEST_F(WbemcliTest, ReportsCimErrors) {
  fail_get_instance = true;
  FakeCimom cimom([this](const FakeCimom::Exchange &ex) { return answer(ex); });
  int st;
  std::string out = wbemcli("gi '" + cimom.url() + ":Test_Service.Name=\"n1\"'", &st);
  EXPECT_NE(st, 0) << out;
  EXPECT_NE(out.find("CIM_ERR_NOT_FOUND"), std::string::npos) << out;
  EXPECT_NE(out.find("no such <instance>"), std::string::npos) << out;
}

TEST_F(WbemcliTest, CallsMethodWithTypedArgumentsFromTheClass) {
  FakeCimom cimom([this](const FakeCimom::Exchange &ex) { return answer(ex); });
  int st;
  std::string out = wbemcli("cm '" + cimom.url() + ":Test_Service.Name=\"n1\"' "
                            "'Transfer.SourceURI=\"tftp://10.0.0.1/f\",Timeout=30,Options=1,2,"
                            "Target=localhost:5988/root/cimv2:CIM_ManagedElement.InstanceID=\"x1\"'",
                            &st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_TRUE(parse_failures.empty());
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], "GetClass");
  EXPECT_EQ(requests[1], "Transfer");
  EXPECT_EQ(call_params, 4u);
  EXPECT_NE(out.find("Transfer: 4096"), std::string::npos) << out;
  EXPECT_NE(out.find("Job (reference): cimhost/root/cimv2"), std::string::npos) << out;
}

}  // namespace
