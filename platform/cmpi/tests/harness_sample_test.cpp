// The sample provider driven through the harness: instance, method and
// association operations, property lists, status codes and messages, OUT
// arguments and the values they carry. Every case runs against the provider
// built with the platform's CMPI headers and against the same source built with
// the published ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "provider_harness.h"

namespace {

using cmpiharness::Outcome;
using cmpiharness::Path;
using cmpiharness::PathPtr;
using cmpiharness::Provider;
using cmpiharness::PropertyList;
using cmpiharness::Router;
using cmpiharness::Value;

const char kNs[] = "root/sample";
const CMPIUint64 kBaseTime = 1700000000000000ULL;  // 2023-11-14 22:13:20 UTC
const CMPIUint64 kDay = 86400000000ULL;

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

class SampleProviderTest : public ::testing::TestWithParam<const char *> {
 protected:
  void SetUp() override {
    live_at_start_ = cmpinative::live_objects();
    std::string error;
    provider_ = Provider::Load(GetParam(), "SampleWidget", &router_, &error);
    ASSERT_TRUE(provider_) << error;
  }
  void TearDown() override {
    provider_.reset();
    EXPECT_EQ(cmpinative::live_objects(), live_at_start_) << "native objects were leaked";
  }

  PathPtr Widget(const std::string &name) { return Path(kNs, "Sample_Widget", {{"Name", name}}); }

  Router router_;
  std::unique_ptr<Provider> provider_;
  long live_at_start_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Builds, SampleProviderTest,
                         ::testing::Values(SAMPLE_PROVIDER_PATH, SAMPLE_PROVIDER_PUBLISHED_PATH));

// ------------------------------------------------------------ instances

TEST_P(SampleProviderTest, EnumeratesInstanceNames) {
  Outcome out = provider_->EnumInstanceNames(kNs, "Sample_Widget");
  ASSERT_EQ(out.rc, CMPI_RC_OK) << out.Describe();
  EXPECT_EQ(out.message, "");
  EXPECT_EQ(out.done_count, 1);
  EXPECT_TRUE(out.instances.empty());
  ASSERT_EQ(out.paths.size(), 3u);
  EXPECT_EQ(out.KeyTexts("Name"), (std::vector<std::string>{"alpha", "beta", "gamma"}));
  for (const CMPIObjectPath *p : out.paths) {
    EXPECT_EQ(cmpiharness::ClassName(p), "Sample_Widget");
    EXPECT_EQ(cmpiharness::NameSpace(p), kNs);
  }
}

TEST_P(SampleProviderTest, EnumeratesInstancesWithEveryPropertyType) {
  Outcome out = provider_->EnumInstances(kNs, "Sample_Widget");
  ASSERT_EQ(out.rc, CMPI_RC_OK) << out.Describe();
  ASSERT_EQ(out.instances.size(), 3u);
  EXPECT_EQ(out.KeyTexts("Name"), (std::vector<std::string>{"alpha", "beta", "gamma"}));

  const CMPIInstance *alpha = out.Find("Name", "alpha");
  ASSERT_NE(alpha, nullptr);
  Value size = cmpiharness::PropertyOf(alpha, "Size");
  ASSERT_EQ(size.type(), CMPI_uint16);
  EXPECT_EQ(size.data().value.uint16, 10);
  EXPECT_EQ(cmpiharness::PropertyText(alpha, "Caption"), "Widget alpha");

  Value tags = cmpiharness::PropertyOf(alpha, "Tags");
  ASSERT_EQ(tags.type(), CMPI_stringA);
  EXPECT_EQ(cmpiharness::ElementTexts(tags), (std::vector<std::string>{"red", "round"}));
  std::vector<Value> elems = cmpiharness::Elements(tags);
  ASSERT_EQ(elems.size(), 2u);
  EXPECT_STREQ(CMGetCharsPtr(elems[1].data().value.string, nullptr), "round");

  // An empty array is an array, not a null value.
  const CMPIInstance *gamma = out.Find("Name", "gamma");
  ASSERT_NE(gamma, nullptr);
  Value no_tags = cmpiharness::PropertyOf(gamma, "Tags");
  ASSERT_FALSE(no_tags.is_null());
  EXPECT_TRUE(cmpiharness::Elements(no_tags).empty());

  Value created = cmpiharness::PropertyOf(out.Find("Name", "beta"), "Created");
  ASSERT_EQ(created.type(), CMPI_dateTime);
  const CMPIDateTime *dt = created.data().value.dateTime;
  EXPECT_EQ(dt->ft->getBinaryFormat(dt, nullptr), kBaseTime + kDay);
  EXPECT_FALSE(dt->ft->isInterval(dt, nullptr));
  EXPECT_EQ(cmpiharness::Text(created.data()), "20231115221320.000000+000");

  // A reference property, set and null.
  Value peer = cmpiharness::PropertyOf(alpha, "Peer");
  ASSERT_EQ(peer.type(), CMPI_ref);
  EXPECT_EQ(cmpiharness::ClassName(peer.data().value.ref), "Sample_Widget");
  EXPECT_EQ(cmpiharness::KeyText(peer.data().value.ref, "Name"), "beta");
  EXPECT_TRUE(cmpiharness::HasProperty(gamma, "Peer"));
  EXPECT_TRUE(cmpiharness::PropertyOf(gamma, "Peer").is_null());
}

TEST_P(SampleProviderTest, PropertyListsLimitWhatIsReturnedButKeepKeys) {
  Outcome some = provider_->EnumInstances(kNs, "Sample_Widget", {"Size"});
  ASSERT_EQ(some.rc, CMPI_RC_OK) << some.Describe();
  ASSERT_EQ(some.instances.size(), 3u);
  for (const CMPIInstance *inst : some.instances) {
    EXPECT_TRUE(cmpiharness::HasProperty(inst, "Name"));
    EXPECT_TRUE(cmpiharness::HasProperty(inst, "Size"));
    EXPECT_FALSE(cmpiharness::HasProperty(inst, "Tags"));
    EXPECT_FALSE(cmpiharness::HasProperty(inst, "Created"));
    EXPECT_FALSE(cmpiharness::HasProperty(inst, "Caption"));
  }
  EXPECT_EQ(some.PropertyText(1, "Size"), "20");

  Outcome none = provider_->EnumInstances(kNs, "Sample_Widget", PropertyList::None());
  ASSERT_EQ(none.rc, CMPI_RC_OK) << none.Describe();
  ASSERT_EQ(none.instances.size(), 3u);
  EXPECT_TRUE(cmpiharness::HasProperty(none.instances[0], "Name"));
  EXPECT_FALSE(cmpiharness::HasProperty(none.instances[0], "Size"));

  PathPtr beta = Widget("beta");
  Outcome one = provider_->GetInstance(beta.get(), {"Tags", "Peer"});
  ASSERT_EQ(one.rc, CMPI_RC_OK) << one.Describe();
  ASSERT_EQ(one.instances.size(), 1u);
  EXPECT_TRUE(cmpiharness::HasProperty(one.instances[0], "Tags"));
  EXPECT_FALSE(cmpiharness::HasProperty(one.instances[0], "Size"));
}

TEST_P(SampleProviderTest, GetInstanceHitsMissesAndRejectsAPathWithoutKey) {
  PathPtr alpha = Widget("alpha");
  Outcome hit = provider_->GetInstance(alpha.get());
  ASSERT_EQ(hit.rc, CMPI_RC_OK) << hit.Describe();
  ASSERT_EQ(hit.instances.size(), 1u);
  EXPECT_EQ(hit.PropertyText(0, "Name"), "alpha");
  EXPECT_EQ(hit.KeyText(0, "Name"), "alpha");
  EXPECT_EQ(hit.done_count, 1);

  PathPtr zeta = Widget("zeta");
  Outcome miss = provider_->GetInstance(zeta.get());
  EXPECT_EQ(miss.rc, CMPI_RC_ERR_NOT_FOUND);
  EXPECT_EQ(miss.message, "no Sample_Widget named 'zeta'");
  EXPECT_TRUE(miss.instances.empty());

  PathPtr keyless = Path(kNs, "Sample_Widget");
  Outcome bad = provider_->GetInstance(keyless.get());
  EXPECT_EQ(bad.rc, CMPI_RC_ERR_INVALID_PARAMETER);
  EXPECT_EQ(bad.message, "the key Name is missing");
}

TEST_P(SampleProviderTest, InvocationFlagsFromTheContextReachTheProvider) {
  PathPtr alpha = Widget("alpha");
  EXPECT_TRUE(cmpiharness::HasProperty(provider_->GetInstance(alpha.get()).instances.at(0), "Caption"));

  provider_->SetContextEntry(CMPIInvocationFlags, Value::Uint32(CMPI_FLAG_LocalOnly));
  Outcome local = provider_->GetInstance(alpha.get());
  ASSERT_EQ(local.rc, CMPI_RC_OK) << local.Describe();
  EXPECT_FALSE(cmpiharness::HasProperty(local.instances.at(0), "Caption"));
  EXPECT_TRUE(cmpiharness::HasProperty(local.instances.at(0), "Size"));
}

TEST_P(SampleProviderTest, ClassChecksGoThroughTheRoutersClassHierarchy) {
  Outcome refused = provider_->EnumInstanceNames(kNs, "Sample_Gizmo");
  EXPECT_EQ(refused.rc, CMPI_RC_ERR_INVALID_CLASS);
  EXPECT_EQ(refused.message, "SampleWidget does not serve class Sample_Gizmo");

  router_.AddClass(kNs, "Sample_Gizmo", "Sample_Widget");
  Outcome served = provider_->EnumInstanceNames(kNs, "Sample_Gizmo");
  ASSERT_EQ(served.rc, CMPI_RC_OK) << served.Describe();
  EXPECT_EQ(served.paths.size(), 3u);
  // Class names compare without regard to case.
  EXPECT_EQ(provider_->EnumInstanceNames(kNs, "SAMPLE_WIDGET").paths.size(), 3u);
}

TEST_P(SampleProviderTest, CreateAndDeleteChangeTheInstances) {
  PathPtr delta = Widget("delta");
  cmpiharness::InstancePtr inst = cmpiharness::Instance(
      delta.get(), {{"Size", Value::Uint16(44)},
                    {"Tags", Value::Strings({"green", "flat", "new"})},
                    {"Created", Value::DateTime(kBaseTime + 7 * kDay)}});
  Outcome created = provider_->CreateInstance(inst.get());
  ASSERT_EQ(created.rc, CMPI_RC_OK) << created.Describe();
  ASSERT_EQ(created.paths.size(), 1u);
  EXPECT_EQ(created.KeyText(0, "Name"), "delta");

  Outcome again = provider_->CreateInstance(inst.get());
  EXPECT_EQ(again.rc, CMPI_RC_ERR_ALREADY_EXISTS);
  EXPECT_EQ(again.message, "Sample_Widget 'delta' already exists");

  Outcome got = provider_->GetInstance(delta.get());
  ASSERT_EQ(got.rc, CMPI_RC_OK) << got.Describe();
  EXPECT_EQ(got.PropertyText(0, "Size"), "44");
  EXPECT_EQ(cmpiharness::ElementTexts(got.Property(0, "Tags")),
            (std::vector<std::string>{"green", "flat", "new"}));
  Value when = got.Property(0, "Created");
  ASSERT_EQ(when.type(), CMPI_dateTime);
  EXPECT_EQ(when.data().value.dateTime->ft->getBinaryFormat(when.data().value.dateTime, nullptr),
            kBaseTime + 7 * kDay);
  EXPECT_EQ(provider_->EnumInstanceNames(kNs, "Sample_Widget").paths.size(), 4u);

  // A wrongly typed property is refused with the provider's message.
  PathPtr eps = Widget("epsilon");
  cmpiharness::InstancePtr typo = cmpiharness::Instance(eps.get(), {{"Size", "large"}});
  Outcome mismatch = provider_->CreateInstance(typo.get());
  EXPECT_EQ(mismatch.rc, CMPI_RC_ERR_TYPE_MISMATCH);
  EXPECT_EQ(mismatch.message, "Size is a uint16");

  Outcome deleted = provider_->DeleteInstance(delta.get());
  EXPECT_EQ(deleted.rc, CMPI_RC_OK) << deleted.Describe();
  EXPECT_EQ(provider_->GetInstance(delta.get()).rc, CMPI_RC_ERR_NOT_FOUND);
  Outcome twice = provider_->DeleteInstance(delta.get());
  EXPECT_EQ(twice.rc, CMPI_RC_ERR_NOT_FOUND);
  EXPECT_EQ(twice.message, "no Sample_Widget named 'delta'");
  EXPECT_EQ(provider_->EnumInstanceNames(kNs, "Sample_Widget").KeyTexts("Name"),
            (std::vector<std::string>{"alpha", "beta", "gamma"}));
}

TEST_P(SampleProviderTest, ModifyIsRefusedWithAMessage) {
  PathPtr alpha = Widget("alpha");
  cmpiharness::InstancePtr inst = cmpiharness::Instance(alpha.get(), {{"Size", Value::Uint16(1)}});
  Outcome out = provider_->ModifyInstance(inst.get(), {"Size"});
  EXPECT_EQ(out.rc, CMPI_RC_ERR_NOT_SUPPORTED);
  EXPECT_EQ(out.message, "Sample_Widget instances cannot be modified");
  EXPECT_EQ(provider_->GetInstance(alpha.get()).PropertyText(0, "Size"), "10");
}

TEST_P(SampleProviderTest, ExecQueryFiltersAndReportsBadQueries) {
  Outcome out = provider_->ExecQuery(kNs, "Sample_Widget", "SELECT * FROM Sample_Widget WHERE Size > 15");
  ASSERT_EQ(out.rc, CMPI_RC_OK) << out.Describe();
  EXPECT_EQ(out.KeyTexts("Name"), (std::vector<std::string>{"beta", "gamma"}));

  Outcome lang = provider_->ExecQuery(kNs, "Sample_Widget", "SELECT * FROM Sample_Widget", "CQL");
  EXPECT_EQ(lang.rc, CMPI_RC_ERR_QUERY_LANGUAGE_NOT_SUPPORTED);
  EXPECT_EQ(lang.message, "only WQL is understood");

  Outcome bad = provider_->ExecQuery(kNs, "Sample_Widget", "SELECT Name FROM Sample_Widget");
  EXPECT_EQ(bad.rc, CMPI_RC_ERR_INVALID_QUERY);
  EXPECT_EQ(bad.message, "cannot run the query 'SELECT Name FROM Sample_Widget'");
}

// --------------------------------------------------------------- methods

TEST_P(SampleProviderTest, MethodReturnsAValueAndOutParameters) {
  PathPtr alpha = Widget("alpha");
  Outcome out = provider_->InvokeMethod(alpha.get(), "Inspect");
  ASSERT_EQ(out.rc, CMPI_RC_OK) << out.Describe();
  EXPECT_EQ(out.done_count, 1);

  Value ret = out.Return();
  ASSERT_EQ(ret.type(), CMPI_uint32);
  EXPECT_EQ(ret.data().value.uint32, 2u);

  ASSERT_NE(out.out_args, nullptr);
  EXPECT_EQ(CMGetArgCount(out.out_args, nullptr), 5u);
  Value size = out.Out("Size");
  ASSERT_EQ(size.type(), CMPI_uint16);
  EXPECT_EQ(size.data().value.uint16, 10);
  EXPECT_EQ(cmpiharness::Text(out.Out("Summary").data()), "alpha: size 10, 2 tags");
  EXPECT_EQ(cmpiharness::ElementTexts(out.Out("Tags")), (std::vector<std::string>{"red", "round"}));

  Value created = out.Out("Created");
  ASSERT_EQ(created.type(), CMPI_dateTime);
  EXPECT_EQ(created.data().value.dateTime->ft->getBinaryFormat(created.data().value.dateTime, nullptr), kBaseTime);
  EXPECT_EQ(cmpiharness::Text(created.data()), "20231114221320.000000+000");

  // An array of references.
  Value peers = out.Out("Peers");
  ASSERT_EQ(peers.type(), CMPI_refA);
  std::vector<std::string> names;
  for (const Value &p : cmpiharness::Elements(peers)) {
    EXPECT_EQ(p.type(), CMPI_ref);
    EXPECT_EQ(cmpiharness::ClassName(p.data().value.ref), "Sample_Widget");
    EXPECT_EQ(cmpiharness::NameSpace(p.data().value.ref), kNs);
    names.push_back(cmpiharness::KeyText(p.data().value.ref, "Name"));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"beta", "gamma"}));

  EXPECT_TRUE(out.Out("NoSuchParameter").is_null());
}

TEST_P(SampleProviderTest, MethodErrorsCarryTheirCodeAndMessage) {
  PathPtr zeta = Widget("zeta");
  Outcome missing = provider_->InvokeMethod(zeta.get(), "Inspect");
  EXPECT_EQ(missing.rc, CMPI_RC_ERR_NOT_FOUND);
  EXPECT_EQ(missing.message, "no Sample_Widget named 'zeta'");
  EXPECT_TRUE(missing.data.empty());
  EXPECT_EQ(CMGetArgCount(missing.out_args, nullptr), 0u);

  PathPtr cls = Path(kNs, "Sample_Widget");
  Outcome unknown = provider_->InvokeMethod(cls.get(), "Explode");
  EXPECT_EQ(unknown.rc, CMPI_RC_ERR_METHOD_NOT_FOUND);
  EXPECT_EQ(unknown.message, "Sample_Widget has no method 'Explode'");

  Outcome no_arg = provider_->InvokeMethod(cls.get(), "SetPinned");
  EXPECT_EQ(no_arg.rc, CMPI_RC_ERR_INVALID_PARAMETER);
  EXPECT_EQ(no_arg.message, "SetPinned needs the boolean Pinned");

  cmpiharness::ArgsPtr wrong = cmpiharness::Args({{"Pinned", "yes"}});
  EXPECT_EQ(provider_->InvokeMethod(cls.get(), "SetPinned", wrong.get()).rc, CMPI_RC_ERR_INVALID_PARAMETER);

  cmpiharness::ArgsPtr pin = cmpiharness::Args({{"Pinned", Value::Bool(true)}});
  Outcome first = provider_->InvokeMethod(cls.get(), "SetPinned", pin.get());
  ASSERT_EQ(first.rc, CMPI_RC_OK) << first.Describe();
  EXPECT_EQ(first.Return().data().value.uint32, 0u);
  EXPECT_EQ(provider_->InvokeMethod(cls.get(), "SetPinned", pin.get()).Return().data().value.uint32, 1u);
  cmpiharness::ArgsPtr unpin = cmpiharness::Args({{"Pinned", Value::Bool(false)}});
  EXPECT_EQ(provider_->InvokeMethod(cls.get(), "SetPinned", unpin.get()).rc, CMPI_RC_OK);
}

// ----------------------------------------------------------- associations

TEST_P(SampleProviderTest, AssociatorNamesFollowRolesAndClassFilters) {
  PathPtr alpha = Widget("alpha");
  PathPtr beta = Widget("beta");

  Outcome all = provider_->AssociatorNames(beta.get());
  ASSERT_EQ(all.rc, CMPI_RC_OK) << all.Describe();
  EXPECT_EQ(all.done_count, 1);
  EXPECT_EQ(Sorted(all.KeyTexts("Name")), (std::vector<std::string>{"alpha", "gamma"}));

  // role names the source's role, result_role the other end's.
  EXPECT_EQ(provider_->AssociatorNames(beta.get(), "", "", "Child").KeyTexts("Name"),
            std::vector<std::string>{"alpha"});
  EXPECT_EQ(provider_->AssociatorNames(beta.get(), "", "", "", "Child").KeyTexts("Name"),
            std::vector<std::string>{"gamma"});
  EXPECT_EQ(provider_->AssociatorNames(alpha.get(), "", "", "Child").paths.size(), 0u);
  EXPECT_EQ(provider_->AssociatorNames(alpha.get(), "", "", "Parent").paths.size(), 2u);

  EXPECT_EQ(provider_->AssociatorNames(alpha.get(), "Sample_WidgetLink").paths.size(), 2u);
  EXPECT_EQ(provider_->AssociatorNames(alpha.get(), "Other_Link").paths.size(), 0u);
  EXPECT_EQ(provider_->AssociatorNames(alpha.get(), "", "Sample_Widget").paths.size(), 2u);
  EXPECT_EQ(provider_->AssociatorNames(alpha.get(), "", "Other_Thing").paths.size(), 0u);

  router_.AddClass(kNs, "Sample_Widget", "CIM_LogicalElement");
  EXPECT_EQ(provider_->AssociatorNames(alpha.get(), "", "CIM_LogicalElement").paths.size(), 2u);
}

TEST_P(SampleProviderTest, AssociatorsReturnInstancesWithPropertyLists) {
  PathPtr gamma = Widget("gamma");
  Outcome out = provider_->Associators(gamma.get(), "Sample_WidgetLink", "Sample_Widget", "Child", "Parent", {"Size"});
  ASSERT_EQ(out.rc, CMPI_RC_OK) << out.Describe();
  ASSERT_EQ(out.instances.size(), 2u);
  EXPECT_EQ(Sorted(out.KeyTexts("Name")), (std::vector<std::string>{"alpha", "beta"}));
  for (const CMPIInstance *inst : out.instances) {
    EXPECT_TRUE(cmpiharness::HasProperty(inst, "Size"));
    EXPECT_FALSE(cmpiharness::HasProperty(inst, "Tags"));
  }
  EXPECT_EQ(provider_->Associators(gamma.get(), "", "", "Parent").instances.size(), 0u);
}

TEST_P(SampleProviderTest, ReferencesReturnTheLinks) {
  PathPtr alpha = Widget("alpha");
  Outcome refs = provider_->References(alpha.get());
  ASSERT_EQ(refs.rc, CMPI_RC_OK) << refs.Describe();
  ASSERT_EQ(refs.instances.size(), 2u);
  std::vector<std::string> children;
  for (const CMPIInstance *link : refs.instances) {
    Value parent = cmpiharness::PropertyOf(link, "Parent");
    Value child = cmpiharness::PropertyOf(link, "Child");
    ASSERT_EQ(parent.type(), CMPI_ref);
    ASSERT_EQ(child.type(), CMPI_ref);
    EXPECT_EQ(cmpiharness::KeyText(parent.data().value.ref, "Name"), "alpha");
    children.push_back(cmpiharness::KeyText(child.data().value.ref, "Name"));
  }
  EXPECT_EQ(Sorted(children), (std::vector<std::string>{"beta", "gamma"}));

  Outcome names = provider_->ReferenceNames(alpha.get(), "Sample_WidgetLink", "Parent");
  ASSERT_EQ(names.rc, CMPI_RC_OK) << names.Describe();
  ASSERT_EQ(names.paths.size(), 2u);
  for (const CMPIObjectPath *p : names.paths) {
    EXPECT_EQ(cmpiharness::ClassName(p), "Sample_WidgetLink");
    EXPECT_NE(cmpiharness::KeyText(p, "Parent").find("alpha"), std::string::npos);
  }
  EXPECT_EQ(provider_->ReferenceNames(alpha.get(), "", "Child").paths.size(), 0u);

  // result_class filters the association class, through the router's classes.
  EXPECT_EQ(provider_->ReferenceNames(alpha.get(), "CIM_Component").paths.size(), 0u);
  router_.AddClass(kNs, "Sample_WidgetLink", "CIM_Component");
  EXPECT_EQ(provider_->ReferenceNames(alpha.get(), "CIM_Component").paths.size(), 2u);
}

TEST_P(SampleProviderTest, DeletingAWidgetDropsItsLinks) {
  PathPtr alpha = Widget("alpha");
  PathPtr beta = Widget("beta");
  ASSERT_EQ(provider_->DeleteInstance(beta.get()).rc, CMPI_RC_OK);
  EXPECT_EQ(provider_->AssociatorNames(alpha.get()).KeyTexts("Name"), std::vector<std::string>{"gamma"});
  Outcome inspect = provider_->InvokeMethod(alpha.get(), "Inspect");
  EXPECT_EQ(cmpiharness::Elements(inspect.Out("Peers")).size(), 1u);
  // alpha's Peer was beta; now its first child is gamma.
  EXPECT_EQ(cmpiharness::KeyText(provider_->GetInstance(alpha.get()).Property(0, "Peer").data().value.ref, "Name"),
            "gamma");
}

}  // namespace
