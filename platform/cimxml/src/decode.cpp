/* Reading CIM-XML elements into native CMPI objects and the class model. */
#include "internal.h"

#include <cimxml/xml.h>

namespace cimxml {
namespace detail {

namespace {

/* What an error names ("property Name", "key Name", or a caller's text);
 * the text is only made when an error is thrown. */
class What {
 public:
  What(std::string_view kind, std::string_view name) : kind_(kind), name_(name) {}
  std::string str() const { return std::string(kind_).append(name_); }
  /* The value of type `t` that `text` denotes (see value_from_text). */
  Value value(std::string_view text, CimType t) const { return read_value(text, t, kind_, name_); }

 private:
  std::string_view kind_, name_;
};

/* The string value of an element's text, made from the document's text. */
Value text_string(const Node *v) {
  require_text_only(v);
  CMPIValue val;
  val.string = check_new(native_new_CMPIString(v->text, nullptr), "string");
  return Value(make_data(CMPI_string, val));
}

}  // namespace

/* Documents name types as type_name spells them, which is matched byte for
 * byte here; any other spelling goes to type_from_name, which ignores case. */
bool type_of_name(std::string_view v, CimType *t) {
  struct Named {
    const char *name;
    std::size_t len;
    CimType t;
  };
  static const std::vector<Named> kNamed = [] {
    std::vector<Named> named;
    for (int i = 0; i < static_cast<int>(CimType::Instance); ++i) {
      const CimType type = static_cast<CimType>(i);
      named.push_back({type_name(type), std::strlen(type_name(type)), type});
    }
    return named;
  }();
  const std::size_t len = v.size();
  for (const Named &n : kNamed)
    if (n.len == len && n.name[0] == v[0] && n.name[len - 1] == v[len - 1] && std::memcmp(n.name, v.data(), len) == 0) {
      *t = n.t;
      return true;
    }
  return type_from_name(v, t);
}

namespace {

bool lookup_type(const Node *n, const char *attr_name, CimType *t) {
  const char *v = attr(n, attr_name);
  if (v == nullptr) return false;
  if (!type_of_name(v, t)) invalid(std::string(name_of(n)) + " element with unknown type \"" + v + "\"");
  return true;
}

CimType required_type(const Node *n, const char *attr_name) {
  CimType t;
  if (!lookup_type(n, attr_name, &t)) invalid(std::string(name_of(n)) + " element without " + attr_name + " attribute");
  return t;
}

const char *embedded_attr(const Node *n) {
  const char *e = attr(n, "EmbeddedObject");
  if (e == nullptr) e = attr(n, "EMBEDDEDOBJECT");
  return e;
}

bool has_embedded_qualifier(const Node *n) {
  for (Node *c = first_element(n); c; c = next_element(c)) {
    if (!is(c, "QUALIFIER")) continue;
    const char *qn = attr(c, "NAME");
    if (qn && (iequals(qn, "EmbeddedInstance") || iequals(qn, "EmbeddedObject"))) return true;
  }
  return false;
}

const char *name_attr(const Node *n) {
  const char *v = required_attr_value(n, "NAME");
  if (*v == '\0') invalid(std::string(name_of(n)) + " element with empty NAME");
  return v;
}

Value embedded_instance(const char *text, std::size_t len, const DecodeContext &ctx, int depth_here) {
  Document doc(text, len, ctx.limits, ctx.depth + depth_here);
  Node *root = doc.root();
  if (!is(root, "INSTANCE")) invalid("embedded object is not an INSTANCE element");
  DecodeContext inner = ctx;
  inner.depth = ctx.depth + depth_here;
  InstancePtr inst = decode_instance(root, "", inner);
  CMPIValue v;
  v.inst = inst.release();
  return Value(make_data(CMPI_instance, v));
}

int depth_of(const Node *n) {
  int d = 0;
  for (const Node *p = n; p; p = p->parent) ++d;
  return d;
}

Value scalar_from_value(const Node *v, CimType type, bool embedded, const DecodeContext &ctx, const What &what) {
  if (embedded || type == CimType::Instance) {
    require_text_only(v);
    if (v->text_len == 0) return Value::null_of(CMPI_instance);
    return embedded_instance(v->text, v->text_len, ctx, depth_of(v));
  }
  if (type == CimType::String) return text_string(v);
  return what.value(text_in_place(v), type);
}

Value array_value(const Node *va, CimType type, bool embedded, const DecodeContext &ctx, const What &what) {
  std::vector<const Node *> items;
  for (Node *c = first_element(va); c; c = next_element(c)) {
    if (!is(c, "VALUE") && !is(c, "VALUE.NULL"))
      invalid(what.str() + ": VALUE.ARRAY may only hold VALUE and VALUE.NULL, found " + name_of(c));
    items.push_back(c);
  }
  CimType et = embedded ? CimType::Instance : type;
  CMPIType ct = to_cmpi(et);
  ArrayPtr arr(check_new(native_new_CMPIArray(static_cast<CMPICount>(items.size()), ct, nullptr), "array"));
  bool text_type = et == CimType::String || et == CimType::Instance;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (is(items[i], "VALUE.NULL")) continue;
    /* An empty VALUE stands for a null element where "" is not a value. */
    if (!text_type && items[i]->empty) continue;
    Value e = scalar_from_value(items[i], et, embedded, ctx, what);
    if (e.is_null()) continue;
    CMPIValue val = e.data().value;
    CMPIStatus st = arr->ft->setElementAt(arr.get(), static_cast<CMPICount>(i), &val, ct);
    if (st.rc != CMPI_RC_OK) fail(st.rc, what.str() + ": cannot set array element");
  }
  CMPIValue v;
  v.array = arr.release();
  return Value(make_data(static_cast<CMPIType>(ct | CMPI_ARRAY), v));
}

Value refarray_value(const Node *ra, const std::string &ns, const DecodeContext &ctx, const What &what) {
  std::vector<const Node *> items;
  for (Node *c = first_element(ra); c; c = next_element(c)) {
    if (!is(c, "VALUE.REFERENCE") && !is(c, "VALUE.NULL"))
      invalid(what.str() + ": VALUE.REFARRAY may only hold VALUE.REFERENCE and VALUE.NULL, found " + name_of(c));
    items.push_back(c);
  }
  ArrayPtr arr(check_new(native_new_CMPIArray(static_cast<CMPICount>(items.size()), CMPI_ref, nullptr), "array"));
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (is(items[i], "VALUE.NULL")) continue;
    PathPtr p = decode_value_reference(items[i], ns, ctx);
    CMPIValue val;
    val.ref = p.get();
    CMPIStatus st = arr->ft->setElementAt(arr.get(), static_cast<CMPICount>(i), &val, CMPI_ref);
    if (st.rc != CMPI_RC_OK) fail(st.rc, what.str() + ": cannot set array element");
  }
  CMPIValue v;
  v.array = arr.release();
  return Value(make_data(CMPI_refA, v));
}

Value keyvalue(const Node *kv, const char *key) {
  const std::string_view text = text_in_place(kv);
  const What what("key ", key);
  CimType t;
  if (lookup_type(kv, "TYPE", &t)) {
    if (t == CimType::Reference) invalid(what.str() + ": KEYVALUE cannot hold a reference");
    if (t == CimType::String) return text_string(kv);
    return what.value(text, t);
  }
  const char *vt = attr(kv, "VALUETYPE");
  const char *valuetype = vt ? vt : "string";
  if (std::strcmp(valuetype, "string") == 0) return text_string(kv);
  if (std::strcmp(valuetype, "boolean") == 0) return what.value(text, CimType::Boolean);
  if (std::strcmp(valuetype, "numeric") != 0)
    invalid(what.str() + ": unknown VALUETYPE \"" + valuetype + "\"");
  bool real = false, hex = false;
  for (char c : text) {
    if (c == 'x' || c == 'X') hex = true;
    if (c == '.' || ((c == 'e' || c == 'E') && !hex)) real = true;
  }
  if (real) return what.value(text, CimType::Real64);
  /* A number that is no sint64 is read as a uint64, or named in the error. */
  CMPIValue v;
  std::memset(&v, 0, sizeof v);
  if (integer_from_text(text, CimType::Sint64, &v)) return Value(make_data(CMPI_sint64, v));
  return what.value(text, CimType::Uint64);
}

}  // namespace

bool parse_bool_attr(const Node *n, const char *name, bool dflt) {
  const char *v = attr(n, name);
  if (v == nullptr) return dflt;
  if (iequals(v, "true")) return true;
  if (iequals(v, "false")) return false;
  invalid(std::string(name_of(n)) + " element with invalid " + name + " \"" + v + "\"");
}

std::string decode_local_namespace(const Node *lnp) {
  if (!is(lnp, "LOCALNAMESPACEPATH")) invalid(std::string("expected LOCALNAMESPACEPATH, found ") + name_of(lnp));
  std::string ns;
  int count = 0;
  for (Node *c = first_element(lnp); c; c = next_element(c)) {
    if (!is(c, "NAMESPACE")) invalid(std::string("LOCALNAMESPACEPATH may only hold NAMESPACE, found ") + name_of(c));
    const char *seg = required_attr_value(c, "NAME");
    if (*seg == '\0') continue;
    if (count++) ns += '/';
    ns += seg;
  }
  if (count == 0) invalid("LOCALNAMESPACEPATH without NAMESPACE");
  return ns;
}

namespace {
void decode_namespace_path(const Node *nsp, std::string *host, std::string *ns) {
  if (!is(nsp, "NAMESPACEPATH")) invalid(std::string("expected NAMESPACEPATH, found ") + name_of(nsp));
  *host = text_of(required_child(nsp, "HOST"));
  *ns = decode_local_namespace(required_child(nsp, "LOCALNAMESPACEPATH"));
}
}  // namespace

PathPtr decode_instance_name(const Node *n, const std::string &ns, const std::string &host,
                             const DecodeContext &ctx) {
  if (!is(n, "INSTANCENAME")) invalid(std::string("expected INSTANCENAME, found ") + name_of(n));
  const char *cn = required_attr_value(n, "CLASSNAME");
  if (*cn == '\0') invalid("INSTANCENAME with empty CLASSNAME");
  PathPtr op(check_new(newCMPIObjectPath(ns.c_str(), cn, nullptr), "object path"));
  if (!host.empty()) op->ft->setHostname(op.get(), host.c_str());
  std::string key; /* add_key takes the name as a string: one for all keys */
  for (Node *kb = first_element(n); kb; kb = next_element(kb)) {
    if (!is(kb, "KEYBINDING")) {
      if (is(kb, "KEYVALUE") || is(kb, "VALUE.REFERENCE"))
        invalid(std::string("INSTANCENAME ") + cn + ": keys without KEYBINDING names are not supported");
      invalid(std::string("INSTANCENAME ") + cn + " may only hold KEYBINDING, found " + name_of(kb));
    }
    key = name_attr(kb);
    /* Key names compare without case, as the path finds them. */
    CMPIStatus st = {CMPI_RC_OK, nullptr};
    op->ft->getKey(op.get(), key.c_str(), &st);
    if (st.rc == CMPI_RC_OK) invalid(std::string("INSTANCENAME ") + cn + " binds key " + key + " twice");
    Node *v = first_element(kb);
    if (v == nullptr || next_element(v) != nullptr)
      invalid("KEYBINDING " + key + " must hold one KEYVALUE or VALUE.REFERENCE");
    if (is(v, "KEYVALUE")) {
      add_key(op.get(), key, keyvalue(v, key.c_str()));
    } else if (is(v, "VALUE.REFERENCE")) {
      PathPtr ref = decode_value_reference(v, "", ctx);
      CMPIValue rv;
      rv.ref = ref.get();
      add_key(op.get(), key, make_data(CMPI_ref, rv));
    } else {
      invalid("KEYBINDING " + key + " must hold KEYVALUE or VALUE.REFERENCE, found " + name_of(v));
    }
  }
  return op;
}

PathPtr decode_any_path(const Node *n, const std::string &ns, const DecodeContext &ctx) {
  std::string host, pns;
  if (is(n, "INSTANCEPATH")) {
    decode_namespace_path(required_child(n, "NAMESPACEPATH"), &host, &pns);
    return decode_instance_name(required_child(n, "INSTANCENAME"), pns, host, ctx);
  }
  if (is(n, "LOCALINSTANCEPATH")) {
    pns = decode_local_namespace(required_child(n, "LOCALNAMESPACEPATH"));
    return decode_instance_name(required_child(n, "INSTANCENAME"), pns, "", ctx);
  }
  if (is(n, "INSTANCENAME")) return decode_instance_name(n, ns, "", ctx);
  const Node *cn = nullptr;
  if (is(n, "CLASSPATH")) {
    decode_namespace_path(required_child(n, "NAMESPACEPATH"), &host, &pns);
    cn = required_child(n, "CLASSNAME");
  } else if (is(n, "LOCALCLASSPATH")) {
    pns = decode_local_namespace(required_child(n, "LOCALNAMESPACEPATH"));
    cn = required_child(n, "CLASSNAME");
  } else if (is(n, "CLASSNAME")) {
    pns = ns;
    cn = n;
  } else if (is(n, "OBJECTPATH")) {
    Node *c = first_element(n);
    if (c == nullptr || (!is(c, "INSTANCEPATH") && !is(c, "CLASSPATH")))
      invalid("OBJECTPATH must hold INSTANCEPATH or CLASSPATH");
    return decode_any_path(c, ns, ctx);
  } else {
    invalid(std::string("expected an object path, found ") + name_of(n));
  }
  const char *name = name_attr(cn);
  PathPtr op(check_new(newCMPIObjectPath(pns.c_str(), name, nullptr), "object path"));
  if (!host.empty()) op->ft->setHostname(op.get(), host.c_str());
  return op;
}

PathPtr decode_value_reference(const Node *n, const std::string &ns, const DecodeContext &ctx) {
  if (!is(n, "VALUE.REFERENCE")) invalid(std::string("expected VALUE.REFERENCE, found ") + name_of(n));
  Node *c = first_element(n);
  if (c == nullptr) invalid("VALUE.REFERENCE without a path");
  if (next_element(c)) invalid("VALUE.REFERENCE with more than one path");
  if (is(c, "OBJECTPATH")) invalid("VALUE.REFERENCE cannot hold OBJECTPATH");
  return decode_any_path(c, ns, ctx);
}

namespace {

Value value_child(const Node *parent, bool have_type, CimType type, bool array, bool embedded,
                  const DecodeContext &ctx, const What &what, bool *untyped_out) {
  if (untyped_out) *untyped_out = false;
  const Node *v = nullptr;
  for (Node *c = first_element(parent); c; c = next_element(c)) {
    if (is(c, "VALUE") || is(c, "VALUE.ARRAY") || is(c, "VALUE.REFERENCE") || is(c, "VALUE.REFARRAY") ||
        is(c, "VALUE.NULL")) {
      if (v) invalid(what.str() + ": more than one value");
      v = c;
    }
  }
  if (v == nullptr || is(v, "VALUE.NULL")) {
    if (!have_type) {
      if (untyped_out) *untyped_out = true;
      return Value::null_of(CMPI_string);
    }
    return Value::null_of(to_cmpi(embedded ? CimType::Instance : type, array));
  }
  if (is(v, "VALUE.REFERENCE")) {
    if (have_type && (type != CimType::Reference || array)) invalid(what.str() + ": a reference where " + type_name(type) + (array ? " array" : "") + " is expected");
    PathPtr p = decode_value_reference(v, "", ctx);
    CMPIValue val;
    val.ref = p.release();
    return Value(make_data(CMPI_ref, val));
  }
  if (is(v, "VALUE.REFARRAY")) {
    if (have_type && (type != CimType::Reference || !array)) invalid(what.str() + ": a reference array where " + type_name(type) + " is expected");
    return refarray_value(v, "", ctx, what);
  }
  if (have_type && type == CimType::Reference) invalid(what.str() + ": a reference is expected");
  if (is(v, "VALUE.ARRAY")) {
    if (have_type && !array) invalid(what.str() + ": an array where a single " + type_name(type) + " is expected");
    if (!have_type) {
      if (untyped_out) *untyped_out = true;
      return array_value(v, CimType::String, false, ctx, what);
    }
    return array_value(v, type, embedded, ctx, what);
  }
  /* VALUE */
  if (have_type && array) invalid(what.str() + ": a single value where an array is expected");
  if (!have_type) {
    if (untyped_out) *untyped_out = true;
    return text_string(v);
  }
  return scalar_from_value(v, type, embedded, ctx, what);
}

/* PROPERTY / PROPERTY.ARRAY / PROPERTY.REFERENCE `n`, whose NAME is `name`. */
Value property_value(const Node *n, const char *name, const DecodeContext &ctx) {
  const What what("property ", name);
  if (is(n, "PROPERTY.REFERENCE")) return value_child(n, true, CimType::Reference, false, false, ctx, what, nullptr);
  bool array = is(n, "PROPERTY.ARRAY");
  if (!array && !is(n, "PROPERTY")) invalid(std::string("expected a property, found ") + name_of(n));
  CimType t = required_type(n, "TYPE");
  const char *emb = embedded_attr(n);
  bool embedded = t == CimType::String && (emb != nullptr || has_embedded_qualifier(n));
  return value_child(n, true, t, array, embedded, ctx, what, nullptr);
}

}  // namespace

Value decode_value_child(const Node *parent, bool have_type, CimType type, bool array, bool embedded,
                         const DecodeContext &ctx, std::string_view what, std::string_view name,
                         bool *untyped_out) {
  return value_child(parent, have_type, type, array, embedded, ctx, What(what, name), untyped_out);
}

Value decode_property_value(const Node *n, const DecodeContext &ctx) {
  return property_value(n, name_attr(n), ctx);
}

InstancePtr decode_instance(const Node *n, const std::string &ns, const DecodeContext &ctx,
                            const CMPIObjectPath *path) {
  if (!is(n, "INSTANCE")) invalid(std::string("expected INSTANCE, found ") + name_of(n));
  const char *cn = required_attr_value(n, "CLASSNAME");
  if (*cn == '\0') invalid("INSTANCE with empty CLASSNAME");
  /* With a path given, the instance is made without one and gets that
   * path once its properties are set. */
  PathPtr op;
  if (path == nullptr) op.reset(check_new(newCMPIObjectPath(ns.c_str(), cn, nullptr), "object path"));
  InstancePtr inst(check_new(native_new_CMPIInstance(op.get(), nullptr), "instance"));
  /* Names compare without case in the instance too: a name given twice
   * replaces a property instead of adding one. */
  CMPICount count = 0;
  std::string name; /* set_property takes the name as a string: one for all properties */
  for (Node *c = first_element(n); c; c = next_element(c)) {
    if (is(c, "QUALIFIER")) continue;
    if (!is(c, "PROPERTY") && !is(c, "PROPERTY.ARRAY") && !is(c, "PROPERTY.REFERENCE"))
      invalid(std::string("INSTANCE ") + cn + " may only hold QUALIFIER and PROPERTY elements, found " + name_of(c));
    name = name_attr(c);
    set_property(inst.get(), name, property_value(c, name.c_str(), ctx));
    if (inst->ft->getPropertyCount(inst.get(), nullptr) == count)
      invalid(std::string("INSTANCE ") + cn + " has property " + name + " twice");
    ++count;
  }
  if (path != nullptr) inst->ft->setObjectPath(inst.get(), path);
  return inst;
}

/* ----------------------------------------------------------------- classes */

namespace {

/* Canonical text for model literals of by-value types; other types keep
 * their text. */
std::string literal_text(std::string_view text, CimType t, const std::string &what) {
  if (t == CimType::String || t == CimType::Instance || t == CimType::Reference) return std::string(text);
  Value v = value_from_text(text, t, what);
  return scalar_to_text(v.data());
}

Literal decode_literal(const Node *parent, CimType t, const std::string &what) {
  Literal lit;
  for (Node *c = first_element(parent); c; c = next_element(c)) {
    if (is(c, "VALUE")) {
      lit = Literal::scalar(literal_text(text_in_place(c), t, what));
      return lit;
    }
    if (is(c, "VALUE.ARRAY")) {
      std::vector<std::string> items;
      for (Node *e = first_element(c); e; e = next_element(e)) {
        if (is(e, "VALUE")) items.push_back(literal_text(text_in_place(e), t, what));
        else if (!is(e, "VALUE.NULL")) invalid(what + ": VALUE.ARRAY may only hold VALUE, found " + name_of(e));
      }
      return Literal::list(std::move(items));
    }
    if (is(c, "VALUE.REFERENCE")) {
      DecodeContext ctx;
      PathPtr p = decode_value_reference(c, "", ctx);
      return Literal::scalar(path_to_text(p.get()));
    }
  }
  return lit;
}

QualifierList decode_qualifiers(const Node *n) {
  QualifierList qs;
  for (Node *c = first_element(n); c; c = next_element(c))
    if (is(c, "QUALIFIER")) qs.push_back(decode_qualifier(c));
  return qs;
}

unsigned array_size_attr(const Node *n) {
  const char *v = attr(n, "ARRAYSIZE");
  if (v == nullptr || *v == '\0') return 0;
  Value s = read_value(v, CimType::Uint32, name_of(n), " ARRAYSIZE");
  return s.data().value.uint32;
}

}  // namespace

Qualifier decode_qualifier(const Node *n) {
  Qualifier q;
  q.name = name_attr(n);
  q.type = required_type(n, "TYPE");
  q.propagated = parse_bool_attr(n, "PROPAGATED", false);
  q.overridable = parse_bool_attr(n, "OVERRIDABLE", true);
  q.tosubclass = parse_bool_attr(n, "TOSUBCLASS", true);
  q.translatable = parse_bool_attr(n, "TRANSLATABLE", false);
  q.value = decode_literal(n, q.type, "qualifier " + q.name);
  q.is_array = q.value.array || parse_bool_attr(n, "ISARRAY", false);
  if (q.value.null) q.value.array = q.is_array;
  return q;
}

ClassDecl decode_class(const Node *n) {
  if (!is(n, "CLASS")) invalid(std::string("expected CLASS, found ") + name_of(n));
  ClassDecl cls;
  cls.name = name_attr(n);
  if (const char *s = attr(n, "SUPERCLASS")) cls.superclass = s;
  for (Node *c = first_element(n); c; c = next_element(c)) {
    if (is(c, "QUALIFIER")) {
      cls.qualifiers.push_back(decode_qualifier(c));
    } else if (is(c, "PROPERTY") || is(c, "PROPERTY.ARRAY") || is(c, "PROPERTY.REFERENCE")) {
      PropertyDecl p;
      p.name = name_attr(c);
      if (is(c, "PROPERTY.REFERENCE")) {
        p.type = CimType::Reference;
        if (const char *rc = attr(c, "REFERENCECLASS")) p.reference_class = rc;
      } else {
        p.type = required_type(c, "TYPE");
        if (p.type == CimType::Reference) invalid("property " + p.name + ": references are PROPERTY.REFERENCE");
        p.is_array = is(c, "PROPERTY.ARRAY");
        if (p.is_array) p.array_size = array_size_attr(c);
      }
      const char *origin = attr(c, "CLASSORIGIN");
      p.class_origin = origin ? origin : cls.name;
      p.propagated = parse_bool_attr(c, "PROPAGATED", false);
      p.qualifiers = decode_qualifiers(c);
      p.default_value = decode_literal(c, p.type, "property " + p.name);
      if (p.default_value.null) p.default_value.array = p.is_array;
      const char *emb = embedded_attr(c);
      if (emb && !find_qualifier(p.qualifiers, "EmbeddedInstance") && !find_qualifier(p.qualifiers, "EmbeddedObject")) {
        /* The attribute stands for the qualifier when qualifiers were not
         * requested. */
        if (iequals(emb, "object")) {
          Qualifier q;
          q.name = "EmbeddedObject";
          q.value = Literal::scalar("TRUE");
          p.qualifiers.push_back(q);
        }
      }
      if (cls.property(p.name)) invalid("class " + cls.name + " declares property " + p.name + " twice");
      cls.properties.push_back(std::move(p));
    } else if (is(c, "METHOD")) {
      MethodDecl m;
      m.name = name_attr(c);
      CimType rt;
      m.return_type = lookup_type(c, "TYPE", &rt) ? rt : CimType::Uint32;
      const char *origin = attr(c, "CLASSORIGIN");
      m.class_origin = origin ? origin : cls.name;
      m.propagated = parse_bool_attr(c, "PROPAGATED", false);
      for (Node *e = first_element(c); e; e = next_element(e)) {
        if (is(e, "QUALIFIER")) {
          m.qualifiers.push_back(decode_qualifier(e));
          continue;
        }
        ParameterDecl p;
        p.name = name_attr(e);
        if (is(e, "PARAMETER") || is(e, "PARAMETER.ARRAY")) {
          p.type = required_type(e, "TYPE");
          p.is_array = is(e, "PARAMETER.ARRAY");
        } else if (is(e, "PARAMETER.REFERENCE") || is(e, "PARAMETER.REFARRAY")) {
          p.type = CimType::Reference;
          p.is_array = is(e, "PARAMETER.REFARRAY");
          if (const char *rc = attr(e, "REFERENCECLASS")) p.reference_class = rc;
        } else {
          invalid("METHOD " + m.name + " may only hold QUALIFIER and PARAMETER elements, found " + name_of(e));
        }
        if (p.is_array) p.array_size = array_size_attr(e);
        p.qualifiers = decode_qualifiers(e);
        if (m.parameter(p.name)) invalid("method " + m.name + " declares parameter " + p.name + " twice");
        m.parameters.push_back(std::move(p));
      }
      if (cls.method(m.name)) invalid("class " + cls.name + " declares method " + m.name + " twice");
      cls.methods.push_back(std::move(m));
    } else {
      invalid("CLASS " + cls.name + " may only hold QUALIFIER, PROPERTY and METHOD elements, found " + name_of(c));
    }
  }
  cls.index_properties();
  return cls;
}

}  // namespace detail

/* ---------------------------------------------------------- public readers */

using namespace detail;

namespace {
Node *find_or_fail(const Document &doc, const char *const *names, const char *what) {
  Node *n = find_element(doc.root(), names);
  if (n == nullptr) invalid(std::string("no ") + what + " element found");
  return n;
}
}  // namespace

InstancePtr parse_instance(const std::string &xml, const std::string &ns, const Limits &limits) {
  Document doc(xml.data(), xml.size(), limits);
  static const char *const names[] = {"INSTANCE", nullptr};
  DecodeContext ctx;
  ctx.limits = limits;
  return decode_instance(find_or_fail(doc, names, "INSTANCE"), ns, ctx);
}

PathPtr parse_instance_name(const std::string &xml, const std::string &ns, const Limits &limits) {
  Document doc(xml.data(), xml.size(), limits);
  static const char *const names[] = {"VALUE.REFERENCE", "INSTANCEPATH", "LOCALINSTANCEPATH", "INSTANCENAME", nullptr};
  DecodeContext ctx;
  ctx.limits = limits;
  Node *n = find_or_fail(doc, names, "instance name");
  if (is(n, "VALUE.REFERENCE")) return decode_value_reference(n, ns, ctx);
  return decode_any_path(n, ns, ctx);
}

ClassDecl parse_class(const std::string &xml, const Limits &limits) {
  Document doc(xml.data(), xml.size(), limits);
  static const char *const names[] = {"CLASS", nullptr};
  return decode_class(find_or_fail(doc, names, "CLASS"));
}

Value parse_property(const std::string &xml, std::string *name, const Limits &limits) {
  Document doc(xml.data(), xml.size(), limits);
  static const char *const names[] = {"PROPERTY", "PROPERTY.ARRAY", "PROPERTY.REFERENCE", nullptr};
  Node *n = find_or_fail(doc, names, "PROPERTY");
  if (name) *name = required_attr(n, "NAME");
  DecodeContext ctx;
  ctx.limits = limits;
  return decode_property_value(n, ctx);
}

}  // namespace cimxml
