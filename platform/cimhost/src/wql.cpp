/* The WHERE conditions the CIMOM evaluates itself (see wql.h): tokens, a recursive-descent
 * parser into a condition tree, and its evaluation against an instance. */
#include "wql.h"

#include <cimxml/base.h>

#include <cctype>
#include <cmath>
#include <cstdlib>

namespace cimhost {

namespace {

enum class Tok { Word, String, Number, Op, LParen, RParen, Comma, Star, End };

struct Token {
  Tok kind;
  std::string text;
};

std::vector<Token> tokenize(const std::string &s) {
  std::vector<Token> out;
  size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      size_t j = i;
      while (j < s.size() && (std::isalnum(static_cast<unsigned char>(s[j])) || s[j] == '_')) ++j;
      out.push_back({Tok::Word, s.substr(i, j - i)});
      i = j;
    } else if (std::isdigit(static_cast<unsigned char>(c)) ||
               ((c == '-' || c == '+' || c == '.') && i + 1 < s.size() &&
                std::isdigit(static_cast<unsigned char>(s[i + 1])))) {
      size_t j = i + 1;
      while (j < s.size() && (std::isalnum(static_cast<unsigned char>(s[j])) || s[j] == '.' ||
                              ((s[j] == '-' || s[j] == '+') && (s[j - 1] == 'e' || s[j - 1] == 'E'))))
        ++j;
      out.push_back({Tok::Number, s.substr(i, j - i)});
      i = j;
    } else if (c == '\'' || c == '"') {
      std::string v;
      size_t j = i + 1;
      bool closed = false;
      while (j < s.size()) {
        if (s[j] == '\\' && j + 1 < s.size()) {
          v += s[j + 1];
          j += 2;
        } else if (s[j] == c) {
          if (j + 1 < s.size() && s[j + 1] == c) { /* doubled quote */
            v += c;
            j += 2;
          } else {
            closed = true;
            ++j;
            break;
          }
        } else {
          v += s[j++];
        }
      }
      if (!closed) throw QueryError("unterminated string");
      out.push_back({Tok::String, v});
      i = j;
    } else if (c == '(') {
      out.push_back({Tok::LParen, "("});
      ++i;
    } else if (c == ')') {
      out.push_back({Tok::RParen, ")"});
      ++i;
    } else if (c == ',') {
      out.push_back({Tok::Comma, ","});
      ++i;
    } else if (c == '*') {
      out.push_back({Tok::Star, "*"});
      ++i;
    } else if (c == '=' || c == '<' || c == '>' || c == '!') {
      std::string op(1, c);
      if (i + 1 < s.size() && (s[i + 1] == '=' || (c == '<' && s[i + 1] == '>'))) op += s[i + 1];
      if (op == "!") throw QueryError("unexpected '!'");
      out.push_back({Tok::Op, op});
      i += op.size();
    } else {
      throw QueryError(std::string("unexpected character '") + c + "'");
    }
  }
  out.push_back({Tok::End, ""});
  return out;
}

bool kw(const Token &t, const char *word) { return t.kind == Tok::Word && cimxml::iequals(t.text, word); }

}  // namespace

/* Operands and conditions. */
struct WqlNode {
  enum Kind { And, Or, Not, Compare, IsNull } kind;
  std::shared_ptr<WqlNode> a, b;
  /* Compare: operands are a property name or a literal. */
  struct Operand {
    bool is_property = false;
    std::string text;       /* property name or literal text */
    bool is_string = false; /* literal was quoted */
    bool is_null = false;   /* literal NULL */
  } left, right;
  std::string op;
  bool negate = false; /* IS NOT NULL */
};

namespace {

class Parser {
 public:
  explicit Parser(std::vector<Token> t) : toks_(std::move(t)) {}
  const Token &peek() const { return toks_[pos_]; }
  Token next() { return toks_[pos_ < toks_.size() - 1 ? pos_++ : pos_]; }
  void expect_word(const char *w) {
    if (!kw(peek(), w)) throw QueryError(std::string("expected ") + w + " near \"" + peek().text + "\"");
    ++pos_;
  }
  /* A condition tree is evaluated (and freed) recursively: its size is
   * bounded, and with it its depth. */
  std::shared_ptr<WqlNode> node() {
    if (++nodes_ > kMaxNodes) throw QueryError("condition with more than " + std::to_string(kMaxNodes) + " terms");
    return std::make_shared<WqlNode>();
  }
  std::shared_ptr<WqlNode> or_expr() {
    auto l = and_expr();
    while (kw(peek(), "OR")) {
      ++pos_;
      auto n = node();
      n->kind = WqlNode::Or;
      n->a = l;
      n->b = and_expr();
      l = n;
    }
    return l;
  }
  std::shared_ptr<WqlNode> and_expr() {
    auto l = not_expr();
    while (kw(peek(), "AND")) {
      ++pos_;
      auto n = node();
      n->kind = WqlNode::And;
      n->a = l;
      n->b = not_expr();
      l = n;
    }
    return l;
  }
  std::shared_ptr<WqlNode> not_expr() {
    if (++depth_ > 64) throw QueryError("condition nested too deeply");
    std::shared_ptr<WqlNode> r;
    if (kw(peek(), "NOT")) {
      ++pos_;
      r = node();
      r->kind = WqlNode::Not;
      r->a = not_expr();
    } else {
      r = primary();
    }
    --depth_;
    return r;
  }
  std::shared_ptr<WqlNode> primary() {
    if (peek().kind == Tok::LParen) {
      ++pos_;
      auto e = or_expr();
      if (peek().kind != Tok::RParen) throw QueryError("missing ')'");
      ++pos_;
      return e;
    }
    auto n = node();
    n->left = operand();
    if (kw(peek(), "IS")) {
      ++pos_;
      n->kind = WqlNode::IsNull;
      if (kw(peek(), "NOT")) {
        ++pos_;
        n->negate = true;
      }
      expect_word("NULL");
      if (!n->left.is_property) throw QueryError("IS NULL needs a property");
      return n;
    }
    if (peek().kind != Tok::Op) throw QueryError("expected a comparison near \"" + peek().text + "\"");
    n->kind = WqlNode::Compare;
    n->op = next().text;
    if (n->op == "!=") n->op = "<>";
    n->right = operand();
    return n;
  }
  WqlNode::Operand operand() {
    const Token t = next();
    WqlNode::Operand o;
    switch (t.kind) {
      case Tok::String:
        o.text = t.text;
        o.is_string = true;
        return o;
      case Tok::Number:
        o.text = t.text;
        return o;
      case Tok::Word:
        if (cimxml::iequals(t.text, "NULL")) {
          o.is_null = true;
        } else if (cimxml::iequals(t.text, "TRUE") || cimxml::iequals(t.text, "FALSE")) {
          o.text = t.text;
        } else {
          o.is_property = true;
          o.text = t.text;
        }
        return o;
      default:
        throw QueryError("expected a property or a value near \"" + t.text + "\"");
    }
  }

 private:
  static constexpr int kMaxNodes = 1024;
  std::vector<Token> toks_;
  size_t pos_ = 0;
  int depth_ = 0;
  int nodes_ = 0;
};

/* A value to compare: null, number, boolean or text. */
struct Cmp {
  enum { Null, Num, Bool, Text } kind = Null;
  double num = 0;
  bool b = false;
  std::string text;
};

Cmp literal(const WqlNode::Operand &o) {
  Cmp c;
  if (o.is_null) return c;
  if (o.is_string) {
    c.kind = Cmp::Text;
    c.text = o.text;
  } else if (cimxml::iequals(o.text, "TRUE") || cimxml::iequals(o.text, "FALSE")) {
    c.kind = Cmp::Bool;
    c.b = cimxml::iequals(o.text, "TRUE");
  } else {
    char *end = nullptr;
    c.num = std::strtod(o.text.c_str(), &end);
    if (end == nullptr || *end != '\0') throw QueryError("bad number " + o.text);
    c.kind = Cmp::Num;
  }
  return c;
}

Cmp property_value(const CMPIInstance *inst, const std::string &name) {
  Cmp c;
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  CMPIData d = inst->ft->getProperty(inst, name.c_str(), &st);
  if (st.rc != CMPI_RC_OK || (d.state & CMPI_nullValue) || (d.type & CMPI_ARRAY)) return c;
  switch (d.type) {
    case CMPI_boolean: c.kind = Cmp::Bool; c.b = d.value.boolean != 0; break;
    case CMPI_uint8: c.kind = Cmp::Num; c.num = d.value.uint8; break;
    case CMPI_sint8: c.kind = Cmp::Num; c.num = d.value.sint8; break;
    case CMPI_uint16: c.kind = Cmp::Num; c.num = d.value.uint16; break;
    case CMPI_sint16: c.kind = Cmp::Num; c.num = d.value.sint16; break;
    case CMPI_uint32: c.kind = Cmp::Num; c.num = d.value.uint32; break;
    case CMPI_sint32: c.kind = Cmp::Num; c.num = d.value.sint32; break;
    case CMPI_uint64: c.kind = Cmp::Num; c.num = static_cast<double>(d.value.uint64); break;
    case CMPI_sint64: c.kind = Cmp::Num; c.num = static_cast<double>(d.value.sint64); break;
    case CMPI_real32: c.kind = Cmp::Num; c.num = d.value.real32; break;
    case CMPI_real64: c.kind = Cmp::Num; c.num = d.value.real64; break;
    default:
      try {
        c.text = cimxml::scalar_to_text(d);
        c.kind = Cmp::Text;
      } catch (const std::exception &) {
        /* references and embedded objects do not compare */
      }
  }
  return c;
}

/* Brings a literal to the kind of the other side where it can. */
void align(Cmp &a, Cmp &b) {
  if (a.kind == b.kind || a.kind == Cmp::Null || b.kind == Cmp::Null) return;
  auto to_num = [](Cmp &c) {
    char *end = nullptr;
    const double v = std::strtod(c.text.c_str(), &end);
    if (!c.text.empty() && end != nullptr && *end == '\0') {
      c.kind = Cmp::Num;
      c.num = v;
    }
  };
  if (a.kind == Cmp::Num && b.kind == Cmp::Text) to_num(b);
  else if (b.kind == Cmp::Num && a.kind == Cmp::Text) to_num(a);
  else if (a.kind == Cmp::Bool && b.kind == Cmp::Text) {
    b.kind = Cmp::Bool;
    b.b = cimxml::iequals(b.text, "TRUE");
  } else if (b.kind == Cmp::Bool && a.kind == Cmp::Text) {
    a.kind = Cmp::Bool;
    a.b = cimxml::iequals(a.text, "TRUE");
  }
}

bool compare(Cmp a, Cmp b, const std::string &op) {
  align(a, b);
  if (a.kind == Cmp::Null || b.kind == Cmp::Null || a.kind != b.kind) return false;
  int r = 0;
  switch (a.kind) {
    case Cmp::Num: r = a.num < b.num ? -1 : (a.num > b.num ? 1 : 0); break;
    case Cmp::Bool: r = static_cast<int>(a.b) - static_cast<int>(b.b); break;
    case Cmp::Text: r = a.text.compare(b.text); break;
    case Cmp::Null: return false;
  }
  if (op == "=") return r == 0;
  if (op == "<>") return r != 0;
  if (op == "<") return r < 0;
  if (op == ">") return r > 0;
  if (op == "<=") return r <= 0;
  if (op == ">=") return r >= 0;
  return false;
}

bool eval(const WqlNode &n, const CMPIInstance *inst) {
  switch (n.kind) {
    case WqlNode::And: return eval(*n.a, inst) && eval(*n.b, inst);
    case WqlNode::Or: return eval(*n.a, inst) || eval(*n.b, inst);
    case WqlNode::Not: return !eval(*n.a, inst);
    case WqlNode::IsNull: {
      const bool null = property_value(inst, n.left.text).kind == Cmp::Null;
      return n.negate ? !null : null;
    }
    case WqlNode::Compare: {
      const Cmp a = n.left.is_property ? property_value(inst, n.left.text) : literal(n.left);
      const Cmp b = n.right.is_property ? property_value(inst, n.right.text) : literal(n.right);
      return compare(a, b, n.op);
    }
  }
  return false;
}

void check_literals(const WqlNode &n) {
  if (n.a) check_literals(*n.a);
  if (n.b) check_literals(*n.b);
  if (n.kind == WqlNode::Compare) {
    if (!n.left.is_property) literal(n.left);
    if (!n.right.is_property) literal(n.right);
  }
}

}  // namespace

WqlQuery WqlQuery::parse(const std::string &text) {
  if (text.size() > 64 * 1024) throw QueryError("query too long");
  Parser p(tokenize(text));
  WqlQuery q;
  p.expect_word("SELECT");
  if (p.peek().kind == Tok::Star) {
    p.next();
  } else {
    for (;;) {
      const Token t = p.next();
      if (t.kind != Tok::Word) throw QueryError("expected a property name near \"" + t.text + "\"");
      q.select_.push_back(t.text);
      if (p.peek().kind != Tok::Comma) break;
      p.next();
    }
  }
  p.expect_word("FROM");
  const Token cls = p.next();
  if (cls.kind != Tok::Word) throw QueryError("expected a class name after FROM");
  q.class_name_ = cls.text;
  if (kw(p.peek(), "WHERE")) {
    p.next();
    q.where_ = p.or_expr();
    check_literals(*q.where_);
  }
  if (p.peek().kind != Tok::End) throw QueryError("unexpected \"" + p.peek().text + "\"");
  return q;
}

bool WqlQuery::matches(const CMPIInstance *inst) const { return !where_ || eval(*where_, inst); }

}  // namespace cimhost
