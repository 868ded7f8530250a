// Placing classes into namespaces and finding their providers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "repository.h"

namespace {

using cimhost::Registration;
using cimhost::RepositoryBuilder;

const char kSchema[] =
    "class Base { [Key] string Id; };\n"
    "class Job : Base { uint16 State; uint32 Start([IN] Target REF Where); };\n"
    "class Target { [Key] string Name; };\n"
    "class Unrelated { string X; };\n";

Registration Reg(const std::string &cls, const std::string &provider, unsigned types,
                 std::vector<std::string> namespaces) {
  Registration r;
  r.class_name = cls;
  r.provider = provider;
  r.location = "lib_" + provider;
  r.types = types;
  r.namespaces = std::move(namespaces);
  return r;
}

std::vector<std::string> Names(const std::vector<const cimxml::ClassDecl *> &v) {
  std::vector<std::string> out;
  for (const auto *c : v) out.push_back(c->name);
  return out;
}

TEST(Repository, RegisteredClassesBringTheirAncestorsAndReferences) {
  RepositoryBuilder b;
  b.add_mof(cimxml::parse_mof(kSchema), "a.mof");
  b.add_registration(Reg("Job", "JobP", cimhost::kInstanceProvider | cimhost::kMethodProvider, {"a/b", "c/d"}));
  auto repo = b.build();
  EXPECT_TRUE(b.warnings().empty()) << b.warnings()[0];
  for (const char *ns : {"a/b", "c/d"}) {
    // Unrelated follows the other classes of its file.
    EXPECT_EQ(Names(repo->classes(ns, "", true)), (std::vector<std::string>{"Base", "Job", "Target", "Unrelated"}))
        << ns;
    EXPECT_EQ(Names(repo->classes(ns, "", false)), (std::vector<std::string>{"Base", "Target", "Unrelated"})) << ns;
    const cimxml::ClassDecl *job = repo->get_class(ns, "JOB");
    ASSERT_NE(job, nullptr);
    ASSERT_NE(job->property("Id"), nullptr);  // inherited
    EXPECT_TRUE(job->property("Id")->is_key());
    EXPECT_TRUE(repo->is_a(ns, "job", "BASE"));
    EXPECT_FALSE(repo->is_a(ns, "Base", "Job"));
    ASSERT_NE(repo->provider_for(ns, "Job", cimhost::kMethodProvider), nullptr);
    EXPECT_EQ(repo->provider_for(ns, "Base", cimhost::kInstanceProvider), nullptr);
    ASSERT_EQ(repo->providers_below(ns, "Base", cimhost::kInstanceProvider).size(), 1u);
    EXPECT_EQ(repo->provider_upward(ns, "Job", cimhost::kInstanceProvider)->provider, "JobP");
  }
  EXPECT_EQ(repo->get_class("root/cimv2", "Job"), nullptr);
  EXPECT_TRUE(repo->has_namespace("root/cimv2"));
  EXPECT_TRUE(repo->has_namespace("/A/B/"));
  EXPECT_FALSE(repo->has_namespace("a"));
}

TEST(Repository, PlacementByPragmaAndDefault) {
  RepositoryBuilder b;
  b.add_mof(cimxml::parse_mof("class Loose { string X; };"), "loose.mof");
  b.add_mof(cimxml::parse_mof("#pragma namespace(\"x/y\")\nclass Pinned { string X; };"), "pinned.mof");
  b.set_default_namespace("dflt/ns");
  auto repo = b.build();
  EXPECT_NE(repo->get_class("dflt/ns", "Loose"), nullptr);
  EXPECT_NE(repo->get_class("x/y", "Pinned"), nullptr);
  EXPECT_EQ(repo->get_class("dflt/ns", "Pinned"), nullptr);
  EXPECT_EQ(Names(repo->classes("x/y", "", false)), (std::vector<std::string>{"Pinned"}));
}

TEST(Repository, ProblemsAreWarningsAndLeaveTheRestServed) {
  RepositoryBuilder b;
  b.add_mof(cimxml::parse_mof("class Orphan : Missing { string X; };\nclass Fine { string X; };"), "o.mof");
  b.add_mof(cimxml::parse_mof("class Fine { string Y; };"), "again.mof");
  b.add_registration(Reg("Ghost", "GhostP", cimhost::kInstanceProvider, {"n/s"}));
  b.add_registration(Reg("Fine", "P1", cimhost::kInstanceProvider, {"n/s"}));
  b.add_registration(Reg("Fine", "P2", cimhost::kInstanceProvider, {"n/s"}));
  b.add_mof_file("/nonexistent/file.mof");
  b.add_registration_file("/nonexistent/file.reg");
  auto repo = b.build();
  const std::string all = [&] {
    std::string s;
    for (const auto &w : b.warnings()) s += w + "\n";
    return s;
  }();
  EXPECT_NE(all.find("superclass Missing is not declared"), std::string::npos) << all;
  EXPECT_NE(all.find("class Fine of again.mof replaces the one of o.mof"), std::string::npos) << all;
  EXPECT_NE(all.find("registered class Ghost has no MOF declaration"), std::string::npos) << all;
  EXPECT_NE(all.find("also registered by"), std::string::npos) << all;
  EXPECT_NE(all.find("/nonexistent/file.mof"), std::string::npos) << all;
  EXPECT_NE(all.find("/nonexistent/file.reg"), std::string::npos) << all;
  const cimxml::ClassDecl *fine = repo->get_class("n/s", "Fine");
  ASSERT_NE(fine, nullptr);
  EXPECT_NE(fine->property("Y"), nullptr);  // the later declaration
  EXPECT_EQ(repo->provider_for("n/s", "Fine", cimhost::kInstanceProvider)->provider, "P1");
  EXPECT_EQ(repo->get_class("root/cimv2", "Orphan"), nullptr);
}

TEST(Repository, ReadsTheProductSchemaAndStagingAreas) {
  RepositoryBuilder b;
  b.add_schema_dir(QELVO_MOF_DIR);
  auto repo = b.build();
  const cimxml::ClassDecl *job = repo->get_class("selk/cimv2", "Qelvo_ConcreteJob");
  ASSERT_NE(job, nullptr);
  EXPECT_TRUE(repo->is_a("selk/cimv2", "Qelvo_ConcreteJob", "CIM_ManagedElement"));
  EXPECT_NE(job->method("RequestStateChange"), nullptr);
  EXPECT_NE(repo->provider_for("qelvo/cimv2", "Qelvo_ConcreteJob", cimhost::kInstanceProvider), nullptr);

  // mofs/<namespace>/... and regs/, as the schema import stages them.
  char tmpl[] = "/tmp/cimhost-stage-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string d = tmpl;
  ASSERT_EQ(system(("mkdir -p " + d + "/mofs/qelvo/tavik0/cimv2 " + d + "/regs").c_str()), 0);
  std::ofstream(d + "/mofs/qelvo/tavik0/cimv2/a.mof") << "class Tavik_Thing { [Key] string Id; };\n";
  std::ofstream(d + "/regs/qelvotpp.reg")
      << "[Tavik_Thing]\n provider: QelvoTPP\n location: bmcrelay\n type: instance\n"
         " namespace: qelvo/tavik0/cimv2 qelvo/tavik1/cimv2\n";
  RepositoryBuilder s;
  s.add_stage_dir(d);
  auto staged = s.build();
  EXPECT_NE(staged->get_class("qelvo/tavik0/cimv2", "Tavik_Thing"), nullptr);
  EXPECT_EQ(staged->get_class("qelvo/tavik1/cimv2", "Tavik_Thing"), nullptr);  // no class staged there
  EXPECT_NE(staged->provider_for("qelvo/tavik0/cimv2", "Tavik_Thing", cimhost::kInstanceProvider), nullptr);
  ASSERT_EQ(system(("rm -rf " + d).c_str()), 0);
}

}  // namespace
