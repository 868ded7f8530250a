// TavikStore: the CMPI provider (instance, association and method) of the controller CIMOM,
// serving every class of the controller from the instance store. The store is read once, at the
// first factory call, from the directory the library was loaded from (its class MOF files and
// instances/*.mof), so that every node's CIMOM, started with its own provider directory, serves
// its own instances.
#include <cmpidt.h>
#include <cmpift.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "instance_store.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using tavikstore::Outcome;

const CMPIBroker* g_broker = nullptr;
tavikstore::Store g_store;
std::once_flag g_loaded;
std::string g_load_error;

void LoadStore() {
  std::call_once(g_loaded, [] {
    Dl_info info;
    std::memset(&info, 0, sizeof info);
    if (dladdr(reinterpret_cast<void*>(&LoadStore), &info) == 0 || info.dli_fname == nullptr) {
      g_load_error = "cannot tell where the instance store library lies";
    } else {
      std::string dir = info.dli_fname;
      const size_t slash = dir.rfind('/');
      dir = slash == std::string::npos ? "." : dir.substr(0, slash);
      if (!g_store.Load(dir, &g_load_error) && g_load_error.empty()) g_load_error = "cannot load " + dir;
    }
    if (!g_load_error.empty()) std::fprintf(stderr, "tavikstore: %s\n", g_load_error.c_str());
  });
}

CMPIStatus Status(const Outcome& o) {
  CMPIStatus st = {o.rc, nullptr};
  if (!o.message.empty() && g_broker != nullptr) st.msg = g_broker->eft->newString(g_broker, o.message.c_str(), nullptr);
  return st;
}

// Runs an operation once the store is loaded; no exception leaves the provider.
template <class F>
CMPIStatus Run(F&& f) {
  if (!g_load_error.empty()) return Status(Outcome{CMPI_RC_ERR_FAILED, g_load_error});
  try {
    return Status(f());
  } catch (const std::exception& e) {
    return Status(Outcome{CMPI_RC_ERR_FAILED, e.what()});
  } catch (...) {
    return Status(Outcome{CMPI_RC_ERR_FAILED, "instance store failure"});
  }
}

std::string Text(const CMPIString* s) {
  const char* p = s != nullptr ? s->ft->getCharPtr(s, nullptr) : nullptr;
  return p != nullptr ? p : "";
}
std::string Arg(const char* s) { return s != nullptr ? s : ""; }

auto ReturnInstance(const CMPIResult* rslt) {
  return [rslt](const CMPIInstance* i) { rslt->ft->returnInstance(rslt, i); };
}
auto ReturnPath(const CMPIResult* rslt) {
  return [rslt](const CMPIObjectPath* p) { rslt->ft->returnObjectPath(rslt, p); };
}
Outcome Done(const CMPIResult* rslt, Outcome o) {
  if (o.ok()) rslt->ft->returnDone(rslt);
  return o;
}

/* ------------------------------------------------------------ instance */

CMPIStatus Cleanup(CMPIInstanceMI*, const CMPIContext*, CMPIBoolean) { return CMPIStatus{CMPI_RC_OK, nullptr}; }

CMPIStatus EnumNames(CMPIInstanceMI*, const CMPIContext*, const CMPIResult* rslt, const CMPIObjectPath* op) {
  return Run([&] {
    g_store.Enumerate(Text(op->ft->getNameSpace(op, nullptr)), Text(op->ft->getClassName(op, nullptr)),
                      [&](const CMPIInstance* i) {
                        rslt->ft->returnObjectPath(rslt, i->ft->getObjectPath(i, nullptr));
                      });
    return Done(rslt, Outcome{});
  });
}

CMPIStatus EnumInstances(CMPIInstanceMI*, const CMPIContext*, const CMPIResult* rslt, const CMPIObjectPath* op,
                         const char**) {
  return Run([&] {
    g_store.Enumerate(Text(op->ft->getNameSpace(op, nullptr)), Text(op->ft->getClassName(op, nullptr)),
                      ReturnInstance(rslt));
    return Done(rslt, Outcome{});
  });
}

CMPIStatus GetInstance(CMPIInstanceMI*, const CMPIContext*, const CMPIResult* rslt, const CMPIObjectPath* op,
                       const char**) {
  return Run([&] { return Done(rslt, g_store.Get(op, ReturnInstance(rslt))); });
}

CMPIStatus CreateInstance(CMPIInstanceMI*, const CMPIContext*, const CMPIResult* rslt, const CMPIObjectPath* op,
                          const CMPIInstance* inst) {
  return Run([&] { return Done(rslt, g_store.Create(op, inst, ReturnPath(rslt))); });
}

CMPIStatus ModifyInstance(CMPIInstanceMI*, const CMPIContext*, const CMPIResult* rslt, const CMPIObjectPath* op,
                          const CMPIInstance* inst, const char** properties) {
  return Run([&] { return Done(rslt, g_store.Modify(op, inst, properties)); });
}

CMPIStatus DeleteInstance(CMPIInstanceMI*, const CMPIContext*, const CMPIResult* rslt, const CMPIObjectPath* op) {
  return Run([&] { return Done(rslt, g_store.Delete(op)); });
}

CMPIStatus ExecQuery(CMPIInstanceMI*, const CMPIContext*, const CMPIResult*, const CMPIObjectPath*, const char*,
                     const char*) {
  // The CIMOM enumerates and filters itself.
  return CMPIStatus{CMPI_RC_ERR_NOT_SUPPORTED, nullptr};
}

CMPIInstanceMIFT g_instance_ft = {CMPICurrentVersion, CMPICurrentVersion, "instanceTavikStore", Cleanup,
                                  EnumNames, EnumInstances, GetInstance, CreateInstance, ModifyInstance,
                                  DeleteInstance, ExecQuery};
CMPIInstanceMI g_instance_mi = {nullptr, &g_instance_ft};

/* --------------------------------------------------------- association */

CMPIStatus AssocCleanup(CMPIAssociationMI*, const CMPIContext*, CMPIBoolean) {
  return CMPIStatus{CMPI_RC_OK, nullptr};
}

CMPIStatus Associate(const CMPIResult* rslt, const CMPIObjectPath* op, const tavikstore::AssocQuery& q, bool names) {
  return Run([&] {
    return Done(rslt, names ? g_store.Associate(op, q, nullptr, ReturnPath(rslt))
                            : g_store.Associate(op, q, ReturnInstance(rslt), nullptr));
  });
}

CMPIStatus Associators(CMPIAssociationMI*, const CMPIContext*, const CMPIResult* rslt, const CMPIObjectPath* op,
                       const char* assoc_class, const char* result_class, const char* role, const char* result_role,
                       const char**) {
  return Associate(rslt, op, {false, Arg(assoc_class), Arg(result_class), Arg(role), Arg(result_role)}, false);
}

CMPIStatus AssociatorNames(CMPIAssociationMI*, const CMPIContext*, const CMPIResult* rslt, const CMPIObjectPath* op,
                           const char* assoc_class, const char* result_class, const char* role,
                           const char* result_role) {
  return Associate(rslt, op, {false, Arg(assoc_class), Arg(result_class), Arg(role), Arg(result_role)}, true);
}

CMPIStatus References(CMPIAssociationMI*, const CMPIContext*, const CMPIResult* rslt, const CMPIObjectPath* op,
                      const char* result_class, const char* role, const char**) {
  return Associate(rslt, op, {true, "", Arg(result_class), Arg(role), ""}, false);
}

CMPIStatus ReferenceNames(CMPIAssociationMI*, const CMPIContext*, const CMPIResult* rslt, const CMPIObjectPath* op,
                          const char* result_class, const char* role) {
  return Associate(rslt, op, {true, "", Arg(result_class), Arg(role), ""}, true);
}

CMPIAssociationMIFT g_association_ft = {CMPICurrentVersion, CMPICurrentVersion, "associationTavikStore",
                                        AssocCleanup, Associators, AssociatorNames, References, ReferenceNames};
CMPIAssociationMI g_association_mi = {nullptr, &g_association_ft};

/* -------------------------------------------------------------- method */

CMPIStatus MethodCleanup(CMPIMethodMI*, const CMPIContext*, CMPIBoolean) { return CMPIStatus{CMPI_RC_OK, nullptr}; }

CMPIStatus InvokeMethod(CMPIMethodMI*, const CMPIContext*, const CMPIResult* rslt, const CMPIObjectPath* op,
                        const char* method, const CMPIArgs* in, CMPIArgs* out) {
  return Run([&] {
    return Done(rslt, g_store.Invoke(op, Arg(method), in, out, [&](const CMPIData& d) {
      rslt->ft->returnData(rslt, &d.value, d.type);
    }));
  });
}

CMPIMethodMIFT g_method_ft = {CMPICurrentVersion, CMPICurrentVersion, "methodTavikStore", MethodCleanup,
                              InvokeMethod};
CMPIMethodMI g_method_mi = {nullptr, &g_method_ft};

template <class MI>
MI* Factory(MI* mi, const CMPIBroker* broker, CMPIStatus* rc) {
  g_broker = broker;
  LoadStore();
  if (rc != nullptr) *rc = CMPIStatus{CMPI_RC_OK, nullptr};
  return mi;
}

}  // namespace

EXPORT CMPIInstanceMI* TavikStore_Create_InstanceMI(const CMPIBroker* broker, const CMPIContext*, CMPIStatus* rc) {
  return Factory(&g_instance_mi, broker, rc);
}

EXPORT CMPIAssociationMI* TavikStore_Create_AssociationMI(const CMPIBroker* broker, const CMPIContext*,
                                                          CMPIStatus* rc) {
  return Factory(&g_association_mi, broker, rc);
}

EXPORT CMPIMethodMI* TavikStore_Create_MethodMI(const CMPIBroker* broker, const CMPIContext*, CMPIStatus* rc) {
  return Factory(&g_method_mi, broker, rc);
}
