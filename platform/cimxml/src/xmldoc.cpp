/* The guarded libxml2 parse and DOM helpers. */
#include "internal.h"

#include <libxml/parser.h>
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

int max_depth(xmlNode *root) {
  /* Iterative walk, so that depth does not cost stack. */
  int depth = 1, best = 1;
  xmlNode *n = root;
  for (;;) {
    if (n->type == XML_ENTITY_REF_NODE || n->type == XML_ENTITY_NODE) return -1;
    if (n->type == XML_ELEMENT_NODE && n->children) {
      n = n->children;
      ++depth;
    } else {
      while (n != root && n->next == nullptr) {
        n = n->parent;
        --depth;
      }
      if (n == root) return best;
      n = n->next;
    }
    if (n->type == XML_ELEMENT_NODE && depth > best) best = depth;
  }
}

}  // namespace

Document::Document(const char *text, std::size_t len, const Limits &limits, int depth_used) {
  std::call_once(g_xml_init, [] { xmlInitParser(); });
  if (len > limits.max_body)
    throw Error(CMPI_RC_ERR_INVALID_PARAMETER,
                "XML text of " + std::to_string(len) + " bytes exceeds the limit of " +
                    std::to_string(limits.max_body) + " bytes",
                kNotValid);
  if (len > static_cast<std::size_t>(INT32_MAX)) throw Error(CMPI_RC_ERR_INVALID_PARAMETER, "XML text too large", kNotValid);
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
  doc_ = r.doc;
  xmlNode *root = xmlDocGetRootElement(doc_);
  if (root == nullptr) {
    xmlFreeDoc(doc_);
    doc_ = nullptr;
    throw Error(CMPI_RC_ERR_INVALID_PARAMETER, "XML document without root element", kNotWellFormed);
  }
  int d = max_depth(root);
  if (d < 0 || d + depth_used > limits.max_depth) {
    xmlFreeDoc(doc_);
    doc_ = nullptr;
    if (d < 0) throw Error(CMPI_RC_ERR_INVALID_PARAMETER, "entity references are not accepted", kNotWellFormed);
    throw Error(CMPI_RC_ERR_INVALID_PARAMETER,
                "XML nesting exceeds the limit of " + std::to_string(limits.max_depth) + " levels", kNotValid);
  }
  depth_ = d;
}

Document::~Document() {
  if (doc_) xmlFreeDoc(doc_);
}

xmlNode *Document::root() const { return xmlDocGetRootElement(doc_); }

xmlNode *first_element(const xmlNode *parent) {
  for (xmlNode *c = parent->children; c; c = c->next)
    if (c->type == XML_ELEMENT_NODE) return c;
  return nullptr;
}

xmlNode *next_element(const xmlNode *n) {
  for (xmlNode *c = n->next; c; c = c->next)
    if (c->type == XML_ELEMENT_NODE) return c;
  return nullptr;
}

const char *attr(const xmlNode *n, const char *name) {
  for (xmlAttr *a = n->properties; a; a = a->next) {
    if (std::strcmp(reinterpret_cast<const char *>(a->name), name) == 0) {
      if (a->children && a->children->type == XML_TEXT_NODE && a->children->next == nullptr)
        return reinterpret_cast<const char *>(a->children->content);
      if (a->children == nullptr) return "";
      /* Attribute values with several nodes do not occur without entity
       * declarations; treat them as empty. */
      return "";
    }
  }
  return nullptr;
}

std::string required_attr(const xmlNode *n, const char *name) {
  const char *v = attr(n, name);
  if (v == nullptr) invalid(std::string(name_of(n)) + " element without " + name + " attribute");
  return v;
}

std::string text_of(const xmlNode *n) {
  std::string s;
  for (xmlNode *c = n->children; c; c = c->next) {
    if ((c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) && c->content)
      s += reinterpret_cast<const char *>(c->content);
    else if (c->type == XML_ELEMENT_NODE)
      invalid(std::string(name_of(n)) + " element must hold text only, found " + name_of(c));
  }
  return s;
}

xmlNode *required_child(const xmlNode *parent, const char *name) {
  xmlNode *found = nullptr;
  for (xmlNode *c = first_element(parent); c; c = next_element(c)) {
    if (is(c, name)) {
      if (found) invalid(std::string(name_of(parent)) + " element with more than one " + name);
      found = c;
    }
  }
  if (found == nullptr) invalid(std::string(name_of(parent)) + " element without " + name);
  return found;
}

xmlNode *find_element(xmlNode *root, const char *const *names) {
  xmlNode *n = root;
  while (n) {
    if (n->type == XML_ELEMENT_NODE) {
      for (const char *const *p = names; *p; ++p)
        if (is(n, *p)) return n;
    }
    if (n->children && n->type == XML_ELEMENT_NODE) {
      n = n->children;
      continue;
    }
    if (n == root) return nullptr;
    while (n->next == nullptr) {
      n = n->parent;
      if (n == root || n == nullptr || n->type != XML_ELEMENT_NODE) return nullptr;
    }
    n = n->next;
  }
  return nullptr;
}

}  // namespace detail
}  // namespace cimxml
