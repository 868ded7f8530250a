// SLPv2 message coding and the list, attribute and filter helpers.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "netns_testing.h"
#include "nsfixture.h"
#include "slp_service_agent.h"
#include "slp_wire.h"

namespace {

using namespace slpwire;

Header Hdr(uint8_t function, uint16_t flags = 0) {
  Header h;
  h.function = function;
  h.flags = flags;
  h.xid = 0x1234;
  h.lang = "en";
  return h;
}

// Sets the 24-bit length field of msg to its size.
void FixLength(std::vector<uint8_t>& msg) {
  msg[2] = static_cast<uint8_t>(msg.size() >> 16);
  msg[3] = static_cast<uint8_t>(msg.size() >> 8);
  msg[4] = static_cast<uint8_t>(msg.size());
}

template <typename M>
bool DecodeWhole(const std::vector<uint8_t>& msg, Header* h, M* m) {
  const uint8_t* body;
  size_t len;
  return DecodeHeader(msg.data(), msg.size(), h, &body, &len) && Decode(body, len, m);
}

TEST(SlpWire, MessagesRoundTrip) {
  SrvRqst rq{"10.0.0.1,10.0.0.2", "service:x.y:z", "DEFAULT", "(a=1)", ""};
  Header h;
  SrvRqst rq2;
  ASSERT_TRUE(DecodeWhole(Encode(Hdr(kSrvRqst, kRequestMcast), rq), &h, &rq2));
  EXPECT_EQ(kSrvRqst, h.function);
  EXPECT_EQ(kRequestMcast, h.flags);
  EXPECT_EQ(0x1234, h.xid);
  EXPECT_EQ("en", h.lang);
  EXPECT_EQ(rq.pr_list, rq2.pr_list);
  EXPECT_EQ(rq.service_type, rq2.service_type);
  EXPECT_EQ(rq.scope_list, rq2.scope_list);
  EXPECT_EQ(rq.predicate, rq2.predicate);

  SrvRply rp;
  rp.urls = {{10800, "service:x.y:z://169.254.95.118"}, {60, "service:x.y:z://10.1.1.1"}};
  SrvRply rp2;
  ASSERT_TRUE(DecodeWhole(Encode(Hdr(kSrvRply), rp), &h, &rp2));
  ASSERT_EQ(2u, rp2.urls.size());
  EXPECT_EQ(10800, rp2.urls[0].lifetime);
  EXPECT_EQ("service:x.y:z://10.1.1.1", rp2.urls[1].url);

  AttrRqst ar{"", "service:x.y:z://169.254.95.118", "DEFAULT", "a,b*", ""};
  AttrRqst ar2;
  ASSERT_TRUE(DecodeWhole(Encode(Hdr(kAttrRqst), ar), &h, &ar2));
  EXPECT_EQ(ar.url, ar2.url);
  EXPECT_EQ(ar.tag_list, ar2.tag_list);

  AttrRply ap{0, "(a=1),(b=2),kw"};
  AttrRply ap2;
  ASSERT_TRUE(DecodeWhole(Encode(Hdr(kAttrRply), ap), &h, &ap2));
  EXPECT_EQ(ap.attr_list, ap2.attr_list);
}

TEST(SlpWire, MalformedHeadersAreRefused) {
  const std::vector<uint8_t> good = Encode(Hdr(kSrvRqst), SrvRqst{"", "service:a", "DEFAULT", "", ""});
  Header h;
  const uint8_t* body;
  size_t len;
  ASSERT_TRUE(DecodeHeader(good.data(), good.size(), &h, &body, &len));

  std::vector<uint8_t> v1 = good;
  v1[0] = 1;
  EXPECT_FALSE(DecodeHeader(v1.data(), v1.size(), &h, &body, &len)) << "SLPv1";

  std::vector<uint8_t> longer = good;
  longer.push_back(0);
  EXPECT_FALSE(DecodeHeader(longer.data(), longer.size(), &h, &body, &len)) << "length field short of the datagram";
  EXPECT_FALSE(DecodeHeader(good.data(), good.size() - 1, &h, &body, &len)) << "length field past the datagram";

  std::vector<uint8_t> lang = good;
  lang[13] = 0xff;
  EXPECT_FALSE(DecodeHeader(lang.data(), lang.size(), &h, &body, &len)) << "language tag past the end";

  std::vector<uint8_t> ext = good;
  ext[9] = static_cast<uint8_t>(good.size());
  EXPECT_FALSE(DecodeHeader(ext.data(), ext.size(), &h, &body, &len)) << "extension offset past the end";
  ext[9] = 3;
  EXPECT_FALSE(DecodeHeader(ext.data(), ext.size(), &h, &body, &len)) << "extension offset inside the header";

  for (size_t n = 0; n < 14; ++n) EXPECT_FALSE(DecodeHeader(good.data(), n, &h, &body, &len)) << n;
}

TEST(SlpWire, TruncatedOrOverstatedBodiesAreRefused) {
  SrvRply rp;
  rp.urls = {{1, "service:a://169.254.95.118"}, {2, "service:a://169.254.96.118"}};
  const std::vector<uint8_t> full = Encode(Hdr(kSrvRply), rp);
  // Every shorter message (with its length field made to agree) must fail to decode, without
  // reading past its end.
  for (size_t n = 14 + 2 + 4; n < full.size(); ++n) {
    std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    FixLength(cut);
    Header h;
    SrvRply out;
    EXPECT_FALSE(DecodeWhole(cut, &h, &out)) << "cut to " << n;
  }

  std::vector<uint8_t> many = full;
  many[14 + 2 + 2 + 1] = 3;  // URL count 3 with two entries
  Header h;
  SrvRply out;
  EXPECT_FALSE(DecodeWhole(many, &h, &out));

  std::vector<uint8_t> nul = Encode(Hdr(kAttrRply), AttrRply{0, "(a=1)"});
  nul[nul.size() - 3] = 0;  // a NUL inside the attribute list
  AttrRply ap;
  EXPECT_FALSE(DecodeWhole(nul, &h, &ap));

  std::vector<uint8_t> auth = Encode(Hdr(kAttrRply), AttrRply{0, "(a=1)"});
  auth.back() = 1;  // one authentication block announced, none present
  EXPECT_FALSE(DecodeWhole(auth, &h, &ap));
}

TEST(SlpWire, ServiceTypesMatchWithOrWithoutPrefixAndByAbstractType) {
  const std::string reg = "service:management-hardware.Qelvo:tavik";
  EXPECT_TRUE(ServiceTypeMatches("management-hardware.Qelvo:tavik", reg));
  EXPECT_TRUE(ServiceTypeMatches("SERVICE:Management-Hardware.qelvo:TAVIK", reg));
  EXPECT_FALSE(ServiceTypeMatches("management-hardware.Qelvo:tavik2", reg));
  EXPECT_FALSE(ServiceTypeMatches("management-hardware.Qelvo:tavi", reg));
  EXPECT_TRUE(ServiceTypeMatches("management-hardware.Qelvo", reg)) << "abstract type";
  EXPECT_FALSE(ServiceTypeMatches("management-hardware", reg));
  EXPECT_FALSE(ServiceTypeMatches("", reg));
  EXPECT_EQ(reg, ServiceTypeOfUrl(reg + "://169.254.95.118"));
}

TEST(SlpWire, ListsScopesAndAttributes) {
  EXPECT_EQ((std::vector<std::string>{"a", "b c", "d"}), SplitList(" a, b c ,,d,"));
  EXPECT_TRUE(ScopesIntersect("", "DEFAULT"));
  EXPECT_TRUE(ScopesIntersect("lab, default", "DEFAULT"));
  EXPECT_FALSE(ScopesIntersect("lab", "DEFAULT"));

  std::vector<Attribute> attrs;
  ASSERT_TRUE(ParseAttributes("(cimxml-port-https=5989),(list=1,2, 3),secure", &attrs));
  ASSERT_EQ(3u, attrs.size());
  EXPECT_EQ("cimxml-port-https", attrs[0].tag);
  EXPECT_EQ(std::vector<std::string>{"5989"}, attrs[0].values);
  EXPECT_EQ((std::vector<std::string>{"1", "2", "3"}), attrs[1].values);
  EXPECT_TRUE(attrs[2].is_keyword);
  EXPECT_FALSE(ParseAttributes("(a=1", &attrs));
  EXPECT_FALSE(ParseAttributes("(a=(1))", &attrs));
  EXPECT_FALSE(ParseAttributes("a)", &attrs));

  const std::string list = "(cimxml-port-https=5989),(cimxml-port-http=5988),(other=x),kw";
  EXPECT_EQ(list, FilterAttributes(list, ""));
  EXPECT_EQ("(cimxml-port-http=5988)", FilterAttributes(list, "cimxml-port-http"));
  EXPECT_EQ("(cimxml-port-https=5989),(cimxml-port-http=5988)", FilterAttributes(list, "cimxml-*"));
  EXPECT_EQ("(other=x),kw", FilterAttributes(list, "KW, Other"));
}

TEST(SlpWire, SearchFiltersEvaluate) {
  const std::string attrs = "(port=5989),(name=Tavik Controller),(gen=1,2),secure";
  EXPECT_EQ(1, FilterMatches("", attrs));
  EXPECT_EQ(1, FilterMatches("(port=5989)", attrs));
  EXPECT_EQ(0, FilterMatches("(port=5988)", attrs));
  EXPECT_EQ(1, FilterMatches("(name=tavik*)", attrs));
  EXPECT_EQ(1, FilterMatches("(secure=*)", attrs));
  EXPECT_EQ(0, FilterMatches("(missing=*)", attrs));
  EXPECT_EQ(1, FilterMatches("(gen=2)", attrs)) << "any of several values";
  EXPECT_EQ(0, FilterMatches("(port<=1000)", attrs)) << "numbers compare as numbers";
  EXPECT_EQ(1, FilterMatches("(&(port=5989)(|(gen=3)(secure=*)))", attrs));
  EXPECT_EQ(0, FilterMatches("(&(port=5989)(!(secure=*)))", attrs));
  EXPECT_EQ(-1, FilterMatches("(port=5989", attrs));
  EXPECT_EQ(-1, FilterMatches("(port=1))", attrs));
  std::string deep;
  for (int i = 0; i < 5000; ++i) deep += "(!";
  EXPECT_EQ(-1, FilterMatches(deep, attrs)) << "nesting is bounded, not a stack overflow";
}

// ---------------------------------------------------------------------------------------------
// The service agent's answers, without a network.

class AgentAnswers : public ::testing::Test {
 protected:
  AgentAnswers() {
    sa_.Register({"service:management-hardware.Qelvo:tavik://169.254.95.118",
                  "(cimxml-port-https=5989),(cimxml-port-http=5988)"});
    sa_.Register({"service:other:thing://169.254.95.118", "(x=1)", 60, "lab"});
  }

  template <typename M>
  std::vector<uint8_t> Ask(const M& m, uint16_t flags = kRequestMcast) {
    const std::vector<uint8_t> msg = Encode(Hdr(std::is_same<M, SrvRqst>::value ? kSrvRqst : kAttrRqst, flags), m);
    return sa_.Answer(msg.data(), msg.size());
  }

  slp::ServiceAgent sa_;
};

TEST_F(AgentAnswers, ServiceRequestsFindMatchingServicesOnly) {
  Header h;
  SrvRply rp;
  ASSERT_TRUE(DecodeWhole(Ask(SrvRqst{"", "management-hardware.Qelvo:tavik", "DEFAULT", "", ""}), &h, &rp));
  EXPECT_EQ(kSrvRply, h.function);
  EXPECT_EQ(0x1234, h.xid);
  EXPECT_EQ(0, h.flags & kRequestMcast);
  ASSERT_EQ(1u, rp.urls.size());
  EXPECT_EQ("service:management-hardware.Qelvo:tavik://169.254.95.118", rp.urls[0].url);

  EXPECT_TRUE(Ask(SrvRqst{"", "management-hardware.Qelvo:tavik2", "DEFAULT", "", ""}).empty())
      << "no multicast reply without a match";
  EXPECT_TRUE(Ask(SrvRqst{"", "other:thing", "DEFAULT", "", ""}).empty()) << "other scope";
  ASSERT_TRUE(DecodeWhole(Ask(SrvRqst{"", "other:thing", "lab", "(x=1)", ""}), &h, &rp));
  EXPECT_EQ(1u, rp.urls.size());
  EXPECT_TRUE(Ask(SrvRqst{"", "other:thing", "lab", "(x=2)", ""}).empty()) << "filter";

  ASSERT_TRUE(DecodeWhole(Ask(SrvRqst{"", "management-hardware.Qelvo:tavik2", "DEFAULT", "", ""}, 0), &h, &rp));
  EXPECT_EQ(0, rp.error);
  EXPECT_TRUE(rp.urls.empty()) << "a unicast request gets an empty reply";
  ASSERT_TRUE(DecodeWhole(Ask(SrvRqst{"", "x", "nowhere", "", ""}, 0), &h, &rp));
  EXPECT_EQ(kScopeNotSupported, rp.error);
  ASSERT_TRUE(DecodeWhole(Ask(SrvRqst{"", "other:thing", "lab", "(x=", ""}, 0), &h, &rp));
  EXPECT_EQ(kParseError, rp.error);
}

TEST_F(AgentAnswers, AttributeRequestsByUrlOrTypeWithTags) {
  Header h;
  AttrRply ap;
  const std::string url = "service:management-hardware.Qelvo:tavik://169.254.95.118";
  ASSERT_TRUE(DecodeWhole(Ask(AttrRqst{"", url, "DEFAULT", "", ""}), &h, &ap));
  EXPECT_EQ(kAttrRply, h.function);
  EXPECT_EQ("(cimxml-port-https=5989),(cimxml-port-http=5988)", ap.attr_list);
  ASSERT_TRUE(DecodeWhole(Ask(AttrRqst{"", "service:management-hardware.Qelvo:tavik", "DEFAULT",
                                       "cimxml-port-http", ""}),
                          &h, &ap));
  EXPECT_EQ("(cimxml-port-http=5988)", ap.attr_list);
  EXPECT_TRUE(Ask(AttrRqst{"", url + "x", "DEFAULT", "", ""}).empty());
}

TEST(AgentPreviousResponders, AnAgentInTheListStaysSilent) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(nettest::EnterNewNetns());
    slp::ServiceAgent sa;
    std::string error;
    sa.Register({"service:a:b://127.0.0.1", ""});
    ASSERT_TRUE(sa.Open("127.0.0.1", &error, 0)) << error;
    const std::vector<uint8_t> listed =
        Encode(Hdr(kSrvRqst, kRequestMcast), SrvRqst{"10.0.0.9,127.0.0.1", "a:b", "", "", ""});
    EXPECT_TRUE(sa.Answer(listed.data(), listed.size()).empty());
    const std::vector<uint8_t> other = Encode(Hdr(kSrvRqst, kRequestMcast), SrvRqst{"127.0.0.10", "a:b", "", "", ""});
    EXPECT_FALSE(sa.Answer(other.data(), other.size()).empty());
  });
}

TEST(AgentRobustness, GarbledRequestsNeverCrashTheAgent) {
  slp::ServiceAgent sa;
  sa.Register({"service:management-hardware.Qelvo:tavik://169.254.95.118", "(a=1),(b=2)"});
  const std::vector<std::vector<uint8_t>> seeds = {
      Encode(Hdr(kSrvRqst, kRequestMcast), SrvRqst{"1.2.3.4", "management-hardware.Qelvo:tavik", "DEFAULT", "(&(a=1)(b=*))", ""}),
      Encode(Hdr(kAttrRqst), AttrRqst{"", "service:management-hardware.Qelvo:tavik", "DEFAULT", "a,b", ""}),
  };
  std::mt19937 gen(4711);
  size_t answered = 0;
  for (const auto& seed : seeds) {
    for (int i = 0; i < 20000; ++i) {
      std::vector<uint8_t> msg = seed;
      const int flips = 1 + static_cast<int>(gen() % 4);
      for (int f = 0; f < flips; ++f) msg[gen() % msg.size()] = static_cast<uint8_t>(gen());
      if (gen() % 4 == 0) msg.resize(gen() % msg.size());
      if (gen() % 2 == 0 && msg.size() >= 5) FixLength(msg);
      const std::vector<uint8_t> reply = sa.Answer(msg.data(), msg.size());
      if (!reply.empty()) {
        ++answered;
        Header h;
        const uint8_t* body;
        size_t len;
        ASSERT_TRUE(DecodeHeader(reply.data(), reply.size(), &h, &body, &len)) << "replies are well-formed";
        EXPECT_LE(reply.size(), kMaxDatagram);
      }
    }
  }
  EXPECT_GT(answered, 0u) << "some mutations stay valid requests";
}

}  // namespace
