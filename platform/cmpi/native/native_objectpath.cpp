/*
 * CMPIObjectPath: namespace, class name, host and keys (in the order they
 * were added); its text form is "//host/ns:Class.Key=\"v\",Num=3".
 */
#include <cstring>
#include <new>

#include "native_internal.h"

namespace cmpinative {

namespace {

NObjectPath *self(const CMPIObjectPath *op) { return native<NObjectPath>(op); }

bool bad(const CMPIObjectPath *op, CMPIStatus *rc) {
  if (op != nullptr && op->hdl != nullptr) return false;
  set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
  return true;
}

CMPIObjectPath *new_path(const NObjectPath &src, bool scoped) {
  return &create<NObjectPath>(scoped, [&](NObjectPath &n) {
            n.ns = src.ns;
            n.cn = src.cn;
            n.host = src.host;
            n.keys = src.keys;
            n.pub.hdl = &n;
            n.pub.ft = &path_ft;
          })->pub;
}

CMPIStatus release(CMPIObjectPath *op) {
  if (bad(op, nullptr)) return status(CMPI_RC_ERR_INVALID_HANDLE);
  release_object(&self(op)->hdr);
  return status(CMPI_RC_OK);
}

CMPIObjectPath *clone(const CMPIObjectPath *op, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIObjectPath *>(nullptr), [&]() -> CMPIObjectPath * {
    if (bad(op, rc)) return nullptr;
    CMPIObjectPath *c = new_path(*self(op), false);
    set_rc(rc, CMPI_RC_OK);
    return c;
  });
}

CMPIStatus set_text(CMPIObjectPath *op, SharedText NObjectPath::*field, const char *text) {
  return guard([&] {
    if (bad(op, nullptr)) return status(CMPI_RC_ERR_INVALID_HANDLE);
    self(op)->*field = SharedText(text);
    return status(CMPI_RC_OK);
  });
}

CMPIString *get_text(const CMPIObjectPath *op, SharedText NObjectPath::*field, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIString *>(nullptr), [&]() -> CMPIString * {
    if (bad(op, rc)) return nullptr;
    CMPIString *s = make_string((self(op)->*field).c_str(), true);
    set_rc(rc, CMPI_RC_OK);
    return s;
  });
}

CMPIStatus set_namespace(CMPIObjectPath *op, const char *ns) { return set_text(op, &NObjectPath::ns, ns); }
CMPIString *get_namespace(const CMPIObjectPath *op, CMPIStatus *rc) { return get_text(op, &NObjectPath::ns, rc); }
CMPIStatus set_hostname(CMPIObjectPath *op, const char *hn) { return set_text(op, &NObjectPath::host, hn); }
CMPIString *get_hostname(const CMPIObjectPath *op, CMPIStatus *rc) { return get_text(op, &NObjectPath::host, rc); }
CMPIStatus set_classname(CMPIObjectPath *op, const char *cn) { return set_text(op, &NObjectPath::cn, cn); }
CMPIString *get_classname(const CMPIObjectPath *op, CMPIStatus *rc) { return get_text(op, &NObjectPath::cn, rc); }

CMPIStatus add_key(CMPIObjectPath *op, const char *name, const CMPIValue *value, const CMPIType type) {
  return guard([&] {
    if (bad(op, nullptr)) return status(CMPI_RC_ERR_INVALID_HANDLE);
    if (name == nullptr) return status(CMPI_RC_ERR_INVALID_PARAMETER);
    Value v = Value::of(value, type);
    v.set_state(static_cast<CMPIValueState>(v.data().state | CMPI_keyValue));
    self(op)->keys.set(name, std::move(v));
    return status(CMPI_RC_OK);
  });
}

CMPIData get_key(const CMPIObjectPath *op, const char *name, CMPIStatus *rc) {
  if (bad(op, rc)) return null_data(CMPI_null, CMPI_badValue);
  return self(op)->keys.get(name, rc);
}

CMPIData get_key_at(const CMPIObjectPath *op, CMPICount index, CMPIString **name, CMPIStatus *rc) {
  return guard(rc, null_data(CMPI_null, CMPI_badValue), [&] {
    if (bad(op, rc)) return null_data(CMPI_null, CMPI_badValue);
    return self(op)->keys.get_at(index, name, rc);
  });
}

CMPICount get_key_count(const CMPIObjectPath *op, CMPIStatus *rc) {
  if (bad(op, rc)) return 0;
  set_rc(rc, CMPI_RC_OK);
  return static_cast<CMPICount>(self(op)->keys.size());
}

CMPIStatus copy_from(CMPIObjectPath *op, const CMPIObjectPath *src, bool host) {
  return guard([&] {
    if (bad(op, nullptr)) return status(CMPI_RC_ERR_INVALID_HANDLE);
    if (kind_of(src) != Kind::ObjectPath) return status(CMPI_RC_ERR_INVALID_PARAMETER);
    self(op)->ns = self(src)->ns;
    if (host) self(op)->host = self(src)->host;
    return status(CMPI_RC_OK);
  });
}

CMPIStatus set_namespace_from(CMPIObjectPath *op, const CMPIObjectPath *src) { return copy_from(op, src, false); }
CMPIStatus set_host_and_namespace_from(CMPIObjectPath *op, const CMPIObjectPath *src) {
  return copy_from(op, src, true);
}

/* There is no class repository behind paths: qualifiers are not available. */
CMPIData no_qualifier(const CMPIObjectPath *op, CMPIStatus *rc) {
  set_rc(rc, bad(op, rc) ? CMPI_RC_ERR_INVALID_HANDLE : CMPI_RC_ERR_NOT_SUPPORTED);
  return null_data(CMPI_null, CMPI_notFound);
}
CMPIData get_class_qualifier(const CMPIObjectPath *op, const char *, CMPIStatus *rc) { return no_qualifier(op, rc); }
CMPIData get_property_qualifier(const CMPIObjectPath *op, const char *, const char *, CMPIStatus *rc) {
  return no_qualifier(op, rc);
}
CMPIData get_method_qualifier(const CMPIObjectPath *op, const char *, const char *, CMPIStatus *rc) {
  return no_qualifier(op, rc);
}
CMPIData get_parameter_qualifier(const CMPIObjectPath *op, const char *, const char *, const char *,
                                 CMPIStatus *rc) {
  return no_qualifier(op, rc);
}

CMPIString *to_string(const CMPIObjectPath *op, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIString *>(nullptr), [&]() -> CMPIString * {
    if (bad(op, rc)) return nullptr;
    CMPIString *s = make_string(path_to_text(op).c_str(), true);
    set_rc(rc, CMPI_RC_OK);
    return s;
  });
}

}  // namespace

CMPIObjectPathFT path_ft = {CMPICurrentVersion,
                            release,
                            clone,
                            set_namespace,
                            get_namespace,
                            set_hostname,
                            get_hostname,
                            set_classname,
                            get_classname,
                            add_key,
                            get_key,
                            get_key_at,
                            get_key_count,
                            set_namespace_from,
                            set_host_and_namespace_from,
                            get_class_qualifier,
                            get_property_qualifier,
                            get_method_qualifier,
                            get_parameter_qualifier,
                            to_string};

SharedText::SharedText(const char *text) {
  if (text == nullptr || *text == '\0') return;
  const size_t size = std::strlen(text) + 1;
  if (size <= sizeof short_) {
    std::memcpy(short_, text, size);
    return;
  }
  block_ = new (::operator new(sizeof(Block) + size)) Block();
  std::memcpy(block_->chars(), text, size);
}

SharedText::~SharedText() {
  if (block_ != nullptr && block_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    block_->~Block();
    ::operator delete(block_);
  }
}

CMPIObjectPath *copy_path(const NObjectPath &src, bool scoped, const NamedList *values) {
  if (values == nullptr) return new_path(src, scoped);
  return &create<NObjectPath>(scoped, [&](NObjectPath &n) {
            n.ns = src.ns;
            n.cn = src.cn;
            n.host = src.host;
            n.keys.reserve(src.keys.size());
            for (const auto &key : src.keys.entries()) {
              const NamedList::Entry *e = values->find(key.name.c_str());
              if (e == nullptr || e->value.is_null()) {
                n.keys.append(key);
                continue;
              }
              Value v = e->value;
              v.set_state(CMPI_keyValue);
              n.keys.append(NamedList::Entry{key.name, std::move(v)});
            }
            n.pub.hdl = &n;
            n.pub.ft = &path_ft;
          })->pub;
}

CMPIObjectPath *make_path(const char *ns, const char *cn, bool scoped) {
  return &create<NObjectPath>(scoped, [&](NObjectPath &n) {
            n.ns = SharedText(ns);
            n.cn = SharedText(cn);
            n.pub.hdl = &n;
            n.pub.ft = &path_ft;
          })->pub;
}

std::string path_to_text(const CMPIObjectPath *op) {
  if (kind_of(op) != Kind::ObjectPath) return std::string();
  const NObjectPath *p = self(op);
  std::string r;
  if (!p->host.empty()) r.append("//").append(p->host.c_str()).append("/");
  if (!p->ns.empty()) r.append(p->ns.c_str()).append(":");
  r += p->cn.c_str();
  const char *sep = ".";
  for (const auto &k : p->keys.entries()) {
    r.append(sep).append(k.name.c_str()).append("=").append(format_value(k.value.data(), true));
    sep = ",";
  }
  return r;
}

bool path_fields(const CMPIObjectPath *op, PathFields *out) {
  if (kind_of(op) != Kind::ObjectPath || op->hdl == nullptr) return false;
  const NObjectPath *n = self(op);
  out->name_space = n->ns.c_str();
  out->class_name = n->cn.c_str();
  out->host = n->host.c_str();
  out->key_count = static_cast<CMPICount>(n->keys.size());
  return true;
}

bool key_at(const CMPIObjectPath *op, CMPICount index, const char **name, const CMPIData **value) {
  return kind_of(op) == Kind::ObjectPath && op->hdl != nullptr && self(op)->keys.view(index, name, value);
}

bool move_key(CMPIObjectPath *op, const char *name, CMPIData *d) {
  if (kind_of(op) != Kind::ObjectPath || op->hdl == nullptr || name == nullptr) return false;
  Value v;
  if (!Value::take(d, &v)) return false;
  v.set_state(static_cast<CMPIValueState>(v.data().state | CMPI_keyValue));
  self(op)->keys.set(name, std::move(v));
  return true;
}

}  // namespace cmpinative

using namespace cmpinative;

extern "C" CMPIObjectPath *newCMPIObjectPath(const char *ns, const char *cn, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIObjectPath *>(nullptr), [&] {
    CMPIObjectPath *op = make_path(ns, cn, false);
    set_rc(rc, CMPI_RC_OK);
    return op;
  });
}
