/*
 * The CMPI providers of the host's installation services: the adapter
 * vendors', the hypervisor's and the controller's. Each serves the instances
 * of its classes (services, jobs, adapter inventory) and InstallFromURI on
 * its services. What they show comes from the scenario file and the state
 * files (hoststate.h), read anew at every call; nothing is kept in memory.
 * Enumerating a job class moves each running job on to its next JobStatus
 * text; enumerating names or getting one instance does not.
 */
#include <cmpidt.h>
#include <cmpift.h>
#include <cmpimacs.h>
#include <strings.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "hoststate.h"
#include "services.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace hostservices;

const CMPIBroker *g_broker = nullptr;

CMPIStatus Ok() { return CMPIStatus{CMPI_RC_OK, nullptr}; }
CMPIStatus Error(CMPIrc rc, const std::string &message) {
  return CMPIStatus{rc, CMNewString(g_broker, message.c_str(), nullptr)};
}

std::string Chars(const CMPIString *s) {
  const char *p = s != nullptr ? CMGetCharsPtr(s, nullptr) : nullptr;
  return p != nullptr ? p : "";
}

std::string ClassOf(const CMPIObjectPath *op) { return Chars(CMGetClassName(op, nullptr)); }
std::string NamespaceOf(const CMPIObjectPath *op) { return Chars(CMGetNameSpace(op, nullptr)); }

/* The string keys of a path, by lower-case name. */
std::map<std::string, std::string> KeysOf(const CMPIObjectPath *op) {
  std::map<std::string, std::string> keys;
  CMPIStatus rc = Ok();
  const CMPICount n = CMGetKeyCount(op, &rc);
  for (CMPICount i = 0; rc.rc == CMPI_RC_OK && i < n; ++i) {
    CMPIString *name = nullptr;
    CMPIData d = CMGetKeyAt(op, i, &name, &rc);
    if (rc.rc == CMPI_RC_OK && d.type == CMPI_string && !(d.state & CMPI_nullValue))
      keys[LowerCase(Chars(name))] = Chars(d.value.string);
  }
  return keys;
}

/* The scenario, or a failure status saying what is wrong with it. */
bool Load(Scenario *sc, CMPIStatus *st) {
  std::string error;
  if (LoadScenario(kScenarioPath, sc, &error)) return true;
  std::fprintf(stderr, "host services: scenario: %s\n", error.c_str());
  *st = Error(CMPI_RC_ERR_FAILED, "scenario: " + error);
  return false;
}

CMPIObjectPath *PathOf(const std::string &ns, const Object &o) {
  CMPIObjectPath *op = CMNewObjectPath(g_broker, ns.c_str(), o.cls.c_str(), nullptr);
  for (const Prop &p : o.props)
    if (p.key && op != nullptr) CMAddKey(op, p.name.c_str(), p.text.c_str(), CMPI_chars);
  return op;
}

CMPIInstance *InstanceOf(const std::string &ns, const Object &o) {
  CMPIObjectPath *op = PathOf(ns, o);
  CMPIInstance *inst = op != nullptr ? CMNewInstance(g_broker, op, nullptr) : nullptr;
  for (const Prop &p : o.props) {
    if (inst == nullptr) break;
    if (p.is_number) CMSetProperty(inst, p.name.c_str(), &p.number, CMPI_uint16);
    else CMSetProperty(inst, p.name.c_str(), p.text.c_str(), CMPI_chars);
  }
  return inst;
}

/* The instances of the class `op` names. `read`: job enumerations move jobs on. */
bool Objects(const CMPIObjectPath *op, bool read, std::vector<Object> *out, CMPIStatus *st) {
  const std::string cls = ClassOf(op);
  const ClassInfo *ci = ClassByName(cls);
  if (ci == nullptr) {
    *st = Error(CMPI_RC_ERR_INVALID_CLASS, "no class " + cls + " here");
    return false;
  }
  Scenario sc;
  if (!Load(&sc, st)) return false;
  if (const std::string *why = sc.Failure(ci->cls)) {
    *st = Error(CMPI_RC_ERR_FAILED, *why);
    return false;
  }
  if (ci->kind != ClassInfo::kJob) {
    *out = Inventory(sc, *ci);
    return true;
  }
  std::vector<JobView> jobs;
  std::string error;
  if (!ListJobs(sc, ci->owner, read, &jobs, &error)) {
    *st = Error(CMPI_RC_ERR_FAILED, error);
    return false;
  }
  out->clear();
  for (const JobView &j : jobs) {
    Object o{ci->cls, {{"InstanceID", j.instance_id, 0, false, true}, {"Name", "Software update", 0, false, false}}};
    if (j.status.present) o.props.push_back({"JobStatus", j.status.value, 0, false, false});
    o.props.push_back({"JobState", "", JobStateFor(j.status, j.final), true, false});
    out->push_back(std::move(o));
  }
  return true;
}

/* ---------------------------------------------------------- instances */

CMPIStatus Cleanup(CMPIInstanceMI *, const CMPIContext *, CMPIBoolean) { return Ok(); }

/* Enumerations: paths, or instances (which moves jobs on). */
CMPIStatus Enumerate(const CMPIResult *rslt, const CMPIObjectPath *op, bool instances) {
  CMPIStatus st = Ok();
  try {
    std::vector<Object> objects;
    if (!Objects(op, instances, &objects, &st)) return st;
    for (const Object &o : objects) {
      if (instances) CMReturnInstance(rslt, InstanceOf(NamespaceOf(op), o));
      else CMReturnObjectPath(rslt, PathOf(NamespaceOf(op), o));
    }
    CMReturnDone(rslt);
  } catch (...) {
    st = Error(CMPI_RC_ERR_FAILED, "out of memory");
  }
  return st;
}

CMPIStatus EnumInstanceNames(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *rslt,
                             const CMPIObjectPath *op) {
  return Enumerate(rslt, op, false);
}

CMPIStatus EnumInstances(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *rslt, const CMPIObjectPath *op,
                         const char **) {
  return Enumerate(rslt, op, true);
}

CMPIStatus GetInstance(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *rslt, const CMPIObjectPath *op,
                       const char **) {
  CMPIStatus st = Ok();
  try {
    std::vector<Object> objects;
    if (!Objects(op, false, &objects, &st)) return st;
    const std::map<std::string, std::string> keys = KeysOf(op);
    for (const Object &o : objects) {
      if (!KeysMatch(o, keys)) continue;
      CMReturnInstance(rslt, InstanceOf(NamespaceOf(op), o));
      CMReturnDone(rslt);
      return st;
    }
    st = Error(CMPI_RC_ERR_NOT_FOUND, "no such " + ClassOf(op) + " instance");
  } catch (...) {
    st = Error(CMPI_RC_ERR_FAILED, "out of memory");
  }
  return st;
}

CMPIStatus CreateInstance(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *, const CMPIObjectPath *,
                          const CMPIInstance *) {
  return Error(CMPI_RC_ERR_NOT_SUPPORTED, "the host's inventory is read-only");
}
CMPIStatus ModifyInstance(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *, const CMPIObjectPath *,
                          const CMPIInstance *, const char **) {
  return Error(CMPI_RC_ERR_NOT_SUPPORTED, "the host's inventory is read-only");
}
CMPIStatus DeleteInstance(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *, const CMPIObjectPath *) {
  return Error(CMPI_RC_ERR_NOT_SUPPORTED, "the host's inventory is read-only");
}
CMPIStatus ExecQuery(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *, const CMPIObjectPath *,
                     const char *, const char *) {
  return Error(CMPI_RC_ERR_NOT_SUPPORTED, "no queries");
}

CMPIInstanceMIFT instance_ft = {CMPICurrentVersion, CMPICurrentVersion, "hostServicesInstance", Cleanup,
                                EnumInstanceNames, EnumInstances, GetInstance, CreateInstance, ModifyInstance,
                                DeleteInstance, ExecQuery};
CMPIInstanceMI instance_mi = {nullptr, &instance_ft};

/* ------------------------------------------------------------ methods */

/* An argument that is given and not null; *st set when it has another type. */
bool Arg(const CMPIArgs *in, const char *name, CMPIType type, const char *type_name, CMPIData *out,
         CMPIStatus *st) {
  if (in == nullptr) return false;
  CMPIStatus rc = Ok();
  *out = CMGetArg(in, name, &rc);
  if (rc.rc != CMPI_RC_OK || (out->state & CMPI_nullValue)) return false;
  if (out->type == type) return true;
  *st = Error(CMPI_RC_ERR_INVALID_PARAMETER, std::string(name) + " is not of type " + type_name);
  return false;
}

/* Takes the call's arguments apart; false with *st set when one is malformed. */
bool ReadCall(const ServiceInfo &info, const CMPIObjectPath *op, const CMPIArgs *in, InstallCall *call,
              std::string *options, CMPIStatus *st) {
  call->service = info.id;
  call->keys = KeysOf(op);
  CMPIData d;
  if (!Arg(in, "URI", CMPI_string, "string", &d, st)) {
    if (st->rc == CMPI_RC_OK) *st = Error(CMPI_RC_ERR_INVALID_PARAMETER, "URI is missing");
    return false;
  }
  call->uri = Chars(d.value.string);
  if (Arg(in, "Target", CMPI_ref, "reference", &d, st)) {
    call->has_target = true;
    call->target_class = ClassOf(d.value.ref);
    call->target_keys = KeysOf(d.value.ref);
  }
  if (Arg(in, "InstallOptions", CMPI_uint16A, "uint16[]", &d, st)) {
    const CMPICount n = CMGetArrayCount(d.value.array, nullptr);
    for (CMPICount i = 0; i < n; ++i) {
      const CMPIData e = CMGetArrayElementAt(d.value.array, i, nullptr);
      *options += (i ? "," : "") + ((e.state & CMPI_nullValue) ? std::string("NULL") : std::to_string(e.value.uint16));
    }
  }
  if (info.id == Service::kController && Arg(in, "Update_Operation", CMPI_uint8, "uint8", &d, st))
    call->update_operation = Text::Of(std::to_string(d.value.uint8));
  return st->rc == CMPI_RC_OK;
}

CMPIStatus Install(const ServiceInfo &info, const CMPIResult *rslt, const CMPIObjectPath *op, const CMPIArgs *in,
                   CMPIArgs *out) {
  CMPIStatus st = Ok();
  Scenario sc;
  InstallCall call;
  std::string options;
  if (!Load(&sc, &st) || !ReadCall(info, op, in, &call, &options, &st)) return st;
  const InstallDecision d = DecideInstall(sc, call);

  std::string job, error;
  if (d.kind == InstallDecision::kReturn && d.start_job && !StartJob(info.id, JobSteps(sc, info.id), &job, &error))
    return Error(CMPI_RC_ERR_FAILED, error);
  uint64_t size = 0;
  std::string md5;
  const bool have_file = !d.file.empty() && FileDigest(d.file, &size, &md5);
  const auto key = [](const std::map<std::string, std::string> &m, const char *k) {
    auto it = m.find(k);
    return it == m.end() ? std::string() : it->second;
  };
  const std::string result = d.kind == InstallDecision::kReturn   ? std::to_string(d.value)
                             : d.kind == InstallDecision::kFailed ? "failed"
                                                                  : "not-found";
  Record rec = {{"service", info.cls},
                {"namespace", NamespaceOf(op)},
                {"system", key(call.keys, "systemname")},
                {"return", result},
                {"uri", call.uri},
                {"file", d.file},
                {"size", have_file ? std::to_string(size) : ""},
                {"md5", md5},
                {"target-class", call.target_class},
                {"target", key(call.target_keys, info.id == Service::kHypervisor ? "name" : "deviceid")},
                {"options", options},
                {"bank", call.update_operation.value},
                {"job", job},
                {"note", d.kind == InstallDecision::kReturn ? d.note : d.message}};
  if (!AppendRecord(rec, &error)) std::fprintf(stderr, "host services: %s\n", error.c_str());
  std::fprintf(stderr, "host services: %s.InstallFromURI(%s) -> %s%s%s\n", info.cls, call.uri.c_str(),
               result.c_str(), rec.back().second.empty() ? "" : ": ", rec.back().second.c_str());

  if (d.kind == InstallDecision::kNotFound) return Error(CMPI_RC_ERR_NOT_FOUND, d.message);
  if (d.kind == InstallDecision::kFailed) return Error(CMPI_RC_ERR_FAILED, d.message);
  if (!job.empty() && out != nullptr) {
    CMPIObjectPath *jp = CMNewObjectPath(g_broker, NamespaceOf(op).c_str(), info.job_class, nullptr);
    if (jp != nullptr) {
      CMAddKey(jp, "InstanceID", job.c_str(), CMPI_chars);
      CMAddArg(out, "Job", &jp, CMPI_ref);
    }
  }
  const CMPIUint32 rv = d.value;
  CMReturnData(rslt, &rv, CMPI_uint32);
  CMReturnDone(rslt);
  return st;
}

CMPIStatus MethodCleanup(CMPIMethodMI *, const CMPIContext *, CMPIBoolean) { return Ok(); }

CMPIStatus InvokeMethod(CMPIMethodMI *, const CMPIContext *, const CMPIResult *rslt, const CMPIObjectPath *op,
                        const char *method, const CMPIArgs *in, CMPIArgs *out) {
  try {
    const ClassInfo *ci = ClassByName(ClassOf(op));
    if (ci == nullptr || ci->kind != ClassInfo::kService)
      return Error(CMPI_RC_ERR_NOT_SUPPORTED, ClassOf(op) + " has no methods here");
    if (method == nullptr || strcasecmp(method, "InstallFromURI") != 0)
      return Error(CMPI_RC_ERR_METHOD_NOT_FOUND, method != nullptr ? method : "");
    return Install(InfoOf(ci->owner), rslt, op, in, out);
  } catch (...) {
    return Error(CMPI_RC_ERR_FAILED, "out of memory");
  }
}

CMPIMethodMIFT method_ft = {CMPICurrentVersion, CMPICurrentVersion, "hostServicesMethod", MethodCleanup,
                            InvokeMethod};
CMPIMethodMI method_mi = {nullptr, &method_ft};

}  // namespace

/* One provider per owner of classes, all served by the same code. */
#define HOST_SERVICE_PROVIDER(name)                                                                      \
  EXPORT CMPIInstanceMI *name##_Create_InstanceMI(const CMPIBroker *b, const CMPIContext *, CMPIStatus *rc) { \
    g_broker = b;                                                                                        \
    if (rc != nullptr) *rc = Ok();                                                                       \
    return &instance_mi;                                                                                 \
  }                                                                                                      \
  EXPORT CMPIMethodMI *name##_Create_MethodMI(const CMPIBroker *b, const CMPIContext *, CMPIStatus *rc) {    \
    g_broker = b;                                                                                        \
    if (rc != nullptr) *rc = Ok();                                                                       \
    return &method_mi;                                                                                   \
  }

HOST_SERVICE_PROVIDER(BrocadeAdapterProvider)
HOST_SERVICE_PROVIDER(EmulexAdapterProvider)
HOST_SERVICE_PROVIDER(QlogicAdapterProvider)
HOST_SERVICE_PROVIDER(HypervisorInstallProvider)
HOST_SERVICE_PROVIDER(ControllerInstallProvider)
