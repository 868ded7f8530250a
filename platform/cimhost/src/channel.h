/*
 * The byte channels between the CIMOM and its provider processes.
 *
 * A channel is one end of a UNIX stream socket pair carrying frames: a
 * 12-byte header (kind, status code, payload length; host byte order, as both
 * ends run on one machine) followed by the payload. Lengths are checked
 * against kMaxFrame before anything is allocated for them.
 *
 * New channels are made by either side as socket pairs whose other end is
 * passed to the peer (SCM_RIGHTS) over the process's control socket, which
 * carries nothing else. Every descriptor is close-on-exec, so a provider's
 * shell commands never hold a channel open.
 */
#ifndef QELVO_CIMHOST_CHANNEL_H
#define QELVO_CIMHOST_CHANNEL_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace cimhost {

enum class FrameKind : uint32_t {
  Call = 1,   /* a CIM-XML call document */
  Items = 2,  /* objects of an answer, more to follow */
  Answer = 3, /* the end of an answer: status code, and a document unless empty */
};

struct Frame {
  FrameKind kind = FrameKind::Call;
  int32_t rc = 0;
  std::string payload;
};

/* The largest payload either side accepts. */
constexpr size_t kMaxFrame = 64u << 20;

/* How long a channel operation may wait, and a socket whose hang-up ends the
 * wait early (-1: none). */
struct WaitLimit {
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
  int cancel_fd = -1;
};

class Channel {
 public:
  enum class Status { Ok, Closed, TimedOut, Cancelled, Broken };

  explicit Channel(int fd) : fd_(fd) {}
  ~Channel();
  Channel(const Channel &) = delete;
  Channel &operator=(const Channel &) = delete;

  Status send(FrameKind kind, int32_t rc, const std::string &payload, const WaitLimit &limit = WaitLimit());
  Status receive(Frame *frame, const WaitLimit &limit = WaitLimit());
  /* False once a send or receive failed: the stream may be out of step. */
  bool usable() const { return usable_; }
  /* Ends the channel for both sides: the peer's reads see the end. */
  void shut();
  int fd() const { return fd_; }

 private:
  Status wait_for(short events, const WaitLimit &limit);
  /* Reads what has arrived (at least one byte) into dst, waiting as `limit`
   * allows; the number of bytes in *got. */
  Status read_some(char *dst, size_t room, const WaitLimit &limit, size_t *got);
  int fd_;
  bool usable_ = true;
  /* What has been read ahead of the frames taken so far: in_[in_pos_,
   * in_end_). Allocated on the first receive and kept, so that a small
   * frame costs no allocation. */
  std::unique_ptr<char[]> in_;
  size_t in_pos_ = 0, in_end_ = 0;
};

const char *status_name(Channel::Status s);

/* The channels one side keeps to its peer: a few idle ones for reuse, and new
 * ones made as needed, their other end passed over the control socket. */
class ChannelPool {
 public:
  ChannelPool(int control, size_t keep) : control_(control), keep_(keep) {}
  /* An idle channel, or a new one; null when the peer is gone. */
  std::unique_ptr<Channel> take();
  /* Keeps a channel that is still usable, up to `keep` of them. */
  void give_back(std::unique_ptr<Channel> ch);
  /* Drops the idle channels. */
  void clear();

 private:
  const int control_;
  const size_t keep_;
  std::mutex control_mu_; /* writers of the control socket */
  std::mutex mu_;
  std::vector<std::unique_ptr<Channel>> idle_;
};

/* A connected pair of close-on-exec stream sockets; false with errno set. */
bool make_channel_pair(int fds[2]);
/* Passes `fd` over the control socket; false when the peer is gone. */
bool send_descriptor(int control, int fd);
/* The next descriptor passed over `control`; -1 once the peer has closed it
 * (or on an error). Anything else arriving on it is a fault: -1 too. */
int receive_descriptor(int control);

}  // namespace cimhost

#endif  // QELVO_CIMHOST_CHANNEL_H
