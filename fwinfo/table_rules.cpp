#include "table_rules.h"

#include <cstdio>
#include <cstring>

#include "smbios_walk.h"

namespace {
constexpr unsigned char kBiosInformation = 0;
constexpr unsigned char kOemStrings = 11;
}  // namespace

namespace SmbiosInfo {

void format_raw_data(const std::vector<unsigned char> &table, std::string &out) {
  out.clear();
  char line[64];
  smbios_walk(table.data(), table.size(), [&](const unsigned char *s, const unsigned char *end) {
    std::snprintf(line, sizeof line, "  Handle 0x%x, Type %d\n", s[2] | s[3] << 8, s[0]);
    out += line;
    const unsigned length = s[1];
    for (unsigned at = 0; at < length; at += 16) {
      std::snprintf(line, sizeof line, "    Data %02x:", at);
      out += line;
      for (unsigned i = at; i < length && i < at + 16; ++i) {
        std::snprintf(line, sizeof line, " %02x", s[i]);
        out += line;
      }
      out += '\n';
    }
    const int strings = get_string_number(s, end);
    for (int n = 1; n <= strings && n <= 255; ++n) {
      const char *text = find_string(s, static_cast<unsigned char>(n), end);
      std::snprintf(line, sizeof line, "    String %x: '", n);
      out += line;
      out += text != nullptr ? text : "";
      out += "'\n";
    }
    return true;
  });
}

}  // namespace SmbiosInfo

namespace fwinfo {

std::string BracketedVersion(const char *text) {
  const std::string s = text != nullptr ? text : "";
  const size_t open = s.find('[');
  const size_t start = open == std::string::npos ? 0 : open + 1;
  const size_t close = s.find(']', start);
  return s.substr(start, close == std::string::npos ? std::string::npos : close - start);
}

const char *FindTableString(const std::vector<unsigned char> &table, unsigned char type, unsigned char string_number,
                            const char *contains) {
  const char *found = nullptr;
  smbios_walk(table.data(), table.size(), [&](const unsigned char *s, const unsigned char *end) {
    if (s[0] != type) return true;
    const char *text = find_string(s, string_number, end);
    if (text == nullptr) return true;
    if (contains != nullptr && std::strstr(text, contains) == nullptr) return true;
    found = text;
    return false;
  });
  return found;
}

std::string VersionFromTable(const std::vector<unsigned char> &table, unsigned char type,
                             unsigned char string_number, const char *contains) {
  const char *text = FindTableString(table, type, string_number, contains);
  return text == nullptr ? std::string(" ") : BracketedVersion(text);
}

}  // namespace fwinfo

std::string BMCInfo::BMCVersionFromTable(const std::vector<unsigned char> &table) {
  return fwinfo::VersionFromTable(table, kOemStrings, 1, "Tavik");
}

std::string pDraviInfo::PDraviVersionFromTable(const std::vector<unsigned char> &table) {
  return fwinfo::VersionFromTable(table, kOemStrings, 1, "Diagnostics");
}

std::string BiosInfo::BiosVersionFromTable(const std::vector<unsigned char> &table) {
  return fwinfo::VersionFromTable(table, kBiosInformation, 2, nullptr);
}
