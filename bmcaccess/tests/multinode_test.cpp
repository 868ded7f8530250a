// The multi-node descriptor: reading it in chunks from scripted controllers, parsing it, the
// device list, and the setup against controller simulators on two devices.
#include "multinode.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "controller.h"
#include "ipmi.h"
#include "ipmi_testing.h"
#include "nsfixture.h"
#include "sim_config.h"
#include "sim_process.h"

namespace {

using ipmisim::Packet;
using ipmitest::FakeController;
using ipmitest::Reaction;
using ipmitest::Response;
using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------------------------
// Descriptors.

Bytes NodeRecord(uint8_t logical, uint8_t partition, Bytes extra = {}) {
  Bytes v = {0x80, 16};
  for (int i = 0; i < 16; ++i) v.push_back(static_cast<uint8_t>(0xa0 + i));
  v.insert(v.end(), {0x81, 8, 'S', 'E', 'R', 'I', 'A', 'L', '0', static_cast<uint8_t>('0' + logical)});
  v.insert(v.end(), {0x82, 2, 0x12, 0x34, 0x83, 1, 1, 0x84, 1, 1, 0x85, 1, logical, 0x86, 1, partition, 0x87, 1, 2,
                     0x88, 1, 0});
  v.insert(v.end(), extra.begin(), extra.end());
  Bytes rec = {0xf0, static_cast<uint8_t>(v.size())};
  rec.insert(rec.end(), v.begin(), v.end());
  return rec;
}

Bytes Header(uint8_t count) { return {0x01, 4, 'Q', 'C', 'P', 'X', 0x02, 2, 0x5a, 0x01, 0x03, 1, count}; }

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Parses d; the node list is freed here.
int Parse(const Bytes& d, complex_data* c = nullptr) {
  complex_data local;
  complex_data* out = c != nullptr ? c : &local;
  std::memset(out, 0, sizeof *out);
  const int rc = parse_complex_descriptor(d.data(), static_cast<int>(d.size()), out);
  if (c == nullptr) std::free(out->node_list);
  return rc;
}

TEST(ComplexDescriptorParse, RecordsFillTheNodeList) {
  const Bytes d = Join({Header(2), {0x10, 3, 9, 9, 9}, NodeRecord(0, 1, {0x99, 2, 7, 7}), NodeRecord(1, 1)});
  complex_data c;
  ASSERT_EQ(0, Parse(d, &c));
  EXPECT_EQ(0, std::memcmp(c.signature, "QCPX", 4));
  EXPECT_EQ(0x5a, c.complex_id[0]);
  ASSERT_EQ(2, c.complex_node_count);
  EXPECT_EQ(0xa0, c.node_list[0].uuid[0]);
  EXPECT_EQ(0, std::memcmp(c.node_list[1].serial, "SERIAL01", 8));
  EXPECT_EQ(0x34, c.node_list[0].uuid_checksum[1]);
  EXPECT_EQ(1, c.node_list[1].logical_id);
  EXPECT_EQ(1, c.node_list[1].partition_id);
  EXPECT_EQ(2, c.node_list[0].partition_count);
  EXPECT_STREQ("", c.node_list[0].dev_path);
  EXPECT_EQ(2, num_nodes_in_partition(&c, 1));
  EXPECT_EQ(0, num_nodes_in_partition(&c, 0));
  std::free(c.node_list);

  // The simulator's descriptor parses as well.
  tavik::Config cfg;
  std::string error;
  ASSERT_TRUE(cfg.Set("nodes", "3", &error) && cfg.Set("partitions", "0,1,0", &error) && cfg.Finish(&error));
  ASSERT_EQ(0, Parse(tavik::BuildComplexDescriptor(cfg), &c));
  EXPECT_EQ(3, c.complex_node_count);
  EXPECT_EQ(2, num_nodes_in_partition(&c, 0));
  std::free(c.node_list);
}

TEST(ComplexDescriptorParse, MalformedDescriptorsAreRejected) {
  EXPECT_EQ(-1, Parse(Join({Header(1), NodeRecord(0, 0, {0x85, 2, 0, 0})}))) << "logical id of length 2";
  EXPECT_EQ(-1, Parse({0x01, 3, 'Q', 'C', 'P'})) << "signature of length 3";
  EXPECT_EQ(-1, Parse({0x02, 1, 0x5a})) << "complex id of length 1";
  EXPECT_EQ(-1, Parse({0x03, 1, 0})) << "no nodes";
  EXPECT_EQ(-1, Parse({0x03, 2, 1, 1}));
  EXPECT_EQ(-1, Parse(Join({NodeRecord(0, 0), Header(1)}))) << "a node before the node count";
  EXPECT_EQ(-1, Parse(Join({Header(1), NodeRecord(0, 0), NodeRecord(1, 0)}))) << "a node beyond the count";
  EXPECT_EQ(-1, Parse(Join({Header(2), NodeRecord(0, 0)}))) << "fewer nodes than announced";
  EXPECT_EQ(-1, Parse(Join({Header(1), NodeRecord(0, 0), Header(1)}))) << "the count announced twice";
  EXPECT_EQ(-1, Parse(Join({Header(1), {0xf0, 3, 0x85, 1}}))) << "a sub-record cut short";

  Bytes cut = Join({Header(1), NodeRecord(0, 0)});
  for (size_t n = 1; n < cut.size(); ++n) {
    Bytes head(cut.begin(), cut.begin() + static_cast<std::ptrdiff_t>(n));
    // Each prefix is a truncated record or lacks its nodes; none may be read past its end.
    Bytes exact(head);
    EXPECT_EQ(-1, Parse(exact)) << "prefix of " << n << " bytes";
  }
  EXPECT_EQ(-1, Parse({})) << "no node count at all";
}

// ---------------------------------------------------------------------------------------------
// Reading the descriptor from a scripted controller.

struct DescriptorController {
  Bytes descriptor;
  int max_count = 255;         // counts above get 0xC9
  int chunk = 255;             // data bytes per reply at most
  uint8_t refuse_255 = 0;      // completion code for a count of 255, 0 for none

  Reaction operator()(const Packet& req) const {
    if (req.netfn != 0x30 || req.cmd != 0x50 || req.data_len != 3) return {{Response(req, {0xc1})}};
    const size_t offset = req.data[0] | req.data[1] << 8;
    const int count = req.data[2];
    if (count == 255 && refuse_255 != 0) return {{Response(req, {refuse_255})}};
    if (count > max_count) return {{Response(req, {0xc9})}};
    const size_t n = std::min({static_cast<size_t>(count), static_cast<size_t>(chunk), descriptor.size() - offset});
    const size_t next = offset + n;
    const bool last = next == descriptor.size();
    Bytes r = {static_cast<uint8_t>(last ? 0x00 : 0xca), static_cast<uint8_t>(last ? 0 : next >> 8),
               static_cast<uint8_t>(last ? 0 : next)};
    r.insert(r.end(), descriptor.begin() + static_cast<std::ptrdiff_t>(offset),
             descriptor.begin() + static_cast<std::ptrdiff_t>(next));
    return {{Response(req, r)}};
  }
};

// Reads the descriptor from handler on /dev/ipmi0; returns the result and the counts asked for.
struct ReadOutcome {
  int rc = -2;
  Bytes data;
  std::vector<int> counts;
  std::vector<int> offsets;
};

void ReadFrom(FakeController::Handler handler, const std::function<void(const ReadOutcome&)>& check) {
  nsfixture::Run([&] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    FakeController bmc("/dev/ipmi0", handler);
    const int fd = connect_ipmi("/dev/ipmi0");
    ASSERT_GE(fd, 0);
    ReadOutcome out;
    unsigned char* buf = reinterpret_cast<unsigned char*>(0x1);  // must stay untouched on failure
    int size = -7;
    out.rc = read_complex_descriptor(fd, &buf, &size);
    if (out.rc == 0) {
      out.data.assign(buf, buf + size);
      std::free(buf);
    } else {
      EXPECT_EQ(reinterpret_cast<unsigned char*>(0x1), buf) << "no buffer is handed out on failure";
    }
    for (const Packet& p : bmc.Requests()) {
      out.counts.push_back(p.data[2]);
      out.offsets.push_back(p.data[0] | p.data[1] << 8);
    }
    disconnect_ipmi(fd);
    check(out);
  });
}

Bytes LongDescriptor() { return Join({Header(4), NodeRecord(0, 0), NodeRecord(1, 0), NodeRecord(2, 0), NodeRecord(3, 0)}); }

TEST(ComplexDescriptorRead, OneReplyOfTheFullCount) {
  DescriptorController ctl{LongDescriptor()};
  ASSERT_GT(ctl.descriptor.size(), 128u);
  ctl.descriptor.resize(250);  // what a single reply of up to 255 bytes carries
  ctl.descriptor[12] = 4;
  ReadFrom(ctl, [&](const ReadOutcome& r) {
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(ctl.descriptor, r.data) << "a reply longer than 128 bytes arrives whole";
    EXPECT_EQ(std::vector<int>{255}, r.counts);
  });
}

TEST(ComplexDescriptorRead, ARefusedFullCountFallsBackTo58ByteChunks) {
  DescriptorController ctl{LongDescriptor()};
  ctl.refuse_255 = 0xd5;
  ReadFrom(ctl, [&](const ReadOutcome& r) {
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(ctl.descriptor, r.data);
    ASSERT_GE(r.counts.size(), 3u);
    EXPECT_EQ(255, r.counts[0]);
    for (size_t i = 1; i < r.counts.size(); ++i) {
      EXPECT_EQ(58, r.counts[i]);
      EXPECT_EQ(static_cast<int>(58 * (i - 1)), r.offsets[i]);
    }
  });
}

TEST(ComplexDescriptorRead, ChainedChunksAreConcatenated) {
  DescriptorController ctl{Join({Header(1), NodeRecord(0, 0)})};
  ctl.chunk = static_cast<int>(ctl.descriptor.size() / 3 + 1);  // 0xCA, 0xCA, 0x00
  ReadFrom(ctl, [&](const ReadOutcome& r) {
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(ctl.descriptor, r.data);
    EXPECT_EQ(3u, r.counts.size());
    EXPECT_EQ((std::vector<int>{0, ctl.chunk, 2 * ctl.chunk}), r.offsets) << "at the offsets the controller named";
  });
}

TEST(ComplexDescriptorRead, TooLargeCountsAreHalved) {
  DescriptorController ctl{LongDescriptor()};
  ctl.max_count = 7;
  ReadFrom(ctl, [&](const ReadOutcome& r) {
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(ctl.descriptor, r.data);
    const std::vector<int> head(r.counts.begin(), r.counts.begin() + 5);
    EXPECT_EQ((std::vector<int>{255, 58, 29, 14, 7}), head);
    EXPECT_TRUE(std::all_of(r.counts.begin() + 4, r.counts.end(), [](int c) { return c == 7; }));
  });

  DescriptorController refuse_all{LongDescriptor()};
  refuse_all.max_count = 0;
  ReadFrom(refuse_all, [](const ReadOutcome& r) {
    EXPECT_EQ(-1, r.rc);
    EXPECT_EQ((std::vector<int>{255, 58, 29, 14, 7, 3, 1}), r.counts) << "a 0xC9 at count 1 ends the read";
  });
}

TEST(ComplexDescriptorRead, BrokenChainsFail) {
  // More data announced at offset 0.
  ReadFrom([](const Packet& req) { return Reaction{{Response(req, {0xca, 0, 0, 1, 2, 3})}}; },
           [](const ReadOutcome& r) {
             EXPECT_EQ(-1, r.rc);
             EXPECT_EQ(std::vector<int>{255}, r.counts);
           });
  // More data announced, none delivered, the same offset again and again.
  ReadFrom([](const Packet& req) { return Reaction{{Response(req, {0xca, 0, 5})}}; },
           [](const ReadOutcome& r) {
             EXPECT_EQ(-1, r.rc);
             EXPECT_EQ(1u, r.counts.size()) << "no request loop";
           });
  // A controller that never stops: more data at ever new offsets, past what 16-bit offsets reach.
  ReadFrom(
      [](const Packet& req) {
        const unsigned next = ((req.data[0] | req.data[1] << 8) + 200) & 0xffff;
        Bytes r = {0xca, static_cast<uint8_t>(next >> 8), static_cast<uint8_t>(next ? next : 1)};
        r.resize(203, 0x42);
        return Reaction{{Response(req, r)}};
      },
      [](const ReadOutcome& r) {
        EXPECT_EQ(-1, r.rc);
        EXPECT_LE(r.counts.size(), static_cast<size_t>(MULTINODE_MAX_DESCRIPTOR / 200 + 2));
      });
  // A short reply, and an error in the middle of the chain.
  ReadFrom([](const Packet& req) { return Reaction{{Response(req, {0x00, 0})}}; },
           [](const ReadOutcome& r) { EXPECT_EQ(-1, r.rc); });
  ReadFrom(
      [](const Packet& req) {
        if (req.data[0] == 0) return Reaction{{Response(req, {0xca, 0, 3, 1, 2, 3})}};
        return Reaction{{Response(req, {0xd3})}};
      },
      [](const ReadOutcome& r) { EXPECT_EQ(-1, r.rc); });
}

// ---------------------------------------------------------------------------------------------
// Node info, device list and setup.

TEST(LocalNodeInfo, NeedsAFullReply) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    FakeController short_reply("/dev/ipmi0", [](const Packet& req) { return Reaction{{Response(req, {0, 1, 2})}}; });
    FakeController full("/dev/ipmi1", [](const Packet& req) { return Reaction{{Response(req, {0, 1, 2, 3})}}; });
    unsigned char s = 9, l = 9, p = 9;
    int fd = connect_ipmi("/dev/ipmi0");
    EXPECT_EQ(-1, get_local_node_info(fd, &s, &l, &p));
    disconnect_ipmi(fd);
    fd = connect_ipmi("/dev/ipmi1");
    ASSERT_EQ(0, get_local_node_info(fd, &s, &l, &p));
    EXPECT_EQ(1, s);
    EXPECT_EQ(2, l);
    EXPECT_EQ(3, p);
    disconnect_ipmi(fd);
  });
}

TEST(DeviceList, ListsIpmiEntriesOfDevWithinTheCapacity) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    for (const char* name : {"/dev/ipmi0", "/dev/ipmi1", "/dev/aipmi"}) std::fclose(std::fopen(name, "w"));
    char list[1024];
    int count = -1;
    ASSERT_EQ(0, get_lan_over_usb_path(list, sizeof list, &count));
    EXPECT_EQ(3, count);
    std::string text = list;
    std::vector<std::string> entries;
    for (size_t start = 0, semi; (semi = text.find(';', start)) != std::string::npos; start = semi + 1) {
      entries.push_back(text.substr(start, semi - start));
    }
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ((std::vector<std::string>{"/dev/aipmi", "/dev/ipmi0", "/dev/ipmi1"}), entries);
    EXPECT_EQ(text.size(), std::string("/dev/ipmi0;/dev/ipmi1;/dev/aipmi;").size());

    char small[23];
    std::memset(small, 0x61, sizeof small);
    EXPECT_EQ(-1, get_lan_over_usb_path(small, sizeof small, &count)) << "the third entry does not fit";
    EXPECT_LT(std::strlen(small), sizeof small) << "the list stays terminated";
    EXPECT_EQ(0u, std::strlen(small) % 11) << "only whole entries";
  });
}

struct SetupResult {
  int rc;
  multinode_info info;
};

SetupResult RunSetup() {
  SetupResult s;
  std::memset(&s.info, 0, sizeof s.info);
  s.rc = setup_multinode(&s.info);
  return s;
}

TEST(MultinodeSetup, TwoDevicesReachTwoNodes) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    tavikt::SimProcess node0({"--node", "0", "--nodes", "2"});
    tavikt::SimProcess node1({"--node", "1", "--nodes", "2"});
    ASSERT_TRUE(node0.ok() && node1.ok());
    SetupResult s = RunSetup();
    ASSERT_EQ(0, s.rc);
    EXPECT_EQ(1, s.info.multinode_supported);
    EXPECT_EQ(2, s.info.complex_node_count);
    EXPECT_EQ(2, s.info.partition_node_count);
    EXPECT_EQ(0, s.info.primary_index);
    const node_entry* nodes = s.info.parsed_complex.node_list;
    ASSERT_NE(nullptr, nodes);
    EXPECT_STREQ("/dev/ipmi0", nodes[0].dev_path);
    EXPECT_STREQ("/dev/ipmi1", nodes[1].dev_path);
    EXPECT_EQ(0, nodes[1].is_standalone);
    clean_parsed_complex(&s.info);
    EXPECT_EQ(nullptr, s.info.parsed_complex.node_list);
  });
}

TEST(MultinodeSetup, APartitionCountsAtMostFourNodes) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    tavikt::SimProcess node0({"--node", "0", "--nodes", "6"});
    ASSERT_TRUE(node0.ok());
    SetupResult s = RunSetup();
    ASSERT_EQ(0, s.rc);
    EXPECT_EQ(6, s.info.complex_node_count);
    EXPECT_EQ(4, s.info.partition_node_count);
    EXPECT_STREQ("/dev/ipmi0", s.info.parsed_complex.node_list[0].dev_path);
    EXPECT_STREQ("", s.info.parsed_complex.node_list[5].dev_path);
    clean_parsed_complex(&s.info);

    node0.Stop();
    tavikt::SimProcess other({"--node", "2", "--nodes", "6", "--partitions", "0,0,1,1,1,0", "--ipmi-socket",
                              "/dev/ipmi0"});
    ASSERT_TRUE(other.ok());
    s = RunSetup();
    ASSERT_EQ(0, s.rc);
    EXPECT_EQ(3, s.info.partition_node_count) << "the local partition 1";
    EXPECT_STREQ("/dev/ipmi0", s.info.parsed_complex.node_list[2].dev_path);
    EXPECT_STREQ("", s.info.parsed_complex.node_list[0].dev_path) << "logical id 0 of another partition";
    EXPECT_EQ(2, s.info.primary_index) << "/dev/ipmi0 reaches logical id 0 of partition 1";
    clean_parsed_complex(&s.info);
  });
}

TEST(MultinodeSetup, FailuresTellWhetherTheDescriptorWasRead) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    SetupResult none = RunSetup();
    EXPECT_EQ(-1, none.rc) << "no /dev/ipmi0";
    EXPECT_EQ(0, none.info.multinode_supported);

    {
      tavikt::SimProcess single({});
      ASSERT_TRUE(single.ok());
      SetupResult s = RunSetup();
      EXPECT_EQ(-1, s.rc) << "a standalone server has no descriptor";
      EXPECT_EQ(0, s.info.multinode_supported);
      clean_parsed_complex(&s.info);
    }
    {
      tavikt::SimProcess node0({"--node", "0", "--nodes", "2"});
      tavikt::SimProcess node1({"--node", "1", "--nodes", "2", "--fault", "completion=0x30:0x72:0xc1"});
      ASSERT_TRUE(node0.ok() && node1.ok());
      SetupResult s = RunSetup();
      EXPECT_EQ(-1, s.rc) << "a device that cannot tell its node";
      EXPECT_EQ(0, s.info.multinode_supported);
      clean_parsed_complex(&s.info);
    }
    {
      tavikt::SimProcess node0({"--node", "0", "--nodes", "2"});
      ASSERT_TRUE(node0.ok());
      ASSERT_EQ(0, mkdir("/dev/ipmidev", 0755));
      SetupResult s = RunSetup();
      EXPECT_EQ(0, s.rc) << "an entry that cannot be opened ends the walk without failing the setup";
      EXPECT_EQ(1, s.info.multinode_supported);
      clean_parsed_complex(&s.info);
      ASSERT_EQ(0, rmdir("/dev/ipmidev"));
    }
  });
}

}  // namespace
