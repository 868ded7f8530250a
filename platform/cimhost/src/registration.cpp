/* Provider registrations in the host CIMOM's stanza format (see registration.h). */
#include "registration.h"

#include <cimxml/base.h>

#include <cctype>
#include <fstream>
#include <sstream>

namespace cimhost {

namespace {

std::string trim(const std::string &s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

/* Words separated by blanks or commas. */
std::vector<std::string> words(const std::string &s) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : s) {
    if (std::isspace(static_cast<unsigned char>(c)) || c == ',') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

void finish(Registration &r, std::vector<Registration> &out) {
  if (r.provider.empty()) throw RegistrationError(r.file, r.line, "[" + r.class_name + "] has no provider");
  if (r.location.empty()) throw RegistrationError(r.file, r.line, "[" + r.class_name + "] has no location");
  if (r.types == 0) throw RegistrationError(r.file, r.line, "[" + r.class_name + "] has no type");
  if (r.namespaces.empty()) r.namespaces.push_back("root/cimv2");
  out.push_back(std::move(r));
}

}  // namespace

std::vector<Registration> parse_registrations(const std::string &text, const std::string &file) {
  std::vector<Registration> out;
  Registration cur;
  bool open = false;
  std::istringstream in(text);
  std::string raw;
  int lineno = 0;
  while (std::getline(in, raw)) {
    ++lineno;
    const std::string line = trim(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']' || line.size() < 3)
        throw RegistrationError(file, lineno, "malformed class header \"" + line + "\"");
      if (open) finish(cur, out);
      cur = Registration();
      cur.class_name = trim(line.substr(1, line.size() - 2));
      if (cur.class_name.empty() || cur.class_name.find_first_of(" \t[]") != std::string::npos)
        throw RegistrationError(file, lineno, "malformed class name \"" + line + "\"");
      cur.file = file;
      cur.line = lineno;
      open = true;
      continue;
    }
    if (!open) throw RegistrationError(file, lineno, "text outside a [Class] stanza");
    const size_t colon = line.find(':');
    if (colon == std::string::npos) throw RegistrationError(file, lineno, "expected \"key: value\"");
    const std::string key = lower(trim(line.substr(0, colon)));
    const std::string value = trim(line.substr(colon + 1));
    if (key == "provider") {
      cur.provider = value;
    } else if (key == "location") {
      cur.location = value;
    } else if (key == "group") {
      cur.group = value;
    } else if (key == "type") {
      for (const std::string &w : words(value)) {
        const std::string t = lower(w);
        if (t == "instance") cur.types |= kInstanceProvider;
        else if (t == "association") cur.types |= kAssociationProvider;
        else if (t == "method") cur.types |= kMethodProvider;
        else if (t == "indication") cur.types |= kIndicationProvider;
        else if (t == "property") cur.types |= kPropertyProvider;
        else throw RegistrationError(file, lineno, "unknown provider type \"" + w + "\"");
      }
    } else if (key == "namespace") {
      for (const std::string &w : words(value)) {
        const std::string_view ns = cimxml::trim_slashes(w);
        if (!ns.empty()) cur.namespaces.emplace_back(ns);
      }
    } else if (key == "unload") {
      cur.never_unload = lower(value) == "never";
    } else {
      cur.other.emplace_back(key, value);
    }
  }
  if (open) finish(cur, out);
  return out;
}

std::vector<Registration> read_registration_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw RegistrationError(path, 0, "cannot read the file");
  std::ostringstream ss;
  ss << f.rdbuf();
  return parse_registrations(ss.str(), path);
}

}  // namespace cimhost
