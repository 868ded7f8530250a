#include "server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
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
#include <thread>
#include <vector>

#include "log.h"

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

/* A fixed set of threads working off a bounded queue. A caller first takes a
 * slot (reserve), which fails when the queue is full, then submits; the job
 * gives the slot back (release_slot) once its answer is ready. */
class WorkerPool {
 public:
  WorkerPool(unsigned threads, unsigned queue_limit) : limit_(threads + queue_limit) {
    for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { loop(); });
  }
  ~WorkerPool() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping_ = true;
    }
    cv_.notify_all();
    for (std::thread &t : threads_)
      if (t.joinable()) t.join();
  }
  bool reserve() {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_ || slots_ >= limit_) return false;
    ++slots_;
    ++pending_;
    return true;
  }
  /* Gives a reserved slot back; a job does so before its answer goes out, so
   * that the client's next request finds the slot free. */
  void release_slot() {
    std::lock_guard<std::mutex> lock(mu_);
    --slots_;
  }
  void submit(std::function<void()> fn) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      queue_.push_back(std::move(fn));
    }
    cv_.notify_one();
  }
  /* Waits until every reserved job has run; false after `ms`. */
  bool drain(unsigned ms) {
    std::unique_lock<std::mutex> lock(mu_);
    return idle_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return pending_ == 0; });
  }

 private:
  void loop() {
    for (;;) {
      std::function<void()> fn;
      {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        fn = std::move(queue_.front());
        queue_.pop_front();
      }
      fn();
      {
        std::lock_guard<std::mutex> lock(mu_);
        --pending_;
      }
      idle_cv_.notify_all();
    }
  }
  std::mutex mu_;
  std::condition_variable cv_, idle_cv_;
  std::deque<std::function<void()>> queue_;
  std::vector<std::thread> threads_;
  unsigned limit_;
  unsigned slots_ = 0;   /* reserved and not yet answered */
  unsigned pending_ = 0; /* reserved and not yet finished */
  bool stopping_ = false;
};

struct Conn {
  std::string body;
  bool too_big = false;
  bool dispatched = false;
  std::atomic<bool> ready{false};
  std::chrono::steady_clock::time_point start;
  std::string principal;
  HttpAnswer answer;
};

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
  std::unique_ptr<WorkerPool> pool;
  MHD_Daemon *http = nullptr;
  MHD_Daemon *https = nullptr;

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

  MHD_Result access(MHD_Connection *c, const char *url, const char *method, const char *upload_data,
                    size_t *upload_data_size, void **con_cls) {
    Conn *conn = static_cast<Conn *>(*con_cls);
    if (conn == nullptr) {
      /* Headers are in; decide before reading the body. */
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
      const std::string len = header(c, MHD_HTTP_HEADER_CONTENT_LENGTH);
      if (!len.empty()) {
        char *end = nullptr;
        const unsigned long long n = std::strtoull(len.c_str(), &end, 10);
        if (end == len.c_str() || n > opts.max_body)
          return plain(c, 413, "the request body exceeds " + std::to_string(opts.max_body) + " bytes");
      }
      conn = new Conn;
      conn->start = std::chrono::steady_clock::now();
      conn->principal = principal;
      *con_cls = conn;
      return MHD_YES;
    }
    if (conn->ready) return queue(c, conn->answer);
    if (*upload_data_size > 0) {
      if (std::chrono::steady_clock::now() - conn->start > std::chrono::seconds(opts.request_timeout)) {
        log_info("closing a connection whose request body is too slow");
        return MHD_NO;
      }
      if (!conn->too_big) {
        if (conn->body.size() + *upload_data_size > opts.max_body) {
          conn->too_big = true;
          conn->body.clear();
          conn->body.shrink_to_fit();
        } else {
          conn->body.append(upload_data, *upload_data_size);
        }
      }
      *upload_data_size = 0;
      return MHD_YES;
    }
    if (conn->dispatched) return MHD_YES; /* not expected while suspended */
    if (conn->too_big) return plain(c, 413, "the request body exceeds " + std::to_string(opts.max_body) + " bytes");
    if (!pool->reserve()) return plain(c, 503, "the CIMOM is busy", {{"Retry-After", "1"}});
    conn->dispatched = true;
    CimHeaders h;
    h.operation = header(c, "CIMOperation");
    h.method = header(c, "CIMMethod");
    h.object = header(c, "CIMObject");
    MHD_suspend_connection(c);
    pool->submit([this, c, conn, h] {
      try {
        conn->answer = handler(conn->body.data(), conn->body.size(), h, conn->principal);
      } catch (const std::exception &e) {
        conn->answer = HttpAnswer{500, std::string("internal error: ") + e.what() + "\n", {}};
      } catch (...) {
        conn->answer = HttpAnswer{500, "internal error\n", {}};
      }
      conn->ready = true;
      pool->release_slot();
      MHD_resume_connection(c);
    });
    return MHD_YES;
  }

  static MHD_Result access_cb(void *cls, MHD_Connection *c, const char *url, const char *method, const char *,
                              const char *upload_data, size_t *upload_data_size, void **con_cls) {
    return static_cast<Impl *>(cls)->access(c, url, method, upload_data, upload_data_size, con_cls);
  }

  static void completed_cb(void *, MHD_Connection *, void **con_cls, MHD_RequestTerminationCode) {
    delete static_cast<Conn *>(*con_cls);
    *con_cls = nullptr;
  }

  MHD_Daemon *start_daemon(int port, bool tls, std::string *error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, opts.listen.c_str(), &addr.sin_addr) != 1) {
      *error = "not an IPv4 address: " + opts.listen;
      return nullptr;
    }
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (tls) flags |= MHD_USE_TLS;
    std::vector<MHD_OptionItem> o;
    o.push_back({MHD_OPTION_SOCK_ADDR, 0, &addr});
    o.push_back({MHD_OPTION_THREAD_POOL_SIZE, static_cast<intptr_t>(opts.io_threads), nullptr});
    o.push_back({MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(opts.max_connections), nullptr});
    o.push_back({MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(opts.idle_timeout), nullptr});
    o.push_back({MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(64 * 1024), nullptr});
    o.push_back({MHD_OPTION_LISTENING_ADDRESS_REUSE, 1, nullptr});
    o.push_back({MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&mhd_logger), nullptr});
    o.push_back({MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&completed_cb), nullptr});
    if (tls) {
      o.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char *>(opts.key_pem.c_str())});
      o.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char *>(opts.cert_pem.c_str())});
    }
    o.push_back({MHD_OPTION_END, 0, nullptr});
    MHD_Daemon *d = MHD_start_daemon(flags, static_cast<uint16_t>(port), nullptr, nullptr, &access_cb, this,
                                     MHD_OPTION_ARRAY, o.data(), MHD_OPTION_END);
    if (d == nullptr)
      *error = std::string("cannot serve ") + (tls ? "HTTPS" : "HTTP") + " on " + opts.listen + ":" +
               std::to_string(port) + " (port in use, or " + (tls ? "bad certificate" : "no permission") + ")";
    return d;
  }

  static uint16_t port_of(MHD_Daemon *d) {
    if (d == nullptr) return 0;
    const MHD_DaemonInfo *info = MHD_get_daemon_info(d, MHD_DAEMON_INFO_BIND_PORT);
    return info != nullptr ? info->port : 0;
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
  if (m.opts.io_threads == 0) m.opts.io_threads = 1;
  if (m.opts.workers == 0) m.opts.workers = 1;
  m.pool = std::make_unique<WorkerPool>(m.opts.workers, m.opts.queue_limit);
  if (m.opts.http_port >= 0 && (m.http = m.start_daemon(m.opts.http_port, false, error)) == nullptr) return false;
  if (m.opts.https_port >= 0 && (m.https = m.start_daemon(m.opts.https_port, true, error)) == nullptr) {
    MHD_stop_daemon(m.http);
    m.http = nullptr;
    return false;
  }
  return true;
}

void Server::stop(unsigned wait_ms) {
  Impl &m = *impl_;
  if (m.http == nullptr && m.https == nullptr) {
    m.pool.reset();
    return;
  }
  /* Stop accepting; the listening sockets come back to us. */
  const int fd1 = m.http != nullptr ? MHD_quiesce_daemon(m.http) : -1;
  const int fd2 = m.https != nullptr ? MHD_quiesce_daemon(m.https) : -1;
  if (m.pool && !m.pool->drain(wait_ms)) {
    /* A provider call does not end: the daemons cannot stop cleanly with a
     * suspended connection, so leave them to the process's exit. */
    log_error("requests still running after " + std::to_string(wait_ms) + " ms; not waiting for them");
    (void)m.pool.release();
  } else {
    /* Finished requests resume their connections on the daemons' threads: give those a
     * moment to send the answers (and clients to close) before the daemons go. */
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
    m.pool.reset();
  }
  if (fd1 >= 0) close(fd1);
  if (fd2 >= 0) close(fd2);
  m.http = m.https = nullptr;
}

uint16_t Server::http_port() const { return Impl::port_of(impl_->http); }
uint16_t Server::https_port() const { return Impl::port_of(impl_->https); }

}  // namespace cimhost
