/*
 * Internals shared by the native object implementations: the object header
 * and scopes, the owned value model, the named value list, and the layout of
 * every native object.
 *
 * Every native object is a struct whose first member is the public CMPI
 * struct ({hdl, ft}), followed by a Header. The type of an object given as
 * void * is told by its function table pointer (see kind_of).
 */
#ifndef QELVO_CMPI_NATIVE_INTERNAL_H
#define QELVO_CMPI_NATIVE_INTERNAL_H

#include <cmpidt.h>
#include <cmpift.h>
#include <strings.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "cmpi_native.h"

namespace cmpinative {

class Router;
struct Scope;

/* ------------------------------------------------------------ object header */

enum class Kind {
  None,
  String,
  Array,
  Instance,
  ObjectPath,
  Args,
  DateTime,
  Enumeration,
  Context,
  Result,
  Error
};

struct Header {
  void (*destroy)(void *self) = nullptr;
  void *self = nullptr;
  Scope *scope = nullptr;  // null when caller-owned or held by a container
  Header *prev = nullptr;  // links within the scope
  Header *next = nullptr;
  /* Holders of the object: more than one only for an immutable object that
   * values share (see share_object); each holder releases it once. */
  std::atomic<long> holders{1};
};

/* Counts the object and, when `scoped`, registers it with the innermost scope
 * of the calling thread. */
void on_created(Header *h, bool scoped);
/* Unregisters the object from its scope (if any) and frees it. */
void release_object(Header *h);
/* Moves a caller-owned native object into the innermost scope; other objects
 * are left alone. */
void adopt(const void *obj);
void adopt_data(const CMPIData &d);
/* Takes a native object out of its scope: its holder owns it now. */
void disown(const void *obj);
/* Makes the holder of a value one more holder of the object the value points
 * to, instead of a clone of it: only for the immutable strings and
 * date-times, and only those no scope holds. False (nothing done) for
 * anything else. Each holder counts as a live object and releases it once;
 * the last release frees it. */
bool share_object(const void *obj);
/* A copy of `d` for another value: shared (share_object) where it can be,
 * a deep copy (copy_data) otherwise. */
CMPIData share_data(const CMPIData &d);

/* Which native type `obj` is, Kind::None for anything else. */
Kind kind_of(const void *obj);

/* Counts and registers the complete native object `n`, which `destroy`
 * frees when it goes (at once, should registering fail). */
template <class N>
N *registered(N *n, void (*destroy)(void *), bool scoped) {
  n->hdr.self = n;
  n->hdr.destroy = destroy;
  try {
    on_created(&n->hdr, scoped);
  } catch (...) {
    destroy(n);
    throw;
  }
  return n;
}

/* Allocates a native object of type N and lets `init` fill it; only a
 * complete object is counted and registered. */
template <class N, class Init>
N *create(bool scoped, Init &&init) {
  std::unique_ptr<N> n(new N());
  init(*n);
  return registered(n.release(), [](void *p) { delete static_cast<N *>(p); }, scoped);
}

/* The native object behind a public pointer. */
template <class N, class P>
N *native(P *p) {
  static_assert(std::is_standard_layout<N>::value, "native objects start with their public struct");
  return reinterpret_cast<N *>(const_cast<std::remove_const_t<P> *>(p));
}

/* Scoped memory from cmpiMalloc and friends (freed with the scope). */
void *scope_malloc(size_t size);
void *scope_realloc(void *ptr, size_t size);
void scope_free(void *ptr);

/* Memory marks: a mark opens a scope; releasing it ends that scope and every
 * scope opened after it on the same thread. */
void *scope_mark();
bool scope_release_mark(const void *mark);

/* ------------------------------------------------------------ status helpers */

inline CMPIStatus status(CMPIrc rc, CMPIString *msg = nullptr) {
  CMPIStatus st;
  st.rc = rc;
  st.msg = msg;
  return st;
}
inline void set_rc(CMPIStatus *rc, CMPIrc code, CMPIString *msg = nullptr) {
  if (rc != nullptr) {
    rc->rc = code;
    rc->msg = msg;
  }
}
/* A status with a scoped message string (no message if making it fails). */
CMPIStatus status_msg(CMPIrc rc, const std::string &msg);
void set_rc_msg(CMPIStatus *rc, CMPIrc code, const std::string &msg);

inline CMPIData null_data(CMPIType type = CMPI_null, CMPIValueState state = CMPI_nullValue) {
  CMPIData d;
  d.type = type;
  d.state = state;
  d.value.uint64 = 0;
  return d;
}

/* Runs a function table entry, turning any exception into CMPI_RC_ERR_FAILED. */
template <class F>
CMPIStatus guard(F &&f) noexcept {
  try {
    return f();
  } catch (const std::exception &e) {
    return status_msg(CMPI_RC_ERR_FAILED, e.what());
  } catch (...) {
    return status(CMPI_RC_ERR_FAILED);
  }
}
template <class R, class F>
R guard(CMPIStatus *rc, R failed, F &&f) noexcept {
  try {
    return f();
  } catch (const std::exception &e) {
    set_rc_msg(rc, CMPI_RC_ERR_FAILED, e.what());
  } catch (...) {
    set_rc(rc, CMPI_RC_ERR_FAILED);
  }
  return failed;
}

inline bool iequals(const char *a, const char *b) {
  if (a == nullptr || b == nullptr) return a == b;
  return strcasecmp(a, b) == 0;
}
/* Text of a possibly null C string. */
inline std::string text_of(const char *s) { return s != nullptr ? std::string(s) : std::string(); }

/* ------------------------------------------------------------- value model */

/* Whether values of type `t` are pointers: to encapsulated objects and
 * strings (which values own) or to anything else (which they do not). */
bool holds_object(CMPIType t);

/* A CMPI value owning its contents: encapsulated objects are its own clones.
 * CMPI_chars values are stored as CMPI_string. */
class Value {
 public:
  Value() : d_(null_data()) {}
  /* A copy of `*v` typed `type` (for CMPI_chars, v is the characters); a
   * null value of that type when v is NULL (or holds a NULL object). */
  static Value of(const CMPIValue *v, CMPIType type);
  /* A deep copy of `d` (chars become a string). */
  static Value copy(const CMPIData &d);
  /* Takes ownership of d's contents. */
  static Value adopt(CMPIData d);
  /* Takes over the contents of a value of a native object or a plain type
   * (out of their scope, if scoped) as Value::of would have copied them,
   * leaving *d null; false, with *d untouched, for anything else. */
  static bool take(CMPIData *d, Value *out);

  Value(const Value &o) : d_(share_data(o.d_)) {}
  Value(Value &&o) noexcept : d_(o.d_) { o.d_ = null_data(); }
  Value &operator=(Value o) noexcept {
    std::swap(d_, o.d_);
    return *this;
  }
  ~Value() { release_data(d_); }

  const CMPIData &data() const { return d_; }
  void set_state(CMPIValueState s) { d_.state = s; }
  bool is_null() const { return (d_.state & CMPI_nullValue) != 0; }
  /* Gives up ownership of the contents. */
  CMPIData take() {
    CMPIData d = d_;
    d_ = null_data();
    return d;
  }

 private:
  CMPIData d_;
};

/* Formats a value: strings, date-times and references quoted and escaped when
 * `quoted` (as in an object path's keys). */
std::string format_value(const CMPIData &d, bool quoted);
std::string quote(const std::string &s);

/* ------------------------------------------------------------ shared text */

/* Text that never changes once made. A short text (a namespace, most class
 * and property names, hosts) is kept in place, so that making one allocates nothing;
 * copies of a longer one share its characters, so that copying a path does
 * not copy them. Empty when made from NULL. */
class SharedText {
 public:
  SharedText() = default;
  explicit SharedText(const char *text);
  SharedText(const SharedText &o) noexcept : block_(o.block_) {
    std::memcpy(short_, o.short_, sizeof short_);
    if (block_ != nullptr) block_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  SharedText(SharedText &&o) noexcept : block_(o.block_) {
    std::memcpy(short_, o.short_, sizeof short_);
    o.block_ = nullptr;
  }
  SharedText &operator=(SharedText o) noexcept {
    std::swap(block_, o.block_);
    std::swap(short_, o.short_);
    return *this;
  }
  ~SharedText();

  const char *c_str() const { return block_ != nullptr ? block_->chars() : short_; }
  bool empty() const { return block_ == nullptr && short_[0] == '\0'; }

 private:
  /* One allocation: the count, then the characters. */
  struct Block {
    std::atomic<long> refs{1};
    char *chars() { return reinterpret_cast<char *>(this + 1); }
  };
  Block *block_ = nullptr;  // the characters of a longer text
  char short_[24] = {};     // a short text, with its NUL (unused when block_ is set)
};

/* --------------------------------------------------------- named value list */

/* An ordered list of named values, names compared without regard to case:
 * the properties of an instance, the keys of a path, arguments, context
 * entries. A short list is searched entry by entry; a longer one also keeps
 * a hash index of its names, so that finding or setting a name costs the
 * same however long the list is. */
class NamedList {
 public:
  struct Entry {
    SharedText name;
    Value value;
  };

  NamedList() = default;
  NamedList(const NamedList &o)
      : items_(o.items_), index_(o.index_) {}
  NamedList(NamedList &&) noexcept = default;
  NamedList &operator=(NamedList o) noexcept {
    items_.swap(o.items_);
    index_.swap(o.index_);
    return *this;
  }

  const std::vector<Entry> &entries() const { return items_; }
  size_t size() const { return items_.size(); }
  void reserve(size_t n) { items_.reserve(n); }

  Entry *find(const char *name) {
    if (!index_.empty()) return find_indexed(name);
    for (auto &e : items_)
      if (iequals(e.name.c_str(), name)) return &e;
    return nullptr;
  }
  const Entry *find(const char *name) const { return const_cast<NamedList *>(this)->find(name); }
  /* Entry `index` in place (see key_at); false when there is none. */
  bool view(CMPICount index, const char **name, const CMPIData **value) const;
  /* Replaces the value of an existing entry (keeping its place) or appends. */
  void set(const char *name, Value v);
  /* Appends an entry the caller knows to be new (a copy of another list's
   * entry, say) without looking for it first. */
  void append(Entry e);
  /* Keeps only the entries `keep` accepts, in their order. */
  template <class Keep>
  void keep_if(Keep &&keep) {
    std::vector<Entry> kept;
    kept.reserve(items_.size());  // so that no entry is lost to a failed allocation
    for (auto &e : items_)
      if (keep(e)) kept.push_back(std::move(e));
    items_ = std::move(kept);
    rebuild_index();
  }

  /* The getX / getXAt / getXCount behaviour of the function tables: a missing
   * name or index gives state CMPI_notFound and CMPI_RC_ERR_NO_SUCH_PROPERTY.
   * getXAt's name comes back as a scoped string. */
  CMPIData get(const char *name, CMPIStatus *rc) const;
  CMPIData get_at(CMPICount index, CMPIString **name, CMPIStatus *rc) const;

 private:
  /* Lists of up to this many entries are only scanned: for the few names of
   * a path or a typical instance a scan is as quick as hashing one name. */
  static constexpr size_t kShortList = 16;
  static constexpr uint32_t kFree = UINT32_MAX;
  /* Open addressing over the positions of items_ (kFree where empty), at
   * most half full. Positions, unlike pointers, stay right when items_
   * reallocates or the list is copied. */
  using Index = std::vector<uint32_t>;

  Entry *find_indexed(const char *name);
  size_t slot_of(const char *name) const;
  /* Indexes the entry just appended, once the list is long enough. */
  void index_last() {
    if (items_.size() > kShortList) index_last_long();
  }
  void index_last_long();
  void rebuild_index();

  std::vector<Entry> items_;
  /* Empty while the list is short (or if making the index failed: the list is
   * scanned then). */
  Index index_;
};

/* ----------------------------------------------------------- native objects */

/* Made by make_string in one block with its characters, which follow it. */
struct NString {
  CMPIString pub;  // hdl is the character buffer, as CMGetCharPtr expects
  Header hdr;
  const char *text = nullptr;  // the characters (== pub.hdl)
};

struct NArray {
  CMPIArray pub;
  Header hdr;
  CMPIType type = CMPI_null;  // element type
  std::vector<Value> elems;
};

struct NObjectPath {
  CMPIObjectPath pub;
  Header hdr;
  SharedText ns, cn, host;
  NamedList keys;
};

/* The property names an instance keeps (setPropertyFilter). */
struct PropertyFilter {
  std::vector<std::string> names;      // the properties listed
  std::vector<std::string> key_names;  // keys named besides the path's
};

struct NInstance {
  CMPIInstance pub;
  Header hdr;
  /* The instance's own copy of its path (never null). It is never changed in
   * place, so clones of the instance share it. */
  std::shared_ptr<const NObjectPath> path;
  NamedList props;
  /* The filter set by setPropertyFilter, null for none. Never changed in
   * place either, so clones share it too. */
  std::shared_ptr<const PropertyFilter> filter;
};

inline const NObjectPath *path_of(const NInstance *n) { return n->path.get(); }

struct NArgs {
  CMPIArgs pub;
  Header hdr;
  NamedList args;
};

struct NDateTime {
  CMPIDateTime pub;
  Header hdr;
  CMPIUint64 usec = 0;
  bool interval = false;
};

struct NEnumeration {
  CMPIEnumeration pub;
  Header hdr;
  std::vector<Value> values;
  mutable size_t next = 0;
};

struct NContext {
  CMPIContext pub;
  Header hdr;
  NamedList entries;
};

struct NResult {
  CMPIResult pub;
  Header hdr;
  ResultContents contents;  // every object and value in it is the result's own
  NResult() = default;
  NResult(const NResult &) = delete;
  NResult &operator=(const NResult &) = delete;
  ~NResult();
};

struct NError {
  CMPIError pub;
  Header hdr;
  CMPIErrorType type = UnknownErrorType;
  CMPIErrorSeverity severity = ErrorSevUnknown;
  CMPIErrorProbableCause cause = ErrorProbCauseUnknown;
  CMPIErrorSrcFormat source_format = CMPIErrSrcUnknown;
  CMPIrc status_code = CMPI_RC_OK;
  /* Text attributes; an absent one reads as NULL. */
  enum Text {
    OtherType,
    Owner,
    MessageId,
    Message,
    CauseDescription,
    Source,
    OtherSourceFormat,
    StatusDescription,
    TextCount
  };
  std::string text[TextCount];
  bool has[TextCount] = {};
  Value actions;    // recommended actions (string array)
  Value arguments;  // message arguments (string array)
};

/* Factories: a new native object, scoped or caller-owned. */
CMPIString *make_string(const char *text, bool scoped);
CMPIArray *make_array(CMPICount size, CMPIType type, bool scoped);
CMPIObjectPath *make_path(const char *ns, const char *cn, bool scoped);
/* A copy of native path `src`; with `values`, each key that `values` holds
 * with a non-null value takes that value instead (as a key value). */
CMPIObjectPath *copy_path(const NObjectPath &src, bool scoped, const NamedList *values);
CMPIInstance *make_instance(const CMPIObjectPath *op, bool scoped, CMPIStatus *rc);
CMPIArgs *make_args(bool scoped);
CMPIDateTime *make_datetime(CMPIUint64 usec, bool interval, bool scoped, CMPIStatus *rc);
CMPIDateTime *make_datetime_now(bool scoped, CMPIStatus *rc);
CMPIDateTime *make_datetime_text(const char *text, bool scoped, CMPIStatus *rc);
CMPIContext *make_context(bool scoped);
CMPIEnumeration *make_enumeration(std::vector<Value> values, bool scoped);
CMPIError *make_error(bool scoped);

/* The CIM text form of a date-time (see datetime_to_text) into `buf`, with
 * its terminating NUL. */
constexpr size_t kDateTimeTextSize = 26;
void datetime_text(CMPIUint64 usec, bool interval, char (&buf)[kDateTimeTextSize]);

/* Text forms used across types. */
std::string path_to_text(const CMPIObjectPath *op);
/* getMessage: defMsg with $0..$9 replaced by the typed arguments in `ap`. */
std::string format_message(const char *defMsg, CMPICount count, va_list ap);

/* A broker made by new_broker; hdl points at it. */
struct NBroker {
  CMPIBroker pub;
  CMPIBrokerFT bft;  // its own copy, to carry the broker's name
  std::string name;
  Router *router = nullptr;
};
Router *router_of(const CMPIBroker *mb);

extern CMPIBrokerEncFT broker_enc_ft;
extern CMPIBrokerExtFT broker_ext_ft;
extern CMPIBrokerMemFT broker_mem_ft;

/* Function tables, for telling native objects apart. */
extern CMPIStringFT string_ft;
extern CMPIArrayFT array_ft;
extern CMPIObjectPathFT path_ft;
extern CMPIInstanceFT instance_ft;
extern CMPIArgsFT args_ft;
extern CMPIDateTimeFT datetime_ft;
extern CMPIEnumerationFT enumeration_ft;
extern CMPIContextFT context_ft;
extern CMPIResultFT result_ft;
extern CMPIErrorFT error_ft;

}  // namespace cmpinative

#endif /* QELVO_CMPI_NATIVE_INTERNAL_H */
