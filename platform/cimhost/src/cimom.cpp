/* The object manager proper: routing of CIM operations and broker up-calls (see cimom.h). */
#include "cimom.h"

#include <cimxml/http.h>
#include <cimxml/xml.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>

#include "log.h"
#include "request_context.h"
#include "wql.h"

namespace cimhost {

using cimxml::Error;

namespace {

/* Attributes a start tag of a request may carry (CIM-XML elements have a
 * handful). */
constexpr size_t kMaxAttributes = 32;

/* ------------------------------------------------------------- helpers */

Outcome fail(CMPIrc rc, const std::string &message) { return Outcome{rc, message}; }

Outcome from_status(const CMPIStatus &st) {
  Outcome o;
  o.rc = st.rc;
  if (st.msg != nullptr && st.msg->ft != nullptr) {
    const char *m = st.msg->ft->getCharPtr(st.msg, nullptr);
    if (m != nullptr) o.message = m;
  }
  return o;
}

void check(const Outcome &o) {
  if (!o.ok()) throw Error(o.rc, o.message);
}

std::string path_ns(const CMPIObjectPath *op) { return cimxml::cmpi_text(op->ft->getNameSpace(op, nullptr)); }
std::string path_class(const CMPIObjectPath *op) { return cimxml::cmpi_text(op->ft->getClassName(op, nullptr)); }
unsigned key_count(const CMPIObjectPath *op) { return op->ft->getKeyCount(op, nullptr); }


/* A caller-owned copy of `op` naming class `cls` in `ns` (when non-empty). */
cimxml::PathPtr copy_path(const CMPIObjectPath *op, const std::string &cls, const std::string &ns = "") {
  cimxml::PathPtr p(op->ft->clone(op, nullptr));
  if (!p) throw Error(CMPI_RC_ERR_FAILED, "cannot copy an object path");
  if (!cls.empty()) p->ft->setClassName(p.get(), cls.c_str());
  if (!ns.empty()) p->ft->setNameSpace(p.get(), ns.c_str());
  return p;
}

cimxml::PathPtr class_path(const std::string &ns, const std::string &cls) {
  cimxml::PathPtr p(newCMPIObjectPath(ns.c_str(), cls.c_str(), nullptr));
  if (!p) throw Error(CMPI_RC_ERR_FAILED, "cannot create an object path");
  return p;
}

class ResultHolder {
 public:
  ResultHolder() : r_(cmpinative::new_result()) {}
  ~ResultHolder() {
    if (r_ != nullptr) r_->ft->release(r_);
  }
  ResultHolder(const ResultHolder &) = delete;
  ResultHolder &operator=(const ResultHolder &) = delete;
  const CMPIResult *get() const { return r_; }
  const cmpinative::ResultContents &contents() const { return cmpinative::result_contents(r_); }

 private:
  CMPIResult *r_;
};

class ContextHolder {
 public:
  ContextHolder(const std::string &ns, unsigned flags, const std::string &principal) : c_(native_new_CMPIContext()) {
    if (c_ == nullptr) throw Error(CMPI_RC_ERR_FAILED, "cannot create a context");
    CMPIValue v;
    v.uint32 = flags;
    c_->ft->addEntry(c_, CMPIInvocationFlags, &v, CMPI_uint32);
    add_string(CMPIInitNameSpace, ns);
    add_string(CMPIPrincipal, principal);
  }
  ~ContextHolder() { c_->ft->release(c_); }
  ContextHolder(const ContextHolder &) = delete;
  ContextHolder &operator=(const ContextHolder &) = delete;
  const CMPIContext *get() const { return c_; }

 private:
  void add_string(const char *name, const std::string &text) {
    CMPIValue v;
    v.string = native_new_CMPIString(text.c_str(), nullptr);
    c_->ft->addEntry(c_, name, &v, CMPI_string);
    v.string->ft->release(v.string);
  }
  CMPIContext *c_;
};

unsigned flags_of(const cimxml::Request &r) {
  unsigned f = 0;
  if (r.local_only) f |= CMPI_FLAG_LocalOnly;
  if (r.deep_inheritance) f |= CMPI_FLAG_DeepInheritance;
  if (r.include_qualifiers) f |= CMPI_FLAG_IncludeQualifiers;
  if (r.include_class_origin) f |= CMPI_FLAG_IncludeClassOrigin;
  return f;
}

const char *nz(const std::string &s) { return s.empty() ? nullptr : s.c_str(); }
bool given(const char *s) { return s != nullptr && *s != '\0'; }

/* Runs one MI call, turning escaping exceptions into a failure. */
template <class F>
Outcome guarded(const std::string &what, F &&f) {
  try {
    return from_status(f());
  } catch (const std::exception &e) {
    return fail(CMPI_RC_ERR_FAILED, what + " failed: " + e.what());
  } catch (...) {
    return fail(CMPI_RC_ERR_FAILED, what + " failed");
  }
}

}  // namespace

/* ------------------------------------------------------------- set-up */

Cimom::Cimom(std::unique_ptr<Repository> repo, std::vector<std::string> provider_dirs, ProviderOptions options)
    : repo_(std::move(repo)) {
  broker_ = cmpinative::new_broker(this, "cimhost");
  providers_ = std::make_unique<ProviderManager>(std::move(provider_dirs), broker_, this, std::move(options));
}

Cimom::~Cimom() {
  providers_.reset();
  cmpinative::delete_broker(broker_);
}

void Cimom::shutdown(std::chrono::steady_clock::duration wait) { providers_->shutdown(wait); }

CMPIStatus Cimom::to_status(const Outcome &o) {
  CMPIStatus st = {o.rc, nullptr};
  if (!o.message.empty()) st.msg = broker_->eft->newString(broker_, o.message.c_str(), nullptr);
  return st;
}

/* ------------------------------------------------------------ routing */

Outcome Cimom::enum_names(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIResult *out) {
  const std::string ns = path_ns(op), cls = path_class(op);
  if (!repo_->has_namespace(ns)) return fail(CMPI_RC_ERR_INVALID_NAMESPACE, "no namespace " + ns);
  if (!repo_->get_class(ns, cls)) return fail(CMPI_RC_ERR_INVALID_CLASS, "no class " + cls + " in " + ns);
  for (const Registration *reg : repo_->providers_below(ns, cls, kInstanceProvider)) {
    std::string err;
    Lease l = providers_->acquire(*reg, MiKind::Instance, &err);
    if (!l) return fail(CMPI_RC_ERR_FAILED, err);
    cimxml::PathPtr p = copy_path(op, reg->class_name);
    Outcome o = guarded(reg->provider, [&] {
      return l.instance()->ft->enumerateInstanceNames(l.instance(), ctx, out, p.get());
    });
    if (o.rc == CMPI_RC_ERR_NOT_SUPPORTED && !cimxml::iequals(reg->class_name, cls)) continue;
    if (!o.ok()) return o;
  }
  return Outcome{};
}

Outcome Cimom::enum_instances(const CMPIContext *ctx, const CMPIObjectPath *op, const char **props,
                              const CMPIResult *out) {
  const std::string ns = path_ns(op), cls = path_class(op);
  if (!repo_->has_namespace(ns)) return fail(CMPI_RC_ERR_INVALID_NAMESPACE, "no namespace " + ns);
  if (!repo_->get_class(ns, cls)) return fail(CMPI_RC_ERR_INVALID_CLASS, "no class " + cls + " in " + ns);
  for (const Registration *reg : repo_->providers_below(ns, cls, kInstanceProvider)) {
    std::string err;
    Lease l = providers_->acquire(*reg, MiKind::Instance, &err);
    if (!l) return fail(CMPI_RC_ERR_FAILED, err);
    cimxml::PathPtr p = copy_path(op, reg->class_name);
    Outcome o = guarded(reg->provider, [&] {
      return l.instance()->ft->enumerateInstances(l.instance(), ctx, out, p.get(), props);
    });
    if (o.rc == CMPI_RC_ERR_NOT_SUPPORTED && !cimxml::iequals(reg->class_name, cls)) continue;
    if (!o.ok()) return o;
  }
  return Outcome{};
}

Outcome Cimom::get_instance(const CMPIContext *ctx, const CMPIObjectPath *op, const char **props,
                            const CMPIResult *out) {
  const std::string ns = path_ns(op), cls = path_class(op);
  if (!repo_->has_namespace(ns)) return fail(CMPI_RC_ERR_INVALID_NAMESPACE, "no namespace " + ns);
  const cimxml::ClassDecl *decl = repo_->get_class(ns, cls);
  if (decl == nullptr) return fail(CMPI_RC_ERR_INVALID_CLASS, "no class " + cls + " in " + ns);
  cimxml::PathPtr typed;
  try {
    typed = cimxml::retype_path(op, *decl);
  } catch (const Error &e) {
    return fail(e.code(), e.what());
  }
  std::vector<const Registration *> regs;
  if (const Registration *own = repo_->provider_for(ns, cls, kInstanceProvider)) regs.push_back(own);
  else regs = repo_->providers_below(ns, cls, kInstanceProvider);
  Outcome first;
  for (const Registration *reg : regs) {
    std::string err;
    Lease l = providers_->acquire(*reg, MiKind::Instance, &err);
    if (!l) return fail(CMPI_RC_ERR_FAILED, err);
    cimxml::PathPtr p = copy_path(typed.get(), reg->class_name);
    /* Each provider answers into a result of its own, so that only a found
     * instance reaches `out`. */
    ResultHolder r;
    Outcome o = guarded(reg->provider, [&] {
      return l.instance()->ft->getInstance(l.instance(), ctx, r.get(), p.get(), props);
    });
    /* Providers hand instances back with returnInstance or as data. */
    const CMPIInstance *found = r.contents().instances.empty() ? nullptr : r.contents().instances.front();
    for (const CMPIData &d : r.contents().data)
      if (found == nullptr && d.type == CMPI_instance && !(d.state & CMPI_nullValue)) found = d.value.inst;
    if (o.ok() && found != nullptr) {
      out->ft->returnInstance(out, found);
      out->ft->returnDone(out);
      return o;
    }
    if (first.ok() && !o.ok()) first = o;
  }
  if (!first.ok()) return first;
  return fail(CMPI_RC_ERR_NOT_FOUND, "no instance " + cimxml::path_to_text(op));
}

Outcome Cimom::create_instance(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIInstance *inst,
                               const CMPIResult *out) {
  const std::string ns = path_ns(op), cls = path_class(op);
  if (!repo_->has_namespace(ns)) return fail(CMPI_RC_ERR_INVALID_NAMESPACE, "no namespace " + ns);
  if (!repo_->get_class(ns, cls)) return fail(CMPI_RC_ERR_INVALID_CLASS, "no class " + cls + " in " + ns);
  const Registration *reg = repo_->provider_upward(ns, cls, kInstanceProvider);
  if (reg == nullptr) return fail(CMPI_RC_ERR_NOT_SUPPORTED, "no instance provider for " + cls);
  std::string err;
  Lease l = providers_->acquire(*reg, MiKind::Instance, &err);
  if (!l) return fail(CMPI_RC_ERR_FAILED, err);
  return guarded(reg->provider, [&] { return l.instance()->ft->createInstance(l.instance(), ctx, out, op, inst); });
}

Outcome Cimom::modify_instance(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIInstance *inst,
                               const char **props) {
  const std::string ns = path_ns(op), cls = path_class(op);
  if (!repo_->has_namespace(ns)) return fail(CMPI_RC_ERR_INVALID_NAMESPACE, "no namespace " + ns);
  if (!repo_->get_class(ns, cls)) return fail(CMPI_RC_ERR_INVALID_CLASS, "no class " + cls + " in " + ns);
  const Registration *reg = repo_->provider_upward(ns, cls, kInstanceProvider);
  if (reg == nullptr) return fail(CMPI_RC_ERR_NOT_SUPPORTED, "no instance provider for " + cls);
  std::string err;
  Lease l = providers_->acquire(*reg, MiKind::Instance, &err);
  if (!l) return fail(CMPI_RC_ERR_FAILED, err);
  ResultHolder r;
  return guarded(reg->provider,
                 [&] { return l.instance()->ft->modifyInstance(l.instance(), ctx, r.get(), op, inst, props); });
}

Outcome Cimom::delete_instance(const CMPIContext *ctx, const CMPIObjectPath *op) {
  const std::string ns = path_ns(op), cls = path_class(op);
  if (!repo_->has_namespace(ns)) return fail(CMPI_RC_ERR_INVALID_NAMESPACE, "no namespace " + ns);
  if (!repo_->get_class(ns, cls)) return fail(CMPI_RC_ERR_INVALID_CLASS, "no class " + cls + " in " + ns);
  const Registration *reg = repo_->provider_upward(ns, cls, kInstanceProvider);
  if (reg == nullptr) return fail(CMPI_RC_ERR_NOT_SUPPORTED, "no instance provider for " + cls);
  std::string err;
  Lease l = providers_->acquire(*reg, MiKind::Instance, &err);
  if (!l) return fail(CMPI_RC_ERR_FAILED, err);
  ResultHolder r;
  return guarded(reg->provider, [&] { return l.instance()->ft->deleteInstance(l.instance(), ctx, r.get(), op); });
}

Outcome Cimom::exec_query(const CMPIContext *ctx, const CMPIObjectPath *op, const std::string &query,
                          const std::string &lang, const CMPIResult *out) {
  const std::string ns = path_ns(op);
  if (!repo_->has_namespace(ns)) return fail(CMPI_RC_ERR_INVALID_NAMESPACE, "no namespace " + ns);
  if (!cimxml::iequals(lang, "WQL") && !cimxml::iequals(lang, "CQL") && !cimxml::iequals(lang, "DMTF:CQL"))
    return fail(CMPI_RC_ERR_QUERY_LANGUAGE_NOT_SUPPORTED, "query language " + lang + " is not supported");
  WqlQuery q;
  try {
    q = WqlQuery::parse(query);
  } catch (const QueryError &e) {
    return fail(CMPI_RC_ERR_INVALID_QUERY, e.what());
  }
  const cimxml::ClassDecl *decl = repo_->get_class(ns, q.class_name());
  if (decl == nullptr) return fail(CMPI_RC_ERR_INVALID_CLASS, "no class " + q.class_name() + " in " + ns);
  for (const Registration *reg : repo_->providers_below(ns, decl->name, kInstanceProvider)) {
    std::string err;
    Lease l = providers_->acquire(*reg, MiKind::Instance, &err);
    if (!l) return fail(CMPI_RC_ERR_FAILED, err);
    cimxml::PathPtr p = class_path(ns, reg->class_name);
    Outcome o = guarded(reg->provider, [&] {
      return l.instance()->ft->execQuery(l.instance(), ctx, out, p.get(), query.c_str(), lang.c_str());
    });
    if (o.rc != CMPI_RC_ERR_NOT_SUPPORTED) {
      if (!o.ok()) return o;
      continue;
    }
    /* The provider leaves the query to the CIMOM: enumerate and filter. */
    ResultHolder r;
    o = guarded(reg->provider, [&] {
      return l.instance()->ft->enumerateInstances(l.instance(), ctx, r.get(), p.get(), nullptr);
    });
    if (o.rc == CMPI_RC_ERR_NOT_SUPPORTED && !cimxml::iequals(reg->class_name, decl->name)) continue;
    if (!o.ok()) return o;
    for (CMPIInstance *inst : r.contents().instances) {
      if (q.matches(inst)) out->ft->returnInstance(out, inst);
    }
  }
  out->ft->returnDone(out);
  return Outcome{};
}

struct Cimom::Assoc {
  enum Kind { Associators, AssociatorNames, References, ReferenceNames } kind;
  const char *assoc_class = nullptr;
  const char *result_class = nullptr;
  const char *role = nullptr;
  const char *result_role = nullptr;
  const char **props = nullptr;
};

Outcome Cimom::association(const Assoc &a, const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIResult *out) {
  const std::string ns = path_ns(op), cls = path_class(op);
  if (!repo_->has_namespace(ns)) return fail(CMPI_RC_ERR_INVALID_NAMESPACE, "no namespace " + ns);
  if (!repo_->get_class(ns, cls)) return fail(CMPI_RC_ERR_INVALID_CLASS, "no class " + cls + " in " + ns);
  const bool assoc_kind = a.kind == Assoc::Associators || a.kind == Assoc::AssociatorNames;
  const char *filter = assoc_kind ? a.assoc_class : a.result_class;
  if (given(filter) && !repo_->get_class(ns, filter)) return Outcome{}; /* nothing can match */
  std::set<std::string> called;
  for (const Registration *reg : repo_->registrations(ns, kAssociationProvider)) {
    const cimxml::ClassDecl *A = repo_->get_class(ns, reg->class_name);
    if (A == nullptr) continue;
    if (given(filter) && !repo_->is_a(ns, A->name, filter)) continue;
    /* Only association classes that can refer to the source object. */
    bool refers = false, has_refs = false;
    for (const cimxml::PropertyDecl &p : A->properties) {
      if (p.type != cimxml::CimType::Reference) continue;
      has_refs = true;
      if (given(a.role) && !cimxml::iequals(p.name, a.role)) continue;
      if (p.reference_class.empty() || repo_->is_a(ns, cls, p.reference_class) ||
          repo_->is_a(ns, p.reference_class, cls))
        refers = true;
    }
    if (has_refs && !refers) continue;
    if (!called.insert(reg->location + "/" + reg->provider).second) continue;
    std::string err;
    Lease l = providers_->acquire(*reg, MiKind::Association, &err);
    if (!l) return fail(CMPI_RC_ERR_FAILED, err);
    CMPIAssociationMI *mi = l.association();
    Outcome o = guarded(reg->provider, [&] {
      switch (a.kind) {
        case Assoc::Associators:
          return mi->ft->associators(mi, ctx, out, op, a.assoc_class, a.result_class, a.role, a.result_role,
                                     a.props);
        case Assoc::AssociatorNames:
          return mi->ft->associatorNames(mi, ctx, out, op, a.assoc_class, a.result_class, a.role, a.result_role);
        case Assoc::References:
          return mi->ft->references(mi, ctx, out, op, a.result_class, a.role, a.props);
        case Assoc::ReferenceNames:
        default:
          return mi->ft->referenceNames(mi, ctx, out, op, a.result_class, a.role);
      }
    });
    if (o.rc == CMPI_RC_ERR_NOT_SUPPORTED) continue;
    if (!o.ok()) return o;
  }
  return Outcome{};
}

Outcome Cimom::invoke(const CMPIContext *ctx, const CMPIObjectPath *op, const char *method, const CMPIArgs *in,
                      CMPIArgs *out_args, const CMPIResult *out) {
  const std::string ns = path_ns(op), cls = path_class(op);
  if (!repo_->has_namespace(ns)) return fail(CMPI_RC_ERR_INVALID_NAMESPACE, "no namespace " + ns);
  if (!repo_->get_class(ns, cls)) return fail(CMPI_RC_ERR_INVALID_CLASS, "no class " + cls + " in " + ns);
  const Registration *reg = repo_->provider_upward(ns, cls, kMethodProvider);
  if (reg == nullptr) return fail(CMPI_RC_ERR_NOT_SUPPORTED, "no method provider for " + cls);
  std::string err;
  Lease l = providers_->acquire(*reg, MiKind::Method, &err);
  if (!l) return fail(CMPI_RC_ERR_FAILED, err);
  return guarded(reg->provider,
                 [&] { return l.method()->ft->invokeMethod(l.method(), ctx, out, op, method, in, out_args); });
}

/* ---------------------------------------------------- broker up-calls */

CMPIStatus Cimom::enumerateInstanceNames(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIResult *out) {
  return to_status(enum_names(ctx, op, out));
}
CMPIStatus Cimom::enumerateInstances(const CMPIContext *ctx, const CMPIObjectPath *op, const char **properties,
                                     const CMPIResult *out) {
  return to_status(enum_instances(ctx, op, properties, out));
}
CMPIStatus Cimom::getInstance(const CMPIContext *ctx, const CMPIObjectPath *op, const char **properties,
                              const CMPIResult *out) {
  return to_status(get_instance(ctx, op, properties, out));
}
CMPIStatus Cimom::createInstance(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIInstance *inst,
                                 const CMPIResult *out) {
  return to_status(create_instance(ctx, op, inst, out));
}
CMPIStatus Cimom::modifyInstance(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIInstance *inst,
                                 const char **properties) {
  return to_status(modify_instance(ctx, op, inst, properties));
}
CMPIStatus Cimom::deleteInstance(const CMPIContext *ctx, const CMPIObjectPath *op) {
  return to_status(delete_instance(ctx, op));
}
CMPIStatus Cimom::execQuery(const CMPIContext *ctx, const CMPIObjectPath *op, const char *query, const char *lang,
                            const CMPIResult *out) {
  return to_status(exec_query(ctx, op, query != nullptr ? query : "", lang != nullptr ? lang : "", out));
}
CMPIStatus Cimom::associators(const CMPIContext *ctx, const CMPIObjectPath *op, const char *assocClass,
                              const char *resultClass, const char *role, const char *resultRole,
                              const char **properties, const CMPIResult *out) {
  Assoc a{Assoc::Associators, assocClass, resultClass, role, resultRole, properties};
  return to_status(association(a, ctx, op, out));
}
CMPIStatus Cimom::associatorNames(const CMPIContext *ctx, const CMPIObjectPath *op, const char *assocClass,
                                  const char *resultClass, const char *role, const char *resultRole,
                                  const CMPIResult *out) {
  Assoc a{Assoc::AssociatorNames, assocClass, resultClass, role, resultRole, nullptr};
  return to_status(association(a, ctx, op, out));
}
CMPIStatus Cimom::references(const CMPIContext *ctx, const CMPIObjectPath *op, const char *resultClass,
                             const char *role, const char **properties, const CMPIResult *out) {
  Assoc a{Assoc::References, nullptr, resultClass, role, nullptr, properties};
  return to_status(association(a, ctx, op, out));
}
CMPIStatus Cimom::referenceNames(const CMPIContext *ctx, const CMPIObjectPath *op, const char *resultClass,
                                 const char *role, const CMPIResult *out) {
  Assoc a{Assoc::ReferenceNames, nullptr, resultClass, role, nullptr, nullptr};
  return to_status(association(a, ctx, op, out));
}
CMPIStatus Cimom::invokeMethod(const CMPIContext *ctx, const CMPIObjectPath *op, const char *method,
                               const CMPIArgs *in, CMPIArgs *outArgs, const CMPIResult *out) {
  return to_status(invoke(ctx, op, method, in, outArgs, out));
}
bool Cimom::classExists(const char *ns, const char *cn) {
  return ns != nullptr && cn != nullptr && repo_->get_class(ns, cn) != nullptr;
}
bool Cimom::classIsA(const char *ns, const char *cn, const char *type) {
  if (cn == nullptr || type == nullptr) return false;
  if (cimxml::iequals(cn, type)) return true;
  return ns != nullptr && repo_->is_a(ns, cn, type);
}

/* -------------------------------------------------------- client side */

namespace {

/* The object path a response shows for an instance: its own, with the keys
 * its class declares when the provider left them out, and the request's
 * namespace when it has none. `own` holds a copy when one had to be made. */
const CMPIObjectPath *instance_path(const CMPIInstance *inst, const std::string &ns, const Repository &repo,
                                    cimxml::PathPtr *own) {
  const CMPIObjectPath *p = inst->ft->getObjectPath(inst, nullptr);
  if (p == nullptr) throw Error(CMPI_RC_ERR_FAILED, "an instance without an object path");
  const std::string own_ns = path_ns(p);
  const std::string where = own_ns.empty() ? ns : own_ns;
  if (key_count(p) == 0) {
    const cimxml::ClassDecl *decl = repo.get_class(where, path_class(p));
    if (decl != nullptr && !decl->key_names().empty()) {
      try {
        *own = cimxml::instance_path_from_class(inst, *decl, where);
        return own->get();
      } catch (const Error &) {
        /* keep the provider's path */
      }
    }
  }
  if (own_ns.empty()) {
    *own = copy_path(p, "", ns);
    return own->get();
  }
  return p;
}

/* Names of `cls`'s properties, as a property list. */
std::vector<std::string> property_names(const cimxml::ClassDecl &cls) {
  std::vector<std::string> out;
  for (const auto &p : cls.properties) out.push_back(p.name);
  return out;
}

std::vector<std::string> intersect(const std::vector<std::string> &a, const std::vector<std::string> &b) {
  std::vector<std::string> out;
  for (const std::string &x : a)
    for (const std::string &y : b)
      if (cimxml::iequals(x, y)) {
        out.push_back(x);
        break;
      }
  return out;
}

}  // namespace

std::string Cimom::execute(cimxml::Request &req, const std::string &principal) {
  try {
    return run(req, principal);
  } catch (const Error &e) {
    return cimxml::ResponseWriter::error(req.message_id, req.method, req.intrinsic, e.code(), e.what());
  } catch (const std::exception &e) {
    return cimxml::ResponseWriter::error(req.message_id, req.method, req.intrinsic, CMPI_RC_ERR_FAILED, e.what());
  }
}

std::string Cimom::run(cimxml::Request &req, const std::string &principal) {
  using cimxml::Operation;
  cmpinative::RequestScope scope;
  const std::string &ns = req.name_space;
  if (!repo_->has_namespace(ns)) throw Error(CMPI_RC_ERR_INVALID_NAMESPACE, "namespace " + ns + " does not exist");
  auto need_class = [&](const std::string &name) -> const cimxml::ClassDecl * {
    if (name.empty()) throw Error(CMPI_RC_ERR_INVALID_PARAMETER, "no class name given");
    const cimxml::ClassDecl *c = repo_->get_class(ns, name);
    if (c == nullptr) throw Error(CMPI_RC_ERR_INVALID_CLASS, "class " + name + " does not exist in " + ns);
    return c;
  };
  ContextHolder ctx(ns, flags_of(req), principal);
  cimxml::ResponseWriter w(req.message_id, req.method, req.intrinsic);
  w.set_default_host(host_);
  w.set_default_namespace(ns);
  const std::vector<const char *> argv = req.property_argv();
  const char **props = argv.empty() ? nullptr : const_cast<const char **>(argv.data());
  cimxml::ClassOptions copts;
  copts.local_only = req.local_only;
  copts.include_qualifiers = req.include_qualifiers;
  copts.include_class_origin = req.include_class_origin;
  copts.property_list = req.property_list ? &*req.property_list : nullptr;
  /* An answer's instances are mostly of one class: its declaration is looked up once. */
  std::string last_class;
  const cimxml::ClassDecl *last_decl = nullptr;
  auto inst_opts = [&](const CMPIInstance *inst, const std::vector<std::string> *plist) {
    cimxml::InstanceOptions o;
    o.property_list = plist;
    o.include_qualifiers = req.include_qualifiers;
    o.include_class_origin = req.include_class_origin;
    std::string cn = cimxml::instance_class(inst);
    if (last_decl == nullptr || cn != last_class) {
      last_decl = repo_->get_class(ns, cn);
      last_class = std::move(cn);
    }
    o.cls = last_decl;
    return o;
  };

  if (!req.intrinsic) {
    /* ---------------------------------------------- extrinsic method */
    const cimxml::ClassDecl *cls = need_class(path_class(req.target.get()));
    cimxml::PathPtr target =
        req.target_is_class ? copy_path(req.target.get(), cls->name) : cimxml::retype_path(req.target.get(), *cls);
    const cimxml::MethodDecl *m = cls->method(req.method);
    if (m != nullptr) cimxml::apply_signature(req.params, *m);
    cimxml::ArgsPtr in = cimxml::make_args(req.params);
    cimxml::ArgsPtr out_args(native_new_CMPIArgs(nullptr));
    ResultHolder r;
    check(invoke(ctx.get(), target.get(), req.method.c_str(), in.get(), out_args.get(), r.get()));
    const auto &c = r.contents();
    if (!c.data.empty()) {
      const CMPIData &rv = c.data.front();
      cimxml::CimType want;
      bool want_array = false;
      cimxml::CimType have;
      if (m != nullptr && cimxml::from_cmpi(rv.type, &have, &want_array) && have != m->return_type &&
          !(rv.state & CMPI_nullValue)) {
        want = m->return_type;
        try {
          cimxml::Value conv = cimxml::convert_value(rv, want, false, "return value");
          w.set_return_value(conv.data());
        } catch (const Error &) {
          w.set_return_value(rv);
        }
      } else {
        w.set_return_value(rv);
      }
    }
    for (cimxml::ParamValue &p : cimxml::params_from_args(out_args.get())) {
      const cimxml::ParameterDecl *decl = m != nullptr ? m->parameter(p.name) : nullptr;
      cimxml::CimType have;
      bool is_array = false;
      if (decl != nullptr && !p.value.is_null() && cimxml::from_cmpi(p.value.type(), &have, &is_array) &&
          have != decl->type && decl->type != cimxml::CimType::Reference) {
        try {
          cimxml::Value conv = cimxml::convert_value(p.value.data(), decl->type, decl->is_array, p.name);
          w.add_out_param(decl->name, conv.data());
          continue;
        } catch (const Error &) {
        }
      }
      w.add_out_param(decl != nullptr ? decl->name : p.name, p.value.data());
    }
    return w.finish();
  }

  switch (req.op) {
    case Operation::GetClass: {
      w.add_class(*need_class(req.class_name), copts);
      break;
    }
    case Operation::EnumerateClasses:
    case Operation::EnumerateClassNames: {
      if (!req.class_name.empty()) need_class(req.class_name);
      for (const cimxml::ClassDecl *c : repo_->classes(ns, req.class_name, req.deep_inheritance)) {
        if (req.op == Operation::EnumerateClasses) w.add_class(*c, copts);
        else w.add_class_name(c->name);
      }
      break;
    }
    case Operation::GetInstance: {
      need_class(path_class(req.instance_name.get()));
      ResultHolder r;
      check(get_instance(ctx.get(), req.instance_name.get(), props, r.get()));
      const auto &c = r.contents();
      const CMPIInstance *inst = nullptr;
      if (!c.instances.empty()) inst = c.instances.front();
      else
        for (const CMPIData &d : c.data)
          if (d.type == CMPI_instance && !(d.state & CMPI_nullValue)) inst = d.value.inst;
      if (inst == nullptr) throw Error(CMPI_RC_ERR_NOT_FOUND, "the provider returned no instance");
      w.add_instance(inst, inst_opts(inst, copts.property_list));
      break;
    }
    case Operation::EnumerateInstances: {
      const cimxml::ClassDecl *cls = need_class(req.class_name);
      cimxml::PathPtr op = class_path(ns, cls->name);
      ResultHolder r;
      check(enum_instances(ctx.get(), op.get(), props, r.get()));
      /* Without deep inheritance only the properties of the class asked for. */
      const std::vector<std::string> shallow =
          req.property_list ? intersect(*req.property_list, property_names(*cls)) : property_names(*cls);
      /* A provider registered for a class and for classes below it may be asked for each and
       * return an instance more than once: it is answered once. */
      std::set<std::string> seen;
      auto emit = [&](const CMPIInstance *inst) {
        const bool sub = !cimxml::iequals(cimxml::instance_class(inst), cls->name);
        const std::vector<std::string> *plist = (!req.deep_inheritance && sub) ? &shallow : copts.property_list;
        cimxml::PathPtr own;
        const CMPIObjectPath *path = instance_path(inst, ns, *repo_, &own);
        if (!seen.insert(cimxml::path_to_text(path)).second) return;
        w.add_named_instance(inst, path, inst_opts(inst, plist));
      };
      for (const CMPIInstance *inst : r.contents().instances) emit(inst);
      for (const CMPIData &d : r.contents().data)
        if (d.type == CMPI_instance && !(d.state & CMPI_nullValue)) emit(d.value.inst);
      break;
    }
    case Operation::EnumerateInstanceNames: {
      const cimxml::ClassDecl *cls = need_class(req.class_name);
      cimxml::PathPtr op = class_path(ns, cls->name);
      ResultHolder r;
      check(enum_names(ctx.get(), op.get(), r.get()));
      std::set<std::string> seen; /* each name once, as instances above */
      auto emit = [&](const CMPIObjectPath *p) {
        if (seen.insert(cimxml::path_to_text(p)).second) w.add_instance_name(p);
      };
      for (const CMPIObjectPath *p : r.contents().paths) emit(p);
      for (const CMPIData &d : r.contents().data)
        if (d.type == CMPI_ref && !(d.state & CMPI_nullValue)) emit(d.value.ref);
      break;
    }
    case Operation::CreateInstance: {
      if (!req.instance) throw Error(CMPI_RC_ERR_INVALID_PARAMETER, "no NewInstance given");
      const cimxml::ClassDecl *cls = need_class(cimxml::instance_class(req.instance.get()));
      cimxml::InstancePtr typed = cimxml::retype_instance(req.instance.get(), *cls);
      cimxml::PathPtr path = cimxml::instance_path_from_class(typed.get(), *cls, ns);
      typed->ft->setObjectPath(typed.get(), path.get());
      ResultHolder r;
      check(create_instance(ctx.get(), path.get(), typed.get(), r.get()));
      const auto &c = r.contents();
      if (!c.paths.empty()) w.add_instance_name(c.paths.front());
      else w.add_instance_name(path.get());
      break;
    }
    case Operation::ModifyInstance: {
      if (!req.instance || !req.instance_name) throw Error(CMPI_RC_ERR_INVALID_PARAMETER, "no ModifiedInstance given");
      const cimxml::ClassDecl *cls = need_class(path_class(req.instance_name.get()));
      cimxml::PathPtr path = cimxml::retype_path(req.instance_name.get(), *cls);
      cimxml::InstancePtr typed = cimxml::retype_instance(req.instance.get(), *cls);
      typed->ft->setObjectPath(typed.get(), path.get());
      check(modify_instance(ctx.get(), path.get(), typed.get(), props));
      break;
    }
    case Operation::DeleteInstance: {
      const cimxml::ClassDecl *cls = need_class(path_class(req.instance_name.get()));
      cimxml::PathPtr path = cimxml::retype_path(req.instance_name.get(), *cls);
      check(delete_instance(ctx.get(), path.get()));
      break;
    }
    case Operation::GetProperty: {
      const cimxml::ClassDecl *cls = need_class(path_class(req.instance_name.get()));
      if (cls->property(req.property_name) == nullptr)
        throw Error(CMPI_RC_ERR_NO_SUCH_PROPERTY, "class " + cls->name + " has no property " + req.property_name);
      const char *one[] = {req.property_name.c_str(), nullptr};
      ResultHolder r;
      check(get_instance(ctx.get(), req.instance_name.get(), one, r.get()));
      const auto &c = r.contents();
      if (c.instances.empty()) throw Error(CMPI_RC_ERR_NOT_FOUND, "the provider returned no instance");
      CMPIStatus st = {CMPI_RC_OK, nullptr};
      const CMPIData d = c.instances.front()->ft->getProperty(c.instances.front(), req.property_name.c_str(), &st);
      if (st.rc == CMPI_RC_OK) w.add_value(d);
      else w.add_value(cimxml::Value().data());
      break;
    }
    case Operation::SetProperty: {
      const cimxml::ClassDecl *cls = need_class(path_class(req.instance_name.get()));
      const cimxml::PropertyDecl *pd = cls->property(req.property_name);
      if (pd == nullptr)
        throw Error(CMPI_RC_ERR_NO_SUCH_PROPERTY, "class " + cls->name + " has no property " + req.property_name);
      cimxml::PathPtr path = cimxml::retype_path(req.instance_name.get(), *cls);
      cimxml::InstancePtr inst(native_new_CMPIInstance(path.get(), nullptr));
      cimxml::Value v = req.new_value.value.is_null()
                            ? cimxml::Value::null_of(cimxml::to_cmpi(pd->type, pd->is_array))
                            : cimxml::convert_value(req.new_value.value.data(), pd->type, pd->is_array, pd->name);
      CMPIData d = v.data();
      inst->ft->setProperty(inst.get(), pd->name.c_str(), (d.state & CMPI_nullValue) ? nullptr : &d.value, d.type);
      const char *one[] = {pd->name.c_str(), nullptr};
      check(modify_instance(ctx.get(), path.get(), inst.get(), one));
      break;
    }
    case Operation::ExecQuery: {
      cimxml::PathPtr op = class_path(ns, "");
      ResultHolder r;
      check(exec_query(ctx.get(), op.get(), req.query, req.query_language, r.get()));
      std::vector<std::string> select;
      try {
        select = WqlQuery::parse(req.query).select_list();
      } catch (const QueryError &) {
      }
      std::set<std::string> seen; /* each instance once, as for EnumerateInstances */
      auto emit = [&](const CMPIInstance *inst) {
        cimxml::PathPtr own;
        const CMPIObjectPath *path = instance_path(inst, ns, *repo_, &own);
        if (!seen.insert(cimxml::path_to_text(path)).second) return;
        w.add_object_with_path(inst, path, inst_opts(inst, select.empty() ? nullptr : &select));
      };
      for (const CMPIInstance *inst : r.contents().instances) emit(inst);
      for (const CMPIData &d : r.contents().data)
        if (d.type == CMPI_instance && !(d.state & CMPI_nullValue)) emit(d.value.inst);
      break;
    }
    case Operation::Associators:
    case Operation::AssociatorNames:
    case Operation::References:
    case Operation::ReferenceNames: {
      const cimxml::ClassDecl *cls = need_class(req.class_name);
      const bool names = req.op == Operation::AssociatorNames || req.op == Operation::ReferenceNames;
      const bool refs = req.op == Operation::References || req.op == Operation::ReferenceNames;
      if (req.object_is_class) {
        /* Schema associations, from the repository. */
        std::set<std::string> seen;
        const std::string filter = refs ? req.result_class : req.assoc_class;
        for (const cimxml::ClassDecl *A : repo_->classes(ns, "", true)) {
          if (!A->is_association()) continue;
          if (!filter.empty() && !repo_->is_a(ns, A->name, filter)) continue;
          for (const cimxml::PropertyDecl &p : A->properties) {
            if (p.type != cimxml::CimType::Reference) continue;
            if (!req.role.empty() && !cimxml::iequals(p.name, req.role)) continue;
            if (!repo_->is_a(ns, cls->name, p.reference_class) && !repo_->is_a(ns, p.reference_class, cls->name))
              continue;
            std::vector<const cimxml::ClassDecl *> hits;
            if (refs) {
              hits.push_back(A);
            } else {
              for (const cimxml::PropertyDecl &q : A->properties) {
                if (q.type != cimxml::CimType::Reference || &q == &p) continue;
                if (!req.result_role.empty() && !cimxml::iequals(q.name, req.result_role)) continue;
                if (!req.result_class.empty() && !repo_->is_a(ns, q.reference_class, req.result_class)) continue;
                if (const cimxml::ClassDecl *t = repo_->get_class(ns, q.reference_class)) hits.push_back(t);
              }
            }
            for (const cimxml::ClassDecl *h : hits) {
              if (!seen.insert(h->name).second) continue;
              if (names) w.add_class_path(ns, h->name);
              else w.add_class_with_path(*h, ns, copts);
            }
          }
        }
        break;
      }
      cimxml::PathPtr op = cimxml::retype_path(req.instance_name.get(), *cls);
      Assoc a;
      a.kind = req.op == Operation::Associators       ? Assoc::Associators
               : req.op == Operation::AssociatorNames ? Assoc::AssociatorNames
               : req.op == Operation::References      ? Assoc::References
                                                      : Assoc::ReferenceNames;
      a.assoc_class = nz(req.assoc_class);
      a.result_class = nz(req.result_class);
      a.role = nz(req.role);
      a.result_role = nz(req.result_role);
      a.props = props;
      ResultHolder r;
      check(association(a, ctx.get(), op.get(), r.get()));
      const auto &c = r.contents();
      if (names) {
        for (const CMPIObjectPath *p : c.paths) w.add_object_path(p);
        for (const CMPIData &d : c.data)
          if (d.type == CMPI_ref && !(d.state & CMPI_nullValue)) w.add_object_path(d.value.ref);
      } else {
        auto emit = [&](const CMPIInstance *inst) {
          cimxml::PathPtr own;
          w.add_object_with_path(inst, instance_path(inst, ns, *repo_, &own), inst_opts(inst, copts.property_list));
        };
        for (const CMPIInstance *inst : c.instances) emit(inst);
        for (const CMPIData &d : c.data)
          if (d.type == CMPI_instance && !(d.state & CMPI_nullValue)) emit(d.value.inst);
      }
      break;
    }
    default:
      throw Error(CMPI_RC_ERR_NOT_SUPPORTED, std::string(cimxml::operation_name(req.op)) + " is not supported");
  }
  return w.finish();
}

HttpAnswer Cimom::serve(const char *body, size_t len, const CimHeaders &headers, const std::string &principal) {
  HttpAnswer a;
  auto refuse = [&](int status, const char *cimerror, const std::string &why) {
    a.status = status;
    a.headers.clear();
    if (cimerror != nullptr) a.headers.emplace_back("CIMError", cimerror);
    if (status == 503) a.headers.emplace_back("Retry-After", "1");
    a.headers.emplace_back("Content-Type", "text/plain; charset=\"utf-8\"");
    a.body = why + "\n";
    log_debug("refused a request: " + why);
    return a;
  };
  /* What decoding the body may cost, before it is parsed. */
  size_t cost = 0;
  if (!decode_cost(body, len, kMaxAttributes, &cost))
    return refuse(400, cimxml::kNotValid,
                  "an element with more than " + std::to_string(kMaxAttributes) + " attributes");
  if (Reservation *m = call_limits().memory) {
    const size_t held = m->held();
    switch (cost > held ? m->grow(cost - held) : MemoryBudget::Refusal::None) {
      case MemoryBudget::Refusal::None: break;
      case MemoryBudget::Refusal::TooLarge:
        return refuse(413, nullptr,
                      "decoding the request would take more than the " +
                          std::to_string(m->budget()->request_limit() >> 20) + " MiB one request may use");
      case MemoryBudget::Refusal::Exhausted: return refuse(503, nullptr, "the CIMOM is short of memory");
    }
  }
  cimxml::Request req;
  try {
    req = cimxml::parse_request(body, len, limits_);
  } catch (const Error &e) {
    if (!e.cimerror().empty() || e.message_id().empty())
      return refuse(400, e.cimerror().empty() ? cimxml::kNotValid : e.cimerror().c_str(), e.what());
    a.headers.emplace_back("Content-Type", cimxml::content_type());
    a.headers.emplace_back("CIMOperation", cimxml::response_cimoperation());
    a.body = cimxml::ResponseWriter::error(e.message_id(), e.method(), e.intrinsic(), e.code(), e.what());
    return a;
  } catch (const std::exception &e) {
    return refuse(400, cimxml::kNotValid, e.what());
  }
  const std::string mismatch = cimxml::check_request_headers(req, headers.operation, headers.method, headers.object);
  if (!mismatch.empty())
    return refuse(mismatch == cimxml::kUnsupportedOperation ? 501 : 400, mismatch.c_str(),
                  "the CIM headers do not match the request (" + mismatch + ")");
  a.headers.emplace_back("Content-Type", cimxml::content_type());
  a.headers.emplace_back("CIMOperation", cimxml::response_cimoperation());
  a.body = execute(req, principal);
  if (log_level() >= LogLevel::Debug)
    log_debug(principal + " " + (req.intrinsic ? req.method : "method " + req.method) + " on " + req.name_space);
  return a;
}

}  // namespace cimhost
