/*
 * CIM operations over HTTP (DSP0200): simple requests and responses for
 * intrinsic (IMETHODCALL) and extrinsic (METHODCALL) calls, both ways.
 *
 * Server side: parse_request() a POSTed body, run the operation, answer with
 * a ResponseWriter (or ResponseWriter::error()). Client side: a RequestWriter
 * builds the body, parse_response() reads the answer.
 *
 * Request bodies are parsed without entity expansion, DTD loading or network
 * access; documents that declare entities are refused; size and nesting are
 * bounded (Limits). Values a client wrote into VALUE or KEYVALUE without
 * escaping "<" and "&" (as wbemcli does) are accepted. Every fault is an
 * Error, never a crash.
 */
#ifndef QELVO_CIMXML_MESSAGE_H
#define QELVO_CIMXML_MESSAGE_H

#include <cimxml/base.h>
#include <cimxml/classmodel.h>
#include <cimxml/xml.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cimxml {

enum class Operation {
  GetClass,
  EnumerateClasses,
  EnumerateClassNames,
  CreateClass,
  ModifyClass,
  DeleteClass,
  GetInstance,
  EnumerateInstances,
  EnumerateInstanceNames,
  CreateInstance,
  ModifyInstance,
  DeleteInstance,
  ExecQuery,
  Associators,
  AssociatorNames,
  References,
  ReferenceNames,
  GetProperty,
  SetProperty,
  GetQualifier,
  SetQualifier,
  DeleteQualifier,
  EnumerateQualifiers,
  Extrinsic, /* a METHODCALL */
};

/* The DSP0200 name of an intrinsic operation ("GetClass", ...); "" for
 * Extrinsic. */
const char *operation_name(Operation op);
/* The intrinsic operation named `name` (without regard to case). */
std::optional<Operation> operation_from_name(const std::string &name);

/* A parameter of an extrinsic call, an OUT parameter of its answer, or the
 * NewValue of SetProperty. */
struct ParamValue {
  std::string name;
  Value value;
  /* True when the sender gave no type (a VALUE or VALUE.ARRAY without
   * PARAMTYPE): value then holds the text as CMPI_string or CMPI_stringA,
   * to be converted with the declared parameter type (apply_signature). */
  bool untyped = false;
  /* The PARAMTYPE attribute as sent ("" when absent). */
  std::string paramtype;
};

struct Request {
  std::string message_id;
  std::string protocol_version;
  bool intrinsic = true;
  Operation op = Operation::Extrinsic;
  std::string method; /* the NAME of IMETHODCALL / METHODCALL as sent */
  std::string name_space; /* "qelvo/cimv2" */

  /* ---- intrinsic parameters, with the DSP0200 defaults of `op` ---- */
  /* ClassName; for Associators & co. also the class an ObjectName names. */
  std::string class_name;
  /* InstanceName; ObjectName when it names an instance; the name part of
   * ModifiedInstance. Namespace set to name_space. */
  PathPtr instance_name;
  /* ObjectName named a class (class_name holds it). */
  bool object_is_class = false;
  /* NewInstance, or the instance of ModifiedInstance (its object path set to
   * instance_name). */
  InstancePtr instance;
  /* NewClass / ModifiedClass. */
  std::unique_ptr<ClassDecl> new_class;
  bool local_only = false;
  bool deep_inheritance = false;
  bool include_qualifiers = false;
  bool include_class_origin = false;
  /* PropertyList: nullopt when absent or NULL (all properties). */
  std::optional<std::vector<std::string>> property_list;
  std::string query_language, query;
  std::string assoc_class, result_class, role, result_role;
  std::string property_name;  /* GetProperty, SetProperty */
  std::string qualifier_name; /* GetQualifier, DeleteQualifier */
  /* SetProperty NewValue: untyped text unless a reference; null (type
   * CMPI_null) when absent. */
  ParamValue new_value;

  /* ---- extrinsic ---- */
  /* The object the method is invoked on: an instance path with keys, or a
   * class path (target_is_class) without keys. Namespace set. */
  PathPtr target;
  bool target_is_class = false;
  std::vector<ParamValue> params;

  /* The property list as CMPI takes it: the names followed by a null
   * pointer, or an empty vector when there is no list (pass NULL then).
   * The pointers are valid while property_list is unchanged. */
  std::vector<const char *> property_argv() const;
};

/* The CLASS and INSTANCE writing options a request asks for (LocalOnly,
 * IncludeQualifiers, IncludeClassOrigin, PropertyList). They point into
 * `req` (and `cls`), so they are valid while those are. */
ClassOptions class_options(const Request &req);
InstanceOptions instance_options(const Request &req, const ClassDecl *cls = nullptr);

/* Parses a request body. Throws Error; see Error::cimerror() for how to
 * answer (a body over Limits::max_body is refused before parsing with
 * cimerror "request-not-valid"; a server that wants to answer 413 compares
 * Content-Length with the limit itself). Request-level faults carry the
 * MESSAGE ID and method. */
Request parse_request(const char *body, std::size_t len, const Limits &limits = Limits());
inline Request parse_request(const std::string &body, const Limits &limits = Limits()) {
  return parse_request(body.data(), body.size(), limits);
}

/* Gives the untyped parameters of an extrinsic call the types `method`
 * declares, converts typed ones whose type differs where the value converts
 * (an integer sent as sint64 for a uint16 parameter), and checks that every
 * parameter is declared. Throws Error(CMPI_RC_ERR_INVALID_PARAMETER) naming
 * the parameter otherwise. */
void apply_signature(std::vector<ParamValue> &params, const MethodDecl &method);
/* The CMPIArgs for a provider's invokeMethod (caller-owned). Untyped
 * parameters go in as strings. */
ArgsPtr make_args(const std::vector<ParamValue> &params);
/* The OUT parameters held in `args`, in order (deep copies). */
std::vector<ParamValue> params_from_args(const CMPIArgs *args);

/* ------------------------------------------------------------ responses */

/* Builds one response document. Intrinsic results go into IRETURNVALUE in the
 * order they are added; operations that return something always get an
 * IRETURNVALUE, possibly empty. */
class ResponseWriter {
 public:
  /* `method` is the NAME of the call being answered. */
  ResponseWriter(const std::string &message_id, const std::string &method, bool intrinsic);

  /* Host and namespace written into INSTANCEPATH / NAMESPACEPATH for paths
   * that lack them (default "localhost" and ""). */
  void set_default_host(const std::string &host) { host_ = host; }
  void set_default_namespace(const std::string &ns) { ns_ = ns; }

  /* GetClass, EnumerateClasses: CLASS. */
  void add_class(const ClassDecl &cls, const ClassOptions &opts = ClassOptions());
  /* EnumerateClassNames: CLASSNAME. */
  void add_class_name(const std::string &name);
  /* GetInstance: INSTANCE. */
  void add_instance(const CMPIInstance *inst, const InstanceOptions &opts = InstanceOptions());
  /* EnumerateInstanceNames, CreateInstance: INSTANCENAME. */
  void add_instance_name(const CMPIObjectPath *op);
  /* EnumerateInstances: VALUE.NAMEDINSTANCE; the name is `name`, or the
   * instance's own object path. */
  void add_named_instance(const CMPIInstance *inst, const CMPIObjectPath *name = nullptr,
                          const InstanceOptions &opts = InstanceOptions());
  /* Associators, References, ExecQuery: VALUE.OBJECTWITHPATH with an
   * INSTANCEPATH (the instance's own path when `path` is null). */
  void add_object_with_path(const CMPIInstance *inst, const CMPIObjectPath *path = nullptr,
                            const InstanceOptions &opts = InstanceOptions());
  /* Associators, References on a class: VALUE.OBJECTWITHPATH with CLASSPATH. */
  void add_class_with_path(const ClassDecl &cls, const std::string &ns, const ClassOptions &opts = ClassOptions());
  /* AssociatorNames, ReferenceNames: OBJECTPATH holding an INSTANCEPATH. */
  void add_object_path(const CMPIObjectPath *op);
  /* OBJECTPATH holding a CLASSPATH. */
  void add_class_path(const std::string &ns, const std::string &class_name);
  /* GetProperty, GetQualifier: the value (nothing for null). */
  void add_value(const CMPIData &d);

  /* Extrinsic: the RETURNVALUE (PARAMTYPE from the data's type) and the OUT
   * parameters (PARAMVALUE with PARAMTYPE). */
  void set_return_value(const CMPIData &d);
  void add_out_param(const std::string &name, const CMPIData &d);

  /* The complete document. The writer is spent afterwards. */
  std::string finish();

  /* A complete error response: ERROR CODE / DESCRIPTION inside
   * IMETHODRESPONSE or METHODRESPONSE. */
  static std::string error(const std::string &message_id, const std::string &method, bool intrinsic, CMPIrc code,
                           const std::string &description);

 private:
  void open_return();
  std::string out_;
  std::string params_; /* OUT parameters waiting for the return value */
  std::string method_;
  std::string host_ = "localhost";
  std::string ns_;
  bool intrinsic_;
  bool return_open_ = false;
  bool always_return_ = false;
  bool return_value_set_ = false;
};

/* A parsed response. */
struct Response {
  std::string message_id;
  std::string protocol_version;
  bool intrinsic = true;
  std::string method;

  bool is_error = false;
  CMPIrc error_code = CMPI_RC_OK;
  std::string error_description;

  /* IRETURNVALUE content, by kind, in document order. Instances of
   * VALUE.NAMEDINSTANCE and VALUE.OBJECTWITHPATH carry their path as object
   * path; bare INSTANCEs carry the class name only. */
  std::vector<ClassDecl> classes;
  std::vector<std::string> class_names;
  std::vector<InstancePtr> instances;
  std::vector<PathPtr> paths; /* INSTANCENAME, OBJECTPATH, INSTANCEPATH */
  bool has_value = false;
  Value value; /* GetProperty, GetQualifier */

  /* Extrinsic. */
  bool has_return_value = false;
  ParamValue return_value;
  std::vector<ParamValue> out_params;
};

Response parse_response(const char *body, std::size_t len, const Limits &limits = Limits());
inline Response parse_response(const std::string &body, const Limits &limits = Limits()) {
  return parse_response(body.data(), body.size(), limits);
}

/* ------------------------------------------------------------- requests */

/* Builds one request document, as a client sends it. */
class RequestWriter {
 public:
  /* Intrinsic call `op` on namespace `ns`. */
  RequestWriter(const std::string &message_id, Operation op, const std::string &ns);
  /* Extrinsic call of `method` on `target` (an instance path with keys, or a
   * class path without; its namespace is used). */
  RequestWriter(const std::string &message_id, const std::string &method, const CMPIObjectPath *target);

  /* IPARAMVALUEs. */
  void add_class_name(const std::string &param, const std::string &class_name);
  void add_bool(const std::string &param, bool value);
  void add_string(const std::string &param, const std::string &value);
  void add_string_array(const std::string &param, const std::vector<std::string> &values);
  void add_instance_name(const std::string &param, const CMPIObjectPath *op);
  void add_instance(const std::string &param, const CMPIInstance *inst);
  /* VALUE.NAMEDINSTANCE (ModifiedInstance). */
  void add_named_instance(const std::string &param, const CMPIInstance *inst, const CMPIObjectPath *name = nullptr);
  void add_class(const std::string &param, const ClassDecl &cls);
  /* A value of any type (SetProperty NewValue). */
  void add_value(const std::string &param, const CMPIData &d);

  /* PARAMVALUEs of an extrinsic call; typed writes PARAMTYPE. */
  void add_param(const std::string &name, const CMPIData &d, bool typed = true);

  std::string finish();

 private:
  std::string out_;
  bool intrinsic_;
};

}  // namespace cimxml

#endif  // QELVO_CIMXML_MESSAGE_H
