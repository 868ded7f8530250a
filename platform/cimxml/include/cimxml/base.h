/*
 * Common ground of the CIM-XML and MOF library: the error type every decoder
 * throws, the CIM type names, owners for native CMPI objects, and the text
 * forms of scalar values.
 *
 * Ownership: every CMPI object this library hands out (decoded instances,
 * object paths, arrays, strings, date-times, args) is made with the
 * native_new_* constructors or is a clone, so it belongs to the caller. The
 * owner types below release them; Value::release() and unique_ptr::release()
 * hand them over to code that releases them itself with CMRelease.
 */
#ifndef QELVO_CIMXML_BASE_H
#define QELVO_CIMXML_BASE_H

#include <cmpidt.h>
#include <cmpift.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace cimxml {

/* ------------------------------------------------------------------ errors */

/* What every decoder, reader and converter of this library throws on bad
 * input. code() is the CIM status code to report (CMPI_RC_ERR_INVALID_PARAMETER
 * for malformed or incomplete input, CMPI_RC_ERR_NOT_SUPPORTED for operations
 * this library does not know, ...).
 *
 * cimerror() is non-empty when the fault lies in the message as a whole
 * (not well-formed XML, no MESSAGE, unsupported protocol version, ...): a
 * server then answers HTTP 400 with a "CIMError: <cimerror()>" header instead
 * of a CIM ERROR element. When it is empty and the request's MESSAGE ID and
 * method name are known (message_id(), method(), intrinsic()), the server
 * answers with an ERROR element built by ResponseWriter::error(). */
class Error : public std::runtime_error {
 public:
  Error(CMPIrc code, const std::string &message, std::string cimerror = std::string());

  CMPIrc code() const { return code_; }
  const std::string &cimerror() const { return cimerror_; }

  /* Filled in by parse_request once the MESSAGE and the call are known. */
  const std::string &message_id() const { return message_id_; }
  const std::string &method() const { return method_; }
  bool intrinsic() const { return intrinsic_; }
  void set_context(const std::string &message_id, const std::string &method, bool intrinsic);

 private:
  CMPIrc code_;
  std::string cimerror_;
  std::string message_id_;
  std::string method_;
  bool intrinsic_ = true;
};

/* Values for the CIMError header (DSP0200). */
extern const char *const kNotWellFormed;       /* "request-not-well-formed" */
extern const char *const kNotValid;            /* "request-not-valid" */
extern const char *const kUnsupportedProtocol; /* "unsupported-protocol-version" */
extern const char *const kUnsupportedCim;      /* "unsupported-cim-version" */
extern const char *const kUnsupportedDtd;      /* "unsupported-dtd-version" */
extern const char *const kMultipleRequests;    /* "multiple-requests-unsupported" */
extern const char *const kUnsupportedOperation; /* "unsupported-operation" */
extern const char *const kHeaderMismatch;      /* "header-mismatch" */

/* ------------------------------------------------------------------- types */

/* The CIM data types. Instance stands for a string that carries an embedded
 * instance (EmbeddedInstance/EmbeddedObject), which CMPI holds as CMPI_instance. */
enum class CimType : std::uint8_t {
  Boolean,
  Char16,
  Real32,
  Real64,
  Uint8,
  Sint8,
  Uint16,
  Sint16,
  Uint32,
  Sint32,
  Uint64,
  Sint64,
  String,
  DateTime,
  Reference,
  Instance,
};

/* "boolean", "char16", ..., "string", "datetime", "reference"; Instance is
 * named "string" as it travels as a string. */
const char *type_name(CimType t);
/* Parses a CIM type name (without regard to case); false when unknown.
 * "reference" is accepted; "object"/"instance" are not type names. */
bool type_from_name(std::string_view name, CimType *t);
/* The CMPI type code of a CIM type (element type when array is false). */
CMPIType to_cmpi(CimType t, bool array = false);
/* The CIM type of a CMPI type code: CMPI_chars and CMPI_charsptr count as
 * string, CMPI_instance as Instance. False for types with no CIM-XML form
 * (args, enumerations, filters, pointers, null). */
bool from_cmpi(CMPIType type, CimType *t, bool *array);
bool is_integer(CimType t);
bool is_real(CimType t);

/* ----------------------------------------------------------------- owners */

struct Releaser {
  void operator()(CMPIInstance *p) const;
  void operator()(CMPIObjectPath *p) const;
  void operator()(CMPIArgs *p) const;
  void operator()(CMPIArray *p) const;
  void operator()(CMPIString *p) const;
  void operator()(CMPIDateTime *p) const;
};
using InstancePtr = std::unique_ptr<CMPIInstance, Releaser>;
using PathPtr = std::unique_ptr<CMPIObjectPath, Releaser>;
using ArgsPtr = std::unique_ptr<CMPIArgs, Releaser>;
using ArrayPtr = std::unique_ptr<CMPIArray, Releaser>;
using StringPtr = std::unique_ptr<CMPIString, Releaser>;
using DateTimePtr = std::unique_ptr<CMPIDateTime, Releaser>;

/* A CMPIData that owns the objects it refers to (strings, arrays, paths,
 * instances, date-times), released with cmpinative::release_data. A default
 * Value is null (type CMPI_null, state CMPI_nullValue). */
class Value {
 public:
  Value();
  /* Takes over `adopted` and whatever it refers to. */
  explicit Value(const CMPIData &adopted);
  /* A deep copy of `d`. */
  static Value copy(const CMPIData &d);
  /* A null value of the given type. */
  static Value null_of(CMPIType type);
  Value(Value &&other) noexcept;
  Value &operator=(Value &&other) noexcept;
  Value(const Value &) = delete;
  Value &operator=(const Value &) = delete;
  ~Value();

  const CMPIData &data() const { return d_; }
  CMPIType type() const { return d_.type; }
  bool is_null() const { return (d_.state & CMPI_nullValue) != 0; }
  /* Gives up ownership: the caller now owns what the data refers to. */
  CMPIData release();

 private:
  void reset();
  CMPIData d_;
};

/* ------------------------------------------------------ scalar text forms */

/* Canonical CIM-XML text of a scalar value: TRUE/FALSE, decimal integers,
 * reals in the shortest form that reads back to the same number with a
 * decimal point ("1.0", "2.5E+20", "INF", "-INF", "NaN"), char16 as its UTF-8
 * character, date-times in their 25-character CIM text, strings as they are.
 * References and embedded instances have no scalar text (Error). */
std::string scalar_to_text(const CMPIData &d);

/* The value of type `t` that `text` denotes. Booleans are TRUE/FALSE in any
 * case; integers are decimal with an optional sign (hexadecimal with 0x is
 * also read) and must fit the type; surrounding white space is ignored for
 * numbers and booleans. References are read from their text form (see
 * path_from_text). Throws Error(CMPI_RC_ERR_INVALID_PARAMETER) naming
 * `what` when the text is not a value of that type. The text is read where
 * it stands. */
Value value_from_text(std::string_view text, CimType t, std::string_view what = "value");
/* An array of element type `t` from the texts of its elements. */
Value array_from_texts(const std::vector<std::string> &texts, CimType t, std::string_view what = "value");

/* Converts a value to another CIM type: numbers between numeric types (range
 * checked), strings to any type by value_from_text, sint64/uint64/real64/
 * string keys to the declared type of a property. Arrays convert element by
 * element. A null value stays null with the new type. Throws Error
 * (CMPI_RC_ERR_TYPE_MISMATCH) when the value cannot be converted. */
Value convert_value(const CMPIData &d, CimType t, bool array, const std::string &what = "value");

/* Text form of an object path: "//host/ns:Class.Key1=\"v\",Key2=5", with the
 * host and namespace parts left out when empty; string keys are quoted with
 * \" and \\ escaped, reference keys written as quoted path text. */
std::string path_to_text(const CMPIObjectPath *op);
/* Reads the text form above. Also accepts "ns:Class.k=v" and "Class.k=v".
 * Throws Error(CMPI_RC_ERR_INVALID_PARAMETER). */
PathPtr path_from_text(const std::string &text);

/* The C string of a CMPIString (empty for NULL). */
std::string cmpi_text(const CMPIString *s);
/* The class name an instance's path shows, without making the path. */
std::string instance_class(const CMPIInstance *inst);

/* Case-insensitive ASCII comparison, as CIM names compare. Names of another
 * length are told apart without a call. */
bool iequals_same_length(const char *a, const char *b, std::size_t n);
inline bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && iequals_same_length(a.data(), b.data(), a.size());
}

/* A namespace name without the slashes it begins or ends with. */
inline std::string_view trim_slashes(std::string_view ns) {
  const std::size_t first = ns.find_first_not_of('/');
  if (first == std::string_view::npos) return {};
  return ns.substr(first, ns.find_last_not_of('/') - first + 1);
}

}  // namespace cimxml

#endif  // QELVO_CIMXML_BASE_H
