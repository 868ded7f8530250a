/*
 * The HTTP and HTTPS front of the CIMOM, on libmicrohttpd.
 *
 * A few I/O threads (epoll) read requests; a complete, authenticated POST is
 * handed to a bounded pool of worker threads that runs the handler while the
 * connection is suspended, so a slow provider never stalls other clients.
 * Refused early, before the body is read: methods other than POST (405),
 * paths other than /cimom and / (404), missing or wrong credentials (401), a
 * Content-Length above the body limit (413). A body that grows past the limit
 * gets 413; one that takes longer than the request timeout to arrive, and a
 * connection idle for longer than the idle timeout, are closed. When every
 * worker is busy and the queue is full the answer is 503.
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
  unsigned workers = 16;
  unsigned queue_limit = 256;
  unsigned io_threads = 2;
  unsigned max_connections = 256;
  size_t max_body = 16u << 20;
  unsigned idle_timeout = 30;    /* seconds */
  unsigned request_timeout = 60; /* seconds for a whole request body */
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

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

/* Base64 as Basic authentication uses it; false for malformed text. */
bool base64_decode(const std::string &in, std::string *out);

}  // namespace cimhost

#endif  // QELVO_CIMHOST_SERVER_H
