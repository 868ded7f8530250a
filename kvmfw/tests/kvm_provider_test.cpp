// HwCkvmProvider as a CIMOM drives it, against the controller simulator's KVM device on
// /dev/ipmi0. Each body runs in a forked child, so the library and its cache are fresh in each.
#include <cimxml/mof.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include <atomic>
#include <functional>
#include <chrono>
#include <thread>

#include "ipmi_testing.h"
#include "nsfixture.h"
#include "provider_harness.h"
#include "store_controller.h"

namespace {

using cmpiharness::Outcome;
using cmpiharness::Provider;
using fwtest::Bytes;
using fwtest::StoreController;

constexpr char kNs[] = "root/qelvosd";
constexpr char kClass[] = "QelvoSG_CKVMFirmwareElement";

std::unique_ptr<Provider> Load() {
  std::string err;
  auto p = Provider::Load(KVMFW_LIBRARY, "HwCkvmProvider", nullptr, &err);
  EXPECT_TRUE(p) << err;
  return p;
}

// Runs body against a simulator with the given settings (and reply hook).
void WithKvm(const std::vector<std::pair<std::string, std::string>> &settings,
             const std::function<void(StoreController &, Provider &)> &body, StoreController::Hook hook = nullptr) {
  nsfixture::Run([&] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    StoreController bmc({}, settings, hook);
    ASSERT_TRUE(bmc.ok()) << bmc.error();
    auto p = Load();
    ASSERT_TRUE(p);
    body(bmc, *p);
  });
}

std::string Version(Provider &p) {
  Outcome out = p.EnumInstances(kNs, kClass);
  EXPECT_TRUE(out.ok()) << out.Describe();
  if (out.instances.size() != 1) {
    ADD_FAILURE() << "expected one instance: " << out.Describe();
    return "<none>";
  }
  return out.PropertyText(0, "FirmwareVersion");
}

size_t KvmRequests(const StoreController &bmc) {
  size_t n = 0;
  for (const ipmisim::Packet &p : bmc.Packets()) n += p.netfn == 0x06 && p.cmd == 0x52;
  return n;
}

TEST(KvmFirmware, TheDevicesVersionIsPublishedAsOneElement) {
  WithKvm({{"kvm-version", "CK1.20"}}, [](StoreController &bmc, Provider &p) {
    Outcome all = p.EnumInstances(kNs, kClass);
    ASSERT_TRUE(all.ok()) << all.Describe();
    ASSERT_EQ(1u, all.instances.size());
    EXPECT_EQ("ckvm1", all.PropertyText(0, "DeviceID"));
    EXPECT_EQ("ckvm1", all.PropertyText(0, "DeviceName"));
    EXPECT_EQ("", all.PropertyText(0, "MachineTypeModel"));
    EXPECT_TRUE(cmpiharness::HasProperty(all.instances[0], "MachineTypeModel"));
    EXPECT_EQ("CK1.20", all.PropertyText(0, "FirmwareVersion")) << "six characters, the zero padding dropped";

    const std::vector<ipmisim::Packet> sent = bmc.Packets();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(0x06, sent[0].netfn);
    EXPECT_EQ(0x52, sent[0].cmd);
    EXPECT_EQ((Bytes{0xF5, 0x68, 0x10, 0x1D, 0x01, 0x00}), Bytes(sent[0].data, sent[0].data + sent[0].data_len));

    Outcome names = p.EnumInstanceNames(kNs, kClass);
    ASSERT_TRUE(names.ok()) << names.Describe();
    ASSERT_EQ(1u, names.paths.size());
    EXPECT_EQ("ckvm1", names.KeyText(0, "DeviceID"));
    EXPECT_EQ(kNs, cmpiharness::NameSpace(names.paths[0]));

    auto right = cmpiharness::Path(kNs, kClass, {{"DeviceID", "ckvm1"}});
    Outcome got = p.GetInstance(right.get());
    ASSERT_TRUE(got.ok()) << got.Describe();
    EXPECT_EQ("CK1.20", got.PropertyText(0, "FirmwareVersion"));
    EXPECT_EQ(3u, KvmRequests(bmc)) << "every operation asks the device";
  });
}

TEST(KvmFirmware, AVersionFillingEveryByteReadIsTakenWhole) {
  WithKvm({{"kvm-version", "ABCDEFGHIJKLMNOP"}}, [](StoreController &, Provider &p) {
    EXPECT_EQ("ABCDEFGHIJKLMNOP", Version(p));
  });
}

// A refusal, an answer without bytes, or 0xFF as the first byte read (reply byte 1) gives the
// blank version; a 0xFF anywhere else is part of the text.
TEST(KvmFirmware, RefusalsAndAFirstByteOfFFGiveABlankVersion) {
  struct Case {
    const char *what;
    std::vector<std::pair<std::string, std::string>> settings;
    std::function<void(Bytes &reply)> bend;
    std::string version;
  };
  const Case cases[] = {
      {"every byte 0xFF", {{"fault", "kvm-ff"}}, nullptr, " "},
      {"no acknowledge", {{"fault", "kvm-absent"}}, nullptr, " "},
      {"a completion code only", {}, [](Bytes &r) { r.resize(1); }, " "},
      {"0xFF first, text after", {{"kvm-version", "CK1.20"}}, [](Bytes &r) { r.at(1) = 0xFF; }, " "},
      {"text first, 0xFF second", {{"kvm-version", "CK1.20"}}, [](Bytes &r) { r.at(2) = 0xFF; }, "C\xFF" "1.20"},
      {"0xFF after the text", {{"kvm-version", "CK1.20"}}, [](Bytes &r) { r.at(7) = 0xFF; }, "CK1.20\xFF"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    WithKvm(
        c.settings, [&c](StoreController &, Provider &p) { EXPECT_EQ(c.version, Version(p)); },
        [&c](const ipmisim::Packet &, std::optional<Bytes> &reply) {
          if (reply && c.bend) c.bend(*reply);
        });
  }
}

TEST(KvmFirmware, TheFirstStoredRecordIsKept) {
  std::atomic<bool> ff{true};
  WithKvm(
      {},
      [&ff](StoreController &bmc, Provider &p) {
        EXPECT_EQ(" ", Version(p));
        ff = false;
        EXPECT_EQ(" ", Version(p)) << "a later good read does not replace the record";
        EXPECT_EQ(2u, KvmRequests(bmc));
      },
      [&ff](const ipmisim::Packet &, std::optional<Bytes> &reply) {
        if (ff && reply && reply->size() > 1) std::fill(reply->begin() + 1, reply->end(), 0xFF);
      });
}

TEST(KvmFirmware, WithoutTheDeviceThereIsNoElement) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    auto p = Load();
    ASSERT_TRUE(p);
    Outcome all = p->EnumInstances(kNs, kClass);
    EXPECT_TRUE(all.ok()) << all.Describe();
    EXPECT_TRUE(all.instances.empty());
    Outcome names = p->EnumInstanceNames(kNs, kClass);
    EXPECT_TRUE(names.ok());
    EXPECT_TRUE(names.paths.empty());
    auto path = cmpiharness::Path(kNs, kClass, {{"DeviceID", "ckvm1"}});
    Outcome got = p->GetInstance(path.get());
    EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, got.rc);
    EXPECT_EQ(std::string("ckvmfwProvider does not handle class ") + kClass, got.message);
  });
}

TEST(KvmFirmware, WrongKeysClassesAndModificationsAreRefused) {
  WithKvm({}, [](StoreController &, Provider &p) {
    auto wrong = cmpiharness::Path(kNs, kClass, {{"DeviceID", "ckvm2"}});
    Outcome miss = p.GetInstance(wrong.get());
    EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, miss.rc);
    EXPECT_EQ(std::string("ckvmfwProvider does not handle class ") + kClass, miss.message);
    auto keyless = cmpiharness::Path(kNs, kClass);
    EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, p.GetInstance(keyless.get()).rc);

    EXPECT_EQ(CMPI_RC_ERR_INVALID_CLASS, p.EnumInstances(kNs, "CIM_Other").rc);
    EXPECT_EQ(CMPI_RC_ERR_INVALID_CLASS, p.EnumInstanceNames(kNs, "CIM_Other").rc);

    auto path = cmpiharness::Path(kNs, kClass, {{"DeviceID", "ckvm1"}});
    auto inst = cmpiharness::Instance(path.get(), {{"FirmwareVersion", "x"}});
    Outcome set = p.ModifyInstance(inst.get());
    EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, set.rc);
    EXPECT_EQ("Modifications are not supported on this type of device", set.message);
    EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, p.CreateInstance(inst.get()).rc);
    EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, p.DeleteInstance(path.get()).rc);
  });
}

TEST(KvmFirmware, ConcurrentFirstRequestsStoreOneRecord) {
  WithKvm(
      {},
      [](StoreController &, Provider &p) {
        constexpr int kThreads = 8;
        std::vector<size_t> counts(kThreads, 99);
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
          threads.emplace_back([&, i] {
            ++ready;
            while (ready.load() < kThreads) std::this_thread::yield();
            counts[i] = p.EnumInstances(kNs, kClass).instances.size();
          });
        }
        for (std::thread &t : threads) t.join();
        for (int i = 0; i < kThreads; ++i) EXPECT_EQ(1u, counts[i]) << i;
        EXPECT_EQ("CKV1.21.3", Version(p));
      },
      [](const ipmisim::Packet &, std::optional<Bytes> &) { std::this_thread::sleep_for(std::chrono::milliseconds(3)); });
}

}  // namespace

namespace {

TEST(KvmFirmwareClass, TheDefinitionAndRegistrationMatchTheProvider) {
  const std::string base = std::string(QELVO_MOF_DIR) + "/QelvoSG_CKVMFirmwareElement";
  const cimxml::MofFile mof = cimxml::parse_mof_file(base + ".mof");
  const cimxml::ClassDecl *cls = mof.find_class("QelvoSG_CKVMFirmwareElement");
  ASSERT_NE(nullptr, cls);
  EXPECT_EQ((std::vector<std::string>{"DeviceID"}), cls->key_names());
  for (const char *p : {"DeviceID", "DeviceName", "MachineTypeModel", "FirmwareVersion"}) {
    ASSERT_NE(nullptr, cls->property(p)) << p;
    EXPECT_EQ(cimxml::CimType::String, cls->property(p)->type) << p;
  }
  std::ifstream in(base + ".reg");
  const std::string reg((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(0u, reg.find("[QelvoSG_CKVMFirmwareElement]\n"));
  EXPECT_NE(std::string::npos, reg.find("provider: HwCkvmProvider\n"));
  EXPECT_NE(std::string::npos, reg.find("location: kvmfw\n"));
  EXPECT_NE(std::string::npos, reg.find("type: instance\n"));
  EXPECT_NE(std::string::npos, reg.find("namespace: root/qelvosd\n"));
}

}  // namespace
