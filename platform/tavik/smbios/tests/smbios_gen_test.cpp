// The generated tables: the recorded test data made by the generator as it is now, the slot
// layout of each version, and dmidecode (as a peer) reading them: it checks the entry point's
// anchors and checksums, finds the table at the address the entry point gives, and reports the
// structure count and table length, which must be the generator's.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "smbios_gen.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

unsigned Le16(const Bytes &b, size_t at) { return b[at] | b[at + 1] << 8; }

struct Walked {
  std::vector<int> types;
  std::vector<int> lengths;
  size_t end = 0;  // offset just past the last structure
  bool ok = true;
};

// An independent walk of the table, checking every structure lies inside the image.
Walked Walk(const Bytes &img) {
  Walked w;
  size_t at = smbiosgen::kEntryPointSize;
  while (at < img.size()) {
    if (at + 4 > img.size() || img[at + 1] < 4 || at + img[at + 1] > img.size()) {
      w.ok = false;
      break;
    }
    w.types.push_back(img[at]);
    w.lengths.push_back(img[at + 1]);
    size_t p = at + img[at + 1];
    while (p + 1 < img.size() && !(img[p] == 0 && img[p + 1] == 0)) ++p;
    if (p + 1 >= img.size()) {
      w.ok = false;
      break;
    }
    at = p + 2;
    if (w.types.back() == 127) break;
  }
  w.end = at;
  return w;
}

std::string Capture(const std::string &cmd, int *status = nullptr) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  std::array<char, 512> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  const int st = pclose(p);
  if (status != nullptr) *status = st;
  return out;
}

std::string Dmidecode() {
  for (const char *path : {"/usr/sbin/dmidecode", "/sbin/dmidecode", "/usr/bin/dmidecode"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return "";
}

TEST(SmbiosGenerator, RecordedTablesAreWhatTheGeneratorMakes) {
  for (const smbiosgen::Recorded &r : smbiosgen::RecordedTables()) {
    const Bytes recorded = ReadFile(std::string(SMBIOS_TABLES_DIR) + "/" + r.file);
    const Bytes made = smbiosgen::BuildServerTable(r.options);
    const auto diff = std::mismatch(made.begin(), made.end(), recorded.begin(), recorded.end());
    EXPECT_TRUE(made.size() == recorded.size() && diff.first == made.end())
        << r.file << " differs from the generator's table (sizes " << recorded.size() << " and " << made.size()
        << ", first difference at offset " << (diff.first - made.begin())
        << "): rerun smbios-gen --recorded platform/tavik/smbios/tables";
  }
}

TEST(SmbiosGenerator, SlotLayoutFollowsTheVersion) {
  struct Case {
    uint8_t major, minor;
    int slot_length;
    int t9_strings;
  };
  for (const Case &c : {Case{2, 4, 0x0d, 0}, Case{2, 5, 0x0d, 4}, Case{2, 7, 0x11, 0}, Case{3, 2, 0x13, 0}}) {
    smbiosgen::ServerOptions o;
    o.major = c.major;
    o.minor = c.minor;
    const Bytes img = smbiosgen::BuildServerTable(o);
    const Walked w = Walk(img);
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(img.size(), w.end) << "the end-of-table structure ends the image";
    EXPECT_EQ(w.types.size(), Le16(img, 28)) << "the entry point counts every structure";
    for (size_t i = 0; i < w.types.size(); ++i) {
      if (w.types[i] == 9) {
        EXPECT_EQ(c.slot_length, w.lengths[i]) << int{c.major} << "." << int{c.minor};
      }
    }
    const std::string text(img.begin(), img.end());
    int found = 0;
    for (size_t at = text.find("$T9 "); at != std::string::npos; at = text.find("$T9 ", at + 1)) ++found;
    EXPECT_EQ(c.t9_strings, found) << int{c.major} << "." << int{c.minor};
  }
}

TEST(SmbiosGenerator, DmidecodeReadsEveryRecordedTable) {
  const std::string dmi = Dmidecode();
  ASSERT_FALSE(dmi.empty()) << "dmidecode is missing: run scripts/bootstrap";
  for (const smbiosgen::Recorded &r : smbiosgen::RecordedTables()) {
    SCOPED_TRACE(r.file);
    const std::string file = std::string(SMBIOS_TABLES_DIR) + "/" + r.file;
    int status = -1;
    const std::string out = Capture(dmi + " --from-dump " + file + " 2>&1", &status);
    EXPECT_EQ(0, status) << out;
    const Bytes img = ReadFile(file);
    const std::string present =
        "SMBIOS " + std::to_string(r.options.major) + "." + std::to_string(r.options.minor) + " present.";
    EXPECT_NE(std::string::npos, out.find(present)) << out;
    const std::string count = std::to_string(Le16(img, 28)) + " structures occupying " +
                              std::to_string(img.size() - 31) + " bytes.";
    EXPECT_NE(std::string::npos, out.find(count)) << out;
    EXPECT_EQ(std::string::npos, out.find("Invalid")) << out;
    EXPECT_EQ(std::string::npos, out.find("truncated")) << out;
    EXPECT_EQ("Qelvo BIOS [" + r.options.bios_version + "] VNL24\n",
              Capture(dmi + " --from-dump " + file + " -s bios-version"));
    EXPECT_EQ("Qelvo Varnel V24\n", Capture(dmi + " --from-dump " + file + " -s system-product-name"));
    EXPECT_EQ(smbiosgen::SystemSerial(0) + "\n", Capture(dmi + " --from-dump " + file + " -s system-serial-number"));
  }
}

}  // namespace
