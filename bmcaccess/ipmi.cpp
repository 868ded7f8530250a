#include "ipmi.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/ipmi.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr long kMessageId = 22444;  // the same on every request
// The driver's receive can fail while poll() reports the descriptor readable (the queue was
// emptied behind our back, the interface went away). It is retried at once, this many times.
constexpr int kReceiveAttempts = 8;

long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Waits until fd is readable, at most IPMI_REPLY_WAIT_MS in all; false on time-out or error.
bool WaitReadable(int fd) {
  const long deadline = NowMs() + IPMI_REPLY_WAIT_MS;
  for (;;) {
    const long left = deadline - NowMs();
    if (left <= 0) return false;
    pollfd pfd = {fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>(left));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

}  // namespace

int connect_ipmi(const char *device) {
  if (device == nullptr) return -1;
  return open(device, O_RDWR | O_CLOEXEC);
}

void disconnect_ipmi(int fd) {
  if (fd >= 0) close(fd);
}

int send_kcs_IPMI_command(int fd, unsigned char cmd, const unsigned char *data, unsigned short data_len,
                          unsigned char *reply, unsigned short *reply_len, unsigned char netfn) {
  unsigned char area[IPMI_REPLY_MAX];
  std::memset(area, 0, sizeof area);
  if (fd < 0 || reply == nullptr || reply_len == nullptr || (data_len > 0 && data == nullptr)) return -1;

  ipmi_system_interface_addr addr;
  std::memset(&addr, 0, sizeof addr);
  addr.addr_type = IPMI_SYSTEM_INTERFACE_ADDR_TYPE;
  addr.channel = IPMI_BMC_CHANNEL;
  addr.lun = 0;
  ipmi_req req;
  std::memset(&req, 0, sizeof req);
  req.addr = reinterpret_cast<unsigned char *>(&addr);
  req.addr_len = sizeof addr;
  req.msgid = kMessageId;
  req.msg.netfn = netfn;
  req.msg.cmd = cmd;
  req.msg.data = const_cast<unsigned char *>(data);
  req.msg.data_len = data_len;
  // A failed send shows up as a missing reply.
  (void)ioctl(fd, IPMICTL_SEND_COMMAND, &req);

  if (!WaitReadable(fd)) return -1;

  ipmi_addr from;
  ipmi_recv recv;
  int rc = -1;
  for (int attempt = 0; attempt < kReceiveAttempts && rc != 0; ++attempt) {
    std::memset(&recv, 0, sizeof recv);
    recv.addr = reinterpret_cast<unsigned char *>(&from);
    recv.addr_len = sizeof from;
    recv.msg.data = area;
    recv.msg.data_len = sizeof area;
    rc = ioctl(fd, IPMICTL_RECEIVE_MSG_TRUNC, &recv);
  }
  if (rc != 0) return -1;

  // Only the response to this request: anything else (an event, a command from elsewhere, a
  // response to another request) fails the exchange.
  if (recv.recv_type != IPMI_RESPONSE_RECV_TYPE || recv.msg.netfn != (netfn | 1) || recv.msg.cmd != cmd) return -1;
  if (recv.msg.data_len > sizeof area || recv.msg.data_len > *reply_len) return -1;
  std::memcpy(reply, area, recv.msg.data_len);
  *reply_len = recv.msg.data_len;
  return 0;
}
