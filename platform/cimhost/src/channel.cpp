/* Framed messages over UNIX stream sockets, and descriptor passing (see channel.h). */
#include "channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace cimhost {

namespace {

struct Header {
  uint32_t kind;
  int32_t rc;
  uint32_t length;
};
static_assert(sizeof(Header) == 12, "the frame header is 12 bytes");

/* Bytes read ahead of the frame being taken: a whole small answer, or the
 * start of a large one, in one read. */
constexpr size_t kReadAhead = 64u << 10;

bool valid_kind(uint32_t k) {
  return k == static_cast<uint32_t>(FrameKind::Call) || k == static_cast<uint32_t>(FrameKind::Items) ||
         k == static_cast<uint32_t>(FrameKind::Answer);
}

int poll_timeout(std::chrono::steady_clock::time_point deadline) {
  if (deadline == std::chrono::steady_clock::time_point::max()) return -1;
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
  return ms > 60000 ? 60000 : static_cast<int>(ms);
}

}  // namespace

const char *status_name(Channel::Status s) {
  switch (s) {
    case Channel::Status::Ok: return "ok";
    case Channel::Status::Closed: return "closed by the peer";
    case Channel::Status::TimedOut: return "timed out";
    case Channel::Status::Cancelled: return "cancelled: the client has gone";
    case Channel::Status::Broken: return "broken";
  }
  return "?";
}

Channel::~Channel() {
  if (fd_ >= 0) close(fd_);
}

void Channel::shut() {
  usable_ = false;
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
}

Channel::Status Channel::wait_for(short events, const WaitLimit &limit) {
  for (;;) {
    pollfd p[2] = {{fd_, events, 0}, {limit.cancel_fd, POLLRDHUP, 0}};
    const int n = poll(p, limit.cancel_fd >= 0 ? 2 : 1, poll_timeout(limit.deadline));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::Broken;
    }
    if (limit.cancel_fd >= 0 && (p[1].revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0)
      return Status::Cancelled;
    if (p[0].revents != 0) return Status::Ok; /* ready, or an error the next call reports */
    if (n == 0 && std::chrono::steady_clock::now() >= limit.deadline) return Status::TimedOut;
  }
}

Channel::Status Channel::send(FrameKind kind, int32_t rc, const std::string &payload, const WaitLimit &limit) {
  if (!usable_) return Status::Broken;
  if (payload.size() > kMaxFrame) {
    usable_ = false;
    return Status::Broken;
  }
  Header h{static_cast<uint32_t>(kind), rc, static_cast<uint32_t>(payload.size())};
  iovec iov[2] = {{&h, sizeof h}, {const_cast<char *>(payload.data()), payload.size()}};
  size_t done = 0;
  const size_t total = sizeof h + payload.size();
  while (done < total) {
    /* Skip what has gone out already. */
    iovec part[2];
    int count = 0;
    size_t skip = done;
    for (iovec &v : iov) {
      if (skip >= v.iov_len) {
        skip -= v.iov_len;
        continue;
      }
      part[count].iov_base = static_cast<char *>(v.iov_base) + skip;
      part[count].iov_len = v.iov_len - skip;
      ++count;
      skip = 0;
    }
    msghdr m{};
    m.msg_iov = part;
    m.msg_iovlen = static_cast<size_t>(count);
    const ssize_t n = sendmsg(fd_, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const Status s = wait_for(POLLOUT, limit);
      if (s != Status::Ok) {
        usable_ = false;
        return s;
      }
      continue;
    }
    usable_ = false;
    return n < 0 && (errno == EPIPE || errno == ECONNRESET) ? Status::Closed : Status::Broken;
  }
  return Status::Ok;
}

Channel::Status Channel::read_some(char *dst, size_t room, const WaitLimit &limit, size_t *got) {
  /* With nothing to watch for, a plain blocking read; else wait first: the
   * answer to a call just sent is seldom there yet. */
  const bool watch = limit.cancel_fd >= 0 || limit.deadline != std::chrono::steady_clock::time_point::max();
  for (;;) {
    if (watch) {
      const Status s = wait_for(POLLIN, limit);
      if (s != Status::Ok) return s;
    }
    const ssize_t n = recv(fd_, dst, room, watch ? MSG_DONTWAIT : 0);
    if (n > 0) {
      *got = static_cast<size_t>(n);
      return Status::Ok;
    }
    if (n == 0) return Status::Closed;
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    return errno == ECONNRESET ? Status::Closed : Status::Broken;
  }
}

Channel::Status Channel::receive(Frame *frame, const WaitLimit &limit) {
  if (!usable_) return Status::Broken;
  if (!in_) in_.reset(new char[kReadAhead]);
  Header h{};
  Status s = Status::Ok;
  /* The header, from what was read ahead and what arrives. */
  while (s == Status::Ok && in_end_ - in_pos_ < sizeof h) {
    if (in_pos_ > 0) {
      std::memmove(in_.get(), in_.get() + in_pos_, in_end_ - in_pos_);
      in_end_ -= in_pos_;
      in_pos_ = 0;
    }
    size_t got = 0;
    s = read_some(in_.get() + in_end_, kReadAhead - in_end_, limit, &got);
    if (s == Status::Ok) in_end_ += got;
    else if (s == Status::Closed && in_end_ > 0) s = Status::Broken; /* ended inside a header */
  }
  if (s == Status::Ok) {
    std::memcpy(&h, in_.get() + in_pos_, sizeof h);
    if (!valid_kind(h.kind) || h.length > kMaxFrame) s = Status::Broken;
  }
  if (s == Status::Ok) {
    in_pos_ += sizeof h;
    frame->kind = static_cast<FrameKind>(h.kind);
    frame->rc = h.rc;
    const size_t from_buffer = std::min<size_t>(h.length, in_end_ - in_pos_);
    frame->payload.assign(in_.get() + in_pos_, from_buffer);
    in_pos_ += from_buffer;
    /* The rest of a long payload goes straight into it. */
    frame->payload.resize(h.length);
    size_t done = from_buffer;
    while (s == Status::Ok && done < h.length) {
      size_t got = 0;
      s = read_some(&frame->payload[done], h.length - done, limit, &got);
      if (s == Status::Closed) s = Status::Broken;
      done += got;
    }
  }
  if (in_pos_ == in_end_) in_pos_ = in_end_ = 0;
  if (s != Status::Ok) usable_ = false;
  return s;
}

std::unique_ptr<Channel> ChannelPool::take() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!idle_.empty()) {
      std::unique_ptr<Channel> ch = std::move(idle_.back());
      idle_.pop_back();
      return ch;
    }
  }
  int fds[2];
  if (!make_channel_pair(fds)) return nullptr;
  bool sent;
  {
    std::lock_guard<std::mutex> lock(control_mu_);
    sent = send_descriptor(control_, fds[1]);
  }
  close(fds[1]);
  if (!sent) {
    close(fds[0]);
    return nullptr;
  }
  return std::make_unique<Channel>(fds[0]);
}

void ChannelPool::give_back(std::unique_ptr<Channel> ch) {
  if (!ch || !ch->usable()) return;
  std::lock_guard<std::mutex> lock(mu_);
  if (idle_.size() < keep_) idle_.push_back(std::move(ch));
}

void ChannelPool::clear() {
  std::vector<std::unique_ptr<Channel>> gone;
  std::lock_guard<std::mutex> lock(mu_);
  gone.swap(idle_);
}

bool make_channel_pair(int fds[2]) { return socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0; }

bool send_descriptor(int control, int fd) {
  char byte = 'c';
  iovec iov{&byte, 1};
  alignas(cmsghdr) char buf[CMSG_SPACE(sizeof(int))];
  std::memset(buf, 0, sizeof buf);
  msghdr m{};
  m.msg_iov = &iov;
  m.msg_iovlen = 1;
  m.msg_control = buf;
  m.msg_controllen = sizeof buf;
  cmsghdr *c = CMSG_FIRSTHDR(&m);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
  for (;;) {
    const ssize_t n = sendmsg(control, &m, MSG_NOSIGNAL);
    if (n == 1) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

int receive_descriptor(int control) {
  char byte = 0;
  iovec iov{&byte, 1};
  alignas(cmsghdr) char buf[CMSG_SPACE(sizeof(int))];
  msghdr m{};
  m.msg_iov = &iov;
  m.msg_iovlen = 1;
  m.msg_control = buf;
  m.msg_controllen = sizeof buf;
  ssize_t n;
  do {
    n = recvmsg(control, &m, MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  if (n != 1) return -1;
  int fd = -1;
  for (cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS && c->cmsg_len == CMSG_LEN(sizeof(int)))
      std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
  }
  if ((m.msg_flags & MSG_CTRUNC) != 0 || byte != 'c') {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

}  // namespace cimhost
