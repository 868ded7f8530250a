// The controller's account and its discovery: the password derivation, the credential read
// over IPMI from the controller simulator, the SLP callbacks, and discovery over links to service
// agents in network namespaces of their own.
#include "tavik_discovery.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "controller.h"
#include "ipmi_testing.h"
#include "netns_testing.h"
#include "nsfixture.h"
#include "qelvo_config.h"
#include "sim_process.h"
#include "slp_service_agent.h"
#include "tavik_log.h"

namespace {

const char kAlphabet[] = QELVO_PASSWORD_ALPHABET;

std::vector<std::string> LogMessages() {
  std::ifstream in(TAVIK_LOG_FILE);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line.size() > 25 ? line.substr(25) : line);
  return out;
}

bool Logged(const std::string& message) {
  for (const std::string& m : LogMessages()) {
    if (m == message) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// Password and credentials.

TEST(TavikPassword, DerivationMatchesTheControllers) {
  char pw[9];
  std::memset(pw, 'x', sizeof pw);
  const unsigned char zero[8] = {};
  util_pw_gen(zero, 8, pw, 0);
  EXPECT_EQ(std::string(8, kAlphabet[0]), std::string(pw, 8)) << "two zero products";
  EXPECT_EQ('x', pw[8]) << "exactly eight characters are written";

  // The controller derives the same password from the same ID (the simulator's derivation is
  // written independently from the same definition).
  std::mt19937 gen(20301);
  for (int i = 0; i < 2000; ++i) {
    std::array<uint8_t, 8> id;
    for (uint8_t& b : id) b = static_cast<uint8_t>(gen());
    util_pw_gen(id.data(), 8, pw, 0);
    ASSERT_EQ(tavik::DerivePassword(id), std::string(pw, 8)) << "ID number " << i;
  }

  const unsigned char id[8] = {'T', 'V', 'K', 'A', 'D', 'M', '0', '0'};
  char with_version[9] = {}, other_size[9] = {};
  util_pw_gen(id, 8, with_version, 7);
  util_pw_gen(id, 8, pw, 0);
  EXPECT_EQ(std::string(pw, 8), std::string(with_version, 8)) << "the version does not matter";
  const unsigned char head[4] = {'T', 'V', 'K', 'A'};
  util_pw_gen(head, 4, other_size, 0);
  EXPECT_EQ(tavik::DerivePassword({'T', 'V', 'K', 'A', 0, 0, 0, 0}), std::string(other_size, 8))
      << "a shorter ID is read no further than its size";
}

TEST(TavikCredential, UserIdAndPasswordComeFromTheController) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    tavikt::SimProcess node({"--user-id", "admin042"});
    ASSERT_TRUE(node.ok());
    char user[9] = {}, pw[9] = {};
    ASSERT_EQ(0, util_get_tavik_credential(user, pw, "/dev/ipmi0"));
    EXPECT_STREQ("admin042", user);
    EXPECT_EQ(tavik::DerivePassword({'a', 'd', 'm', 'i', 'n', '0', '4', '2'}), std::string(pw));
  });
}

TEST(TavikCredential, AShortReplyReadsAsZeroBytes) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    tavikt::SimProcess node({"--user-id", "0x4142434445464748", "--fault", "short-user-id"});
    ASSERT_TRUE(node.ok());
    char user[9] = {}, pw[9] = {};
    ASSERT_EQ(0, util_get_tavik_credential(user, pw, "/dev/ipmi0"));
    EXPECT_EQ(0, std::memcmp(user, "ABCD\0\0\0\0", 9));
    EXPECT_EQ(tavik::DerivePassword({'A', 'B', 'C', 'D', 0, 0, 0, 0}), std::string(pw));
  });
}

TEST(TavikCredential, FailuresAreLogged) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    std::ofstream(TAVIK_LOG_FLAG_FILE) << "";
    char user[9] = {}, pw[9] = {};
    EXPECT_EQ(-1, util_get_tavik_credential(user, pw, "/dev/ipmi0")) << "no device";
    EXPECT_TRUE(LogMessages().empty()) << "an open failure is not logged";

    tavikt::SimProcess node({"--fault", "completion=0x3a:0x64:0xd5"});
    ASSERT_TRUE(node.ok());
    EXPECT_EQ(-1, util_get_tavik_credential(user, pw, "/dev/ipmi0"));
    EXPECT_STREQ("", user);
    EXPECT_STREQ("", pw);
    EXPECT_EQ(std::vector<std::string>{" util_get_tavik_credential  send IPMI cmd failed"}, LogMessages());
  });
}

// ---------------------------------------------------------------------------------------------
// The callbacks.

port_schema Gen1(const char* list, SLPError err = SLP_OK) {
  port_schema p;
  std::memset(&p, 0, sizeof p);
  EXPECT_EQ(SLP_TRUE, util_attr_callback(nullptr, list, err, &p));
  return p;
}

port_schema Gen2(const char* list, SLPError err = SLP_OK) {
  port_schema p;
  std::memset(&p, 0, sizeof p);
  EXPECT_EQ(SLP_TRUE, util_attr_callback_2(nullptr, list, err, &p));
  return p;
}

TEST(TavikAttributes, FirstGenerationPortsInEitherOrder) {
  port_schema p = Gen1("(cimxml-port-https=5989),(cimxml-port-http=5988)");
  EXPECT_STREQ("5989", p.https_port);
  EXPECT_STREQ("5988", p.http_port);
  p = Gen1("(cimxml-port-http=5988),(cimxml-port-https=5989)");
  EXPECT_STREQ("5989", p.https_port);
  EXPECT_STREQ("5988", p.http_port);
  p = Gen1("(template-type=x),(cimxml-port-https=5989),(node-id=0)");
  EXPECT_STREQ("5989", p.https_port);
  EXPECT_STREQ("", p.http_port) << "the https tag is not taken for the http tag";

  p = Gen1("(cimxml-port-https),(cimxml-port-http=)");
  EXPECT_STREQ("", p.https_port) << "no '='";
  EXPECT_STREQ("", p.http_port) << "an empty value";
  p = Gen1("(cimxml-port-https=5989");
  EXPECT_STREQ("", p.https_port) << "no ')'";
  p = Gen1("(xcimxml-port-http=1),(cimxml-port-http-alt=2)");
  EXPECT_STREQ("", p.http_port) << "tags are matched whole";
  p = Gen1("(CIMXML-Port-Https=5989)");
  EXPECT_STREQ("5989", p.https_port) << "tags compare without case";

  p = Gen1("(cimxml-port-https=5989),(cimxml-port-http=5988)", SLP_NETWORK_ERROR);
  EXPECT_STREQ("", p.https_port) << "data with an error code is ignored";
  p = Gen1("(cimxml-port-https=5989)", SLP_LAST_CALL);
  EXPECT_STREQ("5989", p.https_port);
  p = Gen1(nullptr, SLP_LAST_CALL);
  EXPECT_STREQ("", p.https_port);
}

TEST(TavikAttributes, SecondGenerationPortsBetweenColons) {
  port_schema p = Gen2("(service-id=x),(cimxml-https=tcp:5989:/cimom),(cimxml-http=tcp:5988:/cimom)");
  EXPECT_STREQ("5989", p.https_port);
  EXPECT_STREQ("5988", p.http_port);
  p = Gen2("(cimxml-http=tcp:5988:/cimom),(cimxml-https=tcp:5989:/cimom)");
  EXPECT_STREQ("5989", p.https_port);
  EXPECT_STREQ("5988", p.http_port);
  p = Gen2("(cimxml-https=tcp:5989),(cimxml-http=a:b:c)");
  EXPECT_STREQ("", p.https_port) << "the second colon must be inside the attribute";
  EXPECT_STREQ("b", p.http_port);
  p = Gen2("(cimxml-port-https=5989),(cimxml-port-http=5988)");
  EXPECT_STREQ("", p.https_port) << "first-generation tags are not second-generation ones";
}

TEST(TavikAttributes, OverlongValuesAreRefused) {
  const std::string nineteen(19, '7'), twenty(20, '8');
  port_schema p = Gen1(("(cimxml-port-https=" + nineteen + "),(cimxml-port-http=" + twenty + ")").c_str());
  EXPECT_EQ(nineteen, p.https_port);
  EXPECT_STREQ("", p.http_port) << "a value that does not fit the 20-byte field";
  p = Gen2(("(cimxml-https=tcp:" + twenty + std::string(300, '9') + ":/cimom)").c_str());
  EXPECT_STREQ("", p.https_port);
}

TEST(TavikServiceUrls, OnlyLinkLocalUrlsThatFitAreKept) {
  char url[TAVIK_URL_BUFFER_SIZE + 8];
  std::memset(url, 0, sizeof url);
  std::memset(url + TAVIK_URL_BUFFER_SIZE, 0x7e, 8);
  const std::string a = "service:management-hardware.Qelvo:tavik://169.254.95.118";
  EXPECT_EQ(SLP_TRUE, util_slp_srv_callback(nullptr, a.c_str(), 10800, SLP_OK, url));
  EXPECT_EQ(a, url);
  EXPECT_EQ(SLP_TRUE, util_slp_srv_callback(nullptr, "service:management-hardware.Qelvo:tavik://10.0.0.5", 1, SLP_OK, url));
  EXPECT_EQ(a, url) << "a URL without 169.254 is ignored";
  const std::string b = "service:management-hardware.Qelvo:tavik://169.254.96.118";
  EXPECT_EQ(SLP_TRUE, util_slp_srv_callback(nullptr, b.c_str(), 1, SLP_LAST_CALL, url));
  EXPECT_EQ(b, url) << "the last one wins";
  EXPECT_EQ(SLP_TRUE, util_slp_srv_callback(nullptr, a.c_str(), 1, SLP_PARSE_ERROR, url));
  EXPECT_EQ(b, url);
  EXPECT_EQ(SLP_TRUE, util_slp_srv_callback(nullptr, nullptr, 0, SLP_LAST_CALL, url));
  EXPECT_EQ(b, url);

  const std::string longest = "service:x://169.254.95.118/" + std::string(TAVIK_URL_BUFFER_SIZE - 28, 'p');
  ASSERT_EQ(99u, longest.size());
  util_slp_srv_callback(nullptr, longest.c_str(), 1, SLP_OK, url);
  EXPECT_EQ(longest, url);
  const std::string too_long = longest + "q";
  util_slp_srv_callback(nullptr, too_long.c_str(), 1, SLP_OK, url);
  EXPECT_EQ(longest, url) << "a URL of 100 bytes or more is refused, not cut";
  for (int i = 0; i < 8; ++i) EXPECT_EQ(0x7e, url[TAVIK_URL_BUFFER_SIZE + i]);
}

// ---------------------------------------------------------------------------------------------
// Discovery over the link.

[[noreturn]] void ServeAgent(const std::vector<slp::Service>& services, const std::string& address) {
  slp::ServiceAgent sa;
  for (const slp::Service& s : services) sa.Register(s);
  std::string error;
  if (!sa.Open(address, &error)) _exit(1);
  for (;;) {
    pollfd pfd = {sa.fd(), POLLIN, 0};
    if (poll(&pfd, 1, -1) > 0) sa.HandleReadable();
  }
}

// A controller with these services behind the link 169.254.95.101 <-> .118.
void WithAgent(const std::vector<slp::Service>& services, const std::function<void()>& body) {
  nsfixture::Run([&] {
    ASSERT_NO_FATAL_FAILURE(nettest::EnterNewNetns());
    nettest::Peer node("tvk0", "169.254.95.101/24", "169.254.95.118/24",
                       [&] { ServeAgent(services, "169.254.95.118"); });
    ASSERT_TRUE(node.ok());
    body();
  });
}

const char kGen1Url[] = "service:management-hardware.Qelvo:tavik://169.254.95.118";
const char kGen2Url[] = "service:management-hardware.Qelvo:tavik2://169.254.95.118";

struct Discovered {
  int rc;
  char addr[20];
  char http[20];
  char https[20];
};

Discovered Discover(const char* bind) {
  Discovered d;
  std::memset(&d, 0x55, sizeof d);
  d.rc = util_init_slp_discovery(bind, d.addr, sizeof d.addr, d.http, sizeof d.http, d.https);
  return d;
}

TEST(TavikDiscovery, FirstGenerationController) {
  WithAgent({{kGen1Url, "(template-type=x),(cimxml-port-https=5989),(cimxml-port-http=5988)"}}, [] {
    std::ofstream(TAVIK_LOG_FLAG_FILE) << "";
    const Discovered d = Discover(nullptr);  // the default interface 169.254.95.101
    ASSERT_EQ(0, d.rc);
    EXPECT_STREQ("169.254.95.118", d.addr);
    EXPECT_STREQ("5988", d.http);
    EXPECT_STREQ("5989", d.https);
    EXPECT_TRUE(Logged(std::string("util_slp_srv_callback  ") + kGen1Url));
    EXPECT_TRUE(Logged("util_attr_callback  out is 5989  ,5988"));

    char addr[20] = "left alone";
    char https[20] = {};
    EXPECT_EQ(0, util_init_slp_discovery("169.254.95.101", addr, sizeof addr, nullptr, 20, https))
        << "either port field may be left out";
    EXPECT_STREQ("5989", https);
    char tiny[6] = {};
    EXPECT_EQ(-1, util_init_slp_discovery("169.254.95.101", tiny, sizeof tiny, nullptr, 0, nullptr))
        << "an address that does not fit is refused";
    char small_port[4] = {};
    EXPECT_EQ(-1, util_init_slp_discovery("169.254.95.101", addr, sizeof addr, small_port, sizeof small_port, nullptr))
        << "a port that does not fit is refused";
  });
}

TEST(TavikDiscovery, SecondGenerationControllerIsFoundByTheSecondType) {
  WithAgent({{kGen2Url, "(service-id=y),(cimxml-https=tcp:5989:/cimom),(cimxml-http=tcp:5988:/cimom)"}}, [] {
    const Discovered d = Discover("169.254.95.101");
    ASSERT_EQ(0, d.rc);
    EXPECT_STREQ("169.254.95.118", d.addr);
    EXPECT_STREQ("5988", d.http);
    EXPECT_STREQ("5989", d.https);
  });
}

TEST(TavikDiscovery, AnAddressWithoutPortsIsNoController) {
  WithAgent({{kGen1Url, "(template-type=x)"}}, [] {
    const Discovered d = Discover("169.254.95.101");
    EXPECT_EQ(-1, d.rc);
    EXPECT_STREQ("169.254.95.118", d.addr) << "the address found stays in the caller's field";
  });
}

TEST(TavikDiscovery, UrlsOutsideTheLinkLocalNetworkAreIgnored) {
  WithAgent({{"service:management-hardware.Qelvo:tavik://10.20.30.40", "(cimxml-port-https=5989)"}}, [] {
    const Discovered d = Discover("169.254.95.101");
    EXPECT_EQ(-1, d.rc);
    EXPECT_STREQ("", d.addr);
    char addr[20] = "untouched";
    EXPECT_EQ(-1, util_tavik_addr_slp_discovery("169.254.95.101", addr, sizeof addr));
    EXPECT_STREQ("untouched", addr);
  });
}

TEST(TavikDiscovery, AddressOnlyDiscoveryOnTheNamedLink) {
  WithAgent({{kGen2Url, ""}}, [] {
    std::ofstream(TAVIK_LOG_FLAG_FILE) << "";
    char addr[20] = {};
    ASSERT_EQ(0, util_tavik_addr_slp_discovery("169.254.95.101", addr, sizeof addr));
    EXPECT_STREQ("169.254.95.118", addr);
    EXPECT_TRUE(Logged("slp tavik ip is  169.254.95.118"));
    char other[20] = "kept";
    EXPECT_EQ(-1, util_tavik_addr_slp_discovery("169.254.96.101", other, sizeof other)) << "no such interface";
    EXPECT_EQ(-1, util_tavik_addr_slp_discovery(nullptr, other, sizeof other)) << "no default here";
    EXPECT_STREQ("kept", other);
  });
}

// The whole host: the nodes started as a simulated host starts them, then discovery, the
// account and the multi-node setup as the deliverables run them.
TEST(TavikHost, TwoNodesAreDiscoveredAndTheirAccountsRead) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    ASSERT_NO_FATAL_FAILURE(nettest::EnterNewNetns());
    std::string out;
    const int up = nettest::RunCommand({tavikt::NodesScriptPath(), "up", "--state-dir", "/tmp/nodes", "--nodes", "2",
                                        "--sim", tavikt::SimPath()},
                                       &out, 60000);
    ASSERT_EQ(0, up) << out;
    for (int n = 0; n < 2; ++n) {
      const std::string host = "169.254." + std::to_string(95 + n) + ".101";
      char addr[20] = {}, http[20] = {}, https[20] = {};
      EXPECT_EQ(0, util_init_slp_discovery(host.c_str(), addr, sizeof addr, http, sizeof http, https)) << n;
      EXPECT_EQ("169.254." + std::to_string(95 + n) + ".118", std::string(addr));
      EXPECT_STREQ("5988", http);
      EXPECT_STREQ("5989", https);
      char user[9] = {}, pw[9] = {};
      ASSERT_EQ(0, util_get_tavik_credential(user, pw, ("/dev/ipmi" + std::to_string(n)).c_str()));
      EXPECT_EQ("TVKADM0" + std::to_string(n), std::string(user));
      std::string account;
      ASSERT_EQ(0, nettest::RunCommand({tavikt::SimPath(), "--node", std::to_string(n), "--nodes", "2",
                                        "--print-account"},
                                       &account));
      EXPECT_EQ(std::string(user) + " " + pw + "\n", account) << "the controller holds the same password";
    }
    EXPECT_EQ(0, nettest::RunCommand({tavikt::NodesScriptPath(), "down", "--state-dir", "/tmp/nodes"}, &out, 30000))
        << out;
  });
}

}  // namespace
