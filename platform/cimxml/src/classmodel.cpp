/* The class model, inheritance, and class-directed conversions of native
 * objects. */
#include "internal.h"

#include <cimxml/classmodel.h>
#include <cimxml/xml.h>

#include <cstdint>
#include <cstring>

namespace cimxml {

using namespace detail;

/* ----------------------------------------------------------------- Literal */

Literal Literal::scalar(std::string text) {
  Literal l;
  l.null = false;
  l.array = false;
  l.items.push_back(std::move(text));
  return l;
}
Literal Literal::list(std::vector<std::string> items) {
  Literal l;
  l.null = false;
  l.array = true;
  l.items = std::move(items);
  return l;
}
Literal Literal::null_value(bool array) {
  Literal l;
  l.array = array;
  return l;
}
bool Literal::operator==(const Literal &o) const {
  if (null != o.null) return false;
  if (null) return true;
  return array == o.array && items == o.items;
}

/* -------------------------------------------------------------- equality */

bool Qualifier::operator==(const Qualifier &o) const {
  return iequals(name, o.name) && type == o.type && is_array == o.is_array && value == o.value &&
         overridable == o.overridable && tosubclass == o.tosubclass && translatable == o.translatable &&
         propagated == o.propagated;
}
bool PropertyDecl::operator==(const PropertyDecl &o) const {
  return iequals(name, o.name) && type == o.type && is_array == o.is_array && array_size == o.array_size &&
         iequals(reference_class, o.reference_class) && qualifiers == o.qualifiers &&
         default_value == o.default_value && iequals(class_origin, o.class_origin) && propagated == o.propagated;
}
bool ParameterDecl::operator==(const ParameterDecl &o) const {
  return iequals(name, o.name) && type == o.type && is_array == o.is_array && array_size == o.array_size &&
         iequals(reference_class, o.reference_class) && qualifiers == o.qualifiers;
}
bool MethodDecl::operator==(const MethodDecl &o) const {
  return iequals(name, o.name) && return_type == o.return_type && qualifiers == o.qualifiers &&
         parameters == o.parameters && iequals(class_origin, o.class_origin) && propagated == o.propagated;
}
bool ClassDecl::operator==(const ClassDecl &o) const {
  return iequals(name, o.name) && iequals(superclass, o.superclass) && qualifiers == o.qualifiers &&
         properties == o.properties && methods == o.methods;
}

/* --------------------------------------------------------------- look-ups */

const Qualifier *find_qualifier(const QualifierList &list, std::string_view name) {
  for (const auto &q : list)
    if (iequals(q.name, name)) return &q;
  return nullptr;
}

bool qualifier_true(const QualifierList &list, std::string_view name) {
  const Qualifier *q = find_qualifier(list, name);
  if (q == nullptr || q->type != CimType::Boolean || q->value.null || q->value.array || q->value.items.empty())
    return false;
  return iequals(q->value.items[0], "TRUE");
}

std::string qualifier_text(const QualifierList &list, std::string_view name) {
  const Qualifier *q = find_qualifier(list, name);
  if (q == nullptr || q->value.null || q->value.items.empty()) return std::string();
  return q->value.items[0];
}

bool ParameterDecl::is_in() const {
  const Qualifier *q = find_qualifier(qualifiers, "IN");
  return q == nullptr || qualifier_true(qualifiers, "IN");
}
bool ParameterDecl::is_out() const { return qualifier_true(qualifiers, "OUT"); }

const ParameterDecl *MethodDecl::parameter(std::string_view n) const {
  for (const auto &p : parameters)
    if (iequals(p.name, n)) return &p;
  return nullptr;
}

/* An open-addressing hash table of the properties' positions, hashed by
 * their names without regard to case (linear probing, at most half full). A
 * name given twice keeps the position of its first declaration. */
class PropertyIndex {
 public:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  explicit PropertyIndex(const std::vector<PropertyDecl> &props) : count_(props.size()) {
    std::size_t size = 8;
    while (size < 2 * props.size()) size *= 2;
    slots_.assign(size, Slot{0, kEmpty});
    for (std::size_t i = 0; i < props.size(); ++i) {
      const std::uint32_t h = hash(props[i].name);
      std::size_t at = h & (size - 1);
      while (slots_[at].pos != kEmpty && !(slots_[at].hash == h && same_name(props[slots_[at].pos].name, props[i].name)))
        at = (at + 1) & (size - 1);
      if (slots_[at].pos == kEmpty) slots_[at] = Slot{h, static_cast<std::uint32_t>(i)};
    }
  }

  /* The number of properties indexed. */
  std::size_t count() const { return count_; }

  /* The position in `props` (the properties indexed) of a property called
   * `name`, or kNone. */
  std::size_t find(const std::vector<PropertyDecl> &props, std::string_view name) const {
    const std::uint32_t h = hash(name);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = h & mask; slots_[at].pos != kEmpty; at = (at + 1) & mask) {
      const Slot &s = slots_[at];
      if (s.hash == h && s.pos < props.size() && same_name(props[s.pos].name, name)) return s.pos;
    }
    return kNone;
  }

 private:
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
  struct Slot {
    std::uint32_t hash;
    std::uint32_t pos;
  };

  /* The length and the first, middle and last characters (ASCII letters
   * folded to lower case, as iequals compares them) mixed FNV-1a style:
   * enough to tell the names of a class apart nearly always, and cheaper
   * than reading all of a name, which a found property's check does anyway. */
  static std::uint32_t hash(std::string_view name) {
    const std::size_t n = name.size();
    std::uint32_t h = (2166136261u ^ static_cast<std::uint32_t>(n)) * 16777619u;
    if (n == 0) return h;
    const auto mix = [&h](char c) {
      const unsigned char u = static_cast<unsigned char>(c);
      h = (h ^ (u >= 'A' && u <= 'Z' ? u + 32u : u)) * 16777619u;
    };
    mix(name[0]);
    mix(name[n / 2]);
    mix(name[n - 1]);
    return h;
  }
  /* Names mostly come in the case they were declared in. */
  static bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && (std::memcmp(a.data(), b.data(), a.size()) == 0 || iequals(a, b));
  }

  std::vector<Slot> slots_;
  std::size_t count_;
};

namespace {
std::size_t property_position(const ClassDecl &cls, std::string_view n) {
  const auto &props = cls.properties;
  if (cls.property_index && cls.property_index->count() == props.size()) {
    const std::size_t at = cls.property_index->find(props, n);
    if (at != PropertyIndex::kNone) return at;
  }
  for (std::size_t i = 0; i < props.size(); ++i)
    if (iequals(props[i].name, n)) return i;
  return PropertyIndex::kNone;
}
}  // namespace

const PropertyDecl *ClassDecl::property(std::string_view n) const {
  const std::size_t at = property_position(*this, n);
  return at == PropertyIndex::kNone ? nullptr : &properties[at];
}
PropertyDecl *ClassDecl::property(std::string_view n) {
  const std::size_t at = property_position(*this, n);
  return at == PropertyIndex::kNone ? nullptr : &properties[at];
}
void ClassDecl::index_properties() { property_index = std::make_shared<const PropertyIndex>(properties); }
const MethodDecl *ClassDecl::method(std::string_view n) const {
  for (const auto &m : methods)
    if (iequals(m.name, n)) return &m;
  return nullptr;
}
MethodDecl *ClassDecl::method(std::string_view n) {
  for (auto &m : methods)
    if (iequals(m.name, n)) return &m;
  return nullptr;
}
std::vector<std::string> ClassDecl::key_names() const {
  std::vector<std::string> keys;
  for (const auto &p : properties)
    if (p.is_key()) keys.push_back(p.name);
  return keys;
}

/* ------------------------------------------------------------ inheritance */

namespace {

QualifierList merge_qualifiers(const QualifierList &local, const QualifierList *inherited) {
  QualifierList out;
  for (const auto &q : local) {
    Qualifier c = q;
    c.propagated = false;
    out.push_back(std::move(c));
  }
  if (inherited) {
    for (const auto &q : *inherited) {
      if (!q.tosubclass) continue;
      if (find_qualifier(local, q.name)) continue;
      Qualifier c = q;
      c.propagated = true;
      out.push_back(std::move(c));
    }
  }
  return out;
}

QualifierList inherited_only(const QualifierList &qs) {
  QualifierList out;
  for (const auto &q : qs) {
    if (!q.tosubclass) continue;
    Qualifier c = q;
    c.propagated = true;
    out.push_back(std::move(c));
  }
  return out;
}

}  // namespace

ClassDecl resolve_class(const ClassDecl &cls, const ClassDecl *parent) {
  if (parent == nullptr && !cls.superclass.empty())
    fail(CMPI_RC_ERR_INVALID_SUPERCLASS, "class " + cls.name + ": superclass " + cls.superclass + " is not known");
  if (parent && !iequals(parent->name, cls.superclass))
    fail(CMPI_RC_ERR_INVALID_SUPERCLASS,
         "class " + cls.name + ": " + parent->name + " is not its superclass " + cls.superclass);
  ClassDecl r;
  r.name = cls.name;
  r.superclass = cls.superclass;
  r.qualifiers = merge_qualifiers(cls.qualifiers, parent ? &parent->qualifiers : nullptr);
  if (parent) {
    for (const auto &p : parent->properties) {
      PropertyDecl c = p;
      c.propagated = true;
      if (c.class_origin.empty()) c.class_origin = parent->name;
      c.qualifiers = inherited_only(p.qualifiers);
      r.properties.push_back(std::move(c));
    }
    for (const auto &m : parent->methods) {
      MethodDecl c = m;
      c.propagated = true;
      if (c.class_origin.empty()) c.class_origin = parent->name;
      c.qualifiers = inherited_only(m.qualifiers);
      r.methods.push_back(std::move(c));
    }
  }
  for (const auto &p : cls.properties) {
    PropertyDecl c = p;
    c.class_origin = cls.name;
    c.propagated = false;
    PropertyDecl *old = r.property(p.name);
    c.qualifiers = merge_qualifiers(p.qualifiers, old ? &old->qualifiers : nullptr);
    if (old) {
      if (c.default_value.null && !old->default_value.null) c.default_value = old->default_value;
      *old = std::move(c);
    } else {
      r.properties.push_back(std::move(c));
    }
  }
  for (const auto &m : cls.methods) {
    MethodDecl c = m;
    c.class_origin = cls.name;
    c.propagated = false;
    MethodDecl *old = r.method(m.name);
    c.qualifiers = merge_qualifiers(m.qualifiers, old ? &old->qualifiers : nullptr);
    if (old) *old = std::move(c);
    else r.methods.push_back(std::move(c));
  }
  r.index_properties();
  return r;
}

/* ---------------------------------------------------- standard qualifiers */

namespace {
/* name, type, array, tosubclass, overridable, translatable */
const QualifierInfo kStandardQualifiers[] = {
    {"Abstract", CimType::Boolean, false, false, true, false},
    {"Aggregate", CimType::Boolean, false, true, false, false},
    {"Aggregation", CimType::Boolean, false, true, false, false},
    {"Alias", CimType::String, false, true, true, true},
    {"ArrayType", CimType::String, false, true, false, false},
    {"Association", CimType::Boolean, false, true, false, false},
    {"BitMap", CimType::String, true, true, true, false},
    {"BitValues", CimType::String, true, true, true, true},
    {"ClassConstraint", CimType::String, true, true, true, false},
    {"Composition", CimType::Boolean, false, true, false, false},
    {"Correlatable", CimType::String, true, true, true, false},
    {"Counter", CimType::Boolean, false, true, true, false},
    {"Delete", CimType::Boolean, false, true, true, false},
    {"Deprecated", CimType::String, true, false, true, false},
    {"Description", CimType::String, false, true, true, true},
    {"DisplayDescription", CimType::String, false, true, true, true},
    {"DisplayName", CimType::String, false, true, true, true},
    {"DN", CimType::Boolean, false, true, false, false},
    {"EmbeddedInstance", CimType::String, false, true, false, false},
    {"EmbeddedObject", CimType::Boolean, false, true, false, false},
    {"Exception", CimType::Boolean, false, true, false, false},
    {"Expensive", CimType::Boolean, false, true, true, false},
    {"Experimental", CimType::Boolean, false, false, true, false},
    {"Gauge", CimType::Boolean, false, true, true, false},
    {"IfDeleted", CimType::Boolean, false, true, true, false},
    {"IN", CimType::Boolean, false, true, false, false},
    {"Indication", CimType::Boolean, false, true, false, false},
    {"Invisible", CimType::Boolean, false, true, true, false},
    {"IsPUnit", CimType::Boolean, false, true, true, false},
    {"Key", CimType::Boolean, false, true, false, false},
    {"Large", CimType::Boolean, false, true, true, false},
    {"MappingStrings", CimType::String, true, true, true, false},
    {"Max", CimType::Uint32, false, true, true, false},
    {"MaxLen", CimType::Uint32, false, true, true, false},
    {"MaxValue", CimType::Sint64, false, true, true, false},
    {"MethodConstraint", CimType::String, true, true, true, false},
    {"Min", CimType::Uint32, false, true, true, false},
    {"MinLen", CimType::Uint32, false, true, true, false},
    {"MinValue", CimType::Sint64, false, true, true, false},
    {"ModelCorrespondence", CimType::String, true, true, true, false},
    {"Nonlocal", CimType::String, false, true, true, false},
    {"NonlocalType", CimType::String, false, true, true, false},
    {"NullValue", CimType::String, false, true, false, false},
    {"OctetString", CimType::Boolean, false, true, false, false},
    {"OUT", CimType::Boolean, false, true, false, false},
    {"Override", CimType::String, false, false, true, false},
    {"OverrideValue", CimType::Boolean, false, true, true, false},
    {"Propagated", CimType::String, false, true, false, false},
    {"PropertyConstraint", CimType::String, true, true, true, false},
    {"PropertyUsage", CimType::String, false, true, true, false},
    {"Provider", CimType::String, false, true, true, false},
    {"PUnit", CimType::String, false, true, true, false},
    {"Read", CimType::Boolean, false, true, true, false},
    {"Required", CimType::Boolean, false, true, false, false},
    {"Revision", CimType::String, false, true, true, true},
    {"Schema", CimType::String, false, true, false, false},
    {"Source", CimType::String, false, true, true, false},
    {"SourceType", CimType::String, false, true, true, false},
    {"Static", CimType::Boolean, false, true, false, false},
    {"Structure", CimType::Boolean, false, true, false, false},
    {"Syntax", CimType::String, false, true, true, false},
    {"SyntaxType", CimType::String, false, true, true, false},
    {"Terminal", CimType::Boolean, false, true, true, false},
    {"TriggerType", CimType::String, false, true, true, false},
    {"UMLPackagePath", CimType::String, false, true, true, false},
    {"Units", CimType::String, false, true, true, true},
    {"UnknownValues", CimType::String, true, true, false, false},
    {"UnsupportedValues", CimType::String, true, true, false, false},
    {"ValueMap", CimType::String, true, true, true, false},
    {"Values", CimType::String, true, true, true, true},
    {"Version", CimType::String, false, false, true, true},
    {"Weak", CimType::Boolean, false, true, false, false},
    {"Write", CimType::Boolean, false, true, true, false},
};
}  // namespace

const QualifierInfo *standard_qualifier(const std::string &name) {
  for (const auto &q : kStandardQualifiers)
    if (iequals(name, q.name)) return &q;
  return nullptr;
}

/* ------------------------------------------------- class-directed helpers */

namespace {

bool embedded_string(const PropertyDecl &p) {
  return p.type == CimType::String &&
         (find_qualifier(p.qualifiers, "EmbeddedInstance") || qualifier_true(p.qualifiers, "EmbeddedObject"));
}

Value to_declared(const CMPIData &d, CimType type, bool is_array, bool embedded, const std::string &what) {
  if (embedded) {
    /* Embedded instances stay instances; their text form becomes one. */
    CimType src;
    bool arr = false;
    if (from_cmpi(d.type, &src, &arr) && src == CimType::Instance) return Value::copy(d);
    return convert_value(d, CimType::Instance, is_array, what);
  }
  return convert_value(d, type, is_array, what);
}

}  // namespace

PathPtr instance_path_from_class(const CMPIInstance *inst, const ClassDecl &cls, const std::string &ns) {
  PathPtr op(check_new(newCMPIObjectPath(ns.c_str(), cls.name.c_str(), nullptr), "object path"));
  for (const auto &p : cls.properties) {
    if (!p.is_key()) continue;
    CMPIStatus st = {CMPI_RC_OK, nullptr};
    CMPIData d = inst->ft->getProperty(inst, p.name.c_str(), &st);
    if (st.rc != CMPI_RC_OK || (d.state & (CMPI_nullValue | CMPI_notFound)))
      invalid("instance of " + cls.name + " without a value for key property " + p.name);
    Value v = convert_value(d, p.type, p.is_array, "key " + p.name);
    add_key(op.get(), p.name, std::move(v));
  }
  return op;
}

PathPtr retype_path(const CMPIObjectPath *src, const ClassDecl &cls) {
  std::string ns = path_namespace(src), host = path_host(src), cn = path_class(src);
  PathPtr op(check_new(newCMPIObjectPath(ns.c_str(), cn.c_str(), nullptr), "object path"));
  if (!host.empty()) op->ft->setHostname(op.get(), host.c_str());
  unsigned n = path_key_count(src);
  std::string key;
  for (unsigned i = 0; i < n; ++i) {
    const CMPIData d = key_at(src, i, &key);
    const PropertyDecl *p = cls.property(key);
    if (p == nullptr) invalid("class " + cls.name + " has no property " + key);
    /* Keys mostly come with their declared type already: those are copied as they are. */
    CimType t;
    bool array = false;
    const bool typed =
        !(d.state & CMPI_nullValue) && from_cmpi(d.type, &t, &array) && !array && !p->is_array && t == p->type;
    try {
      add_key(op.get(), p->name, typed ? Value::copy(d) : convert_value(d, p->type, p->is_array, "key " + key));
    } catch (const Error &e) {
      invalid(e.what());
    }
  }
  return op;
}

InstancePtr retype_instance(const CMPIInstance *src, const ClassDecl &cls) {
  CMPIObjectPath *sp = src->ft->getObjectPath(src, nullptr);
  PathPtr path(sp);
  InstancePtr inst(check_new(native_new_CMPIInstance(path.get(), nullptr), "instance"));
  CMPICount n = src->ft->getPropertyCount(src, nullptr);
  std::string pn;
  for (CMPICount i = 0; i < n; ++i) {
    const CMPIData d = property_at(src, i, &pn);
    const PropertyDecl *p = cls.property(pn);
    if (p == nullptr) fail(CMPI_RC_ERR_NO_SUCH_PROPERTY, "class " + cls.name + " has no property " + pn);
    Value v = to_declared(d, p->type, p->is_array, embedded_string(*p), "property " + pn);
    set_property(inst.get(), p->name, std::move(v));
  }
  return inst;
}

}  // namespace cimxml
