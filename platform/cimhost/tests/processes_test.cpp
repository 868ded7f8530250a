// Providers in provider processes as the providers see them: a group shares one process and its
// statics, calls into the own process and calls from a provider's own thread come back through
// the CIMOM, and an unloaded process starts afresh.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "test_support.h"

namespace {

using cimxml::Operation;
using cimxml::RequestWriter;
using cimxml::Response;

class Processes : public ::testing::Test {
 protected:
  void SetUp() override { cimom_ = cimhosttest::MakeCimom(); }
  void TearDown() override { cimom_->shutdown(std::chrono::seconds(1)); }

  Response Call(const std::string &method, const std::vector<std::pair<std::string, std::string>> &params = {}) {
    cimxml::PathPtr target = cimhosttest::WidgetPath("w1");
    RequestWriter w("1", method, target.get());
    for (const auto &[k, v] : params) w.add_param(k, cimxml::value_from_text(v, cimxml::CimType::String).data(), false);
    return cimhosttest::Execute(*cimom_, w.finish());
  }
  // An OUT parameter of a call that must succeed.
  long Out(const std::string &method, const std::string &name,
           const std::vector<std::pair<std::string, std::string>> &params = {}) {
    const Response r = Call(method, params);
    EXPECT_FALSE(r.is_error) << method << ": " << r.error_description;
    for (const auto &p : r.out_params)
      if (p.name == name) return std::stol(cmpinative::data_to_string(p.value.data()));
    ADD_FAILURE() << method << " gave no " << name;
    return -1;
  }
  std::map<std::string, pid_t> Running() {
    std::map<std::string, pid_t> out;
    for (const auto &[group, pid] : cimom_->providers().processes()) out[group] = pid;
    return out;
  }

  std::unique_ptr<cimhost::Cimom> cimom_;
};

TEST_F(Processes, AGroupSharesOneProcessAndItsStatics) {
  const long widget_pid = Out("Stats", "Process");
  const long factories = Out("Stats", "Factories");  // the instance and method MIs that are made
  // The association provider of the same group is made in the same process, by the same
  // library: its factory counts there.
  RequestWriter a("2", Operation::AssociatorNames, "test/ns");
  cimxml::PathPtr w1 = cimhosttest::WidgetPath("w1");
  a.add_instance_name("ObjectName", w1.get());
  const Response assoc = cimhosttest::Execute(*cimom_, a.finish());
  ASSERT_FALSE(assoc.is_error) << assoc.error_description;
  EXPECT_EQ(Out("Stats", "Process"), widget_pid);
  EXPECT_EQ(Out("Stats", "Factories"), factories + 1);
  // The gadgets' provider has no group: a process of its own.
  RequestWriter g("3", Operation::EnumerateInstanceNames, "test/ns");
  g.add_class_name("ClassName", "Test_Gadget");
  ASSERT_EQ(cimhosttest::Execute(*cimom_, g.finish()).paths.size(), 2u);
  const std::map<std::string, pid_t> running = Running();
  ASSERT_EQ(running.size(), 2u);
  EXPECT_EQ(running.at("group:widgets"), widget_pid);
  EXPECT_NE(running.at("provider:TestGadgetProvider"), widget_pid);
  EXPECT_NE(widget_pid, getpid());
  EXPECT_NE(running.at("provider:TestGadgetProvider"), getpid());
}

TEST_F(Processes, UpCallsComeBackFromAnyThreadAndIntoTheOwnProcess) {
  // Into the provider's own process, from the thread serving the call.
  EXPECT_EQ(Out("CountOwn", "Count"), 1);
  // The host's class look-up, from the provider process.
  for (const auto &[cls, found] : std::vector<std::pair<std::string, std::string>>{
           {"Test_Gadget", "1"}, {"test_slow", "1"}, {"Test_Nothing", "0"}}) {
    const Response r = Call("HasClass", {{"Text", cls}});
    ASSERT_FALSE(r.is_error) << r.error_description;
    EXPECT_EQ(cmpinative::data_to_string(r.return_value.value.data()), found) << cls;
  }
  // From a thread the provider started, after the call that started it has ended.
  ASSERT_FALSE(Call("CountLater", {{"Milliseconds", "200"}}).is_error);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  long counted = -1;
  while ((counted = Out("LaterCount", "Count")) < 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(counted, 2);
}

// A provider's own threads get at most 256 up-calls served at once: each holds a thread and a
// descriptor in the CIMOM. Those beyond fail, the others are served, and the CIMOM serves on.
TEST_F(Processes, UpCallsAtOnceFromAProvidersOwnThreadsAreCapped) {
  const Response r = Call("UpcallsAtOnce", {{"Threads", "266"}, {"Milliseconds", "3000"}});
  ASSERT_FALSE(r.is_error) << r.error_description;
  std::map<std::string, long> out;
  for (const auto &p : r.out_params) out[p.name] = std::stol(cmpinative::data_to_string(p.value.data()));
  EXPECT_EQ(out["Done"] + out["Failed"], 266);
  EXPECT_GE(out["Done"], 256);
  EXPECT_GE(out["Failed"], 1);
  // Once those have ended, up-calls are served again.
  EXPECT_EQ(Out("UpcallsAtOnce", "Failed", {{"Threads", "16"}, {"Milliseconds", "10"}}), 0);
  EXPECT_EQ(Out("CountOwn", "Count"), 1);
}

TEST_F(Processes, AnUnloadedProcessEndsAndTheNextUseStartsAFreshOne) {
  const long first = Out("Stats", "Process");
  ASSERT_FALSE(Call("SetCleanup", {{"Rc", "0"}}).is_error);
  EXPECT_EQ(cimom_->providers().unload_idle(std::chrono::seconds(0)), 1);
  EXPECT_EQ(Running().count("group:widgets"), 0u);
  // A new process, whose statics start over: only this call's method MI was made in it.
  EXPECT_NE(Out("Stats", "Process"), first);
  EXPECT_EQ(Out("Stats", "Factories"), 1);
}

}  // namespace
