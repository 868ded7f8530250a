// The harness itself: loading and its errors, broker up-calls answered by
// fakes and by routed providers, cleanup and unload answers, concurrent
// operations, and no native object left behind.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "provider_harness.h"

namespace {

using cmpiharness::Op;
using cmpiharness::Outcome;
using cmpiharness::Path;
using cmpiharness::PathPtr;
using cmpiharness::Provider;
using cmpiharness::Router;
using cmpiharness::Status;
using cmpiharness::UpCall;
using cmpiharness::Value;

const char kNs[] = "root/sample";

class HarnessTest : public ::testing::Test {
 protected:
  void SetUp() override { live_at_start_ = cmpinative::live_objects(); }
  void TearDown() override {
    provider_.reset();
    EXPECT_EQ(cmpinative::live_objects(), live_at_start_) << "native objects were leaked";
  }

  std::unique_ptr<Provider> LoadSample(const std::string &name = "SampleWidget") {
    std::string error;
    std::unique_ptr<Provider> p = Provider::Load(SAMPLE_PROVIDER_PATH, name, &router_, &error);
    EXPECT_TRUE(p) << error;
    return p;
  }

  // Calls a method of the Sample_Widget class.
  Outcome Call(Provider *p, const std::string &method, const cmpiharness::NamedValues &args = {}) {
    PathPtr cls = Path(kNs, "Sample_Widget");
    cmpiharness::ArgsPtr in = cmpiharness::Args(args);
    return p->InvokeMethod(cls.get(), method, in.get());
  }

  // One OUT counter of the sample's Stats method.
  CMPIUint32 Stat(Provider *p, const std::string &name) {
    Outcome out = Call(p, "Stats");
    EXPECT_EQ(out.rc, CMPI_RC_OK) << out.Describe();
    Value v = out.Out(name);
    EXPECT_EQ(v.type(), CMPI_uint32) << name;
    return v.data().value.uint32;
  }

  Router router_;
  std::unique_ptr<Provider> provider_;
  long live_at_start_ = 0;
};

// --------------------------------------------------------------- loading

TEST_F(HarnessTest, LoadingAMissingLibraryExplainsWhy) {
  std::string error;
  std::unique_ptr<Provider> p = Provider::Load("/nonexistent/libnothing.so", "Nothing", &router_, &error);
  EXPECT_FALSE(p);
  EXPECT_NE(error.find("cannot load provider library /nonexistent/libnothing.so"), std::string::npos) << error;
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

TEST_F(HarnessTest, LoadingANameWithoutAnyFactoryExplainsWhy) {
  std::string error;
  std::unique_ptr<Provider> p = Provider::Load(SAMPLE_PROVIDER_PATH, "NoSuchProvider", &router_, &error);
  EXPECT_FALSE(p);
  EXPECT_NE(error.find("exports no factory for provider NoSuchProvider"), std::string::npos) << error;
}

TEST_F(HarnessTest, ALoadedLibraryKeepsItsBrokerAndRouter) {
  provider_ = LoadSample();
  ASSERT_TRUE(provider_);
  Router other;
  std::string error;
  EXPECT_FALSE(Provider::Load(SAMPLE_PROVIDER_PATH, "SampleWidget", &other, &error));
  EXPECT_NE(error.find("already loaded by a Provider with another router"), std::string::npos) << error;

  // Without a router, or with the same one, the second load shares the broker.
  std::unique_ptr<Provider> same = Provider::Load(SAMPLE_PROVIDER_PATH, "SampleBroken", nullptr, &error);
  ASSERT_TRUE(same) << error;
  EXPECT_EQ(same->broker(), provider_->broker());
  same.reset();
  // The survivor still works with the broker the library keeps.
  EXPECT_EQ(provider_->EnumInstanceNames(kNs, "Sample_Widget").paths.size(), 3u);
}

TEST_F(HarnessTest, AMissingOrFailingFactoryGivesAnErrorOutcome) {
  provider_ = LoadSample("SampleBroken");
  ASSERT_TRUE(provider_);

  Outcome no_method = Call(provider_.get(), "Stats");
  EXPECT_EQ(no_method.rc, CMPI_RC_ERR_NOT_SUPPORTED);
  EXPECT_NE(no_method.message.find("SampleBroken_Create_MethodMI not found in"), std::string::npos)
      << no_method.message;
  PathPtr w = Path(kNs, "Sample_Widget", {{"Name", "alpha"}});
  Outcome no_assoc = provider_->AssociatorNames(w.get());
  EXPECT_EQ(no_assoc.rc, CMPI_RC_ERR_NOT_SUPPORTED);
  EXPECT_NE(no_assoc.message.find("SampleBroken_Create_AssociationMI"), std::string::npos) << no_assoc.message;

  // The factory's own status and message come through, on every attempt.
  for (int attempt = 0; attempt < 2; ++attempt) {
    Outcome failed = provider_->EnumInstanceNames(kNs, "Sample_Widget");
    EXPECT_EQ(failed.rc, CMPI_RC_ERR_FAILED);
    EXPECT_EQ(failed.message, "SampleBroken_Create_InstanceMI failed: the sample device is unplugged");
    EXPECT_TRUE(failed.paths.empty());
  }
  // Nothing was obtained, so there is nothing to clean up.
  EXPECT_EQ(provider_->Cleanup().rc, CMPI_RC_OK);
}

TEST_F(HarnessTest, FactoriesAreCalledOnFirstUseOnly) {
  provider_ = LoadSample();
  ASSERT_TRUE(provider_);
  EXPECT_EQ(Stat(provider_.get(), "InstanceFactories"), 0u);
  EXPECT_EQ(Stat(provider_.get(), "AssociationFactories"), 0u);
  EXPECT_EQ(Stat(provider_.get(), "MethodFactories"), 1u);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(provider_->EnumInstanceNames(kNs, "Sample_Widget").rc, CMPI_RC_OK);
  EXPECT_EQ(Stat(provider_.get(), "InstanceFactories"), 1u);
  EXPECT_EQ(Stat(provider_.get(), "MethodFactories"), 1u);
}

TEST_F(HarnessTest, EachLoadStartsFromTheLibrarysInitialState) {
  provider_ = LoadSample();
  ASSERT_TRUE(provider_);
  PathPtr alpha = Path(kNs, "Sample_Widget", {{"Name", "alpha"}});
  ASSERT_EQ(provider_->DeleteInstance(alpha.get()).rc, CMPI_RC_OK);
  EXPECT_EQ(provider_->EnumInstanceNames(kNs, "Sample_Widget").paths.size(), 2u);
  provider_.reset();  // unloads the library

  provider_ = LoadSample();
  ASSERT_TRUE(provider_);
  EXPECT_EQ(provider_->EnumInstanceNames(kNs, "Sample_Widget").paths.size(), 3u);
}

// --------------------------------------------------------------- up-calls

TEST_F(HarnessTest, AMethodUpCallIsAnsweredByAFake) {
  provider_ = LoadSample();
  ASSERT_TRUE(provider_);
  std::string seen_text, seen_ns, seen_principal;
  router_.OnInvoke(kNs, "Sample_Gadget", "Ping", [&](UpCall &call) {
    seen_text = cmpiharness::Text(call.In("Text").data());
    seen_ns = cmpiharness::Text(CMGetContextEntry(call.ctx, CMPIInitNameSpace, nullptr));
    seen_principal = cmpiharness::Text(CMGetContextEntry(call.ctx, CMPIPrincipal, nullptr));
    call.SetOut("Echo", "hello back");
    call.Return(Value::Uint32(7));
    return Status{};
  });

  Outcome out = Call(provider_.get(), "Relay", {{"Method", "Ping"}, {"Text", "hello"}});
  ASSERT_EQ(out.rc, CMPI_RC_OK) << out.Describe();
  EXPECT_EQ(seen_text, "hello");
  EXPECT_EQ(seen_ns, kNs);
  EXPECT_EQ(seen_principal, "root");
  ASSERT_EQ(out.Return().type(), CMPI_uint32);
  EXPECT_EQ(out.Return().data().value.uint32, 7u);
  EXPECT_EQ(cmpiharness::Text(out.Out("Echo").data()), "hello back");
  EXPECT_EQ(router_.Calls(Op::InvokeMethod, kNs, "Sample_Gadget"), 1);
  EXPECT_EQ(router_.Calls(Op::InvokeMethod, kNs, "Sample_Widget"), 0);
}

TEST_F(HarnessTest, UpCallFailuresReachTheProviderAsStatus) {
  provider_ = LoadSample();
  ASSERT_TRUE(provider_);

  // Nothing serves the class.
  Outcome unrouted = Call(provider_.get(), "Relay", {{"Method", "Ping"}});
  EXPECT_EQ(unrouted.rc, CMPI_RC_ERR_NOT_SUPPORTED);
  EXPECT_EQ(unrouted.message,
            "Sample_Gadget.Ping failed: harness router: nothing serves invokeMethod on root/sample:Sample_Gadget.Ping");

  // A fake's error status, and a catch-all handler for every method.
  router_.OnInvoke(kNs, "Sample_Gadget", "", [](UpCall &call) {
    return Status{CMPI_RC_ERR_ACCESS_DENIED, std::string("no access to ") + call.method};
  });
  Outcome denied = Call(provider_.get(), "Relay", {{"Method", "Reset"}});
  EXPECT_EQ(denied.rc, CMPI_RC_ERR_ACCESS_DENIED);
  EXPECT_EQ(denied.message, "Sample_Gadget.Reset failed: no access to Reset");

  // An exception thrown by a fake stops at the router.
  router_.OnInvoke(kNs, "Sample_Gadget", "Ping", [](UpCall &) -> Status { throw std::runtime_error("fake broke"); });
  Outcome thrown = Call(provider_.get(), "Relay", {{"Method", "Ping"}});
  EXPECT_EQ(thrown.rc, CMPI_RC_ERR_FAILED);
  EXPECT_EQ(thrown.message, "Sample_Gadget.Ping failed: harness router: handler threw: fake broke");
  EXPECT_EQ(router_.Calls(Op::InvokeMethod, kNs, "Sample_Gadget"), 3);
}

TEST_F(HarnessTest, AnEnumerationUpCallIsAnsweredByAFake) {
  provider_ = LoadSample();
  ASSERT_TRUE(provider_);
  router_.On(Op::EnumInstanceNames, kNs, "Sample_Gadget", [](UpCall &call) {
    for (const char *name : {"g1", "g2"}) {
      PathPtr p = Path(kNs, "Sample_Gadget", {{"Id", name}});
      call.ReturnPath(p.get());
    }
    return Status{};
  });
  Outcome out = Call(provider_.get(), "Survey", {{"ClassName", "Sample_Gadget"}});
  ASSERT_EQ(out.rc, CMPI_RC_OK) << out.Describe();
  EXPECT_EQ(out.Return().data().value.uint32, 2u);
  std::vector<std::string> ids;
  for (const Value &p : cmpiharness::Elements(out.Out("Paths"))) ids.push_back(cmpiharness::KeyText(p.data().value.ref, "Id"));
  EXPECT_EQ(ids, (std::vector<std::string>{"g1", "g2"}));

  // A class nothing serves.
  Outcome other = Call(provider_.get(), "Survey", {{"ClassName", "Sample_Doohickey"}});
  EXPECT_EQ(other.rc, CMPI_RC_ERR_NOT_SUPPORTED);
}

TEST_F(HarnessTest, UpCallsReachARoutedProviderUntilItGoes) {
  provider_ = LoadSample();
  ASSERT_TRUE(provider_);
  // The provider answers its own up-call through the router.
  router_.Route(kNs, "Sample_Widget", provider_.get());
  Outcome self = Call(provider_.get(), "Survey", {{"ClassName", "Sample_Widget"}});
  ASSERT_EQ(self.rc, CMPI_RC_OK) << self.Describe();
  EXPECT_EQ(self.Return().data().value.uint32, 3u);
  std::vector<std::string> names;
  for (const Value &p : cmpiharness::Elements(self.Out("Paths")))
    names.push_back(cmpiharness::KeyText(p.data().value.ref, "Name"));
  EXPECT_EQ(names, (std::vector<std::string>{"alpha", "beta", "gamma"}));

  // A second Provider takes the route; its destruction removes it.
  std::unique_ptr<Provider> second = LoadSample();
  ASSERT_TRUE(second);
  router_.Route(kNs, "Sample_Widget", second.get());
  EXPECT_EQ(Call(provider_.get(), "Survey", {{"ClassName", "Sample_Widget"}}).rc, CMPI_RC_OK);
  second.reset();
  Outcome gone = Call(provider_.get(), "Survey", {{"ClassName", "Sample_Widget"}});
  EXPECT_EQ(gone.rc, CMPI_RC_ERR_NOT_SUPPORTED);
  EXPECT_NE(gone.message.find("nothing serves enumerateInstanceNames"), std::string::npos) << gone.message;
}

// ---------------------------------------------------------------- cleanup

TEST_F(HarnessTest, CleanupReportsDoNotUnloadWhilePinnedThenOk) {
  provider_ = LoadSample();
  ASSERT_TRUE(provider_);
  ASSERT_EQ(provider_->EnumInstanceNames(kNs, "Sample_Widget").rc, CMPI_RC_OK);
  ASSERT_EQ(Call(provider_.get(), "SetPinned", {{"Pinned", Value::Bool(true)}}).rc, CMPI_RC_OK);

  Outcome refused = provider_->Cleanup();
  EXPECT_EQ(refused.rc, CMPI_RC_DO_NOT_UNLOAD);
  EXPECT_EQ(refused.message, "instance MI: widgets are pinned");
  // The instance MI that refused stays; the method MI was let go and is
  // created afresh by the next call.
  EXPECT_EQ(Stat(provider_.get(), "Cleanups"), 2u);
  EXPECT_EQ(Stat(provider_.get(), "MethodFactories"), 2u);
  ASSERT_EQ(provider_->EnumInstanceNames(kNs, "Sample_Widget").rc, CMPI_RC_OK);
  EXPECT_EQ(Stat(provider_.get(), "InstanceFactories"), 1u);

  ASSERT_EQ(Call(provider_.get(), "SetPinned", {{"Pinned", Value::Bool(false)}}).rc, CMPI_RC_OK);
  Outcome agreed = provider_->Cleanup();
  EXPECT_EQ(agreed.rc, CMPI_RC_OK) << agreed.Describe();
  EXPECT_EQ(agreed.message, "");
  EXPECT_EQ(Stat(provider_.get(), "Cleanups"), 4u);
  ASSERT_EQ(provider_->EnumInstanceNames(kNs, "Sample_Widget").rc, CMPI_RC_OK);
  EXPECT_EQ(Stat(provider_.get(), "InstanceFactories"), 2u);
}

TEST_F(HarnessTest, TerminatingCleanupCannotBeRefused) {
  provider_ = LoadSample();
  ASSERT_TRUE(provider_);
  ASSERT_EQ(Call(provider_.get(), "SetPinned", {{"Pinned", Value::Bool(true)}}).rc, CMPI_RC_OK);
  ASSERT_EQ(provider_->EnumInstanceNames(kNs, "Sample_Widget").rc, CMPI_RC_OK);
  EXPECT_EQ(provider_->Cleanup(true).rc, CMPI_RC_OK);
  EXPECT_EQ(Stat(provider_.get(), "Cleanups"), 2u);
  // Both MIs were dropped: a second terminating cleanup only meets the one
  // Stats just created.
  EXPECT_EQ(provider_->Cleanup(true).rc, CMPI_RC_OK);
  EXPECT_EQ(Stat(provider_.get(), "Cleanups"), 3u);
}

TEST_F(HarnessTest, DestructionCleansUpTheMisItHolds) {
  provider_ = LoadSample();
  ASSERT_TRUE(provider_);
  // A second load shares the library image, so the first sees its counters.
  std::unique_ptr<Provider> second = LoadSample();
  ASSERT_TRUE(second);
  PathPtr alpha = Path(kNs, "Sample_Widget", {{"Name", "alpha"}});
  ASSERT_EQ(second->EnumInstanceNames(kNs, "Sample_Widget").rc, CMPI_RC_OK);
  ASSERT_EQ(second->AssociatorNames(alpha.get()).rc, CMPI_RC_OK);
  EXPECT_EQ(Stat(provider_.get(), "Cleanups"), 0u);
  second.reset();
  EXPECT_EQ(Stat(provider_.get(), "Cleanups"), 2u);
}

// ------------------------------------------------------------ concurrency

TEST_F(HarnessTest, OperationsRunConcurrentlyOnOneProvider) {
  provider_ = LoadSample();
  ASSERT_TRUE(provider_);
  router_.OnInvoke(kNs, "Sample_Gadget", "Ping", [](UpCall &call) {
    call.SetOut("Echo", call.In("Text"));
    call.Return(Value::Uint32(1));
    return Status{};
  });

  const int kThreads = 8, kRounds = 40;
  std::atomic<int> failures{0};
  std::atomic<bool> go{false};
  auto expect = [&](bool ok) {
    if (!ok) ++failures;
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go) std::this_thread::yield();
      PathPtr alpha = Path(kNs, "Sample_Widget", {{"Name", "alpha"}});
      for (int r = 0; r < kRounds; ++r) {
        std::string name = "w" + std::to_string(t) + "_" + std::to_string(r);
        PathPtr mine = Path(kNs, "Sample_Widget", {{"Name", name}});
        cmpiharness::InstancePtr inst = cmpiharness::Instance(mine.get(), {{"Size", Value::Uint16(5)}});
        expect(provider_->CreateInstance(inst.get()).rc == CMPI_RC_OK);
        expect(provider_->GetInstance(mine.get()).PropertyText(0, "Size") == "5");
        expect(provider_->EnumInstances(kNs, "Sample_Widget").instances.size() >= 3);
        expect(provider_->AssociatorNames(alpha.get()).paths.size() == 2);
        Outcome ins = provider_->InvokeMethod(alpha.get(), "Inspect");
        expect(ins.rc == CMPI_RC_OK && cmpiharness::Elements(ins.Out("Peers")).size() == 2);
        cmpiharness::ArgsPtr in = cmpiharness::Args({{"Method", "Ping"}, {"Text", name}});
        PathPtr cls = Path(kNs, "Sample_Widget");
        Outcome relayed = provider_->InvokeMethod(cls.get(), "Relay", in.get());
        expect(relayed.rc == CMPI_RC_OK && cmpiharness::Text(relayed.Out("Echo").data()) == name);
        expect(provider_->DeleteInstance(mine.get()).rc == CMPI_RC_OK);
      }
    });
  }
  go = true;
  for (std::thread &th : threads) th.join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(provider_->EnumInstanceNames(kNs, "Sample_Widget").KeyTexts("Name"),
            (std::vector<std::string>{"alpha", "beta", "gamma"}));
  // Every thread raced for the MIs on first use; each factory ran once.
  EXPECT_EQ(Stat(provider_.get(), "InstanceFactories"), 1u);
  EXPECT_EQ(Stat(provider_.get(), "MethodFactories"), 1u);
  EXPECT_EQ(Stat(provider_.get(), "AssociationFactories"), 1u);
  EXPECT_EQ(router_.Calls(Op::InvokeMethod, kNs, "Sample_Gadget"), kThreads * kRounds);
}

// ----------------------------------------------------------------- values

TEST_F(HarnessTest, OutcomesStayValidAfterTheirRequestAndWhenMoved) {
  provider_ = LoadSample();
  ASSERT_TRUE(provider_);
  std::vector<Outcome> kept;
  for (int i = 0; i < 3; ++i) kept.push_back(provider_->EnumInstances(kNs, "Sample_Widget"));
  provider_->EnumInstanceNames(kNs, "Sample_Widget");  // later requests leave them alone
  Outcome moved = std::move(kept[1]);
  EXPECT_TRUE(kept[1].instances.empty());
  EXPECT_EQ(moved.PropertyText(2, "Caption"), "Widget gamma");
  EXPECT_EQ(kept[2].PropertyText(0, "Caption"), "Widget alpha");
}

TEST_F(HarnessTest, ValuesAreDeepCopies) {
  PathPtr p = Path(kNs, "Sample_Widget", {{"Name", "alpha"}});
  Value ref = Value::Ref(p.get());
  p.reset();
  Value copy = ref;
  ref = Value();
  ASSERT_EQ(copy.type(), CMPI_ref);
  EXPECT_EQ(cmpiharness::KeyText(copy.data().value.ref, "Name"), "alpha");

  Value arr = Value::Array(CMPI_uint32, {Value::Uint32(4), Value(), Value::Uint32(6)});
  std::vector<Value> elems = cmpiharness::Elements(arr);
  ASSERT_EQ(elems.size(), 3u);
  EXPECT_EQ(elems[0].data().value.uint32, 4u);
  EXPECT_TRUE(elems[1].is_null());
  EXPECT_EQ(elems[2].data().value.uint32, 6u);

  EXPECT_TRUE(Value::DateTimeText("not a date").is_null());
  Value interval = Value::DateTimeText("00000001000000.000000:000");
  ASSERT_EQ(interval.type(), CMPI_dateTime);
  EXPECT_EQ(interval.data().value.dateTime->ft->getBinaryFormat(interval.data().value.dateTime, nullptr),
            86400000000ULL);
}

}  // namespace
