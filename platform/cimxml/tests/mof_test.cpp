/* MOF: realistic class declarations read into the model, written back and
 * read again to the same model; the class XML of the result; faults with
 * their line numbers. */
#include "test_support.h"

using namespace cimxml;
using namespace cimxml_test;

namespace {

class Mof : public LeakChecked {};

MofFile read_data(const std::string &name) {
  MofOptions opts;
  opts.qualifier_types = parse_mof(data_file("qualifiers.mof"), "qualifiers.mof").qualifier_decls;
  return parse_mof(data_file(name), name, opts);
}

const Qualifier &q(const QualifierList &list, const char *name) {
  const Qualifier *found = find_qualifier(list, name);
  if (found == nullptr) throw std::runtime_error(std::string("no qualifier ") + name);
  return *found;
}

/* Resolves every class of a file in order (superclasses come first). */
std::vector<ClassDecl> resolve_all(const MofFile &mof) {
  std::vector<ClassDecl> out;
  for (const auto &c : mof.classes) {
    const ClassDecl *parent = nullptr;
    for (const auto &r : out)
      if (iequals(r.name, c.superclass)) parent = &r;
    out.push_back(resolve_class(c, parent));
  }
  return out;
}

TEST_F(Mof, JobChainIsReadCompletely) {
  MofFile mof = read_data("job_chain.mof");
  ASSERT_EQ(mof.classes.size(), 8u);
  ASSERT_EQ(mof.instances.size(), 1u);
  EXPECT_EQ(mof.instances[0].class_name, "CIM_ConcreteJob");
  EXPECT_EQ(mof.instances[0].name_space, "root/cimv2");
  ASSERT_EQ(mof.instances[0].properties.size(), 2u);
  EXPECT_EQ(mof.instances[0].properties[1].items[0].text, "not part of the schema");
  ASSERT_EQ(mof.pragmas.size(), 2u);
  EXPECT_EQ(mof.pragmas[1].name, "namespace");
  EXPECT_EQ(mof.pragmas[1].value, "root/cimv2");

  const ClassDecl &me = *mof.find_class("CIM_ManagedElement");
  EXPECT_TRUE(me.is_abstract());
  EXPECT_EQ(qualifier_text(me.qualifiers, "Description"),
            "ManagedElement is an abstract class that provides a common superclass for the non-association classes.");
  EXPECT_EQ(q(me.qualifiers, "Abstract").tosubclass, false); /* restricted */
  EXPECT_EQ(q(me.property("Caption")->qualifiers, "MaxLen").type, CimType::Uint32);
  EXPECT_EQ(q(me.property("Caption")->qualifiers, "MaxLen").value, Literal::scalar("64"));

  const ClassDecl &mse = *mof.find_class("CIM_ManagedSystemElement");
  EXPECT_EQ(mse.superclass, "CIM_ManagedElement");
  const PropertyDecl *os = mse.property("operationalstatus");
  ASSERT_NE(os, nullptr);
  EXPECT_EQ(os->type, CimType::Uint16);
  EXPECT_TRUE(os->is_array);
  const Qualifier &vm = q(os->qualifiers, "ValueMap");
  EXPECT_TRUE(vm.is_array);
  EXPECT_EQ(vm.value.items, (std::vector<std::string>{"0", "1", "2", "3", "..", "0x8000.."}));
  EXPECT_TRUE(q(os->qualifiers, "Values").translatable);
  EXPECT_EQ(mse.property("InstallDate")->type, CimType::DateTime);

  const ClassDecl &job = *mof.find_class("CIM_Job");
  EXPECT_EQ(job.property("TimeBeforeRemoval")->default_value, Literal::scalar("00000000000500.000000:000"));
  EXPECT_EQ(job.property("DeleteOnCompletion")->default_value, Literal::scalar("TRUE"));
  EXPECT_EQ(job.property("Priority")->default_value, Literal::scalar("16"));       /* 0x10 */
  EXPECT_EQ(job.property("PercentComplete")->default_value, Literal::scalar("5")); /* 101b */
  EXPECT_EQ(job.property("Offset")->default_value, Literal::scalar("-15"));        /* octal */
  EXPECT_EQ(job.property("Ratio")->default_value, Literal::scalar("250.0"));
  EXPECT_TRUE(job.property("JobStatus")->default_value.null);

  const ClassDecl &cj = *mof.find_class("CIM_ConcreteJob");
  EXPECT_EQ(cj.key_names(), std::vector<std::string>{"InstanceID"});
  EXPECT_EQ(qualifier_text(cj.property("InstanceID")->qualifiers, "Override"), "InstanceID");
  const MethodDecl *rsc = cj.method("RequestStateChange");
  ASSERT_NE(rsc, nullptr);
  EXPECT_EQ(rsc->return_type, CimType::Uint32);
  ASSERT_EQ(rsc->parameters.size(), 2u);
  EXPECT_EQ(rsc->parameters[0].type, CimType::Uint16);
  EXPECT_TRUE(rsc->parameters[0].is_in());
  EXPECT_FALSE(rsc->parameters[0].is_out());
  EXPECT_EQ(rsc->parameters[1].type, CimType::DateTime);
  const ParameterDecl *err = cj.method("GetError")->parameter("Error");
  EXPECT_TRUE(err->is_out());
  EXPECT_EQ(qualifier_text(err->qualifiers, "EmbeddedInstance"), "CIM_Error");

  const ClassDecl &qj = *mof.find_class("Qelvo_ConcreteJob");
  EXPECT_EQ(qj.property("Flags")->array_size, 4u);

  const ClassDecl &dep = *mof.find_class("CIM_Dependency");
  EXPECT_TRUE(dep.is_association());
  EXPECT_EQ(dep.property("Antecedent")->type, CimType::Reference);
  EXPECT_EQ(dep.property("Antecedent")->reference_class, "CIM_ManagedElement");
  EXPECT_EQ(dep.key_names(), (std::vector<std::string>{"Antecedent", "Dependent"}));
}

TEST_F(Mof, ServiceMethodsWithInOutArraysAndReferences) {
  MofFile mof = read_data("transfer_service.mof");
  const ClassDecl &svc = *mof.find_class("Qelvo_FileTransferService");
  EXPECT_EQ(qualifier_text(svc.qualifiers, "Description"),
            "Moves files between the host and remote stores.\nSecond line with a \"quote\", a \\ and a tab\t.");
  EXPECT_EQ(svc.property("SupportedProtocols")->default_value, Literal::list({"2", "3"}));
  EXPECT_EQ(svc.property("Separator")->default_value, Literal::scalar("/"));
  EXPECT_EQ(svc.property("Quote")->default_value, Literal::scalar("'"));
  EXPECT_EQ(svc.property("Euro")->default_value, Literal::scalar("\xE2\x82\xAC"));
  EXPECT_EQ(svc.property("Floor")->default_value, Literal::scalar("-9223372036854775808"));
  EXPECT_EQ(svc.property("Ceiling")->default_value, Literal::scalar("18446744073709551615"));

  const MethodDecl &t = *svc.method("TransferViaURL");
  ASSERT_EQ(t.parameters.size(), 5u);
  EXPECT_TRUE(t.parameters[1].is_in() && t.parameters[1].is_out() && t.parameters[1].is_array);
  const ParameterDecl &job = *t.parameter("Job");
  EXPECT_EQ(job.type, CimType::Reference);
  EXPECT_EQ(job.reference_class, "CIM_ConcreteJob");
  EXPECT_FALSE(job.is_in());
  EXPECT_TRUE(job.is_out());
  const ParameterDecl &targets = *t.parameter("Targets");
  EXPECT_EQ(targets.type, CimType::Reference);
  EXPECT_TRUE(targets.is_array);
  /* A declared qualifier keeps its declared type. */
  EXPECT_EQ(q(t.parameter("Retries")->qualifiers, "Vendor_Flag").type, CimType::Uint8);
  EXPECT_EQ(q(t.qualifiers, "Values").value.items.size(), 6u);
  EXPECT_TRUE(svc.method("ListFileStore")->parameter("Sizes")->is_array);
  EXPECT_EQ(mof.find_class("CIM_Service")->method("StartService")->parameters.size(), 0u);
}

TEST_F(Mof, WriteThenReadGivesTheSameModel) {
  for (const char *file : {"job_chain.mof", "transfer_service.mof", "schemaimport_style.mof", "qualifiers.mof"}) {
    SCOPED_TRACE(file);
    MofFile first = read_data(file);
    std::string text = write_mof(first);
    MofOptions opts;
    opts.qualifier_types = parse_mof(data_file("qualifiers.mof")).qualifier_decls;
    MofFile second = parse_mof(text, "written", opts);
    EXPECT_EQ(second.classes, first.classes) << text;
    EXPECT_EQ(second.pragmas, first.pragmas);
    EXPECT_TRUE(second.qualifier_decls == first.qualifier_decls) << text;
    /* Writing is stable. */
    EXPECT_EQ(write_mof(second), text);
  }
}

TEST_F(Mof, WriterFormat) {
  MofFile mof = read_data("transfer_service.mof");
  std::string text = write_class_mof(*mof.find_class("Qelvo_FileTransferService"));
  EXPECT_EQ(text.find("[Version(\"1.0.0\"),\n Description(\"Moves files between the host and remote stores.\\n"
                      "Second line with a \\\"quote\\\", a \\\\ and a tab\\t.\")]\n"
                      "class Qelvo_FileTransferService : CIM_Service {\n"),
            0u)
      << text;
  EXPECT_NE(text.find("  uint16 SupportedProtocols[] = {2, 3};\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  char16 Separator = '/';\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  char16 Quote = '\\'';\n"), std::string::npos) << text;
  EXPECT_NE(text.find("    [Description(\"Copies a file from a URL to the file store.\"),\n     ValueMap{\"0\", "),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("      [IN, OUT] uint16 TransferOptions[],\n"), std::string::npos) << text;
  EXPECT_NE(text.find("      [IN(FALSE), OUT] CIM_ConcreteJob REF Job,\n"), std::string::npos) << text;
  EXPECT_NE(text.find("      [IN] CIM_ManagedElement REF Targets[],\n"), std::string::npos) << text;
  EXPECT_NE(write_class_mof(*mof.find_class("CIM_Service")).find("\n  uint32 StartService();\n"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 3), "};\n");
}

TEST_F(Mof, SchemaImportOutputIsRead) {
  /* What the schema import program writes from class XML: qualifiers with
   * explicit TRUE, entities replaced by plain characters, raw line breaks
   * inside strings, parameters separated by ",\n". */
  MofFile mof = parse_mof(data_file("schemaimport_style.mof"), "cimv2.mof");
  ASSERT_EQ(mof.classes.size(), 2u);
  const ClassDecl &ch = mof.classes[0];
  EXPECT_EQ(ch.superclass, "CIM_PhysicalFrame");
  EXPECT_EQ(qualifier_text(ch.qualifiers, "Description"), "A physical frame <b> & housing");
  EXPECT_TRUE(ch.property("Tag")->is_key());
  EXPECT_EQ(qualifier_text(ch.property("Memory")->qualifiers, "Description"), "Raw line\nbreak kept");
  EXPECT_EQ(ch.property("Owner")->reference_class, "CIM_ManagedElement");
  const MethodDecl &led = *ch.method("SetLED");
  ASSERT_EQ(led.parameters.size(), 4u);
  EXPECT_TRUE(led.parameters[2].is_out());
  EXPECT_TRUE(led.parameters[3].is_array);
  EXPECT_EQ(led.parameters[3].type, CimType::Reference);
  EXPECT_TRUE(mof.classes[1].is_association());
}

TEST_F(Mof, ResolvedChainAndItsClassXml) {
  MofFile mof = read_data("job_chain.mof");
  std::vector<ClassDecl> resolved = resolve_all(mof);
  const ClassDecl &qj = resolved[5];
  ASSERT_EQ(qj.name, "Qelvo_ConcreteJob");
  /* Everything from CIM_ManagedElement down is there, in inheritance order. */
  EXPECT_EQ(qj.properties.front().name, "InstanceID");
  EXPECT_EQ(qj.properties.back().name, "Flags");
  const PropertyDecl *id = qj.property("InstanceID");
  EXPECT_TRUE(id->is_key());
  EXPECT_TRUE(id->propagated);
  EXPECT_EQ(id->class_origin, "CIM_ConcreteJob");
  EXPECT_EQ(qj.property("Caption")->class_origin, "CIM_ManagedElement");
  EXPECT_EQ(qj.property("Owner")->class_origin, "Qelvo_ConcreteJob");
  EXPECT_FALSE(qj.property("Owner")->propagated);
  EXPECT_EQ(qj.property("TimeBeforeRemoval")->class_origin, "CIM_ConcreteJob");
  EXPECT_EQ(qj.method("KillJob")->class_origin, "CIM_Job");
  EXPECT_EQ(qj.method("GetError")->class_origin, "CIM_ConcreteJob");
  /* Abstract is restricted to the class that says it. */
  EXPECT_EQ(find_qualifier(qj.qualifiers, "Abstract"), nullptr);
  EXPECT_TRUE(resolved[0].is_abstract());
  EXPECT_FALSE(resolved[2].qualifier("Abstract")->propagated);
  EXPECT_EQ(qj.key_names(), std::vector<std::string>{"InstanceID"});
  /* An override keeps the inherited qualifiers it does not restate. */
  const PropertyDecl *tbr = qj.property("TimeBeforeRemoval");
  const Qualifier *desc = find_qualifier(tbr->qualifiers, "Description");
  ASSERT_NE(desc, nullptr);
  EXPECT_TRUE(desc->propagated);

  /* CLASS XML with qualifiers and origins reads back to the same model. */
  ClassOptions full;
  full.include_class_origin = true;
  std::string xml;
  write_class(xml, qj, full);
  EXPECT_EQ(parse_class(xml), qj) << xml;
  for (const auto &c : resolved) {
    std::string x;
    write_class(x, c, full);
    EXPECT_EQ(parse_class(x), c) << c.name;
  }
}

TEST_F(Mof, ClassXmlHonoursTheRequestOptions) {
  MofFile mof = read_data("job_chain.mof");
  std::vector<ClassDecl> resolved = resolve_all(mof);
  const ClassDecl &qj = resolved[5];
  {
    ClassOptions local;
    local.local_only = true;
    std::string xml;
    write_class(xml, qj, local);
    ClassDecl back = parse_class(xml);
    ASSERT_EQ(back.properties.size(), 2u) << xml;
    EXPECT_EQ(back.properties[0].name, "Owner");
    EXPECT_TRUE(back.methods.empty());
    EXPECT_EQ(xml.find("PROPAGATED"), std::string::npos);
    EXPECT_EQ(xml.find("CLASSORIGIN"), std::string::npos);
  }
  {
    ClassOptions bare;
    bare.include_qualifiers = false;
    std::string xml;
    write_class(xml, qj, bare);
    EXPECT_EQ(xml.find("<QUALIFIER"), std::string::npos) << xml;
    ClassDecl back = parse_class(xml);
    EXPECT_EQ(back.properties.size(), qj.properties.size());
    EXPECT_EQ(back.methods.size(), qj.methods.size());
    /* Without qualifiers the parameters still carry their types. */
    EXPECT_EQ(back.method("RequestStateChange")->parameters[1].type, CimType::DateTime);
  }
  {
    std::vector<std::string> list = {"jobstate", "NAME"};
    ClassOptions some;
    some.property_list = &list;
    std::string xml;
    write_class(xml, qj, some);
    ClassDecl back = parse_class(xml);
    ASSERT_EQ(back.properties.size(), 2u);
    EXPECT_EQ(back.properties[0].name, "Name");
    EXPECT_EQ(back.properties[1].name, "JobState");
    EXPECT_EQ(back.methods.size(), qj.methods.size());
  }
  {
    /* The schema import program reads NAME then TYPE, REFERENCECLASS for
     * references, and SUPERCLASS from the CLASS tag. */
    std::string xml;
    write_class(xml, resolved[7], ClassOptions());
    EXPECT_EQ(xml.find("<CLASS NAME=\"CIM_AffectedJobElement\" SUPERCLASS=\"CIM_Dependency\">"), 0u) << xml;
    EXPECT_NE(xml.find("<PROPERTY.REFERENCE NAME=\"Dependent\" REFERENCECLASS=\"CIM_Job\">"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<QUALIFIER NAME=\"Association\" TYPE=\"boolean\" OVERRIDABLE=\"false\">"
                       "<VALUE>TRUE</VALUE></QUALIFIER><PROPERTY.REFERENCE"),
              std::string::npos)
        << xml;
    /* The key qualifier comes from CIM_Dependency. */
    EXPECT_NE(xml.find("<QUALIFIER NAME=\"Key\" TYPE=\"boolean\" PROPAGATED=\"true\" OVERRIDABLE=\"false\">"),
              std::string::npos)
        << xml;
  }
  {
    std::string xml;
    write_class(xml, resolved[4], ClassOptions());
    EXPECT_NE(xml.find("<PARAMETER NAME=\"Error\" TYPE=\"string\"><QUALIFIER NAME=\"OUT\" TYPE=\"boolean\" "
                       "OVERRIDABLE=\"false\"><VALUE>TRUE</VALUE></QUALIFIER><QUALIFIER NAME=\"EmbeddedInstance\" "
                       "TYPE=\"string\" OVERRIDABLE=\"false\"><VALUE>CIM_Error</VALUE></QUALIFIER></PARAMETER>"),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find("<PROPERTY NAME=\"TimeBeforeRemoval\" TYPE=\"datetime\">"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<VALUE>00000000000500.000000:000</VALUE></PROPERTY>"), std::string::npos) << xml;
  }
}

TEST_F(Mof, ResolveRefusesAWrongParent) {
  MofFile mof = read_data("job_chain.mof");
  try {
    resolve_class(*mof.find_class("CIM_Job"), mof.find_class("CIM_ManagedElement"));
    ADD_FAILURE() << "accepted";
  } catch (const Error &e) {
    EXPECT_EQ(e.code(), CMPI_RC_ERR_INVALID_SUPERCLASS);
  }
  EXPECT_THROW(resolve_class(*mof.find_class("CIM_Job"), nullptr), Error);
}

TEST_F(Mof, IncludesAreFollowedThroughTheLoader) {
  MofOptions opts;
  std::vector<std::string> asked;
  opts.include_loader = [&](const std::string &name) -> std::optional<std::string> {
    asked.push_back(name);
    if (name == "qualifiers.mof") return data_file("qualifiers.mof");
    if (name == "service.mof") return data_file("transfer_service.mof");
    return std::nullopt;
  };
  MofFile mof = parse_mof("#pragma include (\"qualifiers.mof\")\n#pragma include (\"service.mof\")\n"
                          "class Extra : Qelvo_FileTransferService { };\n",
                          "main.mof", opts);
  EXPECT_EQ(asked, (std::vector<std::string>{"qualifiers.mof", "service.mof"}));
  EXPECT_EQ(mof.qualifier_decls.size(), 7u);
  ASSERT_EQ(mof.classes.size(), 3u);
  EXPECT_EQ(mof.classes[2].name, "Extra");
  try {
    parse_mof("\n#pragma include (\"missing.mof\")\n", "main.mof", opts);
    ADD_FAILURE() << "accepted";
  } catch (const MofError &e) {
    EXPECT_EQ(e.line(), 2);
    EXPECT_NE(e.detail().find("missing.mof"), std::string::npos);
  }
  /* Without a loader includes are recorded. */
  MofFile plain = parse_mof("#pragma include (\"qualifiers.mof\")\n");
  ASSERT_EQ(plain.pragmas.size(), 1u);
  EXPECT_EQ(plain.pragmas[0].value, "qualifiers.mof");
  /* A file that includes itself stops at the nesting limit. */
  MofOptions loop;
  loop.include_loader = [](const std::string &) -> std::optional<std::string> {
    return std::string("#pragma include (\"self.mof\")\n");
  };
  EXPECT_THROW(parse_mof("#pragma include (\"self.mof\")\n", "self.mof", loop), MofError);
}

TEST_F(Mof, FaultsNameTheirLine) {
  struct Case {
    const char *text;
    int line;
    const char *mentions;
  } cases[] = {
      {"class A {\n  string Name\n};\n", 3, "expected ';'"},
      {"class A {\n  strin Name;\n};\n", 2, "unknown data type \"strin\""},
      {"class A {\n  string N;\n  uint8 n;\n};\n", 3, "property n twice"},
      {"class A {\n  uint8 Small = 300;\n};\n", 2, "300"},
      {"class A {\n  boolean B = 1;\n};\n", 2, "boolean"},
      {"[Description(\"open\n\nclass A {};\n", 1, "unterminated string"},
      {"/* never closed\nclass A {};\n", 1, "unterminated comment"},
      {"class A {\n  [MaxLen(\"long\")] string S;\n};\n", 2, "uint32"},
      {"class A {\n  [Key : Sticky] string S;\n};\n", 2, "flavor"},
      {"class A {\n  datetime D = \"yesterday\";\n};\n", 2, "datetime"},
      {"class A {\n  uint32 M(string a, );\n};\n", 2, "parameter type"},
      {"class A { };\nclass A { };\n", 2, "declared twice"},
      {"class A {\n  string S;\n", 1, "not closed"},
      {"[Description{\"a\", \"b\"}]\nclass A { };\n", 1, "array value"},
      {"\n\nfoo bar;\n", 3, "expected a class declaration"},
      {"class A {\n  [Description] string S;\n};\n", 2, "needs a value"},
      {"class A {\n  uint16 x[] = {1, NULL};\n};\n", 2, "NULL inside an array"},
      {"class A {\n  X REF r[];\n};\n", 2, "cannot be arrays"},
      {"class A {\n  uint32 n = 12x;\n};\n", 2, "invalid number"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    try {
      parse_mof(c.text, "bad.mof");
      ADD_FAILURE() << "accepted";
    } catch (const MofError &e) {
      EXPECT_EQ(e.line(), c.line) << e.what();
      EXPECT_EQ(e.file(), "bad.mof");
      EXPECT_NE(e.detail().find(c.mentions), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).find("bad.mof:" + std::to_string(c.line) + ": "), 0u) << e.what();
    }
  }
}

TEST_F(Mof, UndeclaredQualifiersTakeTheTypeOfTheirValue) {
  MofFile mof = parse_mof(
      "[Vendor_Text(\"x\"), Vendor_Count(5), Vendor_Ratio(0.5), Vendor_On, Vendor_List{1, 2.5}, "
      "Vendor_Note(\"n\") : Translatable Restricted]\nclass A { };\n");
  const ClassDecl &a = mof.classes[0];
  EXPECT_EQ(q(a.qualifiers, "Vendor_Text").type, CimType::String);
  EXPECT_EQ(q(a.qualifiers, "Vendor_Count").type, CimType::Sint64);
  EXPECT_EQ(q(a.qualifiers, "Vendor_Ratio").type, CimType::Real64);
  EXPECT_EQ(q(a.qualifiers, "Vendor_On").type, CimType::Boolean);
  EXPECT_EQ(q(a.qualifiers, "Vendor_On").value, Literal::scalar("TRUE"));
  EXPECT_EQ(q(a.qualifiers, "Vendor_List").type, CimType::Real64);
  EXPECT_EQ(q(a.qualifiers, "Vendor_List").value, Literal::list({"1.0", "2.5"}));
  EXPECT_TRUE(q(a.qualifiers, "Vendor_Note").translatable);
  EXPECT_FALSE(q(a.qualifiers, "Vendor_Note").tosubclass);
  /* Standard qualifiers take their standard spelling and type. */
  MofFile std_q = parse_mof("[key, maxlen(3)]\nclass B { [KEY] string K; };\n");
  EXPECT_EQ(std_q.classes[0].qualifiers[0].name, "Key");
  EXPECT_EQ(std_q.classes[0].qualifiers[1].type, CimType::Uint32);
  EXPECT_EQ(std_q.classes[0].key_names(), std::vector<std::string>{"K"});
}

}  // namespace

namespace {

PropertyDecl named(const char *name) {
  PropertyDecl p;
  p.name = name;
  return p;
}

std::string with_case(std::string s, int (*to)(int)) {
  for (char &c : s) c = static_cast<char>(to(static_cast<unsigned char>(c)));
  return s;
}

/* Every property of `c` (of names declared once) is found under its name in
 * any case, and names it does not declare are not. */
void expect_lookups(const ClassDecl &c, const std::string &when) {
  for (const PropertyDecl &p : c.properties) {
    for (const std::string &n : {p.name, with_case(p.name, ::toupper), with_case(p.name, ::tolower)})
      EXPECT_EQ(c.property(n), &p) << c.name << "." << n << " " << when;
    EXPECT_EQ(c.property(p.name + "X"), nullptr) << when;
    EXPECT_EQ(c.property(p.name.substr(1)), nullptr) << when;
  }
  EXPECT_EQ(c.property(""), nullptr) << when;
}

}  // namespace

TEST_F(Mof, PropertiesAreFoundByNameThroughCopiesMovesAndChanges) {
  const std::vector<ClassDecl> resolved = resolve_all(read_data("job_chain.mof"));
  for (const ClassDecl &r : resolved) {
    ASSERT_GE(r.properties.size(), 2u) << r.name;
    expect_lookups(r, "as resolved");
    ClassDecl copy = r;
    expect_lookups(copy, "in a copy");
    const ClassDecl moved = std::move(copy);
    expect_lookups(moved, "after a move");

    /* Changes made after the index: each is seen by the next lookup. */
    struct Change {
      const char *what;
      void (*apply)(ClassDecl &);
      bool last_gone; /* the last property is no longer declared */
    };
    const Change changes[] = {
        {"first property renamed", [](ClassDecl &c) { c.properties[0].name = "Renamed"; }, false},
        {"first property moved to the end",
         [](ClassDecl &c) {
           PropertyDecl p = c.properties.front();
           c.properties.erase(c.properties.begin());
           c.properties.push_back(p);
         },
         false},
        {"property added", [](ClassDecl &c) { c.properties.push_back(named("Added")); }, false},
        {"last property removed", [](ClassDecl &c) { c.properties.pop_back(); }, true},
    };
    for (const Change &ch : changes) {
      ClassDecl c = r;
      const std::string last = c.properties.back().name;
      ch.apply(c);
      expect_lookups(c, ch.what);
      EXPECT_EQ(c.property(last) == nullptr, ch.last_gone) << ch.what;
      c.index_properties();
      expect_lookups(c, std::string(ch.what) + ", indexed again");
    }
  }
  /* A name declared twice is found where it was declared first; names alike
   * in length and in their first, middle and last letters are told apart. */
  ClassDecl c;
  c.properties = {named("A"), named("b"), named("B"), named("AbxxZ"), named("AxxbZ"), named("axxxz")};
  c.index_properties();
  EXPECT_EQ(c.property("B"), &c.properties[1]);
  EXPECT_EQ(c.property("AXXBZ"), &c.properties[4]);
  EXPECT_EQ(c.property("AxxxZ"), &c.properties[5]);
  EXPECT_EQ(c.property("AbxxZ"), &c.properties[3]);
  EXPECT_EQ(c.property("AxbxZ"), nullptr);
}
