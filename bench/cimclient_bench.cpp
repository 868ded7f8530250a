// What a connection to a controller's CIMOM costs, against the simulated controller of one node
// (its IPMI device, SLP agent and CIMOM, as a simulated host starts them):
//
//  - util_cmciConnect when the slot's record serves (a cache hit) against a full connection
//    (the account over IPMI and the https probe). Each full connection runs in a fresh child
//    process, whose record is empty, followed there by the cache hits;
//  - one GetInstance through the CIM client against the same request sent by the curl program
//    (one process per request, as a script would send it) and by libcurl in a loop (the
//    transport alone, with the connection kept open); and a client made, used for one
//    GetInstance over HTTPS and released each time, as the pass-through provider uses them.
//
// Reports p50 and p90 in microseconds (label bench; not part of the default test run).
#include <cimxml/http.h>
#include <cimxml/message.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "controller_host.h"
#include "ipmi_testing.h"
#include "netns_testing.h"
#include "nsfixture.h"
#include "tavik_cimom_connect.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Figures {
  double p50, p90;
};

Figures Of(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  if (v.empty()) return {0, 0};
  return {v[v.size() / 2], v[v.size() * 9 / 10]};
}

void Report(const char* what, const std::vector<double>& samples) {
  const Figures f = Of(samples);
  std::printf("%-52s p50 %10.1f us   p90 %10.1f us   (%zu runs)\n", what, f.p50 * 1000, f.p90 * 1000,
              samples.size());
}

template <class F>
double Time(F&& f) {
  const auto t0 = Clock::now();
  f();
  return Ms(Clock::now() - t0);
}

// One connection through slot 0, released at once; false when it yields no client.
bool ConnectOnce() {
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  CMCIClient* cc = util_cmciConnect("169.254.95.101", "/dev/ipmi0", &st);
  if (cc == nullptr) return false;
  cc->ft->release(cc);
  return true;
}

TEST(CimClientBench, CacheHitAgainstFullConnection) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    ASSERT_NO_FATAL_FAILURE(nettest::EnterNewNetns());
    tavikt::ControllerHost host({});
    ASSERT_TRUE(host.ok()) << host.error();
    constexpr int kChildren = 20, kHits = 200;
    std::vector<double> full, hits;
    for (int i = 0; i < kChildren; ++i) {
      int fds[2];
      ASSERT_EQ(0, pipe(fds));
      const pid_t pid = fork();
      if (pid == 0) {
        close(fds[0]);
        std::vector<double> t;
        bool ok = true;
        t.push_back(Time([&] { ok = ConnectOnce() && ok; }));
        for (int h = 0; h < kHits; ++h) t.push_back(Time([&] { ok = ConnectOnce() && ok; }));
        const ssize_t want = static_cast<ssize_t>(t.size() * sizeof(double));
        _exit(ok && write(fds[1], t.data(), static_cast<size_t>(want)) == want ? 0 : 1);
      }
      close(fds[1]);
      std::vector<double> t(kHits + 1);
      const ssize_t got = read(fds[0], t.data(), t.size() * sizeof(double));
      close(fds[0]);
      int status = 0;
      waitpid(pid, &status, 0);
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
      ASSERT_EQ(static_cast<ssize_t>(t.size() * sizeof(double)), got);
      full.push_back(t[0]);
      hits.insert(hits.end(), t.begin() + 1, t.end());
    }
    Report("util_cmciConnect, full connection (IPMI + probe)", full);
    Report("util_cmciConnect, cache hit", hits);
    EXPECT_LT(Of(hits).p50 * 10, Of(full).p50) << "a cache hit costs far less than a full connection";
  });
}

size_t Sink(char*, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(size * count, 'x');
  return size * count;
}

TEST(CimClientBench, GetInstanceThroughTheClientAgainstCurl) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    ASSERT_NO_FATAL_FAILURE(nettest::EnterNewNetns());
    tavikt::ControllerHost host({});
    ASSERT_TRUE(host.ok()) << host.error();
    const std::string account = host.Account(0);
    const std::string user = account.substr(0, account.find(':')), password = account.substr(account.find(':') + 1);
    constexpr int kRuns = 300, kCurlRuns = 60;

    CMPIObjectPath* op = newCMPIObjectPath("root/cimv2", "Qelvo_ManagementController", nullptr);
    op->ft->addKey(op, "CreationClassName", reinterpret_cast<const CMPIValue*>("Qelvo_ManagementController"),
                   CMPI_chars);
    op->ft->addKey(op, "Name", reinterpret_cast<const CMPIValue*>("TAVIK-0"), CMPI_chars);
    CMPIStatus st = {CMPI_RC_OK, nullptr};
    CMCIClient* cc = cmciConnect("169.254.95.118", "http", "5988", user.c_str(), password.c_str(), &st);
    ASSERT_NE(nullptr, cc);
    std::vector<double> client;
    for (int i = 0; i < kRuns; ++i) {
      client.push_back(Time([&] {
        CMPIInstance* inst = cc->ft->getInstance(cc, op, 0, nullptr, &st);
        ASSERT_NE(nullptr, inst);
        inst->ft->release(inst);
      }));
    }
    cc->ft->release(cc);
    // As the pass-through provider works: a client per operation, over HTTPS.
    std::vector<double> fresh;
    for (int i = 0; i < kRuns; ++i) {
      fresh.push_back(Time([&] {
        CMCIClient* one = cmciConnect("169.254.95.118", "https", "5989", user.c_str(), password.c_str(), &st);
        ASSERT_NE(nullptr, one);
        CMPIInstance* inst = one->ft->getInstance(one, op, 0, nullptr, &st);
        ASSERT_NE(nullptr, inst);
        inst->ft->release(inst);
        one->ft->release(one);
      }));
    }

    // The same request as the client sends it.
    cimxml::RequestWriter w("1", cimxml::Operation::GetInstance, "root/cimv2");
    w.add_instance_name("InstanceName", op);
    w.add_bool("LocalOnly", false);
    w.add_bool("IncludeQualifiers", false);
    w.add_bool("IncludeClassOrigin", false);
    const std::string body = w.finish();
    op->ft->release(op);
    const std::string object = "CIMObject: " + cimxml::cimobject_for_namespace("root/cimv2");
    const char* headers[] = {"Content-Type: application/xml; charset=\"utf-8\"", "CIMProtocolVersion: 1.0",
                             "CIMOperation: MethodCall", "CIMMethod: GetInstance", object.c_str()};
    std::ofstream("/tmp/getinstance.xml", std::ios::binary) << body;

    std::vector<double> tool;
    for (int i = 0; i < kCurlRuns; ++i) {
      std::vector<std::string> argv = {"curl", "-s", "-f", "-o", "/dev/null", "-u", account, "--data-binary",
                                       "@/tmp/getinstance.xml"};
      for (const char* h : headers) {
        argv.push_back("-H");
        argv.push_back(h);
      }
      argv.push_back("http://169.254.95.118:5988/cimom");
      int rc = -1;
      tool.push_back(Time([&] { rc = nettest::RunCommand(argv); }));
      ASSERT_EQ(0, rc);
    }

    CURL* c = curl_easy_init();
    curl_slist* list = nullptr;
    for (const char* h : headers) list = curl_slist_append(list, h);
    std::string answer;
    curl_easy_setopt(c, CURLOPT_URL, "http://169.254.95.118:5988/cimom");
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(c, CURLOPT_USERPWD, account.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Sink);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &answer);
    std::vector<double> raw;
    for (int i = 0; i < kRuns; ++i) {
      CURLcode rc = CURLE_OK;
      raw.push_back(Time([&] { rc = curl_easy_perform(c); }));
      ASSERT_EQ(CURLE_OK, rc);
    }
    curl_slist_free_all(list);
    curl_easy_cleanup(c);

    Report("GetInstance through the CIM client", client);
    Report("connect, GetInstance, release over HTTPS", fresh);
    Report("the same request by the curl program", tool);
    Report("the same request by libcurl, connection kept", raw);
    EXPECT_LT(Of(client).p50, Of(tool).p50) << "the client costs less than starting curl";
  });
}

}  // namespace
