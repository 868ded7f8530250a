/*
 * The HTTP and HTTPS front of the CIMOM, on libmicrohttpd.
 *
 * Every connection has a thread of its own that reads its requests and runs
 * them, so a slow provider never stalls other clients. At most `workers`
 * requests run at once; the others wait for their turn, `workers +
 * queue_limit` requests at most (more: 503). A request waiting for a provider
 * process gives its turn up meanwhile.
 *
 * Refused before the body is read: methods other than POST (405), paths other
 * than /cimom and / (404), missing or wrong credentials (401), a Content-Length
 * that is malformed, repeated or given with Transfer-Encoding (400, and the
 * connection closed), one above the body limit (413), and a body the memory
 * budget cannot take now (503). A body that grows past the limit gets 413;
 * one that takes longer than the request timeout to arrive, a request head
 * not complete within the head timeout, and a connection idle for longer than
 * the idle timeout are closed. One client address holds at most
 * per_ip_connections connections. HTTPS speaks TLS 1.2 and 1.3 only.
 *
 * A queued request whose client has hung up is dropped. A request may wait
 * for providers until operation_timeout after it was complete, or until its
 * client hangs up; it is then answered with an error (see providers.h).
 *
 * Memory: request bodies, their decoding and the providers' answers are
 * reserved from a budget of total_memory bytes, request_memory at most per
 * request (see request_context.h); what does not fit is refused with 413
 * (too much for one request) or 503 (too much at this moment).
 */
#ifndef QELVO_CIMHOST_SERVER_H
#define QELVO_CIMHOST_SERVER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cimom.h"

namespace cimhost {

struct ServerOptions {
  std::string listen = "127.0.0.1";
  int http_port = 5988;  /* -1: off; 0: any free port */
  int https_port = 5989; /* -1: off; 0: any free port */
  bool auth = true;
  /* Accounts Basic authentication accepts: user name and password. */
  std::vector<std::pair<std::string, std::string>> accounts;
  std::string cert_pem; /* HTTPS certificate and key (PEM) */
  std::string key_pem;
  unsigned workers = 16;     /* requests running at once */
  unsigned queue_limit = 256; /* requests waiting for a turn, or for providers */
  unsigned io_threads = 2;    /* no effect: every connection has a thread of its own */
  unsigned max_connections = 256;
  unsigned per_ip_connections = 32;
  size_t max_body = 16u << 20;
  size_t request_memory = 64u << 20;
  size_t total_memory = 256u << 20;
  unsigned idle_timeout = 30;       /* seconds */
  unsigned head_timeout = 10;       /* seconds for a whole request head */
  unsigned request_timeout = 60;    /* seconds for a whole request body */
  unsigned operation_timeout = 120; /* seconds a request may wait for providers */
};

using RequestHandler =
    std::function<HttpAnswer(const char *body, size_t len, const CimHeaders &headers, const std::string &principal)>;

class Server {
 public:
  Server(ServerOptions opts, RequestHandler handler);
  ~Server();
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  /* Binds and starts serving; false with *error on failure. */
  bool start(std::string *error);
  /* Stops accepting, lets running requests finish (up to `wait_ms`), closes. */
  void stop(unsigned wait_ms = 5000);

  /* The ports bound (0 when off). */
  uint16_t http_port() const;
  uint16_t https_port() const;
  /* Bytes of the memory budget in use now. */
  size_t memory_in_use() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

/* Base64 as Basic authentication uses it; false for malformed text. */
bool base64_decode(const std::string &in, std::string *out);

}  // namespace cimhost

#endif  // QELVO_CIMHOST_SERVER_H
