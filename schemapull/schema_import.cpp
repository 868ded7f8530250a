// The schemapull driver: decides from the state file and the controller's firmware version
// whether the controller's classes must be imported, fetches every class of every controller
// namespace into /tmp/tpp/stage_tmp/, and populates the host CIMOM's staging area
// /tmp/tpp/stage/ with one MOF tree per node and the registration of every node's namespaces
// (from the fresh fetch, or from the boot-bank archive when only the node count changed).
//
// The parent process decides under the state file's lock and returns at once; a child does the
// work and leaves the state "ready" after a staging, "check" after any failure.
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <map>
#include <vector>

#include "multinode.h"
#include "schemapull.h"
#include "tavik_cimom_connect.h"
#include "tavik_log.h"

namespace {

const char *Chars(const CMPIString *s) {
  const char *c = s != nullptr ? CMGetCharsPtr(s, nullptr) : nullptr;
  return c != nullptr ? c : "";
}

// The text of a string property, or "" when it is null or not a string.
const char *StringProperty(const CMPIInstance *inst, const char *name) {
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPIData d = CMGetProperty(inst, name, &rc);
  if (rc.rc != CMPI_RC_OK || (d.state & CMPI_nullValue) || d.type != CMPI_string) return "";
  return Chars(d.value.string);
}

void Fail(CMPIStatus *status) {
  if (status != nullptr) {
    status->rc = CMPI_RC_ERR_FAILED;
    status->msg = nullptr;
  }
}

void ReleaseStatus(CMPIStatus *st) {
  if (st->msg != nullptr) CMRelease(st->msg);
  st->msg = nullptr;
}

// A version goes into the state file between quotes: printable, no quote, and it must fit.
bool VersionFits(const char *v, int capacity) {
  const size_t len = std::strlen(v);
  if (capacity <= 0 || len >= static_cast<size_t>(capacity) || len >= SP_STATE_VALUE) return false;
  for (const char *p = v; *p != '\0'; ++p)
    if (static_cast<unsigned char>(*p) < 0x20 || *p == '"' || *p == 0x7F) return false;
  return true;
}

void TakeVersion(char *version, int capacity, const char *v) {
  if (!VersionFits(v, capacity)) {
    tavik_log("get_tavik_fw_version: version refused, it does not fit or is not printable");
    return;
  }
  std::memset(version, 0, static_cast<size_t>(capacity));
  std::memcpy(version, v, std::strlen(v));
}

// The second-generation firmware bank that runs: the software the controller's
// CIM_ElementSoftwareIdentity marks as running (status 2). Its InstanceID, or "".
std::string RunningBank(CMCIClient *cc) {
  std::string id;
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  CMPIObjectPath *op = newCMPIObjectPath("root/cimv2", "CIM_ElementSoftwareIdentity", nullptr);
  CMPIEnumeration *en = op != nullptr ? cc->ft->enumInstances(cc, op, 0, nullptr, &st) : nullptr;
  while (en != nullptr && st.rc == CMPI_RC_OK && id.empty() && CMHasNext(en, nullptr)) {
    const CMPIInstance *inst = CMGetNext(en, nullptr).value.inst;
    if (inst == nullptr) continue;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    const CMPIData dep = CMGetProperty(inst, "Dependent", &rc);
    if (rc.rc != CMPI_RC_OK || dep.type != CMPI_ref || (dep.state & CMPI_nullValue) || dep.value.ref == nullptr)
      continue;
    if (strcasecmp(Chars(CMGetClassName(dep.value.ref, nullptr)), "Qelvo_ManagementController") != 0) continue;
    const CMPIData status = CMGetProperty(inst, "ElementSoftwareStatus", &rc);
    if (rc.rc != CMPI_RC_OK || !(status.type & CMPI_ARRAY) || (status.state & CMPI_nullValue) ||
        status.value.array == nullptr)
      continue;
    bool running = false;
    const CMPICount n = CMGetArrayCount(status.value.array, nullptr);
    for (CMPICount i = 0; i < n && !running; ++i) {
      const CMPIData e = CMGetArrayElementAt(status.value.array, i, nullptr);
      if (!(e.state & CMPI_nullValue) && e.type == CMPI_uint16 && e.value.uint16 == 2) running = true;
    }
    if (!running) continue;
    const CMPIData ante = CMGetProperty(inst, "Antecedent", &rc);
    if (rc.rc != CMPI_RC_OK || ante.type != CMPI_ref || (ante.state & CMPI_nullValue) || ante.value.ref == nullptr)
      continue;
    const CMPIData key = CMGetKey(ante.value.ref, "InstanceID", &rc);
    if (rc.rc == CMPI_RC_OK && key.type == CMPI_string && !(key.state & CMPI_nullValue)) {
      id = Chars(key.value.string);
      tavik_log("get_tavik_fw_version: It is testing Tavikv2  find the target instanceID   %s", id.c_str());
    }
    break;
  }
  if (en != nullptr) CMRelease(en);
  if (op != nullptr) CMRelease(op);
  ReleaseStatus(&st);
  return id;
}

// Runs a shell command line; true when it ran and exited with 0.
bool Run(const std::string &command) {
  const int rc = std::system(command.c_str());
  return rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
}

bool Exists(const char *path) {
  struct stat sb;
  return stat(path, &sb) == 0;
}

}  // namespace

int filter(const char *class_name) {
  static const char *const kRestricted[] = {"CIM_SoftwareIdentity", "CIM_InstalledSoftwareIdentity",
                                            "Qelvo_ComputerSystem", "Qelvo_ManagementController"};
  for (const char *c : kRestricted)
    if (std::strcmp(class_name, c) == 0) return 1;
  return 0;
}

int get_tavik_fw_version(const char *bind_addr, const char *ipmi_device, char *version, int capacity,
                         CMPIStatus *status) {
  tavik_log("get_tavik_fw_version: enter");
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  CMCIClient *cc = util_cmciConnect(bind_addr, ipmi_device, &st);
  if (cc == nullptr) {
    tavik_log("get_tavik_fw_version: can not connect to Tavik, exit ");
    ReleaseStatus(&st);
    Fail(status);
    return -1;
  }
  CMPIObjectPath *op = newCMPIObjectPath("root/cimv2", "CIM_SoftwareIdentity", nullptr);
  CMPIEnumeration *en = op != nullptr ? cc->ft->enumInstances(cc, op, 0, nullptr, &st) : nullptr;
  tavik_log("get_tavik_fw_version: rc is %d", static_cast<int>(st.rc));
  if (status != nullptr) {
    status->rc = st.rc;
    status->msg = nullptr;
  }
  std::vector<std::pair<std::string, std::string>> banks;  // the first two second-generation ones
  int v2_count = 0;
  while (en != nullptr && st.rc == CMPI_RC_OK && CMHasNext(en, nullptr)) {
    const CMPIInstance *inst = CMGetNext(en, nullptr).value.inst;
    if (inst == nullptr) continue;
    const std::string id = StringProperty(inst, "InstanceID");
    if (id.empty()) continue;
    if (id.find("CIM:") != std::string::npos) {
      tavik_log("get_tavik_fw_version: It is Tavikv2 ");
      CMPIStatus rc = {CMPI_RC_OK, nullptr};
      const CMPIData types = CMGetProperty(inst, "TargetTypes", &rc);
      std::string target;
      if (rc.rc == CMPI_RC_OK && !(types.state & CMPI_nullValue)) {
        if ((types.type & CMPI_ARRAY) && types.value.array != nullptr) {
          const CMPICount n = CMGetArrayCount(types.value.array, nullptr);
          if (n > 0) {
            const CMPIData last = CMGetArrayElementAt(types.value.array, n - 1, nullptr);
            if (last.type == CMPI_string && !(last.state & CMPI_nullValue)) target = Chars(last.value.string);
          }
        } else if (types.type == CMPI_string) {
          target = Chars(types.value.string);
        }
      }
      if (strcasecmp(target.c_str(), "Tavik2") != 0 && strcasecmp(target.c_str(), "Tavik") != 0) continue;
      ++v2_count;
      const char *v = StringProperty(inst, "VersionString");
      TakeVersion(version, capacity, v);
      tavik_log("get_tavik_fw_version:  get TavikV2 version successfully ,instance id is %s version is %s ", id.c_str(),
                version);
      if (banks.size() < 2) banks.emplace_back(id, version);
    } else {
      tavik_log("get_tavik_fw_version: It is Tavikv1 ");
      if (strcasecmp(id.c_str(), "Tavik") == 0) {
        TakeVersion(version, capacity, StringProperty(inst, "VersionString"));
        tavik_log("get_tavik_fw_version:  get version successfully , it is %s ", version);
        break;
      }
    }
  }
  if (v2_count == 2) {
    tavik_log("get_tavik_fw_version: It is testing Tavikv2  with new interface");
    const std::string running = RunningBank(cc);
    for (const auto &b : banks)
      if (!running.empty() && strcasecmp(b.first.c_str(), running.c_str()) == 0) TakeVersion(version, capacity, b.second.c_str());
  }
  tavik_log("get_tavik_fw_version:  exit ");
  if (en != nullptr) CMRelease(en);
  if (op != nullptr) CMRelease(op);
  ReleaseStatus(&st);
  cc->ft->release(cc);
  return 0;
}

static int FetchClasses(const char *bind_addr, const char *ipmi_device, const char *name_space, CMPIStatus *status,
                        bool restricted) {
  tavik_log(restricted ? "get_class_schema new: enter, namespace is  %s" : "get_class_schema: enter, namespace is  %s",
            name_space);
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  CMCIClient *cc = util_cmciConnect(bind_addr, ipmi_device, &st);
  ReleaseStatus(&st);
  if (cc == nullptr) {
    tavik_log("get_class_schema: exit, can not conect to Tavik");
    Fail(status);
    return -1;
  }
  CMPIObjectPath *op = newCMPIObjectPath(name_space, nullptr, nullptr);
  CMPIEnumeration *en = op != nullptr ? cc->ft->enumClassNames(cc, op, CMPI_FLAG_DeepInheritance, &st) : nullptr;
  int result = 0;
  if (en == nullptr || st.rc != CMPI_RC_OK) {
    tavik_log("get_class_schema: exit, class names of %s not read", name_space);
    Fail(status);
    result = -1;
  }
  while (result == 0 && CMHasNext(en, nullptr)) {
    const CMPIObjectPath *path = CMGetNext(en, nullptr).value.ref;
    if (path == nullptr) continue;
    const char *cn = Chars(CMGetClassName(path, nullptr));
    tavik_log("get_class_schema: enter, get class name %s", cn);
    if (restricted && !filter(cn)) continue;
    char *xml = get_class(bind_addr, ipmi_device, name_space, cn);
    // A class missing from the import would leave its subclasses without a parent on the host:
    // the whole fetch fails, and the staging area in use stays as it is.
    if (xml == nullptr) {
      tavik_log("get_class_schema: class %s not fetched", cn);
      Fail(status);
      result = -1;
    } else if (convert_to_mof(name_space, cn, xml, status) != 0) {
      result = -1;
    }
    std::free(xml);
  }
  if (en != nullptr) CMRelease(en);
  if (op != nullptr) CMRelease(op);
  ReleaseStatus(&st);
  cc->ft->release(cc);
  tavik_log("get_class_schema: exit");
  return result;
}

int get_class_schema(const char *bind_addr, const char *ipmi_device, const char *name_space, CMPIStatus *status) {
  return FetchClasses(bind_addr, ipmi_device, name_space, status, false);
}

int get_class_schema_new(const char *bind_addr, const char *ipmi_device, const char *name_space, CMPIStatus *status) {
  return FetchClasses(bind_addr, ipmi_device, name_space, status, true);
}

std::vector<std::string> sp_namespaces_to_fetch(const char *list) {
  std::vector<std::string> names;
  for (const char *p = list; *p != '\0';) {
    const char *semi = std::strchr(p, ';');
    const size_t len = semi != nullptr ? static_cast<size_t>(semi - p) : std::strlen(p);
    if (len > 0) names.emplace_back(p, len);
    p += len + (semi != nullptr ? 1 : 0);
  }
  // A namespace listed again later is fetched there, once: the listings of each name (whatever
  // its case) are counted first, and a name is taken at the last of them.
  struct NoCaseLess {
    bool operator()(const std::string &a, const std::string &b) const { return strcasecmp(a.c_str(), b.c_str()) < 0; }
  };
  std::map<std::string, size_t, NoCaseLess> left;
  for (const std::string &name : names) ++left[name];
  std::vector<std::string> fetch;
  for (const std::string &name : names)
    if (--left[name] == 0) fetch.push_back(name);
  return fetch;
}

int get_tavik_schema(const char *bind_addr, const char *ipmi_device, CMPIStatus *status) {
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  char *list = get_name_space(bind_addr, ipmi_device, &st);
  if (list == nullptr || st.rc != CMPI_RC_OK) {
    std::free(list);
    Fail(status);
    return -1;
  }
  const std::vector<std::string> names = sp_namespaces_to_fetch(list);
  std::free(list);
  const bool restricted = access(SP_CERT_FLAG, F_OK) == 0;
  if (status != nullptr) status->rc = CMPI_RC_OK;
  for (const std::string &name : names) {
    const int rc = restricted ? get_class_schema_new(bind_addr, ipmi_device, name.c_str(), status)
                              : get_class_schema(bind_addr, ipmi_device, name.c_str(), status);
    if (rc != 0 || (status != nullptr && status->rc != CMPI_RC_OK)) {
      Fail(status);
      return -1;
    }
  }
  return 0;
}

int rewrite_registration(const char *path, int node_num) {
  std::string cimv2, interop;
  for (int i = 0; i < node_num; ++i) {
    cimv2 += " qelvo/tavik" + std::to_string(i) + "/cimv2";
    interop += " qelvo/tavik" + std::to_string(i) + "/interop";
  }
  const std::string tmp = std::string(path) + ".tmp";
  FILE *in = std::fopen(path, "r");
  if (in == nullptr) return -1;
  FILE *out = std::fopen(tmp.c_str(), "w");
  if (out == nullptr) {
    std::fclose(in);
    return -1;
  }
  char *line = nullptr;
  size_t cap = 0;
  ssize_t n;
  bool ok = true;
  static const char kKey[] = "namespace:";
  while (ok && (n = getline(&line, &cap, in)) >= 0) {
    std::string l(line, static_cast<size_t>(n));
    const size_t at = l.find(kKey);
    if (at != std::string::npos) {
      const size_t after = at + sizeof kKey - 1;
      const std::string rest = l.substr(after);
      // A line naming neither stays as it was; one naming both (a class of both namespaces in
      // one stanza) keeps both.
      const bool has_cimv2 = rest.find("cimv2") != std::string::npos;
      const bool has_interop = rest.find("interop") != std::string::npos;
      if (has_cimv2 || has_interop)
        l = l.substr(0, after) + (has_cimv2 ? cimv2 : "") + (has_interop ? interop : "") + "\n";
    }
    ok = std::fputs(l.c_str(), out) >= 0;
  }
  std::free(line);
  ok = !std::ferror(in) && ok;
  std::fclose(in);
  ok = std::fclose(out) == 0 && ok;
  if (ok && std::rename(tmp.c_str(), path) != 0) ok = false;
  if (!ok) std::remove(tmp.c_str());
  return ok ? 0 : -1;
}

int porpulate_tavik_reposity(int node_num, const char *source) {
  tavik_log("porpulate_tavik_reposity: enter,  node_num %d, schema_path is %s", node_num,
            source != nullptr ? source : "(boot bank)");
  if (node_num < 1 || node_num > TAVIK_SLOT_COUNT) return -1;
  // A fresh staging area: nodes and classes of an earlier staging do not linger.
  bool ok = Run("rm -rf " SP_STAGE " " SP_WORK) && Run("mkdir -p " SP_STAGE " " SP_WORK);
  std::string mofs, regs;
  if (ok && source != nullptr) {
    mofs = std::string(source) + "/mofs/qelvo/tavik0";
    regs = std::string(source) + "/regs";
  } else if (ok) {
    ok = Run("tar -zxf " SP_BOOTBANK_ARCHIVE " -C " SP_WORK) && Exists(SP_WORK "var/lib/sfcb/stage/regs/qelvotpp.reg");
    mofs = SP_WORK "/var/lib/sfcb/stage/mofs/qelvo/tavik0";
    regs = SP_WORK "var/lib/sfcb/stage/regs";
  }
  for (int i = 0; ok && i < node_num; ++i) ok = Run(std::string("mkdir -p " SP_STAGE "mofs/qelvo/tavik") + std::to_string(i));
  for (int i = 0; ok && i < node_num; ++i)
    ok = Run("cp -rf " + mofs + "/* " SP_STAGE "mofs/qelvo/tavik" + std::to_string(i));
  if (ok) ok = Run("cp -rf " + regs + " " SP_STAGE);
  if (ok) ok = rewrite_registration(SP_STAGE "regs/qelvotpp.reg", node_num) == 0;
  std::string cleanup = "rm -rf " SP_WORK;
  if (source != nullptr) cleanup += std::string(" ") + source;
  if (!ok) cleanup += " " SP_STAGE;
  Run(cleanup);
  tavik_log("porpulate_tavik_reposity: exit");
  return ok ? 0 : -1;
}
