// The SLPv2 user agent behind slp.h.
//
// A request is multicast to 239.255.255.253:427 out of every associated interface (or along the
// multicast route when none is associated) and answered by unicast. Collection follows the
// multicast convergence of RFC 2608 (section 6.3): the request is repeated with the responders
// so far in its previous-responder list after each wait of kWaitsMs, and collection ends after a
// repeat that brought no new responder, or after the last wait. A search thus takes at most
// the sum of kWaitsMs. Replies that do not decode, that carry another XID or function, or that
// report an error are ignored.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "slp.h"
#include "slp_wire.h"

#define SLP_EXPORT __attribute__((visibility("default")))

namespace {

constexpr int kWaitsMs[] = {250, 500, 750};
constexpr size_t kMaxRequest = 1400;

struct Handle {
  std::string lang;
  std::vector<in_addr> interfaces;
  bool in_use = false;
};

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

uint16_t NewXid() {
  static thread_local std::mt19937 gen(std::random_device{}());
  return static_cast<uint16_t>(gen() & 0xffff);
}

// One socket per interface the request goes out of.
class Sockets {
 public:
  ~Sockets() {
    for (int fd : fds_) close(fd);
  }

  // Opens the sockets; false when none could be opened.
  bool Open(const std::vector<in_addr>& interfaces) {
    if (interfaces.empty()) {
      in_addr any;
      any.s_addr = htonl(INADDR_ANY);
      Add(any);
    }
    for (const in_addr& a : interfaces) Add(a);
    return !fds_.empty();
  }

  // Sends msg to the multicast group on every socket; false when it went out on none.
  bool Multicast(const std::vector<uint8_t>& msg) {
    sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(slpwire::kPort);
    inet_pton(AF_INET, slpwire::kMulticastGroup, &to.sin_addr);
    bool sent = false;
    for (int fd : fds_) {
      if (sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
          static_cast<ssize_t>(msg.size())) {
        sent = true;
      }
    }
    return sent;
  }

  const std::vector<int>& fds() const { return fds_; }

 private:
  void Add(const in_addr& a) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr = a;
    const unsigned char ttl = 255, loop = 1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0 ||
        (a.s_addr != htonl(INADDR_ANY) && setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a) != 0)) {
      fprintf(stderr, "slp: cannot use interface %s: %s\n", inet_ntoa(a), std::strerror(errno));
      close(fd);
      return;
    }
    fds_.push_back(fd);
  }

  std::vector<int> fds_;
};

// Runs one multicast convergence. build(pr_list) makes the request; take(body, len) handles the
// body of each reply of the expected function and returns false to stop collecting.
SLPError Converge(Handle* h, uint8_t reply_function,
                  const std::function<std::vector<uint8_t>(const std::string& pr_list, uint16_t xid)>& build,
                  const std::function<bool(const uint8_t* body, size_t len)>& take) {
  Sockets sockets;
  if (!sockets.Open(h->interfaces)) return SLP_NETWORK_INIT_FAILED;
  // Room for the largest UDP datagram, on the heap: callers' threads may have small stacks.
  std::vector<uint8_t> buf(65536);
  const uint16_t xid = NewXid();
  std::set<std::string> responders;
  std::string pr_list;
  bool sent_any = false;

  for (int wait : kWaitsMs) {
    std::vector<uint8_t> msg = build(pr_list, xid);
    if (msg.size() > kMaxRequest) msg = build(std::string(), xid);  // the list no longer fits
    if (sockets.Multicast(msg)) sent_any = true;
    bool new_responder = false;
    const int64_t deadline = NowMs() + wait;
    for (;;) {
      const int64_t left = deadline - NowMs();
      if (left <= 0) break;
      std::vector<pollfd> pfds;
      for (int fd : sockets.fds()) pfds.push_back({fd, POLLIN, 0});
      const int ready = poll(pfds.data(), pfds.size(), static_cast<int>(left));
      if (ready < 0 && errno != EINTR) return SLP_NETWORK_ERROR;
      if (ready <= 0) continue;
      for (const pollfd& p : pfds) {
        if ((p.revents & POLLIN) == 0) continue;
        sockaddr_in from;
        socklen_t from_len = sizeof from;
        const ssize_t n = recvfrom(p.fd, buf.data(), buf.size(), MSG_DONTWAIT | MSG_TRUNC,
                                   reinterpret_cast<sockaddr*>(&from), &from_len);
        if (n <= 0 || static_cast<size_t>(n) > buf.size()) continue;
        slpwire::Header hdr;
        const uint8_t* body;
        size_t body_len;
        if (!slpwire::DecodeHeader(buf.data(), static_cast<size_t>(n), &hdr, &body, &body_len) ||
            hdr.function != reply_function || hdr.xid != xid) {
          continue;
        }
        const std::string who = inet_ntoa(from.sin_addr);
        if (responders.insert(who).second) {
          new_responder = true;
          pr_list += (pr_list.empty() ? "" : ",") + who;
        }
        if (!take(body, body_len)) return SLP_OK;
      }
    }
    if (!new_responder && wait != kWaitsMs[0]) break;
  }
  return sent_any ? SLP_OK : SLP_NETWORK_ERROR;
}

std::string OrDefault(const char* s, const char* fallback) {
  return s != nullptr && *s != '\0' ? std::string(s) : std::string(fallback);
}

// Marks the handle busy for the length of one call.
class Busy {
 public:
  explicit Busy(Handle* h) : h_(h) { h_->in_use = true; }
  ~Busy() { h_->in_use = false; }

 private:
  Handle* h_;
};

}  // namespace

extern "C" {

SLP_EXPORT SLPError SLPOpen(const char* pcLang, SLPBoolean isAsync, SLPHandle* phSLP) {
  if (phSLP == nullptr) return SLP_PARAMETER_BAD;
  *phSLP = nullptr;
  if (isAsync == SLP_TRUE) return SLP_NOT_IMPLEMENTED;
  Handle* h = new (std::nothrow) Handle;
  if (h == nullptr) return SLP_MEMORY_ALLOC_FAILED;
  h->lang = OrDefault(pcLang, "en");
  *phSLP = h;
  return SLP_OK;
}

SLP_EXPORT void SLPClose(SLPHandle hSLP) { delete static_cast<Handle*>(hSLP); }

SLP_EXPORT SLPError SLPAssociateIFList(SLPHandle hSLP, const char* McastIFList) {
  Handle* h = static_cast<Handle*>(hSLP);
  if (h == nullptr || McastIFList == nullptr) return SLP_PARAMETER_BAD;
  if (h->in_use) return SLP_HANDLE_IN_USE;
  std::vector<in_addr> interfaces;
  for (const std::string& item : slpwire::SplitList(McastIFList)) {
    in_addr a;
    if (inet_pton(AF_INET, item.c_str(), &a) != 1) return SLP_PARAMETER_BAD;
    interfaces.push_back(a);
  }
  h->interfaces = std::move(interfaces);
  return SLP_OK;
}

SLP_EXPORT SLPError SLPFindSrvs(SLPHandle hSLP, const char* pcServiceType, const char* pcScopeList,
                                const char* pcSearchFilter, SLPSrvURLCallback callback, void* pvCookie) {
  Handle* h = static_cast<Handle*>(hSLP);
  if (h == nullptr || pcServiceType == nullptr || *pcServiceType == '\0' || callback == nullptr) {
    return SLP_PARAMETER_BAD;
  }
  if (h->in_use) return SLP_HANDLE_IN_USE;
  Busy busy(h);
  slpwire::SrvRqst rq;
  rq.service_type = pcServiceType;
  rq.scope_list = OrDefault(pcScopeList, "DEFAULT");
  rq.predicate = OrDefault(pcSearchFilter, "");
  std::set<std::string> seen;
  bool go_on = true;
  const SLPError rc = Converge(
      h, slpwire::kSrvRply,
      [&](const std::string& pr_list, uint16_t xid) {
        slpwire::Header hdr;
        hdr.function = slpwire::kSrvRqst;
        hdr.flags = slpwire::kRequestMcast;
        hdr.xid = xid;
        hdr.lang = h->lang;
        rq.pr_list = pr_list;
        return slpwire::Encode(hdr, rq);
      },
      [&](const uint8_t* body, size_t len) {
        slpwire::SrvRply reply;
        if (!slpwire::Decode(body, len, &reply) || reply.error != slpwire::kOk) return true;
        for (const slpwire::UrlEntry& e : reply.urls) {
          if (!seen.insert(e.url).second) continue;
          if (callback(h, e.url.c_str(), e.lifetime, SLP_OK, pvCookie) == SLP_FALSE) {
            go_on = false;
            return false;
          }
        }
        return true;
      });
  if (go_on) callback(h, nullptr, 0, SLP_LAST_CALL, pvCookie);
  return rc;
}

SLP_EXPORT SLPError SLPFindAttrs(SLPHandle hSLP, const char* pcURLOrServiceType, const char* pcScopeList,
                                 const char* pcAttrIds, SLPAttrCallback callback, void* pvCookie) {
  Handle* h = static_cast<Handle*>(hSLP);
  if (h == nullptr || pcURLOrServiceType == nullptr || *pcURLOrServiceType == '\0' || callback == nullptr) {
    return SLP_PARAMETER_BAD;
  }
  if (h->in_use) return SLP_HANDLE_IN_USE;
  Busy busy(h);
  slpwire::AttrRqst rq;
  rq.url = pcURLOrServiceType;
  rq.scope_list = OrDefault(pcScopeList, "DEFAULT");
  rq.tag_list = OrDefault(pcAttrIds, "");
  std::set<std::string> seen;
  bool go_on = true;
  const SLPError rc = Converge(
      h, slpwire::kAttrRply,
      [&](const std::string& pr_list, uint16_t xid) {
        slpwire::Header hdr;
        hdr.function = slpwire::kAttrRqst;
        hdr.flags = slpwire::kRequestMcast;
        hdr.xid = xid;
        hdr.lang = h->lang;
        rq.pr_list = pr_list;
        return slpwire::Encode(hdr, rq);
      },
      [&](const uint8_t* body, size_t len) {
        slpwire::AttrRply reply;
        if (!slpwire::Decode(body, len, &reply) || reply.error != slpwire::kOk) return true;
        if (!seen.insert(reply.attr_list).second) return true;
        if (callback(h, reply.attr_list.c_str(), SLP_OK, pvCookie) == SLP_FALSE) {
          go_on = false;
          return false;
        }
        return true;
      });
  if (go_on) callback(h, nullptr, SLP_LAST_CALL, pvCookie);
  return rc;
}

SLP_EXPORT void SLPFree(void* pvMem) { std::free(pvMem); }

}  // extern "C"
