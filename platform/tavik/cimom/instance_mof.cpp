// Reader of MOF instance declarations: a small lexer and a recursive-descent parser for the
// grammar described in instance_mof.h.
#include "instance_mof.h"

#include <cctype>

namespace tavikstore {

namespace {

enum class Tok { End, Ident, String, Number, Alias, Punct, Pragma };

struct Token {
  Tok kind = Tok::End;
  std::string text;
  int line = 1;
};

bool IsIdentStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsIdentChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

class Lexer {
 public:
  Lexer(const std::string& text, const std::string& file) : s_(text), file_(file) {}

  Token Next() {
    SkipSpace();
    Token t;
    t.line = line_;
    if (i_ >= s_.size()) return t;
    const char c = s_[i_];
    if (IsIdentStart(c) || c == '$' || c == '#') {
      const size_t b = i_++;
      while (i_ < s_.size() && IsIdentChar(s_[i_])) ++i_;
      t.text = s_.substr(b, i_ - b);
      t.kind = c == '$' ? Tok::Alias : c == '#' ? Tok::Pragma : Tok::Ident;
      if (t.text.size() < 2 && t.kind != Tok::Ident) Fail(t.line, "a lone '" + t.text + "'");
      return t;
    }
    if (c == '"') {
      t.kind = Tok::String;
      t.text = StringBody();
      return t;
    }
    if (std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '+' || c == '.') {
      const size_t b = i_++;
      while (i_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[i_])) || s_[i_] == '.' ||
                                ((s_[i_] == '-' || s_[i_] == '+') && (s_[i_ - 1] == 'e' || s_[i_ - 1] == 'E'))))
        ++i_;
      t.kind = Tok::Number;
      t.text = s_.substr(b, i_ - b);
      return t;
    }
    t.kind = Tok::Punct;
    t.text = std::string(1, c);
    ++i_;
    return t;
  }

  [[noreturn]] void Fail(int line, const std::string& message) const { throw MofSyntaxError(file_, line, message); }

 private:
  void SkipSpace() {
    for (;;) {
      while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_]))) {
        if (s_[i_] == '\n') ++line_;
        ++i_;
      }
      if (s_.compare(i_, 2, "//") == 0) {
        while (i_ < s_.size() && s_[i_] != '\n') ++i_;
      } else if (s_.compare(i_, 2, "/*") == 0) {
        const int start = line_;
        const size_t end = s_.find("*/", i_ + 2);
        if (end == std::string::npos) Fail(start, "unterminated comment");
        for (; i_ < end; ++i_) line_ += s_[i_] == '\n';
        i_ = end + 2;
      } else {
        return;
      }
    }
  }

  // The content of a string constant starting at the opening quote, escapes resolved.
  std::string StringBody() {
    const int start = line_;
    std::string out;
    ++i_;
    for (;;) {
      if (i_ >= s_.size() || s_[i_] == '\n') Fail(start, "unterminated string");
      const char c = s_[i_++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i_ >= s_.size()) Fail(start, "unterminated string");
      const char e = s_[i_++];
      switch (e) {
        case 'b': out += '\b'; break;
        case 't': out += '\t'; break;
        case 'n': out += '\n'; break;
        case 'f': out += '\f'; break;
        case 'r': out += '\r'; break;
        case '"': case '\'': case '\\': out += e; break;
        case 'x': case 'X': {
          // \x and one to four hexadecimal digits: a character of the Latin-1 range only.
          size_t n = 0;
          unsigned v = 0;
          while (n < 4 && i_ < s_.size() && std::isxdigit(static_cast<unsigned char>(s_[i_]))) {
            const char h = static_cast<char>(std::tolower(static_cast<unsigned char>(s_[i_++])));
            v = v * 16 + static_cast<unsigned>(h <= '9' ? h - '0' : h - 'a' + 10);
            ++n;
          }
          if (n == 0 || v == 0 || v > 0x7f) Fail(line_, "escape \\x outside the ASCII range");
          out += static_cast<char>(v);
          break;
        }
        default: Fail(line_, std::string("unknown escape \\") + e);
      }
    }
  }

  const std::string& s_;
  const std::string& file_;
  size_t i_ = 0;
  int line_ = 1;
};

class Parser {
 public:
  Parser(const std::string& text, const std::string& file) : lex_(text, file) { Advance(); }

  std::vector<MofInstance> File() {
    std::vector<MofInstance> out;
    while (tok_.kind != Tok::End) {
      if (tok_.kind == Tok::Pragma) {
        Pragma();
        continue;
      }
      SkipQualifiers();
      if (!Keyword("instance")) lex_.Fail(tok_.line, "expected an instance declaration, found '" + tok_.text + "'");
      out.push_back(Instance());
    }
    return out;
  }

 private:
  void Advance() { tok_ = lex_.Next(); }

  bool IsPunct(char c) const { return tok_.kind == Tok::Punct && tok_.text[0] == c; }
  void Expect(char c) {
    if (!IsPunct(c)) lex_.Fail(tok_.line, std::string("expected '") + c + "', found '" + tok_.text + "'");
    Advance();
  }
  bool Keyword(const char* word) const {
    if (tok_.kind != Tok::Ident || tok_.text.size() != std::char_traits<char>::length(word)) return false;
    for (size_t i = 0; i < tok_.text.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(tok_.text[i])) != word[i]) return false;
    return true;
  }
  std::string Ident(const char* what) {
    if (tok_.kind != Tok::Ident) lex_.Fail(tok_.line, std::string("expected ") + what + ", found '" + tok_.text + "'");
    std::string s = tok_.text;
    Advance();
    return s;
  }

  // #pragma name ("value"): only namespace matters.
  void Pragma() {
    const int line = tok_.line;
    if (tok_.text != "#pragma") lex_.Fail(line, "unknown directive " + tok_.text);
    Advance();
    std::string name = Ident("a pragma name");
    Expect('(');
    if (tok_.kind != Tok::String) lex_.Fail(line, "expected a string in the pragma");
    const std::string value = tok_.text;
    Advance();
    Expect(')');
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "namespace") ns_ = value;
  }

  // [ ... ]: qualifiers mean nothing to the store.
  void SkipQualifiers() {
    if (!IsPunct('[')) return;
    const int line = tok_.line;
    Advance();
    while (!IsPunct(']')) {
      if (tok_.kind == Tok::End) lex_.Fail(line, "unterminated qualifier list");
      Advance();
    }
    Advance();
  }

  MofInstance Instance() {
    MofInstance inst;
    inst.line = tok_.line;
    inst.name_space = ns_;
    Advance();  // instance
    if (!Keyword("of")) lex_.Fail(tok_.line, "expected 'of' after 'instance'");
    Advance();
    inst.class_name = Ident("a class name");
    if (Keyword("as")) {
      Advance();
      if (tok_.kind != Tok::Alias) lex_.Fail(tok_.line, "expected an alias after 'as'");
      inst.alias = tok_.text;
      Advance();
    }
    Expect('{');
    while (!IsPunct('}')) {
      if (tok_.kind == Tok::End) lex_.Fail(inst.line, "unterminated instance declaration");
      SkipQualifiers();
      MofProperty p;
      p.line = tok_.line;
      p.name = Ident("a property name");
      Expect('=');
      if (IsPunct('{')) {
        p.array = true;
        Advance();
        while (!IsPunct('}')) {
          p.items.push_back(Constant());
          if (IsPunct(',')) Advance();
          else if (!IsPunct('}')) lex_.Fail(tok_.line, "expected ',' or '}' in the array of " + p.name);
        }
        Advance();
      } else {
        p.items.push_back(Constant());
      }
      Expect(';');
      inst.properties.push_back(std::move(p));
    }
    Advance();
    Expect(';');
    return inst;
  }

  MofConstant Constant() {
    MofConstant c;
    switch (tok_.kind) {
      case Tok::String:
        c.kind = MofConstant::String;
        while (tok_.kind == Tok::String) {  // adjacent strings are one
          c.text += tok_.text;
          Advance();
        }
        return c;
      case Tok::Number: c.kind = MofConstant::Number; break;
      case Tok::Alias: c.kind = MofConstant::Alias; break;
      case Tok::Ident:
        if (Keyword("true") || Keyword("false")) c.kind = MofConstant::Boolean;
        else if (Keyword("null")) c.kind = MofConstant::Null;
        else lex_.Fail(tok_.line, "unexpected '" + tok_.text + "' in a value");
        break;
      default: lex_.Fail(tok_.line, "expected a value, found '" + tok_.text + "'");
    }
    c.text = tok_.text;
    Advance();
    return c;
  }

  Lexer lex_;
  Token tok_;
  std::string ns_;
};

}  // namespace

std::vector<MofInstance> ParseInstanceMof(const std::string& text, const std::string& file) {
  return Parser(text, file).File();
}

}  // namespace tavikstore
