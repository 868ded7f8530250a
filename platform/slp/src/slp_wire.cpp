#include "slp_wire.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace slpwire {

namespace {

constexpr size_t kFixedHeader = 14;

class Writer {
 public:
  void U8(unsigned v) { out_.push_back(static_cast<uint8_t>(v)); }
  void U16(unsigned v) {
    U8(v >> 8);
    U8(v);
  }
  void U24(unsigned v) {
    U8(v >> 16);
    U8(v >> 8);
    U8(v);
  }
  void Str(const std::string& s) {
    const size_t n = std::min<size_t>(s.size(), 0xffff);
    U16(static_cast<unsigned>(n));
    out_.insert(out_.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
  }
  std::vector<uint8_t>& out() { return out_; }

 private:
  std::vector<uint8_t> out_;
};

class Reader {
 public:
  Reader(const uint8_t* p, size_t len) : p_(p), len_(len) {}
  bool U8(unsigned* v) {
    if (pos_ + 1 > len_) return false;
    *v = p_[pos_++];
    return true;
  }
  bool U16(unsigned* v) {
    if (pos_ + 2 > len_) return false;
    *v = (static_cast<unsigned>(p_[pos_]) << 8) | p_[pos_ + 1];
    pos_ += 2;
    return true;
  }
  bool Skip(size_t n) {
    if (n > len_ - pos_) return false;
    pos_ += n;
    return true;
  }
  bool Str(std::string* s) {
    unsigned n;
    if (!U16(&n) || n > len_ - pos_) return false;
    const char* begin = reinterpret_cast<const char*>(p_ + pos_);
    if (std::memchr(begin, '\0', n) != nullptr) return false;  // strings are handed on as C text
    s->assign(begin, n);
    pos_ += n;
    return true;
  }
  // Authentication blocks: skipped by their own length fields.
  bool AuthBlocks() {
    unsigned count;
    if (!U8(&count)) return false;
    for (unsigned i = 0; i < count; ++i) {
      unsigned bsd, len;
      if (!U16(&bsd) || !U16(&len) || len < 4 || !Skip(len - 4)) return false;
    }
    return true;
  }

 private:
  const uint8_t* p_;
  size_t len_;
  size_t pos_ = 0;
};

std::vector<uint8_t> Finish(const Header& h, Writer& body) {
  Writer msg;
  const std::string lang = h.lang.substr(0, 0xffff);
  const size_t total = kFixedHeader + lang.size() + body.out().size();
  msg.U8(2);
  msg.U8(h.function);
  msg.U24(static_cast<unsigned>(total));
  msg.U16(h.flags);
  msg.U24(0);
  msg.U16(h.xid);
  msg.Str(lang);
  msg.out().insert(msg.out().end(), body.out().begin(), body.out().end());
  return std::move(msg.out());
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string StripServicePrefix(const std::string& t) {
  return t.size() >= 8 && EqualFold(t.substr(0, 8), "service:") ? t.substr(8) : t;
}

// Case-insensitive glob match of text against a pattern with '*' wildcards.
bool Glob(const std::string& pattern, const std::string& text) {
  size_t p = 0, t = 0, star = std::string::npos, mark = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = t;
    } else if (p < pattern.size() &&
               std::tolower(static_cast<unsigned char>(pattern[p])) == std::tolower(static_cast<unsigned char>(text[t]))) {
      ++p;
      ++t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool IsInteger(const std::string& s, long* v) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  *v = std::strtol(s.c_str(), &end, 10);
  return errno == 0 && end != nullptr && *end == '\0';
}

// Recursive-descent evaluation of a search filter.
class FilterEval {
 public:
  FilterEval(const std::string& f, const std::vector<Attribute>& attrs) : f_(f), attrs_(attrs) {}

  int Run() {
    bool result = false;
    SkipBlanks();
    if (!Filter(&result, 0)) return -1;
    SkipBlanks();
    return pos_ == f_.size() ? (result ? 1 : 0) : -1;
  }

 private:
  static constexpr int kMaxDepth = 32;

  void SkipBlanks() {
    while (pos_ < f_.size() && std::isspace(static_cast<unsigned char>(f_[pos_]))) ++pos_;
  }
  bool Eat(char c) {
    SkipBlanks();
    if (pos_ < f_.size() && f_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  bool Filter(bool* out, int depth) {
    if (depth > kMaxDepth || !Eat('(')) return false;
    SkipBlanks();
    if (pos_ >= f_.size()) return false;
    const char c = f_[pos_];
    if (c == '&' || c == '|') {
      ++pos_;
      bool acc = c == '&';
      int n = 0;
      for (;;) {
        SkipBlanks();
        if (pos_ < f_.size() && f_[pos_] == ')') break;
        bool sub = false;
        if (!Filter(&sub, depth + 1)) return false;
        acc = c == '&' ? (acc && sub) : (acc || sub);
        ++n;
      }
      if (n == 0) return false;
      *out = acc;
    } else if (c == '!') {
      ++pos_;
      bool sub = false;
      if (!Filter(&sub, depth + 1)) return false;
      *out = !sub;
    } else if (!Item(out)) {
      return false;
    }
    return Eat(')');
  }

  bool Item(bool* out) {
    const size_t start = pos_;
    while (pos_ < f_.size() && std::strchr("=~<>()", f_[pos_]) == nullptr) ++pos_;
    const std::string tag = Trim(f_.substr(start, pos_ - start));
    if (tag.empty() || pos_ >= f_.size()) return false;
    std::string op;
    if (f_[pos_] == '=') {
      op = "=";
      ++pos_;
    } else if (pos_ + 1 < f_.size() && f_[pos_ + 1] == '=' && std::strchr("~<>", f_[pos_]) != nullptr) {
      op = f_.substr(pos_, 2);
      pos_ += 2;
    } else {
      return false;
    }
    const size_t vstart = pos_;
    while (pos_ < f_.size() && f_[pos_] != ')' && f_[pos_] != '(') ++pos_;
    if (pos_ >= f_.size() || f_[pos_] != ')') return false;
    const std::string value = Trim(f_.substr(vstart, pos_ - vstart));
    *out = Compare(tag, op, value);
    return true;
  }

  bool Compare(const std::string& tag, const std::string& op, const std::string& value) const {
    for (const Attribute& a : attrs_) {
      if (!EqualFold(a.tag, tag)) continue;
      if (op == "=" && value == "*") return true;
      for (const std::string& v : a.values) {
        long lv, rv;
        if (op == "=" && Glob(value, v)) return true;
        if (op == "~=" && EqualFold(value, v)) return true;
        if (op == ">=" || op == "<=") {
          int cmp;
          if (IsInteger(v, &lv) && IsInteger(value, &rv)) {
            cmp = lv < rv ? -1 : (lv > rv ? 1 : 0);
          } else {
            cmp = Lower(v).compare(Lower(value));
          }
          if ((op == ">=" && cmp >= 0) || (op == "<=" && cmp <= 0)) return true;
        }
      }
    }
    return false;
  }

  const std::string& f_;
  const std::vector<Attribute>& attrs_;
  size_t pos_ = 0;
};

}  // namespace

// ---------------------------------------------------------------------------------------------

std::vector<uint8_t> Encode(const Header& h, const SrvRqst& m) {
  Writer w;
  w.Str(m.pr_list);
  w.Str(m.service_type);
  w.Str(m.scope_list);
  w.Str(m.predicate);
  w.Str(m.spi);
  return Finish(h, w);
}

std::vector<uint8_t> Encode(const Header& h, const SrvRply& m) {
  Writer w;
  w.U16(m.error);
  w.U16(static_cast<unsigned>(std::min<size_t>(m.urls.size(), 0xffff)));
  for (size_t i = 0; i < m.urls.size() && i < 0xffff; ++i) {
    w.U8(0);
    w.U16(m.urls[i].lifetime);
    w.Str(m.urls[i].url);
    w.U8(0);  // no authentication blocks
  }
  return Finish(h, w);
}

std::vector<uint8_t> Encode(const Header& h, const AttrRqst& m) {
  Writer w;
  w.Str(m.pr_list);
  w.Str(m.url);
  w.Str(m.scope_list);
  w.Str(m.tag_list);
  w.Str(m.spi);
  return Finish(h, w);
}

std::vector<uint8_t> Encode(const Header& h, const AttrRply& m) {
  Writer w;
  w.U16(m.error);
  w.Str(m.attr_list);
  w.U8(0);
  return Finish(h, w);
}

bool DecodeHeader(const uint8_t* msg, size_t len, Header* h, const uint8_t** body, size_t* body_len) {
  if (len < kFixedHeader || msg[0] != 2) return false;
  const size_t length = (size_t{msg[2]} << 16) | (size_t{msg[3]} << 8) | msg[4];
  if (length != len) return false;
  h->function = msg[1];
  h->flags = static_cast<uint16_t>((msg[5] << 8) | msg[6]);
  const size_t ext = (size_t{msg[7]} << 16) | (size_t{msg[8]} << 8) | msg[9];
  h->xid = static_cast<uint16_t>((msg[10] << 8) | msg[11]);
  const size_t lang_len = (size_t{msg[12]} << 8) | msg[13];
  if (lang_len > len - kFixedHeader) return false;
  const char* lang = reinterpret_cast<const char*>(msg + kFixedHeader);
  if (std::memchr(lang, '\0', lang_len) != nullptr) return false;
  h->lang.assign(lang, lang_len);
  const size_t start = kFixedHeader + lang_len;
  size_t end = len;
  if (ext != 0) {
    if (ext < start || ext >= len) return false;
    end = ext;
  }
  *body = msg + start;
  *body_len = end - start;
  return true;
}

bool Decode(const uint8_t* body, size_t len, SrvRqst* m) {
  Reader r(body, len);
  return r.Str(&m->pr_list) && r.Str(&m->service_type) && r.Str(&m->scope_list) && r.Str(&m->predicate) &&
         r.Str(&m->spi);
}

bool Decode(const uint8_t* body, size_t len, SrvRply* m) {
  Reader r(body, len);
  unsigned error, count;
  if (!r.U16(&error) || !r.U16(&count)) return false;
  m->error = static_cast<uint16_t>(error);
  m->urls.clear();
  // A reply with an error may stop after the error code; count is then 0.
  for (unsigned i = 0; i < count; ++i) {
    unsigned reserved, lifetime;
    UrlEntry e;
    if (!r.U8(&reserved) || !r.U16(&lifetime) || !r.Str(&e.url) || !r.AuthBlocks()) return false;
    e.lifetime = static_cast<uint16_t>(lifetime);
    m->urls.push_back(std::move(e));
  }
  return true;
}

bool Decode(const uint8_t* body, size_t len, AttrRqst* m) {
  Reader r(body, len);
  return r.Str(&m->pr_list) && r.Str(&m->url) && r.Str(&m->scope_list) && r.Str(&m->tag_list) && r.Str(&m->spi);
}

bool Decode(const uint8_t* body, size_t len, AttrRply* m) {
  Reader r(body, len);
  unsigned error;
  if (!r.U16(&error)) return false;
  m->error = static_cast<uint16_t>(error);
  m->attr_list.clear();
  if (error != 0 && len == 2) return true;
  return r.Str(&m->attr_list) && r.AuthBlocks();
}

// ---------------------------------------------------------------------------------------------

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    std::string item = Trim(list.substr(start, comma - start));
    if (!item.empty()) items.push_back(std::move(item));
    start = comma + 1;
  }
  return items;
}

bool EqualFold(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool ScopesIntersect(const std::string& a, const std::string& b) {
  std::vector<std::string> sa = SplitList(a), sb = SplitList(b);
  if (sa.empty()) sa.push_back("DEFAULT");
  if (sb.empty()) sb.push_back("DEFAULT");
  for (const std::string& x : sa) {
    for (const std::string& y : sb) {
      if (EqualFold(x, y)) return true;
    }
  }
  return false;
}

bool ServiceTypeMatches(const std::string& requested, const std::string& registered) {
  const std::string req = StripServicePrefix(requested);
  const std::string reg = StripServicePrefix(registered);
  if (req.empty()) return false;
  if (EqualFold(req, reg)) return true;
  // An abstract type covers its concrete types: "a.b" matches "a.b:c".
  return req.find(':') == std::string::npos && reg.size() > req.size() && reg[req.size()] == ':' &&
         EqualFold(reg.substr(0, req.size()), req);
}

std::string ServiceTypeOfUrl(const std::string& url) {
  const size_t sep = url.find("://");
  return sep == std::string::npos ? url : url.substr(0, sep);
}

bool ParseAttributes(const std::string& list, std::vector<Attribute>* out) {
  out->clear();
  size_t i = 0;
  while (i < list.size()) {
    while (i < list.size() && (list[i] == ',' || std::isspace(static_cast<unsigned char>(list[i])))) ++i;
    if (i >= list.size()) break;
    Attribute a;
    if (list[i] == '(') {
      const size_t close = list.find(')', i);
      if (close == std::string::npos) return false;
      const std::string inner = list.substr(i + 1, close - i - 1);
      if (inner.find('(') != std::string::npos) return false;
      a.text = list.substr(i, close - i + 1);
      const size_t eq = inner.find('=');
      a.tag = Trim(inner.substr(0, eq));
      if (eq != std::string::npos) {
        const std::string values = inner.substr(eq + 1);
        size_t s = 0;
        while (s <= values.size()) {
          size_t c = values.find(',', s);
          if (c == std::string::npos) c = values.size();
          a.values.push_back(Trim(values.substr(s, c - s)));
          s = c + 1;
        }
      }
      i = close + 1;
    } else {
      size_t end = list.find(',', i);
      if (end == std::string::npos) end = list.size();
      a.text = Trim(list.substr(i, end - i));
      if (a.text.find_first_of("()") != std::string::npos) return false;
      a.tag = a.text;
      a.is_keyword = true;
      i = end;
    }
    if (a.tag.empty()) return false;
    out->push_back(std::move(a));
  }
  return true;
}

std::string FilterAttributes(const std::string& list, const std::string& tags) {
  const std::vector<std::string> wanted = SplitList(tags);
  if (wanted.empty()) return list;
  std::vector<Attribute> attrs;
  if (!ParseAttributes(list, &attrs)) return "";
  std::string out;
  for (const Attribute& a : attrs) {
    for (const std::string& w : wanted) {
      if (Glob(w, a.tag)) {
        if (!out.empty()) out += ',';
        out += a.text;
        break;
      }
    }
  }
  return out;
}

int FilterMatches(const std::string& filter, const std::string& attr_list) {
  if (Trim(filter).empty()) return 1;
  std::vector<Attribute> attrs;
  if (!ParseAttributes(attr_list, &attrs)) attrs.clear();
  return FilterEval(filter, attrs).Run();
}

}  // namespace slpwire
