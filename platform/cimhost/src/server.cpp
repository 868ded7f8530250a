/* The HTTP and HTTPS front of the CIMOM (see server.h). */
#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "log.h"
#include "request_context.h"

namespace cimhost {

bool base64_decode(const std::string &in, std::string *out) {
  static const auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  out->clear();
  unsigned acc = 0;
  int bits = 0;
  size_t i = 0;
  for (; i < in.size() && in[i] != '='; ++i) {
    const int v = value(in[i]);
    if (v < 0) return false;
    acc = (acc << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out->push_back(static_cast<char>((acc >> bits) & 0xff));
    }
  }
  for (; i < in.size(); ++i)
    if (in[i] != '=') return false;
  return true;
}

namespace {

/* True when the peer of `fd` has hung up. */
bool hung_up(int fd) {
  if (fd < 0) return false;
  pollfd p{fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

/* Which requests may run. Every connection has a thread of its own, which
 * runs its requests; at most `workers` of them run at once and the others
 * wait for their turn, at most `workers + queue_limit` requests in all
 * (more: 503). A request that waits for a provider process gives its turn
 * up meanwhile (BlockingObserver) and takes one again before it goes on. */
class Admission : public BlockingObserver {
 public:
  Admission(unsigned workers, unsigned queue_limit) : workers_(workers), limit_(workers + queue_limit) {}

  enum class Result { Admitted, Busy, Gone };
  /* Waits for a turn; Gone when the client hangs up meanwhile, Busy when
   * too many requests are in. */
  Result enter(int client_fd) {
    std::unique_lock<std::mutex> lock(mu_);
    if (stopping_ || in_ >= limit_) return Result::Busy;
    ++in_;
    auto give_up = [this](Result r) {
      --in_;
      idle_cv_.notify_all();
      return r;
    };
    bool waited = false;
    while (running_ >= workers_) {
      waited = true;
      cv_.wait_for(lock, std::chrono::milliseconds(100));
      if (stopping_) return give_up(Result::Busy);
      if (running_ < workers_) break;
      if (hung_up(client_fd)) return give_up(Result::Gone);
    }
    /* A request that waited may have lost its client meanwhile. */
    if (waited && hung_up(client_fd)) return give_up(Result::Gone);
    ++running_;
    return Result::Admitted;
  }
  void leave() {
    std::lock_guard<std::mutex> lock(mu_);
    --running_;
    --in_;
    cv_.notify_one();
    idle_cv_.notify_all();
  }
  /* Waits nest (a provider's up-call that calls a provider again): only the
   * outermost one gives the turn up and takes it again. */
  void blocking_begins() override {
    if (t_waits_++ > 0) return;
    std::lock_guard<std::mutex> lock(mu_);
    --running_;
    cv_.notify_one();
  }
  void blocking_ends() override {
    if (--t_waits_ > 0) return;
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return running_ < workers_; });
    ++running_;
  }
  /* Refuses new requests and waits until the running ones are done; false
   * after `ms`. */
  bool drain(unsigned ms) {
    std::unique_lock<std::mutex> lock(mu_);
    stopping_ = true;
    cv_.notify_all();
    return idle_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return in_ == 0; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_, idle_cv_;
  const unsigned workers_;
  const unsigned limit_;
  unsigned in_ = 0;      /* requests admitted or waiting for a turn */
  unsigned running_ = 0; /* requests holding a turn */
  bool stopping_ = false;
  static thread_local int t_waits_; /* the calling thread's waits for providers, nested */
};

thread_local int Admission::t_waits_ = 0;

/* One TCP connection: a descriptor of its own for the socket (so that the
 * socket cannot be another connection's when it is shut or polled), and
 * since when a request head has been awaited on it. */
struct Peer {
  int fd = -1;
  std::atomic<bool> in_head{true};
  std::atomic<int64_t> head_since{0}; /* steady clock, nanoseconds */
  bool cut = false;
};

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

/* One request. */
struct Conn {
  explicit Conn(MemoryBudget *budget) : memory(budget) {}
  std::string body;
  int refused = 0; /* the HTTP status the body was refused with */
  std::chrono::steady_clock::time_point start;
  std::string principal;
  Reservation memory;
  int client_fd = -1;
};

/* Requests that held this much memory give what they freed back to the system. */
constexpr size_t kTrimAfter = 4u << 20;

bool constant_equal(const std::string &a, const std::string &b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  const size_t n = std::max(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    diff |= static_cast<unsigned char>(x ^ y);
  }
  return diff == 0;
}

std::string header(MHD_Connection *c, const char *name) {
  const char *v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
  return v != nullptr ? v : "";
}

struct LengthHeaders {
  int content_length = 0;
  bool transfer_encoding = false;
};

MHD_Result count_lengths(void *cls, MHD_ValueKind, const char *key, const char *) {
  auto *h = static_cast<LengthHeaders *>(cls);
  if (strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0) ++h->content_length;
  if (strcasecmp(key, MHD_HTTP_HEADER_TRANSFER_ENCODING) == 0) h->transfer_encoding = true;
  return MHD_YES;
}

Peer *peer_of(MHD_Connection *c) {
  const MHD_ConnectionInfo *info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info != nullptr ? static_cast<Peer *>(info->socket_context) : nullptr;
}

void mhd_logger(void *, const char *fmt, va_list ap) {
  char buf[512];
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  std::string s = buf;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  log_debug("http: " + s);
}

}  // namespace

struct Server::Impl {
  ServerOptions opts;
  RequestHandler handler;
  std::unique_ptr<Admission> admission;
  std::unique_ptr<MemoryBudget> budget;
  MHD_Daemon *http = nullptr;
  MHD_Daemon *https = nullptr;

  /* Connections whose request head is awaited, for the head deadline. */
  std::mutex peers_mu;
  std::set<Peer *> peers;
  std::thread sweeper;
  std::mutex sweep_mu;
  std::condition_variable sweep_cv;
  bool sweeping = false;

  static MHD_Result queue(MHD_Connection *c, const HttpAnswer &a) {
    MHD_Response *r = MHD_create_response_from_buffer(a.body.size(), const_cast<char *>(a.body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (r == nullptr) return MHD_NO;
    for (const auto &[k, v] : a.headers) MHD_add_response_header(r, k.c_str(), v.c_str());
    const MHD_Result ret = MHD_queue_response(c, static_cast<unsigned>(a.status), r);
    MHD_destroy_response(r);
    return ret;
  }

  static MHD_Result plain(MHD_Connection *c, int status, const std::string &text,
                          std::vector<std::pair<std::string, std::string>> extra = {}) {
    HttpAnswer a;
    a.status = status;
    a.body = text + "\n";
    a.headers = std::move(extra);
    a.headers.emplace_back("Content-Type", "text/plain; charset=\"utf-8\"");
    return queue(c, a);
  }

  static HttpAnswer refusal(int status) {
    HttpAnswer a;
    a.status = status;
    a.headers.emplace_back("Content-Type", "text/plain; charset=\"utf-8\"");
    if (status == 503) a.headers.emplace_back("Retry-After", "1");
    return a;
  }

  /* The account name when the request carries one of the configured accounts' credentials. */
  bool authenticate(MHD_Connection *c, std::string *principal) const {
    if (!opts.auth) {
      *principal = "root";
      return true;
    }
    const std::string h = header(c, MHD_HTTP_HEADER_AUTHORIZATION);
    if (h.size() < 6 || strncasecmp(h.c_str(), "Basic ", 6) != 0) return false;
    size_t b = 6;
    while (b < h.size() && h[b] == ' ') ++b;
    std::string decoded;
    if (!base64_decode(h.substr(b), &decoded)) return false;
    const size_t colon = decoded.find(':');
    if (colon == std::string::npos) return false;
    const std::string user = decoded.substr(0, colon), pass = decoded.substr(colon + 1);
    /* Every account is compared in full, so the time taken tells nothing. */
    int ok = 0;
    for (const auto &account : opts.accounts)
      ok |= static_cast<int>(constant_equal(user, account.first)) & static_cast<int>(constant_equal(pass, account.second));
    if (ok != 0) *principal = user;
    return ok != 0;
  }

  /* The first call for a request: its head is complete. Decides before the
   * body is read. */
  MHD_Result begin(MHD_Connection *c, const char *url, const char *method, void **con_cls) {
    if (Peer *p = peer_of(c)) p->in_head = false;
    const std::vector<std::pair<std::string, std::string>> closing = {{"Connection", "close"}};
    LengthHeaders lengths;
    MHD_get_connection_values(c, MHD_HEADER_KIND, &count_lengths, &lengths);
    if (lengths.content_length > 1 || (lengths.content_length == 1 && lengths.transfer_encoding))
      return plain(c, 400, "conflicting or repeated Content-Length headers", closing);
    if (std::strcmp(method, MHD_HTTP_METHOD_POST) != 0) {
      if (std::strcmp(method, "M-POST") == 0) return plain(c, 501, "M-POST is not supported; use POST");
      return plain(c, 405, "only POST is served", {{"Allow", "POST"}});
    }
    if (std::strcmp(url, "/cimom") != 0 && std::strcmp(url, "/") != 0)
      return plain(c, 404, "CIM operations are served at /cimom");
    std::string principal;
    if (!authenticate(c, &principal)) {
      log_debug("refused a request without valid credentials");
      return plain(c, 401, "authentication required", {{"WWW-Authenticate", "Basic realm=\"cimhost\""}});
    }
    auto conn = std::make_unique<Conn>(budget.get());
    const std::string len = header(c, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (!len.empty()) {
      char *end = nullptr;
      errno = 0;
      const unsigned long long n = std::strtoull(len.c_str(), &end, 10);
      if (end == len.c_str() || *end != '\0' || errno != 0 || len[0] == '-')
        return plain(c, 400, "a malformed Content-Length", closing);
      if (n > opts.max_body)
        return plain(c, 413, "the request body exceeds " + std::to_string(opts.max_body) + " bytes", closing);
      switch (conn->memory.grow(n)) {
        case MemoryBudget::Refusal::None: break;
        case MemoryBudget::Refusal::TooLarge:
          return plain(c, 413, "the request body exceeds the memory of one request", closing);
        case MemoryBudget::Refusal::Exhausted:
          log_info("refused a request of " + std::to_string(n) + " bytes: the memory budget is in use");
          return plain(c, 503, "the CIMOM is short of memory", {{"Retry-After", "1"}, {"Connection", "close"}});
      }
      conn->body.reserve(n);
    }
    conn->start = std::chrono::steady_clock::now();
    conn->principal = principal;
    if (Peer *p = peer_of(c)) conn->client_fd = p->fd;
    *con_cls = conn.release();
    return MHD_YES;
  }

  MHD_Result access(MHD_Connection *c, const char *url, const char *method, const char *upload_data,
                    size_t *upload_data_size, void **con_cls) {
    Conn *conn = static_cast<Conn *>(*con_cls);
    if (conn == nullptr) return begin(c, url, method, con_cls);
    if (*upload_data_size > 0) {
      if (std::chrono::steady_clock::now() - conn->start > std::chrono::seconds(opts.request_timeout)) {
        log_info("closing a connection whose request body is too slow");
        return MHD_NO;
      }
      if (conn->refused == 0) {
        const size_t more = conn->body.size() + *upload_data_size;
        if (more > opts.max_body) {
          conn->refused = 413;
        } else if (more > conn->memory.held()) {
          /* A body without Content-Length (chunked) reserves as it grows. */
          const MemoryBudget::Refusal r = conn->memory.grow(more - conn->memory.held());
          if (r != MemoryBudget::Refusal::None) conn->refused = r == MemoryBudget::Refusal::TooLarge ? 413 : 503;
        }
        if (conn->refused != 0) {
          conn->body.clear();
          conn->body.shrink_to_fit();
          conn->memory.release();
        } else {
          conn->body.append(upload_data, *upload_data_size);
        }
      }
      *upload_data_size = 0;
      return MHD_YES;
    }
    if (conn->refused == 413)
      return plain(c, 413, "the request body exceeds " + std::to_string(opts.max_body) + " bytes");
    if (conn->refused == 503) return plain(c, 503, "the CIMOM is short of memory", {{"Retry-After", "1"}});
    CimHeaders h;
    h.operation = header(c, "CIMOperation");
    h.method = header(c, "CIMMethod");
    h.object = header(c, "CIMObject");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(opts.operation_timeout);
    switch (admission->enter(conn->client_fd)) {
      case Admission::Result::Admitted: break;
      case Admission::Result::Busy: return plain(c, 503, "the CIMOM is busy", {{"Retry-After", "1"}});
      case Admission::Result::Gone:
        /* Nobody waits for the answer: drop the request. */
        log_debug("dropped a request whose client has gone");
        return MHD_NO;
    }
    const HttpAnswer answer = run(conn, h, deadline);
    admission->leave();
    return queue(c, answer);
  }

  /* Answers one request, on its connection's thread. */
  HttpAnswer run(Conn *conn, const CimHeaders &h, std::chrono::steady_clock::time_point deadline) {
    HttpAnswer answer;
    CallLimits limits;
    limits.deadline = deadline;
    limits.client_fd = conn->client_fd;
    limits.observer = admission.get();
    limits.memory = &conn->memory;
    {
      CallLimitsScope scope(limits);
      try {
        answer = handler(conn->body.data(), conn->body.size(), h, conn->principal);
      } catch (const std::exception &e) {
        answer = HttpAnswer{500, std::string("internal error: ") + e.what() + "\n", {}};
      } catch (...) {
        answer = HttpAnswer{500, "internal error\n", {}};
      }
    }
    std::string().swap(conn->body);
    const size_t peak = conn->memory.peak();
    conn->memory.release();
    if (peak >= kTrimAfter) malloc_trim(0);
    return answer;
  }

  static MHD_Result access_cb(void *cls, MHD_Connection *c, const char *url, const char *method, const char *,
                              const char *upload_data, size_t *upload_data_size, void **con_cls) {
    return static_cast<Impl *>(cls)->access(c, url, method, upload_data, upload_data_size, con_cls);
  }

  static void completed_cb(void *, MHD_Connection *c, void **con_cls, MHD_RequestTerminationCode) {
    delete static_cast<Conn *>(*con_cls);
    *con_cls = nullptr;
    /* The head of the next request on this connection is awaited from now. */
    if (Peer *p = peer_of(c)) {
      p->head_since = now_ns();
      p->in_head = true;
    }
  }

  static void connection_cb(void *cls, MHD_Connection *c, void **socket_context, MHD_ConnectionNotificationCode code) {
    Impl *self = static_cast<Impl *>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      auto *p = new Peer;
      const MHD_ConnectionInfo *info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
      if (info != nullptr) p->fd = fcntl(info->connect_fd, F_DUPFD_CLOEXEC, 0);
      p->head_since = now_ns();
      *socket_context = p;
      std::lock_guard<std::mutex> lock(self->peers_mu);
      self->peers.insert(p);
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
      auto *p = static_cast<Peer *>(*socket_context);
      if (p == nullptr) return;
      {
        std::lock_guard<std::mutex> lock(self->peers_mu);
        self->peers.erase(p);
      }
      if (p->fd >= 0) close(p->fd);
      delete p;
      *socket_context = nullptr;
    }
  }

  /* Cuts connections whose request head is not complete in time. */
  void sweep() {
    std::unique_lock<std::mutex> lock(sweep_mu);
    while (sweeping) {
      sweep_cv.wait_for(lock, std::chrono::milliseconds(250));
      const int64_t limit = now_ns() - static_cast<int64_t>(opts.head_timeout) * 1000000000LL;
      std::lock_guard<std::mutex> plock(peers_mu);
      for (Peer *p : peers) {
        if (p->cut || !p->in_head || p->head_since > limit || p->fd < 0) continue;
        p->cut = true;
        shutdown(p->fd, SHUT_RDWR);
        log_debug("closed a connection whose request head took longer than " + std::to_string(opts.head_timeout) +
                  " s");
      }
    }
  }

  MHD_Daemon *start_daemon(int port, bool tls, std::string *error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, opts.listen.c_str(), &addr.sin_addr) != 1) {
      *error = "not an IPv4 address: " + opts.listen;
      return nullptr;
    }
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL | MHD_USE_ERROR_LOG;
    if (tls) flags |= MHD_USE_TLS;
    std::vector<MHD_OptionItem> o;
    o.push_back({MHD_OPTION_SOCK_ADDR, 0, &addr});
    o.push_back({MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(opts.max_connections), nullptr});
    o.push_back({MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<intptr_t>(opts.per_ip_connections), nullptr});
    o.push_back({MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(opts.idle_timeout), nullptr});
    o.push_back({MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(64 * 1024), nullptr});
    o.push_back({MHD_OPTION_LISTENING_ADDRESS_REUSE, 1, nullptr});
    o.push_back({MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&mhd_logger), nullptr});
    o.push_back({MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&completed_cb), nullptr});
    o.push_back({MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&connection_cb), this});
    if (tls) {
      o.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char *>(opts.key_pem.c_str())});
      o.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char *>(opts.cert_pem.c_str())});
      o.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char *>(kTlsPriorities)});
    }
    o.push_back({MHD_OPTION_END, 0, nullptr});
    MHD_Daemon *d = MHD_start_daemon(flags, static_cast<uint16_t>(port), nullptr, nullptr, &access_cb, this,
                                     MHD_OPTION_ARRAY, o.data(), MHD_OPTION_END);
    if (d == nullptr)
      *error = std::string("cannot serve ") + (tls ? "HTTPS" : "HTTP") + " on " + opts.listen + ":" +
               std::to_string(port) + " (port in use, or " + (tls ? "bad certificate" : "no permission") + ")";
    return d;
  }

  /* TLS 1.2 and 1.3 only. */
  static constexpr const char *kTlsPriorities = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";

  static uint16_t port_of(MHD_Daemon *d) {
    if (d == nullptr) return 0;
    const MHD_DaemonInfo *info = MHD_get_daemon_info(d, MHD_DAEMON_INFO_BIND_PORT);
    return info != nullptr ? info->port : 0;
  }

  void stop_sweeper() {
    {
      std::lock_guard<std::mutex> lock(sweep_mu);
      sweeping = false;
    }
    sweep_cv.notify_all();
    if (sweeper.joinable()) sweeper.join();
  }
};

Server::Server(ServerOptions opts, RequestHandler handler) : impl_(std::make_unique<Impl>()) {
  impl_->opts = std::move(opts);
  impl_->handler = std::move(handler);
}

Server::~Server() { stop(0); }

bool Server::start(std::string *error) {
  Impl &m = *impl_;
  if (m.opts.https_port >= 0 && !MHD_is_feature_supported(MHD_FEATURE_TLS)) {
    *error = "libmicrohttpd was built without TLS";
    return false;
  }
  if (m.opts.workers == 0) m.opts.workers = 1;
  m.admission = std::make_unique<Admission>(m.opts.workers, m.opts.queue_limit);
  m.budget = std::make_unique<MemoryBudget>(m.opts.total_memory, m.opts.request_memory);
  m.sweeping = true;
  m.sweeper = std::thread([&m] { m.sweep(); });
  if (m.opts.http_port >= 0 && (m.http = m.start_daemon(m.opts.http_port, false, error)) == nullptr) {
    m.stop_sweeper();
    return false;
  }
  if (m.opts.https_port >= 0 && (m.https = m.start_daemon(m.opts.https_port, true, error)) == nullptr) {
    if (m.http != nullptr) MHD_stop_daemon(m.http);
    m.http = nullptr;
    m.stop_sweeper();
    return false;
  }
  return true;
}

void Server::stop(unsigned wait_ms) {
  if (!impl_) return;
  Impl &m = *impl_;
  m.stop_sweeper();
  if (m.http == nullptr && m.https == nullptr) return;
  /* Stop accepting; the listening sockets come back to us. */
  const int fd1 = m.http != nullptr ? MHD_quiesce_daemon(m.http) : -1;
  const int fd2 = m.https != nullptr ? MHD_quiesce_daemon(m.https) : -1;
  const bool drained = m.admission->drain(wait_ms);
  if (drained) {
    /* Give the last answers a moment to go out (and their clients to close)
     * before the daemons close what is left. */
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::min(wait_ms, 1000u));
    auto open_connections = [](MHD_Daemon *d) -> unsigned {
      if (d == nullptr) return 0;
      const union MHD_DaemonInfo *info = MHD_get_daemon_info(d, MHD_DAEMON_INFO_CURRENT_CONNECTIONS);
      return info != nullptr ? info->num_connections : 0;
    };
    while (open_connections(m.http) + open_connections(m.https) > 0 && std::chrono::steady_clock::now() < limit)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (m.http != nullptr) MHD_stop_daemon(m.http);
    if (m.https != nullptr) MHD_stop_daemon(m.https);
  }
  if (fd1 >= 0) close(fd1);
  if (fd2 >= 0) close(fd2);
  m.http = m.https = nullptr;
  if (!drained) {
    /* A provider call does not end: its connection's thread still runs in
     * the server, which cannot stop with it. Leave both to the process's
     * exit. */
    log_error("requests still running after " + std::to_string(wait_ms) + " ms; not waiting for them");
    (void)impl_.release();
  }
}

uint16_t Server::http_port() const { return impl_ ? Impl::port_of(impl_->http) : 0; }
uint16_t Server::https_port() const { return impl_ ? Impl::port_of(impl_->https) : 0; }
size_t Server::memory_in_use() const { return impl_ && impl_->budget ? impl_->budget->in_use() : 0; }

}  // namespace cimhost
