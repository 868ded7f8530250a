/*
 * Documents: read in place when they are of the common form (xmlread.cpp),
 * else by libxml2, guarded against entity and attribute declarations, and
 * copied into the same nodes; the node helpers the decoders use.
 */
#include "internal.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <cctype>
#include <mutex>
#include <string>
#include <vector>

namespace cimxml {
namespace detail {

namespace {

std::once_flag g_xml_init;

struct Guard {
  bool rejected = false;
  std::string why;
};

Guard *guard_of(void *ctx) {
  xmlParserCtxtPtr c = static_cast<xmlParserCtxtPtr>(ctx);
  return static_cast<Guard *>(c->_private);
}

void stop(void *ctx, const char *why) {
  Guard *g = guard_of(ctx);
  if (g && !g->rejected) {
    g->rejected = true;
    g->why = why;
  }
  xmlStopParser(static_cast<xmlParserCtxtPtr>(ctx));
}

/* Declarations in a document's internal subset could define entities (and
 * with them expansion attacks) or default attributes: none of them has a
 * place in a CIM message, so any of them stops the parse. */
void on_entity_decl(void *ctx, const xmlChar *, int, const xmlChar *, const xmlChar *, xmlChar *) {
  stop(ctx, "entity declarations are not accepted");
}
void on_attribute_decl(void *ctx, const xmlChar *, const xmlChar *, int, int, const xmlChar *,
                       xmlEnumerationPtr tree) {
  if (tree) xmlFreeEnumeration(tree);
  stop(ctx, "attribute declarations are not accepted");
}
void on_element_decl(void *ctx, const xmlChar *, int, xmlElementContentPtr) {
  stop(ctx, "element declarations are not accepted");
}
void on_notation_decl(void *ctx, const xmlChar *, const xmlChar *, const xmlChar *) {
  stop(ctx, "notation declarations are not accepted");
}
void on_unparsed_entity_decl(void *ctx, const xmlChar *, const xmlChar *, const xmlChar *, const xmlChar *) {
  stop(ctx, "entity declarations are not accepted");
}
xmlEntityPtr on_get_parameter_entity(void *ctx, const xmlChar *) {
  stop(ctx, "parameter entities are not accepted");
  return nullptr;
}

const int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOCDATA | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

struct ParseResult {
  xmlDoc *doc = nullptr;
  std::string error;
};

ParseResult parse_once(const char *text, std::size_t len) {
  ParseResult r;
  xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
  if (ctxt == nullptr) {
    r.error = "out of memory";
    return r;
  }
  Guard guard;
  ctxt->_private = &guard;
  ctxt->sax->entityDecl = on_entity_decl;
  ctxt->sax->attributeDecl = on_attribute_decl;
  ctxt->sax->elementDecl = on_element_decl;
  ctxt->sax->notationDecl = on_notation_decl;
  ctxt->sax->unparsedEntityDecl = on_unparsed_entity_decl;
  ctxt->sax->getParameterEntity = on_get_parameter_entity;
  ctxt->sax->externalSubset = nullptr;
  xmlDoc *doc = xmlCtxtReadMemory(ctxt, text, static_cast<int>(len), nullptr, nullptr, kParseOptions);
  if (guard.rejected) {
    if (doc) xmlFreeDoc(doc);
    doc = nullptr;
    r.error = guard.why;
  } else if (doc == nullptr || !ctxt->wellFormed) {
    if (doc) xmlFreeDoc(doc);
    doc = nullptr;
    const xmlError *e = xmlCtxtGetLastError(ctxt);
    if (e && e->message) {
      std::string m = e->message;
      while (!m.empty() && (m.back() == '\n' || m.back() == ' ')) m.pop_back();
      r.error = "line " + std::to_string(e->line) + ": " + m;
    } else {
      r.error = "not well-formed XML";
    }
  }
  r.doc = doc;
  xmlFreeParserCtxt(ctxt);
  return r;
}

bool name_end(char c) { return c == '>' || c == '/' || c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool valid_reference(const char *p, const char *end) {
  /* p points at '&'. */
  static const char *const kNamed[] = {"amp;", "lt;", "gt;", "quot;", "apos;"};
  for (const char *n : kNamed) {
    std::size_t l = std::strlen(n);
    if (static_cast<std::size_t>(end - p - 1) >= l && std::strncmp(p + 1, n, l) == 0) return true;
  }
  const char *q = p + 1;
  if (q < end && *q == '#') {
    ++q;
    bool hex = q < end && *q == 'x';
    if (hex) ++q;
    const char *digits = q;
    while (q < end && (std::isdigit(static_cast<unsigned char>(*q)) ||
                       (hex && std::isxdigit(static_cast<unsigned char>(*q)))))
      ++q;
    return q > digits && q < end && *q == ';';
  }
  return false;
}

/* Escapes "<", ">" and stray "&" inside VALUE and KEYVALUE elements, whose
 * content is text only: some clients put values into the XML as they are. */
bool repair_values(const char *text, std::size_t len, std::string *out) {
  const char *p = text, *end = text + len;
  bool changed = false;
  out->clear();
  out->reserve(len + 64);
  while (p < end) {
    const char *lt = static_cast<const char *>(std::memchr(p, '<', static_cast<std::size_t>(end - p)));
    if (lt == nullptr) break;
    const char *close_name = nullptr;
    std::size_t name_len = 0;
    if (end - lt > 6 && std::strncmp(lt, "<VALUE", 6) == 0 && name_end(lt[6])) {
      close_name = "</VALUE>";
      name_len = 6;
    } else if (end - lt > 9 && std::strncmp(lt, "<KEYVALUE", 9) == 0 && name_end(lt[9])) {
      close_name = "</KEYVALUE>";
      name_len = 9;
    }
    if (close_name == nullptr) {
      out->append(p, static_cast<std::size_t>(lt + 1 - p));
      p = lt + 1;
      continue;
    }
    /* End of the start tag, minding quoted attribute values. */
    const char *q = lt + name_len;
    char quote = 0;
    while (q < end && (quote || *q != '>')) {
      if (quote) {
        if (*q == quote) quote = 0;
      } else if (*q == '"' || *q == '\'') {
        quote = *q;
      }
      ++q;
    }
    if (q >= end) break;
    ++q; /* past '>' */
    out->append(p, static_cast<std::size_t>(q - p));
    p = q;
    if (q[-2] == '/') continue; /* empty element */
    std::size_t cl = std::strlen(close_name);
    const char *c = p;
    const char *stop = nullptr;
    while (c + cl <= end) {
      const char *m = static_cast<const char *>(std::memchr(c, '<', static_cast<std::size_t>(end - c)));
      if (m == nullptr || m + cl > end) break;
      if (std::strncmp(m, close_name, cl) == 0) {
        stop = m;
        break;
      }
      c = m + 1;
    }
    if (stop == nullptr) break;
    for (const char *k = p; k < stop; ++k) {
      if (*k == '<') {
        out->append("&lt;");
        changed = true;
      } else if (*k == '>') {
        out->append("&gt;");
        changed = true;
      } else if (*k == '&' && !valid_reference(k, stop)) {
        out->append("&amp;");
        changed = true;
      } else {
        out->push_back(*k);
      }
    }
    p = stop;
  }
  out->append(p, static_cast<std::size_t>(end - p));
  return changed;
}

/* Copies libxml2's elements below `root` into nodes: element children
 * only, character data (text and CDATA) gathered per element. The depth of
 * the deepest element into *depth; null when the tree holds an entity
 * reference. */
Node *copy_tree(xmlNode *root, Arena &arena, int *depth) {
  auto make = [&arena](xmlNode *x, Node *parent) {
    Node *n = arena.make<Node>();
    const std::size_t len = std::strlen(reinterpret_cast<const char *>(x->name));
    n->name = arena.copy(reinterpret_cast<const char *>(x->name), len);
    n->name_len = static_cast<std::uint32_t>(len);
    n->attr_count = 0;
    for (xmlAttr *a = x->properties; a; a = a->next) ++n->attr_count;
    Attr *attrs = n->attr_count != 0 ? arena.make<Attr>(n->attr_count) : nullptr;
    std::uint32_t i = 0;
    for (xmlAttr *a = x->properties; a; a = a->next, ++i) {
      const std::size_t name_len = std::strlen(reinterpret_cast<const char *>(a->name));
      attrs[i].name = arena.copy(reinterpret_cast<const char *>(a->name), name_len);
      attrs[i].name_len = static_cast<std::uint32_t>(name_len);
      /* Attribute values with several nodes do not occur without entity
       * declarations; they read as empty. */
      const char *v = "";
      if (a->children && a->children->type == XML_TEXT_NODE && a->children->next == nullptr && a->children->content)
        v = reinterpret_cast<const char *>(a->children->content);
      attrs[i].value = arena.copy(v, std::strlen(v));
    }
    n->attrs = attrs;
    std::string text;
    for (xmlNode *c = x->children; c; c = c->next)
      if ((c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) && c->content)
        text += reinterpret_cast<const char *>(c->content);
    n->text = arena.copy(text.data(), text.size());
    n->text_len = text.size();
    n->parent = parent;
    n->child = n->last = n->next = nullptr;
    n->empty = x->children == nullptr;
    if (parent != nullptr) {
      if (parent->child == nullptr) parent->child = n;
      else parent->last->next = n;
      parent->last = n;
    }
    return n;
  };
  /* Iterative walk, so that depth does not cost stack. */
  Node *top = make(root, nullptr);
  Node *node = top;       /* the node of x, when x is an element */
  Node *parent = nullptr; /* the node of x's parent */
  xmlNode *x = root;
  int d = 1;
  *depth = 1;
  for (;;) {
    if (x->type == XML_ENTITY_REF_NODE || x->type == XML_ENTITY_NODE) return nullptr;
    if (x->type == XML_ELEMENT_NODE && x->children) {
      parent = node;
      x = x->children;
      ++d;
    } else {
      while (x != root && x->next == nullptr) {
        x = x->parent;
        --d;
        node = parent;
        parent = parent->parent;
      }
      if (x == root) return top;
      x = x->next;
    }
    if (x->type == XML_ELEMENT_NODE) {
      node = make(x, parent);
      if (d > *depth) *depth = d;
    }
  }
}

}  // namespace

namespace {
/* The block the last arena of this thread left behind, for the next one. */
thread_local Arena::Block t_spare;
}  // namespace

Arena::~Arena() {
  Block *largest = nullptr;
  for (Block &b : blocks_)
    if (largest == nullptr || b.size > largest->size) largest = &b;
  if (largest != nullptr && largest->size <= kKeptBlock && largest->size > t_spare.size) t_spare = std::move(*largest);
}

/* A new block of at least `size` bytes: the first one is the thread's
 * spare block when that is as large as the block wanted. */
void Arena::add_block(std::size_t size) {
  Block b;
  if (blocks_.empty() && t_spare.size >= size) {
    b = std::move(t_spare);
    t_spare.size = 0;
  } else {
    b.bytes.reset(new char[size]);
    b.size = size;
  }
  at_ = b.bytes.get();
  left_ = b.size;
  if (next_size_ < b.size) next_size_ = b.size;
  if (next_size_ < (1u << 20)) next_size_ *= 2;
  blocks_.push_back(std::move(b));
}

char *Arena::copy(const char *text, std::size_t len) {
  char *p = static_cast<char *>(allocate(len + 1, 1));
  std::memcpy(p, text, len);
  p[len] = '\0';
  return p;
}

Document::Document(const char *text, std::size_t len, const Limits &limits, int depth_used, Reader reader)
    : arena_(len / 2 + 1024 + (reader == Reader::Auto ? len + 1 : 0)) {
  std::call_once(g_xml_init, [] { xmlInitParser(); });
  if (len > limits.max_body)
    throw Error(CMPI_RC_ERR_INVALID_PARAMETER,
                "XML text of " + std::to_string(len) + " bytes exceeds the limit of " +
                    std::to_string(limits.max_body) + " bytes",
                kNotValid);
  if (len > static_cast<std::size_t>(INT32_MAX)) throw Error(CMPI_RC_ERR_INVALID_PARAMETER, "XML text too large", kNotValid);
  int d = 0;
  if (reader == Reader::Auto) {
    /* The copy read in place shares the arena's first block with the nodes. */
    root_ = read_common_form(arena_.copy(text, len), len, arena_, &d);
    in_place_ = root_ != nullptr;
  }
  if (root_ == nullptr) {
    ParseResult r = parse_once(text, len);
    if (r.doc == nullptr && r.error.find("not accepted") == std::string::npos) {
      std::string fixed;
      if (repair_values(text, len, &fixed) && fixed.size() <= limits.max_body + limits.max_body / 2) {
        ParseResult r2 = parse_once(fixed.data(), fixed.size());
        if (r2.doc) {
          r = r2;
          repaired_ = true;
        }
      }
    }
    if (r.doc == nullptr) throw Error(CMPI_RC_ERR_INVALID_PARAMETER, "malformed XML: " + r.error, kNotWellFormed);
    xmlNode *root = xmlDocGetRootElement(r.doc);
    if (root != nullptr) {
      root_ = copy_tree(root, arena_, &d);
      if (root_ == nullptr) d = -1;
    }
    xmlFreeDoc(r.doc);
    if (root == nullptr)
      throw Error(CMPI_RC_ERR_INVALID_PARAMETER, "XML document without root element", kNotWellFormed);
  }
  if (d < 0 || d + depth_used > limits.max_depth) {
    if (d < 0) throw Error(CMPI_RC_ERR_INVALID_PARAMETER, "entity references are not accepted", kNotWellFormed);
    throw Error(CMPI_RC_ERR_INVALID_PARAMETER,
                "XML nesting exceeds the limit of " + std::to_string(limits.max_depth) + " levels", kNotValid);
  }
  depth_ = d;
}

void missing_attr(const Node *n, const char *name) {
  invalid(std::string(name_of(n)) + " element without " + name + " attribute");
}

std::string required_attr(const Node *n, const char *name) { return required_attr_value(n, name); }

void require_text_only(const Node *n) {
  if (n->child != nullptr)
    invalid(std::string(name_of(n)) + " element must hold text only, found " + name_of(n->child));
}

std::string text_of(const Node *n) {
  require_text_only(n);
  return std::string(n->text, n->text_len);
}

Node *required_child(const Node *parent, const char *name) {
  Node *found = nullptr;
  for (Node *c = first_element(parent); c; c = next_element(c)) {
    if (is(c, name)) {
      if (found) invalid(std::string(name_of(parent)) + " element with more than one " + name);
      found = c;
    }
  }
  if (found == nullptr) invalid(std::string(name_of(parent)) + " element without " + name);
  return found;
}

Node *find_element(Node *root, const char *const *names) {
  Node *n = root;
  while (n) {
    for (const char *const *p = names; *p; ++p)
      if (is(n, *p)) return n;
    if (n->child) {
      n = n->child;
      continue;
    }
    while (n != root && n->next == nullptr) n = n->parent;
    if (n == root) return nullptr;
    n = n->next;
  }
  return nullptr;
}

}  // namespace detail
}  // namespace cimxml
