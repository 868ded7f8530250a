/*
 * The broker: its up-calls go to a Router. Each up-call gets a fresh result
 * object; what the router delivers into it comes back to the caller as
 * scoped objects, and the router's status (with a scoped copy of its
 * message) goes to *rc.
 */
#include <stdexcept>

#include "native_internal.h"

namespace cmpinative {

namespace {

CMPIStatus not_supported() { return status(CMPI_RC_ERR_NOT_SUPPORTED); }

/* Copies a status so that its message lives in the caller's scope. */
CMPIStatus caller_status(const CMPIStatus &st) {
  CMPIStatus r = status(st.rc);
  if (st.msg != nullptr && st.msg->ft != nullptr) {
    const char *text = st.msg->ft->getCharPtr(st.msg, nullptr);
    if (text != nullptr) r.msg = make_string(text, true);
  }
  return r;
}

/* One up-call to the router with a result object of its own. */
class Upcall {
 public:
  explicit Upcall(const CMPIBroker *mb) : router_(router_of(mb)) {
    if (router_ != nullptr) result_ = new_result();
  }
  ~Upcall() {
    if (result_ != nullptr) result_->ft->release(result_);
  }
  Upcall(const Upcall &) = delete;
  Upcall &operator=(const Upcall &) = delete;

  /* Runs `call(router, result)` and returns its status as the caller's. */
  template <class F>
  CMPIStatus run(F &&call) {
    if (router_ == nullptr) return status(CMPI_RC_ERR_INVALID_HANDLE);
    CMPIStatus st;
    try {
      st = call(*router_, static_cast<const CMPIResult *>(result_));
    } catch (const std::exception &e) {
      return status_msg(CMPI_RC_ERR_FAILED, std::string("up-call failed: ") + e.what());
    } catch (...) {
      return status_msg(CMPI_RC_ERR_FAILED, "up-call failed");
    }
    return caller_status(st);
  }

  ResultContents &contents() { return native<NResult>(result_)->contents; }

  /* Everything delivered, moved into a scoped enumeration. */
  CMPIEnumeration *enumeration() {
    ResultContents &c = contents();
    std::vector<Value> values;
    values.reserve(c.instances.size() + c.paths.size() + c.data.size());
    for (CMPIInstance *i : c.instances) values.push_back(Value::adopt(object_data(CMPI_instance, i)));
    c.instances.clear();
    for (CMPIObjectPath *p : c.paths) values.push_back(Value::adopt(object_data(CMPI_ref, p)));
    c.paths.clear();
    for (CMPIData &d : c.data) values.push_back(Value::adopt(d));
    c.data.clear();
    return make_enumeration(std::move(values), true);
  }

  /* The first object of `list`, moved into the caller's scope. */
  template <class T>
  T *take_first(std::vector<T *> &list) {
    if (list.empty()) return nullptr;
    T *first = list.front();
    list.erase(list.begin());
    adopt(first);
    return first;
  }

 private:
  static CMPIData object_data(CMPIType type, void *obj) {
    CMPIData d = null_data(type, CMPI_goodValue);
    if (type == CMPI_instance)
      d.value.inst = static_cast<CMPIInstance *>(obj);
    else
      d.value.ref = static_cast<CMPIObjectPath *>(obj);
    return d;
  }

  Router *router_;
  CMPIResult *result_ = nullptr;
};

/* An up-call yielding an enumeration; NULL when the router fails. */
template <class F>
CMPIEnumeration *enum_upcall(const CMPIBroker *mb, CMPIStatus *rc, F &&call) {
  return guard(rc, static_cast<CMPIEnumeration *>(nullptr), [&]() -> CMPIEnumeration * {
    Upcall up(mb);
    CMPIStatus st = up.run(call);
    CMPIEnumeration *en = st.rc == CMPI_RC_OK ? up.enumeration() : nullptr;
    set_rc(rc, st.rc, st.msg);
    return en;
  });
}

CMPIContext *prepare_attach_thread(const CMPIBroker *, const CMPIContext *ctx) {
  return native_clone_CMPIContext(ctx);
}

CMPIStatus attach_thread(const CMPIBroker *mb, const CMPIContext *) {
  return status(router_of(mb) != nullptr ? CMPI_RC_OK : CMPI_RC_ERR_INVALID_HANDLE);
}

CMPIStatus detach_thread(const CMPIBroker *mb, const CMPIContext *) {
  return status(router_of(mb) != nullptr ? CMPI_RC_OK : CMPI_RC_ERR_INVALID_HANDLE);
}

/* Nothing subscribes to indications here: they are accepted and dropped. */
CMPIStatus deliver_indication(const CMPIBroker *mb, const CMPIContext *, const char *, const CMPIInstance *ind) {
  if (router_of(mb) == nullptr) return status(CMPI_RC_ERR_INVALID_HANDLE);
  return status(ind != nullptr ? CMPI_RC_OK : CMPI_RC_ERR_INVALID_PARAMETER);
}

CMPIEnumeration *enumerate_instance_names(const CMPIBroker *mb, const CMPIContext *ctx, const CMPIObjectPath *op,
                                          CMPIStatus *rc) {
  return enum_upcall(mb, rc, [&](Router &r, const CMPIResult *out) { return r.enumerateInstanceNames(ctx, op, out); });
}

CMPIInstance *get_instance(const CMPIBroker *mb, const CMPIContext *ctx, const CMPIObjectPath *op,
                           const char **properties, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIInstance *>(nullptr), [&]() -> CMPIInstance * {
    Upcall up(mb);
    CMPIStatus st = up.run([&](Router &r, const CMPIResult *out) { return r.getInstance(ctx, op, properties, out); });
    CMPIInstance *inst = st.rc == CMPI_RC_OK ? up.take_first(up.contents().instances) : nullptr;
    if (st.rc == CMPI_RC_OK && inst == nullptr) st = status(CMPI_RC_ERR_NOT_FOUND);
    set_rc(rc, st.rc, st.msg);
    return inst;
  });
}

CMPIObjectPath *create_instance(const CMPIBroker *mb, const CMPIContext *ctx, const CMPIObjectPath *op,
                                const CMPIInstance *inst, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIObjectPath *>(nullptr), [&]() -> CMPIObjectPath * {
    Upcall up(mb);
    CMPIStatus st = up.run([&](Router &r, const CMPIResult *out) { return r.createInstance(ctx, op, inst, out); });
    CMPIObjectPath *path = st.rc == CMPI_RC_OK ? up.take_first(up.contents().paths) : nullptr;
    set_rc(rc, st.rc, st.msg);
    return path;
  });
}

CMPIStatus modify_instance(const CMPIBroker *mb, const CMPIContext *ctx, const CMPIObjectPath *op,
                           const CMPIInstance *inst, const char **properties) {
  return guard([&] {
    return Upcall(mb).run([&](Router &r, const CMPIResult *) { return r.modifyInstance(ctx, op, inst, properties); });
  });
}

CMPIStatus delete_instance(const CMPIBroker *mb, const CMPIContext *ctx, const CMPIObjectPath *op) {
  return guard([&] { return Upcall(mb).run([&](Router &r, const CMPIResult *) { return r.deleteInstance(ctx, op); }); });
}

CMPIEnumeration *exec_query(const CMPIBroker *mb, const CMPIContext *ctx, const CMPIObjectPath *op, const char *query,
                            const char *lang, CMPIStatus *rc) {
  return enum_upcall(mb, rc, [&](Router &r, const CMPIResult *out) { return r.execQuery(ctx, op, query, lang, out); });
}

CMPIEnumeration *enumerate_instances(const CMPIBroker *mb, const CMPIContext *ctx, const CMPIObjectPath *op,
                                     const char **properties, CMPIStatus *rc) {
  return enum_upcall(mb, rc,
                     [&](Router &r, const CMPIResult *out) { return r.enumerateInstances(ctx, op, properties, out); });
}

CMPIEnumeration *associators(const CMPIBroker *mb, const CMPIContext *ctx, const CMPIObjectPath *op,
                             const char *assocClass, const char *resultClass, const char *role,
                             const char *resultRole, const char **properties, CMPIStatus *rc) {
  return enum_upcall(mb, rc, [&](Router &r, const CMPIResult *out) {
    return r.associators(ctx, op, assocClass, resultClass, role, resultRole, properties, out);
  });
}

CMPIEnumeration *associator_names(const CMPIBroker *mb, const CMPIContext *ctx, const CMPIObjectPath *op,
                                  const char *assocClass, const char *resultClass, const char *role,
                                  const char *resultRole, CMPIStatus *rc) {
  return enum_upcall(mb, rc, [&](Router &r, const CMPIResult *out) {
    return r.associatorNames(ctx, op, assocClass, resultClass, role, resultRole, out);
  });
}

CMPIEnumeration *references(const CMPIBroker *mb, const CMPIContext *ctx, const CMPIObjectPath *op,
                            const char *resultClass, const char *role, const char **properties, CMPIStatus *rc) {
  return enum_upcall(mb, rc, [&](Router &r, const CMPIResult *out) {
    return r.references(ctx, op, resultClass, role, properties, out);
  });
}

CMPIEnumeration *reference_names(const CMPIBroker *mb, const CMPIContext *ctx, const CMPIObjectPath *op,
                                 const char *resultClass, const char *role, CMPIStatus *rc) {
  return enum_upcall(mb, rc, [&](Router &r, const CMPIResult *out) {
    return r.referenceNames(ctx, op, resultClass, role, out);
  });
}

/* The method's return value is the first value the router returned. */
CMPIData invoke_method(const CMPIBroker *mb, const CMPIContext *ctx, const CMPIObjectPath *op, const char *method,
                       const CMPIArgs *in, CMPIArgs *out, CMPIStatus *rc) {
  return guard(rc, null_data(), [&] {
    Upcall up(mb);
    CMPIStatus st = up.run(
        [&](Router &r, const CMPIResult *res) { return r.invokeMethod(ctx, op, method, in, out, res); });
    CMPIData ret = null_data();
    auto &data = up.contents().data;
    if (st.rc == CMPI_RC_OK && !data.empty()) {
      ret = data.front();
      data.erase(data.begin());
      adopt_data(ret);
    }
    set_rc(rc, st.rc, st.msg);
    return ret;
  });
}

/* Property providers are not routed. */
CMPIStatus set_property(const CMPIBroker *, const CMPIContext *, const CMPIObjectPath *, const char *,
                        const CMPIValue *, CMPIType) {
  return not_supported();
}

CMPIData get_property(const CMPIBroker *, const CMPIContext *, const CMPIObjectPath *, const char *,
                      CMPIStatus *rc) {
  set_rc(rc, CMPI_RC_ERR_NOT_SUPPORTED);
  return null_data();
}

}  // namespace

const CMPIBrokerFT broker_ft = {
    CMPI_MB_Class_2 | CMPI_MB_AssociationTraversal | CMPI_MB_Supports_MemEnhancements |
        CMPI_MB_Supports_Extended_Error,
    CMPICurrentVersion,
    "qelvo-native",
    prepare_attach_thread,
    attach_thread,
    detach_thread,
    deliver_indication,
    enumerate_instance_names,
    get_instance,
    create_instance,
    modify_instance,
    delete_instance,
    exec_query,
    enumerate_instances,
    associators,
    associator_names,
    references,
    reference_names,
    invoke_method,
    set_property,
    get_property,
};

Router *router_of(const CMPIBroker *mb) {
  return mb != nullptr && mb->hdl != nullptr ? static_cast<NBroker *>(mb->hdl)->router : nullptr;
}

Router::~Router() = default;

CMPIStatus Router::enumerateInstanceNames(const CMPIContext *, const CMPIObjectPath *, const CMPIResult *) {
  return not_supported();
}
CMPIStatus Router::enumerateInstances(const CMPIContext *, const CMPIObjectPath *, const char **,
                                      const CMPIResult *) {
  return not_supported();
}
CMPIStatus Router::getInstance(const CMPIContext *, const CMPIObjectPath *, const char **, const CMPIResult *) {
  return not_supported();
}
CMPIStatus Router::createInstance(const CMPIContext *, const CMPIObjectPath *, const CMPIInstance *,
                                  const CMPIResult *) {
  return not_supported();
}
CMPIStatus Router::modifyInstance(const CMPIContext *, const CMPIObjectPath *, const CMPIInstance *, const char **) {
  return not_supported();
}
CMPIStatus Router::deleteInstance(const CMPIContext *, const CMPIObjectPath *) { return not_supported(); }
CMPIStatus Router::execQuery(const CMPIContext *, const CMPIObjectPath *, const char *, const char *,
                             const CMPIResult *) {
  return not_supported();
}
CMPIStatus Router::associators(const CMPIContext *, const CMPIObjectPath *, const char *, const char *, const char *,
                               const char *, const char **, const CMPIResult *) {
  return not_supported();
}
CMPIStatus Router::associatorNames(const CMPIContext *, const CMPIObjectPath *, const char *, const char *,
                                   const char *, const char *, const CMPIResult *) {
  return not_supported();
}
CMPIStatus Router::references(const CMPIContext *, const CMPIObjectPath *, const char *, const char *,
                              const char **, const CMPIResult *) {
  return not_supported();
}
CMPIStatus Router::referenceNames(const CMPIContext *, const CMPIObjectPath *, const char *, const char *,
                                  const CMPIResult *) {
  return not_supported();
}
CMPIStatus Router::invokeMethod(const CMPIContext *, const CMPIObjectPath *, const char *, const CMPIArgs *,
                                CMPIArgs *, const CMPIResult *) {
  return not_supported();
}
bool Router::classExists(const char *, const char *) { return false; }
bool Router::classIsA(const char *, const char *cn, const char *type) { return iequals(cn, type); }

CMPIBroker *new_broker(Router *router, const char *name) {
  auto *b = new NBroker();
  b->name = text_of(name);
  b->router = router;
  b->bft = broker_ft;
  b->bft.brokerName = b->name.c_str();
  b->pub.hdl = b;
  b->pub.bft = &b->bft;
  b->pub.eft = &broker_enc_ft;
  b->pub.xft = &broker_ext_ft;
  b->pub.mft = &broker_mem_ft;
  return &b->pub;
}

void delete_broker(CMPIBroker *broker) {
  if (broker != nullptr) delete static_cast<NBroker *>(broker->hdl);
}

}  // namespace cmpinative
