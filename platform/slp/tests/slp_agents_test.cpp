// The slp.h user agent against service agents in network namespaces of their own, linked to the
// test's namespace as a controller's USB network is linked to the host.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "netns_testing.h"
#include "nsfixture.h"
#include "slp.h"
#include "slp_service_agent.h"
#include "slp_wire.h"

namespace {

constexpr char kType[] = "management-hardware.Qelvo:tavik";
constexpr char kUrl0[] = "service:management-hardware.Qelvo:tavik://169.254.95.118";
constexpr char kUrl1[] = "service:management-hardware.Qelvo:tavik://169.254.96.118";
constexpr char kAttrs[] = "(cimxml-port-https=5989),(cimxml-port-http=5988)";

// Runs a service agent with these services until the process is killed.
[[noreturn]] void ServeAgent(const std::vector<slp::Service>& services, const std::string& address) {
  slp::ServiceAgent sa;
  for (const slp::Service& s : services) sa.Register(s);
  std::string error;
  if (!sa.Open(address, &error)) {
    fprintf(stderr, "service agent: %s\n", error.c_str());
    _exit(1);
  }
  for (;;) {
    pollfd pfd = {sa.fd(), POLLIN, 0};
    if (poll(&pfd, 1, -1) > 0) sa.HandleReadable();
  }
}

struct Results {
  std::vector<std::string> urls;
  std::vector<std::string> attr_lists;
  int last_calls = 0;
  int errors = 0;
};

SLPBoolean CollectUrl(SLPHandle, const char* url, unsigned short, SLPError err, void* cookie) {
  auto* r = static_cast<Results*>(cookie);
  if (err == SLP_LAST_CALL) {
    ++r->last_calls;
    EXPECT_EQ(nullptr, url);
  } else if (err == SLP_OK && url != nullptr) {
    r->urls.push_back(url);
  } else {
    ++r->errors;
  }
  return SLP_TRUE;
}

SLPBoolean CollectAttrs(SLPHandle, const char* attrs, SLPError err, void* cookie) {
  auto* r = static_cast<Results*>(cookie);
  if (err == SLP_LAST_CALL) {
    ++r->last_calls;
  } else if (err == SLP_OK && attrs != nullptr) {
    r->attr_lists.push_back(attrs);
  } else {
    ++r->errors;
  }
  return SLP_TRUE;
}

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

// Finds kType over the interfaces of if_list.
Results Find(const char* if_list, const char* type = kType) {
  Results r;
  SLPHandle h = nullptr;
  EXPECT_EQ(SLP_OK, SLPOpen("", SLP_FALSE, &h));
  EXPECT_EQ(SLP_OK, SLPAssociateIFList(h, if_list));
  EXPECT_EQ(SLP_OK, SLPFindSrvs(h, type, "", "", CollectUrl, &r));
  SLPClose(h);
  return r;
}

TEST(SlpAgents, ServicesAndAttributesAreFoundOverTheLink) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(nettest::EnterNewNetns());
    nettest::Peer node("tvk0", "169.254.95.101/24", "169.254.95.118/24",
                       [] { ServeAgent({{kUrl0, kAttrs}}, "169.254.95.118"); });
    ASSERT_TRUE(node.ok());

    Results r = Find("169.254.95.101");
    EXPECT_EQ(std::vector<std::string>{kUrl0}, r.urls);
    EXPECT_EQ(1, r.last_calls);
    EXPECT_EQ(0, r.errors);

    SLPHandle h = nullptr;
    ASSERT_EQ(SLP_OK, SLPOpen("", SLP_FALSE, &h));
    ASSERT_EQ(SLP_OK, SLPAssociateIFList(h, "169.254.95.101"));
    Results a;
    EXPECT_EQ(SLP_OK, SLPFindAttrs(h, kUrl0, "", "", CollectAttrs, &a));
    EXPECT_EQ(std::vector<std::string>{kAttrs}, a.attr_lists);
    EXPECT_EQ(1, a.last_calls);
    Results tagged;
    EXPECT_EQ(SLP_OK, SLPFindAttrs(h, kUrl0, "", "cimxml-port-https", CollectAttrs, &tagged));
    EXPECT_EQ(std::vector<std::string>{"(cimxml-port-https=5989)"}, tagged.attr_lists);
    SLPClose(h);

    Results none = Find("169.254.95.101", "management-hardware.Qelvo:tavik2");
    EXPECT_TRUE(none.urls.empty());
    EXPECT_EQ(1, none.last_calls) << "the last call comes also when nothing was found";
  });
}

TEST(SlpAgents, OnlyTheAssociatedInterfacesAreAsked) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(nettest::EnterNewNetns());
    nettest::Peer node0("tvk0", "169.254.95.101/24", "169.254.95.118/24",
                        [] { ServeAgent({{kUrl0, kAttrs}}, "169.254.95.118"); });
    nettest::Peer node1("tvk1", "169.254.96.101/24", "169.254.96.118/24",
                        [] { ServeAgent({{kUrl1, kAttrs}}, "169.254.96.118"); });
    ASSERT_TRUE(node0.ok() && node1.ok());

    EXPECT_EQ(std::vector<std::string>{kUrl1}, Find("169.254.96.101").urls);
    EXPECT_EQ(std::vector<std::string>{kUrl0}, Find("169.254.95.101").urls);
    std::vector<std::string> both = Find("169.254.95.101, 169.254.96.101").urls;
    std::sort(both.begin(), both.end());
    EXPECT_EQ((std::vector<std::string>{kUrl0, kUrl1}), both);
  });
}

TEST(SlpAgents, ASearchWithoutAnswersEndsInBoundedTime) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(nettest::EnterNewNetns());
    nettest::Peer quiet("tvk0", "169.254.95.101/24", "169.254.95.118/24", [] { pause(); });
    ASSERT_TRUE(quiet.ok());
    const int64_t start = NowMs();
    Results r = Find("169.254.95.101");
    const int64_t took = NowMs() - start;
    EXPECT_TRUE(r.urls.empty());
    EXPECT_EQ(1, r.last_calls);
    EXPECT_LT(took, 2000);
  });
}

struct Reentry {
  SLPHandle h = nullptr;
  SLPError inner = SLP_OK;
  int calls = 0;
};

SLPBoolean StopAtFirst(SLPHandle h, const char*, unsigned short, SLPError, void* cookie) {
  auto* r = static_cast<Reentry*>(cookie);
  ++r->calls;
  Results ignored;
  r->inner = SLPFindSrvs(h, kType, "", "", CollectUrl, &ignored);
  return SLP_FALSE;
}

TEST(SlpAgents, ACallbackStopsTheSearchAndCannotReenterTheHandle) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(nettest::EnterNewNetns());
    nettest::Peer node("tvk0", "169.254.95.101/24", "169.254.95.118/24",
                       [] { ServeAgent({{kUrl0, kAttrs}, {std::string(kUrl0) + "/second", ""}}, "169.254.95.118"); });
    ASSERT_TRUE(node.ok());
    Reentry r;
    ASSERT_EQ(SLP_OK, SLPOpen("en", SLP_FALSE, &r.h));
    ASSERT_EQ(SLP_OK, SLPAssociateIFList(r.h, "169.254.95.101"));
    EXPECT_EQ(SLP_OK, SLPFindSrvs(r.h, kType, "", "", StopAtFirst, &r));
    EXPECT_EQ(1, r.calls) << "neither the second URL nor the last call after SLP_FALSE";
    EXPECT_EQ(SLP_HANDLE_IN_USE, r.inner);
    SLPClose(r.h);
  });
}

TEST(SlpAgents, BadParametersAreRefused) {
  SLPHandle h = nullptr;
  EXPECT_EQ(SLP_NOT_IMPLEMENTED, SLPOpen("", SLP_TRUE, &h));
  EXPECT_EQ(SLP_PARAMETER_BAD, SLPOpen("", SLP_FALSE, nullptr));
  ASSERT_EQ(SLP_OK, SLPOpen(nullptr, SLP_FALSE, &h));
  EXPECT_EQ(SLP_PARAMETER_BAD, SLPAssociateIFList(h, "169.254.95.101,eth0"));
  EXPECT_EQ(SLP_PARAMETER_BAD, SLPAssociateIFList(h, nullptr));
  EXPECT_EQ(SLP_PARAMETER_BAD, SLPAssociateIFList(nullptr, "169.254.95.101"));
  Results r;
  EXPECT_EQ(SLP_PARAMETER_BAD, SLPFindSrvs(h, "", "", "", CollectUrl, &r));
  EXPECT_EQ(SLP_PARAMETER_BAD, SLPFindSrvs(h, kType, "", "", nullptr, &r));
  EXPECT_EQ(SLP_PARAMETER_BAD, SLPFindAttrs(h, nullptr, "", "", CollectAttrs, &r));
  EXPECT_EQ(SLP_PARAMETER_BAD, SLPFindAttrs(nullptr, kUrl0, "", "", CollectAttrs, &r));
  EXPECT_EQ(0, r.last_calls) << "no callback for a refused call";
  SLPClose(h);
  SLPClose(nullptr);
}

// A responder that answers each service request with a series of broken or foreign replies
// before one good one.
[[noreturn]] void ServeRogue() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_port = htons(427);
  bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  ip_mreq mreq;
  inet_pton(AF_INET, "239.255.255.253", &mreq.imr_multiaddr);
  inet_pton(AF_INET, "169.254.95.118", &mreq.imr_interface);
  if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) _exit(1);
  for (;;) {
    uint8_t buf[2048];
    sockaddr_in from;
    socklen_t from_len = sizeof from;
    const ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    slpwire::Header h;
    const uint8_t* body;
    size_t len;
    if (n <= 0 || !slpwire::DecodeHeader(buf, static_cast<size_t>(n), &h, &body, &len)) continue;
    auto send = [&](const std::vector<uint8_t>& m) {
      sendto(fd, m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&from), from_len);
    };
    slpwire::Header rh;
    rh.function = slpwire::kSrvRply;
    rh.xid = h.xid;
    slpwire::SrvRply good;
    good.urls = {{60, std::string(kUrl0) + "/good"}};

    send({0xde, 0xad, 0xbe, 0xef});
    std::vector<uint8_t> overstated = slpwire::Encode(rh, slpwire::SrvRply{0, {{60, "service:x://1.2.3.4"}}});
    overstated[overstated.size() - 3 - 19] = 0x7f;  // URL length far past the datagram
    send(overstated);
    std::vector<uint8_t> truncated = slpwire::Encode(rh, good);
    truncated.resize(truncated.size() - 5);
    send(truncated);
    slpwire::Header other_xid = rh;
    other_xid.xid = static_cast<uint16_t>(h.xid + 1);
    send(slpwire::Encode(other_xid, slpwire::SrvRply{0, {{60, "service:x://wrong-xid"}}}));
    slpwire::Header attr = rh;
    attr.function = slpwire::kAttrRply;
    send(slpwire::Encode(attr, slpwire::AttrRply{0, "(a=1)"}));
    send(slpwire::Encode(rh, slpwire::SrvRply{slpwire::kInternalError, {{60, "service:x://error"}}}));
    send(slpwire::Encode(rh, good));
  }
}

TEST(SlpAgents, BrokenAndForeignRepliesAreIgnored) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(nettest::EnterNewNetns());
    nettest::Peer rogue("tvk0", "169.254.95.101/24", "169.254.95.118/24", [] { ServeRogue(); });
    ASSERT_TRUE(rogue.ok());
    Results r = Find("169.254.95.101");
    EXPECT_EQ(std::vector<std::string>{std::string(kUrl0) + "/good"}, r.urls);
    EXPECT_EQ(1, r.last_calls);
    EXPECT_EQ(0, r.errors);
  });
}

}  // namespace
