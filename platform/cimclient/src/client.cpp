/* The CIM client library's connection and operations: each operation builds its request with
 * the CIM-XML codec, sends it (transport.cpp) and turns the response into the client's objects. */
#include <cimxml/http.h>
#include <cimxml/message.h>
#include <cmpi_native.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "client_internal.h"

#define CMCI_API extern "C" __attribute__((visibility("default")))

namespace cimclient {

namespace {

using cimxml::Operation;
using cimxml::RequestWriter;

struct Client {
  CMCIClient pub;
  Endpoint ep;
  std::mutex mu;
  std::unique_ptr<Transport> transport;
  unsigned long next_id = 1;
  /* The last value invokeMethod or getProperty returned; the client owns it. */
  cimxml::Value last_value;
};

Client *self(const CMCIClient *cl) {
  return cl != nullptr ? static_cast<Client *>(const_cast<void *>(static_cast<const void *>(cl->hdl))) : nullptr;
}

/* A status for the caller: the message, when there is one, is the caller's string. */
CMPIStatus make_status(CMPIrc rc, const std::string &message) {
  CMPIStatus st = {rc, nullptr};
  if (rc != CMPI_RC_OK && !message.empty()) st.msg = native_new_CMPIString(message.c_str(), nullptr);
  return st;
}
void set_status(CMPIStatus *rc, CMPIrc code, const std::string &message = std::string()) {
  if (rc != nullptr) *rc = make_status(code, message);
}

CMPIData null_data() {
  CMPIData d;
  std::memset(&d, 0, sizeof d);
  d.type = CMPI_null;
  d.state = CMPI_nullValue;
  return d;
}

bool has_keys(const CMPIObjectPath *op) { return op->ft->getKeyCount(op, nullptr) > 0; }

/* What an operation failed with; thrown inside, reported through the status. */
struct Failure {
  CMPIrc rc;
  std::string message;
};

/* One request and its checked answer: the response when the CIMOM answered with success. */
cimxml::Response exchange(Client *c, const std::string &cimmethod, const std::string &cimobject,
                          const std::string &body) {
  if (!c->transport) c->transport = std::make_unique<Transport>(c->ep);
  Reply r = interpret(c->transport->post(cimmethod, cimobject, body));
  if (!r.ok()) throw Failure{r.rc, r.message};
  return std::move(r.response);
}

/* Runs an operation under the client's lock; every failure becomes the status. */
template <class R, class F>
R run(CMCIClient *cl, const CMPIObjectPath *op, CMPIStatus *rc, R failed, F &&f) {
  Client *c = self(cl);
  if (c == nullptr) {
    set_status(rc, CMPI_RC_ERR_INVALID_HANDLE, "no client");
    return failed;
  }
  if (op == nullptr) {
    set_status(rc, CMPI_RC_ERR_INVALID_PARAMETER, "no object path");
    return failed;
  }
  try {
    std::lock_guard<std::mutex> lock(c->mu);
    R result = f(c, std::to_string(c->next_id++));
    set_status(rc, CMPI_RC_OK);
    return result;
  } catch (const Failure &e) {
    set_status(rc, e.rc, e.message);
  } catch (const cimxml::Error &e) {
    set_status(rc, e.code(), e.what());
  } catch (const std::bad_alloc &) {
    set_status(rc, CMPI_RC_ERR_FAILED, "out of memory");
  } catch (const std::exception &e) {
    set_status(rc, CMPI_RC_ERR_FAILED, e.what());
  }
  return failed;
}

/* An intrinsic call on op's namespace. */
cimxml::Response intrinsic(Client *c, RequestWriter &w, Operation what, const CMPIObjectPath *op) {
  return exchange(c, cimxml::operation_name(what), cimxml::cimobject_for_namespace(ns_of(op)), w.finish());
}

void add_flags(RequestWriter &w, CMPIFlags flags, bool local, bool deep, bool qualifiers, bool origin) {
  if (local) w.add_bool("LocalOnly", (flags & CMPI_FLAG_LocalOnly) != 0);
  if (deep) w.add_bool("DeepInheritance", (flags & CMPI_FLAG_DeepInheritance) != 0);
  if (qualifiers) w.add_bool("IncludeQualifiers", (flags & CMPI_FLAG_IncludeQualifiers) != 0);
  if (origin) w.add_bool("IncludeClassOrigin", (flags & CMPI_FLAG_IncludeClassOrigin) != 0);
}

void add_property_list(RequestWriter &w, char **properties) {
  if (properties == nullptr) return;
  std::vector<std::string> names;
  for (char **p = properties; *p != nullptr; ++p) names.emplace_back(*p);
  w.add_string_array("PropertyList", names);
}

/* ObjectName: the instance op names, or its class when it has no keys. */
void add_object_name(RequestWriter &w, const CMPIObjectPath *op) {
  if (has_keys(op)) w.add_instance_name("ObjectName", op);
  else w.add_class_name("ObjectName", class_of(op));
}

void add_optional_class(RequestWriter &w, const char *param, const char *cls) {
  if (cls != nullptr && *cls != '\0') w.add_class_name(param, cls);
}
void add_optional_string(RequestWriter &w, const char *param, const char *text) {
  if (text != nullptr && *text != '\0') w.add_string(param, text);
}

/* ------------------------------------------------------------- operations */

CMPIStatus release(CMCIClient *cl) {
  Client *c = self(cl);
  if (c == nullptr) return CMPIStatus{CMPI_RC_ERR_INVALID_HANDLE, nullptr};
  delete c;
  return CMPIStatus{CMPI_RC_OK, nullptr};
}

CMCIClient *new_client(const Endpoint &ep, CMPIStatus *rc);

CMCIClient *clone(CMCIClient *cl, CMPIStatus *rc) {
  Client *c = self(cl);
  if (c == nullptr) {
    set_status(rc, CMPI_RC_ERR_INVALID_HANDLE, "no client");
    return nullptr;
  }
  return new_client(c->ep, rc);
}

CMPIConstClass *get_class(CMCIClient *cl, CMPIObjectPath *op, CMPIFlags flags, char **properties, CMPIStatus *rc) {
  return run(cl, op, rc, static_cast<CMPIConstClass *>(nullptr), [&](Client *c, const std::string &id) {
    RequestWriter w(id, Operation::GetClass, ns_of(op));
    w.add_class_name("ClassName", class_of(op));
    add_flags(w, flags, true, false, true, true);
    add_property_list(w, properties);
    cimxml::Response r = intrinsic(c, w, Operation::GetClass, op);
    if (r.classes.empty()) throw Failure{CMPI_RC_ERR_FAILED, "the CIMOM returned no class"};
    return new_const_class(std::move(r.classes.front()));
  });
}

CMPIEnumeration *enum_class_names(CMCIClient *cl, CMPIObjectPath *op, CMPIFlags flags, CMPIStatus *rc) {
  return run(cl, op, rc, static_cast<CMPIEnumeration *>(nullptr), [&](Client *c, const std::string &id) {
    const std::string ns = ns_of(op);
    RequestWriter w(id, Operation::EnumerateClassNames, ns);
    add_optional_class(w, "ClassName", class_of(op).c_str());
    add_flags(w, flags, false, true, false, false);
    cimxml::Response r = intrinsic(c, w, Operation::EnumerateClassNames, op);
    std::vector<CMPIData> values;
    for (const std::string &name : r.class_names) {
      CMPIObjectPath *p = newCMPIObjectPath(ns.c_str(), name.c_str(), nullptr);
      if (p != nullptr) values.push_back(ref_data(p));
    }
    return new_enumeration(std::move(values));
  });
}

CMPIEnumeration *enum_classes(CMCIClient *cl, CMPIObjectPath *op, CMPIFlags flags, CMPIStatus *rc) {
  return run(cl, op, rc, static_cast<CMPIEnumeration *>(nullptr), [&](Client *c, const std::string &id) {
    RequestWriter w(id, Operation::EnumerateClasses, ns_of(op));
    add_optional_class(w, "ClassName", class_of(op).c_str());
    add_flags(w, flags, true, true, true, true);
    cimxml::Response r = intrinsic(c, w, Operation::EnumerateClasses, op);
    std::vector<CMPIData> values;
    for (cimxml::ClassDecl &cls : r.classes) values.push_back(class_data(new_const_class(std::move(cls))));
    return new_enumeration(std::move(values));
  });
}

CMPIInstance *get_instance(CMCIClient *cl, CMPIObjectPath *op, CMPIFlags flags, char **properties, CMPIStatus *rc) {
  return run(cl, op, rc, static_cast<CMPIInstance *>(nullptr), [&](Client *c, const std::string &id) {
    RequestWriter w(id, Operation::GetInstance, ns_of(op));
    w.add_instance_name("InstanceName", op);
    add_flags(w, flags, true, false, true, true);
    add_property_list(w, properties);
    cimxml::Response r = intrinsic(c, w, Operation::GetInstance, op);
    if (r.instances.empty()) throw Failure{CMPI_RC_ERR_FAILED, "the CIMOM returned no instance"};
    CMPIInstance *inst = r.instances.front().release();
    /* The instance is the one the request named. */
    inst->ft->setObjectPath(inst, op);
    return inst;
  });
}

CMPIObjectPath *create_instance(CMCIClient *cl, CMPIObjectPath *op, CMPIInstance *inst, CMPIStatus *rc) {
  return run(cl, op, rc, static_cast<CMPIObjectPath *>(nullptr), [&](Client *c, const std::string &id) {
    if (inst == nullptr) throw Failure{CMPI_RC_ERR_INVALID_PARAMETER, "no instance"};
    RequestWriter w(id, Operation::CreateInstance, ns_of(op));
    w.add_instance("NewInstance", inst);
    cimxml::Response r = intrinsic(c, w, Operation::CreateInstance, op);
    if (r.paths.empty()) throw Failure{CMPI_RC_ERR_FAILED, "the CIMOM returned no instance name"};
    CMPIObjectPath *p = r.paths.front().release();
    complete_path(p, ns_of(op));
    return p;
  });
}

/* The operations that answer only with a status. */
template <class F>
CMPIStatus status_only(CMCIClient *cl, CMPIObjectPath *op, F &&f) {
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  run(cl, op, &st, false, [&](Client *c, const std::string &id) {
    f(c, id);
    return true;
  });
  return st;
}

CMPIStatus set_instance(CMCIClient *cl, CMPIObjectPath *op, CMPIInstance *inst, CMPIFlags flags, char **properties) {
  return status_only(cl, op, [&](Client *c, const std::string &id) {
    if (inst == nullptr) throw Failure{CMPI_RC_ERR_INVALID_PARAMETER, "no instance"};
    RequestWriter w(id, Operation::ModifyInstance, ns_of(op));
    w.add_named_instance("ModifiedInstance", inst, op);
    add_flags(w, flags, false, false, true, false);
    add_property_list(w, properties);
    intrinsic(c, w, Operation::ModifyInstance, op);
  });
}

CMPIStatus delete_instance(CMCIClient *cl, CMPIObjectPath *op) {
  return status_only(cl, op, [&](Client *c, const std::string &id) {
    RequestWriter w(id, Operation::DeleteInstance, ns_of(op));
    w.add_instance_name("InstanceName", op);
    intrinsic(c, w, Operation::DeleteInstance, op);
  });
}

CMPIEnumeration *exec_query(CMCIClient *cl, CMPIObjectPath *op, const char *query, const char *lang,
                            CMPIStatus *rc) {
  return run(cl, op, rc, static_cast<CMPIEnumeration *>(nullptr), [&](Client *c, const std::string &id) {
    if (query == nullptr || lang == nullptr) throw Failure{CMPI_RC_ERR_INVALID_PARAMETER, "no query"};
    RequestWriter w(id, Operation::ExecQuery, ns_of(op));
    w.add_string("QueryLanguage", lang);
    w.add_string("Query", query);
    cimxml::Response r = intrinsic(c, w, Operation::ExecQuery, op);
    return instances_of(r, ns_of(op));
  });
}

CMPIEnumeration *enum_instance_names(CMCIClient *cl, CMPIObjectPath *op, CMPIStatus *rc) {
  return run(cl, op, rc, static_cast<CMPIEnumeration *>(nullptr), [&](Client *c, const std::string &id) {
    RequestWriter w(id, Operation::EnumerateInstanceNames, ns_of(op));
    w.add_class_name("ClassName", class_of(op));
    cimxml::Response r = intrinsic(c, w, Operation::EnumerateInstanceNames, op);
    return paths_of(r, ns_of(op));
  });
}

CMPIEnumeration *enum_instances(CMCIClient *cl, CMPIObjectPath *op, CMPIFlags flags, char **properties,
                                CMPIStatus *rc) {
  return run(cl, op, rc, static_cast<CMPIEnumeration *>(nullptr), [&](Client *c, const std::string &id) {
    RequestWriter w(id, Operation::EnumerateInstances, ns_of(op));
    w.add_class_name("ClassName", class_of(op));
    add_flags(w, flags, true, true, true, true);
    add_property_list(w, properties);
    cimxml::Response r = intrinsic(c, w, Operation::EnumerateInstances, op);
    return instances_of(r, ns_of(op));
  });
}

/* The four association operations share their request and their reading. */
CMPIEnumeration *association(CMCIClient *cl, Operation what, CMPIObjectPath *op, const char *assoc_class,
                             const char *result_class, const char *role, const char *result_role, CMPIFlags flags,
                             char **properties, CMPIStatus *rc) {
  return run(cl, op, rc, static_cast<CMPIEnumeration *>(nullptr), [&](Client *c, const std::string &id) {
    const bool names = what == Operation::AssociatorNames || what == Operation::ReferenceNames;
    const bool assoc = what == Operation::Associators || what == Operation::AssociatorNames;
    RequestWriter w(id, what, ns_of(op));
    add_object_name(w, op);
    if (assoc) add_optional_class(w, "AssocClass", assoc_class);
    add_optional_class(w, "ResultClass", result_class);
    add_optional_string(w, "Role", role);
    if (assoc) add_optional_string(w, "ResultRole", result_role);
    if (!names) {
      add_flags(w, flags, false, false, true, true);
      add_property_list(w, properties);
    }
    cimxml::Response r = intrinsic(c, w, what, op);
    return names ? paths_of(r, ns_of(op)) : instances_of(r, ns_of(op));
  });
}

CMPIEnumeration *associators(CMCIClient *cl, CMPIObjectPath *op, const char *assoc_class, const char *result_class,
                             const char *role, const char *result_role, CMPIFlags flags, char **properties,
                             CMPIStatus *rc) {
  return association(cl, Operation::Associators, op, assoc_class, result_class, role, result_role, flags, properties,
                     rc);
}

CMPIEnumeration *associator_names(CMCIClient *cl, CMPIObjectPath *op, const char *assoc_class,
                                  const char *result_class, const char *role, const char *result_role,
                                  CMPIStatus *rc) {
  return association(cl, Operation::AssociatorNames, op, assoc_class, result_class, role, result_role, 0, nullptr,
                     rc);
}

CMPIEnumeration *references(CMCIClient *cl, CMPIObjectPath *op, const char *result_class, const char *role,
                            CMPIFlags flags, char **properties, CMPIStatus *rc) {
  return association(cl, Operation::References, op, nullptr, result_class, role, nullptr, flags, properties, rc);
}

CMPIEnumeration *reference_names(CMCIClient *cl, CMPIObjectPath *op, const char *result_class, const char *role,
                                 CMPIStatus *rc) {
  return association(cl, Operation::ReferenceNames, op, nullptr, result_class, role, nullptr, 0, nullptr, rc);
}

CMPIData invoke_method(CMCIClient *cl, CMPIObjectPath *op, const char *method, CMPIArgs *in, CMPIArgs *out,
                       CMPIStatus *rc) {
  return run(cl, op, rc, null_data(), [&](Client *c, const std::string &id) {
    if (method == nullptr || *method == '\0') throw Failure{CMPI_RC_ERR_INVALID_PARAMETER, "no method name"};
    RequestWriter w(id, method, op);
    if (in != nullptr) {
      const CMPICount n = in->ft->getArgCount(in, nullptr);
      for (CMPICount i = 0; i < n; ++i) {
        CMPIString *name = nullptr;
        const CMPIData d = in->ft->getArgAt(in, i, &name, nullptr);
        const std::string arg = take(name);
        w.add_param(arg, d);
      }
    }
    cimxml::Response r = exchange(c, method, cimxml::cimobject_for_path(op), w.finish());
    if (out != nullptr) {
      for (const cimxml::ParamValue &p : r.out_params) {
        const CMPIData &d = p.value.data();
        out->ft->addArg(out, p.name.c_str(), (d.state & CMPI_nullValue) ? nullptr : &d.value, d.type);
      }
    }
    c->last_value = std::move(r.return_value.value);
    return r.has_return_value ? c->last_value.data() : null_data();
  });
}

CMPIStatus set_property(CMCIClient *cl, CMPIObjectPath *op, const char *name, CMPIValue *value, CMPIType type) {
  return status_only(cl, op, [&](Client *c, const std::string &id) {
    if (name == nullptr || *name == '\0') throw Failure{CMPI_RC_ERR_INVALID_PARAMETER, "no property name"};
    CMPIData d = null_data();
    d.type = type;
    if (value != nullptr) {
      d.state = CMPI_goodValue;
      d.value = *value;
    }
    RequestWriter w(id, Operation::SetProperty, ns_of(op));
    w.add_instance_name("InstanceName", op);
    w.add_string("PropertyName", name);
    if (value != nullptr) w.add_value("NewValue", d);
    intrinsic(c, w, Operation::SetProperty, op);
  });
}

CMPIData get_property(CMCIClient *cl, CMPIObjectPath *op, const char *name, CMPIStatus *rc) {
  return run(cl, op, rc, null_data(), [&](Client *c, const std::string &id) {
    if (name == nullptr || *name == '\0') throw Failure{CMPI_RC_ERR_INVALID_PARAMETER, "no property name"};
    RequestWriter w(id, Operation::GetProperty, ns_of(op));
    w.add_instance_name("InstanceName", op);
    w.add_string("PropertyName", name);
    cimxml::Response r = intrinsic(c, w, Operation::GetProperty, op);
    c->last_value = std::move(r.value);
    return c->last_value.data();
  });
}

CMCIClientFT client_ft = {1,
                          release,
                          clone,
                          get_class,
                          enum_class_names,
                          enum_classes,
                          get_instance,
                          create_instance,
                          set_instance,
                          delete_instance,
                          exec_query,
                          enum_instance_names,
                          enum_instances,
                          associators,
                          associator_names,
                          references,
                          reference_names,
                          invoke_method,
                          set_property,
                          get_property};

CMCIClient *new_client(const Endpoint &ep, CMPIStatus *rc) {
  auto *c = new (std::nothrow) Client();
  if (c == nullptr) {
    set_status(rc, CMPI_RC_ERR_FAILED, "out of memory");
    return nullptr;
  }
  c->ep = ep;
  c->pub.hdl = c;
  c->pub.ft = &client_ft;
  set_status(rc, CMPI_RC_OK);
  return &c->pub;
}

bool given(const char *s) { return s != nullptr && *s != '\0'; }

/* A host name or address, as the URL takes it: letters, digits, '.', '-', ':' (IPv6). */
bool valid_host(const std::string &h) {
  if (h.empty() || h.size() > 253) return false;
  for (char ch : h)
    if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '.' && ch != '-' && ch != ':') return false;
  return true;
}

/* A decimal port number from 1 to 65535. */
bool valid_port(const std::string &p) {
  if (p.empty() || p.size() > 5) return false;
  for (char ch : p)
    if (!std::isdigit(static_cast<unsigned char>(ch))) return false;
  const long n = std::stol(p);
  return n >= 1 && n <= 65535;
}

}  // namespace

}  // namespace cimclient

CMCI_API CMCIClient *cmciConnect2(const char *hn, const char *scheme, const char *port, const char *user,
                                  const char *pwd, int verifyMode, const char *trustStore, const char *certFile,
                                  const char *keyFile, CMPIStatus *rc) {
  using namespace cimclient;
  const std::string s = given(scheme) ? scheme : "http";
  if (!cimxml::iequals(s, "http") && !cimxml::iequals(s, "https")) {
    set_status(rc, CMPI_RC_ERR_INVALID_PARAMETER, "unknown scheme " + s);
    return nullptr;
  }
  Endpoint ep;
  ep.https = cimxml::iequals(s, "https");
  std::string host = given(hn) ? hn : "localhost";
  const std::string p = given(port) ? port : (ep.https ? "5989" : "5988");
  if (!valid_host(host) || !valid_port(p)) {
    set_status(rc, CMPI_RC_ERR_INVALID_PARAMETER, "not a host and port: " + host + " " + p);
    return nullptr;
  }
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  ep.url = (ep.https ? "https://" : "http://") + host + ":" + p + "/cimom";
  ep.has_user = user != nullptr;
  ep.user = user != nullptr ? user : "";
  ep.password = pwd != nullptr ? pwd : "";
  ep.verify_peer = verifyMode != CMCI_VERIFY_NONE;
  ep.trust_store = given(trustStore) ? trustStore : "";
  ep.cert_file = given(certFile) ? certFile : "";
  ep.key_file = given(keyFile) ? keyFile : "";
  return new_client(ep, rc);
}

CMCI_API CMCIClient *cmciConnect(const char *hn, const char *scheme, const char *port, const char *user,
                                 const char *pwd, CMPIStatus *rc) {
  return cmciConnect2(hn, scheme, port, user, pwd, CMCI_VERIFY_PEER, nullptr, nullptr, nullptr, rc);
}
