// Connections to the controller's CIMOM against the simulated controllers and their CIMOMs: the
// order of choices under each switch of the controller, the two-minute record (with the clock
// run by libfaketime), and eight threads on one slot.
#include "tavik_cimom_connect.h"

#include <gtest/gtest.h>
#include <glob.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "controller_host.h"
#include "ipmi_testing.h"
#include "netns_testing.h"
#include "nsfixture.h"
#include "qelvo_config.h"
#include "tavik_log.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int Count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// A simulated host with the controller log switched on; body runs once every node serves.
void WithHost(const tavikt::HostOptions& options, const std::function<void(tavikt::ControllerHost&)>& body) {
  nsfixture::Run([&] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    ASSERT_NO_FATAL_FAILURE(nettest::EnterNewNetns());
    tavikt::ControllerHost host(options);
    ASSERT_TRUE(host.ok()) << host.error();
    std::ofstream(TAVIK_LOG_FLAG_FILE) << "";
    body(host);
  });
}

// The log shows what was chosen, never a password.
void ExpectNoPassword(const std::string& password) {
  const std::string log = ReadAll(TAVIK_LOG_FILE);
  EXPECT_EQ(std::string::npos, log.find(password)) << log;
  EXPECT_EQ(std::string::npos, log.find(QELVO_TAVIK_DEFAULT_PASSWORD)) << log;
  EXPECT_NE(std::string::npos, log.find("tavik_cimom_connect : client  ")) << log;
}

TEST(TavikConnect, OrderOfChoicesUnderEachSwitch) {
  const std::vector<std::string> elsewhere = {"--https-port", "6989", "--http-port", "6988"};
  struct Case {
    const char* what;
    int nodes;
    std::vector<std::string> switches, sim;
    int slot;
    const char *addr, *port, *scheme;
    bool own_account;  // else the default account
    CMPIrc first_op;   // of an enumeration through the client
  } cases[] = {
      {"https answers", 1, {}, {}, 0, "169.254.95.118", "5989", "https", true, CMPI_RC_OK},
      {"https off", 1, {"--no-https"}, {}, 0, "169.254.95.118", "5988", "http", true, CMPI_RC_OK},
      {"untrusted certificate", 1, {"--untrusted-cert"}, {}, 0, "169.254.95.118", "5988", "http", true, CMPI_RC_OK},
      {"ports found by SLP", 1, {}, elsewhere, 0, "169.254.95.118", "6989", "https", true, CMPI_RC_OK},
      {"SLP's https refused: its http taken unprobed", 1, {"--no-https"}, elsewhere, 0, "169.254.95.118", "6988",
       "http", true, CMPI_RC_OK},
      {"account refused and SLP failing", 1, {"--refuse-account"}, {"--fault", "slp-no-ports"}, 0, "169.254.95.118",
       "5988", "http", true, CMPI_RC_ERR_ACCESS_DENIED},
      {"no account over IPMI", 1, {}, {"--fault", "completion=0x3a:0x64:0xd5"}, 0, "169.254.95.118", "5989", "https",
       false, CMPI_RC_OK},
      {"second node", 2, {"--no-https"}, {}, 1, "169.254.96.118", "5988", "http", true, CMPI_RC_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tavikt::HostOptions o;
    o.nodes = c.nodes;
    o.switches = c.switches;
    o.sim_options = c.sim;
    WithHost(o, [&](tavikt::ControllerHost& host) {
      const std::string bind = tavikt::ControllerHost::BindAddress(c.slot);
      const std::string dev = "/dev/ipmi" + std::to_string(c.slot);
      const std::string account = c.own_account ? host.Account(c.slot) : tavikt::ControllerHost::DefaultAccount();
      CMPIStatus st = {CMPI_RC_OK, nullptr};
      CMCIClient* cc = util_cmciConnect(bind.c_str(), dev.c_str(), &st);
      ASSERT_NE(nullptr, cc) << "a client is made even when every probe failed";
      tavik_conn_info rec;
      ASSERT_EQ(0, util_get_conn_info(c.slot, &rec));
      EXPECT_STREQ(c.addr, rec.tavik_addr);
      EXPECT_STREQ(c.port, rec.tavik_port);
      EXPECT_STREQ(c.scheme, rec.schema);
      EXPECT_EQ(account, std::string(rec.tavik_userid) + ":" + rec.tavik_password);
      EXPECT_EQ(1, rec.is_inited);
      EXPECT_STREQ("", rec.bind_addr);

      CMPIObjectPath* op = newCMPIObjectPath("root/interop", "CIM_Namespace", nullptr);
      CMPIEnumeration* en = cc->ft->enumInstanceNames(cc, op, &st);
      EXPECT_EQ(c.first_op, st.rc);
      if (en != nullptr) en->ft->release(en);
      if (st.msg != nullptr) st.msg->ft->release(st.msg);
      op->ft->release(op);
      cc->ft->release(cc);
      ExpectNoPassword(host.Account(c.slot).substr(host.Account(c.slot).find(':') + 1));
      const bool fell_back =
          ReadAll(TAVIK_LOG_FILE).find("tavik_cimom_connect : util_get_tavik_credential  failed ") != std::string::npos;
      EXPECT_EQ(!c.own_account, fell_back);

      // Only the four link addresses name a slot; the status is left alone.
      st = {CMPI_RC_ERR_TYPE_MISMATCH, nullptr};
      EXPECT_EQ(nullptr, util_cmciConnect("169.254.99.101", dev.c_str(), &st));
      EXPECT_EQ(nullptr, util_cmciConnect(nullptr, dev.c_str(), &st));
      EXPECT_EQ(CMPI_RC_ERR_TYPE_MISMATCH, st.rc);
    });
  }
}

// libfaketime's preload library, from Debian's faketime package.
std::string Faketime() {
  glob_t g;
  std::string path;
  if (glob("/usr/lib/*/faketime/libfaketime.so.1", 0, nullptr, &g) == 0 && g.gl_pathc > 0) path = g.gl_pathv[0];
  globfree(&g);
  return path;
}

std::string Utc(time_t t) {
  char buf[32];
  struct tm tm;
  gmtime_r(&t, &tm);
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

TEST(TavikConnect, RecordServesFor119Seconds) {
  const std::string faketime = Faketime();
  ASSERT_FALSE(faketime.empty()) << "libfaketime is missing: run scripts/bootstrap";
  tavikt::HostOptions o;
  o.sim_options = {"--verbose"};
  WithHost(o, [&](tavikt::ControllerHost&) {
    // The clock stands still at each reading, so that the window's edge is exact.
    const time_t t0 = time(nullptr);
    std::string out;
    const int rc = nettest::RunCommand(
        {"env", "TZ=UTC", "LD_PRELOAD=" + faketime, "FAKETIME_TIMESTAMP_FILE=/tmp/faketime", "FAKETIME_NO_CACHE=1",
         "DONT_FAKE_MONOTONIC=1", "ASAN_OPTIONS=verify_asan_link_order=0", CONNECT_CLOCK, "/tmp/faketime",
         "/tmp/tavik-nodes/node0.log", Utc(t0), Utc(t0 + 119), Utc(t0 + 120), Utc(t0 + 200)},
        &out, 120000);
    ASSERT_EQ(0, rc) << out;
    std::istringstream lines(out);
    struct Step {
      int ipmi, probes;
      std::string scheme, port;
      long stamp;
    };
    std::vector<Step> steps;
    for (Step s; lines >> s.ipmi >> s.probes >> s.scheme >> s.port >> s.stamp;) steps.push_back(s);
    ASSERT_EQ(4u, steps.size()) << out;
    EXPECT_EQ(1, steps[0].ipmi);
    EXPECT_EQ(1, steps[0].probes) << "https answers the first probe";
    EXPECT_EQ(t0, steps[0].stamp);
    EXPECT_EQ("https", steps[0].scheme);
    // At 119 s the record serves: no IPMI request, no probe, the stamp stays.
    EXPECT_EQ(1, steps[1].ipmi);
    EXPECT_EQ(1, steps[1].probes);
    EXPECT_EQ(t0, steps[1].stamp);
    // At 120 s the whole sequence runs again, and restarts the window.
    EXPECT_EQ(2, steps[2].ipmi);
    EXPECT_EQ(2, steps[2].probes);
    EXPECT_EQ(t0 + 120, steps[2].stamp);
    EXPECT_EQ(2, steps[3].ipmi) << "80 s after the second full connection";
    EXPECT_EQ(t0 + 120, steps[3].stamp);
  });
}

TEST(TavikConnect, EightThreadsOnOneSlotSeeOneConsistentRecord) {
  tavikt::HostOptions o;
  o.switches = {"--no-https"};
  o.sim_options = {"--verbose"};
  WithHost(o, [&](tavikt::ControllerHost& host) {
    const std::string account = host.Account(0);
    std::atomic<bool> go{false}, done{false};
    std::atomic<int> ok_ops{0}, torn{0};
    // A reader that looks at the record while the threads connect.
    std::thread reader([&] {
      while (!done) {
        tavik_conn_info rec;
        util_get_conn_info(0, &rec);
        if (rec.is_inited == 1 && (std::string(rec.tavik_userid) + ":" + rec.tavik_password != account ||
                                   std::string(rec.schema) != "http" || std::string(rec.tavik_port) != "5988"))
          ++torn;
      }
    });
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
      threads.emplace_back([&] {
        while (!go) std::this_thread::yield();
        CMPIStatus st = {CMPI_RC_OK, nullptr};
        CMCIClient* cc = util_cmciConnect("169.254.95.101", "/dev/ipmi0", &st);
        if (cc == nullptr) return;
        CMPIObjectPath* op = newCMPIObjectPath("root/cimv2", "CIM_SoftwareIdentity", nullptr);
        CMPIEnumeration* en = cc->ft->enumInstanceNames(cc, op, &st);
        if (st.rc == CMPI_RC_OK && en != nullptr) ++ok_ops;
        if (en != nullptr) en->ft->release(en);
        if (st.msg != nullptr) st.msg->ft->release(st.msg);
        op->ft->release(op);
        cc->ft->release(cc);
      });
    }
    go = true;
    for (std::thread& t : threads) t.join();
    done = true;
    reader.join();
    EXPECT_EQ(8, ok_ops);
    EXPECT_EQ(0, torn);
    const std::string log = ReadAll(TAVIK_LOG_FILE);
    EXPECT_EQ(1, Count(log, "tavik_cimom_connect : client  ")) << "one full connection; the others used its record";
    EXPECT_EQ(1, Count(host.SimLog(0), "netfn 0x3a cmd 0x64")) << "one account request";
  });
}

}  // namespace
