// The requests the pass-through provider sends to a node's controller, one function per CIM
// operation (see tpp.h). Each finds the node from the request path's namespace, connects, sends
// the request with its objects rebuilt for the controller and releases those again.
#include <cmpimacs.h>

#include "tavik_cimom_connect.h"
#include "tpp.h"

namespace {

const char *NameSpaceOf(const CMPIObjectPath *op) {
  const CMPIString *s = op != nullptr ? CMGetNameSpace(op, nullptr) : nullptr;
  const char *p = s != nullptr ? CMGetCharsPtr(s, nullptr) : nullptr;
  return p != nullptr ? p : "";
}

// A client connected to the controller of the node op's namespace names; null when it names none
// or no client could be made.
CMCIClient *ConnectNode(const CMPIObjectPath *op) {
  char bind_addr[TPP_FIELD_SIZE] = {};
  char dev_path[TPP_FIELD_SIZE] = {};
  if (util_intf_from_ns(bind_addr, sizeof bind_addr, dev_path, sizeof dev_path, NameSpaceOf(op)) != 0)
    return nullptr;
  return util_cmciConnect(bind_addr, dev_path, nullptr);
}

// The request's class in the controller namespace, without keys.
CMPIObjectPath *ClassPath(const CMPIObjectPath *op) {
  char ns[TPP_NS_BUFFER_SIZE] = {};
  util_change_namespce(NameSpaceOf(op), ns, sizeof ns, TPP_TO_CONTROLLER, 0);
  const CMPIString *cls = CMGetClassName(op, nullptr);
  const char *cn = cls != nullptr ? CMGetCharsPtr(cls, nullptr) : nullptr;
  return newCMPIObjectPath(ns, cn != nullptr ? cn : "", nullptr);
}

// The client library takes property lists without const.
char **Properties(const char **props) { return const_cast<char **>(props); }

// A request that cannot be sent: its status, as the client library would give it.
void Unsent(CMPIStatus *st, CMPIrc rc, const char *message) {
  st->rc = rc;
  st->msg = native_new_CMPIString(message, nullptr);
}
void NoObject(CMPIStatus *st) { Unsent(st, CMPI_RC_ERR_FAILED, "cannot rebuild the request for the controller"); }

// Connects and sends one request built from the client path `path(op)`: `send` runs with the
// client and that path, which is released afterwards. The client, or null. A request namespace
// whose controller namespace does not fit is not sent.
template <class MakePath, class Send>
CMCIClient *Forward(const CMPIObjectPath *op, CMPIStatus *st, MakePath path, Send send) {
  CMCIClient *cc = ConnectNode(op);
  if (cc == nullptr) return nullptr;
  char ns[TPP_NS_BUFFER_SIZE] = {};
  if (util_change_namespce(NameSpaceOf(op), ns, sizeof ns, TPP_TO_CONTROLLER, 0) != 0) {
    Unsent(st, CMPI_RC_ERR_ACCESS_DENIED, TPP_MSG_NAMESPACE);
    return cc;
  }
  CMPIObjectPath *cop = path(op);
  if (cop == nullptr) {
    NoObject(st);
    return cc;
  }
  send(cc, cop);
  CMRelease(cop);
  return cc;
}

CMPIObjectPath *FullPath(const CMPIObjectPath *op) {
  CMPIStatus ignored = {CMPI_RC_OK, nullptr};
  return util_new_objpath_from_old(nullptr, op, &ignored);
}

}  // namespace

CMCIClient *util_enum_instance_name_begin(const CMPIObjectPath *op, CMPIEnumeration **en, CMPIStatus *st) {
  return Forward(op, st, ClassPath, [&](CMCIClient *cc, CMPIObjectPath *cop) {
    *en = cc->ft->enumInstanceNames(cc, cop, st);
  });
}

CMCIClient *util_enum_instance_begin(const CMPIObjectPath *op, CMPIFlags flags, const char **props,
                                     CMPIEnumeration **en, CMPIStatus *st) {
  return Forward(op, st, ClassPath, [&](CMCIClient *cc, CMPIObjectPath *cop) {
    *en = cc->ft->enumInstances(cc, cop, flags, Properties(props), st);
  });
}

CMCIClient *util_get_instance_begin(const CMPIObjectPath *op, CMPIFlags flags, const char **props,
                                    CMPIInstance **inst, CMPIStatus *st) {
  return Forward(op, st, FullPath, [&](CMCIClient *cc, CMPIObjectPath *cop) {
    *inst = cc->ft->getInstance(cc, cop, flags, Properties(props), st);
  });
}

CMCIClient *util_create_instance(const CMPIObjectPath *op, const CMPIInstance *inst, CMPIObjectPath **new_op,
                                 CMPIStatus *st) {
  return Forward(op, st, FullPath, [&](CMCIClient *cc, CMPIObjectPath *cop) {
    CMPIStatus ignored = {CMPI_RC_OK, nullptr};
    CMPIInstance *cinst = util_new_inst_from_old(nullptr, inst, &ignored);
    if (cinst == nullptr) return NoObject(st);
    *new_op = cc->ft->createInstance(cc, cop, cinst, st);
    CMRelease(cinst);
  });
}

int util_modify_instance(const CMPIObjectPath *op, const CMPIInstance *inst, CMPIFlags flags, const char **props,
                         CMPIStatus *st) {
  CMCIClient *cc = Forward(op, st, FullPath, [&](CMCIClient *cc, CMPIObjectPath *cop) {
    CMPIStatus ignored = {CMPI_RC_OK, nullptr};
    CMPIInstance *cinst = util_new_inst_from_old(nullptr, inst, &ignored);
    if (cinst == nullptr) return NoObject(st);
    *st = cc->ft->setInstance(cc, cop, cinst, flags, Properties(props));
    CMRelease(cinst);
  });
  if (cc == nullptr) return -1;
  util_release_client(cc);
  return 0;
}

int util_delete_instance(const CMPIObjectPath *op, CMPIStatus *st) {
  CMCIClient *cc = Forward(op, st, FullPath, [&](CMCIClient *cc, CMPIObjectPath *cop) {
    *st = cc->ft->deleteInstance(cc, cop);
  });
  if (cc == nullptr) return -1;
  util_release_client(cc);
  return 0;
}

CMCIClient *util_exec_query(const CMPIObjectPath *op, const char *query, const char *lang, CMPIEnumeration **en,
                            CMPIStatus *st) {
  return Forward(op, st, FullPath, [&](CMCIClient *cc, CMPIObjectPath *cop) {
    *en = cc->ft->execQuery(cc, cop, query, lang, st);
  });
}

CMCIClient *util_invoke_method(const CMPIObjectPath *op, const char *method, CMPIArgs *in, CMPIArgs *out,
                               CMPIData *ret, CMPIStatus *st) {
  return Forward(op, st, FullPath, [&](CMCIClient *cc, CMPIObjectPath *cop) {
    *ret = cc->ft->invokeMethod(cc, cop, method, in, out, st);
  });
}

CMCIClient *util_associator_begin(const CMPIObjectPath *op, const char *assoc_class, const char *result_class,
                                  const char *role, const char *result_role, CMPIFlags flags, const char **props,
                                  CMPIEnumeration **en, CMPIStatus *st) {
  return Forward(op, st, FullPath, [&](CMCIClient *cc, CMPIObjectPath *cop) {
    *en = cc->ft->associators(cc, cop, assoc_class, result_class, role, result_role, flags, Properties(props), st);
  });
}

CMCIClient *util_associator_name_begin(const CMPIObjectPath *op, const char *assoc_class, const char *result_class,
                                       const char *role, const char *result_role, CMPIEnumeration **en,
                                       CMPIStatus *st) {
  return Forward(op, st, FullPath, [&](CMCIClient *cc, CMPIObjectPath *cop) {
    *en = cc->ft->associatorNames(cc, cop, assoc_class, result_class, role, result_role, st);
  });
}

CMCIClient *util_reference_begin(const CMPIObjectPath *op, const char *result_class, const char *role,
                                 CMPIFlags flags, const char **props, CMPIEnumeration **en, CMPIStatus *st) {
  return Forward(op, st, FullPath, [&](CMCIClient *cc, CMPIObjectPath *cop) {
    *en = cc->ft->references(cc, cop, result_class, role, flags, Properties(props), st);
  });
}

CMCIClient *util_reference_name_begin(const CMPIObjectPath *op, const char *result_class, const char *role,
                                      CMPIEnumeration **en, CMPIStatus *st) {
  return Forward(op, st, FullPath, [&](CMCIClient *cc, CMPIObjectPath *cop) {
    *en = cc->ft->referenceNames(cc, cop, result_class, role, st);
  });
}

int util_enum_has_next(CMPIEnumeration *en) { return en != nullptr && CMHasNext(en, nullptr) ? 1 : 0; }

CMPIData util_get_data_from_enum(CMPIEnumeration *en) { return CMGetNext(en, nullptr); }
