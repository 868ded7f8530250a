// The driver stand-in as a client sees it: this executable links the interposer, so plain
// open/ioctl/poll on /dev/ipmi0 reach a scripted controller listening on the node.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/ipmi.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "ipmi_testing.h"
#include "nsfixture.h"

extern "C" {
int __open_2(const char* path, int flags);
int __openat64_2(int dirfd, const char* path, int flags);
}

namespace {

using ipmisim::Packet;
using ipmitest::FakeController;
using ipmitest::Reaction;
using ipmitest::Response;

constexpr char kDev[] = "/dev/ipmi0";

// A system-interface request as the product and ipmitool build it.
struct Request {
  ipmi_system_interface_addr addr = {IPMI_SYSTEM_INTERFACE_ADDR_TYPE, IPMI_BMC_CHANNEL, 0};
  std::vector<unsigned char> data;
  ipmi_req req = {};

  Request(unsigned char netfn, unsigned char cmd, std::vector<unsigned char> bytes, long msgid = 22444)
      : data(std::move(bytes)) {
    req.addr = reinterpret_cast<unsigned char*>(&addr);
    req.addr_len = sizeof addr;
    req.msgid = msgid;
    req.msg.netfn = netfn;
    req.msg.cmd = cmd;
    req.msg.data = data.empty() ? nullptr : data.data();
    req.msg.data_len = static_cast<unsigned short>(data.size());
  }
};

// A receive area of the given sizes.
struct Receive {
  unsigned char data[300] = {};
  ipmi_addr addr = {};
  ipmi_recv recv = {};

  explicit Receive(unsigned short data_len = 272, unsigned addr_len = sizeof(ipmi_addr)) {
    recv.addr = reinterpret_cast<unsigned char*>(&addr);
    recv.addr_len = addr_len;
    recv.msg.data = data;
    recv.msg.data_len = data_len;
  }
  std::vector<unsigned char> Data() const { return {data, data + recv.msg.data_len}; }
};

bool Readable(int fd, int timeout_ms) {
  pollfd pfd = {fd, POLLIN, 0};
  return poll(&pfd, 1, timeout_ms) == 1 && (pfd.revents & POLLIN) != 0;
}

// Answers every request with completion code 0 and the request's data echoed.
Reaction Echo(const Packet& req) {
  std::vector<uint8_t> data(1u + req.data_len, 0x00);
  std::memcpy(data.data() + 1, req.data, req.data_len);
  return {{Response(req, data)}};
}

TEST(IpmiPreload, RequestAndResponseTravelWithTheDriversLayout) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    FakeController bmc(kDev, Echo);
    const int fd = open(kDev, O_RDWR);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    EXPECT_FALSE(Readable(fd, 0)) << "nothing is queued before a request";

    Request r(0x30, 0x50, {0x00, 0x01, 0xff}, 4711);
    ASSERT_EQ(0, ioctl(fd, IPMICTL_SEND_COMMAND, &r.req)) << std::strerror(errno);
    ASSERT_TRUE(Readable(fd, 2000));
    Receive rx;
    ASSERT_EQ(0, ioctl(fd, IPMICTL_RECEIVE_MSG_TRUNC, &rx.recv)) << std::strerror(errno);
    EXPECT_EQ(IPMI_RESPONSE_RECV_TYPE, rx.recv.recv_type);
    EXPECT_EQ(4711, rx.recv.msgid);
    EXPECT_EQ(0x31, rx.recv.msg.netfn);
    EXPECT_EQ(0x50, rx.recv.msg.cmd);
    EXPECT_EQ((std::vector<unsigned char>{0x00, 0x00, 0x01, 0xff}), rx.Data());
    ASSERT_EQ(sizeof(ipmi_system_interface_addr), rx.recv.addr_len);
    const auto* si = reinterpret_cast<const ipmi_system_interface_addr*>(&rx.addr);
    EXPECT_EQ(IPMI_SYSTEM_INTERFACE_ADDR_TYPE, si->addr_type);
    EXPECT_EQ(IPMI_BMC_CHANNEL, si->channel);
    EXPECT_FALSE(Readable(fd, 0)) << "the message was taken";

    const std::vector<Packet> seen = bmc.Requests();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(ipmisim::kSystemInterface, seen[0].addr.type);
    EXPECT_EQ(4711, seen[0].msgid);
    EXPECT_EQ(0x30, seen[0].netfn);
    EXPECT_EQ(0x50, seen[0].cmd);
    EXPECT_EQ((std::vector<unsigned char>{0x00, 0x01, 0xff}),
              std::vector<unsigned char>(seen[0].data, seen[0].data + seen[0].data_len));
    EXPECT_EQ(0, close(fd));
  });
}

TEST(IpmiPreload, ReceiveFollowsTheDriversQueueRules) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    FakeController bmc(kDev, Echo);
    const int fd = open(kDev, O_RDWR);
    ASSERT_GE(fd, 0);

    Receive empty;
    EXPECT_EQ(-1, ioctl(fd, IPMICTL_RECEIVE_MSG_TRUNC, &empty.recv));
    EXPECT_EQ(EAGAIN, errno) << "an empty queue";

    Request r(0x06, 0x01, {1, 2, 3, 4, 5, 6, 7});
    ASSERT_EQ(0, ioctl(fd, IPMICTL_SEND_COMMAND, &r.req));
    ASSERT_TRUE(Readable(fd, 2000));

    Receive no_room_for_addr(272, sizeof(int));
    EXPECT_EQ(-1, ioctl(fd, IPMICTL_RECEIVE_MSG_TRUNC, &no_room_for_addr.recv));
    EXPECT_EQ(EINVAL, errno);

    Receive small(4);
    EXPECT_EQ(-1, ioctl(fd, IPMICTL_RECEIVE_MSG, &small.recv));
    EXPECT_EQ(EMSGSIZE, errno);
    EXPECT_TRUE(Readable(fd, 0)) << "a refused message stays queued";

    Receive truncated(4);
    EXPECT_EQ(-1, ioctl(fd, IPMICTL_RECEIVE_MSG_TRUNC, &truncated.recv));
    EXPECT_EQ(EMSGSIZE, errno);
    EXPECT_EQ((std::vector<unsigned char>{0, 1, 2, 3}), truncated.Data()) << "the head of the data";
    EXPECT_EQ(0, truncated.data[4]) << "nothing written past the caller's length";
    EXPECT_FALSE(Readable(fd, 0)) << "a truncated message is taken";

    ASSERT_EQ(0, ioctl(fd, IPMICTL_SEND_COMMAND, &r.req));
    ASSERT_TRUE(Readable(fd, 2000));
    Receive exact(8);
    EXPECT_EQ(0, ioctl(fd, IPMICTL_RECEIVE_MSG, &exact.recv));
    EXPECT_EQ(8u, exact.recv.msg.data_len);
    close(fd);
  });
}

TEST(IpmiPreload, InvalidRequestsAreRefusedAndNeverSent) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    FakeController bmc(kDev, Echo);
    const int fd = open(kDev, O_RDWR);
    ASSERT_GE(fd, 0);

    Request wrong_channel(0x06, 0x01, {});
    wrong_channel.addr.channel = 0;
    EXPECT_EQ(-1, ioctl(fd, IPMICTL_SEND_COMMAND, &wrong_channel.req));
    EXPECT_EQ(EINVAL, errno);

    Request bad_lun(0x06, 0x01, {});
    bad_lun.addr.lun = 4;
    EXPECT_EQ(-1, ioctl(fd, IPMICTL_SEND_COMMAND, &bad_lun.req));
    EXPECT_EQ(EINVAL, errno);

    Request lan(0x06, 0x01, {});
    lan.addr.addr_type = IPMI_LAN_ADDR_TYPE;
    EXPECT_EQ(-1, ioctl(fd, IPMICTL_SEND_COMMAND, &lan.req));
    EXPECT_EQ(EINVAL, errno);

    Request short_addr(0x06, 0x01, {});
    short_addr.req.addr_len = 2;
    EXPECT_EQ(-1, ioctl(fd, IPMICTL_SEND_COMMAND, &short_addr.req));
    EXPECT_EQ(EINVAL, errno);

    Request too_long(0x2e, 0x90, std::vector<unsigned char>(273, 0xaa));
    EXPECT_EQ(-1, ioctl(fd, IPMICTL_SEND_COMMAND, &too_long.req));
    EXPECT_EQ(EMSGSIZE, errno);

    Request longest(0x2e, 0x90, std::vector<unsigned char>(272, 0xaa));
    EXPECT_EQ(0, ioctl(fd, IPMICTL_SEND_COMMAND, &longest.req));
    ASSERT_TRUE(Readable(fd, 2000));
    EXPECT_EQ(1u, bmc.Requests().size()) << "only the valid request reached the controller";
    EXPECT_EQ(272u, bmc.Requests()[0].data_len);

    EXPECT_EQ(-1, ioctl(fd, IPMICTL_SEND_COMMAND, nullptr));
    EXPECT_EQ(EFAULT, errno);
    EXPECT_EQ(-1, ioctl(fd, _IO('i', 99)));
    EXPECT_EQ(ENOTTY, errno);
    char byte;
    EXPECT_EQ(-1, read(fd, &byte, 1));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(-1, write(fd, &byte, 1));
    EXPECT_EQ(EINVAL, errno);
    close(fd);
  });
}

long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// The driver answers a request the controller leaves unanswered: a response with the timeout
// completion code once the request's retries are spent, by its own timing or else the open's.
// The controller's answer that comes later is dropped; one in time stops the timer. The request
// data says what the controller does: 0 ignore it, 1 answer at once, 2 answer after a second.
TEST(IpmiPreload, TheDriverAnswersWhatTheControllerIgnores) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    FakeController bmc(kDev, [](const Packet& req) {
      if (req.data[0] == 0) return Reaction{};
      if (req.data[0] == 2) usleep(1000 * 1000);
      return Reaction{{Response(req, {0x00, req.data[0]})}};
    });
    const int fd = open(kDev, O_RDWR);
    ASSERT_GE(fd, 0);
    ipmi_timing_parms timing = {0, 1};
    ASSERT_EQ(0, ioctl(fd, IPMICTL_GET_TIMING_PARMS_CMD, &timing));
    EXPECT_TRUE(timing.retries == -1 && timing.retry_time_ms == 0) << "unset: the driver's defaults apply";
    timing = {2, 150};
    ASSERT_EQ(0, ioctl(fd, IPMICTL_SET_TIMING_PARMS_CMD, &timing));

    struct Step {
      unsigned char action;
      bool own_timing;  // no retries, 100 ms
      std::vector<unsigned char> reply;
      long min_ms, max_ms;
    };
    const Step steps[] = {
        {0, false, {IPMI_TIMEOUT_COMPLETION_CODE}, 440, 5000},  // after 3 x 150 ms
        {2, true, {IPMI_TIMEOUT_COMPLETION_CODE}, 90, 400},     // the late answer is dropped
        {1, false, {0x00, 0x01}, 0, 5000},                      // no timeout follows
    };
    for (const Step& step : steps) {
      Request r(0x3a, 0x64, {step.action});
      ipmi_req_settime own = {r.req, 0, 100};
      const long start = NowMs();
      ASSERT_EQ(0, step.own_timing ? ioctl(fd, IPMICTL_SEND_COMMAND_SETTIME, &own)
                                   : ioctl(fd, IPMICTL_SEND_COMMAND, &r.req));
      ASSERT_TRUE(Readable(fd, 5000));
      const long took = NowMs() - start;
      EXPECT_TRUE(took >= step.min_ms && took < step.max_ms) << int{step.action} << ": " << took << " ms";
      Receive rx;
      ASSERT_EQ(0, ioctl(fd, IPMICTL_RECEIVE_MSG_TRUNC, &rx.recv)) << std::strerror(errno);
      EXPECT_TRUE(rx.recv.recv_type == IPMI_RESPONSE_RECV_TYPE && rx.recv.msgid == 22444 &&
                  rx.recv.msg.netfn == 0x3b && rx.recv.msg.cmd == 0x64);
      EXPECT_EQ(step.reply, rx.Data()) << int{step.action};
      // Whatever comes within the next 1.2 s (the late answer) is not delivered.
      Receive more;
      if (Readable(fd, 1200)) {
        EXPECT_NE(0, ioctl(fd, IPMICTL_RECEIVE_MSG_TRUNC, &more.recv)) << int{step.action};
      }
    }
    EXPECT_EQ(3u, bmc.Requests().size()) << "each request reached the controller once";
    close(fd);
  });
}

TEST(IpmiPreload, EventsReachOnlyASubscribedOpen) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    FakeController bmc(kDev, Echo);
    const int fd = open(kDev, O_RDWR);
    ASSERT_GE(fd, 0);

    Packet event;
    event.kind = ipmisim::kMessage;
    event.recv_type = ipmisim::kEvent;
    event.netfn = 0x05;
    event.cmd = 0x02;
    event.data_len = 3;
    event.data[0] = 0x11;

    bmc.Push(event);
    ASSERT_TRUE(Readable(fd, 2000));
    Receive rx;
    EXPECT_EQ(-1, ioctl(fd, IPMICTL_RECEIVE_MSG_TRUNC, &rx.recv));
    EXPECT_EQ(EAGAIN, errno) << "an event for an open that did not ask for events";

    const int on = 1;
    ASSERT_EQ(0, ioctl(fd, IPMICTL_SET_GETS_EVENTS_CMD, &on));
    bmc.Push(event);
    ASSERT_TRUE(Readable(fd, 2000));
    ASSERT_EQ(0, ioctl(fd, IPMICTL_RECEIVE_MSG_TRUNC, &rx.recv));
    EXPECT_EQ(IPMI_ASYNC_EVENT_RECV_TYPE, rx.recv.recv_type);
    EXPECT_EQ(3u, rx.recv.msg.data_len);
    EXPECT_EQ(0x11, rx.data[0]);
    for (int i = 0; i < 200 && bmc.EventSubscriptions().empty(); ++i) usleep(10000);
    EXPECT_EQ(std::vector<bool>{true}, bmc.EventSubscriptions());
    close(fd);
  });
}

TEST(IpmiPreload, PerOpenSettingsAreKept) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    FakeController bmc(kDev, Echo);
    const int a = open(kDev, O_RDWR);
    const int b = open(kDev, O_RDWR);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);

    unsigned addr = 0x81;
    ASSERT_EQ(0, ioctl(a, IPMICTL_SET_MY_ADDRESS_CMD, &addr));
    unsigned got = 0;
    ASSERT_EQ(0, ioctl(a, IPMICTL_GET_MY_ADDRESS_CMD, &got));
    EXPECT_EQ(0x81u, got);
    ASSERT_EQ(0, ioctl(b, IPMICTL_GET_MY_ADDRESS_CMD, &got));
    EXPECT_EQ(0x20u, got) << "the other open keeps the default";

    ipmi_cmdspec cmdspec = {0x06, 0x34};
    EXPECT_EQ(0, ioctl(a, IPMICTL_REGISTER_FOR_CMD, &cmdspec));
    EXPECT_EQ(-1, ioctl(a, IPMICTL_REGISTER_FOR_CMD, &cmdspec));
    EXPECT_EQ(EBUSY, errno);
    EXPECT_EQ(0, ioctl(a, IPMICTL_UNREGISTER_FOR_CMD, &cmdspec));
    EXPECT_EQ(-1, ioctl(a, IPMICTL_UNREGISTER_FOR_CMD, &cmdspec));
    EXPECT_EQ(ENOENT, errno);

    close(a);
    close(b);
  });
}

TEST(IpmiPreload, EveryOpenVariantServesTheNode) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    FakeController bmc(kDev, Echo);
    const int fds[] = {
        open(kDev, O_RDWR),
        open64(kDev, O_RDWR | O_CLOEXEC),
        openat(AT_FDCWD, kDev, O_RDWR),
        openat64(-1, kDev, O_RDWR),
        __open_2(kDev, O_RDWR),
        __openat64_2(AT_FDCWD, kDev, O_RDWR | O_NONBLOCK),
    };
    for (int fd : fds) {
      ASSERT_GE(fd, 0) << std::strerror(errno);
      Request r(0x06, 0x01, {static_cast<unsigned char>(fd)});
      ASSERT_EQ(0, ioctl(fd, IPMICTL_SEND_COMMAND, &r.req));
      ASSERT_TRUE(Readable(fd, 2000));
      Receive rx;
      ASSERT_EQ(0, ioctl(fd, IPMICTL_RECEIVE_MSG_TRUNC, &rx.recv));
      EXPECT_EQ(fd, rx.data[1]) << "each open is its own connection";
    }
    EXPECT_EQ(6, bmc.Connections());
    EXPECT_EQ(FD_CLOEXEC, fcntl(fds[1], F_GETFD) & FD_CLOEXEC);
    for (int fd : fds) close(fd);
  });
}

TEST(IpmiPreload, OtherPathsAndReusedDescriptorsAreLeftAlone) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());

    // A node left behind by a controller that is gone: nobody listens on it.
    {
      const int s = socket(AF_UNIX, SOCK_SEQPACKET, 0);
      sockaddr_un sa = {};
      sa.sun_family = AF_UNIX;
      std::strcpy(sa.sun_path, "/dev/ipmi3");
      ASSERT_EQ(0, bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
      close(s);
    }
    EXPECT_EQ(-1, open("/dev/ipmi3", O_RDWR));
    EXPECT_EQ(ENXIO, errno);
    EXPECT_EQ(-1, open("/dev/ipmi4", O_RDWR));
    EXPECT_EQ(ENOENT, errno) << "no node at all";

    // A character device node stays the real driver's business.
    ASSERT_EQ(0, mknod("/dev/ipmi7", S_IFCHR | 0600, makedev(1, 3)));  // /dev/null's numbers
    const int real = open("/dev/ipmi7", O_RDWR);
    ASSERT_GE(real, 0) << std::strerror(errno);
    Request r(0x06, 0x01, {});
    EXPECT_EQ(-1, ioctl(real, IPMICTL_SEND_COMMAND, &r.req));
    EXPECT_EQ(ENOTTY, errno);
    EXPECT_EQ(3, write(real, "abc", 3));
    close(real);

    // A device descriptor closed behind the interposer's back and its number reused by a file.
    FakeController bmc(kDev, Echo);
    const int fd = open(kDev, O_RDWR);
    ASSERT_GE(fd, 0);
    // The controller's thread takes a descriptor of its own when it accepts: once it has, the
    // number closed below is the lowest free one.
    for (int i = 0; i < 5000 && bmc.Connections() < 1; ++i) usleep(1000);
    ASSERT_EQ(1, bmc.Connections());
    ASSERT_EQ(0, syscall(SYS_close_range, fd, fd, 0));
    const int file = open("/tmp/plain", O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(fd, file) << "the lowest free number is reused";
    EXPECT_EQ(5, write(file, "hello", 5));
    ASSERT_EQ(0, lseek(file, 0, SEEK_SET));
    char buf[8] = {};
    EXPECT_EQ(5, read(file, buf, sizeof buf));
    EXPECT_STREQ("hello", buf);
    close(file);
  });
}

TEST(IpmiPreload, AVanishedControllerFailsSendAndReceive) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    auto bmc = std::make_unique<FakeController>(kDev, [](const Packet&) { return Reaction{{}, true}; });
    const int fd = open(kDev, O_RDWR);
    ASSERT_GE(fd, 0);
    Request r(0x06, 0x01, {});
    ASSERT_EQ(0, ioctl(fd, IPMICTL_SEND_COMMAND, &r.req));
    ASSERT_TRUE(Readable(fd, 2000)) << "a hang-up wakes the waiter";
    Receive rx;
    EXPECT_EQ(-1, ioctl(fd, IPMICTL_RECEIVE_MSG_TRUNC, &rx.recv));
    EXPECT_EQ(EIO, errno);
    bmc.reset();
    EXPECT_EQ(-1, ioctl(fd, IPMICTL_SEND_COMMAND, &r.req));
    EXPECT_EQ(ENODEV, errno);
    close(fd);
  });
}

}  // namespace
