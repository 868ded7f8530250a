/* Helpers shared by the library's sources; not part of the interface. */
#ifndef QELVO_CIMXML_INTERNAL_H
#define QELVO_CIMXML_INTERNAL_H

#include <cimxml/base.h>
#include <cimxml/xml.h>

#include <cmpi_native.h>

#include <libxml/tree.h>

#include <cstring>
#include <string>

namespace cimxml {
namespace detail {

[[noreturn]] void fail(CMPIrc code, const std::string &message);
[[noreturn]] void invalid(const std::string &message);

/* Throws when a native constructor returned nothing. */
template <typename T>
T *check_new(T *p, const char *what) {
  if (p == nullptr) fail(CMPI_RC_ERR_FAILED, std::string("cannot create ") + what);
  return p;
}

inline CMPIData make_data(CMPIType type, const CMPIValue &v) {
  CMPIData d;
  std::memset(&d, 0, sizeof d);
  d.type = type;
  d.state = CMPI_goodValue;
  d.value = v;
  return d;
}
inline CMPIData null_data(CMPIType type) {
  CMPIData d;
  std::memset(&d, 0, sizeof d);
  d.type = type;
  d.state = CMPI_nullValue;
  return d;
}

Value string_value(const std::string &s);
/* Text of a CMPI_string / CMPI_chars / CMPI_charsptr value. */
bool data_text(const CMPIData &d, std::string *out);

/* Text of a string the broker handed out, which is then released. */
std::string take_text(CMPIString *s);
std::string path_class(const CMPIObjectPath *op);
std::string path_namespace(const CMPIObjectPath *op);
std::string path_host(const CMPIObjectPath *op);
unsigned path_key_count(const CMPIObjectPath *op);

/* Sets a property / key / arg, releasing nothing of `v` (containers copy). */
void set_property(CMPIInstance *inst, const std::string &name, const CMPIData &d);
void add_key(CMPIObjectPath *op, const std::string &name, const CMPIData &d);
void add_arg(CMPIArgs *args, const std::string &name, const CMPIData &d);

/* ------------------------------------------------------------- DOM access */

/* Name comparison for element and attribute names (exact, as XML is). */
inline bool is(const xmlNode *n, const char *name) {
  return n != nullptr && n->type == XML_ELEMENT_NODE && std::strcmp(reinterpret_cast<const char *>(n->name), name) == 0;
}
inline const char *name_of(const xmlNode *n) { return reinterpret_cast<const char *>(n->name); }
/* First / next element sibling (skipping text, comments, PIs). */
xmlNode *first_element(const xmlNode *parent);
xmlNode *next_element(const xmlNode *n);
/* Attribute value, or nullptr when absent. */
const char *attr(const xmlNode *n, const char *name);
/* Attribute value; Error(INVALID_PARAMETER) naming the element when absent. */
std::string required_attr(const xmlNode *n, const char *name);
/* Concatenated text content of an element. */
std::string text_of(const xmlNode *n);
/* The only element child named `name`, or Error. */
xmlNode *required_child(const xmlNode *parent, const char *name);

/* A parsed document, freed on destruction. */
class Document {
 public:
  /* Parses `len` bytes within `limits`; `depth_used` is the nesting already
   * spent by an enclosing document (embedded instances). Throws Error with
   * cimerror kNotWellFormed for malformed text. */
  Document(const char *text, std::size_t len, const Limits &limits, int depth_used = 0);
  ~Document();
  Document(const Document &) = delete;
  Document &operator=(const Document &) = delete;
  xmlNode *root() const;
  /* True when the text had to be repaired (unescaped < or & in values). */
  bool repaired() const { return repaired_; }
  /* Deepest element nesting in the document. */
  int depth() const { return depth_; }

 private:
  xmlDoc *doc_ = nullptr;
  bool repaired_ = false;
  int depth_ = 0;
};

/* Depth-first search for the first element named one of `names` (null
 * terminated list). */
xmlNode *find_element(xmlNode *root, const char *const *names);

/* ------------------------------------------------------ decoding elements */

struct DecodeContext {
  Limits limits;
  int depth = 0; /* nesting used by enclosing documents */
};

std::string decode_local_namespace(const xmlNode *lnp);
/* INSTANCENAME into a path with namespace `ns` (and host). */
PathPtr decode_instance_name(const xmlNode *n, const std::string &ns, const std::string &host,
                             const DecodeContext &ctx);
/* INSTANCEPATH, LOCALINSTANCEPATH, INSTANCENAME, CLASSPATH, LOCALCLASSPATH,
 * CLASSNAME. */
PathPtr decode_any_path(const xmlNode *n, const std::string &ns, const DecodeContext &ctx);
/* VALUE.REFERENCE */
PathPtr decode_value_reference(const xmlNode *n, const std::string &ns, const DecodeContext &ctx);
/* VALUE / VALUE.ARRAY / VALUE.REFERENCE / VALUE.REFARRAY under `parent` (the
 * first such child), typed `type`; `untyped` requests string values.
 * Returns null of the type when there is none. `embedded` marks embedded
 * instance/object content. */
Value decode_value_child(const xmlNode *parent, bool have_type, CimType type, bool array, bool embedded,
                         const DecodeContext &ctx, const std::string &what, bool *untyped_out);
InstancePtr decode_instance(const xmlNode *n, const std::string &ns, const DecodeContext &ctx);
/* PROPERTY / PROPERTY.ARRAY / PROPERTY.REFERENCE value. */
Value decode_property_value(const xmlNode *n, const DecodeContext &ctx);
ClassDecl decode_class(const xmlNode *n);
Qualifier decode_qualifier(const xmlNode *n);
bool parse_bool_attr(const xmlNode *n, const char *name, bool dflt);

/* ------------------------------------------------------ encoding elements */

void write_class_path(std::string &out, const std::string &host, const std::string &ns, const std::string &cn);
void write_local_class_path(std::string &out, const std::string &ns, const std::string &cn);

}  // namespace detail
}  // namespace cimxml

#endif  // QELVO_CIMXML_INTERNAL_H
