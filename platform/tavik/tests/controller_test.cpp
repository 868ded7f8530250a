// The controller's answers, driven in-process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "controller.h"
#include "qelvo_config.h"
#include "sim_config.h"

namespace {

using tavik::Config;
using tavik::Controller;
using Bytes = std::vector<uint8_t>;

Config Make(const std::vector<std::pair<std::string, std::string>>& settings) {
  Config cfg;
  std::string error;
  for (const auto& s : settings) EXPECT_TRUE(cfg.Set(s.first, s.second, &error)) << error;
  EXPECT_TRUE(cfg.Finish(&error)) << error;
  return cfg;
}

Controller Start(const Config& cfg) {
  Controller c;
  std::string error;
  EXPECT_TRUE(c.Init(cfg, &error)) << error;
  return c;
}

Bytes Ask(Controller& c, uint8_t netfn, uint8_t cmd, const Bytes& data = {}) {
  auto r = c.Handle(netfn, cmd, data);
  EXPECT_TRUE(r.has_value()) << "no answer to " << int{netfn} << "/" << int{cmd};
  return r.value_or(Bytes{});
}

const Bytes kIana = {QELVO_VENDOR_IANA & 0xff, (QELVO_VENDOR_IANA >> 8) & 0xff, (QELVO_VENDOR_IANA >> 16) & 0xff};

// Data store requests as the host builds them.
Bytes DsOpen(const std::string& name, uint8_t access, uint8_t create, uint16_t size = 0) {
  Bytes r = kIana;
  r.insert(r.end(), {1, access, 0, static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8), 0, 0, create, 16});
  Bytes field(25, 0);
  std::copy(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(name.size(), 25)), field.begin());
  r.insert(r.end(), field.begin(), field.end());
  r.push_back(0);
  return r;
}

Bytes WithHandle(uint8_t op, uint32_t handle, const Bytes& rest = {}) {
  Bytes r = kIana;
  r.push_back(op);
  for (int i = 0; i < 4; ++i) r.push_back(static_cast<uint8_t>(handle >> (8 * i)));
  r.insert(r.end(), rest.begin(), rest.end());
  return r;
}

Bytes DsRead(uint32_t handle, uint16_t offset, uint8_t count) {
  return WithHandle(2, handle, {static_cast<uint8_t>(offset), static_cast<uint8_t>(offset >> 8), 0, 0, count, 0});
}

Bytes DsName(uint8_t op, const std::string& name) {
  Bytes r = kIana;
  r.push_back(op);
  r.insert(r.end(), name.begin(), name.end());
  return r;
}

uint32_t Le(const Bytes& b, size_t at, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v |= static_cast<uint32_t>(b.at(at + static_cast<size_t>(i))) << (8 * i);
  return v;
}

// Reads a whole data store file in chunks of at most chunk bytes.
Bytes ReadWhole(Controller& c, const std::string& name, uint8_t chunk) {
  const Bytes open = Ask(c, 0x2e, 0x90, DsOpen(name, 1, 0));
  EXPECT_EQ(8u, open.size());
  EXPECT_EQ(0, open.at(0));
  const uint32_t handle = Le(open, 4, 4);
  const Bytes size = Ask(c, 0x2e, 0x90, DsName(6, name));
  EXPECT_EQ(0, size.at(0));
  const uint32_t total = Le(size, 4, 4);
  Bytes content;
  while (content.size() < total) {
    const uint8_t n = static_cast<uint8_t>(std::min<size_t>(chunk, total - content.size()));
    const Bytes r = Ask(c, 0x2e, 0x90, DsRead(handle, static_cast<uint16_t>(content.size()), n));
    if (r.size() < 6 || r[0] != 0) {
      ADD_FAILURE() << "read failed with " << int{r.at(0)};
      break;
    }
    EXPECT_EQ(n, Le(r, 4, 2));
    content.insert(content.end(), r.begin() + 6, r.end());
  }
  EXPECT_EQ(Bytes({0, kIana[0], kIana[1], kIana[2]}), Ask(c, 0x2e, 0x90, WithHandle(5, handle)));
  return content;
}

TEST(TavikAccount, PasswordFollowsTheSharedDerivation) {
  static const char kAlphabet[] = QELVO_PASSWORD_ALPHABET;
  // "TVKADM00": w0..w3 = 0x5456 0x4b41 0x444d 0x3030; products 0x168035de and 0x0e2a4c30.
  const int hash[8] = {0x16, 0x80, 0x35, 0xde, 0x0e, 0x2a, 0x4c, 0x30};
  std::string expected;
  for (int b : hash) expected += kAlphabet[b % 62];
  EXPECT_EQ(expected, tavik::DerivePassword({'T', 'V', 'K', 'A', 'D', 'M', '0', '0'}));
  EXPECT_EQ(std::string(8, kAlphabet[0]), tavik::DerivePassword({0, 0, 0, 0, 0, 0, 0, 0}));
  // 0xffff * 0xffff wraps to 0xfffe0001 in 32 bits.
  const int wrap[4] = {0xff, 0xfe, 0x00, 0x01};
  std::string all_ones;
  for (int k = 0; k < 8; ++k) all_ones += kAlphabet[wrap[k % 4] % 62];
  EXPECT_EQ(all_ones, tavik::DerivePassword({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}));
}

TEST(TavikController, IdentityUserIdAndUnknownCommands) {
  Controller c = Start(Make({{"node", "1"}, {"nodes", "2"}}));
  const Bytes id = Ask(c, 0x06, 0x01);
  ASSERT_EQ(16u, id.size());
  EXPECT_EQ(0, id[0]);
  EXPECT_EQ(1, id[3]);
  EXPECT_EQ(0x42, id[4]) << "firmware minor in BCD";
  EXPECT_EQ(QELVO_VENDOR_IANA, Le(id, 7, 3));
  EXPECT_EQ(Bytes{0xc7}, Ask(c, 0x06, 0x01, {1})) << "Get Device ID takes no data";

  EXPECT_EQ(Bytes({0, 'T', 'V', 'K', 'A', 'D', 'M', '0', '1'}), Ask(c, 0x3a, 0x64));
  EXPECT_EQ(Bytes{0xc1}, Ask(c, 0x3a, 0x65));
  EXPECT_EQ(Bytes{0xc1}, Ask(c, 0x0a, 0x10));

  Controller shorty = Start(Make({{"user-id", "0x0102030405060708"}, {"fault", "short-user-id"}}));
  EXPECT_EQ(Bytes({0, 1, 2, 3, 4}), Ask(shorty, 0x3a, 0x64));

  Controller faulty = Start(Make({{"fault", "silent=0x06:0x01"}, {"fault", "completion=0x3a:0x64:0xd4"}}));
  EXPECT_FALSE(faulty.Handle(0x06, 0x01, {}).has_value());
  EXPECT_EQ(Bytes{0xd4}, Ask(faulty, 0x3a, 0x64));
}

// Walks the descriptor's records as the host does and returns the node records' sub-record
// values by sub-type, per node.
std::vector<std::map<uint8_t, Bytes>> NodesOf(const Bytes& d, int* count) {
  std::vector<std::map<uint8_t, Bytes>> nodes;
  *count = -1;
  size_t i = 0;
  while (i + 2 <= d.size()) {
    const uint8_t type = d[i], len = d[i + 1];
    EXPECT_LE(i + 2 + len, d.size());
    if (type == 0x03) *count = d[i + 2];
    if (type == 0xf0) {
      EXPECT_GE(*count, 0) << "node count precedes the node records";
      std::map<uint8_t, Bytes> node;
      for (size_t j = i + 2; j + 2 <= i + 2 + len;) {
        node[d[j]] = Bytes(d.begin() + static_cast<std::ptrdiff_t>(j + 2),
                           d.begin() + static_cast<std::ptrdiff_t>(j + 2 + d[j + 1]));
        j += 2 + d[j + 1];
      }
      nodes.push_back(node);
    }
    i += 2 + len;
  }
  EXPECT_EQ(d.size(), i) << "records end with the descriptor";
  return nodes;
}

TEST(TavikController, DescriptorDescribesTheComplex) {
  Controller c = Start(Make({{"node", "2"}, {"nodes", "3"}, {"partitions", "0,1,0"}}));
  int count = 0;
  const std::vector<std::map<uint8_t, Bytes>> nodes = NodesOf(c.descriptor(), &count);
  ASSERT_EQ(3, count);
  ASSERT_EQ(3u, nodes.size());
  const uint8_t logical[] = {0, 0, 1}, partition[] = {0, 1, 0}, members[] = {2, 1, 2};
  for (size_t n = 0; n < 3; ++n) {
    EXPECT_EQ(16u, nodes[n].at(0x80).size());
    EXPECT_EQ(8u, nodes[n].at(0x81).size());
    EXPECT_EQ(Bytes{logical[n]}, nodes[n].at(0x85)) << n;
    EXPECT_EQ(Bytes{partition[n]}, nodes[n].at(0x86)) << n;
    EXPECT_EQ(Bytes{members[n]}, nodes[n].at(0x87)) << n;
  }
  EXPECT_EQ(Bytes({0, 0, 1, 0}), Ask(c, 0x30, 0x72)) << "node 2: not standalone, logical id 1, partition 0";
  Controller alone = Start(Make({{"node", "1"}, {"nodes", "3"}, {"partitions", "0,1,0"}}));
  EXPECT_EQ(Bytes({0, 1, 0, 1}), Ask(alone, 0x30, 0x72)) << "alone in its partition";

  Controller single = Start(Make({}));
  EXPECT_TRUE(single.descriptor().empty());
  EXPECT_EQ(Bytes{0xc1}, Ask(single, 0x30, 0x50, {0, 0, 255})) << "a standalone server has no complex";
  EXPECT_EQ(Bytes({0, 1, 0, 0}), Ask(single, 0x30, 0x72));
}

TEST(TavikController, DescriptorIsServedInChunksWithCountLimits) {
  Controller c = Start(Make({{"nodes", "4"}, {"fault", "descriptor-chunk=40"}, {"fault", "descriptor-max-count=58"}}));
  const Bytes& whole = c.descriptor();
  ASSERT_GT(whole.size(), 120u);

  EXPECT_EQ(Bytes{0xc9}, Ask(c, 0x30, 0x50, {0, 0, 255}));
  EXPECT_EQ(Bytes{0xc9}, Ask(c, 0x30, 0x50, {0, 0, 59}));
  EXPECT_EQ(Bytes{0xc7}, Ask(c, 0x30, 0x50, {0, 0}));
  EXPECT_EQ(Bytes{0xcc}, Ask(c, 0x30, 0x50, {0, 0, 0}));
  EXPECT_EQ(Bytes{0xcc}, Ask(c, 0x30, 0x50, {0xff, 0xff, 10})) << "offset past the end";

  Bytes got;
  size_t offset = 0;
  int chunks = 0;
  for (;;) {
    const Bytes r = Ask(c, 0x30, 0x50, {static_cast<uint8_t>(offset), static_cast<uint8_t>(offset >> 8), 58});
    ASSERT_GE(r.size(), 3u);
    ASSERT_TRUE(r[0] == 0x00 || r[0] == 0xca);
    EXPECT_LE(r.size() - 3, 40u);
    got.insert(got.end(), r.begin() + 3, r.end());
    ++chunks;
    if (r[0] == 0x00) break;
    offset = static_cast<size_t>(r[1]) << 8 | r[2];
    EXPECT_EQ(got.size(), offset) << "next offset, high byte first";
    ASSERT_LT(chunks, 100);
  }
  EXPECT_EQ(whole, got);
  EXPECT_EQ(static_cast<int>((whole.size() + 39) / 40), chunks);
}

TEST(TavikController, DataStoreServesTheSmbiosTable) {
  Controller c = Start(Make({{"fault", "datastore-max-chunk=58"}}));
  const Bytes* table = c.file("smbios-table");
  ASSERT_NE(nullptr, table);

  // 200-byte reads are refused with 0xC0; 58-byte reads go through.
  const Bytes open = Ask(c, 0x2e, 0x90, DsOpen("smbios-table", 1, 0));
  ASSERT_EQ(0, open[0]);
  EXPECT_EQ(Bytes({0xc0, kIana[0], kIana[1], kIana[2]}), Ask(c, 0x2e, 0x90, DsRead(Le(open, 4, 4), 0, 200)));
  EXPECT_EQ(0, Ask(c, 0x2e, 0x90, WithHandle(5, Le(open, 4, 4)))[0]);
  EXPECT_EQ(*table, ReadWhole(c, "smbios-table", 58));

  // The image: a valid entry point, then structures up to the end-of-table structure.
  ASSERT_GT(table->size(), 31u);
  EXPECT_EQ(0, std::string(table->begin(), table->begin() + 4).compare("_SM_"));
  uint8_t sum = 0;
  for (size_t i = 0; i < 31; ++i) sum = static_cast<uint8_t>(sum + (*table)[i]);
  EXPECT_EQ(0, sum) << "entry point checksum";
  size_t at = 31;
  int structures = 0;
  std::vector<std::string> oem;
  while (at + 4 <= table->size()) {
    const uint8_t type = (*table)[at], len = (*table)[at + 1];
    size_t end = at + len;
    std::vector<std::string> strings;
    if (end + 1 < table->size() && (*table)[end] == 0) {
      end += 2;  // an empty string set: two zero bytes
    } else {
      while (end < table->size() && (*table)[end] != 0) {
        const std::string s(reinterpret_cast<const char*>(&(*table)[end]));
        strings.push_back(s);
        end += s.size() + 1;
      }
      end += 1;
    }
    if (type == 11) oem.push_back(strings.at(0));
    ++structures;
    at = end;
    if (type == 127) break;
  }
  EXPECT_EQ(table->size(), at);
  EXPECT_EQ(structures, Le(*table, 28, 2)) << "structure count in the entry point";
  ASSERT_EQ(3u, oem.size());
  EXPECT_EQ("Tavik [TVK1.42-7]", oem[0]);
  EXPECT_EQ(0u, oem[1].find("Diagnostics ["));
}

// The table of a node is a dump dmidecode reads whole (entry point with the table's address,
// the right structure count), with the node's serial number (the one its complex descriptor
// gives) and its configured firmware.
TEST(TavikController, TheSmbiosTableIsADumpDmidecodeReads) {
  Controller c = Start(Make({{"nodes", "2"}, {"node", "1"}, {"firmware", "2.05"}}));
  const Bytes* table = c.file("smbios-table");
  ASSERT_NE(nullptr, table);
  char path[] = "/tmp/tavik-smbios-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(static_cast<ssize_t>(table->size()), write(fd, table->data(), table->size()));
  close(fd);
  auto run = [&path](const std::string& args, int* status = nullptr) {
    std::string out;
    FILE* p = popen(("dmidecode --from-dump " + std::string(path) + " " + args + " 2>&1").c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int rc = pclose(p);
    if (status != nullptr) *status = rc;
    return out;
  };
  int status = -1;
  const std::string all = run("", &status);
  EXPECT_EQ(0, status) << all;
  EXPECT_NE(std::string::npos, all.find("SMBIOS 2.7 present.")) << all;
  EXPECT_NE(std::string::npos, all.find(std::to_string(Le(*table, 28, 2)) + " structures occupying " +
                                        std::to_string(table->size() - 31) + " bytes."))
      << all;
  for (const char* complaint : {"Invalid", "Wrong", "truncated", "Unknown Type"})
    EXPECT_EQ(std::string::npos, all.find(complaint)) << complaint << "\n" << all;
  EXPECT_NE(std::string::npos, run("-t 11").find("Tavik [TVK2.05-7]"));
  const std::string serial = run("-s system-serial-number");
  EXPECT_EQ("QV24N0101\n", serial);
  const Bytes& d = c.descriptor();
  const std::string descriptor(d.begin(), d.end());
  EXPECT_NE(std::string::npos, descriptor.find(std::string("\x81\x08") + serial.substr(0, 8)))
      << "node 1's record carries the same serial";
  unlink(path);
}

TEST(TavikController, DataStoreFilesAreCreatedWrittenResetAndDeleted) {
  char path[] = "/tmp/tavik-ds-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(5, write(fd, "hello", 5));
  close(fd);
  Controller c = Start(Make({{"file", std::string("greeting=") + path},
                             {"file", std::string("twenty-five-characters-xy=") + path}}));
  unlink(path);
  EXPECT_EQ(Bytes({'h', 'e', 'l', 'l', 'o'}), ReadWhole(c, "greeting", 200));

  const Bytes rw = Ask(c, 0x2e, 0x90, DsOpen("greeting", 3, 0));
  ASSERT_EQ(0, rw[0]);
  const uint32_t h = Le(rw, 4, 4);
  const Bytes w = Ask(c, 0x2e, 0x90, WithHandle(3, h, {3, 0, 0, 0, 'p', ' ', 'w', 'o', 'r', 'l', 'd'}));
  EXPECT_EQ(Bytes({0, kIana[0], kIana[1], kIana[2], 7}), w) << "five bytes: status, IANA, count written";
  EXPECT_EQ(Bytes({'h', 'e', 'l', 'p', ' ', 'w', 'o', 'r', 'l', 'd'}), *c.file("greeting"));
  EXPECT_EQ(0xb, Ask(c, 0x2e, 0x90, WithHandle(3, h, {20, 0, 0, 0, 'x'}))[0]) << "a write past the end";
  EXPECT_EQ(0, Ask(c, 0x2e, 0x90, WithHandle(4, h))[0]);
  EXPECT_EQ(Bytes({'h', 'e', 'l', 'l', 'o'}), *c.file("greeting")) << "write defaults";
  EXPECT_EQ(0, Ask(c, 0x2e, 0x90, WithHandle(5, h))[0]);
  EXPECT_EQ(0x0a, Ask(c, 0x2e, 0x90, WithHandle(5, h))[0]) << "closed twice";

  const Bytes ro = Ask(c, 0x2e, 0x90, DsOpen("greeting", 1, 0));
  EXPECT_EQ(0x0a, Ask(c, 0x2e, 0x90, WithHandle(3, Le(ro, 4, 4), {0, 0, 0, 0, 'x'}))[0]) << "read-only open";

  EXPECT_EQ(0x0a, Ask(c, 0x2e, 0x90, DsOpen("new-file", 3, 0))[0]) << "missing without the create flag";
  EXPECT_EQ(0, Ask(c, 0x2e, 0x90, DsOpen("new-file", 3, 1))[0]);
  EXPECT_EQ(Bytes({0, kIana[0], kIana[1], kIana[2], 0, 0, 0, 0}), Ask(c, 0x2e, 0x90, DsName(6, "new-file")));
  EXPECT_EQ(0, Ask(c, 0x2e, 0x90, DsName(7, "greeting"))[0]);
  EXPECT_EQ(0x0a, Ask(c, 0x2e, 0x90, DsName(6, "greeting"))[0]);
  EXPECT_EQ(0x0c, Ask(c, 0x2e, 0x90, DsRead(Le(ro, 4, 4), 0, 1))[0]) << "a handle of a deleted file";

  EXPECT_EQ(0, Ask(c, 0x2e, 0x90, DsOpen("twenty-five-characters-xyz", 1, 0))[0])
      << "the open request carries the first 25 name characters";
  EXPECT_EQ(0x0a, Ask(c, 0x2e, 0x90, DsName(6, "twenty-five-characters-xyz"))[0])
      << "query size names the file whole";

  Bytes wrong_iana = DsName(6, "smbios-table");
  wrong_iana[0] ^= 1;
  EXPECT_EQ(Bytes{0xcc}, Ask(c, 0x2e, 0x90, wrong_iana));
  EXPECT_EQ(Bytes{0xc7}, Ask(c, 0x2e, 0x90, {kIana[0]}));
  EXPECT_EQ(0xc7, Ask(c, 0x2e, 0x90, WithHandle(2, 1))[0]) << "a short read request";
  EXPECT_EQ(0xcc, Ask(c, 0x2e, 0x90, DsName(9, "x"))[0]) << "unknown operation";
}

TEST(TavikController, OpenFilesAreLimited) {
  Controller c = Start(Make({}));
  int opened = 0;
  for (int i = 0; i < 100; ++i) {
    const Bytes r = Ask(c, 0x2e, 0x90, DsOpen("smbios-table", 1, 0));
    if (r[0] != 0) {
      EXPECT_EQ(0x0d, r[0]);
      break;
    }
    ++opened;
  }
  EXPECT_EQ(64, opened);
}

TEST(TavikController, KvmMasterWriteRead) {
  const Bytes query = {0xf5, 0x68, 0x10, 0x1d, 0x01, 0x00};
  Controller c = Start(Make({{"kvm-version", "CK2.5"}}));
  Bytes expected = {0, 'C', 'K', '2', '.', '5'};
  expected.resize(17, 0);
  EXPECT_EQ(expected, Ask(c, 0x06, 0x52, query));
  EXPECT_EQ(Bytes{0x83}, Ask(c, 0x06, 0x52, {0xf5, 0x70, 0x10, 0x1d, 0x01, 0x00})) << "another slave";
  EXPECT_EQ(Bytes{0xc7}, Ask(c, 0x06, 0x52, {0xf5, 0x68}));

  Controller ff = Start(Make({{"fault", "kvm-ff"}}));
  EXPECT_EQ(0xff, Ask(ff, 0x06, 0x52, query).at(1));
  Controller absent = Start(Make({{"fault", "kvm-absent"}}));
  EXPECT_EQ(Bytes{0x83}, Ask(absent, 0x06, 0x52, query));
}

TEST(TavikConfig, SettingsAreCheckedAndFilesRead) {
  Config cfg;
  std::string error;
  EXPECT_FALSE(cfg.Set("nodes", "9", &error));
  EXPECT_FALSE(cfg.Set("nodes", "2x", &error));
  EXPECT_FALSE(cfg.Set("user-id", "0x01020304050607zz", &error));
  EXPECT_FALSE(cfg.Set("file", "a-name-that-is-longer-than-25=/x", &error)) << "open requests carry 25 characters";
  EXPECT_FALSE(cfg.Set("fault", "silent=0x06", &error));
  EXPECT_FALSE(cfg.Set("colour", "blue", &error));

  ASSERT_TRUE(cfg.Set("nodes", "2", &error));
  ASSERT_TRUE(cfg.Set("partitions", "0", &error));
  EXPECT_FALSE(cfg.Finish(&error)) << "one partition for two nodes";
  ASSERT_TRUE(cfg.Set("partitions", "0, 0", &error));
  ASSERT_TRUE(cfg.Set("node", "2", &error));
  EXPECT_FALSE(cfg.Finish(&error)) << "node 2 of 2";

  char path[] = "/tmp/tavik-conf-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string text = "# node 1 of two\nnode = 1\nnodes=2   # trailing comment\n\ngeneration = 2\nfault = kvm-ff\n";
  ASSERT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
  close(fd);
  Config loaded;
  EXPECT_TRUE(loaded.Load(path, &error)) << error;
  EXPECT_TRUE(loaded.Finish(&error)) << error;
  EXPECT_EQ(1, loaded.node);
  EXPECT_EQ(2, loaded.generation);
  EXPECT_TRUE(loaded.faults.kvm_ff);
  EXPECT_EQ("/dev/ipmi1", loaded.ipmi_socket);
  std::ofstream(path, std::ios::app) << "bogus line\n";
  Config broken;
  EXPECT_FALSE(broken.Load(path, &error));
  EXPECT_NE(std::string::npos, error.find(":7:")) << error;
  unlink(path);
}

}  // namespace
