#include "tavik_discovery.h"

#include <strings.h>

#include <cstdint>
#include <cstring>

#include "ipmi.h"
#include "qelvo_config.h"
#include "tavik_log.h"

namespace {

constexpr unsigned char kNetfnAccount = 0x3a;
constexpr unsigned char kCmdUserId = 0x64;

const char *OrNull(const char *s) { return s != nullptr ? s : "(null)"; }

bool Usable(SLPError err) { return err == SLP_OK || err == SLP_LAST_CALL; }

// Finds tag in list as an attribute name of its own: after "(", "," or the start, and followed by
// "=", ")", "," or the end. Tags compare without regard to case. Returns the position just after
// the tag, or null.
const char *FindTag(const char *list, const char *tag) {
  const size_t len = std::strlen(tag);
  for (const char *p = list; *p != '\0'; ++p) {
    if (strncasecmp(p, tag, len) != 0) continue;
    const char before = p == list ? '(' : p[-1];
    const char after = p[len];
    if ((before == '(' || before == ',') && (after == '=' || after == ')' || after == ',' || after == '\0')) {
      return p + len;
    }
  }
  return nullptr;
}

// Copies the value [begin, end) into field (TAVIK_PORT_FIELD_SIZE bytes) when it is not empty and
// fits with its terminator; a value that does not fit is refused and the field left as it was.
void TakePort(const char *begin, const char *end, char *field, const char *tag) {
  const size_t len = static_cast<size_t>(end - begin);
  if (len == 0) return;
  if (len >= TAVIK_PORT_FIELD_SIZE) {
    tavik_log("util_attr_callback  %s value of %zu characters refused", tag, len);
    return;
  }
  std::memcpy(field, begin, len);
  field[len] = '\0';
}

// First generation: "(tag=value)".
void FirstGeneration(const char *list, const char *tag, char *field) {
  const char *p = FindTag(list, tag);
  if (p == nullptr || *p != '=') return;
  const char *close = std::strchr(p, ')');
  if (close == nullptr) return;
  TakePort(p + 1, close, field, tag);
}

// Second generation: the text between the first and the second colon after the tag, both inside
// the attribute.
void SecondGeneration(const char *list, const char *tag, char *field) {
  const char *p = FindTag(list, tag);
  if (p == nullptr) return;
  const char *close = std::strchr(p, ')');
  const char *end = close != nullptr ? close : p + std::strlen(p);
  const char *first = std::strchr(p, ':');
  if (first == nullptr || first >= end) return;
  const char *second = std::strchr(first + 1, ':');
  if (second == nullptr || second >= end) return;
  TakePort(first + 1, second, field, tag);
}

SLPBoolean AttrCallback(const char *attrlist, SLPError errcode, void *cookie, bool second_generation) {
  tavik_log("util_attr_callback attrlist %s", OrNull(attrlist));
  auto *ports = static_cast<port_schema *>(cookie);
  if (attrlist == nullptr || ports == nullptr) return SLP_TRUE;
  if (Usable(errcode)) {
    if (second_generation) {
      SecondGeneration(attrlist, "cimxml-https", ports->https_port);
      SecondGeneration(attrlist, "cimxml-http", ports->http_port);
    } else {
      FirstGeneration(attrlist, "cimxml-port-https", ports->https_port);
      FirstGeneration(attrlist, "cimxml-port-http", ports->http_port);
    }
  }
  tavik_log("util_attr_callback  out is %s  ,%s", ports->https_port, ports->http_port);
  return SLP_TRUE;
}

// Copies src into dst (size bytes) with its terminator; false (dst untouched) when it does not fit.
bool CopyWhole(char *dst, int size, const char *src) {
  const size_t len = std::strlen(src);
  if (dst == nullptr || size <= 0 || len >= static_cast<size_t>(size)) return false;
  std::memcpy(dst, src, len + 1);
  return true;
}

// Steps shared by both discoveries: open a handle bound to bind_addr and find a service URL,
// first-generation type first. On success *handle is open and url holds the URL.
bool FindController(const char *bind_addr, SLPHandle *handle, char (&url)[TAVIK_URL_BUFFER_SIZE], bool *second_generation) {
  *second_generation = false;
  if (SLPOpen("", SLP_FALSE, handle) != SLP_OK) return false;
  if (bind_addr == nullptr || SLPAssociateIFList(*handle, bind_addr) != SLP_OK) {
    SLPClose(*handle);
    return false;
  }
  SLPError rc = SLPFindSrvs(*handle, TAVIK_SLP_SERVICE_TYPE, "", "", util_slp_srv_callback, url);
  if (rc != SLP_OK || url[0] == '\0') {
    std::memset(url, 0, TAVIK_URL_BUFFER_SIZE);
    rc = SLPFindSrvs(*handle, TAVIK2_SLP_SERVICE_TYPE, "", "", util_slp_srv_callback, url);
    if (rc != SLP_OK || url[0] == '\0') {
      SLPClose(*handle);
      return false;
    }
    *second_generation = true;
  }
  return true;
}

}  // namespace

void util_pw_gen(const unsigned char *id, int id_size, char *password, int version) {
  (void)version;
  static const char kAlphabet[] = QELVO_PASSWORD_ALPHABET;
  static_assert(sizeof kAlphabet == 63, "the password alphabet has 62 characters");
  if (id == nullptr || password == nullptr) return;
  // Bytes past a shorter ID read as zero; the ID is never read past its size.
  unsigned char bytes[TAVIK_USER_ID_SIZE] = {0};
  const int n = id_size < TAVIK_USER_ID_SIZE ? (id_size > 0 ? id_size : 0) : TAVIK_USER_ID_SIZE;
  std::memcpy(bytes, id, static_cast<size_t>(n));

  uint32_t w[4];
  for (int i = 0; i < 4; ++i) w[i] = static_cast<uint32_t>(bytes[2 * i]) << 8 | bytes[2 * i + 1];
  const uint32_t cross1 = w[0] * w[2];
  const uint32_t cross2 = w[1] * w[3];
  const unsigned char hash[8] = {
      static_cast<unsigned char>(cross1 >> 24), static_cast<unsigned char>(cross1 >> 16),
      static_cast<unsigned char>(cross1 >> 8),  static_cast<unsigned char>(cross1),
      static_cast<unsigned char>(cross2 >> 24), static_cast<unsigned char>(cross2 >> 16),
      static_cast<unsigned char>(cross2 >> 8),  static_cast<unsigned char>(cross2),
  };
  for (int k = 0; k < TAVIK_PASSWORD_SIZE; ++k) password[k] = kAlphabet[hash[k] % 62];
}

int util_get_tavik_credential(char *user, char *password, const char *ipmi_device) {
  if (user == nullptr || password == nullptr) return -1;
  const int fd = connect_ipmi(ipmi_device);
  if (fd < 0) return -1;
  unsigned char reply[IPMI_REPLY_MAX];
  std::memset(reply, 0, sizeof reply);
  unsigned short reply_len = sizeof reply;
  // The reply length is not checked: bytes the controller did not send read as zero.
  if (send_kcs_IPMI_command(fd, kCmdUserId, nullptr, 0, reply, &reply_len, kNetfnAccount) == 0 && reply[0] == 0x00) {
    std::memcpy(user, reply + 1, TAVIK_USER_ID_SIZE);
    util_pw_gen(reply + 1, TAVIK_USER_ID_SIZE, password, 0);
    disconnect_ipmi(fd);
    return 0;
  }
  tavik_log(" util_get_tavik_credential  send IPMI cmd failed");
  disconnect_ipmi(fd);
  return -1;
}

SLPBoolean util_slp_srv_callback(SLPHandle hslp, const char *srvurl, unsigned short lifetime, SLPError errcode,
                                 void *cookie) {
  (void)hslp;
  (void)lifetime;
  tavik_log("util_slp_srv_callback  %s", OrNull(srvurl));
  char *url = static_cast<char *>(cookie);
  if (srvurl == nullptr || url == nullptr || !Usable(errcode) || std::strstr(srvurl, TAVIK_ADDRESS_MARKER) == nullptr) {
    return SLP_TRUE;
  }
  // A URL that does not fit the buffer with its terminator is refused: cut, it would name
  // another address.
  if (!CopyWhole(url, TAVIK_URL_BUFFER_SIZE, srvurl)) {
    tavik_log("util_slp_srv_callback  URL of %zu characters refused", std::strlen(srvurl));
  }
  return SLP_TRUE;
}

SLPBoolean util_attr_callback(SLPHandle hslp, const char *attrlist, SLPError errcode, void *cookie) {
  (void)hslp;
  return AttrCallback(attrlist, errcode, cookie, false);
}

SLPBoolean util_attr_callback_2(SLPHandle hslp, const char *attrlist, SLPError errcode, void *cookie) {
  (void)hslp;
  return AttrCallback(attrlist, errcode, cookie, true);
}

int util_init_slp_discovery(const char *bind_addr, char *tavik_addr, int addr_size, char *http_port, int port_size,
                            char *https_port) {
  char url[TAVIK_URL_BUFFER_SIZE];
  std::memset(url, 0, sizeof url);
  port_schema ports;
  std::memset(&ports, 0, sizeof ports);
  if (tavik_addr == nullptr || addr_size <= 0) return -1;
  tavik_addr[0] = '\0';

  SLPHandle handle = nullptr;
  bool second_generation = false;
  const char *iface = bind_addr != nullptr && bind_addr[0] != '\0' ? bind_addr : TAVIK_DEFAULT_SLP_INTERFACE;
  if (!FindController(iface, &handle, url, &second_generation)) return -1;

  const char *address = std::strstr(url, TAVIK_ADDRESS_MARKER);
  if (address == nullptr || !CopyWhole(tavik_addr, addr_size, address)) {
    SLPClose(handle);
    return -1;
  }

  const SLPError rc = SLPFindAttrs(handle, url, "", "", second_generation ? util_attr_callback_2 : util_attr_callback,
                                   &ports);
  int result = -1;
  if (rc == SLP_OK && (ports.http_port[0] != '\0' || ports.https_port[0] != '\0')) {
    // A port that does not fit the caller's field fails the discovery rather than being cut.
    const bool http_ok = http_port == nullptr || CopyWhole(http_port, port_size, ports.http_port);
    const bool https_ok = https_port == nullptr || CopyWhole(https_port, port_size, ports.https_port);
    if (http_ok && https_ok) result = 0;
  }
  SLPClose(handle);
  return result;
}

int util_tavik_addr_slp_discovery(const char *bind_addr, char *tavik_addr, int addr_size) {
  char url[TAVIK_URL_BUFFER_SIZE];
  std::memset(url, 0, sizeof url);
  if (tavik_addr == nullptr || addr_size <= 0) return -1;

  SLPHandle handle = nullptr;
  bool second_generation = false;
  if (!FindController(bind_addr, &handle, url, &second_generation)) return -1;
  const char *address = std::strstr(url, TAVIK_ADDRESS_MARKER);
  if (address == nullptr || !CopyWhole(tavik_addr, addr_size, address)) {
    SLPClose(handle);
    return -1;
  }
  tavik_log("slp tavik ip is  %s", tavik_addr);
  SLPClose(handle);
  return 0;
}
