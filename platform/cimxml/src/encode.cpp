/* Writing CIM-XML elements. */
#include "internal.h"

#include <cimxml/xml.h>

#include <cstring>
#include <string_view>

namespace cimxml {

using namespace detail;

/* ------------------------------------------------------------- escaping */

namespace {
/* ASCII characters written as they are: printable and not markup. */
struct PlainTable {
  bool is[256] = {};
  constexpr PlainTable() {
    for (int c = 0x20; c < 0x7F; ++c) is[c] = c != '&' && c != '<' && c != '>' && c != '"' && c != '\'';
  }
};
constexpr PlainTable kPlain;
}  // namespace

void append_escaped(std::string &out, const char *text, std::size_t len) {
  static const char kReplacement[] = "\xEF\xBF\xBD";
  std::size_t i = 0;
  while (i < len) {
    /* A run of characters that stand for themselves goes out in one piece. */
    std::size_t run = i;
    while (run < len && kPlain.is[static_cast<unsigned char>(text[run])]) ++run;
    if (run > i) {
      out.append(text + i, run - i);
      i = run;
      if (i == len) break;
    }
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        case '\t': out += "&#9;"; break;
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
        default:
          if (c < 0x20 || c == 0x7F) {
            if (c == 0x7F) out += "&#127;";
            else out += kReplacement;
          } else {
            out += static_cast<char>(c);
          }
      }
      ++i;
      continue;
    }
    /* Multi-byte UTF-8: copy when valid, else one replacement per byte. */
    std::size_t n = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    bool ok = n != 0 && i + n <= len;
    unsigned cp = 0;
    if (ok) {
      cp = c & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
      for (std::size_t k = 1; k < n; ++k) {
        unsigned char cc = static_cast<unsigned char>(text[i + k]);
        if ((cc & 0xC0) != 0x80) {
          ok = false;
          break;
        }
        cp = (cp << 6) | (cc & 0x3F);
      }
    }
    static const unsigned kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (ok && (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF))
      ok = false;
    if (ok) {
      out.append(text + i, n);
      i += n;
    } else {
      out += kReplacement;
      ++i;
    }
  }
}

std::string escape(const std::string &text) {
  std::string out;
  out.reserve(text.size() + 16);
  append_escaped(out, text.data(), text.size());
  return out;
}

namespace {

void esc(std::string &out, std::string_view s) { append_escaped(out, s.data(), s.size()); }

/* Escapes what was appended to `out` from `start` on. Most text has nothing
 * to escape: it is only looked at, and stays where it is. */
void escape_from(std::string &out, std::size_t start) {
  std::size_t i = start;
  while (i < out.size() && kPlain.is[static_cast<unsigned char>(out[i])]) ++i;
  if (i == out.size()) return;
  const std::string rest(out, i);
  out.resize(i);
  esc(out, rest);
}

/* ` name="value"`, the value escaped; ` name="` goes out in one piece. */
template <std::size_t N>
void attr_out(std::string &out, const char (&name)[N], std::string_view value) {
  char head[N + 2];
  head[0] = ' ';
  std::memcpy(head + 1, name, N - 1);
  head[N] = '=';
  head[N + 1] = '"';
  out.append(head, sizeof head);
  esc(out, value);
  out += '"';
}

/* The pieces of markup that depend on a CIM type only, made once from
 * type_name: ` TYPE="uint16"` and the KEYVALUE start tag of a key of the type
 * (`<KEYVALUE VALUETYPE="numeric" TYPE="uint16">`). */
class TypePieces {
 public:
  static const TypePieces &get() {
    static const TypePieces pieces;
    return pieces;
  }
  const std::string &type_attr(CimType t) const { return type_attr_[index(t)]; }
  const std::string &keyvalue_start(CimType t) const { return keyvalue_start_[index(t)]; }

 private:
  static constexpr std::size_t kCount = static_cast<std::size_t>(CimType::Instance) + 1;
  static std::size_t index(CimType t) { return static_cast<std::size_t>(t); }
  TypePieces() {
    for (std::size_t i = 0; i < kCount; ++i) {
      const CimType t = static_cast<CimType>(i);
      type_attr_[i] = std::string(" TYPE=\"") + type_name(t) + '"';
      const char *value_type = t == CimType::Boolean               ? "boolean"
                               : is_integer(t) || is_real(t)       ? "numeric"
                                                                   : "string";
      keyvalue_start_[i] = std::string("<KEYVALUE VALUETYPE=\"") + value_type + '"';
      if (t != CimType::String && t != CimType::Instance) keyvalue_start_[i] += type_attr_[i];
      keyvalue_start_[i] += '>';
    }
  }
  std::string type_attr_[kCount];
  std::string keyvalue_start_[kCount];
};

bool contains_name(const std::vector<std::string> *list, std::string_view name) {
  if (list == nullptr) return true;
  for (const auto &n : *list)
    if (iequals(n, name)) return true;
  return false;
}

/* Property `i` of an instance, or key `i` of a path, with its name: read in
 * place from a native object (valid while it lives unchanged), else copied
 * into *scratch. */
CMPIData property_in_place(const CMPIInstance *inst, CMPICount i, std::string_view *name, std::string *scratch) {
  const char *n = nullptr;
  const CMPIData *d = nullptr;
  if (cmpinative::property_at(inst, i, &n, &d)) {
    *name = n;
    return *d;
  }
  const CMPIData v = property_at(inst, i, scratch);
  *name = *scratch;
  return v;
}
CMPIData key_in_place(const CMPIObjectPath *op, CMPICount i, std::string_view *name, std::string *scratch) {
  const char *n = nullptr;
  const CMPIData *d = nullptr;
  if (cmpinative::key_at(op, i, &n, &d)) {
    *name = n;
    return *d;
  }
  const CMPIData v = key_at(op, i, scratch);
  *name = *scratch;
  return v;
}

std::string instance_xml(const CMPIInstance *inst) {
  std::string s;
  write_instance(s, inst);
  return s;
}

/* The text of a scalar, escaped. */
void write_scalar_text(std::string &out, const CMPIData &d) {
  const std::size_t start = out.size();
  append_scalar_text(out, d);
  escape_from(out, start);
}

void write_scalar_value(std::string &out, const CMPIData &d) {
  out += "<VALUE>";
  if (d.type == CMPI_instance) {
    if (d.value.inst) esc(out, instance_xml(d.value.inst));
  } else {
    write_scalar_text(out, d);
  }
  out += "</VALUE>";
}

void write_class_name(std::string &out, std::string_view cn) {
  out += "<CLASSNAME NAME=\"";
  esc(out, cn);
  out += "\"/>";
}

void write_literal(std::string &out, const Literal &v, CimType type) {
  if (v.null) return;
  if (type == CimType::Reference) {
    /* Reference defaults are kept as path text. */
    if (v.array) return;
    if (v.items.empty()) return;
    PathPtr p = path_from_text(v.items[0]);
    write_value_reference(out, p.get());
    return;
  }
  if (v.array) {
    out += "<VALUE.ARRAY>";
    for (const auto &i : v.items) {
      out += "<VALUE>";
      esc(out, i);
      out += "</VALUE>";
    }
    out += "</VALUE.ARRAY>";
  } else {
    out += "<VALUE>";
    if (!v.items.empty()) esc(out, v.items[0]);
    out += "</VALUE>";
  }
}

void write_qualifiers(std::string &out, const QualifierList &qs, bool local_only) {
  for (const auto &q : qs) {
    if (local_only && q.propagated) continue;
    write_qualifier(out, q);
  }
}

const char *embedded_kind(const QualifierList &qs) {
  if (find_qualifier(qs, "EmbeddedInstance")) return "instance";
  if (qualifier_true(qs, "EmbeddedObject")) return "object";
  return nullptr;
}

void write_parameter(std::string &out, const ParameterDecl &p, bool include_qualifiers) {
  const char *el;
  if (p.type == CimType::Reference) {
    el = p.is_array ? "PARAMETER.REFARRAY" : "PARAMETER.REFERENCE";
    out += '<';
    out += el;
    attr_out(out, "NAME", p.name);
    if (!p.reference_class.empty()) attr_out(out, "REFERENCECLASS", p.reference_class);
  } else {
    el = p.is_array ? "PARAMETER.ARRAY" : "PARAMETER";
    out += '<';
    out += el;
    attr_out(out, "NAME", p.name);
    attr_out(out, "TYPE", type_name(p.type));
  }
  if (p.is_array && p.array_size) attr_out(out, "ARRAYSIZE", std::to_string(p.array_size));
  /* Always an end tag: wbemcli does not accept empty-element PARAMETER tags. */
  out += '>';
  if (include_qualifiers) write_qualifiers(out, p.qualifiers, false);
  out += "</";
  out += el;
  out += '>';
}

void write_property_decl(std::string &out, const PropertyDecl &p, const ClassOptions &opts) {
  const char *el;
  if (p.type == CimType::Reference) {
    el = "PROPERTY.REFERENCE";
    out += "<PROPERTY.REFERENCE";
    attr_out(out, "NAME", p.name);
    if (!p.reference_class.empty()) attr_out(out, "REFERENCECLASS", p.reference_class);
  } else {
    el = p.is_array ? "PROPERTY.ARRAY" : "PROPERTY";
    out += '<';
    out += el;
    attr_out(out, "NAME", p.name);
    attr_out(out, "TYPE", type_name(p.type));
    if (p.is_array && p.array_size) attr_out(out, "ARRAYSIZE", std::to_string(p.array_size));
    if (const char *k = embedded_kind(p.qualifiers)) attr_out(out, "EmbeddedObject", k);
  }
  if (opts.include_class_origin && !p.class_origin.empty()) attr_out(out, "CLASSORIGIN", p.class_origin);
  if (p.propagated) attr_out(out, "PROPAGATED", "true");
  out += '>';
  if (opts.include_qualifiers) write_qualifiers(out, p.qualifiers, false);
  write_literal(out, p.default_value, p.type);
  out += "</";
  out += el;
  out += '>';
}

}  // namespace

/* -------------------------------------------------------------- values */

void write_value(std::string &out, const CMPIData &d) {
  if ((d.state & CMPI_nullValue) || d.type == CMPI_null) return;
  if (d.type & CMPI_ARRAY) {
    CMPIArray *a = d.value.array;
    if (a == nullptr) return;
    CMPICount n = a->ft->getSize(a, nullptr);
    bool refs = (d.type & ~CMPI_ARRAY) == CMPI_ref;
    out += refs ? "<VALUE.REFARRAY>" : "<VALUE.ARRAY>";
    for (CMPICount i = 0; i < n; ++i) {
      CMPIData e = a->ft->getElementAt(a, i, nullptr);
      if ((e.state & CMPI_nullValue) || (refs && e.value.ref == nullptr)) {
        out += "<VALUE></VALUE>";
      } else if (refs) {
        write_value_reference(out, e.value.ref);
      } else {
        write_scalar_value(out, e);
      }
    }
    out += refs ? "</VALUE.REFARRAY>" : "</VALUE.ARRAY>";
    return;
  }
  if (d.type == CMPI_ref) {
    if (d.value.ref) write_value_reference(out, d.value.ref);
    return;
  }
  write_scalar_value(out, d);
}

void write_local_namespace_path(std::string &out, std::string_view ns) {
  out += "<LOCALNAMESPACEPATH>";
  std::size_t i = 0;
  while (i <= ns.size()) {
    std::size_t slash = ns.find('/', i);
    std::string_view seg = ns.substr(i, slash == std::string_view::npos ? std::string_view::npos : slash - i);
    if (!seg.empty()) {
      out += "<NAMESPACE NAME=\"";
      esc(out, seg);
      out += "\"/>";
    }
    if (slash == std::string_view::npos) break;
    i = slash + 1;
  }
  out += "</LOCALNAMESPACEPATH>";
}

void write_namespace_path(std::string &out, std::string_view host, std::string_view ns) {
  out += "<NAMESPACEPATH><HOST>";
  esc(out, host);
  out += "</HOST>";
  write_local_namespace_path(out, ns);
  out += "</NAMESPACEPATH>";
}

namespace {
/* INSTANCENAME of `op`, whose class name the caller has already read. */
void put_instance_name(std::string &out, const CMPIObjectPath *op, std::string_view class_name) {
  out += "<INSTANCENAME CLASSNAME=\"";
  esc(out, class_name);
  out += "\">";
  unsigned n = path_key_count(op);
  std::string scratch;
  for (unsigned i = 0; i < n; ++i) {
    std::string_view name;
    const CMPIData k = key_in_place(op, i, &name, &scratch);
    out += "<KEYBINDING NAME=\"";
    esc(out, name);
    out += "\">";
    if (k.type == CMPI_ref) {
      if (k.value.ref) write_value_reference(out, k.value.ref);
      out += "</KEYBINDING>";
    } else {
      CimType t;
      if (!from_cmpi(k.type, &t, nullptr)) t = CimType::String;
      if (k.type & CMPI_ARRAY) {
        /* No key is an array: such a value is refused below, once its type
         * is written. */
        out += "<KEYVALUE VALUETYPE=\"string\"";
        if (t != CimType::String && t != CimType::Instance) out += TypePieces::get().type_attr(t);
        out += '>';
      } else {
        out += TypePieces::get().keyvalue_start(t);
      }
      if (!(k.state & CMPI_nullValue)) write_scalar_text(out, k);
      out += "</KEYVALUE></KEYBINDING>";
    }
  }
  out += "</INSTANCENAME>";
}
}  // namespace

void write_instance_name(std::string &out, const CMPIObjectPath *op) {
  put_instance_name(out, op, PathNames(op).class_name);
}

void write_instance_path(std::string &out, const CMPIObjectPath *op, std::string_view host, std::string_view ns) {
  const PathNames names(op);
  out += "<INSTANCEPATH>";
  write_namespace_path(out, names.host.empty() ? host : names.host, names.name_space.empty() ? ns : names.name_space);
  put_instance_name(out, op, names.class_name);
  out += "</INSTANCEPATH>";
}

void write_local_instance_path(std::string &out, const CMPIObjectPath *op, std::string_view ns) {
  const PathNames names(op);
  out += "<LOCALINSTANCEPATH>";
  write_local_namespace_path(out, names.name_space.empty() ? ns : names.name_space);
  put_instance_name(out, op, names.class_name);
  out += "</LOCALINSTANCEPATH>";
}

namespace detail {
void write_class_path(std::string &out, std::string_view host, std::string_view ns, std::string_view cn) {
  out += "<CLASSPATH>";
  write_namespace_path(out, host, ns);
  write_class_name(out, cn);
  out += "</CLASSPATH>";
}
void write_local_class_path(std::string &out, std::string_view ns, std::string_view cn) {
  out += "<LOCALCLASSPATH>";
  write_local_namespace_path(out, ns);
  write_class_name(out, cn);
  out += "</LOCALCLASSPATH>";
}
}  // namespace detail

void write_value_reference(std::string &out, const CMPIObjectPath *op) {
  out += "<VALUE.REFERENCE>";
  const PathNames names(op);
  bool is_class = path_key_count(op) == 0;
  if (!names.host.empty()) {
    if (is_class) write_class_path(out, names.host, names.name_space, names.class_name);
    else write_instance_path(out, op, names.host, names.name_space);
  } else if (!names.name_space.empty()) {
    if (is_class) write_local_class_path(out, names.name_space, names.class_name);
    else write_local_instance_path(out, op, names.name_space);
  } else {
    if (is_class) write_class_name(out, names.class_name);
    else put_instance_name(out, op, names.class_name);
  }
  out += "</VALUE.REFERENCE>";
}

/* ---------------------------------------------------- properties, instances */

namespace {
void put_property(std::string &out, std::string_view name, const CMPIData &d, const PropertyDecl *decl,
                  const InstanceOptions &opts, std::string_view class_origin) {
  CimType t = CimType::String;
  bool array = false;
  if (d.type == CMPI_null || !from_cmpi(d.type, &t, &array)) {
    if (decl) {
      t = decl->type;
      array = decl->is_array;
    } else {
      t = CimType::String;
      array = false;
    }
  }
  std::string_view end_tag;
  if (t == CimType::Reference && !array) {
    out += "<PROPERTY.REFERENCE NAME=\"";
    esc(out, name);
    out += '"';
    if (decl && !decl->reference_class.empty()) attr_out(out, "REFERENCECLASS", decl->reference_class);
    end_tag = "</PROPERTY.REFERENCE>";
  } else {
    out += array ? std::string_view("<PROPERTY.ARRAY NAME=\"") : std::string_view("<PROPERTY NAME=\"");
    esc(out, name);
    out += '"';
    out += TypePieces::get().type_attr(t);
    const char *embedded = t == CimType::Instance                ? "instance"
                           : t == CimType::String && decl != nullptr ? embedded_kind(decl->qualifiers)
                                                                   : nullptr;
    if (embedded) attr_out(out, "EmbeddedObject", embedded);
    end_tag = array ? std::string_view("</PROPERTY.ARRAY>") : std::string_view("</PROPERTY>");
  }
  if (!class_origin.empty()) attr_out(out, "CLASSORIGIN", class_origin);
  out += '>';
  if (opts.include_qualifiers && decl) write_qualifiers(out, decl->qualifiers, false);
  write_value(out, d);
  out += end_tag;
}

}  // namespace

void write_property(std::string &out, const std::string &name, const CMPIData &d, const PropertyDecl *decl,
                    const InstanceOptions &opts, const std::string &class_origin) {
  put_property(out, name, d, decl, opts, class_origin);
}

void write_instance(std::string &out, const CMPIInstance *inst, const InstanceOptions &opts) {
  out += "<INSTANCE CLASSNAME=\"";
  /* A native instance's class name is read where it is kept. */
  if (const CMPIObjectPath *stored = cmpinative::stored_path(inst)) esc(out, PathNames(stored).class_name);
  else esc(out, instance_class(inst));
  out += "\">";
  CMPICount n = inst->ft->getPropertyCount(inst, nullptr);
  std::string scratch;
  /* Instances mostly hold their properties in the order the class declares
   * them: each declaration is looked for first where the last one was found. */
  std::size_t next_decl = 0;
  for (CMPICount i = 0; i < n; ++i) {
    std::string_view name;
    const CMPIData d = property_in_place(inst, i, &name, &scratch);
    if (!contains_name(opts.property_list, name)) continue;
    const PropertyDecl *decl = nullptr;
    if (opts.cls) {
      const auto &decls = opts.cls->properties;
      decl = next_decl < decls.size() && iequals(decls[next_decl].name, name) ? &decls[next_decl]
                                                                              : opts.cls->property(name);
      if (decl) next_decl = static_cast<std::size_t>(decl - decls.data()) + 1;
    }
    put_property(out, name, d, decl, opts,
                 opts.include_class_origin && decl ? std::string_view(decl->class_origin) : std::string_view());
  }
  out += "</INSTANCE>";
}

/* --------------------------------------------------------------- classes */

void write_qualifier(std::string &out, const Qualifier &q) {
  out += "<QUALIFIER";
  attr_out(out, "NAME", q.name);
  attr_out(out, "TYPE", type_name(q.type));
  if (q.propagated) attr_out(out, "PROPAGATED", "true");
  if (!q.overridable) attr_out(out, "OVERRIDABLE", "false");
  if (!q.tosubclass) attr_out(out, "TOSUBCLASS", "false");
  if (q.translatable) attr_out(out, "TRANSLATABLE", "true");
  out += '>';
  Literal v = q.value;
  write_literal(out, v, q.type);
  out += "</QUALIFIER>";
}

void write_class(std::string &out, const ClassDecl &cls, const ClassOptions &opts) {
  out += "<CLASS";
  attr_out(out, "NAME", cls.name);
  if (!cls.superclass.empty()) attr_out(out, "SUPERCLASS", cls.superclass);
  out += '>';
  if (opts.include_qualifiers) write_qualifiers(out, cls.qualifiers, opts.local_only);
  for (const auto &p : cls.properties) {
    if (opts.local_only && p.propagated) continue;
    if (!contains_name(opts.property_list, p.name)) continue;
    write_property_decl(out, p, opts);
  }
  for (const auto &m : cls.methods) {
    if (opts.local_only && m.propagated) continue;
    out += "<METHOD";
    attr_out(out, "NAME", m.name);
    attr_out(out, "TYPE", type_name(m.return_type));
    if (opts.include_class_origin && !m.class_origin.empty()) attr_out(out, "CLASSORIGIN", m.class_origin);
    if (m.propagated) attr_out(out, "PROPAGATED", "true");
    out += '>';
    if (opts.include_qualifiers) write_qualifiers(out, m.qualifiers, false);
    for (const auto &p : m.parameters) write_parameter(out, p, opts.include_qualifiers);
    out += "</METHOD>";
  }
  out += "</CLASS>";
}

}  // namespace cimxml
