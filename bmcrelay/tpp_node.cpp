// The pass-through provider's node table, namespace translation and request helpers (see tpp.h).
#include <cmpimacs.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "multinode.h"
#include "tavik_log.h"
#include "tpp.h"

const CMPIBroker *_broker;

namespace {

// Host-side link address of each node slot (the controller behind it is at .118).
const char *const kInterfaceAddress[TPP_SLOT_COUNT] = {"169.254.95.101", "169.254.96.101", "169.254.97.101",
                                                        "169.254.98.101"};
constexpr char kSingleNodeDevice[] = "/dev/ipmi0";

constexpr char kHostCimv2[] = "/cimv2";
constexpr char kHostInterop[] = "/interop";
constexpr char kControllerCimv2[] = "root/cimv2";
constexpr char kControllerInterop[] = "root/interop";

const char *const kFilteredClasses[] = {"CIM_AccountSettingData", "CIM_ComputerSystem", "CIM_BIOSAttribute"};

// The node table: written once under g_table_mu, then published through g_table_ready and only
// read from there on.
char lan_usb_ip[TPP_SLOT_COUNT][TPP_FIELD_SIZE];
char ipmi_dev[TPP_SLOT_COUNT][TPP_FIELD_SIZE];
std::mutex g_table_mu;
std::atomic<bool> g_table_ready{false};

// Copies src with its terminator into dst (size bytes). False, with dst empty, when it does not
// fit.
bool PutText(char *dst, size_t size, const char *src) {
  if (dst == nullptr || size == 0) return false;
  const size_t len = src != nullptr ? std::strlen(src) : 0;
  if (src == nullptr || len >= size) {
    std::memset(dst, 0, size);
    return false;
  }
  std::memcpy(dst, src, len + 1);
  return true;
}

}  // namespace

void util_fill_node_table(const multinode_info *info, char lan[][TPP_FIELD_SIZE], char dev[][TPP_FIELD_SIZE]) {
  if (info == nullptr || info->parsed_complex.node_list == nullptr) return;
  const complex_data &complex = info->parsed_complex;
  // Nodes a host device reaches first, so that a node of another partition that carries the same
  // logical id cannot take their slot; it only fills a slot nobody holds.
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < complex.complex_node_count; ++i) {
      const node_entry &node = complex.node_list[i];
      const size_t dev_len = strnlen(node.dev_path, sizeof node.dev_path);
      const bool reachable = dev_len > 0 && dev_len < sizeof node.dev_path;
      if (reachable != (pass == 0)) continue;
      const int slot = node.logical_id == TPP_LOGICAL_ID_PRIMARY ? 0 : node.logical_id;
      if (slot >= TPP_SLOT_COUNT) continue;
      if (!reachable && lan[slot][0] != '\0') continue;
      PutText(lan[slot], TPP_FIELD_SIZE, kInterfaceAddress[slot]);
      // A device path that does not fit is left out rather than cut to another device's name;
      // the connection then takes the default account.
      PutText(dev[slot], TPP_FIELD_SIZE, reachable ? node.dev_path : "");
    }
  }
}

void TPPMultinodeInit(void) {
  if (g_table_ready.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> lock(g_table_mu);
  if (g_table_ready.load(std::memory_order_relaxed)) return;
  multinode_info info;
  std::memset(&info, 0, sizeof info);
  std::memset(lan_usb_ip, 0, sizeof lan_usb_ip);
  std::memset(ipmi_dev, 0, sizeof ipmi_dev);
  const int rc = setup_multinode(&info);
  if (rc == 0) {
    util_fill_node_table(&info, lan_usb_ip, ipmi_dev);
  } else if (info.multinode_supported != 1) {
    // No partition descriptor: a single-node system.
    PutText(ipmi_dev[0], TPP_FIELD_SIZE, kSingleNodeDevice);
    PutText(lan_usb_ip[0], TPP_FIELD_SIZE, kInterfaceAddress[0]);
  }
  // A descriptor that parsed only in part leaves its node list behind too.
  clean_parsed_complex(&info);
  // After a failure past the descriptor the table stays empty and the next factory tries again.
  if (rc == 0 || info.multinode_supported != 1) g_table_ready.store(true, std::memory_order_release);
}

int util_get_id_from_ns(const char *ns) {
  if (ns == nullptr) return -1;
  const char *at = std::strstr(ns, TPP_NS_PREFIX);
  if (at == nullptr) return -1;
  // The character after the prefix less '0', digit or not: a letter gives an id that names no
  // node (get_intf_from_id refuses it, the request cannot connect), a character below '0' or the
  // end of the text a negative id (an invalid namespace).
  return at[sizeof TPP_NS_PREFIX - 1] - '0';
}

int get_intf_from_id(char *bind_addr, int bind_size, char *dev_path, int dev_size, int id) {
  if (id < 0 || id >= TPP_SLOT_COUNT) return -1;
  if (!g_table_ready.load(std::memory_order_acquire) || lan_usb_ip[id][0] == '\0') return -1;
  if (bind_addr != nullptr && (bind_size <= 0 || !PutText(bind_addr, static_cast<size_t>(bind_size), lan_usb_ip[id])))
    return -1;
  if (dev_path != nullptr && (dev_size <= 0 || !PutText(dev_path, static_cast<size_t>(dev_size), ipmi_dev[id])))
    return -1;
  return 0;
}

int util_intf_from_ns(char *bind_addr, int bind_size, char *dev_path, int dev_size, const char *ns) {
  return get_intf_from_id(bind_addr, bind_size, dev_path, dev_size, util_get_id_from_ns(ns));
}

int util_change_namespce(const char *ns, char *dst, int size, int direction, int id) {
  if (ns == nullptr || dst == nullptr || size <= 0) return -1;
  const size_t cap = static_cast<size_t>(size);
  if (direction == TPP_TO_CONTROLLER) {
    if (std::strstr(ns, TPP_NS_PREFIX) == nullptr) return 0;
    const char *to = ns;
    if (std::strstr(ns, kHostCimv2) != nullptr) to = kControllerCimv2;
    else if (std::strstr(ns, kHostInterop) != nullptr) to = kControllerInterop;
    return PutText(dst, cap, to) ? 0 : -1;
  }
  const char *suffix = nullptr;
  if (std::strcmp(ns, kControllerCimv2) == 0) suffix = kHostCimv2;
  else if (std::strcmp(ns, kControllerInterop) == 0) suffix = kHostInterop;
  if (suffix == nullptr) return PutText(dst, cap, ns) ? 0 : -1;
  const int n = std::snprintf(dst, cap, "%s%d%s", TPP_NS_PREFIX, id, suffix);
  if (n < 0 || static_cast<size_t>(n) >= cap) {
    std::memset(dst, 0, cap);
    return -1;
  }
  return 0;
}

void util_release_client(CMCIClient *cc) {
  if (cc != nullptr) cc->ft->release(cc);
}

void util_release_arg(CMPIArgs *args) {
  if (args != nullptr) CMRelease(args);
}

void util_enum_end(CMPIEnumeration *en, CMCIClient *cc) {
  if (en != nullptr) CMRelease(en);
  util_release_client(cc);
}

void util_instance_end(CMPIInstance *inst, CMCIClient *cc) {
  if (inst != nullptr) CMRelease(inst);
  util_release_client(cc);
}

void util_objpath_end(CMPIObjectPath *op, CMCIClient *cc) {
  if (op != nullptr) CMRelease(op);
  util_release_client(cc);
}

int class_filter(const char *class_name) {
  if (class_name == nullptr) return 0;
  for (const char *filtered : kFilteredClasses) {
    if (std::strcmp(class_name, filtered) == 0) {
      tavik_log("TPP:QelvoTPPEnumInstanceNames filte class %s", class_name);
      return 1;
    }
  }
  return 0;
}

CMPIUint32 getFlag(const CMPIContext *ctx) {
  if (ctx == nullptr) return 0;
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPIData d = CMGetContextEntry(ctx, CMPIInvocationFlags, &rc);
  if (rc.rc != CMPI_RC_OK || (d.state & CMPI_nullValue) != 0 || d.type != CMPI_uint32) return 0;
  return d.value.uint32;
}
