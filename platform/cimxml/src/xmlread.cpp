/*
 * The in-place reader of the common form of CIM-XML documents: what clients,
 * the CIMOM and its provider processes write. One pass over the text checks
 * it as XML 1.0 requires, decodes references and line ends where the text
 * stands and links the elements into nodes.
 *
 * The common form: an optional XML declaration (version 1.0, encoding UTF-8,
 * standalone) and one root element, with white space around it; element and
 * attribute names of ASCII letters, digits, "_", "-" and "." (no namespace
 * prefixes, no xmlns attributes); character data and attribute values in
 * UTF-8 with the predefined entities and character references; at most
 * kMaxDepth levels, 64 attributes to an element, names of 50000 bytes and
 * values of 10000000 bytes. Anything else (a byte order mark, a document
 * type, comments, processing instructions, CDATA sections, other encodings,
 * and every fault) is left to the full parser, which accepts or refuses it:
 * whatever this reader accepts, that parser accepts too and reads into the
 * same nodes.
 */
#include "internal.h"

namespace cimxml {
namespace detail {

namespace {

constexpr int kMaxDepth = 200;
constexpr std::uint32_t kMaxAttributes = 64;
constexpr std::size_t kMaxName = 50000;
constexpr std::size_t kMaxValue = 10000000;

/* Bytes that stand for themselves in character data: printable ASCII but
 * "<", "&", "]" (which may start "]]>") and CR (a line end to normalise),
 * and TAB and LF. */
struct Tables {
  bool text[256];
  bool value[256]; /* in attribute values: printable ASCII but "<", "&" and the quotes */
  bool name_start[256];
  bool name[256];
  Tables() : text(), value(), name_start(), name() {
    for (int c = 0x20; c < 0x80; ++c) text[c] = value[c] = true;
    set(text, "<&]", false);
    set(text, "\t\n", true);
    set(value, "<&\"'", false);
    for (int c = 'A'; c <= 'Z'; ++c) name_start[c] = name_start[c + 32] = true;
    set(name_start, "_", true);
    for (int c = 0; c < 256; ++c) name[c] = name_start[c];
    for (int c = '0'; c <= '9'; ++c) name[c] = true;
    set(name, "-.", true);
  }
  static void set(bool *table, const char *bytes, bool v) {
    for (; *bytes != '\0'; ++bytes) table[static_cast<unsigned char>(*bytes)] = v;
  }
};
const Tables kTables;

inline unsigned char byte(const char *p) { return static_cast<unsigned char>(*p); }

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

/* Characters XML 1.0 allows. */
bool xml_char(std::uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

/* The length of the well-formed UTF-8 sequence of an XML character at p, or
 * 0. The text ends with a NUL, which no continuation byte matches. */
std::size_t utf8_char(const char *p) {
  const unsigned char c = byte(p);
  std::size_t n;
  std::uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1Fu;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0Fu;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07u;
  } else {
    return 0;
  }
  for (std::size_t i = 1; i < n; ++i) {
    const unsigned char cc = byte(p + i);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3Fu);
  }
  static const std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  return cp >= kMin[n] && xml_char(cp) ? n : 0;
}

char *put_utf8(char *w, std::uint32_t c) {
  if (c < 0x80) {
    *w++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *w++ = static_cast<char>(0xC0 | (c >> 6));
    *w++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *w++ = static_cast<char>(0xE0 | (c >> 12));
    *w++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *w++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *w++ = static_cast<char>(0xF0 | (c >> 18));
    *w++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *w++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *w++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return w;
}

class Reader {
 public:
  Reader(char *text, std::size_t len, Arena &arena) : p_(text), end_(text + len), arena_(arena) {}

  Node *document(int *depth) {
    if (!declaration()) return nullptr;
    skip_space();
    Node *root = elements(depth);
    if (root == nullptr) return nullptr;
    skip_space();
    return p_ == end_ ? root : nullptr;
  }

 private:
  /* The scanning loops run on a local pointer: p_ is a member, which a
   * store through a char pointer could change, so a loop on it would load
   * and store it at every byte. */
  bool skip_space() {
    char *p = p_;
    while (is_space(*p)) ++p;
    const bool skipped = p != p_;
    p_ = p;
    return skipped;
  }

  /* A name: its start, its length in *len; null when there is none of the
   * common form here. */
  char *name(std::size_t *len) {
    if (!kTables.name_start[byte(p_)]) return nullptr;
    char *start = p_, *p = p_ + 1;
    while (kTables.name[byte(p)]) ++p;
    p_ = p;
    *len = static_cast<std::size_t>(p - start);
    return *len <= kMaxName ? start : nullptr;
  }

  bool literal(const char *s) {
    const std::size_t n = std::strlen(s);
    if (static_cast<std::size_t>(end_ - p_) < n || std::memcmp(p_, s, n) != 0) return false;
    p_ += n;
    return true;
  }

  /* A reference at p_ ("&"), decoded to w; the new end of w, or null. */
  char *reference(char *w) {
    static const struct {
      const char *name;
      char c;
    } kPredefined[] = {{"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
    if (p_[1] != '#') {
      for (const auto &e : kPredefined)
        if (literal(e.name)) {
          *w++ = e.c;
          return w;
        }
      return nullptr;
    }
    p_ += 2;
    const bool hex = *p_ == 'x';
    if (hex) ++p_;
    std::uint32_t c = 0;
    const char *digits = p_;
    for (;; ++p_) {
      unsigned d;
      if (*p_ >= '0' && *p_ <= '9') d = static_cast<unsigned>(*p_ - '0');
      else if (hex && *p_ >= 'a' && *p_ <= 'f') d = static_cast<unsigned>(*p_ - 'a' + 10);
      else if (hex && *p_ >= 'A' && *p_ <= 'F') d = static_cast<unsigned>(*p_ - 'A' + 10);
      else break;
      c = c * (hex ? 16 : 10) + d;
      if (c > 0x10FFFF) return nullptr;
    }
    if (p_ == digits || *p_ != ';' || !xml_char(c)) return nullptr;
    ++p_;
    return put_utf8(w, c);
  }

  /* Moves the bytes from p_ on that `plain` lets through down to w; the
   * end of what was written. */
  char *plain_run(char *w, const bool *plain) {
    char *run = p_, *p = p_;
    while (plain[byte(p)]) ++p;
    p_ = p;
    if (w != run) std::memmove(w, run, static_cast<std::size_t>(p - run));
    return w + (p - run);
  }

  /* Moves one well-formed UTF-8 character at p_ down to *w; false when
   * there is none there. */
  bool utf8_copy(char **w) {
    const std::size_t n = utf8_char(p_);
    if (n == 0) return false;
    std::memmove(*w, p_, n);
    *w += n;
    p_ += n;
    return true;
  }

  /* An attribute value after its opening quote, decoded in place and
   * terminated; its start, or null. */
  char *value(char quote) {
    char *start = p_, *w = p_;
    for (;;) {
      w = plain_run(w, kTables.value);
      const char c = *p_;
      if (c == quote) break;
      if (static_cast<std::size_t>(p_ - start) > kMaxValue) return nullptr;
      if (c == '"' || c == '\'') {
        *w++ = *p_++;
      } else if (c == '&') {
        if ((w = reference(w)) == nullptr) return nullptr;
      } else if (c == '\t' || c == '\n') {
        *w++ = ' ';
        ++p_;
      } else if (c == '\r') {
        *w++ = ' ';
        if (*++p_ == '\n') ++p_;
      } else if (!utf8_copy(&w)) {
        return nullptr; /* "<", a control character, the end of the text */
      }
    }
    if (static_cast<std::size_t>(p_ - start) > kMaxValue) return nullptr;
    ++p_; /* the quote */
    *w = '\0';
    return start;
  }

  /* Character data up to the next "<", decoded in place; its end (where
   * the caller may put a NUL), or null. */
  char *character_data() {
    char *w = p_;
    for (;;) {
      w = plain_run(w, kTables.text);
      const char c = *p_;
      if (c == '<') return w;
      if (c == '&') {
        if ((w = reference(w)) == nullptr) return nullptr;
      } else if (c == '\r') {
        *w++ = '\n';
        if (*++p_ == '\n') ++p_;
      } else if (c == ']') {
        if (p_[1] == ']' && p_[2] == '>') return nullptr;
        *w++ = *p_++;
      } else if (!utf8_copy(&w)) {
        return nullptr; /* a control character, the end of the text */
      }
    }
  }

  /* The XML declaration, if there is one: version 1.0, encoding UTF-8 and
   * standalone yes or no only. */
  bool declaration() {
    if (!literal("<?xml")) return true;
    if (!skip_space()) return false;
    bool first = true;
    for (const char *pseudo : {"version", "encoding", "standalone"}) {
      if (!literal(pseudo)) {
        if (first) return false; /* version comes first */
        continue;
      }
      skip_space();
      if (*p_ != '=') return false;
      ++p_;
      skip_space();
      const char quote = *p_;
      if (quote != '"' && quote != '\'') return false;
      const char *v = ++p_;
      while (*p_ != quote && *p_ != '\0' && *p_ != '<') ++p_;
      if (*p_ != quote) return false;
      const std::string text(v, static_cast<std::size_t>(p_ - v));
      ++p_;
      if (first && text != "1.0") return false;
      if (std::strcmp(pseudo, "encoding") == 0 && !iequals(text, "utf-8")) return false;
      if (std::strcmp(pseudo, "standalone") == 0 && text != "yes" && text != "no") return false;
      first = false;
      if (!skip_space()) break;
    }
    return literal("?>");
  }

  /* The root element and everything in it. */
  Node *elements(int *depth_out) {
    Node *root = nullptr, *cur = nullptr;
    int depth = 0;
    *depth_out = 1;
    for (;;) {
      /* At "<": a start tag or the end tag of `cur`. */
      if (*p_ != '<') return nullptr;
      ++p_;
      if (*p_ == '/') {
        ++p_;
        if (cur == nullptr || !end_tag(cur)) return nullptr;
        /* Past its end tag, the text of an element without children can
         * be terminated. */
        if (cur->child == nullptr && cur->text_len != 0) const_cast<char *>(cur->text)[cur->text_len] = '\0';
        cur = cur->parent;
        --depth;
      } else {
        Node *n = arena_.make<Node>();
        bool closed = false;
        if (!start_tag(n, &closed)) return nullptr;
        n->parent = cur;
        if (cur == nullptr) root = n;
        else append(cur, n);
        if (depth + 1 > kMaxDepth) return nullptr;
        if (depth + 1 > *depth_out) *depth_out = depth + 1;
        if (!closed) {
          cur = n;
          ++depth;
        }
      }
      if (cur == nullptr) return root;
      /* The character data of `cur` up to the next tag. */
      char *start = p_;
      char *end = character_data();
      if (end == nullptr || static_cast<std::size_t>(p_ - start) > kMaxValue) return nullptr;
      if (p_ != start) {
        cur->empty = false;
        /* Character data beside child elements is never read: text_of
         * refuses an element with children. */
        if (cur->child == nullptr) {
          cur->text = start;
          cur->text_len = static_cast<std::size_t>(end - start);
        }
      }
    }
  }

  void append(Node *parent, Node *n) {
    parent->empty = false;
    if (parent->child == nullptr) {
      parent->child = n;
      parent->text = "";
      parent->text_len = 0;
    } else {
      parent->last->next = n;
    }
    parent->last = n;
  }

  /* After "<": the name, the attributes and ">" or "/>". */
  bool start_tag(Node *n, bool *closed) {
    std::size_t len = 0;
    char *nm = name(&len);
    if (nm == nullptr) return false;
    Attr attrs[kMaxAttributes];
    std::uint32_t count = 0;
    char *ends[kMaxAttributes + 1];
    ends[0] = nm + len;
    for (;;) {
      const bool space = skip_space();
      if (*p_ == '>') {
        ++p_;
        break;
      }
      if (*p_ == '/' && p_[1] == '>') {
        p_ += 2;
        *closed = true;
        break;
      }
      if (!space || count == kMaxAttributes) return false;
      std::size_t alen = 0;
      char *an = name(&alen);
      if (an == nullptr || (alen == 5 && std::memcmp(an, "xmlns", 5) == 0)) return false;
      char *aend = p_;
      skip_space();
      if (*p_ != '=') return false;
      ++p_;
      skip_space();
      const char quote = *p_;
      if (quote != '"' && quote != '\'') return false;
      ++p_;
      char *v = value(quote);
      if (v == nullptr) return false;
      for (std::uint32_t i = 0; i < count; ++i)
        if (attrs[i].name_len == alen && std::memcmp(attrs[i].name, an, alen) == 0) return false; /* given twice */
      attrs[count].name = an;
      attrs[count].value = v;
      attrs[count].name_len = static_cast<std::uint32_t>(alen);
      ends[++count] = aend;
    }
    /* Every name ends where the tag no longer needs the byte after it. */
    for (std::uint32_t i = 0; i <= count; ++i) *ends[i] = '\0';
    n->name = nm;
    n->name_len = static_cast<std::uint32_t>(len);
    n->text = "";
    n->text_len = 0;
    n->parent = n->child = n->last = n->next = nullptr;
    n->empty = true;
    n->attr_count = count;
    Attr *stored = count != 0 ? arena_.make<Attr>(count) : nullptr;
    for (std::uint32_t i = 0; i < count; ++i) stored[i] = attrs[i];
    n->attrs = stored;
    return true;
  }

  /* After "</": the name of `cur`, white space and ">". */
  bool end_tag(const Node *cur) {
    const std::size_t len = cur->name_len;
    if (static_cast<std::size_t>(end_ - p_) < len || std::memcmp(p_, cur->name, len) != 0) return false;
    p_ += len;
    if (kTables.name[byte(p_)]) return false; /* a longer name */
    skip_space();
    if (*p_ != '>') return false;
    ++p_;
    return true;
  }

  char *p_;
  char *const end_;
  Arena &arena_;
};

}  // namespace

Node *read_common_form(char *text, std::size_t len, Arena &arena, int *depth) {
  Reader r(text, len, arena);
  return r.document(depth);
}

}  // namespace detail
}  // namespace cimxml
