// The CIMOM against clients and providers that misbehave, each trial on a cimhost of its own:
// after each, an authenticated request from another address is served within a second, the
// CIMOM's resident memory stays under its documented bound, and once it stops nothing it
// started is left.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "test_support.h"

namespace {

using cimhosttest::BodyOf;
using cimhosttest::Connect;
using cimhosttest::Exchange;
using cimhosttest::Post;
using cimhosttest::SendAll;
using cimhosttest::StatusOf;
using cimhosttest::WidgetCall;
using Clock = std::chrono::steady_clock;

// The CIMOM's resident memory with its default limits (README.md): 256 MiB of requests, the
// threads of its connections, its code and schema.
constexpr long kRssBoundKiB = 384 * 1024;

std::string ReadText(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

long RssKiB(pid_t pid) {
  const std::string status = ReadText("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
}

// Processes whose command line holds every one of `words`.
std::vector<pid_t> ProcessesWith(const std::vector<std::string> &words) {
  std::vector<pid_t> out;
  DIR *d = opendir("/proc");
  while (dirent *e = d != nullptr ? readdir(d) : nullptr) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0) continue;
    std::string cmd = ReadText("/proc/" + std::to_string(pid) + "/cmdline");
    for (char &c : cmd)
      if (c == '\0') c = ' ';
    bool all = !cmd.empty();
    for (const std::string &w : words) all = all && cmd.find(w) != std::string::npos;
    if (all) out.push_back(pid);
  }
  if (d != nullptr) closedir(d);
  return out;
}

// Threads of `pid` asleep in a timed sleep (a provider sleeping, or a slow factory).
int Sleepers(pid_t pid) {
  int n = 0;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR *d = opendir(dir.c_str());
  while (dirent *e = d != nullptr ? readdir(d) : nullptr)
    if (e->d_name[0] != '.' && ReadText(dir + "/" + e->d_name + "/wchan").find("nanosleep") != std::string::npos) ++n;
  if (d != nullptr) closedir(d);
  return n;
}

template <class Pred>
bool Eventually(Pred pred, int seconds) {
  const auto until = Clock::now() + std::chrono::seconds(seconds);
  while (!pred()) {
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string Property(const std::string &response, const std::string &name) {
  for (const auto &p : cimxml::parse_response(BodyOf(response)).out_params)
    if (p.name == name) return cmpinative::data_to_string(p.value.data());
  return "";
}

CMPIData Uint32(uint32_t v) {
  CMPIData d;
  d.type = CMPI_uint32;
  d.state = CMPI_goodValue;
  d.value.uint32 = v;
  return d;
}

class Trial : public ::testing::Test {
 protected:
  void Start(const std::vector<std::string> &extra = {}, const std::string &factory_delay_ms = "") {
    char dir[] = "/tmp/cimhost-trial-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    std::vector<std::string> args = {CIMHOST_PROGRAM, "--providers", CIMHOST_TEST_PROVIDERS, "--account",
                                     "root:simhost", "--http-port", "0", "--https-port", "0", "--ready-file",
                                     dir_ + "/ready"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text;
    std::string asan = "ASAN_OPTIONS=";
    for (char **e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, "ASAN_OPTIONS=", 13) == 0) asan = std::string(*e) + ":";
      else if (std::strncmp(*e, "CIMHOST_TEST_", 13) != 0) env_text.emplace_back(*e);
    }
    if (!factory_delay_ms.empty()) env_text.push_back("CIMHOST_TEST_FACTORY_DELAY_MS=" + factory_delay_ms);
    /* In a sanitized build: a crash is a crash (no report and exit instead), and freed memory
     * goes back at once, as it does without the sanitizer. No effect otherwise. */
    env_text.push_back(asan + "handle_segv=0:quarantine_size_mb=0:allocator_release_to_os_interval_ms=0");
    std::vector<char *> envp;
    for (std::string &e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int log = open((dir_ + "/log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(log, 0);
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      const rlimit none = {0, 0};
      setrlimit(RLIMIT_CORE, &none);  // the crashing provider leaves no core file behind
      dup2(log, 1);
      dup2(log, 2);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    close(log);
    ASSERT_TRUE(Eventually([&] { return !ReadText(dir_ + "/ready").empty(); }, 30)) << ReadText(dir_ + "/log");
    std::istringstream ready(ReadText(dir_ + "/ready"));
    std::string http, https;
    ready >> http >> https;
    http_ = static_cast<uint16_t>(std::stoi(http.substr(5)));
    https_ = static_cast<uint16_t>(std::stoi(https.substr(6)));
  }

  void TearDown() override {
    if (pid_ > 0) Stop();
    if (!dir_.empty()) {
      std::remove((dir_ + "/ready").c_str());
      std::remove((dir_ + "/log").c_str());
      rmdir(dir_.c_str());
    }
  }

  // The checks every trial ends with, and the CIMOM's end.
  void Stop() {
    if (!HasFatalFailure()) {
      ServedQuickly();
      const long rss = RssKiB(pid_);
      EXPECT_LT(rss, kRssBoundKiB) << "resident memory after the trial";
    }
    kill(pid_, SIGTERM);
    int status = 0;
    if (!Eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 30)) {
      ADD_FAILURE() << "the CIMOM did not stop on SIGTERM";
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    const std::string log = ReadText(dir_ + "/log");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << log;
    for (const char *report : {"ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer"}) {
      EXPECT_EQ(log.find(report), std::string::npos) << log;
    }
    EXPECT_TRUE(Eventually([&] { return Providers().empty(); }, 10)) << "provider processes left behind";
  }

  // An authenticated request from an address of its own, answered within a second.
  void ServedQuickly(const char *what = "after the trial") {
    const auto t0 = Clock::now();
    const std::string r = Exchange(http_, cimhosttest::EnumGadgets(), 5000, "127.0.0.2");
    const auto took = Clock::now() - t0;
    EXPECT_EQ(StatusOf(r), 200) << what << ": " << r;
    EXPECT_EQ(cimxml::parse_response(BodyOf(r)).paths.size(), 2u) << what;
    EXPECT_LT(took, std::chrono::seconds(1)) << what;
  }

  std::vector<pid_t> Providers(const std::string &group = "") {
    std::vector<std::string> words = {"cimhost-provider", "--cimom " + std::to_string(pid_) + " "};
    if (!group.empty()) words.push_back("--group " + group + " ");
    return ProcessesWith(words);
  }

  std::string dir_;
  pid_t pid_ = -1;
  uint16_t http_ = 0, https_ = 0;
};

TEST_F(Trial, AProviderThatCrashes) {
  ASSERT_NO_FATAL_FAILURE(Start());
  const std::string stats = Exchange(http_, WidgetCall("Stats"));
  ASSERT_EQ(StatusOf(stats), 200) << stats;
  const std::string first = Property(stats, "Process");
  // A call in flight in the same process when it dies.
  std::string sleeping;
  std::thread t([&] { sleeping = Exchange(http_, WidgetCall("Sleep", {{"Milliseconds", Uint32(30000)}}), 60000); });
  const pid_t widgets = static_cast<pid_t>(std::stol(first));
  EXPECT_TRUE(Eventually([&] { return Sleepers(widgets) >= 1; }, 20));
  const std::string crash = Exchange(http_, WidgetCall("Crash"));
  const auto t0 = Clock::now();
  t.join();
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(20)) << "the call in flight waited for its time limit";
  for (const std::string *r : std::vector<const std::string *>{&crash, &sleeping}) {
    const cimxml::Response resp = cimxml::parse_response(BodyOf(*r));
    EXPECT_TRUE(resp.is_error) << *r;
    EXPECT_EQ(resp.error_code, CMPI_RC_ERR_FAILED);
    EXPECT_NE(resp.error_description.find("killed by signal 11"), std::string::npos) << resp.error_description;
  }
  // The next call starts the process again, and calls into it come back to it.
  const std::string again = Exchange(http_, WidgetCall("CountOwn"));
  EXPECT_EQ(Property(again, "Count"), "1") << again;
  EXPECT_NE(Property(Exchange(http_, WidgetCall("Stats")), "Process"), first);
}

TEST_F(Trial, SlowHeaderLinesOnManyConnections) {
  ASSERT_NO_FATAL_FAILURE(Start({"--head-timeout", "3"}));
  std::vector<int> fds;
  for (int i = 0; i < 300; ++i) {
    const int fd = Connect(http_);
    if (fd >= 0 && SendAll(fd, "POST /cimom HTTP/1.1\r\n")) fds.push_back(fd);
  }
  ASSERT_FALSE(fds.empty());
  // One more header line on every connection each second: never idle, never complete.
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    for (int n = 0; !stop; ++n) {
      for (int fd : fds) SendAll(fd, "X-Line-" + std::to_string(n) + ": x\r\n");
      for (int i = 0; i < 10 && !stop; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  ServedQuickly("while the connections trickle");
  // Every one of them is closed: at once beyond the limit per address, else at the deadline.
  std::vector<bool> closed(fds.size(), false);
  const bool all = Eventually(
      [&] {
        bool done = true;
        for (size_t i = 0; i < fds.size(); ++i) {
          if (closed[i]) continue;
          pollfd p{fds[i], POLLIN, 0};
          char buf[512];
          if (poll(&p, 1, 0) == 1 && recv(fds[i], buf, sizeof buf, MSG_DONTWAIT) <= 0) closed[i] = true;
          done = done && closed[i];
        }
        return done;
      },
      15);
  stop = true;
  trickle.join();
  for (int fd : fds) close(fd);
  EXPECT_TRUE(all) << "connections with an incomplete head stayed open";
  ServedQuickly("from the same address as the trickling connections");
}

TEST_F(Trial, RequestsWithHugePropertyLists) {
  ASSERT_NO_FATAL_FAILURE(Start());
  std::string body =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?><CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\"><MESSAGE ID=\"1\" "
      "PROTOCOLVERSION=\"1.0\"><SIMPLEREQ><IMETHODCALL NAME=\"EnumerateInstances\"><LOCALNAMESPACEPATH><NAMESPACE "
      "NAME=\"test\"/><NAMESPACE NAME=\"ns\"/></LOCALNAMESPACEPATH><IPARAMVALUE NAME=\"ClassName\"><CLASSNAME "
      "NAME=\"Test_Gadget\"/></IPARAMVALUE><IPARAMVALUE NAME=\"PropertyList\"><VALUE.ARRAY>";
  while (body.size() < 15700000) body += "<VALUE>Name</VALUE>";
  body += "</VALUE.ARRAY></IPARAMVALUE></IMETHODCALL></SIMPLEREQ></MESSAGE></CIM>";
  const std::string request = Post(body, "EnumerateInstances");
  const long before = RssKiB(pid_);
  std::atomic<bool> stop{false};
  std::atomic<long> peak{0};
  std::thread sampler([&] {
    while (!stop) {
      peak = std::max(peak.load(), RssKiB(pid_));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  // One alone is more than a request may take to decode; eight at once more than all may hold.
  const std::string one = Exchange(http_, request, 60000);
  EXPECT_EQ(StatusOf(one), 413) << one.substr(0, 300);
  std::vector<std::string> answers(8);
  std::vector<std::thread> clients;
  for (std::string &a : answers) clients.emplace_back([&] { a = Exchange(http_, request, 60000); });
  for (std::thread &c : clients) c.join();
  for (const std::string &a : answers) {
    EXPECT_TRUE(StatusOf(a) == 413 || StatusOf(a) == 503) << a.substr(0, 300);
  }
  stop = true;
  sampler.join();
  EXPECT_LT(peak.load(), kRssBoundKiB) << "resident memory during the trial";
  EXPECT_LT(RssKiB(pid_), before + 64 * 1024) << "memory kept after the trial";
}

TEST_F(Trial, ManyCallsIntoAProviderThatSleeps) {
  ASSERT_NO_FATAL_FAILURE(Start({"--operation-timeout", "4"}));
  ASSERT_EQ(StatusOf(Exchange(http_, WidgetCall("Stats"))), 200);
  const std::vector<pid_t> widgets = Providers("group:widgets");
  ASSERT_EQ(widgets.size(), 1u);
  // Twenty calls of five minutes; half of their clients leave at once, half wait.
  const std::string call = WidgetCall("Sleep", {{"Milliseconds", Uint32(300000)}});
  std::vector<int> leaving;
  std::vector<std::string> answers(10);
  std::vector<std::thread> staying;
  for (int i = 0; i < 10; ++i) {
    const int fd = Connect(http_);
    ASSERT_TRUE(SendAll(fd, call));
    leaving.push_back(fd);
  }
  for (std::string &a : answers) staying.emplace_back([&] { a = Exchange(http_, call, 60000); });
  EXPECT_TRUE(Eventually([&] { return Sleepers(widgets[0]) >= 20; }, 20));
  ServedQuickly("while twenty calls sleep");
  for (int fd : leaving) close(fd);
  ServedQuickly("after half of their clients left");
  const auto t0 = Clock::now();
  for (std::thread &t : staying) t.join();
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(30));
  for (const std::string &a : answers) {
    const cimxml::Response r = cimxml::parse_response(BodyOf(a));
    EXPECT_EQ(r.error_code, CMPI_RC_ERR_FAILED) << a;
    EXPECT_NE(r.error_description.find("time limit"), std::string::npos) << r.error_description;
  }
  // The provider's own process serves other calls meanwhile.
  const auto t1 = Clock::now();
  EXPECT_EQ(StatusOf(Exchange(http_, WidgetCall("Stats"))), 200);
  EXPECT_LT(Clock::now() - t1, std::chrono::seconds(1));
}

TEST_F(Trial, AProviderWhoseFactoryTakesLong) {
  ASSERT_NO_FATAL_FAILURE(Start({}, "3000"));
  cimxml::RequestWriter w("1", cimxml::Operation::EnumerateInstanceNames, "test/ns");
  w.add_class_name("ClassName", "Test_Slow");
  std::string slow;
  Clock::duration slow_took{};
  std::thread t([&] {
    const auto t0 = Clock::now();
    slow = Exchange(http_, Post(w.finish()), 60000);
    slow_took = Clock::now() - t0;
  });
  EXPECT_TRUE(Eventually(
      [&] {
        const std::vector<pid_t> p = Providers("provider:TestSlowProvider");
        return !p.empty() && Sleepers(p[0]) >= 1;
      },
      20));
  ServedQuickly("while the factory runs");
  const auto t0 = Clock::now();
  EXPECT_EQ(StatusOf(Exchange(http_, WidgetCall("Stats"))), 200);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1)) << "a first request for another library";
  t.join();
  EXPECT_EQ(cimxml::parse_response(BodyOf(slow)).paths.size(), 1u) << slow;
  EXPECT_GE(slow_took, std::chrono::milliseconds(2900));
}

// The TLS version a handshake settled on; "" when it failed.
std::string Handshake(uint16_t port, int version) {
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_security_level(ctx, 0);
  SSL_CTX_set_min_proto_version(ctx, version);
  SSL_CTX_set_max_proto_version(ctx, version);
  SSL *ssl = SSL_new(ctx);
  const int fd = Connect(port);
  SSL_set_fd(ssl, fd);
  std::string got;
  if (SSL_connect(ssl) == 1) {
    got = SSL_get_version(ssl);
    const std::string req = cimhosttest::EnumGadgets();
    SSL_write(ssl, req.data(), static_cast<int>(req.size()));
    char buf[4096];
    const int n = SSL_read(ssl, buf, sizeof buf);
    if (n <= 0 || StatusOf(std::string(buf, static_cast<size_t>(n))) != 200) got += " without an answer";
  }
  SSL_free(ssl);
  close(fd);
  SSL_CTX_free(ctx);
  return got;
}

TEST_F(Trial, OldTlsVersions) {
  ASSERT_NO_FATAL_FAILURE(Start());
  EXPECT_EQ(Handshake(https_, TLS1_VERSION), "");
  EXPECT_EQ(Handshake(https_, TLS1_1_VERSION), "");
  EXPECT_EQ(Handshake(https_, TLS1_2_VERSION), "TLSv1.2");
  EXPECT_EQ(Handshake(https_, TLS1_3_VERSION), "TLSv1.3");
}

TEST_F(Trial, ConflictingContentLengths) {
  ASSERT_NO_FATAL_FAILURE(Start());
  const std::string body = cimhosttest::EnumGadgets().substr(cimhosttest::EnumGadgets().find("<?xml"));
  const std::string head = "POST /cimom HTTP/1.1\r\nHost: x\r\n" + std::string(cimhosttest::kAuth) +
                           "CIMOperation: MethodCall\r\nCIMMethod: EnumerateInstanceNames\r\nCIMObject: test%2Fns\r\n";
  const std::string n = std::to_string(body.size());
  for (const std::string &lengths : {"Content-Length: 10\r\nContent-Length: " + n + "\r\n",
                                     "Content-Length: " + n + "\r\nContent-Length: " + n + "\r\n",
                                     "Content-Length: " + n + "\r\nTransfer-Encoding: chunked\r\n"}) {
    const int fd = Connect(http_);
    ASSERT_TRUE(SendAll(fd, head + lengths + "\r\n" + body));
    const std::string r = cimhosttest::ReadResponse(fd);
    EXPECT_EQ(StatusOf(r), 400) << lengths << r;
    EXPECT_TRUE(cimhosttest::ClosedWithin(fd, 5000)) << lengths;
    close(fd);
  }
}

}  // namespace
