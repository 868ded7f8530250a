/*
 * CIM-XML representation (DSP0201) of values, object paths, instances and
 * classes, both ways.
 *
 * Writing appends to a std::string. Reading takes the text of one element (or
 * a whole document whose first matching element is used) and parses it with
 * the same guarded parser as requests (see Limits). Everything decoded is
 * caller-owned.
 */
#ifndef QELVO_CIMXML_XML_H
#define QELVO_CIMXML_XML_H

#include <cimxml/base.h>
#include <cimxml/classmodel.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace cimxml {

/* Bounds on what the parser accepts. Exceeding one is a clean Error. */
struct Limits {
  std::size_t max_body = 16u << 20; /* bytes of XML text */
  int max_depth = 64;                /* element nesting */
};

/* ------------------------------------------------------------- escaping */

/* Escapes text for element content or attribute values: & < > " ' become
 * entity references, CR/LF/TAB become character references (so that they
 * survive attribute normalisation), characters XML cannot carry (other
 * control characters, invalid UTF-8) become U+FFFD. */
std::string escape(const std::string &text);
void append_escaped(std::string &out, const char *text, std::size_t len);

/* -------------------------------------------------------------- writing */

/* Options for INSTANCE elements. */
struct InstanceOptions {
  /* When set, only these properties are written (names compare without
   * regard to case). */
  const std::vector<std::string> *property_list = nullptr;
  /* With a class: CLASSORIGIN attributes for its properties. */
  bool include_class_origin = false;
  /* With a class and include_qualifiers: the properties' qualifiers. */
  bool include_qualifiers = false;
  const ClassDecl *cls = nullptr;
};

/* Options for CLASS elements, as GetClass and EnumerateClasses take them. */
struct ClassOptions {
  bool local_only = false;
  bool include_qualifiers = true;
  bool include_class_origin = false;
  const std::vector<std::string> *property_list = nullptr;
};

/* VALUE, VALUE.ARRAY, VALUE.REFERENCE or VALUE.REFARRAY for `d`; nothing for
 * a null scalar. Null array elements are written as empty VALUE elements,
 * since wbemcli does not know VALUE.NULL (the readers take an empty VALUE in
 * a non-string array, and VALUE.NULL, as a null element); null reference
 * elements as VALUE.NULL. Embedded instances are written as the escaped text
 * of their INSTANCE element. */
void write_value(std::string &out, const CMPIData &d);
/* INSTANCENAME with KEYBINDINGs (KEYVALUE VALUETYPE="string|boolean|numeric"
 * with the CIM TYPE, or VALUE.REFERENCE). */
void write_instance_name(std::string &out, const CMPIObjectPath *op);
/* LOCALNAMESPACEPATH for "a/b/c". */
void write_local_namespace_path(std::string &out, std::string_view ns);
/* NAMESPACEPATH: HOST and LOCALNAMESPACEPATH. */
void write_namespace_path(std::string &out, std::string_view host, std::string_view ns);
/* INSTANCEPATH; `host`/`ns` are used when the path has none. */
void write_instance_path(std::string &out, const CMPIObjectPath *op, std::string_view host = "localhost",
                         std::string_view ns = "");
void write_local_instance_path(std::string &out, const CMPIObjectPath *op, std::string_view ns = "");
/* VALUE.REFERENCE holding INSTANCEPATH when the path has a host,
 * LOCALINSTANCEPATH when it has a namespace only, else INSTANCENAME (or the
 * CLASS* forms for a path without keys). */
void write_value_reference(std::string &out, const CMPIObjectPath *op);
/* A PROPERTY, PROPERTY.ARRAY or PROPERTY.REFERENCE element for a value. */
void write_property(std::string &out, const std::string &name, const CMPIData &d,
                    const PropertyDecl *decl = nullptr, const InstanceOptions &opts = InstanceOptions(),
                    const std::string &class_origin = "");
void write_instance(std::string &out, const CMPIInstance *inst, const InstanceOptions &opts = InstanceOptions());
/* QUALIFIER. */
void write_qualifier(std::string &out, const Qualifier &q);
/* CLASS for the model, honouring the options. */
void write_class(std::string &out, const ClassDecl &cls, const ClassOptions &opts = ClassOptions());

/* ------------------------------------------------------------- reading */

/* The first INSTANCE element in `xml`, with its properties typed by their
 * TYPE attributes; its object path has namespace `ns` and the class name and
 * no keys (see instance_path_from_class). */
InstancePtr parse_instance(const std::string &xml, const std::string &ns = "", const Limits &limits = Limits());
/* The first INSTANCENAME, INSTANCEPATH, LOCALINSTANCEPATH or VALUE.REFERENCE
 * in `xml`. */
PathPtr parse_instance_name(const std::string &xml, const std::string &ns = "", const Limits &limits = Limits());
/* The first CLASS element in `xml` (a bare CLASS or a whole GetClass
 * response). Features without CLASSORIGIN get the class's name. */
ClassDecl parse_class(const std::string &xml, const Limits &limits = Limits());
/* The value of the first PROPERTY, PROPERTY.ARRAY or PROPERTY.REFERENCE in
 * `xml` (name in *name when given). */
Value parse_property(const std::string &xml, std::string *name = nullptr, const Limits &limits = Limits());

/* ----------------------------------------------- class-directed helpers */

/* The object path of an instance of `cls` in `ns`: its class name and the
 * values of the key properties (converted to their declared types). Throws
 * Error(CMPI_RC_ERR_INVALID_PARAMETER) when a key property is missing or
 * null. */
PathPtr instance_path_from_class(const CMPIInstance *inst, const ClassDecl &cls, const std::string &ns);
/* A copy of `op` whose keys have the types `cls` declares for them (keys
 * arrive as string, boolean, sint64/uint64 or real64 in CIM-XML). Throws
 * Error(CMPI_RC_ERR_INVALID_PARAMETER) for keys the class does not have or
 * values that do not convert. */
PathPtr retype_path(const CMPIObjectPath *op, const ClassDecl &cls);
/* A copy of `inst` whose properties have the types `cls` declares (for
 * untyped or loosely typed input). Throws Error(CMPI_RC_ERR_NO_SUCH_PROPERTY)
 * for properties the class does not have and
 * Error(CMPI_RC_ERR_TYPE_MISMATCH) for values that do not convert. */
InstancePtr retype_instance(const CMPIInstance *inst, const ClassDecl &cls);

}  // namespace cimxml

#endif  // QELVO_CIMXML_XML_H
