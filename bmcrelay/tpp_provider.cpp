// QelvoTPP: the instance, association and method interfaces through which the host CIMOM reaches
// every node's controller. Each operation forwards its request to the controller of the node its
// namespace names (tpp_forward.cpp) and returns the controller's answer rebuilt as host objects
// (tpp_copy.cpp). The function tables carry version 100.
#include <cmpimacs.h>
#include <cmpi_host.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <strings.h>
#include <utility>

#include "tavik_log.h"
#include "tpp.h"

namespace {

// Where the host shows a result: in the request's namespace (instance operations), or in the
// controller's namespace of the result translated for the node (association operations, whose
// results may lie in the other namespace of the node).
enum class Where { Request, Translated };

// What one request has gathered: the status so far, whether a result's class is unknown to the
// host, and the classes already looked up (results mostly share a few classes, and a look-up may
// cost the host a round trip).
struct Answer {
  CMPIStatus status = {CMPI_RC_OK, nullptr};
  bool mismatch = false;
  std::set<std::pair<std::string, std::string>> checked;
};

// Restricted-association mode: the source classes whose associations are forwarded, with the
// association class and role filled in when the request gives none.
struct Restricted {
  const char *source;
  const char *assoc_class;  // Associators, AssociatorNames
  const char *role;         // References, ReferenceNames
};
const Restricted kRestricted[] = {
    {"CIM_SoftwareIdentity", "CIM_ElementSoftwareIdentity", "InstalledSoftware"},
    {"Qelvo_ComputerSystem", "CIM_ElementSoftwareIdentity", "System"},
    {"Qelvo_ManagementController", "CIM_ElementSoftwareIdentity", "System"},
};

const char *Chars(const CMPIString *s) {
  const char *p = s != nullptr ? CMGetCharsPtr(s, nullptr) : nullptr;
  return p != nullptr ? p : "";
}
const char *NameSpaceOf(const CMPIObjectPath *op) { return op != nullptr ? Chars(CMGetNameSpace(op, nullptr)) : ""; }
const char *ClassOf(const CMPIObjectPath *op) { return op != nullptr ? Chars(CMGetClassName(op, nullptr)) : ""; }
bool Given(const char *s) { return s != nullptr && *s != '\0'; }

CMPIStatus Status(CMPIrc rc, const char *message) {
  CMPIStatus st = {rc, nullptr};
  if (message != nullptr) st.msg = CMNewString(_broker, message, nullptr);
  return st;
}

// The controller's status as a host status: same code, its message in a host string. The
// client's message is released.
CMPIStatus FromController(CMPIStatus *client) {
  CMPIStatus st = {client->rc, nullptr};
  if (client->msg != nullptr) {
    st.msg = CMNewString(_broker, Chars(client->msg), nullptr);
    CMRelease(client->msg);
    client->msg = nullptr;
  }
  return st;
}

void Record(Answer &a, const CMPIStatus &failure) {
  a.status = failure;
  if (a.status.rc == CMPI_RC_OK) a.status.rc = CMPI_RC_ERR_FAILED;
}

// The request's status: a successful one names the classes the host does not know.
CMPIStatus Finish(const Answer &a) {
  if (a.status.rc == CMPI_RC_OK && a.mismatch) return Status(CMPI_RC_OK, TPP_MSG_MISMATCH);
  return a.status;
}

void CheckSchema(Answer &a, const char *host_ns, const char *cls) {
  if (!a.checked.emplace(host_ns, cls).second) return;
  if (getConstClass(host_ns, cls) == nullptr) a.mismatch = true;
}

// The host namespace of a result whose controller path is op.
bool HostNameSpace(const CMPIObjectPath *op, Where where, const char *request_ns, int id, char *ns, size_t size) {
  const char *from = where == Where::Request ? request_ns : NameSpaceOf(op);
  return util_change_namespce(from, ns, static_cast<int>(size), TPP_TO_HOST, id) == 0;
}

// Returns the controller path src as a host path: class cls (src's own when null).
void ReturnPath(const CMPIResult *rslt, const CMPIObjectPath *src, const char *cls, Where where,
                const char *request_ns, int id, bool check, Answer &a) {
  char ns[TPP_NS_BUFFER_SIZE] = {};
  if (cls == nullptr) cls = ClassOf(src);
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  if (!HostNameSpace(src, where, request_ns, id, ns, sizeof ns)) {
    Record(a, Status(CMPI_RC_ERR_FAILED, "a result's namespace does not fit"));
    return;
  }
  CMPIObjectPath *op = util_host_path(src, ns, cls, &st, id);
  if (op == nullptr) {
    Record(a, st);
    return;
  }
  if (check) CheckSchema(a, ns, cls);
  CMReturnObjectPath(rslt, op);
}

// Returns the controller instance src as a host instance. Results in the request's namespace get
// a path without keys (the CIMOM names them from their class); translated results keep the keys
// of the controller's path, rebuilt for the host.
void ReturnInstance(const CMPIResult *rslt, const CMPIInstance *src, Where where, const char *request_ns, int id,
                    bool check, Answer &a) {
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  CMPIObjectPath *sp = CMGetObjectPath(src, &st);
  if (sp == nullptr) {
    Record(a, st);
    return;
  }
  char ns[TPP_NS_BUFFER_SIZE] = {};
  const char *cls = ClassOf(sp);
  CMPIObjectPath *op = nullptr;
  if (!HostNameSpace(sp, where, request_ns, id, ns, sizeof ns))
    st = Status(CMPI_RC_ERR_FAILED, "a result's namespace does not fit");
  else if (where == Where::Request)
    op = CMNewObjectPath(_broker, ns, cls, &st);
  else
    op = util_host_path(sp, ns, cls, &st, id);
  CMPIInstance *inst = op != nullptr ? CMNewInstance(_broker, op, &st) : nullptr;
  if (inst == nullptr || util_host_properties(src, inst, &st, id) != CMPI_RC_OK) {
    Record(a, st);
  } else {
    if (check) CheckSchema(a, ns, cls);
    CMReturnInstance(rslt, inst);
  }
  CMRelease(sp);
}

// Returns every object of a controller enumeration, then CMReturnDone.
void Drain(CMPIEnumeration *en, const CMPIResult *rslt, Where where, const char *request_ns, int id, Answer &a) {
  while (util_enum_has_next(en)) {
    const CMPIData d = util_get_data_from_enum(en);
    if ((d.state & CMPI_nullValue) != 0) continue;
    if (d.type == CMPI_ref && d.value.ref != nullptr)
      ReturnPath(rslt, d.value.ref, nullptr, where, request_ns, id, true, a);
    else if (d.type == CMPI_instance && d.value.inst != nullptr)
      ReturnInstance(rslt, d.value.inst, where, request_ns, id, true, a);
  }
  CMReturnDone(rslt);
}

// The end of an enumerating operation: the controller's failure or the results.
CMPIStatus Conclude(CMCIClient *cc, CMPIEnumeration *en, CMPIStatus *client, const CMPIResult *rslt, Where where,
                    const char *request_ns, int id) {
  if (cc == nullptr) return Status(CMPI_RC_ERR_ACCESS_DENIED, TPP_MSG_CONNECT);
  Answer a;
  if (client->rc != CMPI_RC_OK) a.status = FromController(client);
  else Drain(en, rslt, where, request_ns, id, a);
  if (client->msg != nullptr) CMRelease(client->msg);
  util_enum_end(en, cc);
  return Finish(a);
}

// Runs an operation body; no exception leaves the provider.
template <class Body>
CMPIStatus Guarded(Body body) {
  try {
    return body();
  } catch (...) {
    return Status(CMPI_RC_ERR_FAILED, "QelvoTPP: internal failure");
  }
}

// ----------------------------------------------------------- association helpers

// The common head of the association operations. False when the request ends here, with *st
// its status; otherwise *id is the node and the filters are the ones to forward.
bool AssociationHead(const CMPIObjectPath *op, bool references, const char **assoc_or_role, int *id,
                     CMPIStatus *st) {
  const char *ns = NameSpaceOf(op);
  if (std::strstr(ns, TPP_NS_PREFIX) == nullptr) {
    *st = Status(CMPI_RC_OK, nullptr);
    return false;
  }
  *id = util_get_id_from_ns(ns);
  if (*id < 0) {
    *st = Status(CMPI_RC_ERR_ACCESS_DENIED, TPP_MSG_NAMESPACE);
    return false;
  }
  if (access(TPP_CERT_FLAG_FILE, F_OK) != 0) return true;
  const char *cls = ClassOf(op);
  for (const Restricted &r : kRestricted) {
    if (strcasecmp(cls, r.source) != 0) continue;
    if (!Given(*assoc_or_role)) *assoc_or_role = references ? r.role : r.assoc_class;
    return true;
  }
  *st = Status(CMPI_RC_ERR_ACCESS_DENIED, TPP_MSG_CONNECT);
  return false;
}

}  // namespace

// ---------------------------------------------------------------- instance interface

static CMPIStatus QelvoTPPCleanup(CMPIInstanceMI *, const CMPIContext *, CMPIBoolean) {
  CMReturn(CMPI_RC_NEVER_UNLOAD);
}

static CMPIStatus QelvoTPPEnumInstanceNames(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *rslt,
                                            const CMPIObjectPath *ref) {
  return Guarded([&] {
    tavik_log("TPP:QelvoTPPEnumInstanceNames enter, classname %s", ClassOf(ref));
    if (class_filter(ClassOf(ref))) return Status(CMPI_RC_OK, nullptr);
    CMPIStatus client = {CMPI_RC_OK, nullptr};
    CMPIEnumeration *en = nullptr;
    CMCIClient *cc = util_enum_instance_name_begin(ref, &en, &client);
    return Conclude(cc, en, &client, rslt, Where::Request, NameSpaceOf(ref), util_get_id_from_ns(NameSpaceOf(ref)));
  });
}

static CMPIStatus QelvoTPPEnumInstances(CMPIInstanceMI *, const CMPIContext *ctx, const CMPIResult *rslt,
                                        const CMPIObjectPath *ref, const char **properties) {
  return Guarded([&] {
    tavik_log("TPP:QelvoTPPEnumInstances enter %s", ClassOf(ref));
    if (class_filter(ClassOf(ref))) return Status(CMPI_RC_OK, nullptr);
    CMPIStatus client = {CMPI_RC_OK, nullptr};
    CMPIEnumeration *en = nullptr;
    CMCIClient *cc = util_enum_instance_begin(ref, getFlag(ctx), properties, &en, &client);
    return Conclude(cc, en, &client, rslt, Where::Request, NameSpaceOf(ref), util_get_id_from_ns(NameSpaceOf(ref)));
  });
}

static CMPIStatus QelvoTPPGetInstance(CMPIInstanceMI *, const CMPIContext *ctx, const CMPIResult *rslt,
                                      const CMPIObjectPath *ref, const char **properties) {
  return Guarded([&] {
    CMPIStatus client = {CMPI_RC_OK, nullptr};
    CMPIInstance *inst = nullptr;
    CMCIClient *cc = util_get_instance_begin(ref, getFlag(ctx), properties, &inst, &client);
    if (cc == nullptr) return Status(CMPI_RC_ERR_ACCESS_DENIED, TPP_MSG_CONNECT);
    Answer a;
    if (client.rc != CMPI_RC_OK) a.status = FromController(&client);
    else if (inst != nullptr)
      ReturnInstance(rslt, inst, Where::Request, NameSpaceOf(ref), util_get_id_from_ns(NameSpaceOf(ref)), false, a);
    if (a.status.rc == CMPI_RC_OK) CMReturnDone(rslt);
    if (client.msg != nullptr) CMRelease(client.msg);
    util_instance_end(inst, cc);
    return Finish(a);
  });
}

static CMPIStatus QelvoTPPCreateInstance(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *rslt,
                                         const CMPIObjectPath *ref, const CMPIInstance *inst) {
  return Guarded([&] {
    CMPIStatus client = {CMPI_RC_OK, nullptr};
    CMPIObjectPath *created = nullptr;
    CMCIClient *cc = util_create_instance(ref, inst, &created, &client);
    if (cc == nullptr) return Status(CMPI_RC_ERR_ACCESS_DENIED, TPP_MSG_CONNECT);
    Answer a;
    if (client.rc != CMPI_RC_OK) a.status = FromController(&client);
    else if (created != nullptr)
      ReturnPath(rslt, created, ClassOf(ref), Where::Request, NameSpaceOf(ref), util_get_id_from_ns(NameSpaceOf(ref)),
                 false, a);
    if (a.status.rc == CMPI_RC_OK) CMReturnDone(rslt);
    if (client.msg != nullptr) CMRelease(client.msg);
    util_objpath_end(created, cc);
    return Finish(a);
  });
}

static CMPIStatus QelvoTPPModifyInstance(CMPIInstanceMI *, const CMPIContext *ctx, const CMPIResult *,
                                         const CMPIObjectPath *ref, const CMPIInstance *inst,
                                         const char **properties) {
  return Guarded([&] {
    CMPIStatus client = {CMPI_RC_OK, nullptr};
    if (util_modify_instance(ref, inst, getFlag(ctx), properties, &client) != 0)
      return Status(CMPI_RC_ERR_ACCESS_DENIED, TPP_MSG_CONNECT);
    return FromController(&client);
  });
}

static CMPIStatus QelvoTPPDeleteInstance(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *,
                                         const CMPIObjectPath *ref) {
  return Guarded([&] {
    CMPIStatus client = {CMPI_RC_OK, nullptr};
    if (util_delete_instance(ref, &client) != 0) return Status(CMPI_RC_ERR_ACCESS_DENIED, TPP_MSG_CONNECT);
    return FromController(&client);
  });
}

static CMPIStatus QelvoTPPExecQuery(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *rslt,
                                    const CMPIObjectPath *ref, const char *query, const char *lang) {
  return Guarded([&] {
    CMPIStatus client = {CMPI_RC_OK, nullptr};
    CMPIEnumeration *en = nullptr;
    CMCIClient *cc = util_exec_query(ref, query, lang, &en, &client);
    return Conclude(cc, en, &client, rslt, Where::Request, NameSpaceOf(ref), util_get_id_from_ns(NameSpaceOf(ref)));
  });
}

// ------------------------------------------------------------- association interface

static CMPIStatus QelvoTPPAssociationCleanup(CMPIAssociationMI *, const CMPIContext *, CMPIBoolean) {
  CMReturn(CMPI_RC_OK);
}

static CMPIStatus QelvoTPPAssociators(CMPIAssociationMI *, const CMPIContext *ctx, const CMPIResult *rslt,
                                      const CMPIObjectPath *op, const char *assoc_class, const char *result_class,
                                      const char *role, const char *result_role, const char **properties) {
  return Guarded([&] {
    tavik_log("TPP:QelvoTPPAssociators enter  %s ", ClassOf(op));
    CMPIStatus st = {CMPI_RC_OK, nullptr};
    int id = -1;
    if (!AssociationHead(op, false, &assoc_class, &id, &st)) return st;
    CMPIStatus client = {CMPI_RC_OK, nullptr};
    CMPIEnumeration *en = nullptr;
    CMCIClient *cc = util_associator_begin(op, assoc_class, result_class, role, result_role, getFlag(ctx), properties,
                                           &en, &client);
    return Conclude(cc, en, &client, rslt, Where::Translated, NameSpaceOf(op), id);
  });
}

static CMPIStatus QelvoTPPAssociatorNames(CMPIAssociationMI *, const CMPIContext *, const CMPIResult *rslt,
                                          const CMPIObjectPath *op, const char *assoc_class,
                                          const char *result_class, const char *role, const char *result_role) {
  return Guarded([&] {
    tavik_log("TPP:QelvoTPPAssociatorNames enter, %s", ClassOf(op));
    CMPIStatus st = {CMPI_RC_OK, nullptr};
    int id = -1;
    if (!AssociationHead(op, false, &assoc_class, &id, &st)) return st;
    CMPIStatus client = {CMPI_RC_OK, nullptr};
    CMPIEnumeration *en = nullptr;
    CMCIClient *cc = util_associator_name_begin(op, assoc_class, result_class, role, result_role, &en, &client);
    return Conclude(cc, en, &client, rslt, Where::Translated, NameSpaceOf(op), id);
  });
}

static CMPIStatus QelvoTPPReferences(CMPIAssociationMI *, const CMPIContext *ctx, const CMPIResult *rslt,
                                     const CMPIObjectPath *op, const char *result_class, const char *role,
                                     const char **properties) {
  return Guarded([&] {
    tavik_log("TPP:QelvoTPPReferences enter  %s", ClassOf(op));
    CMPIStatus st = {CMPI_RC_OK, nullptr};
    int id = -1;
    if (!AssociationHead(op, true, &role, &id, &st)) return st;
    CMPIStatus client = {CMPI_RC_OK, nullptr};
    CMPIEnumeration *en = nullptr;
    CMCIClient *cc = util_reference_begin(op, result_class, role, getFlag(ctx), properties, &en, &client);
    return Conclude(cc, en, &client, rslt, Where::Translated, NameSpaceOf(op), id);
  });
}

static CMPIStatus QelvoTPPReferenceNames(CMPIAssociationMI *, const CMPIContext *, const CMPIResult *rslt,
                                         const CMPIObjectPath *op, const char *result_class, const char *role) {
  return Guarded([&] {
    tavik_log("TPP:QelvoTPPReferencesname enter  %s", ClassOf(op));
    CMPIStatus st = {CMPI_RC_OK, nullptr};
    int id = -1;
    if (!AssociationHead(op, true, &role, &id, &st)) return st;
    CMPIStatus client = {CMPI_RC_OK, nullptr};
    CMPIEnumeration *en = nullptr;
    CMCIClient *cc = util_reference_name_begin(op, result_class, role, &en, &client);
    return Conclude(cc, en, &client, rslt, Where::Translated, NameSpaceOf(op), id);
  });
}

// ------------------------------------------------------------------ method interface

namespace {

// The controller's input list: simple arguments as they are (also when null), references,
// instances, date-times and arrays rebuilt for the controller when not null.
CMPIArgs *ControllerArgs(const CMPIArgs *in) {
  CMPIArgs *args = native_new_CMPIArgs(nullptr);
  if (args == nullptr || in == nullptr) return args;
  const CMPICount n = CMGetArgCount(in, nullptr);
  for (CMPICount i = 0; i < n; ++i) {
    CMPIString *name = nullptr;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIData d = CMGetArgAt(in, i, &name, &rc);
    const bool null = (d.state & CMPI_nullValue) != 0;
    if (rc.rc == CMPI_RC_OK && name != nullptr) {
      if (!tpp_is_nested(d.type)) {
        CMAddArg(args, Chars(name), null ? nullptr : &d.value, d.type);
      } else if (!null) {
        CMPIData v = d;
        CMPIStatus st = {CMPI_RC_OK, nullptr};
        if (util_sfcc_data_copy(&d, &v, &st) == CMPI_RC_OK && (v.state & CMPI_nullValue) == 0) {
          CMAddArg(args, Chars(name), &v.value, v.type);
          util_release_copy(&v);
        }
      }
    }
    if (name != nullptr) CMRelease(name);
  }
  return args;
}

// Copies the controller's OUT parameters to the host's list; a nested one only when its copy
// succeeded.
void HostOutArgs(const CMPIArgs *from, CMPIArgs *to, int id) {
  const CMPICount n = CMGetArgCount(from, nullptr);
  for (CMPICount i = 0; i < n; ++i) {
    CMPIString *name = nullptr;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIData d = CMGetArgAt(from, i, &name, &rc);
    if (rc.rc == CMPI_RC_OK && name != nullptr) {
      CMPIData v = d;
      CMPIStatus st = {CMPI_RC_OK, nullptr};
      const bool null = (d.state & CMPI_nullValue) != 0;
      if (null || !tpp_is_nested(d.type)) CMAddArg(to, Chars(name), null ? nullptr : &d.value, d.type);
      else if (util_data_copy(&d, &v, &st, id) == CMPI_RC_OK) CMAddArg(to, Chars(name), &v.value, v.type);
    }
    if (name != nullptr) CMRelease(name);
  }
}

}  // namespace

static CMPIStatus QelvoTPPMethodCleanup(CMPIMethodMI *, const CMPIContext *, CMPIBoolean) { CMReturn(CMPI_RC_OK); }

static CMPIStatus QelvoTPPInvokeMethod(CMPIMethodMI *, const CMPIContext *, const CMPIResult *rslt,
                                       const CMPIObjectPath *ref, const char *method, const CMPIArgs *in,
                                       CMPIArgs *out) {
  return Guarded([&] {
    const int id = util_get_id_from_ns(NameSpaceOf(ref));
    if (id < 0) return Status(CMPI_RC_ERR_ACCESS_DENIED, TPP_MSG_NAMESPACE);
    CMPIArgs *cin = ControllerArgs(in);
    CMPIArgs *cout = native_new_CMPIArgs(nullptr);
    CMPIStatus client = {CMPI_RC_OK, nullptr};
    CMPIData ret = {CMPI_null, CMPI_nullValue, {}};
    CMCIClient *cc = cin != nullptr && cout != nullptr ? util_invoke_method(ref, method, cin, cout, &ret, &client)
                                                       : nullptr;
    util_release_arg(cin);
    Answer a;
    if (cc == nullptr) {
      a.status = Status(CMPI_RC_ERR_ACCESS_DENIED, TPP_MSG_CONNECT);
    } else if (client.rc != CMPI_RC_OK) {
      a.status = FromController(&client);
    } else {
      if (out != nullptr) HostOutArgs(cout, out, id);
      CMPIData v = ret;
      CMPIStatus st = {CMPI_RC_OK, nullptr};
      if (util_data_copy(&ret, &v, &st, id) != CMPI_RC_OK) {
        Record(a, st);
      } else {
        if ((v.state & CMPI_nullValue) == 0) CMReturnData(rslt, &v.value, v.type);
        CMReturnDone(rslt);
      }
    }
    if (client.msg != nullptr) CMRelease(client.msg);
    util_release_arg(cout);
    util_release_client(cc);
    return Finish(a);
  });
}

// ------------------------------------------------------------------ tables and factories

static CMPIInstanceMIFT instMIFT = {
    CMPIVersion100,           CMPIVersion100,         "instanceQelvoTPP",     QelvoTPPCleanup,
    QelvoTPPEnumInstanceNames, QelvoTPPEnumInstances,  QelvoTPPGetInstance,    QelvoTPPCreateInstance,
    QelvoTPPModifyInstance,   QelvoTPPDeleteInstance, QelvoTPPExecQuery,
};

static CMPIAssociationMIFT assocMIFT = {
    CMPIVersion100,      CMPIVersion100,          "associationQelvoTPP", QelvoTPPAssociationCleanup,
    QelvoTPPAssociators, QelvoTPPAssociatorNames, QelvoTPPReferences,    QelvoTPPReferenceNames,
};

static CMPIMethodMIFT methMIFT = {
    CMPIVersion100, CMPIVersion100, "methodQelvoTPP", QelvoTPPMethodCleanup, QelvoTPPInvokeMethod,
};

namespace {

// What every factory does: keep the broker and build the node table. Factories of the three
// interfaces may run at once; the broker is written under a lock, and only when it changes.
void Start(const CMPIBroker *brkr) {
  static std::mutex mu;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (_broker != brkr) _broker = brkr;
  }
  TPPMultinodeInit();
}

}  // namespace

CMPI_EXTERN_C CMPIInstanceMI *QelvoTPP_Create_InstanceMI(const CMPIBroker *brkr, const CMPIContext *, CMPIStatus *) {
  static CMPIInstanceMI mi = {nullptr, &instMIFT};
  Start(brkr);
  return &mi;
}

CMPI_EXTERN_C CMPIAssociationMI *QelvoTPP_Create_AssociationMI(const CMPIBroker *brkr, const CMPIContext *,
                                                              CMPIStatus *) {
  static CMPIAssociationMI mi = {nullptr, &assocMIFT};
  Start(brkr);
  return &mi;
}

CMPI_EXTERN_C CMPIMethodMI *QelvoTPP_Create_MethodMI(const CMPIBroker *brkr, const CMPIContext *, CMPIStatus *) {
  static CMPIMethodMI mi = {nullptr, &methMIFT};
  Start(brkr);
  return &mi;
}
