// The CIM-XML client of schemapull: GetClass requests to the controller's CIMOM over libcurl,
// answered with the raw class XML, and the controller's namespace list through the CIM client
// library.
//
// The controller's address, scheme, port and account are found once per run (the first
// init_connection), so that each class costs one HTTP exchange.
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "qelvo_config.h"
#include "schemapull.h"
#include "tavik_cimom_connect.h"
#include "tavik_discovery.h"
#include "tavik_log.h"

char tavik_userid[9];
char tavik_password[9];
char tavik_addr[20];
char tavik_port[20];
char tavik_schema[20];

namespace {

constexpr char kDefaultUser[] = "USERID";

// Copies src into the field dst (zero-filled first); a text that does not fit leaves it empty.
template <size_t N>
bool CopyField(char (&dst)[N], const char *src) {
  std::memset(dst, 0, N);
  const size_t len = std::strlen(src);
  if (len >= N) return false;
  std::memcpy(dst, src, len);
  return true;
}

bool Probe(const char *port, const char *scheme) {
  return check_schema(tavik_addr, tavik_userid, tavik_password, port, scheme) == 0;
}

// Scheme and port, first success wins: https 5989, http 5988, then what SLP discovery finds.
void FindSchemeAndPort(const char *bind_addr) {
  if (Probe("5989", "https")) {
    CopyField(tavik_port, "5989");
    CopyField(tavik_schema, "https");
    return;
  }
  if (Probe("5988", "http")) {
    CopyField(tavik_port, "5988");
    CopyField(tavik_schema, "http");
    return;
  }
  char http_port[TAVIK_PORT_FIELD_SIZE] = {};
  char https_port[TAVIK_PORT_FIELD_SIZE] = {};
  if (util_init_slp_discovery(bind_addr, tavik_addr, sizeof tavik_addr, http_port, sizeof http_port, https_port) !=
      0) {
    CopyField(tavik_addr, SP_CONTROLLER_ADDR);
    CopyField(tavik_port, "5988");
    CopyField(tavik_schema, "http");
    return;
  }
  CopyField(tavik_port, "");
  CopyField(tavik_schema, "");
  if (https_port[0] != '\0' && Probe(https_port, "https")) {
    CopyField(tavik_port, https_port);
    CopyField(tavik_schema, "https");
  } else if (http_port[0] != '\0' && Probe(http_port, "http")) {
    CopyField(tavik_port, http_port);
    CopyField(tavik_schema, "http");
  }
}

int StringDataInit(string_data *s, size_t size) {
  s->data = static_cast<char *>(std::calloc(size, 1));
  if (s->data == nullptr) return -1;
  s->len = size;
  s->free = size;
  return 0;
}

void StringDataFree(string_data *s) {
  std::free(s->data);
  s->data = nullptr;
  s->len = s->free = 0;
}

// The "/"-separated namespace with every "/" written as "%2F".
std::string EncodeNamespace(const char *ns) {
  std::string out;
  for (const char *p = ns; *p != '\0'; ++p) {
    if (*p == '/') out += "%2F";
    else out += *p;
  }
  return out;
}

size_t WriteHeader(char *ptr, size_t size, size_t nmemb, void *userdata) {
  auto *con = static_cast<cclient_connection *>(userdata);
  const size_t n = size * nmemb;
  if (con->status.data == nullptr) return n;  // header lines are kept only when asked for
  return string_data_append(&con->status, ptr, n) == 0 ? n : 0;
}

}  // namespace

int string_data_append(string_data *s, const char *chunk, size_t len) {
  if (s->data == nullptr || s->free > s->len) return -1;
  const size_t used = s->len - s->free;
  if (len > SP_RESPONSE_MAX || used + len + 1 > SP_RESPONSE_MAX) return -1;
  if (s->free < len + 1) {
    // At least doubled, up to the limit: grown by a fixed step, the buffer would be moved once
    // per step, a cost quadratic in the answer.
    size_t add = s->len > SP_RESPONSE_CHUNK ? s->len : SP_RESPONSE_CHUNK;
    while (s->free + add < len + 1) add *= 2;
    if (s->len + add > SP_RESPONSE_MAX) add = SP_RESPONSE_MAX - s->len;
    char *grown = static_cast<char *>(std::realloc(s->data, s->len + add));
    if (grown == nullptr) return -1;
    std::memset(grown + s->len, 0, add);
    s->data = grown;
    s->len += add;
    s->free += add;
  }
  std::memcpy(s->data + used, chunk, len);
  s->data[used + len] = '\0';
  s->free -= len;
  return 0;
}

size_t write_response(char *ptr, size_t size, size_t nmemb, void *userdata) {
  auto *con = static_cast<cclient_connection *>(userdata);
  const size_t n = size * nmemb;
  return string_data_append(&con->response, ptr, n) == 0 ? n : 0;
}

int check_progress(void *clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow) {
  (void)dltotal;
  (void)ultotal;
  auto *t = static_cast<timeout_control *>(clientp);
  const time_t now = time(nullptr);
  // Bytes moved since the last call are progress: the progress-free stretch starts again. Before
  // the first byte nothing has moved, so a peer that never answers runs into the limit.
  if (t->time_start != 0 && (dlnow != t->seen_down || ulnow != t->seen_up)) t->time_start = now;
  t->seen_down = dlnow;
  t->seen_up = ulnow;
  if (t->fixups > SP_MAX_FIXUPS) return 1;
  if (t->time_start == 0 || now < t->time_last || now - t->time_last > SP_CLOCK_JUMP_SECONDS) {
    // First call, or the clock jumped: measure from now. The first measure counts among the
    // SP_MAX_FIXUPS + 1 a transfer may start, so that SP_MAX_FIXUPS clock jumps are borne.
    ++t->fixups;
    t->time_start = now;
  } else if (now - t->time_start >= SP_STALL_SECONDS) {
    tavik_log("get_class: no progress for %d seconds, transfer aborted", SP_STALL_SECONDS);
    return 1;
  }
  t->time_last = now;
  return 0;
}

int init_connection(const char *bind_addr, const char *ipmi_device, cclient_connection *con) {
  if (tavik_addr[0] == '\0') {
    std::memset(tavik_userid, 0, sizeof tavik_userid);
    std::memset(tavik_password, 0, sizeof tavik_password);
    if (util_get_tavik_credential(tavik_userid, tavik_password, ipmi_device) != 0) {
      CopyField(tavik_userid, kDefaultUser);
      CopyField(tavik_password, QELVO_TAVIK_DEFAULT_PASSWORD);
    }
    CopyField(tavik_addr, SP_CONTROLLER_ADDR);
    FindSchemeAndPort(bind_addr);
    tavik_log("get_name_space: init_connection   %s %s", tavik_port, tavik_schema);
  }
  if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) return -1;
  con->handle = curl_easy_init();
  if (con->handle == nullptr) return -1;
  CopyField(con->schema, tavik_schema);
  if (StringDataInit(&con->response, SP_RESPONSE_CHUNK) != 0) return -1;
  return 0;
}

int gen_request(cclient_connection *con, const char *operation, const char *name_space) {
  if (con->handle == nullptr) return -1;
  const std::string url = std::string(con->schema) + "://" + tavik_addr + ":" + tavik_port + "/cimom";
  CURL *h = con->handle;
  bool ok = curl_easy_setopt(h, CURLOPT_URL, url.c_str()) == CURLE_OK;
  if (std::strcmp(con->schema, "https") == 0) ok = ok && curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_POST, 1L) == CURLE_OK;
  std::memset(&con->timeout, 0, sizeof con->timeout);
  ok = ok && curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, check_progress) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_XFERINFODATA, &con->timeout) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_HTTPAUTH, CURLAUTH_BASIC) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_USERNAME, tavik_userid) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_PASSWORD, tavik_password) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(SP_STALL_SECONDS)) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, write_response) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_WRITEDATA, con) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, WriteHeader) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_HEADERDATA, con) == CURLE_OK;
  if (!ok) return -1;
  if (con->status.data == nullptr && StringDataInit(&con->status, SP_HEADER_BUFFER) != 0) return -1;

  if (con->headers != nullptr) {
    curl_slist_free_all(con->headers);
    con->headers = nullptr;
  }
  const std::string method = std::string("CIMMethod: ") + operation;
  const std::string object = "CIMObject: " + EncodeNamespace(name_space);
  const char *const lines[] = {"Content-type: application/xml; charset=\"utf-8\"",
                               "Accept:",
                               "Expect:",
                               "CIMProtocolVersion: 1.0",
                               "CIMOperation: MethodCall",
                               method.c_str(),
                               object.c_str()};
  for (const char *line : lines) {
    curl_slist *next = curl_slist_append(con->headers, line);
    if (next == nullptr) return -1;
    con->headers = next;
  }
  return curl_easy_setopt(h, CURLOPT_HTTPHEADER, con->headers) == CURLE_OK ? 0 : -1;
}

void add_payload(cclient_connection *con, const char *body, size_t len) {
  curl_easy_setopt(con->handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(len));
  curl_easy_setopt(con->handle, CURLOPT_POSTFIELDS, body);
}

CURLcode get_response(cclient_connection *con) {
  const CURLcode rc = curl_easy_perform(con->handle);
  return rc == CURLE_ABORTED_BY_CALLBACK ? CURLE_OPERATION_TIMEDOUT : rc;
}

void free_con(cclient_connection *con) {
  if (con->handle != nullptr) curl_easy_cleanup(con->handle);
  con->handle = nullptr;
  if (con->headers != nullptr) curl_slist_free_all(con->headers);
  con->headers = nullptr;
  StringDataFree(&con->response);
  StringDataFree(&con->status);
}

int sp_valid_class_name(const char *name, size_t max) {
  if (name == nullptr || name[0] == '\0') return 0;
  size_t n = 0;
  for (const char *p = name; *p != '\0'; ++p, ++n) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (n >= max) return 0;
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return 0;
  }
  return 1;
}

int sp_valid_namespace(const char *name) {
  if (name == nullptr || name[0] == '\0' || name[0] == '/') return 0;
  size_t n = 0;
  char prev = '/';
  for (const char *p = name; *p != '\0'; ++p, ++n) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (n >= SP_NAME_MAX) return 0;
    if (c == '/') {
      if (prev == '/') return 0;  // leading "/" or "//"
    } else if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) {
      return 0;  // "." among them: no ".." can get in
    }
    prev = static_cast<char>(c);
  }
  return prev != '/';
}

char *build_getclass_body(const char *name_space, const char *class_name) {
  if (!sp_valid_namespace(name_space) || !sp_valid_class_name(class_name, SP_NAME_MAX)) return nullptr;
  std::string body =
      "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\">\n"
      "<MESSAGE ID=\"87872\" PROTOCOLVERSION=\"1.0\">\n<SIMPLEREQ>\n"
      "<IMETHODCALL NAME=\"GetClass\"><LOCALNAMESPACEPATH>\n";
  const char *seg = name_space;
  for (;;) {
    const char *slash = std::strchr(seg, '/');
    const size_t len = slash != nullptr ? static_cast<size_t>(slash - seg) : std::strlen(seg);
    body += "<NAMESPACE NAME=\"";
    body.append(seg, len);
    body += "\"></NAMESPACE>\n";
    if (slash == nullptr) break;
    seg = slash + 1;
  }
  body += "</LOCALNAMESPACEPATH>\n<IPARAMVALUE NAME=\"LocalOnly\"><VALUE>TRUE</VALUE></IPARAMVALUE>\n"
          "<IPARAMVALUE NAME=\"ClassName\"><CLASSNAME NAME=\"";
  body += class_name;
  body += "\"/></IPARAMVALUE>\n</IMETHODCALL>\n</SIMPLEREQ>\n</MESSAGE>\n</CIM>\n";
  return strdup(body.c_str());
}

char *get_class(const char *bind_addr, const char *ipmi_device, const char *name_space, const char *class_name) {
  cclient_connection con;
  std::memset(&con, 0, sizeof con);
  char *body = build_getclass_body(name_space, class_name);
  if (body == nullptr) {
    tavik_log("get_class: refused, namespace or class name not valid");
    return nullptr;
  }
  char *result = nullptr;
  if (init_connection(bind_addr, ipmi_device, &con) == 0 && gen_request(&con, "GetClass", name_space) == 0) {
    add_payload(&con, body, std::strlen(body));
    const CURLcode rc = get_response(&con);
    if (rc == CURLE_OK) {
      result = con.response.data;
      con.response.data = nullptr;
    } else {
      tavik_log("get_class: %s %s failed, curl %d", name_space, class_name, static_cast<int>(rc));
    }
  }
  free_con(&con);
  std::free(body);
  return result;
}

char *get_name_space(const char *bind_addr, const char *ipmi_device, CMPIStatus *status) {
  tavik_log("get_name_space: enter");
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  CMCIClient *cc = util_cmciConnect(bind_addr, ipmi_device, &st);
  CMPIObjectPath *op = nullptr;
  CMPIEnumeration *en = nullptr;
  std::string list;
  bool ok = false;
  if (cc != nullptr) {
    op = newCMPIObjectPath("root/interop", "CIM_Namespace", &st);
    if (op != nullptr) en = cc->ft->enumInstanceNames(cc, op, &st);
    ok = en != nullptr && st.rc == CMPI_RC_OK;
  }
  while (ok && CMHasNext(en, nullptr)) {
    CMPIData d = CMGetNext(en, nullptr);
    CMPIObjectPath *name = d.value.ref;
    if (name == nullptr) continue;
    const CMPICount keys = CMGetKeyCount(name, nullptr);
    for (CMPICount i = keys; i-- > 0;) {
      CMPIString *key_name = nullptr;
      CMPIData k = CMGetKeyAt(name, i, &key_name, nullptr);
      const char *kn = key_name != nullptr ? CMGetCharsPtr(key_name, nullptr) : nullptr;
      if (kn != nullptr && strcasecmp(kn, "Name") == 0 && !(k.state & CMPI_nullValue) && k.type == CMPI_string &&
          k.value.string != nullptr) {
        const char *ns = CMGetCharsPtr(k.value.string, nullptr);
        if (ns != nullptr && sp_valid_namespace(ns)) {
          list += ns;
          list += ';';
          tavik_log("get_name_space: name %s", ns);
        } else {
          tavik_log("get_name_space: namespace refused, not a valid name");
        }
      }
      if (key_name != nullptr) CMRelease(key_name);
    }
  }
  if (en != nullptr) CMRelease(en);
  if (op != nullptr) CMRelease(op);
  if (cc != nullptr) cc->ft->release(cc);
  if (status != nullptr) {
    status->rc = ok ? CMPI_RC_OK : (st.rc != CMPI_RC_OK ? st.rc : CMPI_RC_ERR_FAILED);
    status->msg = nullptr;
  }
  if (st.msg != nullptr) CMRelease(st.msg);
  tavik_log("get_name_space: exit");
  if (!ok) return nullptr;
  return strdup(list.c_str());
}
