/* Simple requests and responses of CIM operations over HTTP. */
#include "internal.h"

#include <cimxml/message.h>

#include <set>

namespace cimxml {

using namespace detail;

/* ------------------------------------------------------------ operations */

namespace {

struct OpRow {
  Operation op;
  const char *name;
  bool returns; /* has an IRETURNVALUE */
};
const OpRow kOps[] = {
    {Operation::GetClass, "GetClass", true},
    {Operation::EnumerateClasses, "EnumerateClasses", true},
    {Operation::EnumerateClassNames, "EnumerateClassNames", true},
    {Operation::CreateClass, "CreateClass", false},
    {Operation::ModifyClass, "ModifyClass", false},
    {Operation::DeleteClass, "DeleteClass", false},
    {Operation::GetInstance, "GetInstance", true},
    {Operation::EnumerateInstances, "EnumerateInstances", true},
    {Operation::EnumerateInstanceNames, "EnumerateInstanceNames", true},
    {Operation::CreateInstance, "CreateInstance", true},
    {Operation::ModifyInstance, "ModifyInstance", false},
    {Operation::DeleteInstance, "DeleteInstance", false},
    {Operation::ExecQuery, "ExecQuery", true},
    {Operation::Associators, "Associators", true},
    {Operation::AssociatorNames, "AssociatorNames", true},
    {Operation::References, "References", true},
    {Operation::ReferenceNames, "ReferenceNames", true},
    {Operation::GetProperty, "GetProperty", true},
    {Operation::SetProperty, "SetProperty", false},
    {Operation::GetQualifier, "GetQualifier", true},
    {Operation::SetQualifier, "SetQualifier", false},
    {Operation::DeleteQualifier, "DeleteQualifier", false},
    {Operation::EnumerateQualifiers, "EnumerateQualifiers", true},
};

const char kHead[] = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\">\n";

void esc(std::string &out, const std::string &s) { append_escaped(out, s.data(), s.size()); }

void open_message(std::string &out, const std::string &id, const char *kind) {
  out += kHead;
  out += "<MESSAGE ID=\"";
  esc(out, id);
  out += "\" PROTOCOLVERSION=\"1.0\">\n<";
  out += kind;
  out += ">\n";
}

/* Orders names as their lower-case forms do: a set of names ordered so
 * finds a name given again in other case. */
struct NoCaseLess {
  bool operator()(std::string_view a, std::string_view b) const {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned char x = lower_ascii(a[i]), y = lower_ascii(b[i]);
      if (x != y) return x < y;
    }
    return a.size() < b.size();
  }
  static unsigned char lower_ascii(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u + 32) : u;
  }
};
using NameSet = std::set<std::string_view, NoCaseLess>;

/* PARAMTYPE attribute (and EmbeddedObject) for a value. */
void paramtype_attrs(std::string &out, const CMPIData &d) {
  CimType t;
  bool array = false;
  if (!from_cmpi(d.type, &t, &array)) return;
  out += " PARAMTYPE=\"";
  out += type_name(t);
  out += '"';
  if (t == CimType::Instance) out += " EmbeddedObject=\"instance\"";
}

void write_paramvalue(std::string &out, const std::string &name, const CMPIData &d, bool typed) {
  out += "<PARAMVALUE NAME=\"";
  esc(out, name);
  out += '"';
  if (typed) paramtype_attrs(out, d);
  out += '>';
  write_value(out, d);
  out += "</PARAMVALUE>";
}

}  // namespace

const char *operation_name(Operation op) {
  for (const auto &r : kOps)
    if (r.op == op) return r.name;
  return "";
}

std::optional<Operation> operation_from_name(const std::string &name) {
  for (const auto &r : kOps)
    if (iequals(name, r.name)) return r.op;
  return std::nullopt;
}

std::vector<const char *> Request::property_argv() const {
  std::vector<const char *> v;
  if (!property_list) return v;
  for (const auto &p : *property_list) v.push_back(p.c_str());
  v.push_back(nullptr);
  return v;
}

ClassOptions class_options(const Request &req) {
  ClassOptions o;
  o.local_only = req.local_only;
  o.include_qualifiers = req.include_qualifiers;
  o.include_class_origin = req.include_class_origin;
  o.property_list = req.property_list ? &*req.property_list : nullptr;
  return o;
}

InstanceOptions instance_options(const Request &req, const ClassDecl *cls) {
  InstanceOptions o;
  o.property_list = req.property_list ? &*req.property_list : nullptr;
  o.include_qualifiers = req.include_qualifiers;
  o.include_class_origin = req.include_class_origin;
  o.cls = cls;
  return o;
}

/* ------------------------------------------------------- request parsing */

namespace {

void check_version(const Node *n, const char *attr_name, const char *major, const char *cimerror) {
  const std::string_view v = required_attr_value(n, attr_name);
  const std::string_view m = major;
  if (v.compare(0, m.size(), m) != 0 || (v.size() > m.size() && v[m.size()] != '.'))
    throw Error(CMPI_RC_ERR_NOT_SUPPORTED, std::string(attr_name) + " \"" + std::string(v) + "\" is not supported",
                cimerror);
}

/* Finds MESSAGE in CIM, checking versions. Faults are message-level. */
const Node *open_envelope(const Document &doc, std::string *id, std::string *protocol) {
  Node *cim = doc.root();
  if (!is(cim, "CIM")) throw Error(CMPI_RC_ERR_INVALID_PARAMETER, std::string("root element is ") + name_of(cim) + ", not CIM", kNotValid);
  try {
    check_version(cim, "CIMVERSION", "2", kUnsupportedCim);
    check_version(cim, "DTDVERSION", "2", kUnsupportedDtd);
    Node *msg = first_element(cim);
    if (!is(msg, "MESSAGE")) invalid("CIM element without MESSAGE");
    *id = required_attr(msg, "ID");
    *protocol = required_attr(msg, "PROTOCOLVERSION");
    check_version(msg, "PROTOCOLVERSION", "1", kUnsupportedProtocol);
    return msg;
  } catch (const Error &e) {
    if (!e.cimerror().empty()) throw;
    throw Error(e.code(), e.what(), kNotValid);
  }
}

bool bool_param(const Node *ip, const std::string &name, bool dflt) {
  Node *v = first_element(ip);
  if (v == nullptr) return dflt; /* NULL: the default */
  if (!is(v, "VALUE") || next_element(v)) invalid("parameter " + name + " must be a single boolean VALUE");
  Value b = value_from_text(text_of(v), CimType::Boolean, "parameter " + name);
  return b.data().value.boolean != 0;
}

std::string string_param(const Node *ip, const std::string &name) {
  Node *v = first_element(ip);
  if (v == nullptr) return std::string();
  if (!is(v, "VALUE") || next_element(v)) invalid("parameter " + name + " must be a single string VALUE");
  return text_of(v);
}

std::string classname_param(const Node *ip, const std::string &name) {
  Node *v = first_element(ip);
  if (v == nullptr) return std::string();
  if (!is(v, "CLASSNAME") || next_element(v)) invalid("parameter " + name + " must be a CLASSNAME");
  std::string cn = required_attr(v, "NAME");
  if (cn.empty()) invalid("parameter " + name + ": CLASSNAME with empty NAME");
  return cn;
}

Node *single_child(const Node *ip, const std::string &name, const char *element) {
  Node *v = first_element(ip);
  if (v == nullptr || !is(v, element) || next_element(v))
    invalid("parameter " + name + " must be a " + element);
  return v;
}

void set_defaults(Request &r) {
  switch (r.op) {
    case Operation::GetClass:
      r.local_only = true;
      r.include_qualifiers = true;
      break;
    case Operation::EnumerateClasses:
      r.local_only = true;
      r.include_qualifiers = true;
      break;
    case Operation::GetInstance:
      r.local_only = true;
      break;
    case Operation::EnumerateInstances:
      r.local_only = true;
      r.deep_inheritance = true;
      break;
    default:
      break;
  }
}

/* Which IPARAMVALUEs an operation takes; the `required` ones must be
 * present. Unused places are null. */
struct Signature {
  const char *required[2];
  const char *optional[7];
};

Signature signature_of(Operation op) {
  switch (op) {
    case Operation::GetClass:
      return {{"ClassName"}, {"LocalOnly", "IncludeQualifiers", "IncludeClassOrigin", "PropertyList"}};
    case Operation::EnumerateClasses:
      return {{}, {"ClassName", "DeepInheritance", "LocalOnly", "IncludeQualifiers", "IncludeClassOrigin"}};
    case Operation::EnumerateClassNames:
      return {{}, {"ClassName", "DeepInheritance"}};
    case Operation::CreateClass:
      return {{"NewClass"}, {}};
    case Operation::ModifyClass:
      return {{"ModifiedClass"}, {}};
    case Operation::DeleteClass:
      return {{"ClassName"}, {}};
    case Operation::GetInstance:
      return {{"InstanceName"}, {"LocalOnly", "IncludeQualifiers", "IncludeClassOrigin", "PropertyList"}};
    case Operation::EnumerateInstances:
      return {{"ClassName"},
              {"LocalOnly", "DeepInheritance", "IncludeQualifiers", "IncludeClassOrigin", "PropertyList"}};
    case Operation::EnumerateInstanceNames:
      return {{"ClassName"}, {}};
    case Operation::CreateInstance:
      return {{"NewInstance"}, {}};
    case Operation::ModifyInstance:
      return {{"ModifiedInstance"}, {"IncludeQualifiers", "PropertyList"}};
    case Operation::DeleteInstance:
      return {{"InstanceName"}, {}};
    case Operation::ExecQuery:
      return {{"QueryLanguage", "Query"}, {}};
    case Operation::Associators:
      return {{"ObjectName"},
              {"AssocClass", "ResultClass", "Role", "ResultRole", "IncludeQualifiers", "IncludeClassOrigin",
               "PropertyList"}};
    case Operation::AssociatorNames:
      return {{"ObjectName"}, {"AssocClass", "ResultClass", "Role", "ResultRole"}};
    case Operation::References:
      return {{"ObjectName"}, {"ResultClass", "Role", "IncludeQualifiers", "IncludeClassOrigin", "PropertyList"}};
    case Operation::ReferenceNames:
      return {{"ObjectName"}, {"ResultClass", "Role"}};
    case Operation::GetProperty:
      return {{"InstanceName", "PropertyName"}, {}};
    case Operation::SetProperty:
      return {{"InstanceName", "PropertyName"}, {"NewValue"}};
    case Operation::GetQualifier:
    case Operation::DeleteQualifier:
      return {{"QualifierName"}, {}};
    case Operation::SetQualifier:
      return {{"QualifierDeclaration"}, {}};
    default:
      return {{}, {}};
  }
}

void parse_iparam(Request &r, const Node *ip, const std::string &pname, const DecodeContext &ctx) {
  const auto is_name = [&pname](const char *name) { return iequals(pname, name); };
  if (is_name("localonly")) r.local_only = bool_param(ip, pname, r.local_only);
  else if (is_name("deepinheritance")) r.deep_inheritance = bool_param(ip, pname, r.deep_inheritance);
  else if (is_name("includequalifiers")) r.include_qualifiers = bool_param(ip, pname, r.include_qualifiers);
  else if (is_name("includeclassorigin")) r.include_class_origin = bool_param(ip, pname, r.include_class_origin);
  else if (is_name("classname")) r.class_name = classname_param(ip, pname);
  else if (is_name("assocclass")) r.assoc_class = classname_param(ip, pname);
  else if (is_name("resultclass")) r.result_class = classname_param(ip, pname);
  else if (is_name("role")) r.role = string_param(ip, pname);
  else if (is_name("resultrole")) r.result_role = string_param(ip, pname);
  else if (is_name("querylanguage")) r.query_language = string_param(ip, pname);
  else if (is_name("query")) r.query = string_param(ip, pname);
  else if (is_name("propertyname")) r.property_name = string_param(ip, pname);
  else if (is_name("qualifiername")) r.qualifier_name = string_param(ip, pname);
  else if (is_name("instancename")) {
    r.instance_name = decode_instance_name(single_child(ip, pname, "INSTANCENAME"), r.name_space, "", ctx);
  } else if (is_name("objectname")) {
    Node *v = first_element(ip);
    if (v == nullptr || next_element(v)) invalid("parameter ObjectName must be a CLASSNAME or INSTANCENAME");
    if (is(v, "CLASSNAME")) {
      r.class_name = classname_param(ip, pname);
      r.object_is_class = true;
      r.instance_name.reset(check_new(newCMPIObjectPath(r.name_space.c_str(), r.class_name.c_str(), nullptr), "object path"));
    } else if (is(v, "INSTANCENAME")) {
      r.instance_name = decode_instance_name(v, r.name_space, "", ctx);
      r.class_name = path_class(r.instance_name.get());
    } else {
      invalid("parameter ObjectName must be a CLASSNAME or INSTANCENAME");
    }
  } else if (is_name("newinstance")) {
    r.instance = decode_instance(single_child(ip, pname, "INSTANCE"), r.name_space, ctx);
  } else if (is_name("modifiedinstance")) {
    Node *ni = single_child(ip, pname, "VALUE.NAMEDINSTANCE");
    r.instance_name = decode_instance_name(required_child(ni, "INSTANCENAME"), r.name_space, "", ctx);
    r.instance = decode_instance(required_child(ni, "INSTANCE"), r.name_space, ctx, r.instance_name.get());
  } else if (is_name("propertylist")) {
    Node *v = first_element(ip);
    if (v == nullptr) {
      r.property_list.reset();
    } else {
      if (!is(v, "VALUE.ARRAY") || next_element(v)) invalid("parameter PropertyList must be a VALUE.ARRAY");
      std::vector<std::string> names;
      for (Node *e = first_element(v); e; e = next_element(e)) {
        if (!is(e, "VALUE")) invalid("parameter PropertyList may only hold VALUE elements");
        names.push_back(text_of(e));
      }
      r.property_list = std::move(names);
    }
  } else if (is_name("newvalue")) {
    r.new_value.name = pname;
    r.new_value.value = decode_value_child(ip, false, CimType::String, false, false, ctx, "parameter NewValue", "",
                                           &r.new_value.untyped);
  } else if (is_name("newclass") || is_name("modifiedclass")) {
    r.new_class.reset(new ClassDecl(decode_class(single_child(ip, pname, "CLASS"))));
  } else if (is_name("qualifierdeclaration")) {
    /* Qualifier declarations are accepted but not decoded. */
  } else {
    invalid(std::string("unknown parameter ") + pname + " for " + operation_name(r.op));
  }
}

void parse_imethodcall(Request &r, const Node *call, const DecodeContext &ctx) {
  Node *first = first_element(call);
  if (first == nullptr || !is(first, "LOCALNAMESPACEPATH")) invalid("IMETHODCALL without LOCALNAMESPACEPATH");
  r.name_space = decode_local_namespace(first);
  set_defaults(r);
  const Signature sig = signature_of(r.op);
  NameSet seen;
  std::string pname; /* one for every parameter */
  for (Node *ip = next_element(first); ip; ip = next_element(ip)) {
    if (!is(ip, "IPARAMVALUE")) invalid(std::string("IMETHODCALL may only hold IPARAMVALUE, found ") + name_of(ip));
    const char *name = required_attr_value(ip, "NAME");
    pname = name;
    bool known = false;
    for (const char *k : sig.required) known = known || (k != nullptr && iequals(pname, k));
    for (const char *k : sig.optional) known = known || (k != nullptr && iequals(pname, k));
    if (!known) invalid("unknown parameter " + pname + " for " + operation_name(r.op));
    if (!seen.insert(name).second) invalid("parameter " + pname + " given twice");
    parse_iparam(r, ip, pname, ctx);
  }
  for (const char *k : sig.required)
    if (k != nullptr && seen.count(k) == 0) invalid(std::string(operation_name(r.op)) + " without parameter " + k);
  /* Required parameters given as NULL. */
  switch (r.op) {
    case Operation::GetClass:
    case Operation::DeleteClass:
    case Operation::EnumerateInstances:
    case Operation::EnumerateInstanceNames:
      if (r.class_name.empty()) invalid(std::string(operation_name(r.op)) + " without a class name");
      break;
    case Operation::GetProperty:
    case Operation::SetProperty:
      if (r.property_name.empty()) invalid(std::string(operation_name(r.op)) + " without a property name");
      break;
    case Operation::ExecQuery:
      if (r.query.empty() || r.query_language.empty()) invalid("ExecQuery without query or query language");
      break;
    default:
      break;
  }
}

void parse_methodcall(Request &r, const Node *call, const DecodeContext &ctx) {
  Node *first = first_element(call);
  if (first == nullptr) invalid("METHODCALL without LOCALINSTANCEPATH or LOCALCLASSPATH");
  if (is(first, "LOCALINSTANCEPATH")) {
    r.target = decode_any_path(first, "", ctx);
    r.target_is_class = false;
  } else if (is(first, "LOCALCLASSPATH")) {
    r.target = decode_any_path(first, "", ctx);
    r.target_is_class = true;
  } else {
    invalid(std::string("METHODCALL must start with LOCALINSTANCEPATH or LOCALCLASSPATH, found ") + name_of(first));
  }
  r.name_space = path_namespace(r.target.get());
  NameSet seen;
  for (Node *pv = next_element(first); pv; pv = next_element(pv)) {
    if (!is(pv, "PARAMVALUE")) invalid(std::string("METHODCALL may only hold PARAMVALUE, found ") + name_of(pv));
    /* The attributes, in one pass (a name occurs once in an element). */
    const char *name = nullptr, *pt = nullptr, *emb = nullptr, *emb_upper = nullptr;
    for (std::uint32_t i = 0; i < pv->attr_count; ++i) {
      const Attr &a = pv->attrs[i];
      if (same_name(a.name, a.name_len, "NAME")) name = a.value;
      else if (same_name(a.name, a.name_len, "PARAMTYPE")) pt = a.value;
      else if (same_name(a.name, a.name_len, "EmbeddedObject")) emb = a.value;
      else if (same_name(a.name, a.name_len, "EMBEDDEDOBJECT")) emb_upper = a.value;
    }
    if (name == nullptr) missing_attr(pv, "NAME");
    if (*name == '\0') invalid("PARAMVALUE with empty NAME");
    if (!seen.insert(name).second) invalid("parameter " + std::string(name) + " given twice");
    if (emb == nullptr) emb = emb_upper;
    ParamValue p;
    p.name = name;
    CimType t = CimType::String;
    bool have_type = false;
    if (pt) {
      p.paramtype = pt;
      if (!type_of_name(pt, &t)) invalid("parameter " + p.name + ": unknown PARAMTYPE \"" + p.paramtype + "\"");
      have_type = true;
    }
    /* Whether the value is an array, and the first child that is no value
     * (refused once the value has been read). */
    bool array = false;
    const Node *unsupported = nullptr;
    for (Node *c = first_element(pv); c; c = next_element(c)) {
      if (is(c, "VALUE.ARRAY") || is(c, "VALUE.REFARRAY")) array = true;
      else if (unsupported == nullptr && !is(c, "VALUE") && !is(c, "VALUE.REFERENCE") && !is(c, "VALUE.NULL"))
        unsupported = c;
    }
    bool embedded = emb != nullptr && t == CimType::String && have_type;
    p.value = decode_value_child(pv, have_type, t, array, embedded, ctx, "parameter ", p.name, &p.untyped);
    if (unsupported != nullptr) invalid("parameter " + p.name + ": unsupported element " + name_of(unsupported));
    r.params.push_back(std::move(p));
  }
}

}  // namespace

Request parse_request(const char *body, std::size_t len, const Limits &limits) {
  Document doc(body, len, limits);
  Request r;
  const Node *msg = open_envelope(doc, &r.message_id, &r.protocol_version);
  Node *req = first_element(msg);
  if (req == nullptr) throw Error(CMPI_RC_ERR_INVALID_PARAMETER, "MESSAGE without request", kNotValid);
  if (is(req, "MULTIREQ"))
    throw Error(CMPI_RC_ERR_NOT_SUPPORTED, "multiple requests are not supported", kMultipleRequests);
  if (!is(req, "SIMPLEREQ"))
    throw Error(CMPI_RC_ERR_INVALID_PARAMETER, std::string("MESSAGE holds ") + name_of(req) + ", not SIMPLEREQ",
                kNotValid);
  Node *call = nullptr;
  for (Node *c = first_element(req); c; c = next_element(c)) {
    if (is(c, "IMETHODCALL") || is(c, "METHODCALL")) {
      if (call) throw Error(CMPI_RC_ERR_INVALID_PARAMETER, "SIMPLEREQ with more than one call", kNotValid);
      call = c;
    } else if (!is(c, "CORRELATOR")) {
      throw Error(CMPI_RC_ERR_INVALID_PARAMETER, std::string("SIMPLEREQ holds unexpected ") + name_of(c), kNotValid);
    }
  }
  if (call == nullptr) throw Error(CMPI_RC_ERR_INVALID_PARAMETER, "SIMPLEREQ without IMETHODCALL or METHODCALL", kNotValid);
  r.intrinsic = is(call, "IMETHODCALL");
  const char *name = attr(call, "NAME");
  if (name == nullptr || *name == '\0')
    throw Error(CMPI_RC_ERR_INVALID_PARAMETER, std::string(name_of(call)) + " without NAME", kNotValid);
  r.method = name;
  DecodeContext ctx;
  ctx.limits = limits;
  try {
    if (r.intrinsic) {
      std::optional<Operation> op = operation_from_name(r.method);
      if (!op) fail(CMPI_RC_ERR_NOT_SUPPORTED, "unknown intrinsic method " + r.method);
      r.op = *op;
      parse_imethodcall(r, call, ctx);
    } else {
      r.op = Operation::Extrinsic;
      parse_methodcall(r, call, ctx);
    }
  } catch (Error &e) {
    e.set_context(r.message_id, r.method, r.intrinsic);
    throw;
  }
  return r;
}

/* --------------------------------------------------------------- methods */

void apply_signature(std::vector<ParamValue> &params, const MethodDecl &method) {
  for (auto &p : params) {
    const ParameterDecl *decl = method.parameter(p.name);
    if (decl == nullptr) invalid("method " + method.name + " has no parameter " + p.name);
    bool embedded = decl->type == CimType::String && (find_qualifier(decl->qualifiers, "EmbeddedInstance") ||
                                                      qualifier_true(decl->qualifiers, "EmbeddedObject"));
    CimType target = embedded ? CimType::Instance : decl->type;
    try {
      CimType src;
      bool arr = false;
      if (embedded && from_cmpi(p.value.type(), &src, &arr) && src == CimType::Instance) {
        /* already an instance */
      } else {
        p.value = convert_value(p.value.data(), target, decl->is_array, "parameter " + decl->name);
      }
    } catch (const Error &e) {
      invalid(e.what());
    }
    p.untyped = false;
    p.paramtype = type_name(decl->type);
    p.name = decl->name;
  }
}

ArgsPtr make_args(const std::vector<ParamValue> &params) {
  ArgsPtr args(check_new(native_new_CMPIArgs(nullptr), "args"));
  for (const auto &p : params) add_arg(args.get(), p.name, p.value.data());
  return args;
}

std::vector<ParamValue> params_from_args(const CMPIArgs *args) {
  std::vector<ParamValue> out;
  if (args == nullptr) return out;
  CMPICount n = args->ft->getArgCount(args, nullptr);
  for (CMPICount i = 0; i < n; ++i) {
    CMPIString *name = nullptr;
    CMPIData d = args->ft->getArgAt(args, i, &name, nullptr);
    ParamValue p;
    p.name = take_text(name);
    p.value = Value::copy(d);
    CimType t;
    if (from_cmpi(d.type, &t, nullptr)) p.paramtype = type_name(t);
    out.push_back(std::move(p));
  }
  return out;
}

/* -------------------------------------------------------- ResponseWriter */

ResponseWriter::ResponseWriter(const std::string &message_id, const std::string &method, bool intrinsic)
    : method_(method), intrinsic_(intrinsic) {
  out_.reserve(4096);
  open_message(out_, message_id, "SIMPLERSP");
  out_ += intrinsic ? "<IMETHODRESPONSE NAME=\"" : "<METHODRESPONSE NAME=\"";
  esc(out_, method);
  out_ += "\">\n";
  if (intrinsic) {
    for (const auto &r : kOps)
      if (iequals(method, r.name)) always_return_ = r.returns;
  }
}

void ResponseWriter::open_return() {
  if (!return_open_) {
    out_ += "<IRETURNVALUE>\n";
    return_open_ = true;
  }
}

void ResponseWriter::add_class(const ClassDecl &cls, const ClassOptions &opts) {
  open_return();
  write_class(out_, cls, opts);
  out_ += '\n';
}

void ResponseWriter::add_class_name(const std::string &name) {
  open_return();
  out_ += "<CLASSNAME NAME=\"";
  esc(out_, name);
  out_ += "\"/>\n";
}

void ResponseWriter::add_instance(const CMPIInstance *inst, const InstanceOptions &opts) {
  open_return();
  write_instance(out_, inst, opts);
  out_ += '\n';
}

void ResponseWriter::add_instance_name(const CMPIObjectPath *op) {
  open_return();
  write_instance_name(out_, op);
  out_ += '\n';
}

void ResponseWriter::add_named_instance(const CMPIInstance *inst, const CMPIObjectPath *name,
                                        const InstanceOptions &opts) {
  open_return();
  out_ += "<VALUE.NAMEDINSTANCE>";
  if (name) {
    write_instance_name(out_, name);
  } else {
    PathPtr own(inst->ft->getObjectPath(inst, nullptr));
    if (!own) fail(CMPI_RC_ERR_FAILED, "instance without object path");
    write_instance_name(out_, own.get());
  }
  write_instance(out_, inst, opts);
  out_ += "</VALUE.NAMEDINSTANCE>\n";
}

void ResponseWriter::add_object_with_path(const CMPIInstance *inst, const CMPIObjectPath *path,
                                          const InstanceOptions &opts) {
  open_return();
  out_ += "<VALUE.OBJECTWITHPATH>";
  if (path) {
    write_instance_path(out_, path, host_, ns_);
  } else {
    PathPtr own(inst->ft->getObjectPath(inst, nullptr));
    if (!own) fail(CMPI_RC_ERR_FAILED, "instance without object path");
    write_instance_path(out_, own.get(), host_, ns_);
  }
  write_instance(out_, inst, opts);
  out_ += "</VALUE.OBJECTWITHPATH>\n";
}

void ResponseWriter::add_class_with_path(const ClassDecl &cls, const std::string &ns, const ClassOptions &opts) {
  open_return();
  out_ += "<VALUE.OBJECTWITHPATH>";
  write_class_path(out_, host_, ns.empty() ? ns_ : ns, cls.name);
  write_class(out_, cls, opts);
  out_ += "</VALUE.OBJECTWITHPATH>\n";
}

void ResponseWriter::add_object_path(const CMPIObjectPath *op) {
  open_return();
  out_ += "<OBJECTPATH>";
  write_instance_path(out_, op, host_, ns_);
  out_ += "</OBJECTPATH>\n";
}

void ResponseWriter::add_class_path(const std::string &ns, const std::string &class_name) {
  open_return();
  out_ += "<OBJECTPATH>";
  write_class_path(out_, host_, ns.empty() ? ns_ : ns, class_name);
  out_ += "</OBJECTPATH>\n";
}

void ResponseWriter::add_value(const CMPIData &d) {
  open_return();
  write_value(out_, d);
  out_ += '\n';
}

void ResponseWriter::set_return_value(const CMPIData &d) {
  if (return_value_set_) fail(CMPI_RC_ERR_FAILED, "return value set twice");
  return_value_set_ = true;
  std::string rv = "<RETURNVALUE";
  paramtype_attrs(rv, d);
  rv += '>';
  write_value(rv, d);
  rv += "</RETURNVALUE>\n";
  /* The return value precedes the OUT parameters. */
  out_ += rv;
  out_ += params_;
  params_.clear();
}

void ResponseWriter::add_out_param(const std::string &name, const CMPIData &d) {
  std::string &dst = return_value_set_ ? out_ : params_;
  write_paramvalue(dst, name, d, true);
  dst += '\n';
}

std::string ResponseWriter::finish() {
  if (intrinsic_) {
    if (always_return_) open_return();
    if (return_open_) out_ += "</IRETURNVALUE>\n";
    out_ += "</IMETHODRESPONSE>\n";
  } else {
    out_ += params_;
    out_ += "</METHODRESPONSE>\n";
  }
  out_ += "</SIMPLERSP>\n</MESSAGE>\n</CIM>\n";
  return std::move(out_);
}

std::string ResponseWriter::error(const std::string &message_id, const std::string &method, bool intrinsic,
                                  CMPIrc code, const std::string &description) {
  std::string out;
  open_message(out, message_id, "SIMPLERSP");
  out += intrinsic ? "<IMETHODRESPONSE NAME=\"" : "<METHODRESPONSE NAME=\"";
  esc(out, method);
  out += "\">\n<ERROR CODE=\"";
  out += std::to_string(static_cast<int>(code));
  out += "\" DESCRIPTION=\"";
  esc(out, description);
  out += "\"/>\n";
  out += intrinsic ? "</IMETHODRESPONSE>\n" : "</METHODRESPONSE>\n";
  out += "</SIMPLERSP>\n</MESSAGE>\n</CIM>\n";
  return out;
}

/* ------------------------------------------------------- response parsing */

Response parse_response(const char *body, std::size_t len, const Limits &limits) {
  Document doc(body, len, limits);
  Response r;
  const Node *msg = open_envelope(doc, &r.message_id, &r.protocol_version);
  Node *rsp = first_element(msg);
  if (rsp == nullptr || !is(rsp, "SIMPLERSP")) invalid("MESSAGE without SIMPLERSP");
  Node *m = first_element(rsp);
  if (m == nullptr || (!is(m, "IMETHODRESPONSE") && !is(m, "METHODRESPONSE")))
    invalid("SIMPLERSP without IMETHODRESPONSE or METHODRESPONSE");
  r.intrinsic = is(m, "IMETHODRESPONSE");
  r.method = required_attr(m, "NAME");
  DecodeContext ctx;
  ctx.limits = limits;
  for (Node *c = first_element(m); c; c = next_element(c)) {
    if (is(c, "ERROR")) {
      r.is_error = true;
      Value code = value_from_text(required_attr(c, "CODE"), CimType::Uint32, "ERROR CODE");
      r.error_code = static_cast<CMPIrc>(code.data().value.uint32);
      if (const char *d = attr(c, "DESCRIPTION")) r.error_description = d;
    } else if (is(c, "IRETURNVALUE")) {
      for (Node *v = first_element(c); v; v = next_element(v)) {
        if (is(v, "CLASS")) {
          r.classes.push_back(decode_class(v));
        } else if (is(v, "CLASSNAME")) {
          r.class_names.push_back(required_attr(v, "NAME"));
        } else if (is(v, "INSTANCE")) {
          r.instances.push_back(decode_instance(v, "", ctx));
        } else if (is(v, "INSTANCENAME")) {
          r.paths.push_back(decode_instance_name(v, "", "", ctx));
        } else if (is(v, "OBJECTPATH")) {
          r.paths.push_back(decode_any_path(v, "", ctx));
        } else if (is(v, "VALUE.NAMEDINSTANCE")) {
          PathPtr p = decode_instance_name(required_child(v, "INSTANCENAME"), "", "", ctx);
          r.instances.push_back(decode_instance(required_child(v, "INSTANCE"), "", ctx, p.get()));
        } else if (is(v, "VALUE.OBJECTWITHPATH") || is(v, "VALUE.OBJECT")) {
          Node *a = first_element(v);
          Node *obj = a;
          PathPtr p;
          if (a && (is(a, "INSTANCEPATH") || is(a, "CLASSPATH"))) {
            p = decode_any_path(a, "", ctx);
            obj = next_element(a);
          }
          if (obj && is(obj, "INSTANCE")) {
            r.instances.push_back(decode_instance(obj, "", ctx, p.get()));
          } else if (obj && is(obj, "CLASS")) {
            r.classes.push_back(decode_class(obj));
          } else {
            invalid(std::string(name_of(v)) + " without INSTANCE or CLASS");
          }
        } else if (is(v, "VALUE") || is(v, "VALUE.ARRAY") || is(v, "VALUE.REFERENCE")) {
          if (r.has_value) invalid("IRETURNVALUE with more than one value");
          r.has_value = true;
          r.value = decode_value_child(c, false, CimType::String, false, false, ctx, "return value", "", nullptr);
        } else if (is(v, "QUALIFIER.DECLARATION")) {
          /* not decoded */
        } else {
          invalid(std::string("IRETURNVALUE holds unexpected ") + name_of(v));
        }
      }
    } else if (is(c, "RETURNVALUE")) {
      r.has_return_value = true;
      ParamValue &p = r.return_value;
      const char *pt = attr(c, "PARAMTYPE");
      CimType t = CimType::String;
      if (pt) {
        p.paramtype = pt;
        if (!type_from_name(pt, &t)) invalid("RETURNVALUE with unknown PARAMTYPE \"" + p.paramtype + "\"");
      }
      const char *emb = attr(c, "EmbeddedObject");
      p.value = decode_value_child(c, pt != nullptr, t, false, emb != nullptr && t == CimType::String, ctx,
                                   "return value", "", &p.untyped);
    } else if (is(c, "PARAMVALUE")) {
      ParamValue p;
      p.name = required_attr(c, "NAME");
      const char *pt = attr(c, "PARAMTYPE");
      CimType t = CimType::String;
      if (pt) {
        p.paramtype = pt;
        if (!type_from_name(pt, &t)) invalid("PARAMVALUE " + p.name + " with unknown PARAMTYPE \"" + p.paramtype + "\"");
      }
      bool array = false;
      for (Node *v = first_element(c); v; v = next_element(v))
        if (is(v, "VALUE.ARRAY") || is(v, "VALUE.REFARRAY")) array = true;
      const char *emb = attr(c, "EmbeddedObject");
      p.value = decode_value_child(c, pt != nullptr, t, array, emb != nullptr && t == CimType::String, ctx,
                                   "parameter ", p.name, &p.untyped);
      r.out_params.push_back(std::move(p));
    } else {
      invalid(std::string(name_of(m)) + " holds unexpected " + name_of(c));
    }
  }
  return r;
}

/* --------------------------------------------------------- RequestWriter */

RequestWriter::RequestWriter(const std::string &message_id, Operation op, const std::string &ns) : intrinsic_(true) {
  open_message(out_, message_id, "SIMPLEREQ");
  out_ += "<IMETHODCALL NAME=\"";
  out_ += operation_name(op);
  out_ += "\">";
  write_local_namespace_path(out_, ns);
  out_ += '\n';
}

RequestWriter::RequestWriter(const std::string &message_id, const std::string &method, const CMPIObjectPath *target)
    : intrinsic_(false) {
  open_message(out_, message_id, "SIMPLEREQ");
  out_ += "<METHODCALL NAME=\"";
  esc(out_, method);
  out_ += "\">";
  std::string ns = path_namespace(target);
  if (path_key_count(target) == 0) write_local_class_path(out_, ns, path_class(target));
  else write_local_instance_path(out_, target, ns);
  out_ += '\n';
}

namespace {
void open_iparam(std::string &out, const std::string &param) {
  out += "<IPARAMVALUE NAME=\"";
  esc(out, param);
  out += "\">";
}
}  // namespace

void RequestWriter::add_class_name(const std::string &param, const std::string &class_name) {
  open_iparam(out_, param);
  out_ += "<CLASSNAME NAME=\"";
  esc(out_, class_name);
  out_ += "\"/></IPARAMVALUE>\n";
}

void RequestWriter::add_bool(const std::string &param, bool value) {
  open_iparam(out_, param);
  out_ += value ? "<VALUE>TRUE</VALUE>" : "<VALUE>FALSE</VALUE>";
  out_ += "</IPARAMVALUE>\n";
}

void RequestWriter::add_string(const std::string &param, const std::string &value) {
  open_iparam(out_, param);
  out_ += "<VALUE>";
  esc(out_, value);
  out_ += "</VALUE></IPARAMVALUE>\n";
}

void RequestWriter::add_string_array(const std::string &param, const std::vector<std::string> &values) {
  open_iparam(out_, param);
  out_ += "<VALUE.ARRAY>";
  for (const auto &v : values) {
    out_ += "<VALUE>";
    esc(out_, v);
    out_ += "</VALUE>";
  }
  out_ += "</VALUE.ARRAY></IPARAMVALUE>\n";
}

void RequestWriter::add_instance_name(const std::string &param, const CMPIObjectPath *op) {
  open_iparam(out_, param);
  write_instance_name(out_, op);
  out_ += "</IPARAMVALUE>\n";
}

void RequestWriter::add_instance(const std::string &param, const CMPIInstance *inst) {
  open_iparam(out_, param);
  write_instance(out_, inst);
  out_ += "</IPARAMVALUE>\n";
}

void RequestWriter::add_named_instance(const std::string &param, const CMPIInstance *inst,
                                       const CMPIObjectPath *name) {
  open_iparam(out_, param);
  out_ += "<VALUE.NAMEDINSTANCE>";
  if (name) {
    write_instance_name(out_, name);
  } else {
    PathPtr own(inst->ft->getObjectPath(inst, nullptr));
    if (!own) fail(CMPI_RC_ERR_FAILED, "instance without object path");
    write_instance_name(out_, own.get());
  }
  write_instance(out_, inst);
  out_ += "</VALUE.NAMEDINSTANCE></IPARAMVALUE>\n";
}

void RequestWriter::add_class(const std::string &param, const ClassDecl &cls) {
  open_iparam(out_, param);
  write_class(out_, cls);
  out_ += "</IPARAMVALUE>\n";
}

void RequestWriter::add_value(const std::string &param, const CMPIData &d) {
  open_iparam(out_, param);
  write_value(out_, d);
  out_ += "</IPARAMVALUE>\n";
}

void RequestWriter::add_param(const std::string &name, const CMPIData &d, bool typed) {
  write_paramvalue(out_, name, d, typed);
  out_ += '\n';
}

std::string RequestWriter::finish() {
  out_ += intrinsic_ ? "</IMETHODCALL>\n" : "</METHODCALL>\n";
  out_ += "</SIMPLEREQ>\n</MESSAGE>\n</CIM>\n";
  return std::move(out_);
}

}  // namespace cimxml
