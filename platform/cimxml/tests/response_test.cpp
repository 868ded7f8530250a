/* Responses: every IRETURNVALUE form and extrinsic answers are well-formed
 * and read back to what was written; errors for both call kinds. */
#include "test_support.h"

#include <cstring>

using namespace cimxml;
using namespace cimxml_test;

namespace {

class Responses : public LeakChecked {
 protected:
  void SetUp() override {
    LeakChecked::SetUp();
    op_ = path("root/cimv2:Qelvo_ConcreteJob.InstanceID=\"Qelvo:1\"");
    inst_.reset(native_new_CMPIInstance(op_.get(), nullptr));
    set("JobState", u16(7));
    set("Name", str("transfer <1>"));
    set("Errors", string_array({"none"}));
  }
  void TearDown() override {
    inst_.reset();
    op_.reset();
    LeakChecked::TearDown();
  }
  void set(const char *name, const Value &v) {
    CMPIValue val = v.data().value;
    inst_->ft->setProperty(inst_.get(), name, &val, v.type());
  }
  PathPtr op_;
  InstancePtr inst_;
};

TEST_F(Responses, InstancesAndNamesReadBack) {
  {
    ResponseWriter w("1", "GetInstance", true);
    w.add_instance(inst_.get());
    Response r = parse_response(w.finish());
    EXPECT_EQ(r.message_id, "1");
    EXPECT_TRUE(r.intrinsic);
    EXPECT_EQ(r.method, "GetInstance");
    EXPECT_FALSE(r.is_error);
    ASSERT_EQ(r.instances.size(), 1u);
    EXPECT_TRUE(same_instance(r.instances[0].get(), inst_.get()));
  }
  {
    ResponseWriter w("2", "EnumerateInstances", true);
    w.add_named_instance(inst_.get());
    w.add_named_instance(inst_.get(), op_.get());
    Response r = parse_response(w.finish());
    ASSERT_EQ(r.instances.size(), 2u);
    for (const auto &i : r.instances) {
      EXPECT_TRUE(same_instance(i.get(), inst_.get()));
      CMPIObjectPath *p = i->ft->getObjectPath(i.get(), nullptr);
      EXPECT_EQ(text(key_data(p, "InstanceID")), "Qelvo:1");
      p->ft->release(p);
    }
  }
  {
    ResponseWriter w("3", "EnumerateInstanceNames", true);
    w.add_instance_name(op_.get());
    Response r = parse_response(w.finish());
    ASSERT_EQ(r.paths.size(), 1u);
    EXPECT_EQ(text(key_data(r.paths[0].get(), "InstanceID")), "Qelvo:1");
  }
  {
    ResponseWriter w("4", "CreateInstance", true);
    w.add_instance_name(op_.get());
    Response r = parse_response(w.finish());
    ASSERT_EQ(r.paths.size(), 1u);
  }
}

TEST_F(Responses, AssociationResultsCarryFullPaths) {
  ResponseWriter w("5", "Associators", true);
  w.set_default_host("cimhost");
  w.add_object_with_path(inst_.get());
  PathPtr elsewhere = path("//other/interop:CIM_RegisteredProfile.InstanceID=\"p\"");
  InstancePtr profile(native_new_CMPIInstance(elsewhere.get(), nullptr));
  w.add_object_with_path(profile.get(), elsewhere.get());
  std::string body = w.finish();
  EXPECT_NE(body.find("<HOST>cimhost</HOST>"), std::string::npos);
  Response r = parse_response(body);
  ASSERT_EQ(r.instances.size(), 2u);
  CMPIObjectPath *p0 = r.instances[0]->ft->getObjectPath(r.instances[0].get(), nullptr);
  EXPECT_EQ(host_of(p0), "cimhost");
  EXPECT_EQ(namespace_of(p0), "root/cimv2");
  p0->ft->release(p0);
  CMPIObjectPath *p1 = r.instances[1]->ft->getObjectPath(r.instances[1].get(), nullptr);
  EXPECT_EQ(host_of(p1), "other");
  EXPECT_EQ(namespace_of(p1), "interop");
  p1->ft->release(p1);

  ResponseWriter names("6", "ReferenceNames", true);
  names.set_default_host("cimhost");
  names.set_default_namespace("fallback/ns");
  PathPtr bare = path("CIM_Dependency.Antecedent=\"x\"");
  names.add_object_path(bare.get());
  names.add_class_path("", "CIM_Dependency");
  Response rn = parse_response(names.finish());
  ASSERT_EQ(rn.paths.size(), 2u);
  EXPECT_EQ(host_of(rn.paths[0].get()), "cimhost");
  EXPECT_EQ(namespace_of(rn.paths[0].get()), "fallback/ns");
  EXPECT_EQ(rn.paths[1]->ft->getKeyCount(rn.paths[1].get(), nullptr), 0u);
  EXPECT_EQ(class_of(rn.paths[1].get()), "CIM_Dependency");
}

TEST_F(Responses, ClassesClassNamesAndValues) {
  ClassDecl c;
  c.name = "Qelvo_ConcreteJob";
  c.superclass = "CIM_ConcreteJob";
  PropertyDecl p;
  p.name = "JobState";
  p.type = CimType::Uint16;
  c.properties.push_back(p);
  {
    ResponseWriter w("7", "GetClass", true);
    w.add_class(c);
    Response r = parse_response(w.finish());
    ASSERT_EQ(r.classes.size(), 1u);
    ClassDecl expect = c;
    expect.properties[0].class_origin = c.name; /* a class's own features */
    EXPECT_EQ(r.classes[0], expect);
  }
  {
    ResponseWriter w("8", "EnumerateClassNames", true);
    w.add_class_name("A");
    w.add_class_name("B&C");
    Response r = parse_response(w.finish());
    EXPECT_EQ(r.class_names, (std::vector<std::string>{"A", "B&C"}));
  }
  {
    ResponseWriter w("9", "GetProperty", true);
    w.add_value(u16_array({1, 2}).data());
    Response r = parse_response(w.finish());
    ASSERT_TRUE(r.has_value);
    EXPECT_EQ(r.value.type(), CMPI_stringA); /* untyped on the wire */
    EXPECT_EQ(text(r.value.data()), text(string_array({"1", "2"}).data()));
  }
}

TEST_F(Responses, ReturnValueSectionFollowsTheOperation) {
  /* Operations with results always carry IRETURNVALUE, even when empty. */
  std::string empty_enum = ResponseWriter("10", "EnumerateInstances", true).finish();
  EXPECT_NE(empty_enum.find("<IRETURNVALUE>\n</IRETURNVALUE>"), std::string::npos) << empty_enum;
  Response r = parse_response(empty_enum);
  EXPECT_TRUE(r.instances.empty());
  EXPECT_FALSE(r.is_error);
  std::string deleted = ResponseWriter("11", "DeleteInstance", true).finish();
  EXPECT_EQ(deleted.find("IRETURNVALUE"), std::string::npos) << deleted;
  EXPECT_EQ(deleted,
            "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\">\n"
            "<MESSAGE ID=\"11\" PROTOCOLVERSION=\"1.0\">\n<SIMPLERSP>\n<IMETHODRESPONSE NAME=\"DeleteInstance\">\n"
            "</IMETHODRESPONSE>\n</SIMPLERSP>\n</MESSAGE>\n</CIM>\n");
}

TEST_F(Responses, MethodResponsesPutTheReturnValueFirst) {
  ResponseWriter w("12", "TransferViaURL", false);
  PathPtr job = path("//cimhost/root/cimv2:Qelvo_ConcreteJob.InstanceID=\"Qelvo:2\"");
  w.add_out_param("Job", ref_value(job).data());
  w.set_return_value(u32(4096).data());
  w.add_out_param("TransferOptions", u16_array({1, 3}).data());
  CMPIData emb;
  std::memset(&emb, 0, sizeof emb);
  emb.type = CMPI_instance;
  emb.value.inst = inst_.get();
  w.add_out_param("Error", emb);
  w.add_out_param("Nothing", Value::null_of(CMPI_string).data());
  std::string body = w.finish();
  std::size_t rv = body.find("<RETURNVALUE PARAMTYPE=\"uint32\"><VALUE>4096</VALUE></RETURNVALUE>");
  ASSERT_NE(rv, std::string::npos) << body;
  EXPECT_LT(rv, body.find("<PARAMVALUE NAME=\"Job\" PARAMTYPE=\"reference\">")) << body;
  Response r = parse_response(body);
  EXPECT_FALSE(r.intrinsic);
  EXPECT_EQ(r.method, "TransferViaURL");
  ASSERT_TRUE(r.has_return_value);
  EXPECT_EQ(r.return_value.value.type(), CMPI_uint32);
  EXPECT_EQ(r.return_value.value.data().value.uint32, 4096u);
  ASSERT_EQ(r.out_params.size(), 4u);
  EXPECT_EQ(r.out_params[0].name, "Job");
  EXPECT_TRUE(same_data(r.out_params[0].value.data(), ref_value(job).data()));
  EXPECT_EQ(r.out_params[1].value.type(), CMPI_uint16A);
  ASSERT_EQ(r.out_params[2].value.type(), CMPI_instance);
  EXPECT_TRUE(same_instance(r.out_params[2].value.data().value.inst, inst_.get()));
  EXPECT_TRUE(r.out_params[3].value.is_null());
  EXPECT_EQ(r.out_params[3].value.type(), CMPI_string);

  /* OUT parameters held in a provider's CMPIArgs go out the same way. */
  ArgsPtr args(native_new_CMPIArgs(nullptr));
  Value jv = ref_value(job);
  CMPIValue v = jv.data().value;
  args->ft->addArg(args.get(), "Job", &v, CMPI_ref);
  std::vector<ParamValue> outs = params_from_args(args.get());
  ASSERT_EQ(outs.size(), 1u);
  EXPECT_EQ(outs[0].name, "Job");
  EXPECT_EQ(outs[0].paramtype, "reference");
}

TEST_F(Responses, ErrorsForBothCallKinds) {
  std::string e = ResponseWriter::error("13", "GetInstance", true, CMPI_RC_ERR_NOT_FOUND,
                                        "no instance \"Qelvo:9\" <here> & there");
  EXPECT_NE(e.find("<IMETHODRESPONSE NAME=\"GetInstance\">\n<ERROR CODE=\"6\" DESCRIPTION=\"no instance "
                   "&quot;Qelvo:9&quot; &lt;here&gt; &amp; there\"/>"),
            std::string::npos)
      << e;
  Response r = parse_response(e);
  EXPECT_TRUE(r.is_error);
  EXPECT_EQ(r.error_code, CMPI_RC_ERR_NOT_FOUND);
  EXPECT_EQ(r.error_description, "no instance \"Qelvo:9\" <here> & there");

  Response m = parse_response(ResponseWriter::error("14\"", "TransferViaURL", false, CMPI_RC_ERR_INVALID_PARAMETER, ""));
  EXPECT_FALSE(m.intrinsic);
  EXPECT_EQ(m.message_id, "14\"");
  EXPECT_EQ(m.error_code, CMPI_RC_ERR_INVALID_PARAMETER);
}

TEST_F(Responses, InstanceOptionsFilterPropertiesAndAddOrigins) {
  ClassDecl c;
  c.name = "Qelvo_ConcreteJob";
  PropertyDecl js;
  js.name = "JobState";
  js.type = CimType::Uint16;
  js.class_origin = "CIM_ConcreteJob";
  Qualifier d;
  d.name = "Description";
  d.type = CimType::String;
  d.value = Literal::scalar("state");
  js.qualifiers.push_back(d);
  c.properties.push_back(js);
  std::vector<std::string> list = {"jobstate", "Errors"};
  InstanceOptions opts;
  opts.property_list = &list;
  opts.cls = &c;
  opts.include_class_origin = true;
  opts.include_qualifiers = true;
  std::string xml;
  write_instance(xml, inst_.get(), opts);
  EXPECT_EQ(xml.find("NAME=\"Name\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("<PROPERTY NAME=\"JobState\" TYPE=\"uint16\" CLASSORIGIN=\"CIM_ConcreteJob\">"
                     "<QUALIFIER NAME=\"Description\" TYPE=\"string\"><VALUE>state</VALUE></QUALIFIER>"
                     "<VALUE>7</VALUE></PROPERTY>"),
            std::string::npos)
      << xml;
  EXPECT_NE(xml.find("NAME=\"Errors\""), std::string::npos) << xml;
  InstancePtr back = parse_instance(xml);
  EXPECT_EQ(back->ft->getPropertyCount(back.get(), nullptr), 2u);
}

TEST_F(Responses, InstancePropertiesFindTheirDeclarationsInAnyOrder) {
  ClassDecl c;
  c.name = "Qelvo_ConcreteJob";
  for (const char *n : {"InstanceID", "JobState", "Name", "Errors", "Note"}) {
    PropertyDecl p;
    p.name = n;
    p.type = std::strcmp(n, "JobState") == 0 ? CimType::Uint16 : CimType::String;
    p.is_array = std::strcmp(n, "Errors") == 0;
    p.class_origin = std::string("Origin_") + n;
    if (std::strcmp(n, "Note") == 0) {
      Qualifier q;
      q.name = "EmbeddedInstance";
      q.type = CimType::String;
      q.value = Literal::scalar("Qelvo_Note");
      p.qualifiers.push_back(q);
    }
    c.properties.push_back(p);
  }
  /* Out of declaration order (the key, from the path, comes first), with a
   * property the class does not declare and names in another case. */
  InstancePtr inst(native_new_CMPIInstance(op_.get(), nullptr));
  for (const char *n : {"errors", "Undeclared", "InstanceID", "NOTE", "jobstate"}) {
    Value v = std::strcmp(n, "errors") == 0 ? string_array({"e"}) : str("v");
    CMPIValue val = v.data().value;
    inst->ft->setProperty(inst.get(), n, &val, v.type());
  }
  InstanceOptions opts;
  opts.cls = &c;
  opts.include_class_origin = true;
  std::string xml;
  write_instance(xml, inst.get(), opts);
  EXPECT_EQ(xml,
            "<INSTANCE CLASSNAME=\"Qelvo_ConcreteJob\">"
            "<PROPERTY NAME=\"InstanceID\" TYPE=\"string\" CLASSORIGIN=\"Origin_InstanceID\"><VALUE>v</VALUE></PROPERTY>"
            "<PROPERTY.ARRAY NAME=\"errors\" TYPE=\"string\" CLASSORIGIN=\"Origin_Errors\">"
            "<VALUE.ARRAY><VALUE>e</VALUE></VALUE.ARRAY></PROPERTY.ARRAY>"
            "<PROPERTY NAME=\"Undeclared\" TYPE=\"string\"><VALUE>v</VALUE></PROPERTY>"
            "<PROPERTY NAME=\"NOTE\" TYPE=\"string\" EmbeddedObject=\"instance\" CLASSORIGIN=\"Origin_Note\">"
            "<VALUE>v</VALUE></PROPERTY>"
            "<PROPERTY NAME=\"jobstate\" TYPE=\"string\" CLASSORIGIN=\"Origin_JobState\"><VALUE>v</VALUE></PROPERTY>"
            "</INSTANCE>");
}

}  // namespace
