/* The HTTP side of the CIM client library: one CIM-XML POST over libcurl, and the reading of
 * what comes back into a status and a response.
 *
 * A released client leaves its libcurl handle to the next client of the same endpoint (address,
 * account and TLS settings) in this process: the connection to the CIMOM stays open and the
 * trust store stays loaded, so that the many short-lived clients a provider makes (one per
 * operation) do not each pay a TCP and TLS set-up. */
#include <cimxml/http.h>
#include <curl/curl.h>

#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "client_internal.h"

namespace cimclient {

namespace {

CURL *handle(void *p) { return static_cast<CURL *>(p); }

/* Idle libcurl handles by endpoint, at most kIdle of them; the oldest goes first. A handle is
 * reused only by the process that made it (a forked child shares its parent's connections). */
class HandlePool {
 public:
  CURL *take(const std::string &key) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (size_t i = idle_.size(); i-- > 0;) {
        if (idle_[i].key == key && idle_[i].pid == getpid()) {
          CURL *h = idle_[i].handle;
          idle_.erase(idle_.begin() + static_cast<long>(i));
          return h;
        }
      }
    }
    return curl_easy_init();
  }

  void give(const std::string &key, CURL *h) {
    CURL *drop = nullptr;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (idle_.size() >= kIdle) {
        if (idle_.front().pid == getpid()) drop = idle_.front().handle;
        idle_.erase(idle_.begin());
      }
      idle_.push_back(Idle{key, h, getpid()});
    }
    if (drop != nullptr) curl_easy_cleanup(drop);
  }

 private:
  static constexpr size_t kIdle = 8;
  struct Idle {
    std::string key;
    CURL *handle;
    pid_t pid;
  };
  std::mutex mu_;
  std::vector<Idle> idle_;
};

/* Lives as long as the process: handles left in it at exit are not torn down. */
HandlePool &pool() {
  static HandlePool *p = new HandlePool();
  return *p;
}

std::string endpoint_key(const Endpoint &ep) {
  std::string k = ep.url;
  for (const std::string *s : {&ep.user, &ep.password, &ep.trust_store, &ep.cert_file, &ep.key_file}) {
    k += '\n';
    k += *s;
  }
  k += ep.has_user ? "\nu" : "\n-";
  k += ep.verify_peer ? "v" : "-";
  return k;
}

/* Collects the body, refusing answers above kMaxAnswer (libcurl then fails the transfer). */
size_t on_body(char *data, size_t size, size_t count, void *user) {
  auto *out = static_cast<HttpResult *>(user);
  const size_t n = size * count;
  if (out->body.size() + n > kMaxAnswer) return 0;
  out->body.append(data, n);
  return n;
}

std::string trim(const std::string &s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == '\r' || s[e - 1] == '\n' || s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

/* Keeps the headers the reading needs (CIMError, Content-Type); a new status line starts over. */
size_t on_header(char *data, size_t size, size_t count, void *user) {
  auto *out = static_cast<HttpResult *>(user);
  const size_t n = size * count;
  const std::string line(data, n);
  if (line.compare(0, 5, "HTTP/") == 0) {
    out->cimerror.clear();
    out->content_type.clear();
    return n;
  }
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return n;
  const std::string name = line.substr(0, colon);
  if (cimxml::iequals(name, "CIMError")) out->cimerror = trim(line.substr(colon + 1));
  else if (cimxml::iequals(name, "Content-Type")) out->content_type = trim(line.substr(colon + 1));
  return n;
}

struct HeaderList {
  curl_slist *list = nullptr;
  ~HeaderList() { curl_slist_free_all(list); }
  bool add(const std::string &h) {
    curl_slist *l = curl_slist_append(list, h.c_str());
    if (l == nullptr) return false;
    list = l;
    return true;
  }
};

/* The first line of a text answer, at most 200 characters: the server's own words. */
std::string first_line(const std::string &body) {
  std::string line = body.substr(0, body.find('\n'));
  if (line.size() > 200) line.resize(200);
  return trim(line);
}

}  // namespace

Transport::~Transport() {
  if (curl_ != nullptr) pool().give(endpoint_key(ep_), handle(curl_));
}

HttpResult Transport::post(const std::string &cimmethod, const std::string &cimobject, const std::string &body) {
  static std::once_flag global;
  std::call_once(global, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  HttpResult out;
  if (curl_ == nullptr) curl_ = pool().take(endpoint_key(ep_));
  CURL *c = handle(curl_);
  if (c == nullptr) {
    out.transport_failed = true;
    out.error = "cannot start libcurl";
    return out;
  }
  curl_easy_reset(c);
  HeaderList h;
  if (!h.add("Content-Type: application/xml; charset=\"utf-8\"") || !h.add("Accept: application/xml") ||
      !h.add("Expect:") || !h.add("CIMProtocolVersion: 1.0") || !h.add("CIMOperation: MethodCall") ||
      !h.add("CIMMethod: " + cimmethod) || !h.add("CIMObject: " + cimobject)) {
    out.transport_failed = true;
    out.error = "out of memory";
    return out;
  }
  char errbuf[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(c, CURLOPT_URL, ep_.url.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, h.list);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &out);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &out);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutS);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, kTotalTimeoutS);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, kStallTimeoutS);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  if (ep_.has_user) {
    curl_easy_setopt(c, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
    curl_easy_setopt(c, CURLOPT_USERNAME, ep_.user.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, ep_.password.c_str());
  }
  if (ep_.https) {
    /* The peer is checked against the trust store; its name is not. */
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, ep_.verify_peer ? 1L : 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    if (!ep_.trust_store.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, ep_.trust_store.c_str());
    if (!ep_.cert_file.empty()) curl_easy_setopt(c, CURLOPT_SSLCERT, ep_.cert_file.c_str());
    if (!ep_.key_file.empty()) curl_easy_setopt(c, CURLOPT_SSLKEY, ep_.key_file.c_str());
  }
  const CURLcode rc = curl_easy_perform(c);
  /* Nothing of the request may outlive it in the reused handle. */
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);
  if (rc != CURLE_OK) {
    out.transport_failed = true;
    out.error = errbuf[0] != '\0' ? errbuf : curl_easy_strerror(rc);
    if (rc == CURLE_WRITE_ERROR && out.body.size() + CURL_MAX_WRITE_SIZE > kMaxAnswer)
      out.error = "the answer is larger than " + std::to_string(kMaxAnswer >> 20) + " MiB";
    return out;
  }
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &out.status);
  return out;
}

Reply interpret(const HttpResult &http) {
  Reply r;
  if (http.transport_failed) {
    r.rc = CMPI_RC_ERR_FAILED;
    r.message = http.error;
    return r;
  }
  if (http.status != 200) {
    r.rc = http.status == 401 || http.status == 403 ? CMPI_RC_ERR_ACCESS_DENIED : CMPI_RC_ERR_FAILED;
    r.message = "HTTP " + std::to_string(http.status);
    std::string why = http.cimerror;
    if (why.empty() && http.content_type.compare(0, 5, "text/") == 0) why = first_line(http.body);
    if (!why.empty()) r.message += ": " + why;
    return r;
  }
  try {
    r.response = cimxml::parse_response(http.body.data(), http.body.size());
  } catch (const cimxml::Error &e) {
    r.rc = CMPI_RC_ERR_FAILED;
    r.message = std::string("the CIMOM's answer is not a CIM-XML response: ") + e.what();
    return r;
  }
  if (r.response.is_error) {
    r.rc = r.response.error_code == CMPI_RC_OK ? CMPI_RC_ERR_FAILED : r.response.error_code;
    r.message = r.response.error_description;
  }
  return r;
}

}  // namespace cimclient
