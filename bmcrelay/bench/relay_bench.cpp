// What the pass-through costs, inside a simulated host of one node (run by ctest through
// scripts/simhost; label bench, not part of the default test run): GetInstance and
// EnumerateInstances of 50 instances sent to the host CIMOM in qelvo/tavik0/cimv2, through the
// provider, against the same request sent straight to the controller's CIMOM, from 1 and from 8
// clients at once, with the provider's connection cache and every client's connection warm. Every request is made with a client
// of its own (a connection of its own), as the provider makes its requests to the controller.
//
// Reports p50 and p90 per request and the relayed/direct ratio at p50 (the goal is at most 1.5),
// and the host's own part: an enumeration the provider answers without the controller,
// and checks that the measured requests made no full connection: the IPMI request, the SLP
// requests and the probes are made only by a full connection, and the controller log shows each
// full connection and each probe.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmci.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kLogFlag[] = "/tmp/QELVOTAVIKLOG";
constexpr char kLog[] = "/tmp/QELVOTAVIKLog.log";
constexpr int kInstances = 50;

struct Target {
  std::string host, scheme, port, user, password, ns;
};

std::string ReadAll(const std::string &path) {
  std::ifstream in(path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

Target Controller(const std::string &scheme) {
  const char *account = std::getenv("SIMHOST_TAVIK_DEFAULT_ACCOUNT");
  const std::string a = account != nullptr ? account : ":";
  return {"169.254.95.118", scheme, scheme == "https" ? "5989" : "5988", a.substr(0, a.find(':')),
          a.substr(a.find(':') + 1), "root/cimv2"};
}

const Target kHost = {"127.0.0.1", "http", "5988", "root", "simhost", "qelvo/tavik0/cimv2"};

CMCIClient *Connect(const Target &t, CMPIStatus *st) {
  return cmciConnect(t.host.c_str(), t.scheme.c_str(), t.port.c_str(), t.user.c_str(), t.password.c_str(), st);
}

// One request with a client of its own: true when it answered as expected. `cls` other than
// the recipients' is enumerated and must answer nothing.
bool Request(const Target &t, bool enumerate, const char *cls = "Qelvo_AlertRecipient") {
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  CMCIClient *cc = Connect(t, &st);
  if (cc == nullptr) return false;
  CMPIObjectPath *op = newCMPIObjectPath(t.ns.c_str(), cls, nullptr);
  const int want = std::string(cls) == "Qelvo_AlertRecipient" ? kInstances : 0;
  bool ok = false;
  if (enumerate) {
    CMPIEnumeration *en = cc->ft->enumInstances(cc, op, 0, nullptr, &st);
    if (en != nullptr) {
      int n = 0;
      while (CMHasNext(en, nullptr)) {
        CMGetNext(en, nullptr);
        ++n;
      }
      ok = st.rc == CMPI_RC_OK && n == want;
      CMRelease(en);
    }
  } else {
    CMAddKey(op, "Name", "console", CMPI_chars);
    CMPIInstance *inst = cc->ft->getInstance(cc, op, 0, nullptr, &st);
    ok = inst != nullptr && st.rc == CMPI_RC_OK;
    if (inst != nullptr) CMRelease(inst);
  }
  if (st.msg != nullptr) CMRelease(st.msg);
  CMRelease(op);
  cc->ft->release(cc);
  return ok;
}

// Milliseconds per request, `clients` threads each sending `each` requests.
std::vector<double> Measure(const Target &t, bool enumerate, int clients, int each,
                            const char *cls = "Qelvo_AlertRecipient") {
  std::vector<double> samples;
  std::mutex mu;
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      std::vector<double> mine;
      for (int i = 0; i < each; ++i) {
        const auto t0 = Clock::now();
        EXPECT_TRUE(Request(t, enumerate, cls)) << t.host;
        mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
      }
      std::lock_guard<std::mutex> lock(mu);
      samples.insert(samples.end(), mine.begin(), mine.end());
    });
  }
  for (std::thread &th : threads) th.join();
  std::sort(samples.begin(), samples.end());
  return samples;
}

double P(const std::vector<double> &v, int percent) { return v.empty() ? 0 : v[v.size() * percent / 100]; }

// 49 recipients besides "console", made on the controller itself.
void MakeInstances(const Target &t) {
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  CMCIClient *cc = Connect(t, &st);
  ASSERT_NE(nullptr, cc);
  for (int i = 1; i < kInstances; ++i) {
    const std::string name = "bench-" + std::to_string(i);
    CMPIObjectPath *op = newCMPIObjectPath(t.ns.c_str(), "Qelvo_AlertRecipient", nullptr);
    CMAddKey(op, "Name", name.c_str(), CMPI_chars);
    CMPIInstance *inst = native_new_CMPIInstance(op, nullptr);
    CMSetProperty(inst, "Name", name.c_str(), CMPI_chars);
    CMSetProperty(inst, "Address", "192.0.2.10:162", CMPI_chars);
    CMPIObjectPath *made = cc->ft->createInstance(cc, op, inst, &st);
    EXPECT_NE(nullptr, made) << name;
    if (made != nullptr) CMRelease(made);
    if (st.msg != nullptr) CMRelease(st.msg);
    CMRelease(inst);
    CMRelease(op);
  }
  cc->ft->release(cc);
}

TEST(RelayBench, RelayedAgainstDirect) {
  ASSERT_EQ("1", std::string(std::getenv("SIMHOST") != nullptr ? std::getenv("SIMHOST") : ""))
      << "run inside scripts/simhost";
  ASSERT_NO_FATAL_FAILURE(MakeInstances(Controller("http")));

  // The first relayed request makes the provider's full connection; the log tells its scheme,
  // which the direct requests use too.
  std::ofstream(kLogFlag) << "";
  ASSERT_TRUE(Request(kHost, false));
  const std::string first = ReadAll(kLog);
  ASSERT_NE(std::string::npos, first.find("tavik_cimom_connect : client")) << first;
  const Target direct = Controller(first.find(", https,") != std::string::npos ? "https" : "http");
  std::printf("the provider reaches the controller over %s\n", direct.scheme.c_str());
  std::ofstream(kLog, std::ios::trunc).close();

  struct Config {
    const char *what;
    bool enumerate;
    int clients, each;
  } configs[] = {{"GetInstance", false, 1, 200},
                 {"GetInstance", false, 8, 40},
                 {"EnumerateInstances (50)", true, 1, 100},
                 {"EnumerateInstances (50)", true, 8, 20}};
  const auto start = Clock::now();
  for (const Config &c : configs) {
    // One unmeasured request per client first, so that every client's connection (and the
    // provider's to the controller) exists before the measured ones: a client still connecting
    // leaves the others to run with fewer beside them.
    Measure(kHost, c.enumerate, c.clients, 1);
    const std::vector<double> relayed = Measure(kHost, c.enumerate, c.clients, c.each);
    Measure(direct, c.enumerate, c.clients, 1);
    const std::vector<double> straight = Measure(direct, c.enumerate, c.clients, c.each);
    const double ratio = P(relayed, 50) / P(straight, 50);
    std::printf("%-24s %d client(s): relayed p50 %7.2f ms p90 %7.2f ms | direct p50 %7.2f ms p90 %7.2f ms | "
                "ratio %.2f (goal 1.5: %s)\n",
                c.what, c.clients, P(relayed, 50), P(relayed, 90), P(straight, 50), P(straight, 90), ratio,
                ratio <= 1.5 ? "met" : "missed");
  }
  // The host's own part: a filtered class, which the provider answers without the controller.
  const std::vector<double> alone = Measure(kHost, true, 1, 200, "CIM_AccountSettingData");
  std::printf("the host alone (a filtered class): p50 %7.2f ms p90 %7.2f ms\n", P(alone, 50), P(alone, 90));
  // The cache serves for 119 s after the full connection: only a run within that window shows
  // whether hits made any request of their own.
  ASSERT_LT(Clock::now() - start, std::chrono::seconds(110)) << "the measurement outlasted the cache window";
  const std::string log = ReadAll(kLog);
  EXPECT_EQ(std::string::npos, log.find("tavik_cimom_connect : client")) << "a full connection: " << log;
  EXPECT_EQ(std::string::npos, log.find("check_schema")) << "a probe: " << log;
}

}  // namespace
