/* Helpers shared by the library's sources; not part of the interface. */
#ifndef QELVO_CIMXML_INTERNAL_H
#define QELVO_CIMXML_INTERNAL_H

#include <cimxml/base.h>
#include <cimxml/xml.h>

#include <cmpi_native.h>

#include <cstdint>
#include <type_traits>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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
/* value_from_text, with the subject of its error given in two parts
 * ("property ", "Name") that are joined only when the error is thrown. */
Value read_value(std::string_view text, CimType t, std::string_view what, std::string_view name);
/* An integer of type `t` as value_from_text reads it, or false where that
 * throws. */
bool integer_from_text(std::string_view text, CimType t, CMPIValue *out);
/* Text of a CMPI_string / CMPI_chars / CMPI_charsptr value: a copy, or in
 * place (valid while the value lives); false for any other type. */
bool data_text(const CMPIData &d, std::string *out);
bool data_chars(const CMPIData &d, std::string_view *out);
/* Appends the text scalar_to_text gives, without making a string of it. */
void append_scalar_text(std::string &out, const CMPIData &d);

/* Text of a string the broker handed out, which is then released. */
std::string take_text(CMPIString *s);
/* Property or key `i` and its name (as getPropertyAt and getKeyAt give
 * them), without making a string object for the name. */
CMPIData property_at(const CMPIInstance *inst, CMPICount i, std::string *name);
CMPIData key_at(const CMPIObjectPath *op, CMPICount i, std::string *name);
std::string path_class(const CMPIObjectPath *op);
std::string path_namespace(const CMPIObjectPath *op);
std::string path_host(const CMPIObjectPath *op);
unsigned path_key_count(const CMPIObjectPath *op);
/* The class name, namespace and host of a path, read in place from a native
 * path (valid while it lives unchanged), else copied out through its
 * function table and kept here. */
class PathNames {
 public:
  explicit PathNames(const CMPIObjectPath *op);
  PathNames(const PathNames &) = delete;
  PathNames &operator=(const PathNames &) = delete;
  std::string_view class_name, name_space, host;

 private:
  std::string own_[3];
};

/* Sets a property / key / arg, releasing nothing of `v` (containers copy). */
void set_property(CMPIInstance *inst, const std::string &name, const CMPIData &d);
void add_key(CMPIObjectPath *op, const std::string &name, const CMPIData &d);
/* The same, moving what v holds into a native instance or path instead of
 * copying it (a copy for any other). */
void set_property(CMPIInstance *inst, const std::string &name, Value &&v);
void add_key(CMPIObjectPath *op, const std::string &name, Value &&v);
void add_arg(CMPIArgs *args, const std::string &name, const CMPIData &d);

/* ------------------------------------------------------------- DOM access */

/* A document as the decoders see it: its elements only. Character data is
 * gathered into each element's `text`; comments and processing instructions
 * are gone. Everything lives in the Document's arena. */
struct Attr {
  const char *name;
  const char *value;
  std::uint32_t name_len;
};

struct Node {
  const char *name;
  std::uint32_t name_len;
  std::uint32_t attr_count;
  const Attr *attrs;
  const char *text;  /* the element's own character data, NUL-terminated */
  std::size_t text_len;
  Node *parent;      /* null for the root */
  Node *child;       /* first element child */
  Node *last;        /* last element child */
  Node *next;        /* next element sibling */
  bool empty;        /* no content at all: no character data, element, comment or PI */
};

/* Name comparison for element and attribute names (exact, as XML is). The
 * lengths are compared first; with a literal name both the length and the
 * comparison of the bytes are worked out where it is used. */
inline bool same_name(const char *a, std::size_t a_len, const char *b) {
  const std::size_t len = std::strlen(b);
  return a_len == len && std::memcmp(a, b, len) == 0;
}
inline bool is(const Node *n, const char *name) { return n != nullptr && same_name(n->name, n->name_len, name); }
inline const char *name_of(const Node *n) { return n->name; }
/* First / next element sibling. */
inline Node *first_element(const Node *parent) { return parent->child; }
inline Node *next_element(const Node *n) { return n->next; }
/* Attribute value, or nullptr when absent. */
inline const char *attr(const Node *n, const char *name) {
  for (std::uint32_t i = 0; i < n->attr_count; ++i)
    if (same_name(n->attrs[i].name, n->attrs[i].name_len, name)) return n->attrs[i].value;
  return nullptr;
}
/* Attribute value; Error(INVALID_PARAMETER) naming the element when absent.
 * The first form points into the document. */
[[noreturn]] void missing_attr(const Node *n, const char *name);
inline const char *required_attr_value(const Node *n, const char *name) {
  const char *v = attr(n, name);
  if (v == nullptr) missing_attr(n, name);
  return v;
}
std::string required_attr(const Node *n, const char *name);
/* The character data of an element; Error when it holds elements. The first
 * form checks only: the text is then n->text, NUL-terminated, n->text_len
 * bytes without a NUL in them. The last gives that text where it stands. */
void require_text_only(const Node *n);
std::string text_of(const Node *n);
inline std::string_view text_in_place(const Node *n) {
  require_text_only(n);
  return std::string_view(n->text, n->text_len);
}
/* The only element child named `name`, or Error. */
Node *required_child(const Node *parent, const char *name);

/* Memory for the nodes, attributes and texts of one document, freed with
 * it. The largest block of an arena (up to kKeptBlock bytes) is kept for the
 * next arena made on the same thread, so that reading one document after
 * another does not allocate. */
class Arena {
 public:
  explicit Arena(std::size_t first_block) : next_size_(first_block < 1024 ? 1024 : first_block) {}
  Arena(const Arena &) = delete;
  Arena &operator=(const Arena &) = delete;
  ~Arena();
  /* `size` bytes aligned to `align`, a power of two. */
  void *allocate(std::size_t size, std::size_t align) {
    if (left_ < size + padding(align)) add_block(size + align > next_size_ ? size + align : next_size_);
    const std::size_t pad = padding(align);
    char *p = at_ + pad;
    at_ = p + size;
    left_ -= size + pad;
    return p;
  }
  template <class T>
  T *make(std::size_t n = 1) {
    static_assert(std::is_trivially_destructible<T>::value, "arena objects are never destroyed");
    return static_cast<T *>(allocate(sizeof(T) * n, alignof(T)));
  }
  /* A NUL-terminated copy of `len` bytes. */
  char *copy(const char *text, std::size_t len);

  static constexpr std::size_t kKeptBlock = std::size_t(256) << 10;
  struct Block {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
  };

 private:
  void add_block(std::size_t size);
  /* Bytes from at_ to the next multiple of `align`. */
  std::size_t padding(std::size_t align) const {
    return static_cast<std::size_t>(-reinterpret_cast<std::uintptr_t>(at_)) & (align - 1);
  }

  std::vector<Block> blocks_;
  char *at_ = nullptr;
  std::size_t left_ = 0;
  std::size_t next_size_;
};

/* Reads the common form of a CIM-XML document (UTF-8, no document type, no
 * comments, processing instructions or CDATA sections, names of ASCII
 * letters, digits, "_", "-" and "."; see xmlread.cpp) in place: `text` (of
 * `len` bytes, with a NUL after them) is decoded where it stands and the
 * nodes point into it. Null when the text is not of that form, valid or
 * not: the caller then reads it with the full parser, which decides. The
 * nesting of the elements goes to *depth. */
Node *read_common_form(char *text, std::size_t len, Arena &arena, int *depth);

/* A parsed document, freed on destruction. */
class Document {
 public:
  /* How a document is read: in place when it is of the common form, else
   * by the full parser (Auto); or by the full parser only (for tests that
   * compare the two). */
  enum class Reader { Auto, Full };
  /* Parses `len` bytes within `limits`; `depth_used` is the nesting already
   * spent by an enclosing document (embedded instances). Throws Error with
   * cimerror kNotWellFormed for malformed text. */
  Document(const char *text, std::size_t len, const Limits &limits, int depth_used = 0,
           Reader reader = Reader::Auto);
  Document(const Document &) = delete;
  Document &operator=(const Document &) = delete;
  Node *root() const { return root_; }
  /* True when the text had to be repaired (unescaped < or & in values). */
  bool repaired() const { return repaired_; }
  /* Deepest element nesting in the document. */
  int depth() const { return depth_; }
  /* True when the document was read in place. */
  bool read_in_place() const { return in_place_; }

 private:
  Arena arena_; /* the nodes, and the copy of the text read in place */
  bool in_place_ = false;
  Node *root_ = nullptr;
  bool repaired_ = false;
  int depth_ = 0;
};

/* Depth-first search for the first element named one of `names` (null
 * terminated list). */
Node *find_element(Node *root, const char *const *names);

/* ------------------------------------------------------ decoding elements */

struct DecodeContext {
  Limits limits;
  int depth = 0; /* nesting used by enclosing documents */
};

std::string decode_local_namespace(const Node *lnp);
/* INSTANCENAME into a path with namespace `ns` (and host). */
PathPtr decode_instance_name(const Node *n, const std::string &ns, const std::string &host,
                             const DecodeContext &ctx);
/* INSTANCEPATH, LOCALINSTANCEPATH, INSTANCENAME, CLASSPATH, LOCALCLASSPATH,
 * CLASSNAME. */
PathPtr decode_any_path(const Node *n, const std::string &ns, const DecodeContext &ctx);
/* VALUE.REFERENCE */
PathPtr decode_value_reference(const Node *n, const std::string &ns, const DecodeContext &ctx);
/* VALUE / VALUE.ARRAY / VALUE.REFERENCE / VALUE.REFARRAY under `parent` (the
 * first such child), typed `type`; `untyped` requests string values.
 * Returns null of the type when there is none. `embedded` marks embedded
 * instance/object content. Errors name the value `what` followed by `name`
 * ("parameter ", "Name"). */
Value decode_value_child(const Node *parent, bool have_type, CimType type, bool array, bool embedded,
                         const DecodeContext &ctx, std::string_view what, std::string_view name,
                         bool *untyped_out);
/* type_from_name, trying the spellings type_name gives first. */
bool type_of_name(std::string_view name, CimType *t);
/* INSTANCE into an instance in namespace `ns`; or, given `path`, with
 * (a copy of) that path instead. */
InstancePtr decode_instance(const Node *n, const std::string &ns, const DecodeContext &ctx,
                            const CMPIObjectPath *path = nullptr);
/* PROPERTY / PROPERTY.ARRAY / PROPERTY.REFERENCE value. */
Value decode_property_value(const Node *n, const DecodeContext &ctx);
ClassDecl decode_class(const Node *n);
Qualifier decode_qualifier(const Node *n);
bool parse_bool_attr(const Node *n, const char *name, bool dflt);

/* ------------------------------------------------------ encoding elements */

void write_class_path(std::string &out, std::string_view host, std::string_view ns, std::string_view cn);
void write_local_class_path(std::string &out, std::string_view ns, std::string_view cn);

}  // namespace detail
}  // namespace cimxml

#endif  // QELVO_CIMXML_INTERNAL_H
