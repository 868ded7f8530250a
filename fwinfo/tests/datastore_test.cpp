// IpmiDataStore against the controller simulator's data store on /dev/ipmi0, with replies bent
// where a controller could misbehave. Every body runs in a forked child with a private /dev, so
// the process-wide chunk limit starts at 200 in each.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "ipmi_datastore.h"
#include "ipmi_testing.h"
#include "nsfixture.h"
#include "qelvo_config.h"
#include "store_controller.h"

namespace {

using fwtest::Bytes;
using fwtest::Pattern;
using fwtest::StoreController;
using fwtest::StoreRequest;

constexpr uint8_t kOpen = 1, kRead = 2, kWrite = 3, kClose = 5, kQuerySize = 6, kDelete = 7;

// Runs body in a private /dev; body builds its controller.
void InDev(const std::function<void()> &body) {
  nsfixture::Run([&] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    body();
  });
}

int ReadWhole(const std::string &name, Bytes &out, unsigned char &status, bool check_zero = false) {
  IpmiDataStore store;
  return store.ReadFile(status, name, out, IpmiDataStore::kCharacteristicsNone, IpmiDataStore::kRequestByte,
                        IpmiDataStore::kAccessRead, check_zero);
}

std::vector<std::pair<uint32_t, unsigned>> Reads(const StoreController &bmc) {
  std::vector<std::pair<uint32_t, unsigned>> v;
  for (const StoreRequest &r : bmc.Requests(kRead)) v.emplace_back(r.offset, r.count);
  return v;
}

TEST(DataStoreRead, AThousandByteFileIsReadInFive200ByteChunks) {
  InDev([] {
    const Bytes content = Pattern(1000);
    StoreController bmc({{"inventory", content}});
    ASSERT_TRUE(bmc.ok()) << bmc.error();
    Bytes out(64, 0xee);
    unsigned char status = 0xff;
    ASSERT_EQ(0, ReadWhole("inventory", out, status));
    EXPECT_EQ(0, status);
    EXPECT_EQ(content, out);
    EXPECT_EQ((std::vector<std::pair<uint32_t, unsigned>>{{0, 200}, {200, 200}, {400, 200}, {600, 200}, {800, 200}}),
              Reads(bmc));

    const std::vector<StoreRequest> all = bmc.Requests();
    ASSERT_EQ(8u, all.size());
    EXPECT_EQ(kOpen, all[0].op);
    EXPECT_EQ(kQuerySize, all[1].op);
    EXPECT_EQ(kClose, all[7].op);
    // Open: access 1, characteristics 0, size 0 (and two zero bytes), create 0, request byte 16,
    // the name zero-padded to 25 bytes, a zero byte.
    const Bytes &open = all[0].data;
    ASSERT_EQ(34u, open.size());
    EXPECT_EQ((Bytes{1, 0, 0, 0, 0, 0, 0, 16}), Bytes(open.begin(), open.begin() + 8));
    EXPECT_EQ("inventory", all[0].name);
    EXPECT_TRUE(std::all_of(open.begin() + 8 + 9, open.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ("inventory", all[1].name);
    // Every request opens with the vendor's number.
    for (const ipmisim::Packet &p : bmc.Packets()) {
      EXPECT_EQ(QELVO_VENDOR_IANA & 0xff, p.data[0]);
      EXPECT_EQ((QELVO_VENDOR_IANA >> 8) & 0xff, p.data[1]);
      EXPECT_EQ((QELVO_VENDOR_IANA >> 16) & 0xff, p.data[2]);
    }
    EXPECT_EQ(-1, kcs_fd) << "the device is closed after the read";
  });
}

TEST(DataStoreRead, ARefusedChunkDropsTheProcessTo58ByteChunksForGood) {
  InDev([] {
    const Bytes content = Pattern(300);
    StoreController bmc({{"inventory", content}}, {{"fault", "datastore-max-chunk=100"}});
    ASSERT_TRUE(bmc.ok()) << bmc.error();
    Bytes out;
    unsigned char status = 0xff;
    testing::internal::CaptureStdout();
    const int rc = ReadWhole("inventory", out, status);
    const std::string log = testing::internal::GetCapturedStdout();
    ASSERT_EQ(0, rc) << log;
    EXPECT_EQ(0, status);
    EXPECT_EQ(content, out);
    EXPECT_EQ(kKcsSmallBlock, MAX_KCS_BUFF_SIZE.load());
    EXPECT_NE(std::string::npos, log.find("KCS block size dropping to lower 58 byte limit. (Read) ")) << log;
    EXPECT_EQ((std::vector<std::pair<uint32_t, unsigned>>{
                  {0, 200}, {0, 58}, {58, 58}, {116, 58}, {174, 58}, {232, 58}, {290, 10}}),
              Reads(bmc));

    // The next read in the process starts small.
    Bytes again;
    ASSERT_EQ(0, ReadWhole("inventory", again, status));
    EXPECT_EQ(content, again);
    const auto reads = Reads(bmc);
    ASSERT_GT(reads.size(), 7u);
    EXPECT_EQ((std::pair<uint32_t, unsigned>{0, 58}), reads[7]);
  });
}

TEST(DataStoreRead, AReadFailingAlsoAt58BytesFailsTheFile) {
  InDev([] {
    StoreController bmc({{"inventory", Pattern(300)}}, {{"fault", "datastore-max-chunk=40"}});
    ASSERT_TRUE(bmc.ok()) << bmc.error();
    Bytes out;
    unsigned char status = 0;
    EXPECT_NE(0, ReadWhole("inventory", out, status));
    EXPECT_EQ(0xc0, status) << "the refusal's completion code is handed back";
    EXPECT_EQ(2u, Reads(bmc).size()) << "one retry at 58 bytes, then the read gives up";
    EXPECT_EQ(1u, bmc.Requests(kClose).size());
  });
}

TEST(DataStoreRead, AReplyTooShortOrClaimingMoreThanItCarriesFailsTheRead) {
  InDev([] {
    int variant = 0;
    StoreController bmc({{"inventory", Pattern(100)}}, {}, [&variant](const ipmisim::Packet &req,
                                                                       std::optional<Bytes> &reply) {
      if (req.data_len < 4 || req.data[3] != kRead || !reply) return;
      if (variant == 0) reply->resize(5);                 // a 5-byte read reply
      if (variant == 1) reply->resize(6 + 10);            // claims 100, carries 10
    });
    ASSERT_TRUE(bmc.ok()) << bmc.error();
    ASSERT_EQ(0, connect_kcs());
    IpmiDataStore store;
    unsigned char status = 0xff;
    ASSERT_EQ(0, store.Open(status, IpmiDataStore::kAccessRead, IpmiDataStore::kCharacteristicsNone, 0,
                            IpmiDataStore::kNoCreate, IpmiDataStore::kRequestByte, "inventory"));
    ASSERT_TRUE(store.isFileOpen());
    unsigned char dest[100];
    std::fill(dest, dest + sizeof dest, 0xee);
    EXPECT_EQ(-1, store.Read(status, dest, 100, 0));
    variant = 1;
    EXPECT_EQ(-1, store.Read(status, dest, 100, 0));
    EXPECT_TRUE(std::all_of(dest, dest + sizeof dest, [](uint8_t b) { return b == 0xee; }));
    variant = 2;
    EXPECT_EQ(40, store.Read(status, dest, 40, 10));
    const Bytes content = Pattern(100);
    EXPECT_EQ(Bytes(content.begin() + 10, content.begin() + 50), Bytes(dest, dest + 40));
    EXPECT_EQ(-1, store.Read(status, nullptr, 40, 10));
    EXPECT_EQ(0, store.Close(status));
    EXPECT_EQ(-1, store.Close(status)) << "nothing open";
    disconnect_kcs();
  });
}

// A controller may answer with more bytes than an operation uses (padding, or a read reply
// carrying more than was asked for); the file is read all the same, and never more than asked is
// taken. An open reply of 7 bytes (longer than 6) still gives its handle.
TEST(DataStoreRead, RepliesLongerThanAnOperationNeedsAreTakenWithinItsBounds) {
  struct Variant {
    const char *what;
    std::function<void(uint8_t op, Bytes &reply)> bend;
  };
  const Variant variants[] = {
      {"two padding bytes on every reply", [](uint8_t, Bytes &r) { r.insert(r.end(), {0xab, 0xcd}); }},
      {"read replies claim and carry 10 bytes more than asked",
       [](uint8_t op, Bytes &r) {
         if (op != kRead || r.size() < 6) return;
         const unsigned count = r[4] | r[5] << 8;
         r[4] = static_cast<uint8_t>(count + 10);
         r[5] = static_cast<uint8_t>((count + 10) >> 8);
         r.insert(r.end(), 10, 0xee);
       }},
      {"an open reply of 7 bytes", [](uint8_t op, Bytes &r) {
         if (op == kOpen) r.resize(7);
       }}};
  for (const Variant &v : variants) {
    SCOPED_TRACE(v.what);
    InDev([&v] {
      const Bytes content = Pattern(300);
      StoreController bmc({{"inventory", content}}, {}, [&v](const ipmisim::Packet &req, std::optional<Bytes> &reply) {
        if (reply && req.data_len >= 4) v.bend(req.data[3], *reply);
      });
      ASSERT_TRUE(bmc.ok()) << bmc.error();
      Bytes out;
      unsigned char status = 0xff;
      ASSERT_EQ(0, ReadWhole("inventory", out, status));
      EXPECT_EQ(0, status);
      EXPECT_EQ(content, out);
      // Into a buffer that holds exactly the file: nothing is written past it.
      std::vector<unsigned char> buffer(content.size() + 16, 0x5a);
      size_t length = 0;
      IpmiDataStore store;
      ASSERT_EQ(0, store.ReadFile(status, "inventory", buffer.data(), content.size(), &length,
                                  IpmiDataStore::kCharacteristicsNone, IpmiDataStore::kRequestByte,
                                  IpmiDataStore::kAccessRead, false));
      EXPECT_EQ(content.size(), length);
      EXPECT_EQ(content, Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(content.size())));
      EXPECT_TRUE(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(content.size()), buffer.end(),
                              [](unsigned char b) { return b == 0x5a; }));
      EXPECT_EQ(2u, bmc.Requests(kClose).size());
    });
  }
}

TEST(DataStoreRead, ShortChunksContinueWhereTheDataEnded) {
  InDev([] {
    const Bytes content = Pattern(500);
    StoreController bmc({{"inventory", content}}, {}, [](const ipmisim::Packet &req, std::optional<Bytes> &reply) {
      if (req.data_len < 4 || req.data[3] != kRead || !reply || reply->size() <= 6 + 70) return;
      reply->resize(6 + 70);  // the controller hands out at most 70 bytes
      (*reply)[4] = 70;
      (*reply)[5] = 0;
    });
    ASSERT_TRUE(bmc.ok()) << bmc.error();
    Bytes out;
    unsigned char status = 0xff;
    ASSERT_EQ(0, ReadWhole("inventory", out, status));
    EXPECT_EQ(content, out) << "no gap is left where a chunk came back short";
    const auto reads = Reads(bmc);
    ASSERT_GE(reads.size(), 2u);
    EXPECT_EQ(70u, reads[1].first);
  });
}

TEST(DataStoreRead, AnAllZeroFirstChunkEndsTheReadWhenAsked) {
  InDev([] {
    Bytes content = Pattern(1000);
    std::fill(content.begin(), content.begin() + 200, 0);
    StoreController bmc({{"config", content}});
    ASSERT_TRUE(bmc.ok()) << bmc.error();
    Bytes out;
    unsigned char status = 0xff;
    testing::internal::CaptureStdout();
    const int rc = ReadWhole("config", out, status, true);
    const std::string log = testing::internal::GetCapturedStdout();
    ASSERT_EQ(0, rc);
    EXPECT_EQ(0, status);
    EXPECT_EQ(Bytes(1000, 0), out);
    EXPECT_EQ(1u, Reads(bmc).size());
    EXPECT_NE(std::string::npos, log.find("Checking for a non-zero config file."));
    EXPECT_NE(std::string::npos, log.find("Zero start found in config file."));
    EXPECT_EQ(1u, bmc.Requests(kClose).size());

    Bytes whole;
    ASSERT_EQ(0, ReadWhole("config", whole, status, false));
    EXPECT_EQ(content, whole) << "without the check the whole file is read";
  });
}

TEST(DataStoreRead, ALongNameIsCutInTheOpenRequestButSentWholeInQuerySizeAndDelete) {
  InDev([] {
    const std::string stored = "abcdefghijklmnopqrstuvwxy";  // 25 characters
    const std::string asked = stored + "z";                // 26
    StoreController bmc({{stored, Pattern(10)}});
    ASSERT_TRUE(bmc.ok()) << bmc.error();
    Bytes out;
    unsigned char status = 0;
    const int rc = ReadWhole(asked, out, status);
    EXPECT_FALSE(rc == 0 && status == 0);
    EXPECT_EQ(0x0a, status) << "the controller has no file of the whole name";
    ASSERT_EQ(1u, bmc.Requests(kOpen).size());
    EXPECT_EQ(stored, bmc.Requests(kOpen)[0].name);
    EXPECT_EQ(0, bmc.Requests(kOpen)[0].data[8 + 25]) << "the byte after the name field is zero";
    ASSERT_EQ(1u, bmc.Requests(kQuerySize).size());
    EXPECT_EQ(asked, bmc.Requests(kQuerySize)[0].name);
    EXPECT_EQ(1u, bmc.Requests(kClose).size()) << "the file opened is closed again";

    ASSERT_EQ(0, connect_kcs());
    IpmiDataStore store;
    EXPECT_EQ(0, store.DeleteFile(status, asked));
    disconnect_kcs();
    EXPECT_EQ(0x0a, status);
    ASSERT_EQ(1u, bmc.Requests(kDelete).size());
    EXPECT_EQ(asked, bmc.Requests(kDelete)[0].name);
  });
}

TEST(DataStoreRead, FailedSizesCloseTheFileSoHandlesAreNotExhausted) {
  InDev([] {
    StoreController bmc({{"empty", {}}, {"inventory", Pattern(10)}});
    ASSERT_TRUE(bmc.ok()) << bmc.error();
    Bytes out;
    unsigned char status = 0;
    for (int i = 0; i < 70; ++i) ASSERT_EQ(-1, ReadWhole("empty", out, status)) << i;
    EXPECT_EQ(70u, bmc.Requests(kClose).size());
    ASSERT_EQ(0, ReadWhole("inventory", out, status)) << "status " << int{status};
    EXPECT_EQ(Pattern(10), out);
  });
}

TEST(DataStoreRead, AFileLargerThanTheCallersBufferIsRefusedBeforeAnyRead) {
  InDev([] {
    StoreController bmc({{"inventory", Pattern(1000)}});
    ASSERT_TRUE(bmc.ok()) << bmc.error();
    Bytes buffer(1100, 0xee);
    size_t length = 0;
    unsigned char status = 0;
    IpmiDataStore store;
    EXPECT_EQ(-1, store.ReadFile(status, "inventory", buffer.data(), 512, &length, IpmiDataStore::kCharacteristicsNone,
                                 IpmiDataStore::kRequestByte, IpmiDataStore::kAccessRead, false));
    EXPECT_EQ(1000u, length);
    EXPECT_TRUE(Reads(bmc).empty());
    EXPECT_EQ(Bytes(1100, 0xee), buffer);
    EXPECT_EQ(1u, bmc.Requests(kClose).size());

    ASSERT_EQ(0, store.ReadFile(status, "inventory", buffer.data(), 1000, &length,
                                IpmiDataStore::kCharacteristicsNone, IpmiDataStore::kRequestByte,
                                IpmiDataStore::kAccessRead, false));
    EXPECT_EQ(1000u, length);
    EXPECT_EQ(Pattern(1000), Bytes(buffer.begin(), buffer.begin() + 1000));
    EXPECT_EQ(Bytes(100, 0xee), Bytes(buffer.begin() + 1000, buffer.end()));
  });
}

TEST(DataStoreRead, ASizeBeyondWhatOffsetsCanReachIsRefused) {
  InDev([] {
    StoreController bmc({{"inventory", Pattern(10)}}, {}, [](const ipmisim::Packet &req, std::optional<Bytes> &reply) {
      if (req.data_len >= 4 && req.data[3] == kQuerySize && reply && reply->size() == 8) {
        (*reply)[4] = 0x01;  // 65537 bytes
        (*reply)[5] = 0x00;
        (*reply)[6] = 0x01;
        (*reply)[7] = 0x00;
      }
    });
    ASSERT_TRUE(bmc.ok()) << bmc.error();
    Bytes out;
    unsigned char status = 0;
    EXPECT_EQ(-1, ReadWhole("inventory", out, status));
    EXPECT_TRUE(Reads(bmc).empty());
  });
}

TEST(DataStoreRead, TheDeviceIsFoundUnderItsSecondNameOrTheReadFails) {
  InDev([] {
    Bytes out;
    unsigned char status = 0;
    EXPECT_EQ(-1, ReadWhole("inventory", out, status)) << "no device";

    ASSERT_EQ(0, mkdir("/dev/ipmidev", 0755));
    StoreController bmc({{"inventory", Pattern(10)}}, {}, nullptr, "/dev/ipmidev/0");
    ASSERT_TRUE(bmc.ok()) << bmc.error();
    ASSERT_EQ(0, ReadWhole("inventory", out, status));
    EXPECT_EQ(Pattern(10), out);
  });
}

TEST(DataStoreRead, ConcurrentReadersDoNotCloseEachOthersDevice) {
  InDev([] {
    const Bytes a = Pattern(2000, 3), b = Pattern(1500, 7);
    StoreController bmc({{"a", a}, {"b", b}}, {}, [](const ipmisim::Packet &, std::optional<Bytes> &) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));  // lets the readers interleave
    });
    ASSERT_TRUE(bmc.ok()) << bmc.error();
    Bytes out_a, out_b;
    unsigned char st_a = 0xff, st_b = 0xff;
    int rc_a = -9, rc_b = -9;
    std::thread ta([&] { rc_a = ReadWhole("a", out_a, st_a); });
    std::thread tb([&] { rc_b = ReadWhole("b", out_b, st_b); });
    ta.join();
    tb.join();
    EXPECT_EQ(0, rc_a);
    EXPECT_EQ(0, rc_b);
    EXPECT_EQ(a, out_a);
    EXPECT_EQ(b, out_b);
  });
}

TEST(DataStoreWrite, AFileIsWrittenInChunksAndTheWriteReplyIsReadWithinItsLength) {
  InDev([] {
    int variant = 0;
    StoreController bmc({}, {}, [&variant](const ipmisim::Packet &req, std::optional<Bytes> &reply) {
      if (req.data_len < 4 || req.data[3] != kWrite || !reply) return;
      if (variant == 1) reply->push_back(0);  // six bytes: the count is byte 4 all the same
      if (variant == 2) reply->resize(4);     // no count: not a write reply
    });
    ASSERT_TRUE(bmc.ok()) << bmc.error();
    const Bytes content = Pattern(450);
    unsigned char status = 0xff;
    IpmiDataStore store;
    ASSERT_EQ(0, store.WriteFile(status, "notes", content, IpmiDataStore::kCharacteristicsNone,
                                 IpmiDataStore::kRequestByte));
    EXPECT_EQ(0, status);
    EXPECT_EQ(content, bmc.File("notes").value_or(Bytes{}));
    std::vector<std::pair<uint32_t, unsigned>> writes;
    for (const StoreRequest &r : bmc.Requests(kWrite)) writes.emplace_back(r.offset, r.count);
    EXPECT_EQ((std::vector<std::pair<uint32_t, unsigned>>{{0, 200}, {200, 200}, {400, 50}}), writes);
    const StoreRequest open = bmc.Requests(kOpen).at(0);
    EXPECT_EQ((Bytes{3, 0, 0xc2, 0x01, 0, 0, 1, 16}), Bytes(open.data.begin(), open.data.begin() + 8))
        << "access 3, size 450, create 1, request byte 16";

    variant = 1;
    EXPECT_EQ(0, store.WriteFile(status, "notes", content, IpmiDataStore::kCharacteristicsNone,
                                 IpmiDataStore::kRequestByte));
    EXPECT_EQ(6u, bmc.Requests(kWrite).size());
    variant = 2;
    EXPECT_NE(0, store.WriteFile(status, "notes", content, IpmiDataStore::kCharacteristicsNone,
                                 IpmiDataStore::kRequestByte));
  });
}

TEST(DataStoreWrite, AWriteTakesTheCountTheControllerReports) {
  InDev([] {
    StoreController bmc({}, {}, [](const ipmisim::Packet &req, std::optional<Bytes> &reply) {
      if (req.data_len < 4 || req.data[3] != kWrite || !reply || reply->size() != 5) return;
      if ((*reply)[4] > 120) (*reply)[4] = 120;  // takes at most 120 bytes of a chunk
    });
    ASSERT_TRUE(bmc.ok()) << bmc.error();
    unsigned char status = 0;
    IpmiDataStore store;
    ASSERT_EQ(0, store.WriteFile(status, "notes", Pattern(300), IpmiDataStore::kCharacteristicsNone,
                                 IpmiDataStore::kRequestByte));
    std::vector<uint32_t> offsets;
    for (const StoreRequest &r : bmc.Requests(kWrite)) offsets.push_back(r.offset);
    EXPECT_EQ((std::vector<uint32_t>{0, 120, 240}), offsets);
  });
}

}  // namespace
