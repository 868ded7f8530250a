/* Values of the CIM HTTP headers. */
#include "internal.h"

#include <cimxml/http.h>

#include <cctype>

namespace cimxml {

using namespace detail;

std::string uri_escape(const std::string &text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() + 8);
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '!' || c == '~' || c == '*' || c == '\'' ||
        c == '(' || c == ')') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

namespace {
int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::string uri_unescape(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      int h = hex_digit(text[i + 1]), l = hex_digit(text[i + 2]);
      if (h >= 0 && l >= 0) {
        out += static_cast<char>(h * 16 + l);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

std::string cimobject_for_namespace(const std::string &ns) { return uri_escape(ns); }

std::string cimobject_for_path(const CMPIObjectPath *op) {
  std::string text = path_to_text(op);
  /* path_to_text leaves out the host only when there is none; the header
   * never carries one. */
  if (text.compare(0, 2, "//") == 0) {
    std::size_t slash = text.find('/', 2);
    text = slash == std::string::npos ? text : text.substr(slash + 1);
  }
  return uri_escape(text);
}

std::string check_request_headers(const Request &req, const std::string &cimoperation, const std::string &cimmethod,
                                  const std::string &cimobject) {
  if (!iequals(cimoperation, "MethodCall")) return kUnsupportedOperation;
  if (!iequals(cimmethod, req.method)) return kHeaderMismatch;
  std::string obj = uri_unescape(cimobject);
  if (req.intrinsic) {
    return iequals(trim_slashes(obj), trim_slashes(req.name_space)) ? std::string() : kHeaderMismatch;
  }
  std::size_t colon = obj.find(':');
  if (colon == std::string::npos) return kHeaderMismatch;
  std::string ns = obj.substr(0, colon);
  std::string rest = obj.substr(colon + 1);
  std::string cn = rest.substr(0, rest.find('.'));
  if (!iequals(trim_slashes(ns), trim_slashes(req.name_space))) return kHeaderMismatch;
  if (req.target && !iequals(cn, path_class(req.target.get()))) return kHeaderMismatch;
  return std::string();
}

}  // namespace cimxml
