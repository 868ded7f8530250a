/*
 * CMPIInstance: properties in the order they were set, an object path, and
 * an optional property filter.
 */
#include <stdexcept>

#include "native_internal.h"

namespace cmpinative {

namespace {

/* Properties an instance makes room for beyond its keys when made. */
constexpr size_t kPropertiesReserved = 7;

NInstance *self(const CMPIInstance *inst) { return native<NInstance>(inst); }

bool bad(const CMPIInstance *inst, CMPIStatus *rc) {
  if (inst != nullptr && inst->hdl != nullptr) return false;
  set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
  return true;
}

bool listed(const std::vector<std::string> &names, const char *name) {
  for (const auto &n : names)
    if (iequals(n.c_str(), name)) return true;
  return false;
}

/* Whether filtered instance `n` keeps `name`: a listed name or a key (the
 * path's keys and those named to setPropertyFilter). */
bool kept(const NInstance &n, const char *name) {
  return listed(n.filter->names, name) || listed(n.filter->key_names, name) ||
         path_of(&n)->keys.find(name) != nullptr;
}

bool allowed(const NInstance &n, const char *name) { return n.filter == nullptr || kept(n, name); }

/* Caller-owned native path `own`, as an instance holds it. */
std::shared_ptr<const NObjectPath> held(CMPIObjectPath *own) {
  return std::shared_ptr<const NObjectPath>(native<NObjectPath>(own), [](const NObjectPath *p) {
    release_object(&const_cast<NObjectPath *>(p)->hdr);
  });
}

/* A copy of native path `op` for an instance to hold. */
std::shared_ptr<const NObjectPath> held_path(const CMPIObjectPath *op) {
  if (op->hdl == nullptr) throw std::runtime_error("cannot copy a CMPI value");
  return held(copy_path(*native<NObjectPath>(op), false, nullptr));
}

CMPIInstance *new_instance(bool scoped, const NInstance &src) {
  return &create<NInstance>(scoped, [&](NInstance &n) {
            n.path = src.path;
            n.props = src.props;
            n.filter = src.filter;
            n.pub.hdl = &n;
            n.pub.ft = &instance_ft;
          })->pub;
}

CMPIStatus release(CMPIInstance *inst) {
  if (bad(inst, nullptr)) return status(CMPI_RC_ERR_INVALID_HANDLE);
  release_object(&self(inst)->hdr);
  return status(CMPI_RC_OK);
}

CMPIInstance *clone(const CMPIInstance *inst, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIInstance *>(nullptr), [&]() -> CMPIInstance * {
    if (bad(inst, rc)) return nullptr;
    CMPIInstance *c = new_instance(false, *self(inst));
    set_rc(rc, CMPI_RC_OK);
    return c;
  });
}

CMPIData get_property(const CMPIInstance *inst, const char *name, CMPIStatus *rc) {
  if (bad(inst, rc)) return null_data(CMPI_null, CMPI_badValue);
  return self(inst)->props.get(name, rc);
}

CMPIData get_property_at(const CMPIInstance *inst, CMPICount index, CMPIString **name, CMPIStatus *rc) {
  return guard(rc, null_data(CMPI_null, CMPI_badValue), [&] {
    if (bad(inst, rc)) return null_data(CMPI_null, CMPI_badValue);
    return self(inst)->props.get_at(index, name, rc);
  });
}

CMPICount get_property_count(const CMPIInstance *inst, CMPIStatus *rc) {
  if (bad(inst, rc)) return 0;
  set_rc(rc, CMPI_RC_OK);
  return static_cast<CMPICount>(self(inst)->props.size());
}

CMPIStatus set_property(const CMPIInstance *inst, const char *name, const CMPIValue *value, CMPIType type) {
  return guard([&] {
    if (bad(inst, nullptr)) return status(CMPI_RC_ERR_INVALID_HANDLE);
    if (name == nullptr) return status(CMPI_RC_ERR_INVALID_PARAMETER);
    NInstance *n = self(inst);
    if (allowed(*n, name)) n->props.set(name, Value::of(value, type));
    return status(CMPI_RC_OK);
  });
}

/* A scoped copy of the instance's path whose key values are those of the
 * instance's properties of the same names. */
CMPIObjectPath *get_object_path(const CMPIInstance *inst, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIObjectPath *>(nullptr), [&]() -> CMPIObjectPath * {
    if (bad(inst, rc)) return nullptr;
    const NInstance *n = self(inst);
    CMPIObjectPath *op = copy_path(*path_of(n), true, &n->props);
    set_rc(rc, CMPI_RC_OK);
    return op;
  });
}

CMPIStatus set_property_filter(CMPIInstance *inst, const char **propertyList, const char **keys) {
  return guard([&] {
    if (bad(inst, nullptr)) return status(CMPI_RC_ERR_INVALID_HANDLE);
    NInstance *n = self(inst);
    if (propertyList == nullptr) {  // every property again; the keys matter no more
      n->filter.reset();
      return status(CMPI_RC_OK);
    }
    auto filter = std::make_shared<PropertyFilter>();
    for (const char **k = keys; k != nullptr && *k != nullptr; ++k) filter->key_names.push_back(*k);
    for (const char **p = propertyList; *p != nullptr; ++p) filter->names.push_back(*p);
    n->filter = std::move(filter);
    n->props.keep_if([n](const NamedList::Entry &e) { return kept(*n, e.name.c_str()); });
    return status(CMPI_RC_OK);
  });
}

CMPIStatus set_object_path(CMPIInstance *inst, const CMPIObjectPath *op) {
  return guard([&] {
    if (bad(inst, nullptr)) return status(CMPI_RC_ERR_INVALID_HANDLE);
    if (kind_of(op) != Kind::ObjectPath) return status(CMPI_RC_ERR_INVALID_PARAMETER);
    self(inst)->path = held_path(op);
    return status(CMPI_RC_OK);
  });
}

CMPIStatus set_property_with_origin(const CMPIInstance *inst, const char *name, const CMPIValue *value,
                                    CMPIType type, const char *) {
  return set_property(inst, name, value, type);
}

}  // namespace

CMPIInstanceFT instance_ft = {CMPICurrentVersion,  release,         clone,
                              get_property,        get_property_at, get_property_count,
                              set_property,        get_object_path, set_property_filter,
                              set_object_path,     set_property_with_origin};

/* The path's keys become the instance's first properties. */
CMPIInstance *make_instance(const CMPIObjectPath *op, bool scoped, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIInstance *>(nullptr), [&]() -> CMPIInstance * {
    if (op != nullptr && kind_of(op) != Kind::ObjectPath) {
      set_rc(rc, CMPI_RC_ERR_INVALID_PARAMETER);
      return nullptr;
    }
    CMPIInstance *inst = &create<NInstance>(scoped, [&](NInstance &n) {
                            n.path = op != nullptr ? held_path(op) : held(make_path(nullptr, nullptr, false));
                            const auto &keys = path_of(&n)->keys.entries();
                            /* Room for the properties a provider commonly sets next. */
                            n.props.reserve(keys.size() + kPropertiesReserved);
                            for (const auto &key : keys) {
                              Value v = key.value;
                              v.set_state(static_cast<CMPIValueState>(v.data().state & ~CMPI_keyValue));
                              n.props.set(key.name.c_str(), std::move(v));
                            }
                            n.pub.hdl = &n;
                            n.pub.ft = &instance_ft;
                          })->pub;
    set_rc(rc, CMPI_RC_OK);
    return inst;
  });
}

bool property_at(const CMPIInstance *inst, CMPICount index, const char **name, const CMPIData **value) {
  return kind_of(inst) == Kind::Instance && inst->hdl != nullptr && self(inst)->props.view(index, name, value);
}

const CMPIObjectPath *stored_path(const CMPIInstance *inst) {
  if (kind_of(inst) != Kind::Instance || inst->hdl == nullptr) return nullptr;
  return &self(inst)->path->pub;
}

bool move_property(CMPIInstance *inst, const char *name, CMPIData *d) {
  if (kind_of(inst) != Kind::Instance || inst->hdl == nullptr || name == nullptr) return false;
  Value v;
  if (!Value::take(d, &v)) return false;
  NInstance *n = self(inst);
  if (allowed(*n, name)) n->props.set(name, std::move(v));
  return true;
}

}  // namespace cmpinative

using namespace cmpinative;

extern "C" CMPIInstance *native_new_CMPIInstance(CMPIObjectPath *cop, CMPIStatus *rc) {
  return make_instance(cop, false, rc);
}
