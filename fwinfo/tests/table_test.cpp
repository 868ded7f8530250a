// The structure walk, the raw dump and the version rules on recorded and on hand-built tables,
// among them truncated and hostile ones. Images are exact-size heap vectors, so that a read past
// the end is caught by AddressSanitizer in the sanitized build, and is checked below too.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "smbios_gen.h"
#include "smbios_walk.h"
#include "table_rules.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Recorded(const std::string &file) {
  std::ifstream in(std::string(SMBIOS_TABLES_DIR) + "/" + file, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Dump(const Bytes &table) {
  std::string out;
  SmbiosInfo::format_raw_data(table, out);
  return out;
}

// Types of the structures the walk visits.
std::vector<int> Visited(const Bytes &img) {
  std::vector<int> types;
  smbios_walk(img.data(), img.size(), [&](const unsigned char *s, const unsigned char *end) {
    EXPECT_LE(s + s[1], end);
    types.push_back(s[0]);
    return true;
  });
  return types;
}

// One structure's bytes alone: header, formatted area, string set.
Bytes Structure(uint8_t type, const Bytes &formatted, const std::vector<std::string> &strings) {
  smbiosgen::TableBuilder t;
  t.Add(type, formatted, strings);
  const Bytes img = t.Image(2, 7);
  return Bytes(img.begin() + 31, img.end());
}

TEST(SmbiosWalk, VisitsStructuresOneToNMinusOne) {
  const Bytes img = Recorded("smbios-2.7.bin");
  const std::vector<int> types = Visited(img);
  ASSERT_FALSE(types.empty());
  EXPECT_EQ(img[28] - 1, static_cast<int>(types.size())) << "the end-of-table structure is not visited";
  EXPECT_EQ(0, types.front());
  EXPECT_NE(127, types.back());

  for (int count : {0, 1}) {
    smbiosgen::TableBuilder t;
    t.Add(0, {1, 2}, {"a"});
    t.Add(127, {}, {});
    const Bytes few = t.Image(2, 7, count);
    EXPECT_TRUE(Visited(few).empty()) << count;
    EXPECT_EQ("", Dump(few)) << count;
  }
}

TEST(SmbiosWalk, NeverLeavesATruncatedOrLyingTable) {
  const Bytes whole = Recorded("smbios-2.7.bin");
  const size_t structures = Visited(whole).size();
  // Every truncation of the image: the walk stops at the last whole structure.
  size_t previous = 0;
  for (size_t size = 0; size <= whole.size(); ++size) {
    const Bytes cut(whole.begin(), whole.begin() + static_cast<long>(size));
    const size_t n = Visited(cut).size();
    EXPECT_GE(n, previous) << size;
    EXPECT_LE(n, structures) << size;
    previous = n;
    (void)Dump(cut);  // must stay inside the image too
  }
  EXPECT_EQ(structures, previous);

  // A count far beyond the structures there are.
  Bytes lying = whole;
  lying[28] = 0xff;
  lying[29] = 0xff;
  EXPECT_EQ(structures + 1, Visited(lying).size()) << "the end-of-table structure is visited, nothing beyond";

  // A formatted length reaching past the end, and one shorter than a header.
  smbiosgen::TableBuilder t;
  t.Add(1, {1, 2, 3}, {"x"});
  t.AddRaw({0x02, 0xf0, 0x05, 0x00, 0x01, 0x00, 0x00}, 1);
  t.Add(127, {}, {});
  const Bytes long_area = t.Image(2, 7);
  EXPECT_EQ((std::vector<int>{1}), Visited(long_area));
  smbiosgen::TableBuilder u;
  u.Add(1, {1}, {"x"});
  u.AddRaw({0x02, 0x01, 0x00, 0x00}, 1);
  u.Add(127, {}, {});
  EXPECT_EQ((std::vector<int>{1}), Visited(u.Image(2, 7)));

  // A string set that never ends.
  Bytes open_set = {0x0b, 0x05, 0x00, 0x00, 0x01, 'a', 'b', 'c'};
  const unsigned char *s = open_set.data(), *end = s + open_set.size();
  EXPECT_EQ(nullptr, get_next_struct_address(s, end));
  EXPECT_EQ(nullptr, find_string(s, 1, end));
  EXPECT_EQ(0, get_string_number(s, end));
  Bytes one_done = {0x0b, 0x05, 0x00, 0x00, 0x02, 'a', 0, 'b', 'c'};
  EXPECT_EQ(nullptr, find_string(one_done.data(), 1, one_done.data() + one_done.size()))
      << "a string of a set that does not end inside the image is not handed out";
  EXPECT_EQ(1, get_string_number(one_done.data(), one_done.data() + one_done.size()));
}

TEST(SmbiosWalk, StringsAreTakenByTheirPlaceInTheSet) {
  const Bytes two = Structure(2, {9, 9, 9, 9}, {"Maker", "Board"});
  const unsigned char *s = two.data(), *end = s + two.size();
  EXPECT_STREQ("Maker", find_string(s, 1, end));
  EXPECT_STREQ("Board", find_string(s, 2, end)) << "the formatted area's string numbers are not used";
  EXPECT_EQ(nullptr, find_string(s, 3, end));
  EXPECT_EQ(nullptr, find_string(s, 0, end));
  EXPECT_EQ(2, get_string_number(s, end));
  EXPECT_EQ(end, get_next_struct_address(s, end));

  const Bytes none = Structure(9, {1, 2, 3}, {});
  EXPECT_EQ(0, get_string_number(none.data(), none.data() + none.size()));
  EXPECT_EQ(nullptr, find_string(none.data(), 1, none.data() + none.size()));
  EXPECT_EQ(none.data() + none.size(), get_next_struct_address(none.data(), none.data() + none.size()));

  // The set ends at its double zero even when a structure of non-zero type follows.
  smbiosgen::TableBuilder t;
  t.Add(2, {1, 2}, {"one", "two"});
  t.Add(3, {1}, {"next"});
  const Bytes img = t.Image(2, 7);
  const unsigned char *first = img.data() + 31;
  EXPECT_EQ(2, get_string_number(first, img.data() + img.size()));
  const unsigned char *second = get_next_struct_address(first, img.data() + img.size());
  ASSERT_NE(nullptr, second);
  EXPECT_EQ(3, second[0]);
}

TEST(SmbiosDump, FormatsHeaderDataLinesAndStrings) {
  smbiosgen::TableBuilder t;
  Bytes bios(0x18 - 4, 0);
  bios[0] = 1;
  bios[1] = 2;
  t.Add(0, bios, {"Vendor", "Version 1"});
  t.Add(127, {}, {});
  EXPECT_EQ(
      "  Handle 0x0, Type 0\n"
      "    Data 00: 00 18 00 00 01 02 00 00 00 00 00 00 00 00 00 00\n"
      "    Data 10: 00 00 00 00 00 00 00 00\n"
      "    String 1: 'Vendor'\n"
      "    String 2: 'Version 1'\n",
      Dump(t.Image(2, 4)));
}

TEST(SmbiosDump, SixteenAndSeventeenByteAreasAndTheEleventhString) {
  smbiosgen::TableBuilder t;
  for (int i = 0; i < 0x12; ++i) t.Add(0x80, {}, {});  // handles up to 0x11
  t.Add(38, Bytes(12, 0xab), {});                       // 16 bytes, handle 0x12
  t.Add(9, Bytes(13, 0xcd), {"Slot"});                  // 17 bytes
  std::vector<std::string> many;
  for (int i = 1; i <= 12; ++i) many.push_back("s" + std::to_string(i));
  t.Add(11, {12}, many);
  t.Add(127, {}, {});
  const std::string dump = Dump(t.Image(2, 7));
  EXPECT_NE(std::string::npos,
            dump.find("  Handle 0x12, Type 38\n    Data 00: 26 10 12 00 ab ab ab ab ab ab ab ab ab ab ab ab\n"
                      "  Handle 0x13, Type 9\n"))
      << dump;
  EXPECT_NE(std::string::npos, dump.find("    Data 00: 09 11 13 00 cd cd cd cd cd cd cd cd cd cd cd cd\n"
                                         "    Data 10: cd\n    String 1: 'Slot'\n"))
      << dump;
  EXPECT_NE(std::string::npos, dump.find("    String 9: 's9'\n    String a: 's10'\n    String b: 's11'\n"
                                         "    String c: 's12'\n"))
      << dump;
  EXPECT_EQ(std::string::npos, dump.find("Type 127"));
}

// ----------------------------------------------------------------------------------------------
// Peer check: the dump against what dmidecode reads from the same file.

struct Parsed {
  unsigned handle = 0;
  int type = 0;
  Bytes data;
  std::vector<std::string> strings;
};

std::string Dmidecode() {
  for (const char *path : {"/usr/sbin/dmidecode", "/sbin/dmidecode", "/usr/bin/dmidecode"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return "";
}

std::string Capture(const std::string &cmd) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  pclose(p);
  return out;
}

bool HexLine(const std::string &line, Bytes *bytes) {
  std::istringstream in(line);
  std::string tok;
  Bytes got;
  while (in >> tok) {
    if (tok.size() != 2 || !isxdigit(static_cast<unsigned char>(tok[0])) ||
        !isxdigit(static_cast<unsigned char>(tok[1]))) {
      return false;
    }
    got.push_back(static_cast<uint8_t>(std::stoul(tok, nullptr, 16)));
  }
  if (got.empty()) return false;
  bytes->insert(bytes->end(), got.begin(), got.end());
  return true;
}

std::string Trim(const std::string &s) {
  const size_t a = s.find_first_not_of(" \t");
  return a == std::string::npos ? "" : s.substr(a);
}

// dmidecode -u: "Handle 0x0010, DMI type 11, 5 bytes", "Header and Data:" hex lines, then
// "Strings:" with each string as hex lines (ending with its 00) followed by its text.
std::vector<Parsed> ParseDmidecode(const std::string &text) {
  std::vector<Parsed> out;
  std::istringstream in(text);
  std::string line;
  enum { kNone, kData, kStrings } section = kNone;
  Bytes pending;
  bool skip_text = false;
  while (std::getline(in, line)) {
    const std::string t = Trim(line);
    unsigned handle = 0;
    int type = 0, bytes = 0;
    if (std::sscanf(line.c_str(), "Handle 0x%x, DMI type %d, %d bytes", &handle, &type, &bytes) == 3) {
      out.push_back({handle, type, {}, {}});
      section = kNone;
      continue;
    }
    if (out.empty()) continue;
    if (t == "Header and Data:") {
      section = kData;
    } else if (t == "Strings:") {
      section = kStrings;
      pending.clear();
      skip_text = false;
    } else if (section == kData) {
      HexLine(t, &out.back().data);
    } else if (section == kStrings) {
      if (skip_text) {
        skip_text = false;  // the printable form of the string just read
      } else if (HexLine(t, &pending) && pending.back() == 0) {
        out.back().strings.emplace_back(pending.begin(), pending.end() - 1);
        pending.clear();
        skip_text = true;
      }
    }
  }
  return out;
}

std::vector<Parsed> ParseDump(const std::string &text) {
  std::vector<Parsed> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    unsigned handle = 0, offset = 0;
    int type = 0;
    if (std::sscanf(line.c_str(), "  Handle 0x%x, Type %d", &handle, &type) == 2) {
      out.push_back({handle, type, {}, {}});
    } else if (!out.empty() && std::sscanf(line.c_str(), "    Data %x:", &offset) == 1) {
      EXPECT_EQ(out.back().data.size(), offset) << line;
      HexLine(line.substr(line.find(':') + 1), &out.back().data);
    } else if (!out.empty() && line.rfind("    String ", 0) == 0) {
      const size_t open = line.find(": '");
      if (open == std::string::npos) {
        ADD_FAILURE() << "not a string line: " << line;
        continue;
      }
      const unsigned number = static_cast<unsigned>(std::stoul(line.substr(11, open - 11), nullptr, 16));
      EXPECT_EQ(out.back().strings.size() + 1, number) << line;
      out.back().strings.push_back(line.substr(open + 3, line.size() - open - 4));
    }
  }
  return out;
}

TEST(SmbiosDump, AgreesWithDmidecodeOnEveryRecordedTable) {
  const std::string dmi = Dmidecode();
  ASSERT_FALSE(dmi.empty()) << "dmidecode is missing: run scripts/bootstrap";
  for (const char *file : {"smbios-2.4.bin", "smbios-2.5.bin", "smbios-2.7.bin", "smbios-3.2.bin"}) {
    SCOPED_TRACE(file);
    const Bytes img = Recorded(file);
    const std::vector<Parsed> ours = ParseDump(Dump(img));
    std::vector<Parsed> peer =
        ParseDmidecode(Capture(dmi + " -u --from-dump " + std::string(SMBIOS_TABLES_DIR) + "/" + file));
    // dmidecode also shows the end-of-table structure, which the dump leaves out.
    ASSERT_FALSE(peer.empty());
    EXPECT_EQ(127, peer.back().type);
    peer.pop_back();
    ASSERT_EQ(peer.size(), ours.size());
    for (size_t i = 0; i < ours.size(); ++i) {
      SCOPED_TRACE("structure " + std::to_string(i));
      EXPECT_EQ(peer[i].handle, ours[i].handle);
      EXPECT_EQ(peer[i].type, ours[i].type);
      EXPECT_EQ(peer[i].data, ours[i].data);
      EXPECT_EQ(peer[i].strings, ours[i].strings);
    }
  }
}

// ----------------------------------------------------------------------------------------------
// Version rules.

Bytes Table(const std::vector<std::pair<uint8_t, std::vector<std::string>>> &structures) {
  smbiosgen::TableBuilder t;
  for (const auto &s : structures) t.Add(s.first, {static_cast<uint8_t>(s.second.size())}, s.second);
  t.Add(127, {}, {});
  return t.Image(2, 7);
}

TEST(VersionRules, ControllerAndDiagnosticsComeFromTheFirstMatchingOemStringOne) {
  const Bytes t = Table({{11, {"Other [X]"}},
                         {11, {"Tavik [TVK2.00-1]"}},
                         {11, {"Diagnostics [D1]"}},
                         {11, {"Diagnostics [D2]"}},
                         {11, {"Tavik [TVK9]"}}});
  EXPECT_EQ("TVK2.00-1", BMCInfo::BMCVersionFromTable(t));
  EXPECT_EQ("D1", pDraviInfo::PDraviVersionFromTable(t)) << "the first of two";

  // Only string 1 is looked at, and only in OEM strings structures.
  const Bytes elsewhere = Table({{11, {"Board", "Diagnostics [D3]"}}, {12, {"Tavik [T]"}}});
  EXPECT_EQ(" ", pDraviInfo::PDraviVersionFromTable(elsewhere));
  EXPECT_EQ(" ", BMCInfo::BMCVersionFromTable(elsewhere));
}

TEST(VersionRules, BracketsCutTheVersionOutOfItsString) {
  EXPECT_EQ("VNB3.18-2", fwinfo::BracketedVersion("Qelvo BIOS [VNB3.18-2] VNL24"));
  EXPECT_EQ("1.2.3", fwinfo::BracketedVersion("1.2.3"));
  EXPECT_EQ("open", fwinfo::BracketedVersion("Tavik [open"));
  EXPECT_EQ("Tavik x", fwinfo::BracketedVersion("Tavik x]"));
  EXPECT_EQ("b", fwinfo::BracketedVersion("a]x[b]c"));
  EXPECT_EQ("", fwinfo::BracketedVersion("[]"));
}

TEST(VersionRules, BiosVersionIsStringTwoOfTheFirstBiosInformationThatHasOne) {
  smbiosgen::TableBuilder t;
  t.Add(0, {1, 0}, {"Vendor only"});
  t.Add(0, {1, 2}, {"Vendor", "AB[CD-3.1]EF"});
  t.Add(0, {1, 2}, {"Vendor", "Later"});
  t.Add(127, {}, {});
  EXPECT_EQ("CD-3.1", BiosInfo::BiosVersionFromTable(t.Image(2, 7)));

  smbiosgen::TableBuilder plain;
  plain.Add(0, {1, 2}, {"Vendor", "1.07"});
  plain.Add(127, {}, {});
  EXPECT_EQ("1.07", BiosInfo::BiosVersionFromTable(plain.Image(2, 7)));

  EXPECT_EQ(" ", BiosInfo::BiosVersionFromTable(Table({{11, {"x"}}})));
}

TEST(VersionRules, RecordedTablesGiveTheirVersions) {
  for (const char *file : {"smbios-2.4.bin", "smbios-2.5.bin", "smbios-2.7.bin", "smbios-3.2.bin"}) {
    const Bytes img = Recorded(file);
    EXPECT_EQ("TVK1.42-7", BMCInfo::BMCVersionFromTable(img)) << file;
    EXPECT_EQ("QDG4.12-1", pDraviInfo::PDraviVersionFromTable(img)) << file;
    EXPECT_EQ("VNB3.18-2", BiosInfo::BiosVersionFromTable(img)) << file;
  }
}

}  // namespace
