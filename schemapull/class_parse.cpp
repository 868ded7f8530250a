// The class converter of schemapull: one GetClass answer of the controller's CIMOM (CIM-XML) to a
// MOF class declaration and a provider registration entry for QelvoTPP, appended to the staging
// files of the class's namespace under /tmp/tpp/stage_tmp/.
//
// The answer is cut into tags by a small scanner that knows only what a class declaration holds;
// it never looks outside the answer and gives up on a tag that does not end. The MOF text of a
// class is made whole in memory first: a class that cannot be written (an attribute longer than
// SP_ATTR_MAX, a name or type that is not a plain name, a value that is not a constant of its
// type, an answer without the class asked for) is refused and nothing of it reaches the files.
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "native.h"
#include "schemapull.h"
#include "tavik_log.h"

namespace {

// One tag of the answer: its element name ("/NAME" for an end tag), the attributes a class
// declaration uses, and the text up to the next tag.
struct Tag {
  std::string name;
  bool closed = false;  // <NAME ... />
  std::string attr_name, attr_type, attr_refclass, attr_super;
  bool has_name = false, has_type = false, has_refclass = false, has_super = false;
  size_t text_begin = 0, text_end = 0;
};

bool IEquals(const std::string &a, const char *b) { return strcasecmp(a.c_str(), b) == 0; }

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Position of needle in s[from, len), or len.
size_t Find(const char *s, size_t len, size_t from, const char *needle) {
  const size_t n = std::strlen(needle);
  for (size_t i = from; i + n <= len; ++i)
    if (std::memcmp(s + i, needle, n) == 0) return i;
  return len;
}

// Cuts the answer into tags. False when a tag does not end within the answer.
bool Scan(const char *s, size_t len, std::vector<Tag> &tags) {
  size_t i = 0;
  while (i < len && s[i] != '<') ++i;
  while (i < len) {
    // s[i] == '<'
    if (i + 1 < len && (s[i + 1] == '?' || s[i + 1] == '!')) {
      const char *end = s[i + 1] == '?' ? "?>" : (i + 3 < len && s[i + 2] == '-' && s[i + 3] == '-') ? "-->" : ">";
      if (i + 8 < len && std::memcmp(s + i, "<![CDATA[", 9) == 0) end = "]]>";
      const size_t e = Find(s, len, i + 2, end);
      if (e >= len) return false;
      i = e + std::strlen(end);
      while (i < len && s[i] != '<') ++i;
      continue;
    }
    Tag t;
    size_t p = i + 1;
    const size_t name_start = p;
    while (p < len && !IsSpace(s[p]) && s[p] != '>' && !(s[p] == '/' && p > name_start)) ++p;
    t.name.assign(s + name_start, p - name_start);
    if (t.name.empty()) return false;
    // Attributes up to the tag's end.
    for (;;) {
      while (p < len && IsSpace(s[p])) ++p;
      if (p >= len) return false;
      if (s[p] == '>') {
        ++p;
        break;
      }
      if (s[p] == '/') {
        if (p + 1 >= len || s[p + 1] != '>') return false;
        t.closed = true;
        p += 2;
        break;
      }
      const size_t an = p;
      while (p < len && s[p] != '=' && !IsSpace(s[p]) && s[p] != '>' && s[p] != '/') ++p;
      const std::string attr(s + an, p - an);
      while (p < len && IsSpace(s[p])) ++p;
      if (p >= len || s[p] != '=' || attr.empty()) return false;
      ++p;
      while (p < len && IsSpace(s[p])) ++p;
      if (p >= len || (s[p] != '"' && s[p] != '\'')) return false;
      const char quote = s[p++];
      const size_t vb = p;
      while (p < len && s[p] != quote) ++p;
      if (p >= len) return false;
      const std::string value(s + vb, p - vb);
      ++p;
      if (IEquals(attr, "NAME")) t.attr_name = value, t.has_name = true;
      else if (IEquals(attr, "TYPE")) t.attr_type = value, t.has_type = true;
      else if (IEquals(attr, "REFERENCECLASS")) t.attr_refclass = value, t.has_refclass = true;
      else if (IEquals(attr, "SUPERCLASS")) t.attr_super = value, t.has_super = true;
    }
    t.text_begin = p;
    while (p < len && s[p] != '<') ++p;
    t.text_end = p;
    tags.push_back(std::move(t));
    i = p;
  }
  return true;
}

// Builds the MOF text of one class from its tags.
class MofWriter {
 public:
  MofWriter(const char *xml, const std::vector<Tag> &tags) : xml_(xml), tags_(tags) {}

  std::string out;
  bool association = false;
  const char *why = nullptr;

  bool Class(const char *class_name, const std::set<std::string> &associations) {
    out = std::string("// ") + class_name + "\n";
    for (const Tag &t : tags_)
      if (IEquals(t.name, "ERROR")) return Fail("the controller answered with an error");
    size_t i = 0;
    while (i < tags_.size() && !(IEquals(tags_[i].name, "CLASS") && tags_[i].has_name)) ++i;
    if (i == tags_.size()) return Fail("no class in the answer");
    const Tag &cls = tags_[i];
    if (strcasecmp(cls.attr_name.c_str(), class_name) != 0) return Fail("the answer holds another class");
    std::string super;
    if (cls.has_super && !Name(cls.attr_super, &super)) return false;
    if (!super.empty() && associations.count(Lower(super)) != 0) association = true;
    if (cls.closed) return Fail("the class element is empty");
    ++i;
    if (!Qualifiers(i, true, tags_.size())) return false;
    out += std::string("class ") + class_name;
    if (!super.empty()) out += " : " + super;
    out += " {\n";
    while (i < tags_.size() && !IEquals(tags_[i].name, "/CLASS")) {
      const Tag &t = tags_[i];
      if (IsOne(t, {"PROPERTY", "PROPERTY.ARRAY", "PROPERTY.REFERENCE"})) {
        if (!Property(i)) return false;
      } else if (IsOne(t, {"METHOD"})) {
        if (!Method(i)) return false;
      } else {
        ++i;
      }
    }
    if (i == tags_.size()) return Fail("the class does not end");
    out += "};\n\n";
    return true;
  }

 private:
  const char *xml_;
  const std::vector<Tag> &tags_;

  bool Fail(const char *reason) {
    why = reason;
    return false;
  }

  static std::string Lower(std::string s) {
    for (char &c : s)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
  }

  static bool IsOne(const Tag &t, std::initializer_list<const char *> names) {
    for (const char *n : names)
      if (IEquals(t.name, n)) return true;
    return false;
  }

  // An attribute value that becomes MOF text: a plain name of at most SP_ATTR_MAX characters.
  bool Name(const std::string &value, std::string *into) {
    if (value.size() > SP_ATTR_MAX) return Fail("an attribute value is longer than 49 characters");
    if (!sp_valid_class_name(value.c_str(), SP_ATTR_MAX)) return Fail("an attribute value is not a plain name");
    *into = value;
    return true;
  }

  // Index of the end tag of the element started at tags_[i] (i itself for <X/>), looked for
  // before `limit`, the end of the element that holds it; tags_.size() when it has none there.
  // An element that ends outside its holder is not one: were it taken, every member of a long
  // class could scan, and write out, the rest of the answer.
  size_t EndOf(size_t i, size_t limit) const {
    if (tags_[i].closed) return i;
    const std::string end = "/" + tags_[i].name;
    for (size_t j = i + 1; j < limit; ++j)
      if (strcasecmp(tags_[j].name.c_str(), end.c_str()) == 0) return j;
    return tags_.size();
  }

  // A VALUE's text as MOF: a string constant with its entities replaced (in double quotes when
  // string is set), else a plain constant. A quote is kept, escaped, so that a description reads
  // back as the controller has it.
  bool Value(const Tag &t, bool string, std::string &into) {
    std::string v;
    for (size_t p = t.text_begin; p < t.text_end; ++p) {
      const char c = xml_[p];
      if (c == '&') {
        static const struct {
          const char *entity;
          const char *text;
        } kEntities[] = {{"&gt;", ">"}, {"&lt;", "<"}, {"&amp;", "&"}, {"&apos;", "'"}, {"&quot;", "\""}};
        bool replaced = false;
        for (const auto &e : kEntities) {
          const size_t n = std::strlen(e.entity);
          if (p + n <= t.text_end && std::memcmp(xml_ + p, e.entity, n) == 0) {
            v += e.text;
            p += n - 1;
            replaced = true;
            break;
          }
        }
        if (!replaced) v += c;
      } else {
        v += c;
      }
    }
    if (!string) {
      if (v.empty()) return Fail("a value is empty");
      for (char c : v)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '+' ||
              c == '-'))
          return Fail("a value is not a constant of its type");
      into += v;
      return true;
    }
    // The MOF reader reads back exactly the value: its escapes are written as escapes.
    into += '"';
    for (char c : v) {
      switch (c) {
        case '\\': into += "\\\\"; break;
        case '"': into += "\\\""; break;
        case '\n': into += "\\n"; break;
        case '\r': into += "\\r"; break;
        case '\t': into += "\\t"; break;
        default:
          if (static_cast<unsigned char>(c) >= 0x20) into += c;
      }
    }
    into += '"';
    return true;
  }

  // One qualifier at tags_[i], ending before limit; i moves past it.
  bool Qualifier(size_t &i, bool class_level, size_t limit) {
    const Tag &q = tags_[i];
    std::string name, type;
    if (!q.has_name || !q.has_type) return Fail("a qualifier lacks its name or type");
    if (!Name(q.attr_name, &name) || !Name(q.attr_type, &type)) return false;
    if (class_level && strncasecmp(name.c_str(), "Association", 11) == 0) association = true;
    const bool string = strncasecmp(type.c_str(), "string", 6) == 0;
    out += name;
    const size_t end = EndOf(i, limit);
    if (end == tags_.size()) return Fail("a qualifier does not end");
    for (size_t j = i + 1; j < end; ++j) {
      if (IEquals(tags_[j].name, "VALUE.ARRAY")) {
        const size_t array_end = EndOf(j, end);
        if (array_end == tags_.size()) return Fail("a qualifier's array does not end");
        out += '{';
        bool first = true;
        for (size_t k = j + 1; k < array_end; ++k) {
          if (!IEquals(tags_[k].name, "VALUE")) continue;
          if (!first) out += ',';
          first = false;
          if (!Value(tags_[k], string, out)) return false;
        }
        out += '}';
        break;
      }
      if (IEquals(tags_[j].name, "VALUE")) {
        out += '(';
        if (!Value(tags_[j], string, out)) return false;
        out += ')';
        break;
      }
    }
    i = end + 1;
    return true;
  }

  // The qualifiers starting at tags_[i], each ending before limit, as a "[...]\n" list; i moves
  // past them.
  bool Qualifiers(size_t &i, bool class_level, size_t limit) {
    bool first = true;
    while (i < limit && IEquals(tags_[i].name, "QUALIFIER")) {
      out += first ? "[" : "";
      first = false;
      if (!Qualifier(i, class_level, limit)) return false;
      out += (i < limit && IEquals(tags_[i].name, "QUALIFIER")) ? ",\n" : "]\n";
    }
    return true;
  }

  // "TYPE NAME" or "CLASS REF NAME" of a property or parameter.
  bool Declaration(const Tag &t, bool reference, const char *array, std::string &into) {
    std::string name, type;
    if (!t.has_name || !(reference ? t.has_refclass : t.has_type)) return Fail("a member lacks its name or type");
    if (!Name(t.attr_name, &name) || !Name(reference ? t.attr_refclass : t.attr_type, &type)) return false;
    into += type + (reference ? " REF " : " ") + name + array;
    return true;
  }

  bool Property(size_t &i) {
    const Tag &t = tags_[i];
    const size_t end = EndOf(i, tags_.size());
    if (end == tags_.size()) return Fail("a property does not end");
    size_t j = i + 1;
    if (!t.closed && !Qualifiers(j, false, end)) return false;
    const bool reference = IEquals(t.name, "PROPERTY.REFERENCE");
    if (!Declaration(t, reference, IEquals(t.name, "PROPERTY.ARRAY") ? "[]" : "", out)) return false;
    out += ";\n\n";
    i = end + 1;  // default values are not written
    return true;
  }

  bool Method(size_t &i) {
    const Tag &t = tags_[i];
    const size_t end = EndOf(i, tags_.size());
    if (end == tags_.size()) return Fail("a method does not end");
    size_t j = i + 1;
    if (!t.closed && !Qualifiers(j, false, end)) return false;
    if (!Declaration(t, false, "", out)) return false;
    out += "(";
    bool first = true;
    while (j < end) {
      const Tag &p = tags_[j];
      const bool plain = IsOne(p, {"PARAMETER"}), array = IsOne(p, {"PARAMETER.ARRAY"});
      const bool ref = IsOne(p, {"PARAMETER.REFERENCE"}), refarray = IsOne(p, {"PARAMETER.REFARRAY"});
      if (!plain && !array && !ref && !refarray) {
        ++j;
        continue;
      }
      const size_t p_end = EndOf(j, end);
      if (p_end == tags_.size()) return Fail("a parameter does not end");
      if (!first) out += ",\n";
      first = false;
      size_t k = j + 1;
      if (!p.closed && !Qualifiers(k, false, p_end)) return false;
      if (!Declaration(p, ref || refarray, (array || refarray) ? "[]" : "", out)) return false;
      j = p_end + 1;
    }
    out += ");\n\n";
    i = end + 1;
    return true;
  }
};

// What the previous convert_to_mof call worked out for its namespace.
struct ConvertState {
  std::string name_space;  // controller namespace
  std::string host_ns;     // qelvo/tavik0/<last segment>
  std::string mof_file;
};
ConvertState convert_state;

// Lower-case names of the association classes seen in each namespace of the run, so that a
// subclass of one is one too (its Association qualifier comes from its superclass, and a
// LocalOnly answer leaves inherited qualifiers out).
std::vector<std::pair<std::string, std::set<std::string>>> associations_seen;
std::set<std::string> &AssociationsOf(const std::string &ns) {
  for (auto &e : associations_seen)
    if (strcasecmp(e.first.c_str(), ns.c_str()) == 0) return e.second;
  associations_seen.emplace_back(ns, std::set<std::string>());
  return associations_seen.back().second;
}

void SetFailed(CMPIStatus *status, const char *message) {
  tavik_log("convert_to_mof: %s", message);
  if (status == nullptr) return;
  status->rc = CMPI_RC_ERR_FAILED;
  status->msg = native_new_CMPIString(message, nullptr);
}

}  // namespace

int class_to_mof(const char *class_name, const char *xml, size_t len, char **mof, int *association, const char **why) {
  *mof = nullptr;
  *association = 0;
  *why = nullptr;
  std::vector<Tag> tags;
  if (!Scan(xml, len, tags)) {
    *why = "the answer is not well-formed";
    return -1;
  }
  MofWriter w(xml, tags);
  const std::set<std::string> &known = AssociationsOf(convert_state.name_space);
  if (!sp_valid_class_name(class_name, SP_NAME_MAX)) {
    *why = "the class name is not a plain name";
    return -1;
  }
  if (!w.Class(class_name, known)) {
    *why = w.why;
    return -1;
  }
  *mof = strdup(w.out.c_str());
  if (*mof == nullptr) {
    *why = "out of memory";
    return -1;
  }
  *association = w.association ? 1 : 0;
  return 0;
}

int write_mof_file(FILE *mof, const char *class_name, const char *xml, int *association) {
  char *text = nullptr;
  const char *why = nullptr;
  if (class_to_mof(class_name, xml, std::strlen(xml), &text, association, &why) != 0) return -1;
  const int rc = std::fputs(text, mof) < 0 ? -1 : 0;
  std::free(text);
  return rc;
}

int write_reg_file(FILE *reg, const char *host_ns, const char *class_name, int association) {
  const int n = std::fprintf(reg,
                             "[%s]\n   provider: QelvoTPP\n   location: bmcrelay\n   type: %sinstance method\n"
                             "   group: bmcrelay\n   namespace: %s\n",
                             class_name, association ? "association " : "", host_ns);
  return n < 0 ? -1 : 0;
}

int mkdir_p(const char *path) {
  const size_t len = std::strlen(path);
  std::string prefix;
  for (size_t i = 0; i < len; ++i) {
    prefix += path[i];
    if ((path[i] == '/' && i > 0) || i + 1 == len) {
      struct stat sb;
      if (stat(prefix.c_str(), &sb) == 0) continue;
      if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return -1;
    }
  }
  return 0;
}

void reset_convert_state(void) {
  convert_state = ConvertState();
  associations_seen.clear();
}

int convert_to_mof(const char *name_space, const char *class_name, const char *xml, CMPIStatus *status) {
  if (!sp_valid_namespace(name_space) || !sp_valid_class_name(class_name, SP_NAME_MAX)) {
    SetFailed(status, "Namespace or class name refused");
    return -1;
  }
  if (strcasecmp(convert_state.name_space.c_str(), name_space) != 0) {
    const char *slash = std::strrchr(name_space, '/');
    const std::string last = slash != nullptr ? slash + 1 : name_space;
    const std::string host_ns = "qelvo/tavik0/" + last;
    const std::string dir = std::string(SP_STAGE_TMP) + "/mofs/" + host_ns + "/";
    if (mkdir_p(dir.c_str()) != 0 || mkdir_p(SP_STAGE_TMP "regs") != 0) {
      SetFailed(status, "Create reposity failed");
      return -1;
    }
    convert_state.name_space = name_space;
    convert_state.host_ns = host_ns;
    convert_state.mof_file = dir + last + ".mof";
  }
  char *text = nullptr;
  int association = 0;
  const char *why = nullptr;
  if (class_to_mof(class_name, xml, std::strlen(xml), &text, &association, &why) != 0) {
    const std::string message = std::string("Class ") + class_name + " refused: " + why;
    SetFailed(status, message.c_str());
    return -1;
  }
  FILE *mof = std::fopen(convert_state.mof_file.c_str(), "a");
  if (mof == nullptr) {
    std::free(text);
    SetFailed(status, "Open mof file failed");
    return -1;
  }
  const bool mof_ok = std::fputs(text, mof) >= 0;
  std::free(text);
  if (std::fclose(mof) != 0 || !mof_ok) {
    SetFailed(status, "Write mof file failed");
    return -1;
  }
  if (association) {
    std::string lower = class_name;
    for (char &c : lower)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    AssociationsOf(name_space).insert(lower);
  }
  FILE *reg = std::fopen(SP_STAGE_TMP_REG, "a");
  if (reg == nullptr) {
    SetFailed(status, "Open reg file failed");
    return -1;
  }
  const bool reg_ok = write_reg_file(reg, convert_state.host_ns.c_str(), class_name, association) == 0;
  if (std::fclose(reg) != 0 || !reg_ok) {
    SetFailed(status, "Write reg file failed");
    return -1;
  }
  return 0;
}
