/* MOF reader and writer for class declarations. */
#include "internal.h"

#include <cimxml/mof.h>

#include <cctype>
#include <fstream>
#include <sstream>

namespace cimxml {

using namespace detail;

MofError::MofError(const std::string &file, int line, const std::string &message)
    : Error(CMPI_RC_ERR_INVALID_PARAMETER, file + ":" + std::to_string(line) + ": " + message),
      file_(file),
      line_(line),
      detail_(message) {}

bool QualifierDecl::operator==(const QualifierDecl &o) const {
  if (!iequals(name, o.name) || type != o.type || is_array != o.is_array || array_size != o.array_size ||
      default_value != o.default_value || scopes.size() != o.scopes.size() || overridable != o.overridable ||
      tosubclass != o.tosubclass || translatable != o.translatable)
    return false;
  for (std::size_t i = 0; i < scopes.size(); ++i)
    if (!iequals(scopes[i], o.scopes[i])) return false;
  return true;
}

const ClassDecl *MofFile::find_class(const std::string &name) const {
  for (const auto &c : classes)
    if (iequals(c.name, name)) return &c;
  return nullptr;
}

namespace {

/* ------------------------------------------------------------------ lexer */

enum class Tok { End, Ident, String, Char, Int, Real, Alias, Punct };

struct Token {
  Tok kind = Tok::End;
  std::string text; /* identifier, string content, canonical decimal integer, real text, punctuation */
  int line = 1;
};

class Lexer {
 public:
  Lexer(const std::string &text, const std::string &file) : s_(text), file_(file) {}

  Token next() {
    skip_space();
    Token t;
    t.line = line_;
    if (i_ >= s_.size()) return t;
    char c = s_[i_];
    if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      std::size_t b = i_;
      while (i_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[i_])) || s_[i_] == '_')) ++i_;
      t.kind = Tok::Ident;
      t.text = s_.substr(b, i_ - b);
      return t;
    }
    if (c == '$') {
      std::size_t b = i_++;
      while (i_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[i_])) || s_[i_] == '_')) ++i_;
      t.kind = Tok::Alias;
      t.text = s_.substr(b, i_ - b);
      return t;
    }
    if (c == '"') return string_token(t);
    if (c == '\'') return char_token(t);
    if (std::isdigit(static_cast<unsigned char>(c)) ||
        ((c == '-' || c == '+' || c == '.') && i_ + 1 < s_.size() &&
         (std::isdigit(static_cast<unsigned char>(s_[i_ + 1])) || (s_[i_ + 1] == '.' && c != '.'))))
      return number_token(t);
    t.kind = Tok::Punct;
    t.text = std::string(1, c);
    ++i_;
    return t;
  }

  [[noreturn]] void error(int line, const std::string &msg) const { throw MofError(file_, line, msg); }

 private:
  void skip_space() {
    for (;;) {
      while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_]))) {
        if (s_[i_] == '\n') ++line_;
        ++i_;
      }
      if (i_ + 1 < s_.size() && s_[i_] == '/' && s_[i_ + 1] == '/') {
        while (i_ < s_.size() && s_[i_] != '\n') ++i_;
        continue;
      }
      if (i_ + 1 < s_.size() && s_[i_] == '/' && s_[i_ + 1] == '*') {
        int start = line_;
        i_ += 2;
        while (i_ + 1 < s_.size() && !(s_[i_] == '*' && s_[i_ + 1] == '/')) {
          if (s_[i_] == '\n') ++line_;
          ++i_;
        }
        if (i_ + 1 >= s_.size()) error(start, "unterminated comment");
        i_ += 2;
        continue;
      }
      break;
    }
  }

  /* One escape after a backslash; appends the character. */
  void escape(std::string &out) {
    if (i_ >= s_.size()) return;
    char e = s_[i_++];
    switch (e) {
      case 'b': out += '\b'; break;
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'f': out += '\f'; break;
      case 'r': out += '\r'; break;
      case 'x':
      case 'X': {
        unsigned v = 0;
        int n = 0;
        while (n < 4 && i_ < s_.size() && std::isxdigit(static_cast<unsigned char>(s_[i_]))) {
          char h = s_[i_++];
          v = v * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(h)) ? h - '0' : (std::tolower(h) - 'a' + 10));
          ++n;
        }
        if (n == 0) {
          out += e;
          break;
        }
        if (v == 0) error(line_, "\\x0 is not a valid character");
        append_cp(out, v);
        break;
      }
      default:
        /* \" \' \\ and, leniently, any other character stand for themselves. */
        if (e == '\n') ++line_;
        out += e;
    }
  }

  static void append_cp(std::string &out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  Token string_token(Token &t) {
    t.kind = Tok::String;
    ++i_;
    for (;;) {
      if (i_ >= s_.size()) error(t.line, "unterminated string");
      char c = s_[i_++];
      if (c == '"') break;
      if (c == '\\') {
        escape(t.text);
        continue;
      }
      if (c == '\n') ++line_; /* raw line breaks are tolerated */
      t.text += c;
    }
    return t;
  }

  Token char_token(Token &t) {
    t.kind = Tok::Char;
    ++i_;
    if (i_ < s_.size() && s_[i_] == '\\') {
      ++i_;
      escape(t.text);
    } else {
      /* One UTF-8 character. */
      while (i_ < s_.size() && s_[i_] != '\'' && s_[i_] != '\n') t.text += s_[i_++];
    }
    if (i_ >= s_.size() || s_[i_] != '\'') error(t.line, "unterminated character constant");
    ++i_;
    return t;
  }

  Token number_token(Token &t) {
    std::size_t b = i_;
    if (s_[i_] == '-' || s_[i_] == '+') ++i_;
    while (i_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[i_])) || s_[i_] == '.' ||
                              ((s_[i_] == '+' || s_[i_] == '-') && (s_[i_ - 1] == 'e' || s_[i_ - 1] == 'E') &&
                               s_.compare(b, 2, "0x") != 0 && s_.compare(b + 1, 2, "0x") != 0)))
      ++i_;
    std::string raw = s_.substr(b, i_ - b);
    bool neg = raw[0] == '-';
    std::string body = raw[0] == '-' || raw[0] == '+' ? raw.substr(1) : raw;
    auto bad = [&]() -> Token { error(t.line, "invalid number \"" + raw + "\""); };
    if (body.empty()) return bad();
    bool real = body.find('.') != std::string::npos ||
                (body.find_first_of("eE") != std::string::npos && body.compare(0, 2, "0x") != 0 &&
                 body.compare(0, 2, "0X") != 0);
    if (real) {
      for (char c : body)
        if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-'))
          return bad();
      t.kind = Tok::Real;
      t.text = raw;
      return t;
    }
    unsigned long long mag = 0;
    unsigned base = 10;
    std::string digits = body;
    if (body.size() > 2 && body[0] == '0' && (body[1] == 'x' || body[1] == 'X')) {
      base = 16;
      digits = body.substr(2);
    } else if (body.size() > 1 && (body.back() == 'b' || body.back() == 'B')) {
      base = 2;
      digits = body.substr(0, body.size() - 1);
    } else if (body.size() > 1 && body[0] == '0') {
      base = 8;
      digits = body.substr(1);
    }
    if (digits.empty()) return bad();
    for (char c : digits) {
      int d;
      if (std::isdigit(static_cast<unsigned char>(c))) d = c - '0';
      else if (std::isxdigit(static_cast<unsigned char>(c))) d = std::tolower(c) - 'a' + 10;
      else return bad();
      if (static_cast<unsigned>(d) >= base) return bad();
      if (mag > (~0ULL - static_cast<unsigned>(d)) / base) error(t.line, "number out of range \"" + raw + "\"");
      mag = mag * base + static_cast<unsigned>(d);
    }
    t.kind = Tok::Int;
    t.text = (neg && mag != 0 ? "-" : "") + std::to_string(mag);
    return t;
  }

  const std::string &s_;
  const std::string &file_;
  std::size_t i_ = 0;
  int line_ = 1;
};

/* ----------------------------------------------------------------- parser */

struct Constant {
  enum Kind { Str, Chr, Int, Real, Bool, Null, Alias } kind = Null;
  std::string text;
  int line = 0;
};

struct Init {
  bool present = false;
  bool array = false;
  std::vector<Constant> items;
  int line = 0;
};

bool is_flavor(const std::string &s) {
  static const char *const kFlavors[] = {"EnableOverride", "DisableOverride", "Restricted",
                                         "ToSubclass",     "Translatable",    "ToInstance"};
  for (const char *f : kFlavors)
    if (iequals(s, f)) return true;
  return false;
}

class Parser {
 public:
  Parser(const std::string &text, const std::string &file, const MofOptions &opts, MofFile &out, int depth)
      : lex_(text, file), file_(file), opts_(opts), out_(out), depth_(depth) {
    advance();
  }

  void run() {
    while (tok_.kind != Tok::End) {
      if (punct("#")) {
        pragma();
        continue;
      }
      if (tok_.kind == Tok::Ident && iequals(tok_.text, "Qualifier")) {
        qualifier_decl();
        continue;
      }
      QualifierList quals;
      int qline = tok_.line;
      if (punct("[")) quals = qualifier_list();
      if (tok_.kind == Tok::Ident && iequals(tok_.text, "class")) {
        class_decl(std::move(quals));
      } else if (tok_.kind == Tok::Ident && iequals(tok_.text, "instance")) {
        instance_decl();
      } else {
        error(tok_.line == 0 ? qline : tok_.line, "expected a class declaration, found " + describe());
      }
    }
  }

 private:
  /* -------- token helpers */
  void advance() { tok_ = lex_.next(); }
  bool punct(const char *p) const { return tok_.kind == Tok::Punct && tok_.text == p; }
  bool keyword(const char *k) const { return tok_.kind == Tok::Ident && iequals(tok_.text, k); }
  std::string describe() const {
    switch (tok_.kind) {
      case Tok::End: return "end of file";
      case Tok::String: return "string \"" + tok_.text.substr(0, 32) + "\"";
      case Tok::Punct: return "'" + tok_.text + "'";
      default: return "\"" + tok_.text + "\"";
    }
  }
  [[noreturn]] void error(int line, const std::string &msg) const { throw MofError(file_, line, msg); }
  void expect(const char *p) {
    if (!punct(p)) error(tok_.line, std::string("expected '") + p + "', found " + describe());
    advance();
  }
  std::string ident(const char *what) {
    if (tok_.kind != Tok::Ident) error(tok_.line, std::string("expected ") + what + ", found " + describe());
    std::string s = tok_.text;
    advance();
    return s;
  }
  /* Adjacent string literals concatenate. */
  std::string string_literal(const char *what) {
    if (tok_.kind != Tok::String) error(tok_.line, std::string("expected ") + what + ", found " + describe());
    std::string s;
    while (tok_.kind == Tok::String) {
      s += tok_.text;
      advance();
    }
    return s;
  }

  /* -------- constants */
  Constant constant() {
    Constant c;
    c.line = tok_.line;
    switch (tok_.kind) {
      case Tok::String:
        c.kind = Constant::Str;
        c.text = string_literal("a value");
        return c;
      case Tok::Char: c.kind = Constant::Chr; break;
      case Tok::Int: c.kind = Constant::Int; break;
      case Tok::Real: c.kind = Constant::Real; break;
      case Tok::Alias: c.kind = Constant::Alias; break;
      case Tok::Ident:
        if (iequals(tok_.text, "TRUE") || iequals(tok_.text, "FALSE")) {
          c.kind = Constant::Bool;
          c.text = iequals(tok_.text, "TRUE") ? "TRUE" : "FALSE";
          advance();
          return c;
        }
        if (iequals(tok_.text, "NULL")) {
          c.kind = Constant::Null;
          advance();
          return c;
        }
        error(tok_.line, "expected a value, found " + describe());
      default:
        error(tok_.line, "expected a value, found " + describe());
    }
    c.text = tok_.text;
    advance();
    return c;
  }

  Init initializer() {
    Init in;
    in.present = true;
    in.line = tok_.line;
    if (punct("{")) {
      in.array = true;
      advance();
      if (!punct("}")) {
        for (;;) {
          in.items.push_back(constant());
          if (punct(",")) {
            advance();
            continue;
          }
          break;
        }
      }
      expect("}");
    } else {
      in.items.push_back(constant());
    }
    return in;
  }

  static CimType infer(const Constant &c) {
    switch (c.kind) {
      case Constant::Str: return CimType::String;
      case Constant::Chr: return CimType::Char16;
      case Constant::Int: return CimType::Sint64;
      case Constant::Real: return CimType::Real64;
      case Constant::Bool: return CimType::Boolean;
      case Constant::Alias: return CimType::Reference;
      default: return CimType::String;
    }
  }

  /* Canonical text of a constant as a value of type t. */
  std::string typed_text(const Constant &c, CimType t, const std::string &what) {
    auto mismatch = [&]() -> std::string {
      error(c.line, what + ": a " + std::string(type_name(t)) + " value is expected");
    };
    try {
      switch (t) {
        case CimType::String:
        case CimType::Instance:
          if (c.kind != Constant::Str) return mismatch();
          return c.text;
        case CimType::Char16:
          if (c.kind != Constant::Chr && c.kind != Constant::Str) return mismatch();
          {
            Value v = value_from_text(c.text, t, what);
            return scalar_to_text(v.data());
          }
        case CimType::Boolean:
          if (c.kind != Constant::Bool) return mismatch();
          return c.text;
        case CimType::DateTime: {
          if (c.kind != Constant::Str) return mismatch();
          CMPIUint64 usec;
          bool interval;
          if (!cmpinative::datetime_from_text(c.text.c_str(), &usec, &interval))
            error(c.line, what + ": invalid datetime \"" + c.text + "\"");
          return c.text;
        }
        case CimType::Reference:
          if (c.kind != Constant::Str && c.kind != Constant::Alias) return mismatch();
          return c.text;
        case CimType::Real32:
        case CimType::Real64:
          if (c.kind != Constant::Int && c.kind != Constant::Real) return mismatch();
          {
            Value v = value_from_text(c.text, t, what);
            return scalar_to_text(v.data());
          }
        default:
          if (c.kind != Constant::Int) return mismatch();
          {
            Value v = value_from_text(c.text, t, what);
            return scalar_to_text(v.data());
          }
      }
    } catch (const MofError &) {
      throw;
    } catch (const Error &e) {
      error(c.line, e.what());
    }
  }

  Literal literal(const Init &in, CimType t, bool array, const std::string &what) {
    if (!in.present) return Literal::null_value(array);
    if (!in.array && in.items.size() == 1 && in.items[0].kind == Constant::Null) return Literal::null_value(array);
    if (in.array && !array) error(in.line, what + ": an array value for a single-valued element");
    std::vector<std::string> items;
    for (const auto &c : in.items) {
      if (c.kind == Constant::Null) error(c.line, what + ": NULL inside an array value");
      items.push_back(typed_text(c, t, what));
    }
    if (array) return Literal::list(std::move(items));
    return Literal::scalar(items.at(0));
  }

  /* -------- qualifiers */
  const QualifierDecl *declared(const std::string &name) const {
    for (const auto &d : out_.qualifier_decls)
      if (iequals(d.name, name)) return &d;
    for (const auto &d : opts_.qualifier_types)
      if (iequals(d.name, name)) return &d;
    return nullptr;
  }

  Qualifier qualifier() {
    Qualifier q;
    int line = tok_.line;
    q.name = ident("a qualifier name");
    Init in;
    if (punct("(")) {
      advance();
      if (punct(")")) {
        in.present = true; /* "Name()" holds NULL */
        Constant nul;
        nul.kind = Constant::Null;
        nul.line = line;
        in.items.push_back(nul);
      } else {
        in = initializer();
      }
      expect(")");
    } else if (punct("{")) {
      in = initializer();
    }
    bool known = false;
    if (const QualifierDecl *d = declared(q.name)) {
      q.type = d->type;
      q.is_array = d->is_array;
      q.overridable = d->overridable;
      q.tosubclass = d->tosubclass;
      q.translatable = d->translatable;
      known = true;
    } else if (const QualifierInfo *s = standard_qualifier(q.name)) {
      q.name = s->name;
      q.type = s->type;
      q.is_array = s->is_array;
      q.overridable = s->overridable;
      q.tosubclass = s->tosubclass;
      q.translatable = s->translatable;
      known = true;
    }
    if (!known) {
      if (!in.present) {
        q.type = CimType::Boolean;
      } else {
        q.is_array = in.array;
        q.type = CimType::String;
        bool any_real = false, first = true;
        for (const auto &c : in.items) {
          if (c.kind == Constant::Null) continue;
          CimType t = infer(c);
          if (t == CimType::Real64) any_real = true;
          if (first) q.type = t;
          first = false;
        }
        if (any_real && q.type == CimType::Sint64) q.type = CimType::Real64;
      }
    }
    std::string what = "qualifier " + q.name;
    if (!in.present) {
      if (q.type != CimType::Boolean) error(line, what + " needs a value");
      q.value = Literal::scalar("TRUE");
    } else if (q.is_array && !in.array) {
      /* A single value for an array qualifier. */
      Init as_array = in;
      as_array.array = true;
      if (in.items.size() == 1 && in.items[0].kind == Constant::Null) q.value = Literal::null_value(true);
      else q.value = literal(as_array, q.type, true, what);
    } else {
      q.value = literal(in, q.type, q.is_array, what);
    }
    if (punct(":")) {
      advance();
      if (tok_.kind != Tok::Ident || !is_flavor(tok_.text)) error(tok_.line, what + ": expected a flavor, found " + describe());
      while (tok_.kind == Tok::Ident && is_flavor(tok_.text)) {
        apply_flavor(tok_.text, &q.overridable, &q.tosubclass, &q.translatable);
        advance();
      }
    }
    return q;
  }

  static void apply_flavor(const std::string &f, bool *overridable, bool *tosubclass, bool *translatable) {
    if (iequals(f, "EnableOverride")) *overridable = true;
    else if (iequals(f, "DisableOverride")) *overridable = false;
    else if (iequals(f, "ToSubclass")) *tosubclass = true;
    else if (iequals(f, "Restricted")) *tosubclass = false;
    else if (iequals(f, "Translatable")) *translatable = true;
  }

  QualifierList qualifier_list() {
    QualifierList qs;
    expect("[");
    for (;;) {
      int line = tok_.line;
      Qualifier q = qualifier();
      if (find_qualifier(qs, q.name)) error(line, "qualifier " + q.name + " given twice");
      qs.push_back(std::move(q));
      if (punct(",")) {
        advance();
        continue;
      }
      break;
    }
    expect("]");
    return qs;
  }

  /* -------- pragmas and qualifier declarations */
  void pragma() {
    int line = tok_.line;
    expect("#");
    if (!keyword("pragma")) error(line, "expected #pragma, found " + describe());
    advance();
    Pragma p;
    p.name = ident("a pragma name");
    p.position = out_.classes.size();
    if (punct("(")) {
      advance();
      if (tok_.kind == Tok::String) p.value = string_literal("a pragma value");
      else if (!punct(")")) p.value = ident("a pragma value");
      expect(")");
    }
    if (iequals(p.name, "include") && opts_.include_loader) {
      if (depth_ >= opts_.max_include_depth) error(line, "includes nested too deeply");
      std::optional<std::string> text = opts_.include_loader(p.value);
      if (!text) error(line, "cannot read included file \"" + p.value + "\"");
      Parser inner(*text, p.value, opts_, out_, depth_ + 1);
      inner.run();
      return;
    }
    out_.pragmas.push_back(std::move(p));
  }

  CimType data_type(const std::string &name, int line) {
    CimType t;
    if (!type_from_name(name, &t) || t == CimType::Reference) error(line, "unknown data type \"" + name + "\"");
    return t;
  }

  void array_spec(bool *is_array, unsigned *size) {
    if (!punct("[")) return;
    advance();
    *is_array = true;
    if (tok_.kind == Tok::Int) {
      Value v;
      try {
        v = value_from_text(tok_.text, CimType::Uint32, "array size");
      } catch (const Error &e) {
        error(tok_.line, e.what());
      }
      *size = v.data().value.uint32;
      advance();
    }
    expect("]");
  }

  void qualifier_decl() {
    int line = tok_.line;
    advance(); /* Qualifier */
    QualifierDecl d;
    d.name = ident("a qualifier name");
    expect(":");
    d.type = data_type(ident("a data type"), tok_.line);
    array_spec(&d.is_array, &d.array_size);
    if (punct("=")) {
      advance();
      Init in = initializer();
      d.default_value = literal(in, d.type, d.is_array, "qualifier " + d.name);
    } else {
      d.default_value = Literal::null_value(d.is_array);
    }
    if (const QualifierInfo *s = standard_qualifier(d.name)) {
      d.overridable = s->overridable;
      d.tosubclass = s->tosubclass;
      d.translatable = s->translatable;
    }
    while (punct(",")) {
      advance();
      std::string what = ident("Scope or Flavor");
      expect("(");
      bool scope = iequals(what, "Scope");
      if (!scope && !iequals(what, "Flavor") && !iequals(what, "Flavors"))
        error(line, "expected Scope or Flavor in declaration of qualifier " + d.name);
      if (scope) d.scopes.clear();
      for (;;) {
        std::string item = ident(scope ? "a scope" : "a flavor");
        if (scope) d.scopes.push_back(item);
        else if (is_flavor(item)) apply_flavor(item, &d.overridable, &d.tosubclass, &d.translatable);
        else error(line, "unknown flavor \"" + item + "\"");
        if (punct(",")) {
          advance();
          continue;
        }
        break;
      }
      expect(")");
    }
    expect(";");
    for (auto &old : out_.qualifier_decls) {
      if (iequals(old.name, d.name)) {
        old = d;
        return;
      }
    }
    out_.qualifier_decls.push_back(std::move(d));
  }

  /* -------- instances */
  void instance_decl() {
    InstanceDecl d;
    d.line = tok_.line;
    for (auto p = out_.pragmas.rbegin(); p != out_.pragmas.rend(); ++p)
      if (iequals(p->name, "namespace")) {
        d.name_space = p->value;
        break;
      }
    advance(); /* instance */
    if (!keyword("of")) error(d.line, "expected 'of' after 'instance'");
    advance();
    d.class_name = ident("a class name");
    if (keyword("as")) {
      advance();
      if (tok_.kind != Tok::Alias) error(tok_.line, "expected an alias after 'as'");
      d.alias = tok_.text;
      advance();
    }
    expect("{");
    while (!punct("}")) {
      if (tok_.kind == Tok::End) error(d.line, "unterminated instance declaration");
      if (punct("[")) qualifier_list();
      InstanceDecl::Property p;
      p.line = tok_.line;
      p.name = ident("a property name");
      expect("=");
      const Init in = initializer();
      p.array = in.array;
      for (const Constant &c : in.items) p.items.push_back(MofConstant{mof_kind(c.kind), c.text});
      expect(";");
      d.properties.push_back(std::move(p));
    }
    advance();
    expect(";");
    out_.instances.push_back(std::move(d));
  }

  static MofConstant::Kind mof_kind(Constant::Kind k) {
    switch (k) {
      case Constant::Str: return MofConstant::String;
      case Constant::Chr: return MofConstant::Char;
      case Constant::Int: return MofConstant::Integer;
      case Constant::Real: return MofConstant::Real;
      case Constant::Bool: return MofConstant::Boolean;
      case Constant::Alias: return MofConstant::Alias;
      case Constant::Null: break;
    }
    return MofConstant::Null;
  }

  /* -------- classes */
  void class_decl(QualifierList quals) {
    int line = tok_.line;
    advance(); /* class */
    ClassDecl c;
    c.name = ident("a class name");
    c.qualifiers = std::move(quals);
    if (keyword("as")) {
      advance();
      if (tok_.kind != Tok::Alias) error(tok_.line, "expected an alias after 'as'");
      advance();
    }
    if (punct(":")) {
      advance();
      c.superclass = ident("a superclass name");
    }
    expect("{");
    while (!punct("}")) {
      if (tok_.kind == Tok::End) error(line, "class " + c.name + " is not closed");
      feature(c);
    }
    expect("}");
    expect(";");
    if (out_.find_class(c.name)) error(line, "class " + c.name + " is declared twice");
    out_.classes.push_back(std::move(c));
  }

  void feature(ClassDecl &c) {
    QualifierList quals;
    if (punct("[")) quals = qualifier_list();
    int line = tok_.line;
    std::string type = ident("a data type or class name");
    if (keyword("REF")) {
      advance();
      PropertyDecl p;
      p.type = CimType::Reference;
      p.reference_class = type;
      p.name = ident("a reference name");
      p.qualifiers = std::move(quals);
      if (punct("[")) error(tok_.line, "reference " + p.name + ": reference properties cannot be arrays");
      if (punct("=")) {
        advance();
        p.default_value = literal(initializer(), CimType::Reference, false, "reference " + p.name);
      }
      expect(";");
      add_property(c, std::move(p), line);
      return;
    }
    CimType t = data_type(type, line);
    std::string name = ident("a property or method name");
    if (punct("(")) {
      MethodDecl m;
      m.name = name;
      m.return_type = t;
      m.qualifiers = std::move(quals);
      advance();
      if (!punct(")")) {
        for (;;) {
          ParameterDecl p = parameter();
          if (m.parameter(p.name)) error(line, "method " + m.name + " has parameter " + p.name + " twice");
          m.parameters.push_back(std::move(p));
          if (punct(",")) {
            advance();
            continue;
          }
          break;
        }
      }
      expect(")");
      expect(";");
      if (c.method(m.name)) error(line, "class " + c.name + " declares method " + m.name + " twice");
      c.methods.push_back(std::move(m));
      return;
    }
    PropertyDecl p;
    p.name = name;
    p.type = t;
    p.qualifiers = std::move(quals);
    array_spec(&p.is_array, &p.array_size);
    if (punct("=")) {
      advance();
      p.default_value = literal(initializer(), t, p.is_array, "property " + p.name);
    } else {
      p.default_value = Literal::null_value(p.is_array);
    }
    expect(";");
    add_property(c, std::move(p), line);
  }

  void add_property(ClassDecl &c, PropertyDecl p, int line) {
    if (c.property(p.name)) error(line, "class " + c.name + " declares property " + p.name + " twice");
    if (p.default_value.null) p.default_value.array = p.is_array;
    c.properties.push_back(std::move(p));
  }

  ParameterDecl parameter() {
    ParameterDecl p;
    if (punct("[")) p.qualifiers = qualifier_list();
    int line = tok_.line;
    std::string type = ident("a parameter type");
    if (keyword("REF")) {
      advance();
      p.type = CimType::Reference;
      p.reference_class = type;
    } else {
      p.type = data_type(type, line);
    }
    p.name = ident("a parameter name");
    array_spec(&p.is_array, &p.array_size);
    if (punct("=")) {
      /* Parameter defaults are read and dropped. */
      advance();
      initializer();
    }
    return p;
  }

  Lexer lex_;
  Token tok_;
  std::string file_;
  const MofOptions &opts_;
  MofFile &out_;
  int depth_;
};

/* ----------------------------------------------------------------- writer */

void mof_string(std::string &out, const std::string &s) {
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%04X", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void mof_scalar(std::string &out, const std::string &text, CimType t) {
  switch (t) {
    case CimType::String:
    case CimType::Instance:
    case CimType::DateTime:
      mof_string(out, text);
      break;
    case CimType::Reference:
      if (!text.empty() && text[0] == '$') out += text;
      else mof_string(out, text);
      break;
    case CimType::Char16: {
      std::string q;
      mof_string(q, text);
      out += '\'';
      std::string body = q.substr(1, q.size() - 2);
      if (body == "'") body = "\\'";
      out += body;
      out += '\'';
      break;
    }
    case CimType::Real32:
    case CimType::Real64:
      if (text == "NaN" || text == "INF" || text == "-INF") {
        /* MOF has no literal for these; they cannot be written. */
        throw Error(CMPI_RC_ERR_INVALID_PARAMETER, "real value " + text + " has no MOF form");
      }
      out += text;
      break;
    default:
      out += text;
  }
}

void mof_literal(std::string &out, const Literal &v, CimType t) {
  if (v.null) {
    out += "NULL";
    return;
  }
  if (v.array) {
    out += '{';
    for (std::size_t i = 0; i < v.items.size(); ++i) {
      if (i) out += ", ";
      mof_scalar(out, v.items[i], t);
    }
    out += '}';
    return;
  }
  mof_scalar(out, v.items.empty() ? std::string() : v.items[0], t);
}

struct FlavorDefaults {
  bool overridable = true, tosubclass = true, translatable = false;
};

class Writer {
 public:
  explicit Writer(const std::vector<QualifierDecl> *decls) : decls_(decls) {}

  void qualifiers(std::string &out, const QualifierList &qs, const char *indent, bool newline) {
    std::vector<std::string> parts;
    std::size_t total = 0;
    for (const auto &q : qs) {
      if (q.propagated) continue;
      std::string one;
      qualifier(one, q);
      total += one.size() + 2;
      parts.push_back(std::move(one));
    }
    if (parts.empty()) return;
    /* Long lists get one qualifier per line. */
    std::string sep = newline && total > 100 ? ",\n" + std::string(indent) + " " : ", ";
    out += std::string(indent) + "[";
    for (std::size_t i = 0; i < parts.size(); ++i) {
      if (i) out += sep;
      out += parts[i];
    }
    out += newline ? "]\n" : "] ";
  }

  void qualifier(std::string &out, const Qualifier &q) {
    out += q.name;
    bool plain_true = q.type == CimType::Boolean && !q.is_array && !q.value.null && !q.value.items.empty() &&
                      q.value.items[0] == "TRUE";
    if (!plain_true) {
      if (q.is_array && !q.value.null) {
        mof_literal(out, q.value, q.type);
      } else {
        out += '(';
        mof_literal(out, q.value, q.type);
        out += ')';
      }
    }
    FlavorDefaults d = defaults(q.name);
    std::string fl;
    if (q.overridable != d.overridable) fl += q.overridable ? " EnableOverride" : " DisableOverride";
    if (q.tosubclass != d.tosubclass) fl += q.tosubclass ? " ToSubclass" : " Restricted";
    if (q.translatable && !d.translatable) fl += " Translatable";
    if (!fl.empty()) out += " :" + fl;
  }

  void cls(std::string &out, const ClassDecl &c) {
    qualifiers(out, c.qualifiers, "", true);
    out += "class " + c.name;
    if (!c.superclass.empty()) out += " : " + c.superclass;
    out += " {\n";
    bool first = true;
    for (const auto &p : c.properties) {
      if (p.propagated) continue;
      if (!first) out += '\n';
      first = false;
      qualifiers(out, p.qualifiers, "    ", true);
      out += "  ";
      if (p.type == CimType::Reference) {
        out += p.reference_class + " REF " + p.name;
      } else {
        out += std::string(type_name(p.type)) + " " + p.name;
        if (p.is_array) out += p.array_size ? "[" + std::to_string(p.array_size) + "]" : "[]";
      }
      if (!p.default_value.null) {
        out += " = ";
        mof_literal(out, p.default_value, p.type);
      }
      out += ";\n";
    }
    for (const auto &m : c.methods) {
      if (m.propagated) continue;
      if (!first) out += '\n';
      first = false;
      qualifiers(out, m.qualifiers, "    ", true);
      out += "  " + std::string(type_name(m.return_type)) + " " + m.name + "(";
      for (std::size_t i = 0; i < m.parameters.size(); ++i) {
        const ParameterDecl &p = m.parameters[i];
        out += i ? ",\n      " : "\n      ";
        qualifiers(out, p.qualifiers, "", false);
        if (p.type == CimType::Reference) out += p.reference_class + " REF " + p.name;
        else out += std::string(type_name(p.type)) + " " + p.name;
        if (p.is_array) out += p.array_size ? "[" + std::to_string(p.array_size) + "]" : "[]";
      }
      out += ");\n";
    }
    out += "};\n";
  }

  void decl(std::string &out, const QualifierDecl &d) {
    out += "Qualifier " + d.name + " : " + type_name(d.type);
    if (d.is_array) out += d.array_size ? "[" + std::to_string(d.array_size) + "]" : "[]";
    if (!d.default_value.null) {
      out += " = ";
      mof_literal(out, d.default_value, d.type);
    }
    if (!d.scopes.empty()) {
      out += ",\n    Scope(";
      for (std::size_t i = 0; i < d.scopes.size(); ++i) out += (i ? ", " : "") + d.scopes[i];
      out += ')';
    }
    out += ",\n    Flavor(";
    out += d.overridable ? "EnableOverride" : "DisableOverride";
    out += d.tosubclass ? ", ToSubclass" : ", Restricted";
    if (d.translatable) out += ", Translatable";
    out += ");\n";
  }

 private:
  FlavorDefaults defaults(const std::string &name) const {
    FlavorDefaults f;
    if (decls_) {
      for (const auto &d : *decls_) {
        if (iequals(d.name, name)) {
          f.overridable = d.overridable;
          f.tosubclass = d.tosubclass;
          f.translatable = d.translatable;
          return f;
        }
      }
    }
    if (const QualifierInfo *s = standard_qualifier(name)) {
      f.overridable = s->overridable;
      f.tosubclass = s->tosubclass;
      f.translatable = s->translatable;
    }
    return f;
  }
  const std::vector<QualifierDecl> *decls_;
};

void write_pragma(std::string &out, const Pragma &p) {
  out += "#pragma " + p.name + "(";
  mof_string(out, p.value);
  out += ")\n";
}

}  // namespace

MofFile parse_mof(const std::string &text, const std::string &file_name, const MofOptions &options) {
  MofFile out;
  Parser p(text, file_name, options, out, 0);
  p.run();
  return out;
}

MofFile parse_mof_file(const std::string &path, MofOptions options) {
  auto read = [](const std::string &p) -> std::optional<std::string> {
    std::ifstream in(p, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
  };
  std::optional<std::string> text = read(path);
  if (!text) throw Error(CMPI_RC_ERR_FAILED, "cannot read MOF file " + path);
  if (!options.include_loader) {
    std::string dir;
    std::size_t slash = path.rfind('/');
    if (slash != std::string::npos) dir = path.substr(0, slash + 1);
    options.include_loader = [dir, read](const std::string &name) -> std::optional<std::string> {
      if (!name.empty() && name[0] == '/') return read(name);
      return read(dir + name);
    };
  }
  return parse_mof(*text, path, options);
}

std::string write_mof(const MofFile &mof) {
  std::string out;
  Writer w(&mof.qualifier_decls);
  std::size_t pi = 0;
  auto pragmas_up_to = [&](std::size_t pos) {
    while (pi < mof.pragmas.size() && mof.pragmas[pi].position <= pos) {
      write_pragma(out, mof.pragmas[pi]);
      ++pi;
    }
  };
  pragmas_up_to(0);
  for (const auto &d : mof.qualifier_decls) {
    w.decl(out, d);
    out += '\n';
  }
  for (std::size_t i = 0; i < mof.classes.size(); ++i) {
    pragmas_up_to(i);
    if (!out.empty() && out.back() != '\n') out += '\n';
    if (i || !out.empty()) out += '\n';
    w.cls(out, mof.classes[i]);
  }
  pragmas_up_to(static_cast<std::size_t>(-1));
  return out;
}

std::string write_class_mof(const ClassDecl &cls) {
  std::string out;
  Writer w(nullptr);
  w.cls(out, cls);
  return out;
}

}  // namespace cimxml
