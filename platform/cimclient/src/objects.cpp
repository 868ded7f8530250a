/* The CIM client library's own objects: the enumerations its operations return and the class
 * objects of getClass and enumClasses. Both belong to the caller, who releases them. */
#include <cmpi_native.h>

#include <cstring>
#include <deque>
#include <memory>
#include <new>

#include "client_internal.h"

namespace cimclient {

namespace {

/* The object behind a handle, whether the handle field is const or not. */
template <class T>
T *object_of(const void *hdl) {
  return static_cast<T *>(const_cast<void *>(hdl));
}

CMPIStatus status(CMPIrc rc) { return CMPIStatus{rc, nullptr}; }
void set_rc(CMPIStatus *rc, CMPIrc code) {
  if (rc != nullptr) *rc = status(code);
}
CMPIData bad_data(CMPIValueState state = CMPI_badValue) {
  CMPIData d;
  std::memset(&d, 0, sizeof d);
  d.type = CMPI_null;
  d.state = state;
  return d;
}

/* Releases one owned value, classes included. */
void release_value(CMPIData &d) {
  if (d.type == CMPI_class) {
    auto *cls = static_cast<CMPIConstClass *>(d.value.dataPtr.ptr);
    if (cls != nullptr) cls->ft->release(cls);
    d = bad_data(CMPI_nullValue);
    return;
  }
  cmpinative::release_data(d);
}

CMPIData copy_value(const CMPIData &d) {
  if (d.type != CMPI_class) return cmpinative::copy_data(d);
  auto *cls = static_cast<CMPIConstClass *>(d.value.dataPtr.ptr);
  return class_data(cls != nullptr ? cls->ft->clone(cls, nullptr) : nullptr);
}

/* ------------------------------------------------------------ enumeration */

struct Enumeration {
  CMPIEnumeration pub;
  std::vector<CMPIData> values;
  size_t next = 0;
  ~Enumeration() {
    for (CMPIData &d : values) release_value(d);
  }
};

Enumeration *self(const CMPIEnumeration *en) {
  return en != nullptr ? object_of<Enumeration>(en->hdl) : nullptr;
}

CMPIStatus en_release(CMPIEnumeration *en) {
  Enumeration *e = self(en);
  if (e == nullptr) return status(CMPI_RC_ERR_INVALID_HANDLE);
  delete e;
  return status(CMPI_RC_OK);
}

CMPIEnumeration *en_clone(const CMPIEnumeration *en, CMPIStatus *rc) {
  const Enumeration *e = self(en);
  if (e == nullptr) {
    set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
    return nullptr;
  }
  std::vector<CMPIData> copies;
  copies.reserve(e->values.size());
  for (const CMPIData &d : e->values) copies.push_back(copy_value(d));
  CMPIEnumeration *c = new_enumeration(std::move(copies));
  self(c)->next = e->next;
  set_rc(rc, CMPI_RC_OK);
  return c;
}

CMPIData en_get_next(const CMPIEnumeration *en, CMPIStatus *rc) {
  Enumeration *e = self(en);
  if (e == nullptr) {
    set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
    return bad_data();
  }
  if (e->next >= e->values.size()) {
    set_rc(rc, CMPI_RC_ERR_NO_SUCH_PROPERTY);
    return bad_data(CMPI_notFound);
  }
  set_rc(rc, CMPI_RC_OK);
  return e->values[e->next++];
}

CMPIBoolean en_has_next(const CMPIEnumeration *en, CMPIStatus *rc) {
  const Enumeration *e = self(en);
  if (e == nullptr) {
    set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
    return 0;
  }
  set_rc(rc, CMPI_RC_OK);
  return e->next < e->values.size() ? 1 : 0;
}

/* Every value as a caller-owned array typed after the first value (classes have no array form). */
CMPIArray *en_to_array(const CMPIEnumeration *en, CMPIStatus *rc) {
  const Enumeration *e = self(en);
  if (e == nullptr) {
    set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
    return nullptr;
  }
  const CMPIType type = e->values.empty() ? CMPI_null : e->values.front().type;
  if (type == CMPI_class) {
    set_rc(rc, CMPI_RC_ERR_NOT_SUPPORTED);
    return nullptr;
  }
  CMPIArray *a = native_new_CMPIArray(static_cast<CMPICount>(e->values.size()), type, rc);
  if (a == nullptr) return nullptr;
  for (size_t i = 0; i < e->values.size(); ++i) {
    const CMPIData &d = e->values[i];
    a->ft->setElementAt(a, static_cast<CMPICount>(i), (d.state & CMPI_nullValue) ? nullptr : &d.value, d.type);
  }
  set_rc(rc, CMPI_RC_OK);
  return a;
}

CMPIEnumerationFT enumeration_ft = {CMPICurrentVersion, en_release, en_clone, en_get_next, en_has_next, en_to_array};

/* --------------------------------------------------------------- classes */

/* A class model with the CMPI values of its defaults and qualifiers, made when first asked
 * for and kept (with the name strings) as long as the class object lives. */
struct ConstClass {
  CMPIConstClass pub;
  cimxml::ClassDecl decl;
  std::deque<cimxml::Value> values;
  std::deque<cimxml::StringPtr> strings;
};

ConstClass *cself(const CMPIConstClass *c) { return c != nullptr ? object_of<ConstClass>(c->hdl) : nullptr; }

CMPIString *keep_string(ConstClass *c, const std::string &s) {
  cimxml::StringPtr p(native_new_CMPIString(s.c_str(), nullptr));
  CMPIString *raw = p.get();
  c->strings.push_back(std::move(p));
  return raw;
}

/* The data of a literal of type `t`, owned by the class; a text the type cannot take (a
 * CIMOM's bad class) gives a bad value. */
CMPIData literal_data(ConstClass *c, const cimxml::Literal &l, cimxml::CimType t, bool array, CMPIStatus *rc) {
  try {
    cimxml::Value v = l.null ? cimxml::Value::null_of(cimxml::to_cmpi(t, array))
                      : array ? cimxml::array_from_texts(l.items, t)
                              : cimxml::value_from_text(l.items.empty() ? std::string() : l.items.front(), t);
    c->values.push_back(std::move(v));
    set_rc(rc, CMPI_RC_OK);
    return c->values.back().data();
  } catch (const cimxml::Error &) {
    set_rc(rc, CMPI_RC_ERR_INVALID_DATA_TYPE);
    return bad_data();
  }
}

CMPIData qualifier_data(ConstClass *c, const cimxml::Qualifier &q, CMPIStatus *rc) {
  return literal_data(c, q.value, q.type, q.is_array, rc);
}

const cimxml::PropertyDecl *find_property(const ConstClass *c, const char *name) {
  return name != nullptr ? c->decl.property(name) : nullptr;
}

CMPIStatus cc_release(CMPIConstClass *cls) {
  ConstClass *c = cself(cls);
  if (c == nullptr) return status(CMPI_RC_ERR_INVALID_HANDLE);
  delete c;
  return status(CMPI_RC_OK);
}

CMPIConstClass *cc_clone(CMPIConstClass *cls, CMPIStatus *rc) {
  ConstClass *c = cself(cls);
  if (c == nullptr) {
    set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
    return nullptr;
  }
  set_rc(rc, CMPI_RC_OK);
  return new_const_class(c->decl);
}

CMPIString *cc_class_name(CMPIConstClass *cls, CMPIStatus *rc) {
  ConstClass *c = cself(cls);
  if (c == nullptr) {
    set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
    return nullptr;
  }
  set_rc(rc, CMPI_RC_OK);
  return keep_string(c, c->decl.name);
}

CMPIData cc_property(CMPIConstClass *cls, const char *name, CMPIStatus *rc) {
  ConstClass *c = cself(cls);
  if (c == nullptr) {
    set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
    return bad_data();
  }
  const cimxml::PropertyDecl *p = find_property(c, name);
  if (p == nullptr) {
    set_rc(rc, CMPI_RC_ERR_NO_SUCH_PROPERTY);
    return bad_data(CMPI_notFound);
  }
  return literal_data(c, p->default_value, p->type, p->is_array, rc);
}

CMPIData cc_property_at(CMPIConstClass *cls, CMPICount index, CMPIString **name, CMPIStatus *rc) {
  ConstClass *c = cself(cls);
  if (c == nullptr || index >= c->decl.properties.size()) {
    set_rc(rc, c == nullptr ? CMPI_RC_ERR_INVALID_HANDLE : CMPI_RC_ERR_NO_SUCH_PROPERTY);
    return bad_data(CMPI_notFound);
  }
  const cimxml::PropertyDecl &p = c->decl.properties[index];
  if (name != nullptr) *name = keep_string(c, p.name);
  return literal_data(c, p.default_value, p.type, p.is_array, rc);
}

CMPICount cc_property_count(CMPIConstClass *cls, CMPIStatus *rc) {
  ConstClass *c = cself(cls);
  set_rc(rc, c == nullptr ? CMPI_RC_ERR_INVALID_HANDLE : CMPI_RC_OK);
  return c == nullptr ? 0 : static_cast<CMPICount>(c->decl.properties.size());
}

/* A qualifier of `list` by name or by index. */
CMPIData qualifier_of(ConstClass *c, const cimxml::QualifierList &list, const char *qname, CMPICount index,
                      CMPIString **name, CMPIStatus *rc) {
  const cimxml::Qualifier *q = nullptr;
  if (qname != nullptr) q = cimxml::find_qualifier(list, qname);
  else if (index < list.size()) q = &list[index];
  if (q == nullptr) {
    set_rc(rc, CMPI_RC_ERR_NO_SUCH_PROPERTY);
    return bad_data(CMPI_notFound);
  }
  if (name != nullptr) *name = keep_string(c, q->name);
  return qualifier_data(c, *q, rc);
}

CMPIData cc_qualifier(CMPIConstClass *cls, const char *qname, CMPIStatus *rc) {
  ConstClass *c = cself(cls);
  if (c == nullptr || qname == nullptr) {
    set_rc(rc, c == nullptr ? CMPI_RC_ERR_INVALID_HANDLE : CMPI_RC_ERR_INVALID_PARAMETER);
    return bad_data();
  }
  return qualifier_of(c, c->decl.qualifiers, qname, 0, nullptr, rc);
}

CMPIData cc_qualifier_at(CMPIConstClass *cls, CMPICount index, CMPIString **name, CMPIStatus *rc) {
  ConstClass *c = cself(cls);
  if (c == nullptr) {
    set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
    return bad_data();
  }
  return qualifier_of(c, c->decl.qualifiers, nullptr, index, name, rc);
}

CMPICount cc_qualifier_count(CMPIConstClass *cls, CMPIStatus *rc) {
  ConstClass *c = cself(cls);
  set_rc(rc, c == nullptr ? CMPI_RC_ERR_INVALID_HANDLE : CMPI_RC_OK);
  return c == nullptr ? 0 : static_cast<CMPICount>(c->decl.qualifiers.size());
}

CMPIData cc_property_qualifier(CMPIConstClass *cls, const char *pname, const char *qname, CMPIStatus *rc) {
  ConstClass *c = cself(cls);
  const cimxml::PropertyDecl *p = c != nullptr ? find_property(c, pname) : nullptr;
  if (p == nullptr || qname == nullptr) {
    set_rc(rc, c == nullptr ? CMPI_RC_ERR_INVALID_HANDLE : CMPI_RC_ERR_NO_SUCH_PROPERTY);
    return bad_data(CMPI_notFound);
  }
  return qualifier_of(c, p->qualifiers, qname, 0, nullptr, rc);
}

CMPIData cc_property_qualifier_at(CMPIConstClass *cls, const char *pname, CMPICount index, CMPIString **name,
                                  CMPIStatus *rc) {
  ConstClass *c = cself(cls);
  const cimxml::PropertyDecl *p = c != nullptr ? find_property(c, pname) : nullptr;
  if (p == nullptr) {
    set_rc(rc, c == nullptr ? CMPI_RC_ERR_INVALID_HANDLE : CMPI_RC_ERR_NO_SUCH_PROPERTY);
    return bad_data(CMPI_notFound);
  }
  return qualifier_of(c, p->qualifiers, nullptr, index, name, rc);
}

CMPICount cc_property_qualifier_count(CMPIConstClass *cls, const char *pname, CMPIStatus *rc) {
  ConstClass *c = cself(cls);
  const cimxml::PropertyDecl *p = c != nullptr ? find_property(c, pname) : nullptr;
  if (p == nullptr) {
    set_rc(rc, c == nullptr ? CMPI_RC_ERR_INVALID_HANDLE : CMPI_RC_ERR_NO_SUCH_PROPERTY);
    return 0;
  }
  set_rc(rc, CMPI_RC_OK);
  return static_cast<CMPICount>(p->qualifiers.size());
}

CMPIConstClassFT const_class_ft = {CMPICurrentVersion,  cc_release,       cc_clone,
                                   cc_class_name,       cc_property,      cc_property_at,
                                   cc_property_count,   cc_qualifier,     cc_qualifier_at,
                                   cc_qualifier_count,  cc_property_qualifier, cc_property_qualifier_at,
                                   cc_property_qualifier_count};

}  // namespace

std::string take(CMPIString *s) {
  std::string text = cimxml::cmpi_text(s);
  if (s != nullptr) s->ft->release(s);
  return text;
}
std::string ns_of(const CMPIObjectPath *op) { return take(op->ft->getNameSpace(op, nullptr)); }
std::string class_of(const CMPIObjectPath *op) { return take(op->ft->getClassName(op, nullptr)); }
void complete_path(CMPIObjectPath *p, const std::string &ns) {
  if (ns_of(p).empty() && !ns.empty()) p->ft->setNameSpace(p, ns.c_str());
}
void complete_instance(CMPIInstance *inst, const std::string &ns) {
  CMPIObjectPath *p = inst->ft->getObjectPath(inst, nullptr);
  if (p == nullptr) return;
  if (ns_of(p).empty() && !ns.empty()) {
    p->ft->setNameSpace(p, ns.c_str());
    inst->ft->setObjectPath(inst, p);
  }
  p->ft->release(p);
}

static CMPIData object_data(CMPIType type, CMPIValue v) {
  CMPIData d;
  std::memset(&d, 0, sizeof d);
  d.type = type;
  d.state = CMPI_goodValue;
  d.value = v;
  return d;
}
CMPIData ref_data(CMPIObjectPath *p) {
  CMPIValue v;
  v.ref = p;
  return object_data(CMPI_ref, v);
}
CMPIData instance_data(CMPIInstance *i) {
  CMPIValue v;
  v.inst = i;
  return object_data(CMPI_instance, v);
}

CMPIEnumeration *instances_of(cimxml::Response &r, const std::string &ns) {
  std::vector<CMPIData> values;
  values.reserve(r.instances.size());
  for (cimxml::InstancePtr &i : r.instances) {
    complete_instance(i.get(), ns);
    values.push_back(instance_data(i.release()));
  }
  return new_enumeration(std::move(values));
}
CMPIEnumeration *paths_of(cimxml::Response &r, const std::string &ns) {
  std::vector<CMPIData> values;
  values.reserve(r.paths.size());
  for (cimxml::PathPtr &p : r.paths) {
    complete_path(p.get(), ns);
    values.push_back(ref_data(p.release()));
  }
  return new_enumeration(std::move(values));
}

CMPIEnumeration *new_enumeration(std::vector<CMPIData> values) {
  auto *e = new (std::nothrow) Enumeration();
  if (e == nullptr) {
    for (CMPIData &d : values) release_value(d);
    return nullptr;
  }
  e->values = std::move(values);
  e->pub.hdl = e;
  e->pub.ft = &enumeration_ft;
  return &e->pub;
}

CMPIConstClass *new_const_class(cimxml::ClassDecl decl) {
  auto *c = new (std::nothrow) ConstClass();
  if (c == nullptr) return nullptr;
  c->decl = std::move(decl);
  c->pub.hdl = c;
  c->pub.ft = &const_class_ft;
  return &c->pub;
}

CMPIData class_data(CMPIConstClass *cls) {
  CMPIData d;
  std::memset(&d, 0, sizeof d);
  d.type = CMPI_class;
  d.state = cls != nullptr ? CMPI_goodValue : CMPI_nullValue;
  d.value.dataPtr.ptr = cls;
  return d;
}

}  // namespace cimclient
