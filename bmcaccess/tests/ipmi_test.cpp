// The IPMI transport against scripted controllers on /dev/ipmi0.
#include "ipmi.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/ipmi.h>
#include <sys/ioctl.h>
#include <time.h>

#include <cstring>
#include <vector>

#include "ipmi_testing.h"
#include "nsfixture.h"

namespace {

using ipmisim::Packet;
using ipmitest::FakeController;
using ipmitest::Reaction;
using ipmitest::Response;
using Bytes = std::vector<uint8_t>;

constexpr char kDev[] = "/dev/ipmi0";

long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Runs body with a scripted controller on /dev/ipmi0 and the device open.
void WithController(FakeController::Handler handler, const std::function<void(int fd, FakeController&)>& body) {
  nsfixture::Run([&] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    FakeController bmc(kDev, handler);
    const int fd = connect_ipmi(kDev);
    ASSERT_GE(fd, 0);
    body(fd, bmc);
    disconnect_ipmi(fd);
  });
}

// A reply area with a sentinel region after the caller's capacity.
struct ReplyArea {
  unsigned char buf[400];
  unsigned short len;
  explicit ReplyArea(unsigned short capacity) : len(capacity) { std::memset(buf, 0xee, sizeof buf); }
  Bytes Data() const { return Bytes(buf, buf + len); }
  bool UntouchedFrom(size_t at) const {
    for (size_t i = at; i < sizeof buf; ++i) {
      if (buf[i] != 0xee) return false;
    }
    return true;
  }
};

TEST(IpmiTransport, SendsTheRequestAndReturnsTheWholeReply) {
  WithController(
      [](const Packet& req) { return Reaction{{Response(req, {0x00, 0x11, 0x22, 0x33})}}; },
      [](int fd, FakeController& bmc) {
        const unsigned char data[] = {0x00, 0x01, 0x3a};
        ReplyArea r(128);
        ASSERT_EQ(0, send_kcs_IPMI_command(fd, 0x50, data, sizeof data, r.buf, &r.len, 0x30));
        EXPECT_EQ((Bytes{0x00, 0x11, 0x22, 0x33}), r.Data());
        EXPECT_TRUE(r.UntouchedFrom(4)) << "exactly the reply's bytes are copied";

        const std::vector<Packet> seen = bmc.Requests();
        ASSERT_EQ(1u, seen.size());
        EXPECT_EQ(ipmisim::kSystemInterface, seen[0].addr.type);
        EXPECT_EQ(0x0f, seen[0].addr.channel);
        EXPECT_EQ(0, seen[0].addr.lun);
        EXPECT_EQ(22444, seen[0].msgid);
        EXPECT_EQ(0x30, seen[0].netfn);
        EXPECT_EQ(0x50, seen[0].cmd);
        EXPECT_EQ((Bytes{0x00, 0x01, 0x3a}), Bytes(seen[0].data, seen[0].data + seen[0].data_len));
      });
}

TEST(IpmiTransport, AnErrorCompletionCodeIsTheCallersToJudge) {
  WithController([](const Packet& req) { return Reaction{{Response(req, {0xc1})}}; },
                 [](int fd, FakeController&) {
                   ReplyArea r(16);
                   ASSERT_EQ(0, send_kcs_IPMI_command(fd, 0x64, nullptr, 0, r.buf, &r.len, 0x3a));
                   EXPECT_EQ(Bytes{0xc1}, r.Data());
                 });
}

TEST(IpmiTransport, OnlyTheResponseToThisRequestIsAccepted) {
  WithController(
      [](const Packet& req) {
        Packet reply = Response(req, {0x00, 0x01});
        switch (req.data[0]) {
          case 1:
            reply.cmd = static_cast<uint8_t>(req.cmd + 1);  // another command
            break;
          case 2:
            reply.netfn = req.netfn;  // the request's own network function, not the response's
            break;
          case 3:
            reply.netfn = static_cast<uint8_t>(req.netfn + 3);
            break;
          case 4:
            reply.recv_type = ipmisim::kEvent;
            break;
          case 5:
            reply.recv_type = ipmisim::kCommand;
            break;
        }
        return Reaction{{reply}};
      },
      [](int fd, FakeController&) {
        const int on = 1;
        ASSERT_EQ(0, ioctl(fd, IPMICTL_SET_GETS_EVENTS_CMD, &on)) << "so that an event is delivered at all";
        for (unsigned char kind = 1; kind <= 5; ++kind) {
          ReplyArea r(16);
          const unsigned char data[] = {kind};
          EXPECT_EQ(-1, send_kcs_IPMI_command(fd, 0x72, data, 1, r.buf, &r.len, 0x30)) << int{kind};
          EXPECT_EQ(16, r.len) << "the reply length is left as it was";
          EXPECT_TRUE(r.UntouchedFrom(0));
        }
        ReplyArea r(16);
        const unsigned char good[] = {0};
        EXPECT_EQ(0, send_kcs_IPMI_command(fd, 0x72, good, 1, r.buf, &r.len, 0x30)) << "no leftovers queued";
      });
}

TEST(IpmiTransport, AReplyLongerThanTheCallersAreaIsRefused) {
  WithController([](const Packet& req) { return Reaction{{Response(req, Bytes(258, 0x5a))}}; },
                 [](int fd, FakeController&) {
                   ReplyArea small(128);
                   EXPECT_EQ(-1, send_kcs_IPMI_command(fd, 0x50, nullptr, 0, small.buf, &small.len, 0x30));
                   EXPECT_EQ(128, small.len);
                   EXPECT_TRUE(small.UntouchedFrom(0)) << "nothing written into or past a buffer too small";
                   ReplyArea exact(258);
                   EXPECT_EQ(0, send_kcs_IPMI_command(fd, 0x50, nullptr, 0, exact.buf, &exact.len, 0x30));
                   EXPECT_EQ(258, exact.len);
                   EXPECT_TRUE(exact.UntouchedFrom(258));
                 });
}

TEST(IpmiTransport, BadDescriptorsAndADeviceThatFailsEveryReceive) {
  WithController([](const Packet&) { return Reaction{{}, true}; },  // hangs up on the request
                 [](int fd, FakeController& bmc) {
                   ReplyArea r(16);
                   EXPECT_EQ(-1, send_kcs_IPMI_command(-1, 0x01, nullptr, 0, r.buf, &r.len, 0x06));
                   EXPECT_TRUE(bmc.Requests().empty()) << "a negative descriptor reaches no driver";
                   EXPECT_EQ(-1, send_kcs_IPMI_command(fd, 0x01, nullptr, 0, nullptr, &r.len, 0x06));

                   // The hang-up makes the descriptor readable while every receive fails.
                   const long start = NowMs();
                   EXPECT_EQ(-1, send_kcs_IPMI_command(fd, 0x01, nullptr, 0, r.buf, &r.len, 0x06));
                   EXPECT_LT(NowMs() - start, 1000) << "the receive is retried a bounded number of times";
                   EXPECT_EQ(16, r.len);
                 });
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    EXPECT_LT(connect_ipmi("/dev/ipmi0"), 0) << "no device";
    EXPECT_LT(connect_ipmi(nullptr), 0);
    disconnect_ipmi(-1);
  });
}

// A silent controller as a host sees it: the driver answers the request with the timeout
// completion once its retries are spent. The transport waits 5 s for a reply: a driver that takes
// longer leaves the exchange failing after those 5 s, a quicker one hands the caller its timeout
// completion to judge.
TEST(IpmiTransport, ASilentControllerAsTheHostSeesIt) {
  struct Case {
    ipmi_timing_parms driver;
    int rc;
    long min_ms, max_ms;
  };
  const Case cases[] = {
      {{0, 6000}, -1, 4950, 5500},
      {{2, 300}, 0, 850, 4000},
  };
  for (const Case& c : cases) {
    WithController([](const Packet&) { return Reaction{}; },
                   [&c](int fd, FakeController& bmc) {
                     ipmi_timing_parms driver = c.driver;
                     ASSERT_EQ(0, ioctl(fd, IPMICTL_SET_TIMING_PARMS_CMD, &driver));
                     ReplyArea r(16);
                     const long start = NowMs();
                     EXPECT_EQ(c.rc, send_kcs_IPMI_command(fd, 0x64, nullptr, 0, r.buf, &r.len, 0x3a));
                     const long took = NowMs() - start;
                     EXPECT_GE(took, c.min_ms) << c.driver.retry_time_ms;
                     EXPECT_LT(took, c.max_ms) << c.driver.retry_time_ms;
                     EXPECT_EQ(1u, bmc.Requests().size());
                     if (c.rc == 0) {
                       EXPECT_EQ(Bytes{IPMI_TIMEOUT_COMPLETION_CODE}, r.Data());
                     } else {
                       EXPECT_EQ(16, r.len);
                       EXPECT_TRUE(r.UntouchedFrom(0));
                     }
                   });
  }
}

}  // namespace
