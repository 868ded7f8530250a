#include "internal.h"

#include <cimxml/xml.h>

#include <cctype>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace cimxml {

const char *const kNotWellFormed = "request-not-well-formed";
const char *const kNotValid = "request-not-valid";
const char *const kUnsupportedProtocol = "unsupported-protocol-version";
const char *const kUnsupportedCim = "unsupported-cim-version";
const char *const kUnsupportedDtd = "unsupported-dtd-version";
const char *const kMultipleRequests = "multiple-requests-unsupported";
const char *const kUnsupportedOperation = "unsupported-operation";
const char *const kHeaderMismatch = "header-mismatch";

Error::Error(CMPIrc code, const std::string &message, std::string cimerror)
    : std::runtime_error(message), code_(code), cimerror_(std::move(cimerror)) {}

void Error::set_context(const std::string &message_id, const std::string &method, bool intrinsic) {
  message_id_ = message_id;
  method_ = method;
  intrinsic_ = intrinsic;
}

namespace detail {

void fail(CMPIrc code, const std::string &message) { throw Error(code, message); }
void invalid(const std::string &message) { throw Error(CMPI_RC_ERR_INVALID_PARAMETER, message); }

Value string_value(const std::string &s) {
  CMPIValue v;
  v.string = check_new(native_new_CMPIString(s.c_str(), nullptr), "string");
  return Value(make_data(CMPI_string, v));
}

bool data_chars(const CMPIData &d, std::string_view *out) {
  const char *p;
  if (d.type == CMPI_string) p = d.value.string ? d.value.string->ft->getCharPtr(d.value.string, nullptr) : nullptr;
  else if (d.type == CMPI_chars) p = d.value.chars;
  else if (d.type == CMPI_charsptr) p = static_cast<const char *>(d.value.dataPtr.ptr);
  else return false;
  *out = p ? std::string_view(p) : std::string_view();
  return true;
}

bool data_text(const CMPIData &d, std::string *out) {
  std::string_view text;
  if (!data_chars(d, &text)) return false;
  out->assign(text);
  return true;
}

std::string take_text(CMPIString *s) {
  std::string r = cmpi_text(s);
  if (s) s->ft->release(s);
  return r;
}

/* A native path is read in place; any other through its function table. */
std::string path_class(const CMPIObjectPath *op) {
  cmpinative::PathFields f;
  if (cmpinative::path_fields(op, &f)) return f.class_name;
  return take_text(op->ft->getClassName(op, nullptr));
}
std::string path_namespace(const CMPIObjectPath *op) {
  cmpinative::PathFields f;
  if (cmpinative::path_fields(op, &f)) return f.name_space;
  return take_text(op->ft->getNameSpace(op, nullptr));
}
std::string path_host(const CMPIObjectPath *op) {
  cmpinative::PathFields f;
  if (cmpinative::path_fields(op, &f)) return f.host;
  return take_text(op->ft->getHostname(op, nullptr));
}
unsigned path_key_count(const CMPIObjectPath *op) { return op->ft->getKeyCount(op, nullptr); }

PathNames::PathNames(const CMPIObjectPath *op) {
  cmpinative::PathFields f;
  if (cmpinative::path_fields(op, &f)) {
    class_name = f.class_name;
    name_space = f.name_space;
    host = f.host;
    return;
  }
  own_[0] = take_text(op->ft->getClassName(op, nullptr));
  own_[1] = take_text(op->ft->getNameSpace(op, nullptr));
  own_[2] = take_text(op->ft->getHostname(op, nullptr));
  class_name = own_[0];
  name_space = own_[1];
  host = own_[2];
}

CMPIData property_at(const CMPIInstance *inst, CMPICount i, std::string *name) {
  const char *n = nullptr;
  const CMPIData *d = nullptr;
  if (cmpinative::property_at(inst, i, &n, &d)) {
    name->assign(n);
    return *d;
  }
  CMPIString *pn = nullptr;
  const CMPIData v = inst->ft->getPropertyAt(inst, i, &pn, nullptr);
  *name = take_text(pn);
  return v;
}

CMPIData key_at(const CMPIObjectPath *op, CMPICount i, std::string *name) {
  const char *n = nullptr;
  const CMPIData *d = nullptr;
  if (cmpinative::key_at(op, i, &n, &d)) {
    name->assign(n);
    return *d;
  }
  CMPIString *kn = nullptr;
  const CMPIData v = op->ft->getKeyAt(op, i, &kn, nullptr);
  *name = take_text(kn);
  return v;
}

namespace {
/* CMPI passes CMPI_chars values as the char pointer itself; every other type
 * through a CMPIValue. */
const CMPIValue *value_arg(const CMPIData &d, CMPIValue *scratch) {
  if (d.state & CMPI_nullValue) return nullptr;
  if (d.type == CMPI_chars) return reinterpret_cast<const CMPIValue *>(d.value.chars);
  *scratch = d.value;
  return scratch;
}
/* Fails with "cannot set <what> <name>" unless st is OK; the text is only made then. */
void check_status(const CMPIStatus &st, const char *what, const std::string &name) {
  if (st.rc != CMPI_RC_OK)
    fail(st.rc == CMPI_RC_ERR_FAILED ? CMPI_RC_ERR_FAILED : st.rc, std::string("cannot set ") + what + " " + name);
}
}  // namespace

void set_property(CMPIInstance *inst, const std::string &name, const CMPIData &d) {
  CMPIValue scratch;
  check_status(inst->ft->setProperty(inst, name.c_str(), value_arg(d, &scratch), d.type), "property", name);
}
void add_key(CMPIObjectPath *op, const std::string &name, const CMPIData &d) {
  CMPIValue scratch;
  check_status(op->ft->addKey(op, name.c_str(), value_arg(d, &scratch), d.type), "key", name);
}
void set_property(CMPIInstance *inst, const std::string &name, Value &&v) {
  CMPIData d = v.release();
  const bool moved = cmpinative::move_property(inst, name.c_str(), &d);
  const Value rest(d); /* null once moved */
  if (!moved) set_property(inst, name, rest.data());
}
void add_key(CMPIObjectPath *op, const std::string &name, Value &&v) {
  CMPIData d = v.release();
  const bool moved = cmpinative::move_key(op, name.c_str(), &d);
  const Value rest(d);
  if (!moved) add_key(op, name, rest.data());
}
void add_arg(CMPIArgs *args, const std::string &name, const CMPIData &d) {
  CMPIValue scratch;
  check_status(args->ft->addArg(args, name.c_str(), value_arg(d, &scratch), d.type), "parameter", name);
}

}  // namespace detail

using namespace detail;

std::string instance_class(const CMPIInstance *inst) {
  if (const CMPIObjectPath *stored = cmpinative::stored_path(inst)) return path_class(stored);
  CMPIObjectPath *op = inst->ft->getObjectPath(inst, nullptr);
  std::string cn = op ? path_class(op) : std::string();
  if (op) op->ft->release(op);
  return cn;
}

/* ------------------------------------------------------------------- types */

namespace {
struct TypeRow {
  CimType t;
  const char *name;
  CMPIType cmpi;
};
const TypeRow kTypes[] = {
    {CimType::Boolean, "boolean", CMPI_boolean},   {CimType::Char16, "char16", CMPI_char16},
    {CimType::Real32, "real32", CMPI_real32},      {CimType::Real64, "real64", CMPI_real64},
    {CimType::Uint8, "uint8", CMPI_uint8},         {CimType::Sint8, "sint8", CMPI_sint8},
    {CimType::Uint16, "uint16", CMPI_uint16},      {CimType::Sint16, "sint16", CMPI_sint16},
    {CimType::Uint32, "uint32", CMPI_uint32},      {CimType::Sint32, "sint32", CMPI_sint32},
    {CimType::Uint64, "uint64", CMPI_uint64},      {CimType::Sint64, "sint64", CMPI_sint64},
    {CimType::String, "string", CMPI_string},      {CimType::DateTime, "datetime", CMPI_dateTime},
    {CimType::Reference, "reference", CMPI_ref},   {CimType::Instance, "string", CMPI_instance},
};
}  // namespace

const char *type_name(CimType t) {
  for (const auto &r : kTypes)
    if (r.t == t) return r.name;
  return "string";
}

bool type_from_name(std::string_view name, CimType *t) {
  for (const auto &r : kTypes) {
    if (r.t == CimType::Instance) continue;
    if (iequals(name, r.name)) {
      *t = r.t;
      return true;
    }
  }
  return false;
}

CMPIType to_cmpi(CimType t, bool array) {
  CMPIType c = CMPI_string;
  for (const auto &r : kTypes)
    if (r.t == t) c = r.cmpi;
  return array ? static_cast<CMPIType>(c | CMPI_ARRAY) : c;
}

bool from_cmpi(CMPIType type, CimType *t, bool *array) {
  bool arr = (type & CMPI_ARRAY) != 0;
  CMPIType base = static_cast<CMPIType>(type & ~CMPI_ARRAY);
  if (base == CMPI_chars || base == CMPI_charsptr) base = CMPI_string;
  for (const auto &r : kTypes) {
    if (r.cmpi == base) {
      *t = r.t;
      if (array) *array = arr;
      return true;
    }
  }
  return false;
}

bool is_integer(CimType t) {
  switch (t) {
    case CimType::Uint8: case CimType::Sint8: case CimType::Uint16: case CimType::Sint16:
    case CimType::Uint32: case CimType::Sint32: case CimType::Uint64: case CimType::Sint64:
      return true;
    default:
      return false;
  }
}
bool is_real(CimType t) { return t == CimType::Real32 || t == CimType::Real64; }

/* ----------------------------------------------------------------- owners */

void Releaser::operator()(CMPIInstance *p) const { if (p) p->ft->release(p); }
void Releaser::operator()(CMPIObjectPath *p) const { if (p) p->ft->release(p); }
void Releaser::operator()(CMPIArgs *p) const { if (p) p->ft->release(p); }
void Releaser::operator()(CMPIArray *p) const { if (p) p->ft->release(p); }
void Releaser::operator()(CMPIString *p) const { if (p) p->ft->release(p); }
void Releaser::operator()(CMPIDateTime *p) const { if (p) p->ft->release(p); }

Value::Value() : d_(null_data(CMPI_null)) {}
Value::Value(const CMPIData &adopted) : d_(adopted) {}
Value Value::copy(const CMPIData &d) {
  if (d.state & CMPI_nullValue) return null_of(d.type);
  return Value(cmpinative::copy_data(d));
}
Value Value::null_of(CMPIType type) { return Value(null_data(type)); }
Value::Value(Value &&other) noexcept : d_(other.d_) { other.d_ = null_data(CMPI_null); }
Value &Value::operator=(Value &&other) noexcept {
  if (this != &other) {
    reset();
    d_ = other.d_;
    other.d_ = null_data(CMPI_null);
  }
  return *this;
}
Value::~Value() { reset(); }
void Value::reset() {
  if (!(d_.state & CMPI_nullValue) && d_.type != CMPI_null) cmpinative::release_data(d_);
  d_ = null_data(CMPI_null);
}
CMPIData Value::release() {
  CMPIData d = d_;
  d_ = null_data(CMPI_null);
  return d;
}

std::string cmpi_text(const CMPIString *s) {
  if (s == nullptr) return std::string();
  const char *p = s->ft->getCharPtr(s, nullptr);
  return p ? std::string(p) : std::string();
}

bool iequals_same_length(const char *a, const char *b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

/* ------------------------------------------------------ scalar text forms */

namespace {

std::string format_real(double v, bool single) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-INF" : "INF";
  char buf[64];
  int max_prec = single ? 9 : 17;
  for (int p = 1; p <= max_prec; ++p) {
    std::snprintf(buf, sizeof buf, "%.*e", p - 1, v);
    double back = std::strtod(buf, nullptr);
    if (single ? static_cast<float>(back) == static_cast<float>(v) : back == v) break;
  }
  /* buf: [-]d[.ddd]e[+-]xx */
  std::string s(buf);
  std::string sign;
  if (!s.empty() && s[0] == '-') {
    sign = "-";
    s.erase(0, 1);
  }
  std::size_t epos = s.find('e');
  std::string mant = s.substr(0, epos);
  int exp = std::atoi(s.c_str() + epos + 1);
  std::string digits;
  for (char c : mant)
    if (c != '.') digits += c;
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  if (digits == "0") return sign + "0.0";
  std::string r;
  if (exp >= -5 && exp < 17) {
    if (exp >= 0) {
      std::string ip = digits.substr(0, std::min<std::size_t>(digits.size(), exp + 1));
      while (ip.size() < static_cast<std::size_t>(exp + 1)) ip += '0';
      std::string fp = digits.size() > static_cast<std::size_t>(exp + 1) ? digits.substr(exp + 1) : "0";
      r = ip + "." + fp;
    } else {
      r = "0." + std::string(static_cast<std::size_t>(-exp - 1), '0') + digits;
    }
  } else {
    r = digits.substr(0, 1) + "." + (digits.size() > 1 ? digits.substr(1) : "0") + "E" + (exp < 0 ? "-" : "+") +
        std::to_string(exp < 0 ? -exp : exp);
  }
  return sign + r;
}

void append_utf8(std::string &out, unsigned cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

/* Decodes one UTF-8 character at s[i]; returns its length or 0 when invalid. */
std::size_t utf8_decode(std::string_view s, std::size_t i, unsigned *cp) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  std::size_t n;
  unsigned v;
  if (c < 0x80) {
    *cp = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    n = 2;
    v = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
    v = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
    v = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    unsigned char cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    v = (v << 6) | (cc & 0x3F);
  }
  static const unsigned kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (v < kMin[n] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return n;
}

/* `s` without the white space around it (a view into `s`). */
std::string_view trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\n' || s[b] == '\r')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\n' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

/* A NUL-terminated copy of a text, for the C functions that read one: on
 * the stack when the text is short. */
class CText {
 public:
  explicit CText(std::string_view s) {
    if (s.size() < sizeof short_) {
      std::memcpy(short_, s.data(), s.size());
      short_[s.size()] = '\0';
      p_ = short_;
    } else {
      long_.assign(s);
      p_ = long_.c_str();
    }
  }
  CText(const CText &) = delete;
  CText &operator=(const CText &) = delete;
  const char *c_str() const { return p_; }

 private:
  char short_[64];
  std::string long_;
  const char *p_;
};

/* The subject of the error is `what` followed by `name`. */
[[noreturn]] void bad_text(std::string_view what, std::string_view name, std::string_view text, CimType t) {
  std::string shown(text.substr(0, 64));
  if (text.size() > 64) shown += "...";
  std::string message = "invalid ";
  message.append(type_name(t)).append(" ").append(what).append(name).append(": \"").append(shown).append("\"");
  invalid(message);
}

/* Parses an integer; false when the text is not one or does not fit. */
bool parse_integer(std::string_view raw, bool is_signed, long long minv, unsigned long long maxv, CMPIValue *out,
                   CimType t) {
  const std::string_view s = trim(raw);
  if (s.empty()) return false;
  std::size_t i = 0;
  bool neg = false;
  if (s[i] == '+' || s[i] == '-') {
    neg = s[i] == '-';
    ++i;
  }
  if (i >= s.size()) return false;
  unsigned base = 10;
  if (s.size() - i > 2 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  unsigned long long mag = 0;
  for (; i < s.size(); ++i) {
    char c = s[i];
    unsigned d;
    if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
    else return false;
    if (mag > (std::numeric_limits<unsigned long long>::max() - d) / base) return false;
    mag = mag * base + d;
  }
  if (is_signed) {
    long long v;
    if (neg) {
      if (mag > static_cast<unsigned long long>(std::numeric_limits<long long>::max()) + 1ULL) return false;
      v = mag == static_cast<unsigned long long>(std::numeric_limits<long long>::max()) + 1ULL
              ? std::numeric_limits<long long>::min()
              : -static_cast<long long>(mag);
    } else {
      if (mag > static_cast<unsigned long long>(std::numeric_limits<long long>::max())) return false;
      v = static_cast<long long>(mag);
    }
    if (v < minv || (v > 0 && static_cast<unsigned long long>(v) > maxv)) return false;
    switch (t) {
      case CimType::Sint8: out->sint8 = static_cast<CMPISint8>(v); break;
      case CimType::Sint16: out->sint16 = static_cast<CMPISint16>(v); break;
      case CimType::Sint32: out->sint32 = static_cast<CMPISint32>(v); break;
      default: out->sint64 = v; break;
    }
  } else {
    if (neg && mag != 0) return false;
    if (mag > maxv) return false;
    switch (t) {
      case CimType::Uint8: out->uint8 = static_cast<CMPIUint8>(mag); break;
      case CimType::Uint16: out->uint16 = static_cast<CMPIUint16>(mag); break;
      case CimType::Uint32: out->uint32 = static_cast<CMPIUint32>(mag); break;
      default: out->uint64 = mag; break;
    }
  }
  return true;
}

bool parse_real(std::string_view raw, bool single, CMPIValue *out) {
  const std::string_view s = trim(raw);
  if (s.empty()) return false;
  double v;
  const std::string_view body = s[0] == '-' || s[0] == '+' ? s.substr(1) : s;
  if (iequals(body, "INF") || iequals(body, "INFINITY")) {
    v = s[0] == '-' ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  } else if (iequals(body, "NaN")) {
    v = std::numeric_limits<double>::quiet_NaN();
  } else {
    bool digit = false;
    for (char c : s) {
      if (c >= '0' && c <= '9') digit = true;
      else if (c != '+' && c != '-' && c != '.' && c != 'e' && c != 'E') return false;
    }
    if (!digit) return false;
    errno = 0;
    char *end = nullptr;
    const CText c(s);
    v = std::strtod(c.c_str(), &end);
    if (end == nullptr || *end != '\0') return false;
    if (errno == ERANGE && std::isinf(v)) return false;
  }
  if (single) {
    if (std::isfinite(v) && std::fabs(v) > static_cast<double>(std::numeric_limits<float>::max())) return false;
    out->real32 = static_cast<float>(v);
  } else {
    out->real64 = v;
  }
  return true;
}

struct IntRange {
  bool is_signed;
  long long minv;
  unsigned long long maxv;
};
IntRange range_of(CimType t) {
  switch (t) {
    case CimType::Uint8: return {false, 0, 0xFFULL};
    case CimType::Uint16: return {false, 0, 0xFFFFULL};
    case CimType::Uint32: return {false, 0, 0xFFFFFFFFULL};
    case CimType::Uint64: return {false, 0, std::numeric_limits<unsigned long long>::max()};
    case CimType::Sint8: return {true, -128, 127};
    case CimType::Sint16: return {true, -32768, 32767};
    case CimType::Sint32: return {true, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()};
    default: return {true, std::numeric_limits<long long>::min(), std::numeric_limits<long long>::max()};
  }
}

}  // namespace

namespace {
/* Decimal text of an integer, written in place. */
template <typename Int>
void append_integer(std::string &out, Int v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}
}  // namespace

namespace detail {
void append_scalar_text(std::string &out, const CMPIData &d) {
  if (d.state & CMPI_nullValue) return;
  std::string_view text;
  switch (d.type) {
    case CMPI_boolean: out += d.value.boolean ? "TRUE" : "FALSE"; return;
    case CMPI_char16: {
      unsigned cp = d.value.char16;
      if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
      append_utf8(out, cp);
      return;
    }
    case CMPI_real32: out += format_real(d.value.real32, true); return;
    case CMPI_real64: out += format_real(d.value.real64, false); return;
    /* Eight-bit values are widened so that they are written as numbers. */
    case CMPI_uint8: append_integer(out, static_cast<unsigned>(d.value.uint8)); return;
    case CMPI_uint16: append_integer(out, d.value.uint16); return;
    case CMPI_uint32: append_integer(out, d.value.uint32); return;
    case CMPI_uint64: append_integer(out, d.value.uint64); return;
    case CMPI_sint8: append_integer(out, static_cast<int>(d.value.sint8)); return;
    case CMPI_sint16: append_integer(out, d.value.sint16); return;
    case CMPI_sint32: append_integer(out, d.value.sint32); return;
    case CMPI_sint64: append_integer(out, d.value.sint64); return;
    case CMPI_dateTime: {
      if (d.value.dateTime == nullptr) return;
      const StringPtr s(d.value.dateTime->ft->getStringFormat(d.value.dateTime, nullptr));
      const char *p = s ? s->ft->getCharPtr(s.get(), nullptr) : nullptr;
      if (p) out += p;
      return;
    }
    case CMPI_ref:
      if (d.value.ref) out += path_to_text(d.value.ref);
      return;
    default:
      if (data_chars(d, &text)) {
        out += text;
        return;
      }
      fail(CMPI_RC_ERR_INVALID_DATA_TYPE, "value of CMPI type " + std::to_string(d.type) + " has no text form");
  }
}
}  // namespace detail

std::string scalar_to_text(const CMPIData &d) {
  std::string s;
  append_scalar_text(s, d);
  return s;
}

namespace detail {

bool integer_from_text(std::string_view text, CimType t, CMPIValue *out) {
  const IntRange r = range_of(t);
  return parse_integer(text, r.is_signed, r.minv, r.maxv, out, t);
}

Value read_value(std::string_view text, CimType t, std::string_view what, std::string_view name) {
  CMPIValue v;
  std::memset(&v, 0, sizeof v);
  switch (t) {
    case CimType::Boolean: {
      const std::string_view s = trim(text);
      if (iequals(s, "TRUE")) v.boolean = 1;
      else if (iequals(s, "FALSE")) v.boolean = 0;
      else bad_text(what, name, text, t);
      return Value(make_data(CMPI_boolean, v));
    }
    case CimType::Char16: {
      unsigned cp = 0;
      std::size_t n = text.empty() ? 0 : utf8_decode(text, 0, &cp);
      if (n == 0 || n != text.size() || cp > 0xFFFF) bad_text(what, name, text, t);
      v.char16 = static_cast<CMPIChar16>(cp);
      return Value(make_data(CMPI_char16, v));
    }
    case CimType::Real32:
    case CimType::Real64:
      if (!parse_real(text, t == CimType::Real32, &v)) bad_text(what, name, text, t);
      return Value(make_data(to_cmpi(t), v));
    case CimType::String:
      v.string = check_new(native_new_CMPIString(CText(text).c_str(), nullptr), "string");
      return Value(make_data(CMPI_string, v));
    case CimType::DateTime: {
      /* Read once; the date-time is made from what was read. */
      CMPIUint64 usec;
      bool interval;
      if (!cmpinative::datetime_from_text(CText(trim(text)).c_str(), &usec, &interval)) bad_text(what, name, text, t);
      v.dateTime = check_new(native_new_CMPIDateTime_fromBinary(usec, interval, nullptr), "date-time");
      return Value(make_data(CMPI_dateTime, v));
    }
    case CimType::Reference: {
      PathPtr p = path_from_text(std::string(text));
      v.ref = p.release();
      return Value(make_data(CMPI_ref, v));
    }
    case CimType::Instance: {
      InstancePtr inst = parse_instance(std::string(text));
      v.inst = inst.release();
      return Value(make_data(CMPI_instance, v));
    }
    default:
      if (!integer_from_text(text, t, &v)) bad_text(what, name, text, t);
      return Value(make_data(to_cmpi(t), v));
  }
}

}  // namespace detail

Value value_from_text(std::string_view text, CimType t, std::string_view what) {
  return read_value(text, t, what, std::string_view());
}

Value array_from_texts(const std::vector<std::string> &texts, CimType t, std::string_view what) {
  CMPIType et = to_cmpi(t);
  ArrayPtr arr(check_new(native_new_CMPIArray(static_cast<CMPICount>(texts.size()), et, nullptr), "array"));
  for (std::size_t i = 0; i < texts.size(); ++i) {
    Value e = value_from_text(texts[i], t, what);
    CMPIValue val = e.data().value;
    CMPIStatus st = arr->ft->setElementAt(arr.get(), static_cast<CMPICount>(i), &val, et);
    if (st.rc != CMPI_RC_OK) fail(st.rc, "cannot set array element of " + std::string(what));
  }
  CMPIValue v;
  v.array = arr.release();
  return Value(make_data(static_cast<CMPIType>(et | CMPI_ARRAY), v));
}

namespace {

/* Numeric value as long double / exact integer for range-checked conversion. */
struct Num {
  bool is_int = false;
  bool neg = false;
  unsigned long long mag = 0;
  double real = 0;
};

bool numeric_of(const CMPIData &d, Num *n) {
  auto set_s = [n](long long v) {
    n->is_int = true;
    n->neg = v < 0;
    n->mag = v < 0 ? static_cast<unsigned long long>(-(v + 1)) + 1ULL : static_cast<unsigned long long>(v);
    n->real = static_cast<double>(v);
  };
  auto set_u = [n](unsigned long long v) {
    n->is_int = true;
    n->neg = false;
    n->mag = v;
    n->real = static_cast<double>(v);
  };
  switch (d.type) {
    case CMPI_uint8: set_u(d.value.uint8); return true;
    case CMPI_uint16: set_u(d.value.uint16); return true;
    case CMPI_uint32: set_u(d.value.uint32); return true;
    case CMPI_uint64: set_u(d.value.uint64); return true;
    case CMPI_sint8: set_s(d.value.sint8); return true;
    case CMPI_sint16: set_s(d.value.sint16); return true;
    case CMPI_sint32: set_s(d.value.sint32); return true;
    case CMPI_sint64: set_s(d.value.sint64); return true;
    case CMPI_real32: n->real = d.value.real32; return true;
    case CMPI_real64: n->real = d.value.real64; return true;
    default: return false;
  }
}

Value convert_scalar(const CMPIData &d, CimType t, const std::string &what) {
  CimType src;
  bool arr = false;
  if (!from_cmpi(d.type, &src, &arr)) fail(CMPI_RC_ERR_TYPE_MISMATCH, what + ": value has no CIM type");
  if (src == t) return Value::copy(d);
  std::string_view text;
  if (data_chars(d, &text)) {
    try {
      return value_from_text(text, t, what);
    } catch (const Error &e) {
      throw Error(CMPI_RC_ERR_TYPE_MISMATCH, e.what());
    }
  }
  if (t == CimType::String && d.type != CMPI_ref && d.type != CMPI_instance) return string_value(scalar_to_text(d));
  Num n;
  if (numeric_of(d, &n) && (is_integer(t) || is_real(t))) {
    CMPIValue v;
    std::memset(&v, 0, sizeof v);
    if (is_real(t)) {
      if (t == CimType::Real32) {
        if (std::isfinite(n.real) && std::fabs(n.real) > static_cast<double>(std::numeric_limits<float>::max()))
          fail(CMPI_RC_ERR_TYPE_MISMATCH, what + ": value out of range for real32");
        v.real32 = static_cast<float>(n.real);
      } else {
        v.real64 = n.real;
      }
      return Value(make_data(to_cmpi(t), v));
    }
    if (!n.is_int) {
      if (!std::isfinite(n.real) || n.real != std::floor(n.real) || std::fabs(n.real) > 9.2e18)
        fail(CMPI_RC_ERR_TYPE_MISMATCH, what + ": real value is not an integer");
      long long iv = static_cast<long long>(n.real);
      n.is_int = true;
      n.neg = iv < 0;
      n.mag = iv < 0 ? static_cast<unsigned long long>(-(iv + 1)) + 1ULL : static_cast<unsigned long long>(iv);
    }
    std::string text = (n.neg ? "-" : "") + std::to_string(n.mag);
    try {
      return value_from_text(text, t, what);
    } catch (const Error &) {
      fail(CMPI_RC_ERR_TYPE_MISMATCH, what + ": " + text + " is out of range for " + type_name(t));
    }
  }
  fail(CMPI_RC_ERR_TYPE_MISMATCH,
       what + ": cannot convert " + std::string(type_name(src)) + " to " + std::string(type_name(t)));
}

}  // namespace

Value convert_value(const CMPIData &d, CimType t, bool array, const std::string &what) {
  if ((d.state & CMPI_nullValue) || d.type == CMPI_null) return Value::null_of(to_cmpi(t, array));
  bool is_arr = (d.type & CMPI_ARRAY) != 0;
  if (is_arr != array)
    fail(CMPI_RC_ERR_TYPE_MISMATCH, what + (array ? ": an array is expected" : ": a single value is expected"));
  if (!array) return convert_scalar(d, t, what);
  CMPIArray *src = d.value.array;
  CMPICount n = src ? src->ft->getSize(src, nullptr) : 0;
  CMPIType et = to_cmpi(t);
  ArrayPtr out(check_new(native_new_CMPIArray(n, et, nullptr), "array"));
  for (CMPICount i = 0; i < n; ++i) {
    CMPIData e = src->ft->getElementAt(src, i, nullptr);
    if (e.state & CMPI_nullValue) continue;
    Value c = convert_scalar(e, t, what);
    CMPIValue val = c.data().value;
    out->ft->setElementAt(out.get(), i, &val, et);
  }
  CMPIValue v;
  v.array = out.release();
  return Value(make_data(static_cast<CMPIType>(et | CMPI_ARRAY), v));
}

/* ------------------------------------------------------------- path text */

namespace {
/* Quotes what was appended to `out` from `start` on: \" and \\ get a
 * backslash before them. Most text has neither: it is only looked at. */
void quote_from(std::string &out, std::size_t start) {
  std::size_t i = start;
  while (i < out.size() && out[i] != '"' && out[i] != '\\') ++i;
  if (i < out.size()) {
    const std::string rest(out, i);
    out.resize(i);
    for (char c : rest) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
  }
  out += '"';
}

/* Room for the text of one key, reserved with the rest of a path's text: a
 * guess that fits the usual keys; a longer one grows the string. */
constexpr std::size_t kKeyTextGuess = 48;

void append_path_text(std::string &out, const CMPIObjectPath *op) {
  const PathNames names(op);
  const unsigned n = path_key_count(op);
  out.reserve(out.size() + names.host.size() + names.name_space.size() + names.class_name.size() + 4 +
              n * kKeyTextGuess);
  if (!names.host.empty()) {
    out += "//";
    out += names.host;
    out += '/';
  }
  if (!names.name_space.empty()) {
    out += names.name_space;
    out += ':';
  }
  out += names.class_name;
  std::string name;
  for (unsigned i = 0; i < n; ++i) {
    const CMPIData k = key_at(op, i, &name);
    out += i == 0 ? '.' : ',';
    out += name;
    out += '=';
    std::string_view chars;
    if (k.state & CMPI_nullValue) {
      out += "NULL";
    } else if (k.type == CMPI_ref) {
      std::string inner;
      if (k.value.ref) append_path_text(inner, k.value.ref);
      out += '"';
      const std::size_t start = out.size();
      out += inner;
      quote_from(out, start);
    } else if (data_chars(k, &chars) || k.type == CMPI_dateTime || k.type == CMPI_char16) {
      out += '"';
      const std::size_t start = out.size();
      append_scalar_text(out, k);
      quote_from(out, start);
    } else {
      append_scalar_text(out, k);
    }
  }
}
}  // namespace

std::string path_to_text(const CMPIObjectPath *op) {
  std::string out;
  append_path_text(out, op);
  return out;
}

PathPtr path_from_text(const std::string &text) {
  const std::string s(trim(text));
  std::string host, ns;
  std::size_t i = 0;
  if (s.compare(0, 2, "//") == 0) {
    std::size_t slash = s.find('/', 2);
    if (slash == std::string::npos) invalid("object path without namespace after host: \"" + s + "\"");
    host = s.substr(2, slash - 2);
    i = slash + 1;
  }
  std::size_t stop = s.find_first_of(".\"=", i);
  std::size_t colon = s.find(':', i);
  if (colon != std::string::npos && (stop == std::string::npos || colon < stop)) {
    ns = s.substr(i, colon - i);
    i = colon + 1;
  }
  std::size_t dot = s.find('.', i);
  std::string cn = s.substr(i, dot == std::string::npos ? std::string::npos : dot - i);
  if (cn.empty()) invalid("object path without class name: \"" + s + "\"");
  for (char c : cn)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_'))
      invalid("invalid class name in object path: \"" + s + "\"");
  PathPtr op(check_new(newCMPIObjectPath(ns.c_str(), cn.c_str(), nullptr), "object path"));
  if (!host.empty()) op->ft->setHostname(op.get(), host.c_str());
  if (dot == std::string::npos) return op;
  i = dot + 1;
  while (i <= s.size()) {
    std::size_t eq = s.find('=', i);
    if (eq == std::string::npos) invalid("key without value in object path: \"" + s + "\"");
    const std::string key(trim(s.substr(i, eq - i)));
    if (key.empty()) invalid("empty key name in object path: \"" + s + "\"");
    i = eq + 1;
    Value v;
    if (i < s.size() && s[i] == '"') {
      std::string val;
      ++i;
      bool closed = false;
      while (i < s.size()) {
        char c = s[i++];
        if (c == '\\' && i < s.size()) {
          val += s[i++];
        } else if (c == '"') {
          closed = true;
          break;
        } else {
          val += c;
        }
      }
      if (!closed) invalid("unterminated key value in object path: \"" + s + "\"");
      v = string_value(val);
    } else {
      std::size_t comma = s.find(',', i);
      const std::string tok(trim(s.substr(i, comma == std::string::npos ? std::string::npos : comma - i)));
      i = comma == std::string::npos ? s.size() : comma;
      if (iequals(tok, "TRUE") || iequals(tok, "FALSE")) {
        v = value_from_text(tok, CimType::Boolean, "key " + key);
      } else if (tok.find_first_of(".eE") != std::string::npos && tok.find("0x") == std::string::npos) {
        v = value_from_text(tok, CimType::Real64, "key " + key);
      } else if (!tok.empty() && tok[0] != '-' && tok.size() >= 19) {
        try {
          v = value_from_text(tok, CimType::Sint64, "key " + key);
        } catch (const Error &) {
          v = value_from_text(tok, CimType::Uint64, "key " + key);
        }
      } else {
        v = value_from_text(tok, CimType::Sint64, "key " + key);
      }
    }
    add_key(op.get(), key, v.data());
    if (i >= s.size()) break;
    if (s[i] != ',') invalid("expected ',' between keys in object path: \"" + s + "\"");
    ++i;
  }
  return op;
}

}  // namespace cimxml
