// The Linux IPMI driver's character device, served in the calling process.
//
// Loaded with LD_PRELOAD (libipmipreload.so) or linked into a test executable, this file's
// open/ioctl/read/write/close take over the IPMI device paths whose node is a controller
// simulator's UNIX socket (see ipmi_sim_wire.h for the rule and the packets). The descriptor the
// caller gets is an epoll instance over the connection and a timer (below), so poll() and
// select() report a queued message the way the driver does, with no help from here. Every other
// path and descriptor goes straight to the C library.
//
// The ioctls follow the driver (drivers/char/ipmi/ipmi_devintf.c): IPMICTL_SEND_COMMAND validates
// the address and hands the request over; IPMICTL_RECEIVE_MSG(_TRUNC) takes the oldest queued
// message, fails with EAGAIN when there is none, leaves it queued when the caller's address or
// data area is too small (the truncating variant delivers the head of the data and fails with
// EMSGSIZE); the address, LUN, event, command registration, timing and maintenance-mode ioctls keep
// their per-open state. read() and write() fail with EINVAL as on the device.
//
// As the driver does, a request that gets no answer is answered by the driver itself once its
// retries are spent: a response with the timeout completion code (0xC3), after (retries + 1) x
// retry time, from IPMICTL_SEND_COMMAND_SETTIME or the open's timing parameters, the driver's
// defaults (4 retries of 2000 ms) where those are unset. The controller's answer that comes after
// that is dropped; requests carry the driver's own sequence number to the controller, so that
// answers are told apart. The timer is armed for the earliest deadline.

#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/ipmi.h>
#include <poll.h>
#include <stdarg.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/types.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <new>

#include "ipmi_sim_wire.h"

#define EXPORT __attribute__((visibility("default")))

extern "C" {
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
int __openat_2(int dirfd, const char* path, int flags);
int __openat64_2(int dirfd, const char* path, int flags);
}

namespace {

constexpr int kMaxFds = 65536;
constexpr int kMaxRegistrations = 64;
// Requests awaiting an answer per open (the driver's sequence table has as many entries).
constexpr int kMaxPending = 64;
// The message handler's defaults for a request without timing of its own.
constexpr int kDefaultRetries = 4;
constexpr int64_t kDefaultRetryMs = 2000;
constexpr int64_t kMaxWaitMs = 24LL * 3600 * 1000;

struct Registration {
  unsigned netfn;
  unsigned cmd;
  unsigned chans;
};

// A request the driver answers itself once deadline_ms (CLOCK_MONOTONIC) has passed.
struct Pending {
  ipmisim::Address addr;
  int64_t msgid;
  uint32_t seq;
  uint8_t netfn;
  uint8_t cmd;
  int64_t deadline_ms;
};

// One open of a device: what the driver keeps per open file.
struct Device {
  std::mutex mu;  // receives peek and then take the packet; this keeps the two together
  dev_t dev = 0;  // of the caller's descriptor (an epoll instance)
  ino_t ino = 0;
  int conn = -1;   // connection to the controller
  int timer = -1;  // timerfd, armed for the earliest deadline of pending
  bool gets_events = false;
  unsigned char chan_addr[IPMI_NUM_CHANNELS];
  unsigned char chan_lun[IPMI_NUM_CHANNELS];
  ipmi_timing_parms timing = {-1, 0};  // unset, as a new open of the driver reports it
  int maintenance_mode = 0;
  Registration regs[kMaxRegistrations];
  int nregs = 0;
  Pending pending[kMaxPending];
  int npending = 0;
  uint32_t last_seq = 0;  // sequence number of the latest request; 0 is never used

  Device() {
    std::memset(chan_addr, 0x20, sizeof chan_addr);  // IPMI_BMC_SLAVE_ADDR
    std::memset(chan_lun, 2, sizeof chan_lun);       // the driver's default LUN
  }
};

std::atomic<Device*> g_devices[kMaxFds];

// ---------------------------------------------------------------------------------------------
// The C library's functions behind ours.

template <typename Fn>
Fn Next(std::atomic<void*>& slot, const char* name) {
  void* p = slot.load(std::memory_order_acquire);
  if (p == nullptr) {
    p = dlsym(RTLD_NEXT, name);
    if (p == nullptr) {
      fprintf(stderr, "ipmi preload: %s not found\n", name);
      _exit(127);
    }
    slot.store(p, std::memory_order_release);
  }
  return reinterpret_cast<Fn>(p);
}

#define NEXT(name, type)                \
  static std::atomic<void*> slot_##name; \
  auto real_##name = Next<type>(slot_##name, #name)

using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);
using Open2Fn = int (*)(const char*, int);
using Openat2Fn = int (*)(int, const char*, int);
using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);
using ReadFn = ssize_t (*)(int, void*, size_t);
using WriteFn = ssize_t (*)(int, const void*, size_t);

// ---------------------------------------------------------------------------------------------
// Opening.

bool IsIpmiPath(const char* path) {
  return path != nullptr && std::strncmp(path, "/dev/", 5) == 0 && std::strstr(path + 5, "ipmi") != nullptr;
}

// Flags an open must carry for us to take it: O_PATH opens are plain file-system lookups.
bool Takes(const char* path, int flags, struct stat* st) {
  if (!IsIpmiPath(path) || (flags & O_PATH) != 0) return false;
  return stat(path, st) == 0 && S_ISSOCK(st->st_mode);
}

void CloseAll(std::initializer_list<int> fds) {
  NEXT(close, CloseFn);
  for (int fd : fds) {
    if (fd >= 0) real_close(fd);
  }
}

// Connects to the simulator behind path. Returns the descriptor, or -1 with errno set.
int OpenDevice(const char* path, int flags) {
  if ((flags & O_DIRECTORY) != 0) {
    errno = ENOTDIR;
    return -1;
  }
  sockaddr_un sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof sa.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::strcpy(sa.sun_path, path);
  const int conn = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (conn < 0) return -1;
  int timer = -1, fd = -1;
  auto fail = [&](int err) {
    CloseAll({conn, timer, fd});
    errno = err;
    return -1;
  };
  int rc;
  do {
    rc = connect(conn, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    // Nobody serves the node: as a device whose driver has no interface behind it.
    return fail(errno == EACCES ? EACCES : ENXIO);
  }
  timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (timer < 0) return fail(errno);
  fd = epoll_create1((flags & O_CLOEXEC) != 0 ? EPOLL_CLOEXEC : 0);
  if (fd < 0) return fail(errno);
  epoll_event ev = {};
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.fd = conn;
  if (epoll_ctl(fd, EPOLL_CTL_ADD, conn, &ev) != 0) return fail(errno);
  ev.events = EPOLLIN;
  ev.data.fd = timer;
  if (epoll_ctl(fd, EPOLL_CTL_ADD, timer, &ev) != 0) return fail(errno);
  if ((flags & O_NONBLOCK) != 0) fcntl(fd, F_SETFL, O_NONBLOCK);
  if (fd >= kMaxFds) return fail(EMFILE);
  struct stat st;
  if (fstat(fd, &st) != 0) return fail(errno);
  Device* dev = new (std::nothrow) Device;
  if (dev == nullptr) return fail(ENOMEM);
  dev->dev = st.st_dev;
  dev->ino = st.st_ino;
  dev->conn = conn;
  dev->timer = timer;
  delete g_devices[fd].exchange(dev);
  return fd;
}

// The device state of fd, or null when fd is not (or no longer) an open IPMI device.
Device* Lookup(int fd) {
  if (fd < 0 || fd >= kMaxFds) return nullptr;
  Device* dev = g_devices[fd].load(std::memory_order_acquire);
  if (dev == nullptr) return nullptr;
  // The descriptor may have been closed behind our back (close_range, a raw syscall) and the
  // number reused: it is ours only while it is still an epoll instance watching our connection.
  // Its own descriptors are not closed then: they may have gone the same way and been reused.
  struct stat st;
  epoll_event ev = {};
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.fd = dev->conn;
  if (fstat(fd, &st) != 0 || st.st_dev != dev->dev || st.st_ino != dev->ino ||
      epoll_ctl(fd, EPOLL_CTL_MOD, dev->conn, &ev) != 0) {
    Device* expected = dev;
    if (g_devices[fd].compare_exchange_strong(expected, nullptr)) delete dev;
    return nullptr;
  }
  return dev;
}

void Forget(int fd) {
  if (fd < 0 || fd >= kMaxFds) return;
  Device* dev = g_devices[fd].exchange(nullptr);
  if (dev == nullptr) return;
  CloseAll({dev->conn, dev->timer});
  delete dev;
}

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

// Arms the timer for the earliest deadline, or disarms it; either way a past expiry no longer
// makes the descriptor readable. dev->mu is held.
void Rearm(Device* dev) {
  itimerspec its = {};
  if (dev->npending > 0) {
    int64_t first = dev->pending[0].deadline_ms;
    for (int i = 1; i < dev->npending; ++i) first = std::min(first, dev->pending[i].deadline_ms);
    first = std::max<int64_t>(first, 1);  // 0 would disarm
    its.it_value.tv_sec = first / 1000;
    its.it_value.tv_nsec = (first % 1000) * 1000000;
  }
  timerfd_settime(dev->timer, TFD_TIMER_ABSTIME, &its, nullptr);
}

void RemovePending(Device* dev, int i) {
  dev->pending[i] = dev->pending[--dev->npending];
  Rearm(dev);
}

// The pending request a response from the controller answers, by the sequence number it
// carries: its index, -1 for a message that answers no request (no sequence number: delivered as
// it is), -2 for the answer to a request that is no longer pending (the driver answered it with a
// timeout already: dropped). dev->mu is held.
int AnsweredRequest(const Device* dev, const ipmisim::Packet& msg) {
  if (msg.recv_type != ipmisim::kResponse || msg.seq == 0) return -1;
  for (int i = 0; i < dev->npending; ++i) {
    if (dev->pending[i].seq == msg.seq) return i;
  }
  return -2;
}

// ---------------------------------------------------------------------------------------------
// ioctls.

int Fail(int err) {
  errno = err;
  return -1;
}

// Time the driver gives a request before it answers it with the timeout completion.
int64_t WaitMs(int retries, unsigned retry_time_ms) {
  const int64_t tries = retries < 0 ? kDefaultRetries + 1 : int64_t{retries} + 1;
  const int64_t each = retry_time_ms == 0 ? kDefaultRetryMs : int64_t{retry_time_ms};
  return tries > kMaxWaitMs / each ? kMaxWaitMs : tries * each;
}

// Sends a request; its timing is own's, or the open's when own is null.
int SendRequest(Device* dev, const ipmi_req* req, const ipmi_timing_parms* own) {
  if (req == nullptr || req->addr == nullptr) return Fail(EFAULT);
  ipmi_addr addr;
  std::memset(&addr, 0, sizeof addr);
  if (req->addr_len > sizeof addr) return Fail(EINVAL);
  if (req->addr_len < sizeof(int) + sizeof(short)) return Fail(EINVAL);
  std::memcpy(&addr, req->addr, req->addr_len);

  ipmisim::Packet pkt;
  pkt.kind = ipmisim::kRequest;
  pkt.addr.type = addr.addr_type;
  pkt.addr.channel = addr.channel;
  if (addr.addr_type == IPMI_SYSTEM_INTERFACE_ADDR_TYPE) {
    if (req->addr_len < sizeof(ipmi_system_interface_addr)) return Fail(EINVAL);
    const auto* si = reinterpret_cast<const ipmi_system_interface_addr*>(&addr);
    if (si->channel != IPMI_BMC_CHANNEL || si->lun > 3) return Fail(EINVAL);
    pkt.addr.lun = si->lun;
  } else if (addr.addr_type == IPMI_IPMB_ADDR_TYPE || addr.addr_type == IPMI_IPMB_BROADCAST_ADDR_TYPE) {
    if (req->addr_len < sizeof(ipmi_ipmb_addr)) return Fail(EINVAL);
    const auto* ipmb = reinterpret_cast<const ipmi_ipmb_addr*>(&addr);
    if (ipmb->channel < 0 || ipmb->channel >= IPMI_NUM_CHANNELS || ipmb->lun > 3) return Fail(EINVAL);
    pkt.addr.slave_addr = ipmb->slave_addr;
    pkt.addr.lun = ipmb->lun;
  } else {
    return Fail(EINVAL);
  }
  if (req->msg.data_len > ipmisim::kMaxData) return Fail(EMSGSIZE);
  if (req->msg.data_len > 0 && req->msg.data == nullptr) return Fail(EFAULT);
  pkt.msgid = req->msgid;
  pkt.netfn = req->msg.netfn;
  pkt.cmd = req->msg.cmd;
  pkt.data_len = req->msg.data_len;
  if (pkt.data_len > 0) std::memcpy(pkt.data, req->msg.data, pkt.data_len);

  // A response sent as a request (odd network function) awaits no answer.
  const bool awaits_answer = (pkt.netfn & 1) == 0;
  std::lock_guard<std::mutex> lock(dev->mu);
  if (awaits_answer && dev->npending == kMaxPending) return Fail(EBUSY);
  const ipmi_timing_parms timing = own != nullptr ? *own : dev->timing;
  if (++dev->last_seq == 0) dev->last_seq = 1;
  pkt.seq = dev->last_seq;

  uint8_t buf[ipmisim::kMaxPacket];
  const size_t n = ipmisim::Encode(pkt, buf);
  ssize_t sent;
  do {
    sent = send(dev->conn, buf, n, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  // The controller went away: as an interface that was removed.
  if (sent != static_cast<ssize_t>(n)) return Fail(ENODEV);
  if (awaits_answer) {
    dev->pending[dev->npending++] = {pkt.addr, pkt.msgid, pkt.seq, pkt.netfn, pkt.cmd,
                                     NowMs() + WaitMs(timing.retries, timing.retry_time_ms)};
    Rearm(dev);
  }
  return 0;
}

// Takes the packet at the head of the queue.
void Drop(int fd) {
  uint8_t byte;
  while (recv(fd, &byte, sizeof byte, MSG_DONTWAIT) < 0 && errno == EINTR) {
  }
}

bool PeerGone(int fd) {
  pollfd pfd = {fd, POLLIN | POLLRDHUP, 0};
  return poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
}

// Hands msg to the caller's receive areas. 0, or -1 with errno. *taken tells whether the
// message was delivered (also cut, by the truncating variant, with EMSGSIZE); otherwise it stays
// queued.
int Deliver(const ipmisim::Packet& pkt, ipmi_recv* rsp, bool trunc, bool* taken) {
  *taken = false;
  ipmi_addr addr;
  std::memset(&addr, 0, sizeof addr);
  unsigned addr_len;
  if (pkt.addr.type == IPMI_SYSTEM_INTERFACE_ADDR_TYPE) {
    auto* si = reinterpret_cast<ipmi_system_interface_addr*>(&addr);
    si->addr_type = pkt.addr.type;
    si->channel = pkt.addr.channel;
    si->lun = pkt.addr.lun;
    addr_len = sizeof(ipmi_system_interface_addr);
  } else if (pkt.addr.type == IPMI_IPMB_ADDR_TYPE || pkt.addr.type == IPMI_IPMB_BROADCAST_ADDR_TYPE) {
    auto* ipmb = reinterpret_cast<ipmi_ipmb_addr*>(&addr);
    ipmb->addr_type = pkt.addr.type;
    ipmb->channel = pkt.addr.channel;
    ipmb->slave_addr = pkt.addr.slave_addr;
    ipmb->lun = pkt.addr.lun;
    addr_len = sizeof(ipmi_ipmb_addr);
  } else {
    return Fail(EPROTO);
  }

  // Errors below leave the message queued, as the driver puts it back.
  if (rsp->addr_len < addr_len) return Fail(EINVAL);
  if (rsp->addr == nullptr) return Fail(EFAULT);
  size_t len = pkt.data_len;
  int result = 0;
  if (len > rsp->msg.data_len) {
    if (!trunc) return Fail(EMSGSIZE);
    len = rsp->msg.data_len;
    result = EMSGSIZE;
  }
  if (len > 0 && rsp->msg.data == nullptr) return Fail(EFAULT);

  std::memcpy(rsp->addr, &addr, addr_len);
  rsp->addr_len = addr_len;
  rsp->recv_type = pkt.recv_type;
  rsp->msgid = static_cast<long>(pkt.msgid);
  rsp->msg.netfn = pkt.netfn;
  rsp->msg.cmd = pkt.cmd;
  if (len > 0) std::memcpy(rsp->msg.data, pkt.data, len);
  rsp->msg.data_len = static_cast<unsigned short>(len);
  *taken = true;
  return result == 0 ? 0 : Fail(result);
}

// The driver's own answer to the pending request whose time is up first, if any: a response
// with the timeout completion code.
int DeliverTimeout(Device* dev, ipmi_recv* rsp, bool trunc) {
  int first = -1;
  for (int i = 0; i < dev->npending; ++i) {
    if (first < 0 || dev->pending[i].deadline_ms < dev->pending[first].deadline_ms) first = i;
  }
  if (first < 0 || dev->pending[first].deadline_ms > NowMs()) return Fail(EAGAIN);
  const Pending& p = dev->pending[first];
  ipmisim::Packet req;
  req.addr = p.addr;
  req.msgid = p.msgid;
  req.seq = p.seq;
  req.netfn = p.netfn;
  req.cmd = p.cmd;
  const uint8_t timed_out = IPMI_TIMEOUT_COMPLETION_CODE;
  const ipmisim::Packet pkt = ipmisim::ResponseTo(req, &timed_out, 1);
  bool taken;
  const int rc = Deliver(pkt, rsp, trunc, &taken);
  const int err = errno;
  if (taken) RemovePending(dev, first);
  errno = err;
  return rc;
}

int ReceiveMessage(Device* dev, ipmi_recv* rsp, bool trunc) {
  if (rsp == nullptr) return Fail(EFAULT);
  std::lock_guard<std::mutex> lock(dev->mu);
  const int fd = dev->conn;
  for (;;) {
    uint8_t buf[ipmisim::kMaxPacket];
    // The packet's whole length: one longer than the buffer is malformed and is not read.
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return DeliverTimeout(dev, rsp, trunc);
      return Fail(EIO);
    }
    if (n == 0) {
      if (PeerGone(fd)) return Fail(EIO);
      Drop(fd);
      continue;
    }
    ipmisim::Packet pkt;
    if (static_cast<size_t>(n) > sizeof buf || !ipmisim::Decode(buf, static_cast<size_t>(n), &pkt) ||
        pkt.kind != ipmisim::kMessage) {
      fprintf(stderr, "ipmi preload: dropped a malformed packet of %zd bytes\n", n);
      Drop(fd);
      continue;
    }
    if (pkt.recv_type == ipmisim::kEvent && !dev->gets_events) {
      Drop(fd);  // the driver queues events only for users that asked for them
      continue;
    }
    if (pkt.addr.type != IPMI_SYSTEM_INTERFACE_ADDR_TYPE && pkt.addr.type != IPMI_IPMB_ADDR_TYPE &&
        pkt.addr.type != IPMI_IPMB_BROADCAST_ADDR_TYPE) {
      fprintf(stderr, "ipmi preload: dropped a message with address type %d\n", pkt.addr.type);
      Drop(fd);
      continue;
    }
    const int answered = AnsweredRequest(dev, pkt);
    if (answered == -2) {
      Drop(fd);  // too late: the driver already answered the request with a timeout
      continue;
    }
    bool taken;
    const int rc = Deliver(pkt, rsp, trunc, &taken);
    const int err = errno;
    if (taken) {
      Drop(fd);
      if (answered >= 0) RemovePending(dev, answered);
    }
    errno = err;
    return rc;
  }
}

int SetGetsEvents(Device* dev, const int* value) {
  if (value == nullptr) return Fail(EFAULT);
  ipmisim::Packet pkt;
  pkt.kind = ipmisim::kGetsEvents;
  pkt.gets_events = *value != 0;
  uint8_t buf[ipmisim::kMaxPacket];
  const size_t n = ipmisim::Encode(pkt, buf);
  ssize_t sent;
  do {
    sent = send(dev->conn, buf, n, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent != static_cast<ssize_t>(n)) return Fail(ENODEV);
  std::lock_guard<std::mutex> lock(dev->mu);
  dev->gets_events = pkt.gets_events;
  return 0;
}

int Register(Device* dev, unsigned netfn, unsigned cmd, unsigned chans, bool add) {
  std::lock_guard<std::mutex> lock(dev->mu);
  if (netfn > 0x3f || cmd > 0xff) return Fail(EINVAL);
  for (int i = 0; i < dev->nregs; ++i) {
    Registration& r = dev->regs[i];
    if (r.netfn != netfn || r.cmd != cmd || (r.chans & chans) == 0) continue;
    if (add) return Fail(EBUSY);
    r.chans &= ~chans;
    if (r.chans == 0) dev->regs[i] = dev->regs[--dev->nregs];
    return 0;
  }
  if (!add) return Fail(ENOENT);
  if (dev->nregs == kMaxRegistrations) return Fail(ENOMEM);
  dev->regs[dev->nregs++] = {netfn, cmd, chans};
  return 0;
}

int Ioctl(Device* dev, unsigned long request, void* arg) {
  switch (request) {
    case IPMICTL_SEND_COMMAND:
      return SendRequest(dev, static_cast<const ipmi_req*>(arg), nullptr);
    case IPMICTL_SEND_COMMAND_SETTIME: {
      const auto* req = static_cast<const ipmi_req_settime*>(arg);
      if (req == nullptr) return Fail(EFAULT);
      const ipmi_timing_parms own = {req->retries, req->retry_time_ms};
      return SendRequest(dev, &req->req, &own);
    }
    case IPMICTL_RECEIVE_MSG:
      return ReceiveMessage(dev, static_cast<ipmi_recv*>(arg), false);
    case IPMICTL_RECEIVE_MSG_TRUNC:
      return ReceiveMessage(dev, static_cast<ipmi_recv*>(arg), true);
    case IPMICTL_SET_GETS_EVENTS_CMD:
      return SetGetsEvents(dev, static_cast<const int*>(arg));
    case IPMICTL_REGISTER_FOR_CMD:
    case IPMICTL_UNREGISTER_FOR_CMD: {
      const auto* cmdspec = static_cast<const ipmi_cmdspec*>(arg);
      if (cmdspec == nullptr) return Fail(EFAULT);
      return Register(dev, cmdspec->netfn, cmdspec->cmd, 1u << 0, request == IPMICTL_REGISTER_FOR_CMD);
    }
    case IPMICTL_REGISTER_FOR_CMD_CHANS:
    case IPMICTL_UNREGISTER_FOR_CMD_CHANS: {
      const auto* cmdspec = static_cast<const ipmi_cmdspec_chans*>(arg);
      if (cmdspec == nullptr) return Fail(EFAULT);
      return Register(dev, cmdspec->netfn, cmdspec->cmd, cmdspec->chans, request == IPMICTL_REGISTER_FOR_CMD_CHANS);
    }
    case IPMICTL_SET_MY_ADDRESS_CMD:
    case IPMICTL_SET_MY_LUN_CMD: {
      const auto* value = static_cast<const unsigned int*>(arg);
      if (value == nullptr) return Fail(EFAULT);
      std::lock_guard<std::mutex> lock(dev->mu);
      if (request == IPMICTL_SET_MY_ADDRESS_CMD) {
        dev->chan_addr[0] = static_cast<unsigned char>(*value);
      } else {
        dev->chan_lun[0] = static_cast<unsigned char>(*value & 0x3);
      }
      return 0;
    }
    case IPMICTL_GET_MY_ADDRESS_CMD:
    case IPMICTL_GET_MY_LUN_CMD: {
      auto* value = static_cast<unsigned int*>(arg);
      if (value == nullptr) return Fail(EFAULT);
      std::lock_guard<std::mutex> lock(dev->mu);
      *value = request == IPMICTL_GET_MY_ADDRESS_CMD ? dev->chan_addr[0] : dev->chan_lun[0];
      return 0;
    }
    case IPMICTL_SET_MY_CHANNEL_ADDRESS_CMD:
    case IPMICTL_GET_MY_CHANNEL_ADDRESS_CMD:
    case IPMICTL_SET_MY_CHANNEL_LUN_CMD:
    case IPMICTL_GET_MY_CHANNEL_LUN_CMD: {
      auto* set = static_cast<ipmi_channel_lun_address_set*>(arg);
      if (set == nullptr) return Fail(EFAULT);
      if (set->channel >= IPMI_NUM_CHANNELS) return Fail(EINVAL);
      std::lock_guard<std::mutex> lock(dev->mu);
      if (request == IPMICTL_SET_MY_CHANNEL_ADDRESS_CMD) {
        dev->chan_addr[set->channel] = set->value;
      } else if (request == IPMICTL_GET_MY_CHANNEL_ADDRESS_CMD) {
        set->value = dev->chan_addr[set->channel];
      } else if (request == IPMICTL_SET_MY_CHANNEL_LUN_CMD) {
        dev->chan_lun[set->channel] = set->value & 0x3;
      } else {
        set->value = dev->chan_lun[set->channel];
      }
      return 0;
    }
    case IPMICTL_SET_TIMING_PARMS_CMD:
    case IPMICTL_GET_TIMING_PARMS_CMD: {
      auto* parms = static_cast<ipmi_timing_parms*>(arg);
      if (parms == nullptr) return Fail(EFAULT);
      std::lock_guard<std::mutex> lock(dev->mu);
      if (request == IPMICTL_SET_TIMING_PARMS_CMD) {
        dev->timing = *parms;
      } else {
        *parms = dev->timing;
      }
      return 0;
    }
    case IPMICTL_SET_MAINTENANCE_MODE_CMD:
    case IPMICTL_GET_MAINTENANCE_MODE_CMD: {
      auto* mode = static_cast<int*>(arg);
      if (mode == nullptr) return Fail(EFAULT);
      std::lock_guard<std::mutex> lock(dev->mu);
      if (request == IPMICTL_SET_MAINTENANCE_MODE_CMD) {
        if (*mode < 0 || *mode > 2) return Fail(EINVAL);
        dev->maintenance_mode = *mode;
      } else {
        *mode = dev->maintenance_mode;
      }
      return 0;
    }
    default:
      return Fail(ENOTTY);
  }
}

int OpenMode(int flags, va_list ap) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, int) : 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The interposed entry points.

extern "C" {

EXPORT int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const int mode = OpenMode(flags, ap);
  va_end(ap);
  struct stat st;
  if (Takes(path, flags, &st)) return OpenDevice(path, flags);
  NEXT(open, OpenFn);
  return real_open(path, flags, mode);
}

EXPORT int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const int mode = OpenMode(flags, ap);
  va_end(ap);
  struct stat st;
  if (Takes(path, flags, &st)) return OpenDevice(path, flags);
  NEXT(open64, OpenFn);
  return real_open64(path, flags, mode);
}

EXPORT int openat(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const int mode = OpenMode(flags, ap);
  va_end(ap);
  struct stat st;
  if (Takes(path, flags, &st)) return OpenDevice(path, flags);  // an absolute path ignores dirfd
  NEXT(openat, OpenatFn);
  return real_openat(dirfd, path, flags, mode);
}

EXPORT int openat64(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const int mode = OpenMode(flags, ap);
  va_end(ap);
  struct stat st;
  if (Takes(path, flags, &st)) return OpenDevice(path, flags);
  NEXT(openat64, OpenatFn);
  return real_openat64(dirfd, path, flags, mode);
}

EXPORT int __open_2(const char* path, int flags) {
  struct stat st;
  if (Takes(path, flags, &st)) return OpenDevice(path, flags);
  NEXT(__open_2, Open2Fn);
  return real___open_2(path, flags);
}

EXPORT int __open64_2(const char* path, int flags) {
  struct stat st;
  if (Takes(path, flags, &st)) return OpenDevice(path, flags);
  NEXT(__open64_2, Open2Fn);
  return real___open64_2(path, flags);
}

EXPORT int __openat_2(int dirfd, const char* path, int flags) {
  struct stat st;
  if (Takes(path, flags, &st)) return OpenDevice(path, flags);
  NEXT(__openat_2, Openat2Fn);
  return real___openat_2(dirfd, path, flags);
}

EXPORT int __openat64_2(int dirfd, const char* path, int flags) {
  struct stat st;
  if (Takes(path, flags, &st)) return OpenDevice(path, flags);
  NEXT(__openat64_2, Openat2Fn);
  return real___openat64_2(dirfd, path, flags);
}

EXPORT int ioctl(int fd, unsigned long request, ...) __THROW {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (Device* dev = Lookup(fd)) return Ioctl(dev, request, arg);
  NEXT(ioctl, IoctlFn);
  return real_ioctl(fd, request, arg);
}

EXPORT ssize_t read(int fd, void* buf, size_t count) {
  if (Lookup(fd) != nullptr) return Fail(EINVAL);
  NEXT(read, ReadFn);
  return real_read(fd, buf, count);
}

EXPORT ssize_t write(int fd, const void* buf, size_t count) {
  if (Lookup(fd) != nullptr) return Fail(EINVAL);
  NEXT(write, WriteFn);
  return real_write(fd, buf, count);
}

EXPORT int close(int fd) {
  Forget(fd);
  NEXT(close, CloseFn);
  return real_close(fd);
}

}  // extern "C"
