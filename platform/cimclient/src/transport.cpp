/* The HTTP side of the CIM client library: one CIM-XML POST over libcurl, and the reading of
 * what comes back into a status and a response.
 *
 * A released client leaves its libcurl handle to the next client of the same endpoint (address,
 * account and TLS settings) in this process: the connection to the CIMOM stays open and the
 * trust store stays loaded, so that the many short-lived clients a provider makes (one per
 * operation) do not each pay a TCP and TLS set-up.
 *
 * A verifying TLS connection takes its trust store from a process-wide cache: loading a system
 * bundle of some hundred certificates costs tens of milliseconds of processor time, which
 * libcurl would otherwise spend again for every new connection of every handle. */
#include <cimxml/http.h>
#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>

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

/* The identity of a file or directory as far as a change shows in it; all zero when it is missing. */
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime = {0, 0}, ctime = {0, 0};
  bool operator==(const FileId &o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

FileId file_id(const std::string &path) {
  FileId id;
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) return id;
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.size = st.st_size;
  id.mtime = st.st_mtim;
  id.ctime = st.st_ctim;
  return id;
}

/* Trust stores by bundle file and certificate directory, each loaded once and shared by every
 * connection that names the same pair (OpenSSL stores may be shared between threads). A pair
 * whose file or directory changed since it was loaded is loaded afresh; connections that hold
 * the old store keep it until they end. */
class TrustStores {
 public:
  /* A reference to the store (the caller frees it with X509_STORE_free), or null when libcurl does
   * not use OpenSSL or the file cannot be loaded: libcurl then loads it itself and reports what it
   * finds wrong. */
  X509_STORE *get(const std::string &file, const std::string &dir) {
    if (!openssl_backend()) return nullptr;
    const std::string key = file + '\n' + dir;
    const FileId fid = file_id(file), did = file_id(dir);
    std::lock_guard<std::mutex> lock(mu_);
    for (Entry &e : stores_) {
      if (e.key != key) continue;
      if (!(e.file == fid && e.dir == did)) {
        X509_STORE *fresh = load(file, dir);
        if (fresh == nullptr) return nullptr;
        X509_STORE_free(e.store);
        e.store = fresh;
        e.file = fid;
        e.dir = did;
      }
      return X509_STORE_up_ref(e.store) == 1 ? e.store : nullptr;
    }
    X509_STORE *store = load(file, dir);
    if (store == nullptr) return nullptr;
    stores_.push_back(Entry{key, store, fid, did});
    return X509_STORE_up_ref(store) == 1 ? store : nullptr;
  }

 private:
  struct Entry {
    std::string key;
    X509_STORE *store;
    FileId file, dir;
  };

  static bool openssl_backend() {
    static const bool yes = [] {
      const curl_version_info_data *v = curl_version_info(CURLVERSION_NOW);
      return v != nullptr && v->ssl_version != nullptr && std::strncmp(v->ssl_version, "OpenSSL/", 8) == 0;
    }();
    return yes;
  }

  /* Loaded as libcurl loads it: the bundle, then the hashed directory (read as certificates are
   * looked up). Every part given must load. */
  static X509_STORE *load(const std::string &file, const std::string &dir) {
    X509_STORE *store = X509_STORE_new();
    if (store == nullptr) return nullptr;
    if ((!file.empty() && X509_STORE_load_file(store, file.c_str()) != 1) ||
        (!dir.empty() && X509_STORE_load_path(store, dir.c_str()) != 1)) {
      X509_STORE_free(store);
      return nullptr;
    }
    return store;
  }

  std::mutex mu_;
  std::vector<Entry> stores_;
};

TrustStores &trust_stores() {
  static TrustStores *t = new TrustStores();
  return *t;
}

/* Puts the shared store into the SSL context libcurl made for a new connection. */
CURLcode use_trust_store(CURL *, void *ssl_ctx, void *store) {
  SSL_CTX_set1_cert_store(static_cast<SSL_CTX *>(ssl_ctx), static_cast<X509_STORE *>(store));
  return CURLE_OK;
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
  X509_STORE *store = nullptr;
  if (ep_.https) {
    /* The peer is checked against the trust store; its name is not. */
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, ep_.verify_peer ? 1L : 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    if (!ep_.trust_store.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, ep_.trust_store.c_str());
    if (ep_.verify_peer) {
      /* The given bundle alone, or libcurl's own default bundle and directory. */
      const curl_version_info_data *v = curl_version_info(CURLVERSION_NOW);
      const std::string file = !ep_.trust_store.empty() ? ep_.trust_store
                               : v != nullptr && v->cainfo != nullptr ? v->cainfo
                                                                      : "";
      const std::string dir = ep_.trust_store.empty() && v != nullptr && v->capath != nullptr ? v->capath : "";
      if (!file.empty() || !dir.empty()) store = trust_stores().get(file, dir);
      if (store != nullptr && curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, use_trust_store) == CURLE_OK) {
        curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, store);
        curl_easy_setopt(c, CURLOPT_CAINFO, nullptr);
        curl_easy_setopt(c, CURLOPT_CAPATH, nullptr);
      }
    }
    if (!ep_.cert_file.empty()) curl_easy_setopt(c, CURLOPT_SSLCERT, ep_.cert_file.c_str());
    if (!ep_.key_file.empty()) curl_easy_setopt(c, CURLOPT_SSLKEY, ep_.key_file.c_str());
  }
  const CURLcode rc = curl_easy_perform(c);
  /* Nothing of the request may outlive it in the reused handle. */
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);
  if (store != nullptr) {
    curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, nullptr);
    curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, nullptr);
    X509_STORE_free(store);
  }
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
