// The wrapper as a CIMOM meets it: a provider written to the wrapper classes, loaded with
// dlopen and driven through its CMPI function tables.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "CmpiBaseMI.h"
#include "provider_harness.h"

namespace {

using cmpiharness::Outcome;
using cmpiharness::Provider;

constexpr char kNs[] = "root/wraptest";

std::unique_ptr<Provider> Load(const char *name, cmpiharness::Router *router = nullptr) {
  std::string err;
  auto p = Provider::Load(WRAPPED_PROVIDER_PATH, name, router, &err);
  EXPECT_TRUE(p) << err;
  return p;
}

TEST(WrapperStatus, ThrownAndReturnedStatusesReachTheBrokerWithTheirMessages) {
  auto p = Load("WrapProvider");
  ASSERT_TRUE(p);

  Outcome thrown = p->EnumInstanceNames(kNs, "Wrap_Throws");
  EXPECT_EQ(CMPI_RC_ERR_NOT_FOUND, thrown.rc);
  EXPECT_EQ("nothing here", thrown.message);

  Outcome returned = p->EnumInstanceNames(kNs, "Wrap_Returns");
  EXPECT_EQ(CMPI_RC_ERR_ACCESS_DENIED, returned.rc);
  EXPECT_EQ("returned, not thrown", returned.message);

  Outcome std_exc = p->EnumInstanceNames(kNs, "Wrap_StdThrow");
  EXPECT_EQ(CMPI_RC_ERR_FAILED, std_exc.rc);
  EXPECT_EQ("boom", std_exc.message);

  Outcome other = p->EnumInstanceNames(kNs, "Wrap_IntThrow");
  EXPECT_EQ(CMPI_RC_ERR_FAILED, other.rc) << "no exception crosses the entry point";

  Outcome mismatch = p->EnumInstanceNames(kNs, "Wrap_Mismatch");
  EXPECT_EQ(CMPI_RC_ERR_TYPE_MISMATCH, mismatch.rc);

  Outcome fine = p->EnumInstanceNames(kNs, "Wrap_Item");
  ASSERT_TRUE(fine.ok()) << fine.Describe();
  ASSERT_EQ(1u, fine.paths.size());
  EXPECT_EQ("one", fine.KeyText(0, "Name"));
  EXPECT_EQ(kNs, cmpiharness::NameSpace(fine.paths[0]));
  EXPECT_EQ(1, fine.done_count);
}

TEST(WrapperStatus, OperationsAProviderDoesNotOfferAreNotSupported) {
  auto p = Load("WrapProvider");
  ASSERT_TRUE(p);
  auto path = cmpiharness::Path(kNs, "Wrap_Item", {{"Name", "x"}});
  auto inst = cmpiharness::Instance(path.get());
  EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, p->CreateInstance(inst.get()).rc);
  EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, p->ModifyInstance(inst.get()).rc);
  EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, p->DeleteInstance(path.get()).rc);
  EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, p->ExecQuery(kNs, "Wrap_Item", "select * from Wrap_Item").rc);
}

TEST(WrapperObjects, InstancesCarryTypedValuesArraysAndTheirPath) {
  auto p = Load("WrapProvider");
  ASSERT_TRUE(p);
  Outcome out = p->EnumInstances(kNs, "Wrap_Item");
  ASSERT_TRUE(out.ok()) << out.Describe();
  ASSERT_EQ(1u, out.instances.size());
  EXPECT_EQ("one", out.PropertyText(0, "Name"));
  EXPECT_EQ(CMPI_uint32, out.Property(0, "Constructions").type());
  EXPECT_EQ(CMPI_boolean, out.Property(0, "Ready").type());
  EXPECT_EQ((std::vector<std::string>{"first", "second"}), cmpiharness::ElementTexts(out.Property(0, "Items")));
  auto path = cmpiharness::PathOf(out.instances[0]);
  EXPECT_EQ("Wrap_Item", cmpiharness::ClassName(path.get()));
  EXPECT_EQ("one", cmpiharness::KeyText(path.get(), "Name"));
}

TEST(WrapperObjects, ThePropertyFilterKeepsTheKeyAndTheNamedProperties) {
  auto p = Load("WrapProvider");
  ASSERT_TRUE(p);
  Outcome out = p->EnumInstances(kNs, "Wrap_Item", {"Ready"});
  ASSERT_TRUE(out.ok()) << out.Describe();
  ASSERT_EQ(1u, out.instances.size());
  EXPECT_TRUE(cmpiharness::HasProperty(out.instances[0], "Name"));
  EXPECT_TRUE(cmpiharness::HasProperty(out.instances[0], "Ready"));
  EXPECT_FALSE(cmpiharness::HasProperty(out.instances[0], "Items"));
  EXPECT_FALSE(cmpiharness::HasProperty(out.instances[0], "Constructions"));
}

TEST(WrapperObjects, AMissingKeyEndsTheOperationWithTheBrokersStatus) {
  auto p = Load("WrapProvider");
  ASSERT_TRUE(p);
  auto with_key = cmpiharness::Path(kNs, "Wrap_Item", {{"Name", "two"}});
  Outcome got = p->GetInstance(with_key.get());
  ASSERT_TRUE(got.ok()) << got.Describe();
  EXPECT_EQ("two", got.PropertyText(0, "Name"));

  auto without = cmpiharness::Path(kNs, "Wrap_Item");
  Outcome missing = p->GetInstance(without.get());
  EXPECT_FALSE(missing.ok());
  EXPECT_TRUE(missing.instances.empty());
}

TEST(WrapperFactory, OneProviderObjectServesEveryMIAndIsCreatedOnce) {
  testing::internal::CaptureStderr();
  auto p = Load("WrapProvider");
  ASSERT_TRUE(p);
  Outcome first = p->EnumInstances(kNs, "Wrap_Item");
  Outcome second = p->EnumInstances(kNs, "Wrap_Item");
  auto args = cmpiharness::Args({{"Text", "hello"}});
  auto target = cmpiharness::Path(kNs, "Wrap_Item");
  Outcome method = p->InvokeMethod(target.get(), "Echo", args.get());
  const std::string err = testing::internal::GetCapturedStderr();

  ASSERT_TRUE(first.ok() && second.ok()) << first.Describe() << second.Describe();
  ASSERT_TRUE(method.ok()) << method.Describe();
  EXPECT_EQ("1", first.PropertyText(0, "Constructions"));
  EXPECT_EQ("1", second.PropertyText(0, "Constructions"));
  EXPECT_EQ("1", cmpiharness::Text(method.Return().data())) << "the method MI shares the instance MI's provider";
  EXPECT_EQ("hello", cmpiharness::Text(method.Out("Copy").data()));

  const std::string line = "--- _Create_InstanceMI() " + std::string(typeid(CmpiBaseMI *).name()) + "\n";
  EXPECT_NE(std::string::npos, err.find(line)) << err;
  EXPECT_EQ(err.find("_Create_InstanceMI"), err.rfind("_Create_InstanceMI")) << "written once: " << err;
}

TEST(WrapperFactory, TheLastCleanupDeletesTheProviderAndTheNextFactoryCallMakesANewOne) {
  auto p = Load("WrapProvider");
  ASSERT_TRUE(p);
  auto args = cmpiharness::Args({{"Text", "x"}});
  auto target = cmpiharness::Path(kNs, "Wrap_Item");
  ASSERT_TRUE(p->InvokeMethod(target.get(), "Echo", args.get()).ok());  // method MI: a second user
  Outcome before = p->EnumInstances(kNs, "Wrap_Item");
  ASSERT_TRUE(before.ok()) << before.Describe();
  const int made = std::stoi(before.PropertyText(0, "Constructions"));
  const int cleaned = std::stoi(before.PropertyText(0, "Cleanups"));

  Outcome cleanup = p->Cleanup();
  EXPECT_TRUE(cleanup.ok()) << cleanup.Describe();

  Outcome after = p->EnumInstances(kNs, "Wrap_Item");
  ASSERT_TRUE(after.ok()) << after.Describe();
  EXPECT_EQ(made + 1, std::stoi(after.PropertyText(0, "Constructions")));
  EXPECT_EQ(cleaned + 1, std::stoi(after.PropertyText(0, "Cleanups"))) << "cleaned up once, by the last user";
  EXPECT_EQ(made, std::stoi(after.PropertyText(0, "Destructions")));
}

TEST(WrapperFactory, AProviderThatMustStayLoadedRefusesUnlessTheBrokerTerminates) {
  auto p = Load("PinnedProvider");
  ASSERT_TRUE(p);
  EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, p->EnumInstances(kNs, "Wrap_Item").rc);
  EXPECT_EQ(CMPI_RC_DO_NOT_UNLOAD, p->Cleanup(false).rc);
  EXPECT_TRUE(p->Cleanup(true).ok());
}

TEST(WrapperFactory, AFailedInitialisationGivesNoMI) {
  auto p = Load("BrokenProvider");
  ASSERT_TRUE(p);
  Outcome out = p->EnumInstances(kNs, "Wrap_Item");
  EXPECT_FALSE(out.ok());
  EXPECT_TRUE(out.instances.empty());
}

}  // namespace
