// Routing of CIM operations to the test providers, and of their broker up-calls.
#include <gtest/gtest.h>

#include <cmpi_native.h>

#include "request_context.h"
#include "test_support.h"

namespace {

using cimhosttest::Execute;
using cimhosttest::KeyOf;
using cimhosttest::Prop;
using cimhosttest::WidgetPath;
using cimxml::Operation;
using cimxml::RequestWriter;
using cimxml::Response;

class Routing : public ::testing::Test {
 protected:
  void SetUp() override { cimom_ = cimhosttest::MakeCimom(); }
  void TearDown() override { cimom_->shutdown(std::chrono::seconds(1)); }

  Response Enum(Operation op, const std::string &cls, bool deep = true,
                const std::vector<std::string> *props = nullptr, const std::string &ns = "test/ns") {
    RequestWriter w("1", op, ns);
    w.add_class_name("ClassName", cls);
    if (op == Operation::EnumerateInstances) w.add_bool("DeepInheritance", deep);
    if (props != nullptr) w.add_string_array("PropertyList", *props);
    return Execute(*cimom_, w.finish());
  }
  Response Get(const CMPIObjectPath *op, const std::vector<std::string> *props = nullptr) {
    RequestWriter w("2", Operation::GetInstance, "test/ns");
    w.add_instance_name("InstanceName", op);
    if (props != nullptr) w.add_string_array("PropertyList", *props);
    return Execute(*cimom_, w.finish());
  }
  // Calls a method on widget `name` with untyped parameters, as wbemcli sends them.
  Response Call(const std::string &method, const std::vector<std::pair<std::string, std::string>> &params = {},
                const std::string &name = "w1") {
    cimxml::PathPtr target = WidgetPath(name);
    RequestWriter w("3", method, target.get());
    for (const auto &[k, v] : params) {
      cimxml::Value s = cimxml::value_from_text(v, cimxml::CimType::String);
      w.add_param(k, s.data(), false);
    }
    return Execute(*cimom_, w.finish());
  }
  static std::string Out(const Response &r, const std::string &name) {
    for (const auto &p : r.out_params)
      if (p.name == name) return cmpinative::data_to_string(p.value.data());
    return "<absent>";
  }

  std::unique_ptr<cimhost::Cimom> cimom_;
};

TEST_F(Routing, EnumerationsGatherTheSubclassProviders) {
  Response r = Enum(Operation::EnumerateInstanceNames, "Test_Base");
  ASSERT_FALSE(r.is_error) << r.error_description;
  std::vector<std::string> names;
  for (const auto &p : r.paths) names.push_back(KeyOf(p.get(), "Name"));
  EXPECT_NE(std::find(names.begin(), names.end(), "w1"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "g1"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "g2"), names.end());

  // Deep: the widgets' own properties come along; shallow: only those of Test_Base.
  r = Enum(Operation::EnumerateInstances, "Test_Base", true);
  ASSERT_FALSE(r.is_error) << r.error_description;
  const CMPIInstance *w1 = nullptr;
  for (const auto &i : r.instances)
    if (Prop(i.get(), "Name") == "w1") w1 = i.get();
  ASSERT_NE(w1, nullptr);
  EXPECT_EQ(Prop(w1, "Color"), "red");
  r = Enum(Operation::EnumerateInstances, "Test_Base", false);
  ASSERT_FALSE(r.is_error) << r.error_description;
  for (const auto &i : r.instances) {
    EXPECT_EQ(Prop(i.get(), "Color"), "");
    if (Prop(i.get(), "Name") == "w1") {
      EXPECT_EQ(Prop(i.get(), "Size"), "10");
    }
  }
  // Property lists.
  const std::vector<std::string> only_level = {"Level"};
  r = Enum(Operation::EnumerateInstances, "Test_Widget", true, &only_level);
  ASSERT_FALSE(r.instances.empty());
  EXPECT_EQ(Prop(r.instances[0].get(), "Level"), "3");
  EXPECT_EQ(Prop(r.instances[0].get(), "Color"), "");
  EXPECT_EQ(KeyOf(r.instances[0]->ft->getObjectPath(r.instances[0].get(), nullptr), "Name"), "w1");
}

TEST_F(Routing, GetInstanceFindsTheProviderThatHasIt) {
  // Through the abstract base class: the widget provider does not know g2, the gadget one does.
  cimxml::PathPtr g2 = WidgetPath("g2", "Test_Base");
  Response r = Get(g2.get());
  ASSERT_FALSE(r.is_error) << r.error_description;
  ASSERT_EQ(r.instances.size(), 1u);
  EXPECT_EQ(Prop(r.instances[0].get(), "Name"), "g2");
  // Not found anywhere.
  cimxml::PathPtr none = WidgetPath("zz", "Test_Base");
  r = Get(none.get());
  ASSERT_TRUE(r.is_error);
  EXPECT_EQ(r.error_code, CMPI_RC_ERR_NOT_FOUND);
  // A class with its own provider answers alone.
  cimxml::PathPtr w = WidgetPath("g1", "Test_Widget");
  r = Get(w.get());
  ASSERT_TRUE(r.is_error);
  EXPECT_EQ(r.error_description, "no such widget");
  // Keys the class does not have.
  cimxml::PathPtr bad(newCMPIObjectPath("test/ns", "Test_Widget", nullptr));
  CMPIValue v;
  v.uint32 = 5;
  bad->ft->addKey(bad.get(), "Bogus", &v, CMPI_uint32);
  r = Get(bad.get());
  ASSERT_TRUE(r.is_error);
  EXPECT_EQ(r.error_code, CMPI_RC_ERR_INVALID_PARAMETER);
}

TEST_F(Routing, CreateModifyDelete) {
  cimxml::PathPtr p = WidgetPath("made");
  cimxml::InstancePtr inst(native_new_CMPIInstance(p.get(), nullptr));
  inst->ft->setProperty(inst.get(), "Name", reinterpret_cast<const CMPIValue *>("made"), CMPI_chars);
  inst->ft->setProperty(inst.get(), "Color", reinterpret_cast<const CMPIValue *>("blue"), CMPI_chars);
  CMPIValue v;
  v.sint64 = 9;  // as a client without the class sends numbers: converted to uint16
  inst->ft->setProperty(inst.get(), "Level", &v, CMPI_sint64);
  RequestWriter c("4", Operation::CreateInstance, "test/ns");
  c.add_instance("NewInstance", inst.get());
  Response r = Execute(*cimom_, c.finish());
  ASSERT_FALSE(r.is_error) << r.error_description;
  ASSERT_EQ(r.paths.size(), 1u);
  EXPECT_EQ(KeyOf(r.paths[0].get(), "Name"), "made");
  r = Get(p.get());
  ASSERT_EQ(r.instances.size(), 1u) << r.error_description;
  EXPECT_EQ(Prop(r.instances[0].get(), "Level"), "9");

  inst->ft->setProperty(inst.get(), "Color", reinterpret_cast<const CMPIValue *>("green"), CMPI_chars);
  RequestWriter m("5", Operation::ModifyInstance, "test/ns");
  m.add_named_instance("ModifiedInstance", inst.get(), p.get());
  r = Execute(*cimom_, m.finish());
  ASSERT_FALSE(r.is_error) << r.error_description;
  r = Get(p.get());
  ASSERT_EQ(r.instances.size(), 1u);
  EXPECT_EQ(Prop(r.instances[0].get(), "Color"), "green");

  // A property the class does not have.
  inst->ft->setProperty(inst.get(), "Nonsense", reinterpret_cast<const CMPIValue *>("x"), CMPI_chars);
  RequestWriter bad("6", Operation::ModifyInstance, "test/ns");
  bad.add_named_instance("ModifiedInstance", inst.get(), p.get());
  r = Execute(*cimom_, bad.finish());
  ASSERT_TRUE(r.is_error);
  EXPECT_EQ(r.error_code, CMPI_RC_ERR_NO_SUCH_PROPERTY);

  RequestWriter d("7", Operation::DeleteInstance, "test/ns");
  d.add_instance_name("InstanceName", p.get());
  r = Execute(*cimom_, d.finish());
  ASSERT_FALSE(r.is_error) << r.error_description;
  r = Get(p.get());
  EXPECT_EQ(r.error_code, CMPI_RC_ERR_NOT_FOUND);

  // The gadget provider refuses writes; its answer reaches the client.
  cimxml::PathPtr g = WidgetPath("g1", "Test_Gadget");
  RequestWriter dg("8", Operation::DeleteInstance, "test/ns");
  dg.add_instance_name("InstanceName", g.get());
  r = Execute(*cimom_, dg.finish());
  EXPECT_EQ(r.error_code, CMPI_RC_ERR_NOT_SUPPORTED);
  EXPECT_EQ(r.error_description, "gadgets are fixed");
}

TEST_F(Routing, MethodParametersGetTheDeclaredTypes) {
  cimxml::PathPtr target = WidgetPath("w1");
  RequestWriter w("9", "Echo", target.get());
  w.add_param("Level", cimxml::value_from_text("42", cimxml::CimType::String).data(), false);
  w.add_param("Text", cimxml::value_from_text("a<b&c", cimxml::CimType::String).data(), false);
  cimxml::PathPtr ref = WidgetPath("w9");
  ref->ft->setHostname(ref.get(), "somehost");
  CMPIValue rv;
  rv.ref = ref.get();
  CMPIData refdata{CMPI_ref, CMPI_goodValue, rv};
  w.add_param("Target", refdata, false);
  cimxml::Value bytes = cimxml::array_from_texts({"1", "2", "255"}, cimxml::CimType::String);
  w.add_param("Bytes", bytes.data(), false);
  Response r = Execute(*cimom_, w.finish());
  ASSERT_FALSE(r.is_error) << r.error_description;
  ASSERT_TRUE(r.has_return_value);
  EXPECT_EQ(cmpinative::data_to_string(r.return_value.value.data()), "7");
  // Types as the provider saw them: uint16, string, ref, uint8 array.
  const std::string expect = std::to_string(CMPI_uint16) + "," + std::to_string(CMPI_string) + "," +
                             std::to_string(CMPI_ref) + "," + std::to_string(CMPI_uint8A) +
                             "|a<b&c|42|somehost|//somehost/test/ns:Test_Widget.Name=\"w9\"|1,2,255|w1";
  EXPECT_EQ(Out(r, "TextOut"), expect);

  // A value that is no uint16.
  r = Call("Echo", {{"Level", "70000"}});
  ASSERT_TRUE(r.is_error);
  EXPECT_EQ(r.error_code, CMPI_RC_ERR_INVALID_PARAMETER);
  // A parameter the method does not declare.
  r = Call("Echo", {{"Nope", "1"}});
  EXPECT_EQ(r.error_code, CMPI_RC_ERR_INVALID_PARAMETER);
  // A method the class does not declare goes to the provider, which has the last word.
  r = Call("Undeclared");
  EXPECT_EQ(r.error_code, CMPI_RC_ERR_METHOD_NOT_FOUND);
  EXPECT_EQ(r.error_description, "Undeclared");
  r = Call("Fail");
  EXPECT_EQ(r.error_code, CMPI_RC_ERR_FAILED);
  EXPECT_EQ(r.error_description, "widget failure");
}

TEST_F(Routing, UpCallsReachTheOtherProvidersAndTheRepository) {
  Response r = Call("CountGadgets");
  ASSERT_FALSE(r.is_error) << r.error_description;
  EXPECT_EQ(Out(r, "Count"), "2");
  r = Call("IsA", {{"Text", "Test_Base"}});
  EXPECT_EQ(cmpinative::data_to_string(r.return_value.value.data()), "1");
  r = Call("IsA", {{"Text", "Test_Gadget"}});
  EXPECT_EQ(cmpinative::data_to_string(r.return_value.value.data()), "0");
  EXPECT_TRUE(cimom_->classExists("test/ns", "test_gadget"));
  EXPECT_FALSE(cimom_->classExists("test/ns", "Nope"));
  EXPECT_FALSE(cimom_->classExists("other/ns", "Test_Gadget"));
}

TEST_F(Routing, AssociationsFromEitherSideAndFromTheSchema) {
  cimxml::PathPtr w1 = WidgetPath("w1");
  RequestWriter a("10", Operation::AssociatorNames, "test/ns");
  a.add_instance_name("ObjectName", w1.get());
  Response r = Execute(*cimom_, a.finish());
  ASSERT_FALSE(r.is_error) << r.error_description;
  ASSERT_EQ(r.paths.size(), 1u);
  EXPECT_EQ(KeyOf(r.paths[0].get(), "Name"), "g1");

  cimxml::PathPtr g1 = WidgetPath("g1", "Test_Gadget");
  RequestWriter refs("11", Operation::References, "test/ns");
  refs.add_instance_name("ObjectName", g1.get());
  r = Execute(*cimom_, refs.finish());
  ASSERT_FALSE(r.is_error) << r.error_description;
  ASSERT_EQ(r.instances.size(), 1u);
  EXPECT_NE(Prop(r.instances[0].get(), "Owner").find("Name=\"w1\""), std::string::npos);

  // A filter no association class matches.
  RequestWriter f("12", Operation::Associators, "test/ns");
  f.add_instance_name("ObjectName", w1.get());
  f.add_class_name("AssocClass", "Test_Gadget");
  r = Execute(*cimom_, f.finish());
  ASSERT_FALSE(r.is_error) << r.error_description;
  EXPECT_TRUE(r.instances.empty());

  // On the class: from the repository.
  RequestWriter c("13", Operation::AssociatorNames, "test/ns");
  c.add_class_name("ObjectName", "Test_Widget");
  r = Execute(*cimom_, c.finish());
  ASSERT_FALSE(r.is_error) << r.error_description;
  ASSERT_EQ(r.paths.size(), 1u);
  EXPECT_EQ(cimxml::cmpi_text(r.paths[0]->ft->getClassName(r.paths[0].get(), nullptr)), "Test_Gadget");
}

TEST_F(Routing, QueriesFallBackToTheCimom) {
  RequestWriter q("14", Operation::ExecQuery, "test/ns");
  q.add_string("QueryLanguage", "WQL");
  q.add_string("Query", "SELECT Name FROM Test_Base WHERE Size >= 100");
  Response r = Execute(*cimom_, q.finish());
  ASSERT_FALSE(r.is_error) << r.error_description;
  ASSERT_EQ(r.instances.size(), 2u);  // the gadgets
  for (const auto &i : r.instances) {
    EXPECT_EQ(Prop(i.get(), "Name")[0], 'g');
    EXPECT_EQ(Prop(i.get(), "Size"), "");  // not selected
  }
  RequestWriter bad("15", Operation::ExecQuery, "test/ns");
  bad.add_string("QueryLanguage", "WQL");
  bad.add_string("Query", "SELECT FROM");
  EXPECT_EQ(Execute(*cimom_, bad.finish()).error_code, CMPI_RC_ERR_INVALID_QUERY);
  RequestWriter lang("16", Operation::ExecQuery, "test/ns");
  lang.add_string("QueryLanguage", "SQL");
  lang.add_string("Query", "SELECT * FROM Test_Base");
  EXPECT_EQ(Execute(*cimom_, lang.finish()).error_code, CMPI_RC_ERR_QUERY_LANGUAGE_NOT_SUPPORTED);
}

TEST_F(Routing, ClassesAndErrorsOfTheRequest) {
  RequestWriter g("17", Operation::GetClass, "test/ns");
  g.add_class_name("ClassName", "Test_Widget");
  g.add_bool("LocalOnly", false);
  Response r = Execute(*cimom_, g.finish());
  ASSERT_EQ(r.classes.size(), 1u) << r.error_description;
  ASSERT_NE(r.classes[0].method("Echo"), nullptr);
  EXPECT_EQ(r.classes[0].method("Echo")->parameter("Level")->type, cimxml::CimType::Uint16);
  ASSERT_NE(r.classes[0].property("Name"), nullptr);  // inherited, with LocalOnly false

  RequestWriter e("18", Operation::EnumerateClassNames, "test/ns");
  e.add_class_name("ClassName", "Test_Base");
  r = Execute(*cimom_, e.finish());
  EXPECT_EQ(r.class_names, (std::vector<std::string>{"Test_Widget", "Test_Gadget"}));

  EXPECT_EQ(Enum(Operation::EnumerateInstances, "Test_Widget", true, nullptr, "no/ns").error_code,
            CMPI_RC_ERR_INVALID_NAMESPACE);
  EXPECT_EQ(Enum(Operation::EnumerateInstances, "Nope").error_code, CMPI_RC_ERR_INVALID_CLASS);
  RequestWriter dc("19", Operation::DeleteClass, "test/ns");
  dc.add_class_name("ClassName", "Test_Widget");
  EXPECT_EQ(Execute(*cimom_, dc.finish()).error_code, CMPI_RC_ERR_NOT_SUPPORTED);
}

TEST_F(Routing, MissingLibraryIsAFailureNotACrash) {
  cimhost::RepositoryBuilder b;
  b.add_mof(cimxml::parse_mof("class Lost { [Key] string Name; };"), "lost.mof");
  cimhost::Registration reg;
  reg.class_name = "Lost";
  reg.provider = "LostProvider";
  reg.location = "no_such_library";
  reg.types = cimhost::kInstanceProvider;
  reg.namespaces = {"l/ns"};
  b.add_registration(reg);
  reg.class_name = "Lost";
  cimhost::Cimom lost(b.build(), {CIMHOST_TEST_PROVIDERS});
  RequestWriter w("20", Operation::EnumerateInstances, "l/ns");
  w.add_class_name("ClassName", "Lost");
  const Response r = Execute(lost, w.finish());
  ASSERT_TRUE(r.is_error);
  EXPECT_EQ(r.error_code, CMPI_RC_ERR_FAILED);
  EXPECT_NE(r.error_description.find("libno_such_library.so not found"), std::string::npos) << r.error_description;
}

TEST_F(Routing, UnloadAnswersAreHonoured) {
  auto stat = [&](const char *name) {
    const Response r = Call("Stats");
    return std::stoi(Out(r, name));
  };
  ASSERT_FALSE(Call("SetCleanup", {{"Rc", std::to_string(CMPI_RC_DO_NOT_UNLOAD)}}).is_error);
  const int factories = stat("Factories");
  const int cleanups = stat("Cleanups");
  // The instance MI refuses first: nothing is cleaned up beyond it, the MIs stay.
  EXPECT_EQ(cimom_->providers().unload_idle(std::chrono::seconds(0)), 0);
  EXPECT_EQ(stat("Cleanups"), cleanups + 1);
  EXPECT_EQ(stat("Factories"), factories);

  // Agreeing: everything is cleaned up and the library closed; it is opened again on the
  // next use (its counters may then start over).
  ASSERT_FALSE(Call("SetCleanup", {{"Rc", "0"}}).is_error);
  EXPECT_EQ(cimom_->providers().unload_idle(std::chrono::seconds(0)), 1);
  ASSERT_FALSE(Call("Stats").is_error);
  int loads = 0;
  for (const auto &s : cimom_->providers().stats())
    if (s.library.find("cimhost_test_widget") != std::string::npos) loads = s.loads;
  EXPECT_EQ(loads, 2);

  // Never: no further clean-up until the CIMOM stops.
  ASSERT_FALSE(Call("SetCleanup", {{"Rc", std::to_string(CMPI_RC_NEVER_UNLOAD)}}).is_error);
  cimom_->providers().unload_idle(std::chrono::seconds(0));
  const int after_never = stat("Cleanups");
  cimom_->providers().unload_idle(std::chrono::seconds(0));
  EXPECT_EQ(stat("Cleanups"), after_never);
  // Not idle long enough: nothing happens.
  ASSERT_FALSE(Call("SetCleanup", {{"Rc", "0"}}).is_error);
  EXPECT_EQ(cimom_->providers().unload_idle(std::chrono::hours(1)), 0);
}

// What decoding a document may cost, from its bytes: tags and the text after each count as
// nodes, '=' outside quotes as attributes; a '<' ends a tag, as does the end of the text.
TEST(DecodeCost, CountsNodesAndAttributesOutsideQuotes) {
  const auto units = [](const std::string &doc) -> long {
    size_t bytes = 0;
    if (!cimhost::decode_cost(doc.data(), doc.size(), 32, &bytes)) return -1;
    return static_cast<long>(bytes - 3 * doc.size());
  };
  const auto attributes = [](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += " x=\"\"";
    return s;
  };
  const long node = units("<a>") / 2;
  ASSERT_GT(node, 0);
  const struct {
    std::string doc;
    long nodes_and_attributes;  // -1: refused
  } cases[] = {
      {"", 0},
      {"text without tags", 0},
      {"<a b=\"x>y=z\" c='=>' d=\"\">t</a>", 4 + 3},
      {"<a b=\"never closed>", 2 + 1},
      {"<a<b c=1>", 4 + 1},
      {"<a" + attributes(32) + ">", 2 + 32},
      {"<a" + attributes(33) + ">", -1},
  };
  for (const auto &c : cases) {
    const long got = units(c.doc);
    EXPECT_EQ(got, c.nodes_and_attributes < 0 ? -1 : c.nodes_and_attributes * node) << c.doc;
  }
}

}  // namespace
