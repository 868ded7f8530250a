/*
 * The value model: deep copies and releases of CMPIData, owned values, text
 * forms of values, and the named value list.
 */
#include <strings.h>
#include <sys/auxv.h>

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "native_internal.h"

namespace cmpinative {

namespace {

/* The object a value of type `t` points to (strings, arrays and the other
 * encapsulated types), or null. */
const void *object_of(const CMPIData &d) {
  if ((d.state & CMPI_nullValue) != 0) return nullptr;
  if ((d.type & CMPI_ARRAY) != 0) return d.value.array;
  switch (d.type) {
    case CMPI_string: return d.value.string;
    case CMPI_instance: return d.value.inst;
    case CMPI_ref: return d.value.ref;
    case CMPI_args: return d.value.args;
    case CMPI_dateTime: return d.value.dateTime;
    case CMPI_enumeration: return d.value.Enum;
    default: return nullptr;
  }
}

[[noreturn]] void copy_failed() { throw std::runtime_error("cannot copy a CMPI value"); }

template <class T>
T *clone_of(const T *obj) {
  T *c = obj->ft->clone(obj, nullptr);
  if (c == nullptr) copy_failed();
  return c;
}

/* Bytes of `*v` that type `t` uses. Callers commonly pass the address of a
 * plain variable of that type, which may be smaller and less aligned than a
 * CMPIValue: only these bytes are read, byte-wise. */
size_t value_size(CMPIType t) {
  if ((t & CMPI_ARRAY) != 0) return sizeof(CMPIArray *);
  switch (t) {
    case CMPI_null: return 0;
    case CMPI_boolean:
    case CMPI_uint8:
    case CMPI_sint8: return 1;
    case CMPI_char16:
    case CMPI_uint16:
    case CMPI_sint16: return 2;
    case CMPI_real32:
    case CMPI_uint32:
    case CMPI_sint32: return 4;
    case CMPI_real64:
    case CMPI_uint64:
    case CMPI_sint64: return 8;
    case CMPI_charsptr: return sizeof(CMPIValuePtr);
    default: return sizeof(void *);  // every other type holds a pointer
  }
}

CMPIValue read_value(const CMPIValue *v, CMPIType t) {
  CMPIValue r;
  std::memset(&r, 0, sizeof r);
  std::memcpy(&r, v, value_size(t));
  return r;
}

template <class T>
std::string number(T v) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

}  // namespace

bool holds_object(CMPIType t) { return (t & CMPI_ARRAY) != 0 || (t & CMPI_ENC) != 0; }

CMPIData copy_data(const CMPIData &d) {
  CMPIData r = d;
  if (!holds_object(d.type)) return r;
  if ((d.state & CMPI_nullValue) != 0) {
    r.value.uint64 = 0;
    return r;
  }
  if ((d.type & CMPI_ARRAY) != 0) {
    if (d.value.array != nullptr) r.value.array = clone_of(d.value.array);
    return r;
  }
  switch (d.type) {
    case CMPI_string:
      if (d.value.string != nullptr) r.value.string = clone_of(d.value.string);
      break;
    case CMPI_chars:
      if (d.value.chars != nullptr && (r.value.chars = strdup(d.value.chars)) == nullptr) throw std::bad_alloc();
      break;
    case CMPI_instance:
      if (d.value.inst != nullptr) r.value.inst = clone_of(d.value.inst);
      break;
    case CMPI_ref:
      if (d.value.ref != nullptr) r.value.ref = clone_of(d.value.ref);
      break;
    case CMPI_args:
      if (d.value.args != nullptr) r.value.args = clone_of(d.value.args);
      break;
    case CMPI_dateTime:
      if (d.value.dateTime != nullptr) r.value.dateTime = clone_of(d.value.dateTime);
      break;
    case CMPI_enumeration:
      if (d.value.Enum != nullptr) r.value.Enum = clone_of(d.value.Enum);
      break;
    default:  // pointers the value does not own (CMPI_ptr, filters, classes)
      break;
  }
  return r;
}

CMPIData share_data(const CMPIData &d) {
  if ((d.type == CMPI_string || d.type == CMPI_dateTime) && share_object(object_of(d))) return d;
  return copy_data(d);
}

void release_data(CMPIData &d) {
  if (holds_object(d.type) && (d.state & CMPI_nullValue) == 0) {
    if ((d.type & CMPI_ARRAY) != 0) {
      if (d.value.array != nullptr) d.value.array->ft->release(d.value.array);
    } else {
      switch (d.type) {
        case CMPI_string:
          if (d.value.string != nullptr) d.value.string->ft->release(d.value.string);
          break;
        case CMPI_chars: std::free(d.value.chars); break;
        case CMPI_instance:
          if (d.value.inst != nullptr) d.value.inst->ft->release(d.value.inst);
          break;
        case CMPI_ref:
          if (d.value.ref != nullptr) d.value.ref->ft->release(d.value.ref);
          break;
        case CMPI_args:
          if (d.value.args != nullptr) d.value.args->ft->release(d.value.args);
          break;
        case CMPI_dateTime:
          if (d.value.dateTime != nullptr) d.value.dateTime->ft->release(d.value.dateTime);
          break;
        case CMPI_enumeration:
          if (d.value.Enum != nullptr) d.value.Enum->ft->release(d.value.Enum);
          break;
        default: break;
      }
    }
  }
  d = null_data(d.type);
}

void adopt_data(const CMPIData &d) { adopt(object_of(d)); }

/* A string value of `text` (null when text is NULL). */
static Value string_value(const char *text) {
  if (text == nullptr) return Value::adopt(null_data(CMPI_string));
  CMPIData d = null_data(CMPI_string, CMPI_goodValue);
  d.value.string = make_string(text, false);
  return Value::adopt(d);
}

/* For CMPI_chars the value pointer is the character string itself, as in
 * CMSetProperty(inst, "Name", "text", CMPI_chars). */
Value Value::of(const CMPIValue *v, CMPIType type) {
  if (type == CMPI_chars) return string_value(reinterpret_cast<const char *>(v));
  if (type == CMPI_charsA) type = CMPI_stringA;  // arrays of chars hold strings
  if (v == nullptr) return adopt(null_data(type));
  CMPIData d = null_data(type, CMPI_goodValue);
  d.value = read_value(v, type);
  if (holds_object(type) && d.value.inst == nullptr) d.state = CMPI_nullValue;
  return copy(d);
}

Value Value::copy(const CMPIData &d) {
  if (d.type == CMPI_chars) {
    Value r = string_value((d.state & CMPI_nullValue) == 0 ? d.value.chars : nullptr);
    r.d_.state = static_cast<CMPIValueState>(d.state | r.d_.state);
    return r;
  }
  return adopt(copy_data(d));
}

Value Value::adopt(CMPIData d) {
  Value v;
  v.d_ = d;
  return v;
}

bool Value::take(CMPIData *d, Value *out) {
  const CMPIType t = d->type;
  bool null = (d->state & CMPI_nullValue) != 0;
  if (holds_object(t) && !null) {
    const bool native_kind = (t & CMPI_ARRAY) != 0 ? t != CMPI_charsA && t != CMPI_charsptrA && t != CMPI_ptrA
                                                   : t == CMPI_string || t == CMPI_instance || t == CMPI_ref ||
                                                         t == CMPI_args || t == CMPI_dateTime ||
                                                         t == CMPI_enumeration;
    const void *obj = object_of(*d);
    if (!native_kind || (obj != nullptr && kind_of(obj) == Kind::None)) return false;
    if (obj == nullptr) null = true; /* no object is a null value */
    else disown(obj);
  } else if (t == CMPI_chars || t == CMPI_charsptr) {
    return false;
  }
  CMPIData v = null ? null_data(t) : *d;
  if (!null) v.state = CMPI_goodValue;
  *out = adopt(v);
  *d = null_data(t);
  return true;
}

std::string quote(const std::string &s) {
  std::string r = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') r += '\\';
    r += c;
  }
  return r + "\"";
}

std::string format_value(const CMPIData &d, bool quoted) {
  if ((d.state & (CMPI_nullValue | CMPI_notFound)) != 0) return "NULL";
  auto q = [quoted](const std::string &s) { return quoted ? quote(s) : s; };
  if ((d.type & CMPI_ARRAY) != 0) {
    const CMPIArray *a = d.value.array;
    if (a == nullptr) return "NULL";
    std::string r = "{";
    CMPICount n = a->ft->getSize(a, nullptr);
    for (CMPICount i = 0; i < n; ++i) {
      if (i != 0) r += ",";
      r += format_value(a->ft->getElementAt(a, i, nullptr), true);
    }
    return r + "}";
  }
  switch (d.type) {
    case CMPI_boolean: return d.value.boolean ? "true" : "false";
    case CMPI_char16:
      return q(d.value.char16 < 0x80 ? std::string(1, static_cast<char>(d.value.char16))
                                      : "\\x" + number(static_cast<unsigned>(d.value.char16)));
    case CMPI_real32: return number(d.value.real32);
    case CMPI_real64: return number(d.value.real64);
    case CMPI_uint8: return number(d.value.uint8);
    case CMPI_uint16: return number(d.value.uint16);
    case CMPI_uint32: return number(d.value.uint32);
    case CMPI_uint64: return number(d.value.uint64);
    case CMPI_sint8: return number(d.value.sint8);
    case CMPI_sint16: return number(d.value.sint16);
    case CMPI_sint32: return number(d.value.sint32);
    case CMPI_sint64: return number(d.value.sint64);
    case CMPI_chars: return d.value.chars != nullptr ? q(d.value.chars) : "NULL";
    case CMPI_string: {
      const char *s = d.value.string != nullptr ? d.value.string->ft->getCharPtr(d.value.string, nullptr) : nullptr;
      return s != nullptr ? q(s) : "NULL";
    }
    case CMPI_dateTime: {
      const CMPIDateTime *dt = d.value.dateTime;
      if (dt == nullptr) return "NULL";
      return q(datetime_to_text(dt->ft->getBinaryFormat(dt, nullptr), dt->ft->isInterval(dt, nullptr) != 0));
    }
    case CMPI_ref: return d.value.ref != nullptr ? q(path_to_text(d.value.ref)) : "NULL";
    case CMPI_instance: {
      if (kind_of(d.value.inst) != Kind::Instance) return "<instance>";
      const NInstance *in = native<NInstance>(d.value.inst);
      std::string r = std::string("instance of ") + path_of(in)->cn.c_str() + " {";
      for (const auto &e : in->props.entries())
        r.append(" ").append(e.name.c_str()).append(" = ").append(format_value(e.value.data(), true)).append(";");
      return r + " }";
    }
    case CMPI_args: {
      if (kind_of(d.value.args) != Kind::Args) return "<args>";
      std::string r = "(";
      for (const auto &e : native<NArgs>(d.value.args)->args.entries()) {
        if (r.size() > 1) r += ", ";
        r.append(e.name.c_str()).append("=").append(format_value(e.value.data(), true));
      }
      return r + ")";
    }
    case CMPI_null: return "NULL";
    default: return "<" + number(static_cast<unsigned>(d.type)) + ">";
  }
}

std::string data_to_string(const CMPIData &d) { return format_value(d, false); }

namespace {

/* 64 bits that differ from one run of a process to the next. */
uint64_t process_seed() {
  uint64_t seed = 0;
  if (const auto *random = reinterpret_cast<const unsigned char *>(getauxval(AT_RANDOM)))
    std::memcpy(&seed, random + 8, sizeof seed);  // the kernel's 16 random bytes; the first 8 guard the stack
  return seed;
}

/* A hash of `name` that ignores case as strcasecmp does (with the same
 * tolower), seeded once per process so that names sent to collide in it
 * cannot be worked out beforehand. */
uint64_t name_hash(const char *name) {
  static const uint64_t seed = process_seed();
  uint64_t h = seed ^ 0xcbf29ce484222325u;
  for (const char *p = name; *p != '\0'; ++p) {
    h = (h ^ static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(*p)))) * 0x100000001b3u;
    h ^= h >> 29;
  }
  return h;
}

}  // namespace

/* The slot of the index holding `name`'s entry, or the free slot where it
 * would go. */
size_t NamedList::slot_of(const char *name) const {
  const Index &index = index_;
  const size_t mask = index.size() - 1;
  size_t slot = name_hash(name) & mask;
  while (index[slot] != kFree && !iequals(items_[index[slot]].name.c_str(), name)) slot = (slot + 1) & mask;
  return slot;
}

NamedList::Entry *NamedList::find_indexed(const char *name) {
  const uint32_t at = index_[slot_of(name)];
  return at != kFree ? &items_[at] : nullptr;
}

/* A name already present keeps pointing at its first entry, as a scan would
 * find it. */
void NamedList::index_last_long() {
  if (index_.size() < 2 * items_.size()) return rebuild_index();
  const size_t slot = slot_of(items_.back().name.c_str());
  if (index_[slot] == kFree) index_[slot] = static_cast<uint32_t>(items_.size() - 1);
}

void NamedList::rebuild_index() {
  Index().swap(index_);
  if (items_.size() <= kShortList) return;
  if (items_.size() >= kFree) throw std::length_error("too many named values");
  size_t slots = 64;
  while (slots < 4 * items_.size()) slots *= 2;  // room to double before the next rebuild
  Index fresh(slots, kFree);
  index_.swap(fresh);
  for (size_t i = 0; i < items_.size(); ++i) {
    const size_t slot = slot_of(items_[i].name.c_str());
    if (index_[slot] == kFree) index_[slot] = static_cast<uint32_t>(i);
  }
}

void NamedList::set(const char *name, Value v) {
  if (Entry *e = find(name)) {
    e->value = std::move(v);
    return;
  }
  items_.push_back(Entry{SharedText(name), std::move(v)});
  index_last();
}

void NamedList::append(Entry e) {
  items_.push_back(std::move(e));
  index_last();
}

bool NamedList::view(CMPICount index, const char **name, const CMPIData **value) const {
  if (index >= items_.size()) return false;
  *name = items_[index].name.c_str();
  *value = &items_[index].value.data();
  return true;
}

CMPIData NamedList::get(const char *name, CMPIStatus *rc) const {
  if (name == nullptr) {
    set_rc(rc, CMPI_RC_ERR_INVALID_PARAMETER);
    return null_data(CMPI_null, CMPI_notFound);
  }
  const Entry *e = find(name);
  if (e == nullptr) {
    set_rc(rc, CMPI_RC_ERR_NO_SUCH_PROPERTY);
    return null_data(CMPI_null, CMPI_notFound);
  }
  set_rc(rc, CMPI_RC_OK);
  return e->value.data();
}

CMPIData NamedList::get_at(CMPICount index, CMPIString **name, CMPIStatus *rc) const {
  if (name != nullptr) *name = nullptr;
  if (index >= items_.size()) {
    set_rc(rc, CMPI_RC_ERR_NO_SUCH_PROPERTY);
    return null_data(CMPI_null, CMPI_notFound);
  }
  const Entry &e = items_[index];
  if (name != nullptr) *name = make_string(e.name.c_str(), true);
  set_rc(rc, CMPI_RC_OK);
  return e.value.data();
}

}  // namespace cmpinative
