// The controller CIMOM connection: the slot records, the probe and the connection order (see the
// header).
#include "tavik_cimom_connect.h"

#include <cstring>
#include <ctime>
#include <mutex>

#include "qelvo_config.h"
#include "tavik_discovery.h"
#include "tavik_log.h"

const char *const int_bind[TAVIK_SLOT_COUNT] = {"169.254.95.101", "169.254.96.101", "169.254.97.101",
                                                "169.254.98.101"};
const char *const int_TAVIK[TAVIK_SLOT_COUNT] = {"169.254.95.118", "169.254.96.118", "169.254.97.118",
                                                 "169.254.98.118"};

namespace {

// What the log shows in place of a password.
constexpr char kHidden[] = "********";
// The default account, used when the controller does not hand out its own.
constexpr char kDefaultUser[] = "USERID";

constexpr char kHttps[] = "https";
constexpr char kHttp[] = "http";
constexpr char kHttpsPort[] = "5989";
constexpr char kHttpPort[] = "5988";

struct Slot {
  std::mutex mu;  // guards rec; held through a full connection
  tavik_conn_info rec;
};

// The process-wide records, zero at load.
Slot tavik_conn_data[TAVIK_SLOT_COUNT];

// Copies src with its terminator into the field dst of N bytes, zero-filling the rest; a text
// that does not fit leaves the field empty and returns false.
template <size_t N>
bool CopyField(char (&dst)[N], const char *src) {
  std::memset(dst, 0, N);
  if (src == nullptr) return false;
  const size_t len = std::strlen(src);
  if (len >= N) return false;
  std::memcpy(dst, src, len);
  return true;
}

int SlotOf(const char *bind_addr) {
  if (bind_addr == nullptr) return -1;
  for (int i = 0; i < TAVIK_SLOT_COUNT; ++i)
    if (std::strcmp(bind_addr, int_bind[i]) == 0) return i;
  return -1;
}

const char *Text(const char *s) { return s != nullptr ? s : "(null)"; }

// The credentials for the record: the controller's own, else the default account.
void FetchCredentials(tavik_conn_info &rec, const char *ipmi_device) {
  if (util_get_tavik_credential(rec.tavik_userid, rec.tavik_password, ipmi_device) == 0) return;
  tavik_log("tavik_cimom_connect : util_get_tavik_credential  failed ");
  CopyField(rec.tavik_userid, kDefaultUser);
  CopyField(rec.tavik_password, QELVO_TAVIK_DEFAULT_PASSWORD);
}

// Scheme and port, first success wins: https 5989, http 5988, then what SLP discovery on the
// slot's link finds (https probed, http taken as it is).
void ChooseSchemeAndPort(tavik_conn_info &rec, int slot) {
  if (check_schema(rec.tavik_addr, rec.tavik_userid, rec.tavik_password, kHttpsPort, kHttps) == 0) {
    CopyField(rec.tavik_port, kHttpsPort);
    CopyField(rec.schema, kHttps);
    return;
  }
  if (check_schema(rec.tavik_addr, rec.tavik_userid, rec.tavik_password, kHttpPort, kHttp) == 0) {
    CopyField(rec.tavik_port, kHttpPort);
    CopyField(rec.schema, kHttp);
    return;
  }
  char http_port[TAVIK_PORT_FIELD_SIZE] = {};
  char https_port[TAVIK_PORT_FIELD_SIZE] = {};
  // The discovery refuses an address or port that does not fit its field.
  if (util_init_slp_discovery(int_bind[slot], rec.tavik_addr, sizeof rec.tavik_addr, http_port, sizeof http_port,
                              https_port) != 0) {
    CopyField(rec.tavik_addr, int_TAVIK[slot]);
    CopyField(rec.tavik_port, kHttpPort);
    CopyField(rec.schema, kHttp);
    return;
  }
  if (https_port[0] != '\0' &&
      check_schema(rec.tavik_addr, rec.tavik_userid, rec.tavik_password, https_port, kHttps) == 0) {
    CopyField(rec.tavik_port, https_port);
    CopyField(rec.schema, kHttps);
    return;
  }
  CopyField(rec.tavik_port, http_port);
  CopyField(rec.schema, kHttp);
}

}  // namespace

int check_schema(const char *tavik_addr, const char *user, const char *password, const char *port,
                 const char *scheme) {
  tavik_log("check_schema:enter ");
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  CMPIObjectPath *op = nullptr;
  CMPIEnumeration *en = nullptr;
  int result = 1;
  CMCIClient *cc = cmciConnect(tavik_addr, scheme, port, user, password, &st);
  if (cc != nullptr) {
    op = newCMPIObjectPath("root/cimv2", "CIM_SoftwareIdentity", nullptr);
    if (op != nullptr) en = cc->ft->enumInstances(cc, op, 0, nullptr, &st);
    if (op != nullptr && st.rc == CMPI_RC_OK) {
      tavik_log("check_schema : it is ok %s:%s:%s:%s:%s ", Text(tavik_addr), Text(user), kHidden, Text(port),
                Text(scheme));
      result = 0;
    }
  }
  tavik_log("check_schema : out   000000");
  if (en != nullptr) en->ft->release(en);
  if (op != nullptr) op->ft->release(op);
  if (st.msg != nullptr) st.msg->ft->release(st.msg);
  if (cc != nullptr) cc->ft->release(cc);
  return result;
}

CMCIClient *util_cmciConnect_int(const char *bind_addr, const char *ipmi_device, CMPIStatus *rc, const char *scheme,
                                 const char *port) {
  (void)scheme;
  (void)port;
  const int slot = SlotOf(bind_addr);
  if (slot < 0) return nullptr;
  Slot &s = tavik_conn_data[slot];
  std::lock_guard<std::mutex> lock(s.mu);
  tavik_conn_info &rec = s.rec;

  // A record from a full connection within the window serves as it is. A clock that went back
  // past the record's time ends the window.
  const time_t now = time(nullptr);
  if (rec.is_inited == 1 && now >= rec.time_stamp && now - rec.time_stamp <= TAVIK_CONN_CACHE_SECONDS) {
    CMCIClient *cc = cmciConnect(rec.tavik_addr, rec.schema, rec.tavik_port, rec.tavik_userid, rec.tavik_password, rc);
    if (cc != nullptr) return cc;
  }

  // The full connection; the scheme stays until a choice replaces it.
  std::memset(rec.tavik_addr, 0, sizeof rec.tavik_addr);
  std::memset(rec.tavik_port, 0, sizeof rec.tavik_port);
  std::memset(rec.tavik_password, 0, sizeof rec.tavik_password);
  std::memset(rec.tavik_userid, 0, sizeof rec.tavik_userid);
  FetchCredentials(rec, ipmi_device);
  CopyField(rec.tavik_addr, int_TAVIK[slot]);
  ChooseSchemeAndPort(rec, slot);

  tavik_log("tavik_cimom_connect : client  %s, %s,%s,%s,%s", rec.tavik_addr, rec.schema, rec.tavik_port,
            rec.tavik_userid, kHidden);
  CMCIClient *cc = cmciConnect(rec.tavik_addr, rec.schema, rec.tavik_port, rec.tavik_userid, rec.tavik_password, rc);
  if (cc != nullptr) {
    rec.is_inited = 1;
    rec.time_stamp = static_cast<int>(time(nullptr));
  } else {
    rec.is_inited = 0;
  }
  return cc;
}

CMCIClient *util_cmciConnect(const char *bind_addr, const char *ipmi_device, CMPIStatus *rc) {
  return util_cmciConnect_int(bind_addr, ipmi_device, rc, nullptr, nullptr);
}

int util_get_conn_info(int slot, tavik_conn_info *out) {
  if (slot < 0 || slot >= TAVIK_SLOT_COUNT || out == nullptr) return -1;
  std::lock_guard<std::mutex> lock(tavik_conn_data[slot].mu);
  *out = tavik_conn_data[slot].rec;
  return 0;
}
